#include "gui/MembersWindow.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <functional>

#include "base/Clock.h"
#include "forms/MemberEdit.h"
#include "gui/EditorWindow.h"
#include "gui/ListText.h"
#include "gui/MessageBox.h"
#include "gui/ValueLabel.h"
#include "gui/Widgets.h"
#include "gui/WindowKeys.h"
#include "mail/Subscriptions.h"
#include "store/AppFolder.h"

namespace vorel {

// Rows whose texts the owner keeps; the view asks only for the rows it shows.
class LinesModel : public QAbstractListModel {
public:
    LinesModel(std::function<std::string(std::size_t)> text, QObject* parent)
        : QAbstractListModel(parent), text_(std::move(text)) {}

    void reset(std::size_t count) {
        beginResetModel();
        count_ = count;
        endResetModel();
    }
    void grow(std::size_t count) {
        if (count <= count_) {
            return;
        }
        beginInsertRows({}, static_cast<int>(count_), static_cast<int>(count - 1));
        count_ = count;
        endInsertRows();
    }
    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(count_);
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole) {
            return {};
        }
        return QString::fromStdString(text_(static_cast<std::size_t>(index.row())));
    }

private:
    std::function<std::string(std::size_t)> text_;
    std::size_t count_ = 0;
};

namespace {

QString q(const char* text) {
    return QString::fromLatin1(text);
}

QString addedLine(std::size_t added) {
    return QStringLiteral("\n\n") + QString::fromStdString(addedCountText(added));
}

QListView* linesView(const char* name, const QString& label, LinesModel* model) {
    auto* view = named(new QListView, name, label);
    view->setModel(model);
    // Equal heights let the view place a million rows without measuring them.
    view->setUniformItemSizes(true);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    return view;
}

}  // namespace

// --- frmIMPORTSTATUS

ImportStatusWindow::ImportStatusWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmIMPORTSTATUS"));
    setWindowTitle(QStringLiteral("Vorel - Importing"));
    lines_ = new LinesModel([this](std::size_t i) { return store_[i]; }, this);
    auto* importing = new QLabel(QStringLiteral("Import Status"));
    importing->setObjectName(QStringLiteral("Importing"));
    lstIMPORT_ = linesView("lstIMPORT", QStringLiteral("Import Status"), lines_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(importing);
    layout->addWidget(lstIMPORT_, 1);
    new WindowKeys(this, nullptr);
    resize(520, 300);
}

void ImportStatusWindow::addLines(const std::vector<std::string>& lines) {
    store_.insert(store_.end(), lines.begin(), lines.end());
    lines_->grow(store_.size());
    lstIMPORT_->scrollToBottom();
}

// --- frmLISTVIEW

