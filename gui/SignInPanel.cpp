#include "gui/SignInPanel.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "base/SessionBus.h"
#include "forms/ConnectionCheck.h"
#include "forms/StartUp.h"
#include "gui/Keyring.h"
#include "gui/Shell.h"
#include "gui/ValueLabel.h"
#include "gui/Widgets.h"
#include "net/OAuth2.h"
#include "run/AccountLogin.h"
#include "store/AppFolder.h"

namespace vorel {

namespace {

// In the order of LoginMethod.
const char* const kMethodCaptions[] = {"Password", "Sign in with Microsoft",
                                       "Sign in (custom OAuth2)", "Password command"};

QLineEdit* field(const char* name, const QString& label, const QString& hint) {
    auto* edit = new QLineEdit;
    named(edit, name, label);
    edit->setToolTip(hint);
    return edit;
}

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

// The real flow: the listener waits here; the address goes to the window,
// which opens the browser and shows it.
TokenAnswer browserSignIn(const OAuth2Provider& provider, const std::function<bool()>& cancelled,
                          const std::function<void(const std::string&)>& show) {
    LoopbackSignIn signIn(provider);
    std::string url;
    try {
        url = signIn.start();
    } catch (const std::exception& e) {
        TokenAnswer failed;
        failed.error = "invalid_request";
        failed.errorText = e.what();
        return failed;
    }
    show(url);
    return signIn.finish(300, cancelled);
}

}  // namespace

SignInPanel::SignInPanel(std::string folder, QWidget* parent)
    : QWidget(parent),
      folder_(std::move(folder)),
      cancelled_(std::make_shared<std::atomic<bool>>(false)) {
    QPointer<SignInPanel> panel(this);
    flow_ = [panel](const OAuth2Provider& provider, const std::function<bool()>& cancelled) {
        return browserSignIn(provider, cancelled, [panel](const std::string& url) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [panel, url] {
                    if (panel) {
                        panel->showSignInAddress(QString::fromStdString(url));
                    }
                },
                Qt::QueuedConnection);
        });
    };
    setObjectName(QStringLiteral("tabSIGNIN"));
    if (KeyringSecretStore::reachable()) {
        ownKeyring_ = std::make_unique<KeyringSecretStore>(folder_);
        keyring_ = ownKeyring_.get();
    }
    cmbLOGINMETHOD_ = new QComboBox;
    named(cmbLOGINMETHOD_, "cmbLOGINMETHOD", QStringLiteral("Login method:"));
    for (const char* caption : kMethodCaptions) {
        cmbLOGINMETHOD_->addItem(QString::fromLatin1(caption));
    }
    cmbLOGINMETHOD_->setToolTip(
        QStringLiteral("How Vorel logs in to your POP and SMTP servers. Microsoft mailboxes "
                       "take no passwords: sign in with Microsoft."));

    txtCLIENTID_ = field("txtCLIENTID", QStringLiteral("Client ID:"),
                         QStringLiteral("The application (client) ID of your registered "
                                        "desktop client"));
    txtAUTHORIZEURL_ = field("txtAUTHORIZEURL", QStringLiteral("Authorization URL:"),
                             QStringLiteral("e.g. https://accounts.google.com/o/oauth2/v2/auth"));
    txtTOKENURL_ = field("txtTOKENURL", QStringLiteral("Token URL:"),
                         QStringLiteral("e.g. https://oauth2.googleapis.com/token"));
    txtSCOPE_ = field("txtSCOPE", QStringLiteral("Scopes:"),
                      QStringLiteral("Separated by spaces, e.g. https://mail.google.com/"));
    lblCLIENTHINT_ = new QLabel(text(kMicrosoftRegisterHint));
    lblCLIENTHINT_->setWordWrap(true);
    lblCLIENTHINT_->setObjectName(QStringLiteral("lblCLIENTHINT"));
    providerBox_ = new QWidget;
    auto* provider = new QFormLayout(providerBox_);
    provider->setContentsMargins(0, 0, 0, 0);
    for (QLineEdit* e : {txtCLIENTID_, txtAUTHORIZEURL_, txtTOKENURL_, txtSCOPE_}) {
        auto* label = new QLabel(e->accessibleName());
        label->setBuddy(e);
        provider->addRow(label, e);
    }
    provider->addRow(lblCLIENTHINT_);

    cmdSIGNIN_ = new QPushButton(QStringLiteral("&Sign in..."));
    named(cmdSIGNIN_, "cmdSIGNIN", QStringLiteral("Sign in..."));
    cmdSIGNIN_->setToolTip(QStringLiteral("Opens the provider's sign-in page in your browser"));
    connect(cmdSIGNIN_, &QPushButton::clicked, this, &SignInPanel::signIn);
    lblSIGNEDIN_ = valueLabel("lblSIGNEDIN", QStringLiteral("Sign-in state"),
                              QStringLiteral("Not signed in."));
    lblSIGNEDIN_->setWordWrap(true);
    lblSIGNEDIN_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    cmdCANCELSIGNIN_ = named(new QPushButton(QStringLiteral("Cancel si&gn-in")), "cmdCANCELSIGNIN",
                             QStringLiteral("Cancel sign-in"));
    cmdCANCELSIGNIN_->setVisible(false);
    connect(cmdCANCELSIGNIN_, &QPushButton::clicked, this, [this] {
        cancelled_->store(true);
        cmdCANCELSIGNIN_->setEnabled(false);
    });
    auto* signInRow = new QHBoxLayout;
    signInRow->addWidget(cmdSIGNIN_);
    signInRow->addWidget(lblSIGNEDIN_, 1);
    signInRow->addWidget(cmdCANCELSIGNIN_);
    // Where no browser opens (a server, a remote session) the address is
    // copied to one that can.
    txtSIGNINURL_ = named(new QLineEdit, "txtSIGNINURL", QStringLiteral("Sign-in address:"));
    txtSIGNINURL_->setReadOnly(true);
    cmdCOPYURL_ = named(new QPushButton(QStringLiteral("Cop&y")), "cmdCOPYURL",
                        QStringLiteral("Copy the sign-in address"));
    connect(cmdCOPYURL_, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(txtSIGNINURL_->text()); });
    urlRow_ = new QWidget;
    auto* urlLayout = new QHBoxLayout(urlRow_);
    urlLayout->setContentsMargins(0, 0, 0, 0);
    auto* urlLabel = new QLabel(QStringLiteral("Sign-in &address:"));
    urlLabel->setBuddy(txtSIGNINURL_);
    urlLayout->addWidget(urlLabel);
    urlLayout->addWidget(txtSIGNINURL_, 1);
    urlLayout->addWidget(cmdCOPYURL_);
    urlRow_->setVisible(false);

    txtPASSWORDCOMMAND_ =
        field("txtPASSWORDCOMMAND", QStringLiteral("Password command:"),
              QStringLiteral("Run without a shell when no keyring answers; the first line it "
                             "prints is the password (or an access token for OAuth2). "
                             "VOREL_PASSWORD_COMMAND overrides it."));
    lblCOMMANDHINT_ = newsLabel(new QLabel, "lblCOMMANDHINT",
                                QStringLiteral("When the password command is used"));
    lblCOMMANDHINT_->setWordWrap(true);
    // The warning is in the caption: a tooltip is seen only by hovering.
    chkSECRETSINFOLDER_ =
        new QCheckBox(QStringLiteral("Keep secrets in the application folder (in clear &text)"));
    named(chkSECRETSINFOLDER_, "chkSECRETSINFOLDER", chkSECRETSINFOLDER_->text());
    chkSECRETSINFOLDER_->setToolTip(
        QStringLiteral("For computers without a desktop keyring: the password and the sign-in "
                       "are kept in a file only you can read, in clear text."));

    auto* form = new QFormLayout;
    auto* methodLabel = new QLabel(QStringLiteral("Login &method:"));
    methodLabel->setBuddy(cmbLOGINMETHOD_);
    form->addRow(methodLabel, cmbLOGINMETHOD_);
    auto* commandLabel = new QLabel(QStringLiteral("Pass&word command:"));
    commandLabel->setBuddy(txtPASSWORDCOMMAND_);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(providerBox_);
    layout->addLayout(signInRow);
    layout->addWidget(urlRow_);
    auto* commandForm = new QFormLayout;
    commandForm->addRow(commandLabel, txtPASSWORDCOMMAND_);
    commandForm->addRow(lblCOMMANDHINT_);
    layout->addLayout(commandForm);
    layout->addWidget(chkSECRETSINFOLDER_);
    lblKEYRING_ = newsLabel(new QLabel, "lblKEYRING", QStringLiteral("Where secrets are kept"));
    lblKEYRING_->setWordWrap(true);
    showWhereKept();
    layout->addWidget(lblKEYRING_);
    layout->addStretch();

    connect(cmbLOGINMETHOD_, &QComboBox::currentIndexChanged, this, &SignInPanel::methodChanged);
    connect(chkSECRETSINFOLDER_, &QCheckBox::toggled, this, &SignInPanel::showWhereKept);
    load();
}

