#include "gui/SettingsWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>
#include <utility>

#include "forms/Autostart.h"
#include "forms/ConnectionCheck.h"
#include "forms/Notices.h"
#include "forms/SettingsSave.h"
#include "forms/SetupConfig.h"
#include "gui/Keyring.h"
#include "gui/MessageBox.h"
#include "gui/PostingTrustBox.h"
#include "gui/Shell.h"
#include "gui/SignInPanel.h"
#include "gui/UnsavedChanges.h"
#include "gui/ValueLabel.h"
#include "gui/Widgets.h"
#include "gui/WindowKeys.h"
#include "net/CurlMailComponent.h"
#include "net/OAuth2.h"
#include "run/AccountLogin.h"
#include "store/AppFolder.h"
#include "store/SendLimits.h"

namespace vorel {

namespace {

// The controls of setup.ini's lines, in line order.
constexpr const char* kLineControls[Settings::kLineCount] = {
    "txtPOP",     "txtSMTP",        "txtUSERID",         "txtPASSWORD",   "chkLEAVE",
    "chkLOG",     "txtAUTOFORWARD", "txtRUNPROGRAM",     "txtEMAILLOG",   "chkAUTODIAL",
    "cmbDIALUP",  "txtDIALUPID",    "txtDIALUPPASSWORD", "txtDIALUPWHEN", "chkAUTODISCONNECT",
    "txtTIMEOUT", "chkESMTP",       "chkDEBUG",
};

const QString kEsmtpWarning = QString::fromUtf8(kEsmtpWarningText);

QLineEdit* textField(const char* name, const QString& label, const QString& hint) {
    auto* edit = new QLineEdit;
    named(edit, name, label);
    edit->setToolTip(hint);
    return edit;
}

QCheckBox* checkField(const char* name, const QString& caption, const QString& hint = {}) {
    auto* box = new QCheckBox(caption);
    named(box, name, caption);
    box->setToolTip(hint);
    return box;
}

QLabel* buddyLabel(const QString& text, QWidget* buddy) {
    auto* label = new QLabel(text);
    label->setBuddy(buddy);
    return label;
}

QLabel* note(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    return label;
}

// Typed characters show as "*"; the button beside the field shows them
// while it is down.
QWidget* passwordField(QLineEdit* edit, const char* toggleName, const QString& what) {
    edit->setEchoMode(QLineEdit::Password);
    edit->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    auto* show = new QToolButton;
    named(show, toggleName, QStringLiteral("Show ") + what);
    show->setText(QStringLiteral("S&how"));
    show->setToolTip(QStringLiteral("Show the ") + what.toLower());
    show->setCheckable(true);
    QObject::connect(show, &QToolButton::toggled, edit, [edit](bool on) {
        edit->setEchoMode(on ? QLineEdit::Normal : QLineEdit::Password);
    });
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(edit, 1);
    layout->addWidget(show);
    return row;
}

QString checkValue(const QCheckBox* box) {
    switch (box->checkState()) {
        case Qt::Checked:
            return QStringLiteral("1");
        case Qt::PartiallyChecked:
            return QStringLiteral("2");
        default:
            return QStringLiteral("0");
    }
}

void setCheckValue(QCheckBox* box, const std::string& value) {
    // The loader hands over only "0", "1" or "2" (greyed).
    box->setCheckState(value == "1"   ? Qt::Checked
                       : value == "2" ? Qt::PartiallyChecked
                                      : Qt::Unchecked);
}

Autostart autostart() {
    return Autostart(Autostart::defaultPath([](const char* name) {
        const char* v = std::getenv(name);
        return std::string(v ? v : "");
    }));
}

// Not a setup.ini line: the box shows whether the autostart entry is there,
// and Ok writes or removes it.
QCheckBox* autostartField() {
    QCheckBox* box = checkField(
        "chkAUTOSTART", QStringLiteral("Start Vorel when I log in"),
        QStringLiteral("Vorel starts with your desktop session in the tray (or a small countdown "
                       "window) and runs the mailer at the interval set on Connect Settings"));
    box->setChecked(autostart().enabled());
    return box;
}

// Ok's part for the autostart box: an entry the user did not switch is left
// as it is. False (after saying why) when the change failed.
bool applyAutostart(QWidget* window, const std::string& folder) {
    const auto* box = window->findChild<QCheckBox*>(QStringLiteral("chkAUTOSTART"));
    const Autostart entry = autostart();
    if (box->isChecked() == entry.enabled()) {
        return true;
    }
    const Outcome set =
        entry.set(box->isChecked(), QCoreApplication::applicationFilePath().toStdString(), folder);
    if (!set.ok) {
        MessageBox::information(window, QString::fromStdString(set.message));
    }
    return set.ok;
}

// What the window would write, line by line: unsaved edits are a difference.
std::vector<std::string> formValues(SetupForm form) {
    std::vector<std::string> v;
    for (int n = 1; n <= Settings::kLineCount; ++n) {
        v.push_back(form.settings.line(n));
    }
    v.insert(v.end(), form.antiSpam.begin(), form.antiSpam.end());
    return v;
}

// "Test connection" signs in as a run of the folder would (keyring, token).
SettingsWindow::ConnectionChecker checkerFor(std::string folder) {
    return [folder](const Settings& s) {
        CurlMailComponent mail;
        CurlTokenService tokens;
        KeyringSecretStore keyring(folder);
        AccountLogin login(folder, {KeyringSecretStore::reachable() ? &keyring : nullptr, &tokens});
        return checkConnection(s, mail, &login);
    };
}

}  // namespace

SettingsWindow::SettingsWindow(std::string folder, const std::vector<std::string>& dialUpEntries,
                               QWidget* parent)
    : QWidget(parent, Qt::Window), folder_(std::move(folder)), checker_(checkerFor(folder_)) {
    setObjectName(QStringLiteral("frmSETUP"));
    setWindowTitle(QStringLiteral("Set Up System"));
    setAttribute(Qt::WA_DeleteOnClose);

    tabs_ = new QTabWidget;
    named(tabs_, "SSTab1", QStringLiteral("Settings"));
    // Every tab stays in sight at the smallest width, none behind arrows.
    tabs_->setUsesScrollButtons(false);
    tabs_->addTab(emailTab(), QStringLiteral("Email Settings"));
    tabs_->addTab(connectTab(), QStringLiteral("Connect Settings"));
    tabs_->addTab(systemTab(), QStringLiteral("System Settings"));
    tabs_->addTab(antiSpamTab(), QStringLiteral("Anti Spam"));
    signIn_ = new SignInPanel(folder_);
    tabs_->addTab(signIn_, QStringLiteral("Sign In"));
    for (int n = 1; n <= Settings::kLineCount; ++n) {
        lines_[n - 1] = tabs_->findChild<QWidget*>(QString::fromLatin1(kLineControls[n - 1]));
    }
    for (const std::string& entry : dialUpEntries) {
        cmbDIALUP_->addItem(QString::fromStdString(entry));
    }

    auto* frame = new QGroupBox(QStringLiteral("Set up System"));
    frame->setObjectName(QStringLiteral("Frame1"));
    auto* inner = new QVBoxLayout(frame);
    inner->addWidget(tabs_);

    QPushButton* cmdOK = nullptr;
    QHBoxLayout* buttons = buttonRow(cmdOK);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(frame);
    layout->addLayout(buttons);

    load();
    unsaved_ = new UnsavedChanges(
        this,
        [this] {
            std::vector<std::string> v = formValues(collect());
            const SignInSettings in = signIn_->collect();
            v.insert(v.end(),
                     {std::to_string(static_cast<int>(in.method)), in.clientId, in.authorizeUrl,
                      in.tokenUrl, in.scope, in.passwordCommand, in.secretsInFolder ? "1" : "0"});
            for (std::string& t : trust_->values()) {
                v.push_back(std::move(t));
            }
            v.push_back(chkNOTIFY_->isChecked() ? "1" : "0");
            return v;
        },
        [this] { return save(); },
        QStringLiteral("The settings have changes that are not saved. Save them before "
                       "closing?"));
    new WindowKeys(this, cmdOK);
    resize(sizeHint().expandedTo(QSize(600, 0)).boundedTo(QSize(1000, 700)));
}

QHBoxLayout* SettingsWindow::buttonRow(QPushButton*& okButton) {
    auto button = [this](const char* name, const QString& caption, void (SettingsWindow::*act)()) {
        auto* b = new QPushButton(caption);
        named(b, name, caption);
        connect(b, &QPushButton::clicked, this, act);
        return b;
    };
    okButton = button("cmdOK", QStringLiteral("&Ok"), &SettingsWindow::ok);
    okButton->setDefault(true);
    auto* cmdCANCEL = new QPushButton(QStringLiteral("Cancel"));
    named(cmdCANCEL, "cmdCANCEL", cmdCANCEL->text());
    connect(cmdCANCEL, &QPushButton::clicked, this, &QWidget::close);
    auto* command1 = new QPushButton(QStringLiteral("&View Log"));
    named(command1, "Command1", command1->text());
    connect(command1, &QPushButton::clicked, this, [this] { viewFile(runLogPath(folder_)); });
    QPushButton* cmdDELETE =
        button("cmdDELETE", QStringLiteral("Delete &Log"), &SettingsWindow::deleteLog);
    auto* command2 = new QPushButton(QStringLiteral("View De&bug Log"));
    named(command2, "Command2", command2->text());
    connect(command2, &QPushButton::clicked, this, [this] { viewFile(debugLogPath(folder_)); });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(command1);
    buttons->addWidget(command2);
    buttons->addWidget(cmdDELETE);
    buttons->addStretch();
    buttons->addWidget(okButton);
    buttons->addWidget(cmdCANCEL);
    return buttons;
}

QWidget* SettingsWindow::emailTab() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("tabEMAIL"));
    auto* form = new QFormLayout;
    form->setRowWrapPolicy(QFormLayout::DontWrapRows);

    const QString address = QStringLiteral(
        " You can add a port (host:port) or ask for a secure connection from the start with "
        "%1://host.");
    auto* pop =
        textField("txtPOP", QStringLiteral("Your POP email server:"),
                  QStringLiteral("Usually something like pop.example.com or mail.example.com.") +
                      address.arg(QStringLiteral("pop3s")) +
                      QStringLiteral(" For an IMAP mailbox write imap://host (secured with "
                                     "STARTTLS) or imaps://host."));
    auto* smtp =
        textField("txtSMTP", QStringLiteral("Your SMTP email server:"),
                  QStringLiteral("Usually something like smtp.example.com; if you are not sure, "
                                 "ask your service provider.") +
                      address.arg(QStringLiteral("smtps")));
    auto* user =
        textField("txtUSERID", QStringLiteral("Mail Login User ID:"),
                  QStringLiteral("This is the ID you use to fetch email from your POP server"));
    auto* password = textField("txtPASSWORD", QStringLiteral("Mail Login Password:"),
                               QStringLiteral("This is the password used by your pop server"));
    auto* forward = textField(
        "txtAUTOFORWARD", QStringLiteral("Automatically Forward Copies of all Sent Mail to:"),
        QStringLiteral("Any mail sent from VOREL will also be forwarded to this email address "
                       "(with VOREL FWD in the subject)"));
    form->addRow(buddyLabel(pop->accessibleName(), pop), pop);
    form->addRow(buddyLabel(smtp->accessibleName(), smtp), smtp);
    form->addRow(buddyLabel(user->accessibleName(), user), user);
    form->addRow(buddyLabel(password->accessibleName(), password),
                 passwordField(password, "cmdSHOWPASSWORD", QStringLiteral("Password")));
    cmdTESTCONNECTION_ = new QPushButton(QStringLiteral("&Test connection"));
    named(cmdTESTCONNECTION_, "cmdTESTCONNECTION", cmdTESTCONNECTION_->text());
    cmdTESTCONNECTION_->setToolTip(
        QStringLiteral("Logs in to the POP server and greets the SMTP server with the settings "
                       "above; nothing is fetched, sent or saved."));
    connect(cmdTESTCONNECTION_, &QPushButton::clicked, this, &SettingsWindow::testConnection);
    lblTESTRESULT_ =
        newsLabel(new QLabel, "lblTESTRESULT", QStringLiteral("Connection test result"));
    lblTESTRESULT_->setWordWrap(true);
    lblTESTRESULT_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* test = new QHBoxLayout;
    test->addWidget(cmdTESTCONNECTION_);
    test->addWidget(lblTESTRESULT_, 1);
    form->addRow(test);
    form->addRow(checkField("chkLEAVE",
                            QStringLiteral("Leave My Messages on Server when Downloaded"),
                            QStringLiteral("Vorel will delete messages that it processes UNLESS "
                                           "you check this box")));
    form->addRow(buddyLabel(forward->accessibleName(), forward), forward);
    form->addRow(
        checkField("chkESMTP", QStringLiteral("My Mail Server is ESMTP rather than SMTP")));
    form->addRow(checkField("chkDEBUG", QStringLiteral("Set Debug Mode ON by default")));
    trust_ = new PostingTrustBox(folder_);  // posting.ini
    form->addRow(trust_);

    auto* layout = new QVBoxLayout(page);
    layout->addLayout(form);
    layout->addWidget(
        note(QStringLiteral("Note that this system only deletes messages it has "
                            "processed, your normal email will NEVER be deleted.")));
    layout->addStretch();
    return page;
}