MembersWindow::MembersWindow(std::string folder, QWidget* parent)
    : QWidget(parent, Qt::Window), folder_(std::move(folder)) {
    setObjectName(QStringLiteral("frmLISTVIEW"));
    setWindowTitle(QStringLiteral("List VIew"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto* title = editorTitle(QStringLiteral("List Member Editor"));
    auto* explain = new QLabel(QStringLiteral(
        "This screen allows you to edit/view email addresses under this list name."));
    explain->setWordWrap(true);

    QHBoxLayout* emailRow = browseRow();
    auto* command1 =
        named(new QPushButton(QStringLiteral("&Save")), "Command1", QStringLiteral("&Save"));
    auto* command2 =
        named(new QPushButton(QStringLiteral("&Delete")), "Command2", QStringLiteral("&Delete"));
    txtSEARCH_ = named(new QLineEdit, "txtSEARCH", QStringLiteral("Search"));
    txtSEARCH_->setAccessibleName(QStringLiteral("Search for"));
    // Alt+S is Save's.
    auto* cmdSEARCH =
        named(new QPushButton(QStringLiteral("Sea&rch")), "cmdSEARCH", QStringLiteral("Search"));

    QWidget* add = addTab();
    QWidget* view = viewTab();
    auto* tabs = new QTabWidget;
    tabs->setObjectName(QStringLiteral("SSTab1"));
    tabs->addTab(add, QStringLiteral("Add Email Addresses"));
    tabs->addTab(view, QStringLiteral("View Email Addresses"));
    tabs->addTab(pendingTab(), QStringLiteral("Pending Requests"));
    QHBoxLayout* bottom = fileRow();

    auto* editRow = new QHBoxLayout;
    editRow->addWidget(command1);
    editRow->addWidget(command2);
    editRow->addSpacing(24);
    editRow->addWidget(txtSEARCH_, 1);
    editRow->addWidget(cmdSEARCH);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(explain);
    layout->addLayout(emailRow);
    layout->addLayout(editRow);
    layout->addWidget(tabs, 1);
    layout->addLayout(bottom);
    resize(QSize(640, 520));

    connect(command1, &QPushButton::clicked, this, &MembersWindow::saveMember);
    connect(command2, &QPushButton::clicked, this, &MembersWindow::deleteMember);
    connect(cmdSEARCH, &QPushButton::clicked, this, &MembersWindow::search);
    auto* keys = new WindowKeys(this, nullptr);
    keys->tie(txtSEARCH_, cmdSEARCH);
    keys->tie(txtEMAIL_, command1);
    centreInBackdrop(this);
}

QHBoxLayout* MembersWindow::browseRow() {
    txtEMAIL_ = named(new QLineEdit, "txtEMAIL", QStringLiteral("Email Address:"));
    auto* emailLabel = new QLabel(QStringLiteral("Email Address:"));
    emailLabel->setBuddy(txtEMAIL_);
    auto moveButton = [](const char* name, const char* caption, const QString& label) {
        auto* b = named(new QPushButton(q(caption)), name, label);
        b->setFixedWidth(36);
        return b;
    };
    auto* cmdMOVEFIRST = moveButton("cmdMOVEFIRST", "|<", QStringLiteral("First member"));
    auto* cmdMOVEPREVIOUS = moveButton("cmdMOVEPREVIOUS", "<", QStringLiteral("Previous member"));
    auto* cmdMOVENEXT = moveButton("cmdMOVENEXT", ">", QStringLiteral("Next member"));
    auto* cmdLAST = moveButton("cmdLAST", ">|", QStringLiteral("Last member"));
    connect(txtEMAIL_, &QLineEdit::textEdited, this, &MembersWindow::emailEdited);
    connect(cmdMOVEFIRST, &QPushButton::clicked, this, [this] {
        cursor_.first();
        showCurrent();
    });
    connect(cmdMOVEPREVIOUS, &QPushButton::clicked, this, [this] {
        cursor_.previous();
        showCurrent();
    });
    connect(cmdMOVENEXT, &QPushButton::clicked, this, [this] {
        cursor_.next();
        showCurrent();
    });
    connect(cmdLAST, &QPushButton::clicked, this, [this] {
        cursor_.last();
        showCurrent();
    });
    auto* emailRow = new QHBoxLayout;
    emailRow->addWidget(emailLabel);
    emailRow->addWidget(txtEMAIL_, 1);
    for (QPushButton* b : {cmdMOVEFIRST, cmdMOVEPREVIOUS, cmdMOVENEXT, cmdLAST}) {
        emailRow->addWidget(b);
    }
    return emailRow;
}

QHBoxLayout* MembersWindow::fileRow() {
    auto* cmdIMPORT = named(new QPushButton(QStringLiteral("&Import Address from Text File")),
                            "cmdIMPORT", QStringLiteral("Import Address from Text File"));
    auto* cmdEXPORT = named(new QPushButton(QStringLiteral("&Export Addresses to File")),
                            "cmdEXPORT", QStringLiteral("&Export Addresses to File"));
    auto* cmdCLOSE =
        named(new QPushButton(QStringLiteral("&Close")), "cmdCLOSE", QStringLiteral("&Close"));

    connect(cmdIMPORT, &QPushButton::clicked, this, &MembersWindow::importClicked);
    connect(cmdEXPORT, &QPushButton::clicked, this, &MembersWindow::exportClicked);
    connect(cmdCLOSE, &QPushButton::clicked, this, &QWidget::close);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(cmdIMPORT);
    bottom->addWidget(cmdEXPORT);
    bottom->addStretch();
    bottom->addWidget(cmdCLOSE);
    return bottom;
}

QWidget* MembersWindow::addTab() {
    txtADDEMAILS_ = named(new QPlainTextEdit, "txtADDEMAILS", QStringLiteral("Addresses to add"));
    tabLeaves(txtADDEMAILS_);
    auto* addNote = new QLabel(
        QStringLiteral("Add email addresses by entering them one line at a time and then click "
                       "\"ADD EMAIL ADDRESSES\""));
    addNote->setWordWrap(true);
    auto* cmdAddaddresses = named(new QPushButton(QStringLiteral("Add Email Addresses")),
                                  "cmdAddaddresses", QStringLiteral("Add Email Addresses"));
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    v->addWidget(addNote);
    v->addWidget(txtADDEMAILS_, 1);
    auto* h = new QHBoxLayout;
    h->addStretch();
    h->addWidget(cmdAddaddresses);
    v->addLayout(h);
    connect(cmdAddaddresses, &QPushButton::clicked, this, &MembersWindow::addAddressesClicked);
    return page;
}

QWidget* MembersWindow::viewTab() {
    model_ = new LinesModel(
        [this](std::size_t i) {
            const MemberEntry& e = entries_[i];
            return held(e)
                       ? e.email + "  (held after " + std::to_string(e.bounces) + " hard bounces)"
                       : e.email;
        },
        this);
    lstEMAILS_ = linesView("lstEMAILS", QStringLiteral("Emails In this List"), model_);
    connect(lstEMAILS_, &QListView::clicked, this,
            [this](const QModelIndex& index) { entryChosen(index.row()); });
    // The keyboard chooses too.
    connect(lstEMAILS_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& index) {
                if (index.isValid() && (!cursor_.onMember() ||
                                        cursor_.index() != static_cast<std::size_t>(index.row()))) {
                    entryChosen(index.row());
                }
            });
    lblCOUNT_ =
        valueLabel("lblCOUNT", QStringLiteral("List Members"), QStringLiteral("List Members: 0"));
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    v->addWidget(new QLabel(QStringLiteral("Emails In this List")));
    v->addWidget(lstEMAILS_, 1);
    auto* h = new QHBoxLayout;
    h->addWidget(lblCOUNT_);
    h->addStretch();
    // Held members get no copies until released; a list of 100,000 shows
    // them alone so that Release can reach each.
    lblHELD_ = valueLabel("lblHELD", QStringLiteral("Held after hard bounces"),
                          QStringLiteral("Held after hard bounces: 0"));
    chkONLYHELD_ = named(new QCheckBox(QStringLiteral("Show only &held members")), "chkONLYHELD",
                         QStringLiteral("Show only held members"));
    connect(chkONLYHELD_, &QCheckBox::toggled, this, [this] { fillMembers(); });
    cmdRELEASE_ = named(new QPushButton(QStringLiteral("Re&lease")), "cmdRELEASE",
                        QStringLiteral("Release the held member"));
    cmdRELEASE_->setToolTip(
        QStringLiteral("Sends this member the list's copies again and clears the bounce count"));
    cmdRELEASE_->setEnabled(false);
    connect(cmdRELEASE_, &QPushButton::clicked, this, &MembersWindow::releaseHeld);
    h->addWidget(lblHELD_);
    h->addWidget(chkONLYHELD_);
    h->addWidget(cmdRELEASE_);
    v->addLayout(h);
    return page;
}

MembersWindow::~MembersWindow() = default;

Database* MembersWindow::db() {
    if (!db_) {
        try {
            db_.emplace(Database::open(databasePath(folder_)));
        } catch (const std::exception& e) {
            storeFailed(e);
            return nullptr;
        }
    }
    return &*db_;
}

void MembersWindow::storeFailed(const std::exception& e) {
    QApplication::restoreOverrideCursor();
    MessageBox::information(this, QStringLiteral("The members could not be read or stored; "
                                                 "nothing you typed is lost.\n\n") +
                                      QString::fromStdString(e.what()));
    db_.reset();
}

void MembersWindow::fillList(const std::string& name) {
    name_ = name;
    setWindowTitle(QStringLiteral("List VIew - ") + QString::fromStdString(name));
    fillMembers();
    fillPending();
}

void MembersWindow::fillMembers(std::size_t current) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    entries_.clear();
    if (Database* d = db()) {
        try {
            entries_ = memberEntries(*d, name_);
        } catch (const std::exception& e) {
            storeFailed(e);
        }
    }
    today_ = epochSeconds(SystemClock().now()) / 86400;
    showValue(lblCOUNT_, QStringLiteral("List Members: ") + QString::number(entries_.size()));
    const auto heldCount = std::count_if(entries_.begin(), entries_.end(),
                                         [this](const MemberEntry& e) { return held(e); });
    showValue(lblHELD_, QStringLiteral("Held after hard bounces: ") + QString::number(heldCount));
    if (chkONLYHELD_->isChecked()) {
        std::erase_if(entries_, [this](const MemberEntry& e) { return !held(e); });
    }
    model_->reset(entries_.size());
    cursor_.reset(entries_.size());
    if (current < entries_.size()) {
        cursor_.moveTo(current);
    } else if (!entries_.empty()) {
        cursor_.last();
    }
    // The box always shows the member that Save would change.
    showCurrent();
    QApplication::restoreOverrideCursor();
}

