#include "gui/SignInPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <thread>

#include "gui/Keyring.h"
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

// The real flow: the browser opened from the window's thread, the listener
// waiting here.
TokenAnswer browserSignIn(const OAuth2Provider& provider, const std::function<bool()>& cancelled) {
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
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [url] { QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); },
        Qt::QueuedConnection);
    return signIn.finish(300, cancelled);
}

}  // namespace

SignInPanel::SignInPanel(std::string folder, QWidget* parent)
    : QWidget(parent),
      folder_(std::move(folder)),
      flow_(browserSignIn),
      cancelled_(std::make_shared<std::atomic<bool>>(false)) {
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
    lblSIGNEDIN_ = new QLabel;
    named(lblSIGNEDIN_, "lblSIGNEDIN", QStringLiteral("Sign-in state"));
    lblSIGNEDIN_->setWordWrap(true);
    lblSIGNEDIN_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* signInRow = new QHBoxLayout;
    signInRow->addWidget(cmdSIGNIN_);
    signInRow->addWidget(lblSIGNEDIN_, 1);

    txtPASSWORDCOMMAND_ =
        field("txtPASSWORDCOMMAND", QStringLiteral("Password command:"),
              QStringLiteral("Run without a shell when no keyring answers; the first line it "
                             "prints is the password (or an access token for OAuth2). "
                             "VOREL_PASSWORD_COMMAND overrides it."));
    chkSECRETSINFOLDER_ = new QCheckBox(QStringLiteral("Keep secrets in the application folder"));
    named(chkSECRETSINFOLDER_, "chkSECRETSINFOLDER", chkSECRETSINFOLDER_->text());
    chkSECRETSINFOLDER_->setToolTip(
        QStringLiteral("For computers without a desktop keyring: the password and the sign-in "
                       "are kept in a file only you can read, in clear text."));

    auto* form = new QFormLayout;
    auto* methodLabel = new QLabel(cmbLOGINMETHOD_->accessibleName());
    methodLabel->setBuddy(cmbLOGINMETHOD_);
    form->addRow(methodLabel, cmbLOGINMETHOD_);
    auto* commandLabel = new QLabel(txtPASSWORDCOMMAND_->accessibleName());
    commandLabel->setBuddy(txtPASSWORDCOMMAND_);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(providerBox_);
    layout->addLayout(signInRow);
    auto* commandForm = new QFormLayout;
    commandForm->addRow(commandLabel, txtPASSWORDCOMMAND_);
    layout->addLayout(commandForm);
    layout->addWidget(chkSECRETSINFOLDER_);
    auto* where = new QLabel(
        keyring_ != nullptr
            ? QStringLiteral("Passwords and sign-ins are kept in your desktop keyring.")
            : QStringLiteral("No desktop keyring answers here: use a password command, or "
                             "keep secrets in the application folder."));
    where->setWordWrap(true);
    where->setObjectName(QStringLiteral("lblKEYRING"));
    layout->addWidget(where);
    layout->addStretch();

    connect(cmbLOGINMETHOD_, &QComboBox::currentIndexChanged, this, &SignInPanel::methodChanged);
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
        lblSIGNEDIN_->setText(s.account == "?" ? QStringLiteral("Signed in.")
                                               : QStringLiteral("Signed in as ") + text(s.account) +
                                                     QStringLiteral("."));
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
    for (QLineEdit* e : {txtAUTHORIZEURL_, txtTOKENURL_, txtSCOPE_}) {
        e->setEnabled(custom);
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

Outcome SignInPanel::apply(Settings& settings) {
    const SignInSettings s = collect();
    const SignInSettings none;
    const bool chosen = s.method != none.method || !s.clientId.empty() || !s.authorizeUrl.empty() ||
                        !s.tokenUrl.empty() || !s.scope.empty() || !s.passwordCommand.empty() ||
                        s.secretsInFolder;
    // A folder whose user never chose anything here keeps the old rules.
    if (!chosen && !fileExists(joinPath(folder_, kSignInFile)) && keyring_ == nullptr) {
        return Outcome::done();
    }
    try {
        writeSignInSettings(folder_, s);
    } catch (const std::exception& e) {
        return Outcome::failed(e.what());
    }
    // The password leaves setup.ini where something safer keeps it; where
    // nothing does it stays there, as it always has.
    if (!settings.txtPASSWORD.empty() &&
        keepSecret(folder_, s, keyring_, kPasswordKey, settings.txtPASSWORD).empty()) {
        settings.txtPASSWORD.clear();
    }
    return Outcome::done();
}

void SignInPanel::signIn() {
    const SignInSettings settings = collect();
    const OAuth2Provider provider = providerFor(settings);
    if (const std::string missing = missingProviderSetting(provider); !missing.empty()) {
        lblSIGNEDIN_->setText(QStringLiteral("Cannot sign in: ") + text(missing) +
                              QStringLiteral("."));
        return;
    }
    cmdSIGNIN_->setEnabled(false);
    lblSIGNEDIN_->setText(QStringLiteral("Waiting for the sign-in in your browser..."));
    QPointer<SignInPanel> panel(this);
    std::thread([panel, flow = flow_, provider, settings, cancelled = cancelled_] {
        const TokenAnswer answer = flow(provider, [cancelled] { return cancelled->load(); });
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [panel, settings, answer] {
                if (panel) {
                    panel->signInDone(settings, answer);
                }
            },
            Qt::QueuedConnection);
    }).detach();
}

void SignInPanel::signInDone(const SignInSettings& settings, const TokenAnswer& answer) {
    cmdSIGNIN_->setEnabled(true);
    std::string said;
    bool ok = false;
    if (!answer.ok()) {
        said = "Not signed in: " + answer.errorText;
    } else if (const std::string why = saveSignIn(folder_, settings, keyring_, answer);
               !why.empty()) {
        said = "Signed in, but not saved: " + why;
    } else {
        ok = true;
        account_ = answer.account.empty() ? "?" : answer.account;
        said = answer.account.empty() ? "Signed in." : "Signed in as " + answer.account + ".";
    }
    lblSIGNEDIN_->setText(text(said));
    Q_EMIT signInFinished(ok);
}

}  // namespace vorel