SignInPanel::~SignInPanel() {
    cancelled_->store(true);  // a sign-in still waiting on the browser gives up
}

void SignInPanel::load() {
    const SignInSettings s = readSignInSettings(folder_);
    cmbLOGINMETHOD_->setCurrentIndex(static_cast<int>(s.method));
    txtCLIENTID_->setText(text(s.clientId));
    txtAUTHORIZEURL_->setText(text(s.authorizeUrl));
    txtTOKENURL_->setText(text(s.tokenUrl));
    txtSCOPE_->setText(text(s.scope));
    txtPASSWORDCOMMAND_->setText(text(s.passwordCommand));
    chkSECRETSINFOLDER_->setChecked(s.secretsInFolder);
    account_ = s.account;
    if (s.oauth2() && !s.account.empty()) {
        showValue(lblSIGNEDIN_, s.account == "?" ? QStringLiteral("Signed in.")
                                                 : QStringLiteral("Signed in as ") +
                                                       text(s.account) + QStringLiteral("."));
    }
    methodChanged();
}

void SignInPanel::methodChanged() {
    const auto method = static_cast<LoginMethod>(cmbLOGINMETHOD_->currentIndex());
    const bool custom = method == LoginMethod::CustomOAuth2;
    // The Microsoft preset needs a client ID only where the build has none.
    const bool microsoftNeedsId =
        method == LoginMethod::Microsoft && builtInMicrosoftClientId().empty();
    providerBox_->setVisible(custom || microsoftNeedsId);
    // The Microsoft preset has its own addresses: only the client ID shows.
    auto* provider = static_cast<QFormLayout*>(providerBox_->layout());
    for (QLineEdit* e : {txtAUTHORIZEURL_, txtTOKENURL_, txtSCOPE_}) {
        e->setEnabled(custom);
        provider->setRowVisible(e, custom);
    }
    switch (method) {
        case LoginMethod::PasswordCommand:
            lblCOMMANDHINT_->setText(QStringLiteral(
                "Vorel runs this command at every login; the first line it prints is the "
                "password."));
            break;
        case LoginMethod::Password:
            lblCOMMANDHINT_->setText(QStringLiteral(
                "Optional: run only when neither setup.ini nor the keyring has the password "
                "(a run from a timer, outside the desktop)."));
            break;
        default:
            lblCOMMANDHINT_->setText(QStringLiteral(
                "Optional: when set, the first line it prints is used as the access token "
                "instead of the sign-in."));
            break;
    }
    lblCLIENTHINT_->setVisible(microsoftNeedsId);
    cmdSIGNIN_->setEnabled(custom || method == LoginMethod::Microsoft);
}