QWidget* SettingsWindow::connectTab() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("tabCONNECT"));
    auto* form = new QFormLayout;

    cmbDIALUP_ = new QComboBox;
    named(cmbDIALUP_, "cmbDIALUP", QStringLiteral("Dial Up Connection to Use:"));
    cmbDIALUP_->setEditable(true);
    cmbDIALUP_->setInsertPolicy(QComboBox::NoInsert);
    cmbDIALUP_->setToolTip(QStringLiteral("Select a dial up networking connection to use."));
    auto* id = textField(
        "txtDIALUPID", QStringLiteral("Dial Up Connection Login Name:"),
        QStringLiteral("Enter the login name used to login to your dial up networking entry"));
    auto* password = textField(
        "txtDIALUPPASSWORD", QStringLiteral("Dial Up Connection Password:"),
        QStringLiteral("enter the password used to login to your dial up networking setting"));
    txtDIALUPWHEN_ =
        textField("txtDIALUPWHEN", QStringLiteral("Automatically Dial up and run the mailer every"),
                  QStringLiteral("This will cause vorel to run it's mailer ever n seconds"));
    txtDIALUPWHEN_->setMaximumWidth(80);
    txtDIALUPWHEN_->installEventFilter(this);
    auto* every = new QHBoxLayout;
    every->addWidget(buddyLabel(txtDIALUPWHEN_->accessibleName(), txtDIALUPWHEN_));
    every->addWidget(txtDIALUPWHEN_);
    every->addWidget(new QLabel(QStringLiteral("Seconds")));
    every->addStretch();
    // Said where it is typed: the rule below 20 turns the countdown off.
    lblDIALUPWHENNOTE_ = note(QStringLiteral(
        "Runs less than 20 seconds apart would follow each other without a pause, so 1 to 19 "
        "is taken as 0: no automatic runs. Enter 20 or more to run every n seconds."));
    lblDIALUPWHENNOTE_->setObjectName(QStringLiteral("lblDIALUPWHENNOTE"));
    lblDIALUPWHENNOTE_->hide();

    form->addRow(checkField("chkAUTODIAL", QStringLiteral("Auto Dial When Checking Email:"),
                            QStringLiteral("If this is checked, Vorel will automatically try and "
                                           "connect to the internet when checking email")));
    form->addRow(buddyLabel(cmbDIALUP_->accessibleName(), cmbDIALUP_), cmbDIALUP_);
    form->addRow(buddyLabel(id->accessibleName(), id), id);
    form->addRow(
        buddyLabel(password->accessibleName(), password),
        passwordField(password, "cmdSHOWDIALUPPASSWORD", QStringLiteral("Dial Up Password")));
    form->addRow(every);
    form->addRow(lblDIALUPWHENNOTE_);
    form->addRow(checkField("chkAUTODISCONNECT",
                            QStringLiteral("Automatically Disconnect when complete:"),
                            QStringLiteral("Check this box to have vorel disconnect from the "
                                           "internet when it's mail run is complete.")));

    auto* layout = new QVBoxLayout(page);
    layout->addLayout(form);
    layout->addStretch();
    return page;
}

