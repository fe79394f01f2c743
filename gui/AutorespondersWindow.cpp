#include "gui/AutorespondersWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <exception>
#include <initializer_list>

#include "gui/EditorWindow.h"
#include "gui/MessageBox.h"
#include "gui/Shell.h"
#include "gui/UnsavedChanges.h"
#include "gui/ValueLabel.h"
#include "gui/Widgets.h"
#include "gui/WindowKeys.h"
#include "store/AppFolder.h"

namespace vorel {

namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

// The wait cursor while data.mdb is read or written: a locked file can take
// the whole busy time-out.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

QLineEdit* lineEdit(const char* name, const QString& label) {
    return named(new QLineEdit, name, label);
}

QLabel* note(const QString& text) {
    auto* l = new QLabel(text);
    // Plain: the HTML note names the tag <HTML>, which rich text would swallow.
    l->setTextFormat(Qt::PlainText);
    l->setWordWrap(true);
    return l;
}

// The stored form of a period's moments, local time.
const QString kPeriodFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

// The list's mark: a filled dot for an autoresponder that answers now, a
// ring for one outside its period (a shape, not only a colour).
QIcon activityMark(bool active) {
    QPixmap pixmap(12, 12);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor colour = active ? QColor(0x2e, 0x9d, 0x3f) : QColor(0x80, 0x80, 0x80);
    p.setPen(QPen(colour, 1.5));
    p.setBrush(active ? QBrush(colour) : QBrush(Qt::NoBrush));
    p.drawEllipse(QRectF(1.5, 1.5, 9, 9));
    return QIcon(pixmap);
}

}  // namespace

AutorespondersWindow::AutorespondersWindow(std::string folder, QWidget* parent)
    : QWidget(parent, Qt::Window), folder_(std::move(folder)), editor_(databasePath(folder_)) {
    setObjectName(QStringLiteral("frmAUTORESPONDERS"));
    setWindowTitle(QStringLiteral("Autoresponders"));
    setAttribute(Qt::WA_DeleteOnClose);

    QVBoxLayout* left = listColumn();
    QGroupBox* frame = editorFrame();
    auto* top = new QHBoxLayout;
    top->addLayout(left, 2);
    top->addWidget(frame, 5);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addLayout(buttonRow());
    resize(760, 540);

    unsaved_ = new UnsavedChanges(
        this, [this] { return fieldValues(); }, [this] { return save(); },
        QStringLiteral("The autoresponder has changes that are not saved. Save them before "
                       "closing?"));
    new WindowKeys(this, nullptr);
}

QVBoxLayout* AutorespondersWindow::listColumn() {
    auto* listHeading = new QLabel(QStringLiteral("Auto Responders"));
    QFont bold = listHeading->font();
    bold.setBold(true);
    listHeading->setFont(bold);
    lstAUTORESPONDERS_ = named(new QListWidget, "lstAUTORESPONDERS", listHeading->text());
    lstAUTORESPONDERS_->setUniformItemSizes(true);
    listHeading->setBuddy(lstAUTORESPONDERS_);
    // A click or the arrow keys: the entry that becomes selected is shown.
    connect(lstAUTORESPONDERS_, &QListWidget::itemSelectionChanged, this, [this] {
        const QList<QListWidgetItem*> selected = lstAUTORESPONDERS_->selectedItems();
        if (!selected.isEmpty()) {
            showRow(selected.front()->text());
        }
    });
    auto* left = new QVBoxLayout;
    left->addWidget(listHeading);
    left->addWidget(lstAUTORESPONDERS_, 1);
    return left;
}

QGroupBox* AutorespondersWindow::editorFrame() {
    txtNAME_ = lineEdit("txtNAME", QStringLiteral("Name:"));
    txtTO_ = lineEdit("txtTO", QStringLiteral("To:"));
    txtSUBJECT_ = lineEdit("txtSUBJECT", QStringLiteral("Subject:"));
    txtFROM_ = lineEdit("txtFROM", QStringLiteral("From:"));
    txtFROMSUBJECT_ = lineEdit("txtFROMSUBJECT", QStringLiteral("Message Subject:"));

    auto* matchHeading =
        new QLabel(QStringLiteral("Send the following message when the following fields match:"));
    matchHeading->setWordWrap(true);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Name:"), txtNAME_);
    form->addRow(matchHeading);
    form->addRow(QStringLiteral("To:"), txtTO_);
    form->addRow(QStringLiteral("Subject:"), txtSUBJECT_);
    form->addRow(periodRow());
    form->addRow(replyDaysRow());
    form->addRow(QStringLiteral("From:"), txtFROM_);
    form->addRow(QStringLiteral("Message Subject:"), txtFROMSUBJECT_);

    QWidget* message = messageTab();
    QWidget* forward = forwardTab();
    SSTab1_ = named(new QTabWidget, "SSTab1", QStringLiteral("Message and forwarding"));
    SSTab1_->addTab(message, QStringLiteral("Message"));
    SSTab1_->addTab(forward, QStringLiteral("Forward Emails to:"));

    lblcounter_ =
        valueLabel("lblcounter", QStringLiteral("Number of Requests:"), QStringLiteral("0"));
    auto* counterRow = new QHBoxLayout;
    counterRow->addWidget(new QLabel(QStringLiteral("Number of Requests:")));
    counterRow->addWidget(lblcounter_);
    counterRow->addStretch(1);

    auto* frame = new QGroupBox(QStringLiteral("Autoresponder Manager"));
    frame->setObjectName(QStringLiteral("Frame1"));
    auto* inner = new QVBoxLayout(frame);
    inner->addLayout(form);
    inner->addWidget(SSTab1_, 1);
    inner->addLayout(counterRow);
    return frame;
}