SignInSettings SignInPanel::collect() const {
    SignInSettings s;
    s.method = static_cast<LoginMethod>(cmbLOGINMETHOD_->currentIndex());
    s.clientId = txtCLIENTID_->text().trimmed().toStdString();
    s.authorizeUrl = txtAUTHORIZEURL_->text().trimmed().toStdString();
    s.tokenUrl = txtTOKENURL_->text().trimmed().toStdString();
    s.scope = txtSCOPE_->text().trimmed().toStdString();
    s.passwordCommand = txtPASSWORDCOMMAND_->text().toStdString();
    s.secretsInFolder = chkSECRETSINFOLDER_->isChecked();
    s.account = account_;
    return s;
}

SecretWait SignInPanel::secretWait() {
    // While the keyring answers (an unlock prompt) the window takes no input.
    return {[this](bool keyring) {
                QWidget* top = window();
                top->setEnabled(false);
                if (keyring) {
                    lblKEYRING_->setText(
                        QStringLiteral("Waiting for the desktop keyring (it may ask you "
                                       "to unlock it)..."));
                    top->setCursor(Qt::BusyCursor);
                }
                QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            },
            [this] {
                QWidget* top = window();
                top->unsetCursor();
                top->setEnabled(true);
                showWhereKept();
            }};
}

