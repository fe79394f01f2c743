#include "gui/AutorespondersWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <exception>

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
    return {a.Name, a.To, a.Subject, a.msgfrom, a.msgsubject, a.message, a.mailto};
}

void AutorespondersWindow::load() {
    fillList();
}

void AutorespondersWindow::fillList() {
    WaitCursor wait;
    lstAUTORESPONDERS_->clear();
    std::vector<std::string> names;
    try {
        names = editor_.names();
    } catch (const std::exception& e) {
        reportFailure(QStringLiteral("The autoresponders could not be read from data.mdb."), e);
        return;
    }
    QStringList items;
    items.reserve(static_cast<qsizetype>(names.size()));
    for (const std::string& n : names) {
        items.append(qs(n));
    }
    lstAUTORESPONDERS_->addItems(items);
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
    showValue(lblcounter_, QString::number(row->Counter));
    unsaved_->markSaved();
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