void MembersWindow::showCurrent() {
    if (!cursor_.onMember()) {
        txtEMAIL_->setText(q(kNotFound));
        lstEMAILS_->clearSelection();
        showHeld();
        return;
    }
    txtEMAIL_->setText(QString::fromStdString(entries_[cursor_.index()].email));
    const QModelIndex index = model_->index(static_cast<int>(cursor_.index()));
    lstEMAILS_->setCurrentIndex(index);
    lstEMAILS_->scrollTo(index);
    showHeld();
}

bool MembersWindow::held(const MemberEntry& e) const {
    return isHeld(e, today_);
}

void MembersWindow::showHeld() {
    cmdRELEASE_->setEnabled(cursor_.onMember() && held(entries_[cursor_.index()]));
}

void MembersWindow::releaseHeld() {
    if (!cursor_.onMember()) {
        return;
    }
    Database* d = db();
    if (!d) {
        return;
    }
    Outcome released;
    try {
        released = vorel::releaseHeld(*d, name_, entries_[cursor_.index()].email);
    } catch (const std::exception& e) {
        storeFailed(e);
        return;
    }
    fillMembers(cursor_.index());
    MessageBox::information(this, QString::fromStdString(released.message));
}

void MembersWindow::entryChosen(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= entries_.size()) {
        return;
    }
    cursor_.moveTo(static_cast<std::size_t>(row));
    showCurrent();
}