void SignInPanel::setKeyringTimeLimit(int ms) {
    keyringLimitMs_ = ms;
    if (ownKeyring_) {
        ownKeyring_->setTimeLimit(ms);
    }
}

QString SignInPanel::storedPasswordPlace() {
    if (FileSecretStore(folder_).readSecret(kPasswordKey)) {
        return QStringLiteral("stored in the application folder");
    }
    // Only where this folder ever used the keyring: an unused one is not
    // asked (it could prompt to be unlocked).
    if (keyring_ == nullptr || !fileExists(joinPath(folder_, kSignInFile))) {
        return {};
    }
    // The window opens after a few seconds at most, whatever the keyring does.
    if (ownKeyring_) {
        ownKeyring_->setTimeLimit(3000);
    }
    const bool stored = keyring_->readSecret(kPasswordKey).has_value();
    if (ownKeyring_) {
        ownKeyring_->setTimeLimit(keyringLimitMs_);
    }
    return stored ? QStringLiteral("stored in the keyring") : QString();
}

void SignInPanel::signIn() {
    const SignInSettings settings = collect();
    const OAuth2Provider provider = providerFor(settings);
    if (const std::string missing = missingProviderSetting(provider); !missing.empty()) {
        showValue(lblSIGNEDIN_,
                  QStringLiteral("Cannot sign in: ") + text(missing) + QStringLiteral("."));
        return;
    }
    cmdSIGNIN_->setEnabled(false);
    cancelled_ = std::make_shared<std::atomic<bool>>(false);
    cmdCANCELSIGNIN_->setEnabled(true);
    cmdCANCELSIGNIN_->setVisible(true);
    showValue(lblSIGNEDIN_, QStringLiteral("Waiting for the sign-in in your browser..."));
    QPointer<SignInPanel> panel(this);
    // The panel may go before the browser answers (its end cancels the
    // wait): the program joins the thread before the application goes.
    BackgroundWork::instance().start(
        [panel, flow = flow_, provider, settings, cancelled = cancelled_] {
            const TokenAnswer answer = flow(provider, [cancelled] { return cancelled->load(); });
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [panel, settings, answer] {
                    if (panel) {
                        panel->signInDone(settings, answer);
                    }
                },
                Qt::QueuedConnection);
        });
}

void SignInPanel::showWhereKept() {
    QString where;
    if (chkSECRETSINFOLDER_->isChecked()) {
        where = QStringLiteral(
            "Passwords and sign-ins are kept in the application folder, in "
            "clear text in a file only you can read.");
    } else if (keyring_ != nullptr) {
        where = QStringLiteral("Passwords and sign-ins are kept in your desktop keyring.");
    } else if (sessionBusReachable()) {
        where = QStringLiteral(
            "No desktop keyring (Secret Service) answers on this desktop: "
            "a password stays in clear text on line 4 of setup.ini unless "
            "you use a password command or keep secrets in the application "
            "folder.");
    } else {
        where = QStringLiteral(
            "No desktop keyring answers here: a password stays in clear text "
            "on line 4 of setup.ini unless you use a password command or "
            "keep secrets in the application folder.");
    }
    lblKEYRING_->setText(where);
}

void SignInPanel::showSignInAddress(const QString& url) {
    txtSIGNINURL_->setText(url);
    urlRow_->setVisible(true);
    if (!openWithShell(url)) {
        showValue(lblSIGNEDIN_, QStringLiteral("No browser opened: open the sign-in address "
                                               "below in a browser yourself, then come back."));
    }
}

void SignInPanel::signInDone(const SignInSettings& settings, const TokenAnswer& answer) {
    cmdSIGNIN_->setEnabled(true);
    cmdCANCELSIGNIN_->setVisible(false);
    urlRow_->setVisible(false);
    std::string said;
    bool ok = false;
    if (!answer.ok() && cancelled_->load()) {
        said = "Sign-in cancelled.";
    } else if (!answer.ok()) {
        said = "Not signed in: " + answer.errorText;
    } else if (const std::string why = saveSignIn(folder_, settings, keyring_, answer);
               !why.empty()) {
        said = "Signed in, but not saved: " + why;
    } else {
        ok = true;
        account_ = answer.account.empty() ? "?" : answer.account;
        said = answer.account.empty() ? "Signed in." : "Signed in as " + answer.account + ".";
    }
    showValue(lblSIGNEDIN_, text(said));
    Q_EMIT signInFinished(ok);
}

}  // namespace vorel