QWidget* SettingsWindow::systemTab() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("tabSYSTEM"));
    auto* emailLog = textField(
        "txtEMAILLOG",
        QStringLiteral("At the end of each session email the log to (blank means no email):"),
        QStringLiteral("Enter your email address here, and vorel will send you an email of a log "
                       "showing what has happened when it ran the mail"));
    auto* runProgram = textField(
        "txtRUNPROGRAM", QStringLiteral("After Mail Run, Run this command line program."),
        QStringLiteral("Enter the command line to your mail program. Vorel can run this software "
                       "when it has finished a mail session."));
    auto* timeout = textField("txtTIMEOUT", QStringLiteral("Time out before system gives up:"),
                              QStringLiteral("Enter the time in seconds before vorel time's out "
                                             "and gives up trying to talk to your mail server."));
    timeout->setMaximumWidth(80);
    auto* timeoutRow = new QHBoxLayout;
    timeoutRow->addWidget(buddyLabel(timeout->accessibleName(), timeout));
    timeoutRow->addWidget(timeout);
    timeoutRow->addStretch();

    // The long labels stand above their fields.
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(buddyLabel(emailLog->accessibleName(), emailLog));
    layout->addWidget(emailLog);
    layout->addSpacing(8);
    layout->addWidget(buddyLabel(runProgram->accessibleName(), runProgram));
    layout->addWidget(runProgram);
    layout->addSpacing(8);
    layout->addWidget(checkField("chkLOG", QStringLiteral("Log Sessions")));
    layout->addLayout(timeoutRow);
    // The provider's caps: a run sends no more, and keeps the rest queued.
    auto limitField = [](const char* name, const QString& label, const QString& hint) {
        auto* box = new QSpinBox;
        box->setObjectName(QString::fromLatin1(name));
        box->setAccessibleName(label);
        box->setToolTip(hint);
        box->setRange(0, 1000000);
        box->setSpecialValueText(QStringLiteral("none"));
        box->setMaximumWidth(120);
        return box;
    };
    spnDAILYLIMIT_ = limitField("spnDAILYLIMIT",
                                QStringLiteral("Daily sending limit (recipients per 24 hours):"),
                                QStringLiteral("Your provider's daily allowance, e.g. 500 for "
                                               "Gmail; 0 = none"));
    spnPACE_ = limitField("spnPACE", QStringLiteral("Pace (messages per minute):"),
                          QStringLiteral("At most this many messages a minute, e.g. 30 for "
                                         "Microsoft 365; 0 = none"));
    auto* limits = new QFormLayout;
    limits->addRow(buddyLabel(QStringLiteral("Dail&y sending limit (recipients per 24 hours):"),
                              spnDAILYLIMIT_),
                   spnDAILYLIMIT_);
    limits->addRow(buddyLabel(QStringLiteral("Pa&ce (messages per minute):"), spnPACE_), spnPACE_);
    layout->addLayout(limits);
    layout->addSpacing(8);
    layout->addWidget(autostartField());
    chkNOTIFY_ = checkField(
        "chkNOTIFY", QStringLiteral("Tell me on the desktop when something needs me"),
        QStringLiteral("A notice when a run failed all its tries, the sign-in expired, a member "
                       "is held after bounces, posts wait for your approval or the queue "
                       "stopped at the daily limit; once each time"));
    layout->addWidget(chkNOTIFY_);
    layout->addStretch();
    return page;
}