QWidget* AutorespondersWindow::periodRow() {
    // Optional on each side: a cleared box leaves that side open.
    const auto side = [](const char* boxName, const QString& label, const QString& name,
                         const char* editName, QCheckBox*& box, QDateTimeEdit*& edit) {
        box = named(new QCheckBox(label), boxName, name);
        edit = named(new QDateTimeEdit, editName, name + QStringLiteral(" date and time"));
        edit->setDisplayFormat(kPeriodFormat);
        edit->setCalendarPopup(true);
        // The size hint leaves no room for the popup's arrow: the seconds were cut.
        edit->setMinimumWidth(
            edit->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) +
            edit->fontMetrics().height() * 3);
        edit->setDateTime(QDateTime(QDate::currentDate(), QTime(0, 0)));
        edit->setEnabled(false);
        QObject::connect(box, &QCheckBox::toggled, edit, &QWidget::setEnabled);
    };
    side("chkACTIVEFROM", QStringLiteral("Active from:"), QStringLiteral("Active from"),
         "dtpACTIVEFROM", chkACTIVEFROM_, dtpACTIVEFROM_);
    side("chkACTIVEUNTIL", QStringLiteral("until:"), QStringLiteral("Active until"),
         "dtpACTIVEUNTIL", chkACTIVEUNTIL_, dtpACTIVEUNTIL_);
    dtpACTIVEUNTIL_->setToolTip(QStringLiteral("The first moment it no longer answers"));
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget* w : std::initializer_list<QWidget*>{chkACTIVEFROM_, dtpACTIVEFROM_,
                                                      chkACTIVEUNTIL_, dtpACTIVEUNTIL_}) {
        layout->addWidget(w);
    }
    layout->addStretch(1);
    return row;
}

QWidget* AutorespondersWindow::replyDaysRow() {
    const QString label = QStringLiteral("Reply to the same sender at most once every");
    txtREPLYDAYS_ = named(new QSpinBox, "txtREPLYDAYS", label + QStringLiteral(" N days"));
    txtREPLYDAYS_->setRange(0, 3650);
    txtREPLYDAYS_->setSuffix(QStringLiteral(" days"));
    txtREPLYDAYS_->setSpecialValueText(QStringLiteral("every message"));
    auto* caption = new QLabel(label);
    caption->setBuddy(txtREPLYDAYS_);
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(caption);
    layout->addWidget(txtREPLYDAYS_);
    layout->addStretch(1);
    return row;
}

QWidget* AutorespondersWindow::messageTab() {
    txtMESSAGE_ = named(new QPlainTextEdit, "txtMESSAGE", QStringLiteral("Message"));
    tabLeaves(txtMESSAGE_);
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(txtMESSAGE_, 1);
    layout->addWidget(
        note(QStringLiteral("To send HTML emails include <HTML> at the start. I.e. if you use a "
                            "web editor and then copy and paste the SOURCE code it should work.")));
    return page;
}

QWidget* AutorespondersWindow::forwardTab() {
    // One line: forward addresses are a single text field, separated by commas.
    txtMAILTO_ = lineEdit("txtMAILTO", QStringLiteral("Forward Emails to:"));
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(note(QStringLiteral(
        "Enter a list of email addresses to forward any emails to this address to, if you leave "
        "the message section empty, the system will just forward and not send a message out:")));
    layout->addWidget(txtMAILTO_);
    layout->addWidget(note(QStringLiteral(
        "Seperate each entry with commas, e.g. sales@example.com,support@example.com")));
    layout->addStretch(1);
    return page;
}