void MembersWindow::emailEdited(const QString& text) {
    const std::string typed = text.toStdString();
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].email == typed) {
            cursor_.moveTo(i);
            const QModelIndex index = model_->index(static_cast<int>(i));
            lstEMAILS_->setCurrentIndex(index);
            lstEMAILS_->scrollTo(index);
            return;
        }
    }
}

void MembersWindow::search() {
    Database* d = db();
    if (!d) {
        return;
    }
    MemberFound found;
    try {
        found = searchMembers(*d, name_, entries_, txtSEARCH_->text().toStdString());
    } catch (const std::exception& e) {
        storeFailed(e);
        return;
    }
    if (!found.ok) {
        MessageBox::information(this, QString::fromStdString(found.message));
        return;
    }
    cursor_.moveTo(found.index);
    showCurrent();
}

void MembersWindow::saveMember() {
    Database* d = db();
    if (!d) {
        return;
    }
    MemberEntry* shown = cursor_.onMember() ? &entries_[cursor_.index()] : nullptr;
    MemberSaved saved;
    try {
        saved = vorel::saveMember(*d, name_, shown, txtEMAIL_->text().toStdString());
    } catch (const std::exception& e) {
        storeFailed(e);
        return;
    }
    if (saved.ok) {
        shown->email = saved.stored;
        lstEMAILS_->update();
    }
    MessageBox::information(this, QString::fromStdString(saved.message));
    if (saved.gone) {
        fillMembers(cursor_.index());
    }
}