QWidget* SettingsWindow::antiSpamTab() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("tabANTISPAM"));
    txtANTISPAMFROM_ = textField("txtANTISPAMFROM", QStringLiteral("From:"), {});
    txtANTISPAMSUBJECT_ = textField("txtANTISPAMSUBJECT", QStringLiteral("Or subject:"), {});
    txtTO_ = textField("txtTO", QStringLiteral("Or to:"), {});
    lstSPAMLIST_ = new QListWidget;
    named(lstSPAMLIST_, "lstSPAMLIST", QStringLiteral("Anti spam entries"));
    auto* add = new QPushButton(QStringLiteral("&Add"));
    named(add, "cmdADDSPAM", add->text());
    connect(add, &QPushButton::clicked, this, &SettingsWindow::addSpam);
    auto* remove = new QPushButton(QStringLiteral("&Delete"));
    named(remove, "cmdDELETESPAM", remove->text());
    connect(remove, &QPushButton::clicked, this, &SettingsWindow::deleteSpam);

    auto* heading = new QLabel(QStringLiteral("Delete messages from server when:"));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    auto* form = new QFormLayout;
    for (QLineEdit* e : {txtANTISPAMFROM_, txtANTISPAMSUBJECT_, txtTO_}) {
        form->addRow(buddyLabel(e->accessibleName(), e), e);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(page);
    layout->addWidget(
        note(QStringLiteral("Anti Spam allows you to block email addresses or "
                            "subjects that are sending you unsolicited email "
                            "messages.")));
    layout->addWidget(heading);
    layout->addLayout(form);
    layout->addLayout(buttons);
    layout->addWidget(lstSPAMLIST_, 1);
    return page;
}