QHBoxLayout* AutorespondersWindow::buttonRow() {
    auto* cmdNEW = button("cmdNEW", QStringLiteral("&Add New"));
    auto* cmdSAVE = button("cmdSAVE", QStringLiteral("&Save"));
    auto* cmdDELETE = button("cmdDELETE", QStringLiteral("&Delete"));
    auto* cmdPREVIEW = button("cmdPREVIEW", QStringLiteral("&Preview"));
    auto* cmdHELP = button("cmdHELP", QStringLiteral("HELP"));
    auto* cmdCLOSE = button("cmdCLOSE", QStringLiteral("&Close"));
    auto* cmdTRY = button("cmdTRY", QStringLiteral("&Try with a message..."));
    cmdTRY->setToolTip(
        QStringLiteral("Shows the reply this autoresponder, as typed, would send to a saved "
                       "message (.eml); nothing is sent or stored"));
    connect(cmdNEW, &QPushButton::clicked, this, &AutorespondersWindow::addNew);
    connect(cmdSAVE, &QPushButton::clicked, this, &AutorespondersWindow::save);
    connect(cmdDELETE, &QPushButton::clicked, this, &AutorespondersWindow::remove);
    connect(cmdPREVIEW, &QPushButton::clicked, this, &AutorespondersWindow::preview);
    connect(cmdHELP, &QPushButton::clicked, this, &AutorespondersWindow::help);
    connect(cmdTRY, &QPushButton::clicked, this, &AutorespondersWindow::tryMessage);
    connect(cmdCLOSE, &QPushButton::clicked, this, &QWidget::close);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {cmdNEW, cmdSAVE, cmdDELETE, cmdPREVIEW, cmdTRY, cmdHELP}) {
        buttons->addWidget(b);
    }
    buttons->addStretch(1);
    buttons->addWidget(cmdCLOSE);
    return buttons;
}

std::vector<std::string> AutorespondersWindow::fieldValues() const {
    const Autoresponder a = typed();
    return {a.Name,    a.To,     a.Subject,    a.msgfrom,     a.msgsubject,
            a.message, a.mailto, a.activefrom, a.activeuntil, std::to_string(a.replydays)};
}

void AutorespondersWindow::load() {
    fillList();
}

void AutorespondersWindow::fillList() {
    WaitCursor wait;
    lstAUTORESPONDERS_->clear();
    std::vector<AutoresponderEditor::Entry> entries;
    try {
        entries = editor_.entries(static_cast<std::int64_t>(std::time(nullptr)));
    } catch (const std::exception& e) {
        reportFailure(QStringLiteral("The autoresponders could not be read from data.mdb."), e);
        return;
    }
    // The entry's text stays the name (a click finds the row by it); the mark
    // shows which answer now, so a forgotten one is seen.
    const QIcon active = activityMark(true);
    const QIcon inactive = activityMark(false);
    for (const AutoresponderEditor::Entry& e : entries) {
        auto* item = new QListWidgetItem(qs(e.name), lstAUTORESPONDERS_);
        item->setIcon(e.activeNow ? active : inactive);
        const QString state = e.activeNow ? QStringLiteral("active now") : qs(e.why);
        item->setToolTip(state);
        item->setData(Qt::AccessibleDescriptionRole, state);
    }
}

void AutorespondersWindow::showRow(const QString& name) {
    std::optional<Autoresponder> row;
    try {
        row = editor_.find(name.toStdString());
    } catch (const std::exception& e) {
        reportFailure(QStringLiteral("This autoresponder could not be read from data.mdb."), e);
        return;
    }
    if (!row) {
        return;
    }
    showValue(lblcounter_, QStringLiteral("0"));
    txtNAME_->setText(qs(row->Name));
    txtTO_->setText(qs(row->To));
    txtSUBJECT_->setText(qs(row->Subject));
    txtFROM_->setText(qs(row->msgfrom));
    txtFROMSUBJECT_->setText(qs(row->msgsubject));
    txtMESSAGE_->setPlainText(qs(row->message));
    txtMAILTO_->setText(qs(row->mailto));
    showPeriodSide(chkACTIVEFROM_, dtpACTIVEFROM_, row->activefrom);
    showPeriodSide(chkACTIVEUNTIL_, dtpACTIVEUNTIL_, row->activeuntil);
    txtREPLYDAYS_->setValue(static_cast<int>(std::max<std::int64_t>(row->replydays, 0)));
    showValue(lblcounter_, QString::number(row->Counter));
    unsaved_->markSaved();
}

void AutorespondersWindow::showPeriodSide(QCheckBox* box, QDateTimeEdit* edit,
                                          const std::string& stored) {
    const QDateTime when = QDateTime::fromString(qs(stored).trimmed(), kPeriodFormat);
    // A value another program stored that is no date shows the box ticked
    // (the run answers nothing by such a row) with today: a save stores that.
    box->setChecked(!qs(stored).trimmed().isEmpty());
    edit->setDateTime(when.isValid() ? when : QDateTime(QDate::currentDate(), QTime(0, 0)));
}