void MembersWindow::deleteMember() {
    Database* d = db();
    const bool onMember = cursor_.onMember();
    const std::size_t at = onMember ? cursor_.index() : 0;
    if (d) {
        try {
            removeMember(*d, onMember ? &entries_[at] : nullptr);
        } catch (const std::exception& e) {
            storeFailed(e);
        }
    }
    // The member after the deleted one becomes current, shown in the box.
    fillMembers(at);
}

void MembersWindow::addAddressesClicked() {
    const QString box = txtADDEMAILS_->toPlainText();
    if (box.isEmpty()) {
        MessageBox::information(this, q(kAddBoxEmpty));
        return;
    }
    Database* d = db();
    if (!d) {
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    std::size_t added = 0;
    try {
        added = addAddresses(*d, name_, storedText(box));
    } catch (const std::exception& e) {
        storeFailed(e);
        fillMembers();
        return;
    }
    QApplication::restoreOverrideCursor();
    MessageBox::information(this, q(kAddComplete) + addedLine(added));
    txtADDEMAILS_->clear();
    fillMembers();
}

void MembersWindow::importClicked() {
    const QString file = FileDialog::openFileName(this, q(kImportTitle), QString());
    if (file.isEmpty()) {
        MessageBox::information(this, q(kImportCancelled));
        return;
    }
    Database* d = db();
    if (!d) {
        return;
    }
    // The window takes no input while the import runs, but its status
    // window paints each batch of lines.
    setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const ImportResult result =
        importFile(*d, name_, file.toStdString(), [this](const std::vector<std::string>& lines) {
            if (!status_) {
                // In front of this window, and open until the user has read it.
                status_ = new ImportStatusWindow(this);
                status_->show();
                centreInBackdrop(status_);
            }
            status_->addLines(lines);
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        });
    QApplication::restoreOverrideCursor();
    setEnabled(true);
    if (!result.ok) {
        MessageBox::information(this, QString::fromStdString(result.message));
        return;
    }
    MessageBox::information(this, QString::fromStdString(result.message) + addedLine(result.added));
    fillMembers();
    if (status_) {
        status_->raise();
    }
}

void MembersWindow::exportClicked() {
    Database* d = db();
    if (!d) {
        return;
    }
    std::int64_t count = 0;
    try {
        count = d->memberCount(name_);
    } catch (const std::exception& e) {
        storeFailed(e);
        return;
    }
    if (count == 0) {
        MessageBox::information(this, q(kNothingToExport));
        return;
    }
    const QString file = FileDialog::saveFileName(this, q(kExportTitle), QString());
    if (file.isEmpty()) {
        MessageBox::information(this, q(kExportCancelled));
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const Outcome exported = exportMembers(*d, name_, file.toStdString());
    QApplication::restoreOverrideCursor();
    QString said = QString::fromStdString(exported.message);
    if (!exported.ok) {
        said.prepend(QStringLiteral("The export was NOT written: "));
    }
    MessageBox::information(this, said);
}

void MembersWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    db_.reset();
    Q_EMIT closed();
}

// --- pending requests

QWidget* MembersWindow::pendingTab() {
    auto* tab = new QWidget;
    auto* note = new QLabel(
        QStringLiteral("These addresses asked to join by e-mail and were sent a confirmation. "
                       "They become members when they reply; a request expires after 72 hours."));
    note->setWordWrap(true);
    lstPENDING_ = named(new QTreeWidget, "lstPENDING", QStringLiteral("Pending requests"));
    lstPENDING_->setColumnCount(2);
    lstPENDING_->setHeaderLabels({QStringLiteral("Address"), QStringLiteral("Asked")});
    lstPENDING_->setRootIsDecorated(false);
    lstPENDING_->setColumnWidth(0, 300);
    auto* cmdCONFIRM = named(new QPushButton(QStringLiteral("Con&firm")), "cmdCONFIRM",
                             QStringLiteral("Confirm the chosen request"));
    auto* cmdDROP = named(new QPushButton(QStringLiteral("Dro&p")), "cmdDROP",
                          QStringLiteral("Drop the chosen request"));
    auto* v = new QVBoxLayout(tab);
    v->addWidget(note);
    v->addWidget(lstPENDING_, 1);
    auto* h = new QHBoxLayout;
    h->addStretch();
    h->addWidget(cmdCONFIRM);
    h->addWidget(cmdDROP);
    v->addLayout(h);
    connect(cmdCONFIRM, &QPushButton::clicked, this, &MembersWindow::confirmPending);
    connect(cmdDROP, &QPushButton::clicked, this, &MembersWindow::dropPending);
    return tab;
}

void MembersWindow::fillPending() {
    pending_.clear();
    if (Database* d = db()) {
        try {
            pending_ = d->pendingOf(name_);
        } catch (const std::exception& e) {
            storeFailed(e);
        }
    }
    lstPENDING_->clear();
    for (const PendingRequest& p : pending_) {
        QString asked = QLocale::system().toString(QDateTime::fromSecsSinceEpoch(p.Asked),
                                                   QLocale::ShortFormat);
        if (!stillPending(p.Asked, epochSeconds(SystemClock().now()))) {
            asked += QStringLiteral(" (expired)");
        }
        auto* item = new QTreeWidgetItem({QString::fromStdString(p.Email), asked});
        lstPENDING_->addTopLevelItem(item);
    }
}

const PendingRequest* MembersWindow::chosenPending() const {
    // Reaching the list by keyboard makes a row current without choosing it.
    QTreeWidgetItem* item = lstPENDING_->currentItem();
    if (!item || !item->isSelected()) {
        return nullptr;
    }
    const int row = lstPENDING_->indexOfTopLevelItem(item);
    if (row < 0 || static_cast<std::size_t>(row) >= pending_.size()) {
        return nullptr;
    }
    return &pending_[static_cast<std::size_t>(row)];
}

void MembersWindow::confirmPending() {
    const PendingRequest* p = chosenPending();
    if (!p) {
        MessageBox::information(this, QStringLiteral("Please choose a request first."));
        return;
    }
    const QString email = QString::fromStdString(p->Email);
    const QString list = QString::fromStdString(name_);
    if (!MessageBox::question(
            this, QStringLiteral("Add %1 to %2 and send the welcome?").arg(email, list))) {
        return;
    }
    Database* d = db();
    if (!d) {
        return;
    }
    bool done = false;
    try {
        if (const std::optional<MailingList> found = d->findList(name_)) {
            confirmByHand(*d, folder_, *found, *p, SystemClock().now());
            done = true;
        }
    } catch (const std::exception& e) {
        storeFailed(e);
    }
    fillMembers();
    fillPending();
    if (done) {
        MessageBox::information(this, QStringLiteral("%1 is a member of %2; the welcome goes "
                                                     "out with the next run.")
                                          .arg(email, list));
    }
}

void MembersWindow::dropPending() {
    const PendingRequest* p = chosenPending();
    if (!p) {
        MessageBox::information(this, QStringLiteral("Please choose a request first."));
        return;
    }
    if (!MessageBox::question(this, QStringLiteral("Drop the request of ") +
                                        QString::fromStdString(p->Email) + QStringLiteral("?"))) {
        return;
    }
    if (Database* d = db()) {
        try {
            vorel::dropPending(*d, *p);
        } catch (const std::exception& e) {
            storeFailed(e);
        }
    }
    fillPending();
}

}  // namespace vorel