void SettingsWindow::load() {
    const SendLimits limits = readSendLimits(folder_);
    spnDAILYLIMIT_->setValue(static_cast<int>(std::min(limits.dailyLimit, 1000000L)));
    spnPACE_->setValue(static_cast<int>(std::min(limits.pace, 1000000L)));
    chkNOTIFY_->setChecked(noticesWanted(folder_));
    const SetupForm form = loadSetupForm(folder_);
    for (const std::string& item : form.antiSpam) {
        lstSPAMLIST_->addItem(QString::fromStdString(item));
    }
    for (int n = 1; n <= Settings::kLineCount; ++n) {
        const std::string& value = form.settings.line(n);
        QWidget* w = lines_[n - 1];
        if (auto* box = qobject_cast<QCheckBox*>(w)) {
            setCheckValue(box, value);
        } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            edit->setText(QString::fromStdString(value));
        } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            combo->setEditText(QString::fromStdString(value));
        }
    }
    trust_->load();
    loadedPassword_ = form.settings.txtPASSWORD;
    // A password moved out of setup.ini is kept while the field stays empty.
    if (loadedPassword_.empty()) {
        tabs_->findChild<QLineEdit*>(QStringLiteral("txtPASSWORD"))
            ->setPlaceholderText(signIn_->storedPasswordPlace());
    }
}