void AutorespondersWindow::addNew() {
    // Edits of the autoresponder shown are not dropped by starting another.
    if (!unsaved_->mayClose()) {
        return;
    }
    for (QLineEdit* e : {txtNAME_, txtTO_, txtFROM_, txtSUBJECT_, txtFROMSUBJECT_}) {
        e->clear();
    }
    txtMESSAGE_->clear();
    chkACTIVEFROM_->setChecked(false);
    chkACTIVEUNTIL_->setChecked(false);
    txtREPLYDAYS_->setValue(0);
    showValue(lblcounter_, QStringLiteral("0"));
    unsaved_->markSaved();
}

Autoresponder AutorespondersWindow::typed() const {
    Autoresponder a;
    a.Name = txtNAME_->text().toStdString();
    a.To = txtTO_->text().toStdString();
    a.Subject = txtSUBJECT_->text().toStdString();
    a.msgfrom = txtFROM_->text().toStdString();
    a.msgsubject = txtFROMSUBJECT_->text().toStdString();
    a.message = txtMESSAGE_->toPlainText().toStdString();
    a.mailto = txtMAILTO_->text().toStdString();
    if (chkACTIVEFROM_->isChecked()) {
        a.activefrom = dtpACTIVEFROM_->dateTime().toString(kPeriodFormat).toStdString();
    }
    if (chkACTIVEUNTIL_->isChecked()) {
        a.activeuntil = dtpACTIVEUNTIL_->dateTime().toString(kPeriodFormat).toStdString();
    }
    a.replydays = txtREPLYDAYS_->value();
    return a;
}

bool AutorespondersWindow::save() {
    Outcome saved;
    try {
        WaitCursor wait;
        saved = editor_.save(typed());
    } catch (const std::exception& e) {
        // Nothing on the window changes: the user's typing is all still there.
        reportFailure(QStringLiteral("Your Autoresponder was NOT saved: data.mdb could not be "
                                     "written (a mail run may be using it). Everything you "
                                     "typed is still here; press Save again in a moment."),
                      e);
        return false;
    }
    if (saved.ok) {
        unsaved_->markSaved();
    }
    MessageBox::information(this, qs(saved.message));
    if (saved.ok) {
        fillList();
    }
    return saved.ok;
}

void AutorespondersWindow::remove() {
    if (!MessageBox::question(
            this, QStringLiteral("Are you SURE you want to delete this autoresponder?"))) {
        return;
    }
    const QList<QListWidgetItem*> selected = lstAUTORESPONDERS_->selectedItems();
    if (selected.isEmpty()) {
        MessageBox::information(this,
                                QStringLiteral("Please Select an Autoresponder from the List"));
        return;
    }
    try {
        WaitCursor wait;
        editor_.remove(selected.front()->text().toStdString());
    } catch (const std::exception& e) {
        reportFailure(QStringLiteral("The autoresponder was NOT deleted: data.mdb could not be "
                                     "written (a mail run may be using it)."),
                      e);
    }
    fillList();
}

void AutorespondersWindow::preview() {
    previewMessage(this, folder_, txtMESSAGE_->toPlainText().toStdString());
}

void AutorespondersWindow::help() {
    showHelp(AutoresponderEditor::helpLines());
}

void AutorespondersWindow::tryMessage() {
    const QString path =
        FileDialog::openFileName(this, QStringLiteral("Try with a message"),
                                 QStringLiteral("Messages (*.eml);;All files (*)"));
    if (path.isEmpty()) {
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        MessageBox::information(this,
                                QStringLiteral("The message file could not be read: ") + path);
        return;
    }
    const QByteArray raw = file.readAll();
    AutoresponderEditor::Trial trial;
    try {
        WaitCursor wait;
        trial = AutoresponderEditor::tryMessage(folder_, raw.toStdString(), typed());
    } catch (const std::exception& e) {
        reportFailure(QStringLiteral("The message could not be tried."), e);
        return;
    }
    if (trial.replies) {
        previewMessage(this, folder_, trial.reply);
    } else {
        MessageBox::information(this, qs(trial.report));
    }
}

void AutorespondersWindow::reportFailure(const QString& what, const std::exception& e) {
    MessageBox::information(this, what + QStringLiteral("\n\n") + QString::fromStdString(e.what()));
}

void AutorespondersWindow::closeEvent(QCloseEvent* event) {
    if (!unsaved_->mayClose()) {
        event->ignore();
        return;
    }
    event->accept();
    Q_EMIT closed();
}

}  // namespace vorel
