#include "gui/MailingListsWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "forms/ListOverlap.h"
#include "forms/ListRules.h"
#include "forms/MergeCodeHelp.h"
#include "gui/EditorWindow.h"
#include "gui/HeldPostsPanel.h"
#include "gui/ListText.h"
#include "gui/MembersWindow.h"
#include "gui/MessageBox.h"
#include "gui/PostWindow.h"
#include "gui/Shell.h"
#include "gui/UnsavedChanges.h"
#include "gui/Widgets.h"
#include "gui/WindowKeys.h"
#include "store/AppFolder.h"

namespace vorel {

namespace {

const QString kConfirmHint = QStringLiteral(
    "A new subscriber is first sent a mail asking them to reply to confirm; the welcome "
    "waits for that reply, and a request not confirmed within 72 hours lapses.");

QString q(const char* text) {
    return QString::fromLatin1(text);
}

QLineEdit* lineBox(const char* name, const QString& label, const char* tip = nullptr) {
    auto* box = named(new QLineEdit, name, label);
    if (tip) {
        box->setToolTip(q(tip));
    }
    return box;
}

QPlainTextEdit* messageBox(const char* name, const QString& label, const char* tip = nullptr) {
    auto* box = named(new QPlainTextEdit, name, label);
    tabLeaves(box);
    if (tip) {
        box->setToolTip(q(tip));
    }
    return box;
}

// A group of a request's match fields, or of the reply sent on success.
QGroupBox* group(const QString& title, std::initializer_list<std::pair<QString, QWidget*>> rows,
                 const char* hint = nullptr) {
    auto* box = new QGroupBox(title);
    auto* form = new QFormLayout(box);
    if (hint) {
        auto* l = new QLabel(q(hint));
        l->setWordWrap(true);
        form->addRow(l);
    }
    for (const auto& [label, field] : rows) {
        if (label.isEmpty()) {
            form->addRow(field);
        } else {
            form->addRow(label, field);
        }
    }
    return box;
}

}  // namespace

MailingListsWindow::MailingListsWindow(std::string folder, QWidget* parent)
    : QWidget(parent, Qt::Window), folder_(std::move(folder)) {
    setObjectName(QStringLiteral("frmMAILLINGLISTS"));
    setWindowTitle(QStringLiteral("Vorel Mailing List Manager"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto* title = editorTitle(QStringLiteral("Mailing List Manager"));

    lstMAILING_ = named(new QListWidget, "lstMAILING", QStringLiteral("Mailing Lists"));
    auto* listLabel = new QLabel(QStringLiteral("Mailing Lists"));
    listLabel->setBuddy(lstMAILING_);
    lstMAILING_->setMinimumWidth(170);

    txtNAME_ = lineBox("txtNAME", QStringLiteral("List Name:"));
    txtNAME_->installEventFilter(this);

    QWidget* subscribe = subscribeTab();
    QWidget* unsubscribe = unsubscribeTab();
    QWidget* list = listTab();
    auto* tabs = new QTabWidget;
    tabs->setObjectName(QStringLiteral("SSTab1"));
    tabs->addTab(subscribe, QStringLiteral("Subscribe Settings"));
    tabs->addTab(unsubscribe, QStringLiteral("Unsubscribe Settings"));
    tabs->addTab(list, QStringLiteral("Message List Settings"));
    posts_ = new HeldPostsPanel(folder_);  // who may post, held posts
    tabs->addTab(posts_, QStringLiteral("Posts"));

    auto* note = new QLabel(
        QStringLiteral("To send HTML emails include <HTML> at the start. I.e. if you use a web "
                       "editor and then copy and paste the SOURCE code it should work."));
    note->setObjectName(QStringLiteral("lblHTMLNOTE"));
    note->setTextFormat(Qt::PlainText);
    note->setWordWrap(true);

    QHBoxLayout* buttons = buttonRow();

    auto* nameRow = new QHBoxLayout;
    auto* nameLabel = new QLabel(QStringLiteral("List Name:"));
    nameLabel->setBuddy(txtNAME_);
    nameRow->addWidget(nameLabel);
    nameRow->addWidget(txtNAME_, 1);

    auto* left = new QVBoxLayout;
    left->addWidget(listLabel);
    left->addWidget(lstMAILING_, 1);
    auto* right = new QVBoxLayout;
    right->addLayout(nameRow);
    right->addWidget(tabs, 1);
    right->addWidget(note);
    auto* middle = new QHBoxLayout;
    middle->addLayout(left);
    middle->addLayout(right, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addLayout(middle, 1);
    layout->addLayout(buttons);
    // Fits a 1024x768 screen with room for the frame.
    resize(sizeHint().expandedTo(QSize(820, 560)).boundedTo(QSize(1000, 700)));

    connect(lstMAILING_, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { listChosen(lstMAILING_->row(item)); });
    // The arrow keys choose as a click does.
    connect(lstMAILING_, &QListWidget::currentRowChanged, this,
            [this](int row) { listChosen(row); });

    unsaved_ = new UnsavedChanges(
        this, [this] { return fieldValues(); }, [this] { return save(); },
        QStringLiteral("The list has changes that are not saved. Save them before closing?"));
    new WindowKeys(this, nullptr);
    centreInBackdrop(this);
    fillListNames();
}

QWidget* MailingListsWindow::subscribeTab() {
    txtSUBSCRIBETO_ = lineBox("txtSUBSCRIBETO", QStringLiteral("Subscribe To:"));
    txtSUBSCRIBESUBJECT_ = lineBox("txtSUBSCRIBESUBJECT", QStringLiteral("Subscribe Subject:"));
    txtSUBSCRIBEFROM_ = lineBox(
        "txtSUBSCRIBEFROM", QStringLiteral("Welcome message From:"),
        "Some email servers REQUIRE you to enter your email address here, otherwise they will "
        "not accept the email you are sending");
    txtSUBSCRIBESUBJECTFROM_ =
        lineBox("txtSUBSCRIBESUBJECTFROM", QStringLiteral("Welcome message Subject:"),
                "Enter the subject for the message when a user subscribes.");
    txtSUBSCRIBEMESSAGE_ =
        messageBox("txtSUBSCRIBEMESSAGE", QStringLiteral("Message to new subscriber"),
                   "Enter the message you wish to send a newly subscribed user");
    auto* cmdPREVIEW = button("cmdPREVIEW", QStringLiteral("Preview Message"));
    chkCONFIRM_ = named(
        new QCheckBox(QStringLiteral("Ask new subscribers to con&firm by e-mail (recommended)")),
        "chkCONFIRM", QStringLiteral("Ask new subscribers to confirm by e-mail (recommended)"));
    chkCONFIRM_->setChecked(true);
    auto* confirmHint = new QLabel(kConfirmHint);
    confirmHint->setObjectName(QStringLiteral("lblCONFIRMHINT"));
    confirmHint->setWordWrap(true);
    // Heard with the box, not as a separate label found later.
    chkCONFIRM_->setAccessibleDescription(kConfirmHint);
    cmdPREVIEW->setAccessibleName(QStringLiteral("Preview welcome message"));
    auto* page = new QWidget;
    auto* reply = group(QStringLiteral("Message to Send to User when Succesful:"),
                        {{QStringLiteral("From:"), txtSUBSCRIBEFROM_},
                         {QStringLiteral("Subject:"), txtSUBSCRIBESUBJECTFROM_},
                         {QString(), txtSUBSCRIBEMESSAGE_}});
    auto* v = new QVBoxLayout(page);
    v->addWidget(group(QStringLiteral("Subscribe when the following fields match:"),
                       {{QStringLiteral("To:"), txtSUBSCRIBETO_},
                        {QStringLiteral("Subject:"), txtSUBSCRIBESUBJECT_}},
                       kMatchEitherHint));
    v->addWidget(chkCONFIRM_);
    v->addWidget(confirmHint);
    v->addWidget(reply, 1);
    auto* h = new QHBoxLayout;
    h->addStretch();
    h->addWidget(cmdPREVIEW);
    v->addLayout(h);
    connect(cmdPREVIEW, &QPushButton::clicked, this, [this] {
        previewMessage(this, folder_, storedText(txtSUBSCRIBEMESSAGE_->toPlainText()));
    });
    return page;
}

QWidget* MailingListsWindow::unsubscribeTab() {
    txtUNSUBSCRIBETO_ = lineBox("txtUNSUBSCRIBETO", QStringLiteral("Unsubscribe To:"),
                                "Enter the text for when a user UNsubscribes");
    txtUNSUBSCRIBESUBJECT_ =
        lineBox("txtUNSUBSCRIBESUBJECT", QStringLiteral("Unsubscribe Subject:"),
                "Enter the subject to match to unsubscribe a user.");
    txtUNSUBSCRIBEFROM_ = lineBox(
        "txtUNSUBSCRIBEFROM", QStringLiteral("Farewell message From:"),
        "Note that some email servers require you to send email FROM a valid email account on "
        "that system. If you find you are unable to send mail then make sure you put your email "
        "address in here.");
    txtUNSUBSCRIBEMESSAGESUBJECT_ =
        lineBox("txtUNSUBSCRIBEMESSAGESUBJECT", QStringLiteral("Farewell message Subject:"));
    txtUNSUBSCRIBEMESSAGE_ =
        messageBox("txtUNSUBSCRIBEMESSAGE", QStringLiteral("Message to leaving member"));
    auto* command1 = button("Command1", QStringLiteral("Preview Message"));
    command1->setAccessibleName(QStringLiteral("Preview farewell message"));
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    v->addWidget(group(QStringLiteral("Un Subscribe when the following fields match:"),
                       {{QStringLiteral("To:"), txtUNSUBSCRIBETO_},
                        {QStringLiteral("Subject:"), txtUNSUBSCRIBESUBJECT_}},
                       kMatchEitherHint));
    v->addWidget(group(QStringLiteral("Message to Send to User when Succesful:"),
                       {{QStringLiteral("From:"), txtUNSUBSCRIBEFROM_},
                        {QStringLiteral("Subject:"), txtUNSUBSCRIBEMESSAGESUBJECT_},
                        {QString(), txtUNSUBSCRIBEMESSAGE_}}),
                 1);
    auto* h = new QHBoxLayout;
    h->addStretch();
    h->addWidget(command1);
    v->addLayout(h);
    connect(command1, &QPushButton::clicked, this, [this] {
        previewMessage(this, folder_, storedText(txtUNSUBSCRIBEMESSAGE_->toPlainText()));
    });
    return page;
}

QWidget* MailingListsWindow::listTab() {
    Label17_ = new QLabel(
        QStringLiteral("When the following TO or SUBJECT match the message sent to the system "
                       "will be posted to the list:"));
    Label17_->setObjectName(QStringLiteral("Label17"));
    Label17_->setWordWrap(true);
    txtSENDTOLISTTO_ = lineBox("txtSENDTOLISTTO", QStringLiteral("Post to list To:"));
    txtSENDTOLISTSUBJECT_ =
        lineBox("txtSENDTOLISTSUBJECT", QStringLiteral("Post to list Subject:"));
    Label16_ = new QLabel(QStringLiteral("To:"));
    Label16_->setObjectName(QStringLiteral("Label16"));
    Label16_->setBuddy(txtSENDTOLISTTO_);
    Label15_ = new QLabel(QStringLiteral("Subject:"));
    Label15_->setObjectName(QStringLiteral("Label15"));
    Label15_->setBuddy(txtSENDTOLISTSUBJECT_);
    optTYPE_[0] = named(new QRadioButton(QStringLiteral(
                            "Simple Mailing List - YOU can send email to the list, but users "
                            "cannot send email to the list.")),
                        "optTYPE", QString());
    optTYPE_[1] =
        named(new QRadioButton(QStringLiteral("Conference - Users can send email to the list")),
              "optTYPE", QString());
    for (int i = 0; i < 2; ++i) {
        // Heard with its explanation, as it reads.
        optTYPE_[i]->setAccessibleName(optTYPE_[i]->text());
        optTYPE_[i]->setProperty("index", i);
        connect(optTYPE_[i], &QRadioButton::toggled, this, [this](bool on) {
            if (on) {
                typeChosen();
            }
        });
    }
    textTOADD_ =
        messageBox("textTOADD", QStringLiteral("Text to add to the bottom of every message"));
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    auto* grid = new QGridLayout;
    grid->addWidget(Label17_, 0, 0, 1, 2);
    grid->addWidget(Label16_, 1, 0);
    grid->addWidget(txtSENDTOLISTTO_, 1, 1);
    grid->addWidget(Label15_, 2, 0);
    grid->addWidget(txtSENDTOLISTSUBJECT_, 2, 1);
    v->addLayout(grid);
    auto* typeBox = new QGroupBox(QStringLiteral("Type of List:"));
    auto* tv = new QVBoxLayout(typeBox);
    tv->addWidget(optTYPE_[0]);
    tv->addWidget(optTYPE_[1]);
    v->addWidget(typeBox);
    // Providers refuse or rewrite a From the account does not own.
    chkFROMLIST_ =
        named(new QCheckBox(QStringLiteral("Send copies from the list's add&ress (recommended)")),
              "chkFROMLIST", QStringLiteral("Send copies from the list's address (recommended)"));
    chkFROMLIST_->setChecked(true);
    auto* fromHint = new QLabel(QStringLiteral(
        "Copies come from the list's address (the posting To, else the subscribe From) with "
        "the poster's name, and replies go to the poster. Your SMTP account must be allowed "
        "to send as that address."));
    fromHint->setObjectName(QStringLiteral("lblFROMLISTHINT"));
    fromHint->setWordWrap(true);
    chkFROMLIST_->setAccessibleDescription(fromHint->text());
    v->addWidget(chkFROMLIST_);
    v->addWidget(fromHint);
    auto* footLabel = new QLabel(
        QStringLiteral("Text to add to the bottom of every message:- (remember, HTML messages "
                       "need HTML code)"));
    footLabel->setWordWrap(true);
    footLabel->setBuddy(textTOADD_);
    v->addWidget(footLabel);
    v->addWidget(textTOADD_, 1);
    return page;
}

QHBoxLayout* MailingListsWindow::buttonRow() {
    auto* cmdADDNEW = button("cmdADDNEW", QStringLiteral("&Add New"));
    auto* cmdSAVE = button("cmdSAVE", QStringLiteral("&Save"));
    auto* cmdDELETE = button("cmdDELETE", QStringLiteral("&Delete"));
    auto* cmdVEWILIST = button("cmdVEWILIST", QStringLiteral("&View List Members"));
    auto* cmdPOSTMESSAGE = button("cmdPOSTMESSAGE", QStringLiteral("&Post Message to List"));
    auto* cmdHELP = button("cmdHELP", QStringLiteral("&Help"));
    auto* cmdCLOSE = button("cmdCLOSE", QStringLiteral("&Close"));
    connect(cmdADDNEW, &QPushButton::clicked, this, &MailingListsWindow::addNew);
    connect(cmdSAVE, &QPushButton::clicked, this, &MailingListsWindow::save);
    connect(cmdDELETE, &QPushButton::clicked, this, &MailingListsWindow::remove);
    connect(cmdVEWILIST, &QPushButton::clicked, this, &MailingListsWindow::viewMembers);
    connect(cmdPOSTMESSAGE, &QPushButton::clicked, this, &MailingListsWindow::postMessage);
    connect(cmdHELP, &QPushButton::clicked, this, &MailingListsWindow::showHelp);
    connect(cmdCLOSE, &QPushButton::clicked, this, &QWidget::close);

    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {cmdADDNEW, cmdSAVE, cmdDELETE, cmdVEWILIST, cmdPOSTMESSAGE}) {
        buttons->addWidget(b);
    }
    buttons->addStretch();
    buttons->addWidget(cmdHELP);
    buttons->addWidget(cmdCLOSE);
    return buttons;
}

MailingListsWindow::~MailingListsWindow() {
    // The list may report a change while it goes; this window is gone by then.
    lstMAILING_->disconnect(this);
}

MembersWindow* MailingListsWindow::membersWindow() const {
    return members_.data();
}

PostWindow* MailingListsWindow::postWindow() const {
    return post_.data();
}

Database* MailingListsWindow::db() {
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

void MailingListsWindow::storeFailed(const std::exception& e) {
    QApplication::restoreOverrideCursor();
    MessageBox::information(this, QStringLiteral("The mailing lists could not be read or "
                                                 "stored; nothing you typed is lost.\n\n") +
                                      QString::fromStdString(e.what()));
    // The next attempt opens the database afresh.
    db_.reset();
}

std::string MailingListsWindow::listName() const {
    return normaliseListName(txtNAME_->text().toStdString());
}

std::string MailingListsWindow::footer() const {
    return storedText(textTOADD_->toPlainText());
}

void MailingListsWindow::fillListNames() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    lstMAILING_->clear();
    rows_.clear();
    if (Database* d = db()) {
        try {
            rows_ = d->lists();
        } catch (const std::exception& e) {
            storeFailed(e);
        }
    }
    for (const MailingList& row : rows_) {
        lstMAILING_->addItem(QString::fromStdString(row.Name));
    }
    QApplication::restoreOverrideCursor();
}

void MailingListsWindow::listChosen(int row) {
    if (row >= 0 && static_cast<std::size_t>(row) < rows_.size()) {
        showListRecord(rows_[static_cast<std::size_t>(row)]);
    }
}

std::vector<std::string> MailingListsWindow::fieldValues() const {
    std::vector<std::string> v;
    for (const QLineEdit* box :
         {txtNAME_, txtSUBSCRIBETO_, txtSUBSCRIBESUBJECT_, txtSUBSCRIBEFROM_,
          txtSUBSCRIBESUBJECTFROM_, txtUNSUBSCRIBETO_, txtUNSUBSCRIBESUBJECT_, txtUNSUBSCRIBEFROM_,
          txtUNSUBSCRIBEMESSAGESUBJECT_, txtSENDTOLISTTO_, txtSENDTOLISTSUBJECT_}) {
        v.push_back(box->text().toStdString());
    }
    for (const QPlainTextEdit* box : {txtSUBSCRIBEMESSAGE_, txtUNSUBSCRIBEMESSAGE_, textTOADD_}) {
        v.push_back(box->toPlainText().toStdString());
    }
    v.push_back(optTYPE_[0]->isChecked() ? "0" : optTYPE_[1]->isChecked() ? "1" : "");
    v.push_back(chkCONFIRM_->isChecked() ? "1" : "0");
    v.push_back(chkFROMLIST_->isChecked() ? "1" : "0");
    for (std::string& value : posts_->values()) {
        v.push_back(std::move(value));
    }
    // A name typed but not yet normalised is the same name.
    v[0] = listName();
    return v;
}

void MailingListsWindow::showListRecord(const MailingList& row) {
    txtNAME_->setText(QString::fromStdString(row.Name));
    optTYPE_[row.Type == 0 ? 0 : 1]->setChecked(true);
    const std::pair<QLineEdit*, const std::string*> lines[] = {
        {txtSUBSCRIBETO_, &row.onsubscribeto},
        {txtSUBSCRIBESUBJECT_, &row.onsubscribesubject},
        {txtSUBSCRIBEFROM_, &row.subscribefrom},
        {txtSUBSCRIBESUBJECTFROM_, &row.subscribesubject},
        {txtUNSUBSCRIBETO_, &row.onunsubscribeto},
        {txtUNSUBSCRIBESUBJECT_, &row.onunsubscribesubject},
        {txtUNSUBSCRIBEFROM_, &row.unsubscribefrom},
        {txtUNSUBSCRIBEMESSAGESUBJECT_, &row.unsubscribesubject},
        {txtSENDTOLISTTO_, &row.sendtolistfrom},
        {txtSENDTOLISTSUBJECT_, &row.sendtolistsubject},
    };
    for (const auto& [box, value] : lines) {
        box->setText(QString::fromStdString(*value));
    }
    txtSUBSCRIBEMESSAGE_->setPlainText(boxText(row.subscribemessage));
    txtUNSUBSCRIBEMESSAGE_->setPlainText(boxText(row.unsubscribemessage));
    textTOADD_->setPlainText(boxText(row.textTOADD));
    chkCONFIRM_->setChecked(row.confirm);
    chkFROMLIST_->setChecked(row.fromList);
    posts_->showList(row);
    if (unsaved_) {
        unsaved_->markSaved();
    }
}

void MailingListsWindow::typeChosen() {
    const bool conference = !optTYPE_[0]->isChecked();
    for (QWidget* w :
         {static_cast<QWidget*>(txtSENDTOLISTTO_), static_cast<QWidget*>(txtSENDTOLISTSUBJECT_),
          static_cast<QWidget*>(Label15_), static_cast<QWidget*>(Label16_),
          static_cast<QWidget*>(Label17_)}) {
        w->setVisible(conference);
    }
}

bool MailingListsWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == txtNAME_) {
        // The name rule applies as the focus leaves, wherever it goes; the
        // focus is never moved for it, so typing lands where the user looks.
        if (event->type() == QEvent::FocusOut) {
            const QString normal = QString::fromStdString(listName());
            if (normal != txtNAME_->text()) {
                txtNAME_->setText(normal);
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MailingListsWindow::addNew() {
    // Edits of the list shown are not dropped by starting another.
    if (!unsaved_->mayClose()) {
        return;
    }
    clearFields();
    unsaved_->markSaved();
}

void MailingListsWindow::clearFields() {
    for (QLineEdit* box :
         {txtNAME_, txtSUBSCRIBETO_, txtSUBSCRIBESUBJECT_, txtSUBSCRIBEFROM_,
          txtSUBSCRIBESUBJECTFROM_, txtUNSUBSCRIBETO_, txtUNSUBSCRIBESUBJECT_, txtUNSUBSCRIBEFROM_,
          txtUNSUBSCRIBEMESSAGESUBJECT_, txtSENDTOLISTTO_, txtSENDTOLISTSUBJECT_}) {
        box->clear();
    }
    txtSUBSCRIBEMESSAGE_->clear();
    txtUNSUBSCRIBEMESSAGE_->clear();
    chkCONFIRM_->setChecked(true);
    // No list stays highlighted over fields that are not its own.
    const QSignalBlocker quiet(lstMAILING_);
    lstMAILING_->setCurrentRow(-1);
    lstMAILING_->clearSelection();
    chkFROMLIST_->setChecked(true);
    posts_->clear();
}

bool MailingListsWindow::save() {
    // The name is normalised as it leaves the box; a click that never took
    // the focus from it (an access key) must store the same.
    txtNAME_->setText(QString::fromStdString(listName()));
    MailingList row;
    row.Name = listName();
    row.Type = optTYPE_[0]->isChecked() ? 0 : 1;
    row.onsubscribeto = txtSUBSCRIBETO_->text().toStdString();
    row.onsubscribesubject = txtSUBSCRIBESUBJECT_->text().toStdString();
    row.subscribefrom = txtSUBSCRIBEFROM_->text().toStdString();
    row.subscribesubject = txtSUBSCRIBESUBJECTFROM_->text().toStdString();
    row.subscribemessage = storedText(txtSUBSCRIBEMESSAGE_->toPlainText());
    row.onunsubscribeto = txtUNSUBSCRIBETO_->text().toStdString();
    row.onunsubscribesubject = txtUNSUBSCRIBESUBJECT_->text().toStdString();
    row.unsubscribefrom = txtUNSUBSCRIBEFROM_->text().toStdString();
    row.unsubscribesubject = txtUNSUBSCRIBEMESSAGESUBJECT_->text().toStdString();
    row.unsubscribemessage = storedText(txtUNSUBSCRIBEMESSAGE_->toPlainText());
    row.sendtolistfrom = txtSENDTOLISTTO_->text().toStdString();
    row.sendtolistsubject = txtSENDTOLISTSUBJECT_->text().toStdString();
    row.textTOADD = footer();
    row.confirm = chkCONFIRM_->isChecked();
    row.fromList = chkFROMLIST_->isChecked();
    posts_->fillRow(row);
    if (row.Name.empty()) {
        MessageBox::information(this, q(kListNameMissing));
        return false;
    }
    Database* d = db();
    if (!d) {
        return false;
    }
    const bool noType = !optTYPE_[0]->isChecked() && !optTYPE_[1]->isChecked();
    Outcome result;
    try {
        result = saveList(*d, row);
    } catch (const std::exception& e) {
        storeFailed(e);
        return false;
    }
    if (noType) {
        optTYPE_[1]->setChecked(true);
    }
    fillListNames();
    selectListNamed(row.Name);
    unsaved_->markSaved();
    QString said = QString::fromStdString(result.message);
    if (noType) {
        said += QStringLiteral(
            "\n\nNo type of list was chosen, so it was saved as a Conference "
            "(users can send email to the list); choose the type on the "
            "\"Message List Settings\" tab.");
    }
    MessageBox::information(this, said);
    const std::string overlap = requestOverlapWarning(row);
    if (!overlap.empty()) {
        MessageBox::information(this, QString::fromStdString(overlap));
    }
    return true;
}

void MailingListsWindow::selectListNamed(const std::string& name) {
    const QSignalBlocker quiet(lstMAILING_);
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].Name == name) {
            lstMAILING_->setCurrentRow(static_cast<int>(i));
            return;
        }
    }
}

void MailingListsWindow::remove() {
    const std::string name = listName();
    if (name.empty()) {
        MessageBox::information(this, q(kSelectListToDelete));
        return;
    }
    if (!MessageBox::question(this, q(kDeleteListQuestion))) {
        return;
    }
    Database* d = db();
    if (!d) {
        return;
    }
    Outcome result;
    try {
        result = deleteList(*d, name);
    } catch (const std::exception& e) {
        storeFailed(e);
        fillListNames();
        return;
    }
    if (!result.message.empty()) {
        MessageBox::information(this, QString::fromStdString(result.message));
    }
    fillListNames();
    // The deleted list's values would read as a list still there.
    clearFields();
    textTOADD_->clear();
    unsaved_->markSaved();
}

void MailingListsWindow::viewMembers() {
    const std::string name = listName();
    if (name.empty()) {
        MessageBox::information(this, q(kSaveListFirst));
        return;
    }
    txtNAME_->setText(QString::fromStdString(name));
    hide();
    members_ = new MembersWindow(folder_, parentWidget());
    connect(members_, &MembersWindow::closed, this, [this] {
        show();
        raise();
        centreInBackdrop(this);
    });
    members_->show();
    members_->fillList(name);
}

void MailingListsWindow::postMessage() {
    if (listName().empty()) {
        MessageBox::information(this, q(kSelectListToPost));
        return;
    }
    // The post window keeps its own copy of the list: this window may close,
    // or show another list, while the message is typed.
    if (!post_ || post_->listName() != listName()) {
        post_ = new PostWindow(folder_, listName(), footer(), parentWidget());
    }
    post_->show();
    post_->raise();
}

void MailingListsWindow::showHelp() {
    vorel::showHelp(mergeCodeHelp("MAILING LIST HELP"));
}

void MailingListsWindow::closeEvent(QCloseEvent* event) {
    if (!unsaved_->mayClose()) {
        event->ignore();
        return;
    }
    // An open post window stays with its typing and its own copy of the list.
    event->accept();
    db_.reset();
    Q_EMIT closed();
}

}  // namespace vorel