SetupForm SettingsWindow::collect() const {
    SetupForm form;
    for (int n = 1; n <= Settings::kLineCount; ++n) {
        const QWidget* w = lines_[n - 1];
        QString value;
        if (auto* box = qobject_cast<const QCheckBox*>(w)) {
            value = checkValue(box);
        } else if (auto* edit = qobject_cast<const QLineEdit*>(w)) {
            value = edit->text();
        } else if (auto* combo = qobject_cast<const QComboBox*>(w)) {
            value = combo->currentText();
        }
        form.settings.line(n) = value.toStdString();
    }
    for (int i = 0; i < lstSPAMLIST_->count(); ++i) {
        form.antiSpam.push_back(lstSPAMLIST_->item(i)->text().toStdString());
    }
    return form;
}

void SettingsWindow::ok() {
    if (save() && applyAutostart(this, folder_)) {
        close();
    }
}

bool SettingsWindow::save() {
    // Ok pressed with Enter leaves the field without focus moving: the
    // interval must still obey its rule.
    applyDialUpWhenRule();
    SettingsSave form{
        collect(),         signIn_->collect(), {spnDAILYLIMIT_->value(), spnPACE_->value()},
        trust_->collect(), loadedPassword_,    chkNOTIFY_->isChecked()};
    if (esmtpWarningNeeded(form.setup.settings.chkESMTP)) {
        MessageBox::information(this, kEsmtpWarning);
    }
    const SettingsSaved saved =
        saveSettings(folder_, std::move(form), signIn_->keyring(), signIn_->secretWait());
    // Where the password went is said, clear text above all.
    if (!saved.passwordPlace.empty()) {
        MessageBox::information(this, QString::fromStdString(saved.passwordPlace));
    }
    if (!saved.ok) {
        MessageBox::information(this, QString::fromStdString(saved.message));
        return false;
    }
    unsaved_->markSaved();
    return true;
}

void SettingsWindow::applyDialUpWhenRule() {
    const std::string text = txtDIALUPWHEN_->text().toStdString();
    const std::string kept = dialUpWhenAfterLeaving(text);
    if (kept != text) {
        txtDIALUPWHEN_->setText(QString::fromStdString(kept));
        lblDIALUPWHENNOTE_->show();
    } else if (kept != "0") {
        lblDIALUPWHENNOTE_->hide();
    }
}

void SettingsWindow::addSpam() {
    if (auto item = antiSpamItemToAdd(txtANTISPAMFROM_->text().toStdString(),
                                      txtANTISPAMSUBJECT_->text().toStdString(),
                                      txtTO_->text().toStdString())) {
        lstSPAMLIST_->addItem(QString::fromStdString(*item));
    }
}

void SettingsWindow::deleteSpam() {
    QListWidgetItem* item = lstSPAMLIST_->currentItem();
    if (!item || !item->isSelected()) {
        MessageBox::information(this, QStringLiteral("Please select an email from the list"));
        return;
    }
    delete item;
}

void SettingsWindow::viewFile(const std::string& path) {
    openFileOrSay(this, QString::fromStdString(path));
}

void SettingsWindow::deleteLog() {
    if (!MessageBox::question(this, QStringLiteral("Are you SURE you want to delete the Log?"))) {
        return;
    }
    const Outcome deleted = deleteRunLog(folder_);
    if (!deleted.ok) {
        MessageBox::information(this, QString::fromStdString(deleted.message));
    }
}

void SettingsWindow::testConnection() {
    cmdTESTCONNECTION_->setEnabled(false);
    lblTESTRESULT_->setText(QStringLiteral("Testing..."));
    // The window may close before the servers answer: the result goes
    // through the application object, which the check's thread outlives
    // (the program joins it before the application goes), and finds the
    // window only if it is still there.
    QPointer<SettingsWindow> window(this);
    BackgroundWork::instance().start([window, check = checker_, settings = collect().settings] {
        Outcome said;
        try {
            said = check(settings);
        } catch (const std::exception& e) {
            said = Outcome::failed(e.what());
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [window, said] {
                if (window) {
                    window->showConnectionResult(said.message);
                }
            },
            Qt::QueuedConnection);
    });
}

void SettingsWindow::showConnectionResult(const std::string& said) {
    lblTESTRESULT_->setText(QString::fromStdString(said));
    trust_->offer(said);
    cmdTESTCONNECTION_->setEnabled(true);
}

bool SettingsWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == txtDIALUPWHEN_ && event->type() == QEvent::FocusOut) {
        applyDialUpWhenRule();
    }
    return QWidget::eventFilter(watched, event);
}

void SettingsWindow::closeEvent(QCloseEvent* event) {
    if (!unsaved_->mayClose()) {
        event->ignore();
        return;
    }
    event->accept();
    Q_EMIT closed();
}

}  // namespace vorel
