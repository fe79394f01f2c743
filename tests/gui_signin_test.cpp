// The settings window's "Sign In" tab: the login method, the sign-in button
// with a scripted flow on its worker thread, and where Ok puts the secrets.
#include <QCheckBox>
#include <QComboBox>
#include <QPointer>
#include <QTabWidget>
#include <atomic>
#include <map>

#include "gui/SettingsWindow.h"
#include "gui/SignInPanel.h"
#include "gui_support.h"
#include "run/AccountLogin.h"
#include "store/SignInSettings.h"

namespace vorel {
namespace {

class MemoryKeyring : public SecretStore {
public:
    std::map<std::string, std::string> secrets;
    std::optional<std::string> readSecret(const std::string& key) override {
        auto it = secrets.find(key);
        return it == secrets.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    bool writeSecret(const std::string& key, const std::string& value) override {
        secrets[key] = value;
        return true;
    }
    void removeSecret(const std::string& key) override { secrets.erase(key); }
};

struct SignInTabTest : test::AppTest {
    QPointer<SettingsWindow> w;
    MemoryKeyring keyring;
    ~SignInTabTest() override { delete w.data(); }
    void open() {
        MessageBox::setStandingAnswer(MessageBox::Ok);  // the ESMTP warning on Ok
        w = new SettingsWindow(f.folder.path(), {});
        w->signInPanel()->setKeyring(&keyring);
        w->show();
        w->tabs()->setCurrentWidget(w->signInPanel());
    }
    QLineEdit* edit(const char* name) { return test::control<QLineEdit>(w, name); }
    QComboBox* method() { return test::control<QComboBox>(w, "cmbLOGINMETHOD"); }
};

TEST_F(SignInTabTest, MethodsShowTheirFieldsAndOkWritesThem) {
    open();
    EXPECT_EQ(method()->count(), 4);
    EXPECT_EQ(method()->itemText(1), QStringLiteral("Sign in with Microsoft"));
    EXPECT_FALSE(method()->accessibleName().isEmpty());
    EXPECT_FALSE(test::control<QPushButton>(w, "cmdSIGNIN")->isEnabled());  // Password
    method()->setCurrentIndex(2);
    EXPECT_TRUE(test::control<QPushButton>(w, "cmdSIGNIN")->isEnabled());
    EXPECT_TRUE(edit("txtTOKENURL")->isVisible() && edit("txtTOKENURL")->isEnabled());
    // The Microsoft preset asks for nothing but a client ID, and only
    // when the build has none.
    method()->setCurrentIndex(1);
    EXPECT_EQ(edit("txtCLIENTID")->isVisible(), builtInMicrosoftClientId().empty());
    EXPECT_FALSE(edit("txtTOKENURL")->isEnabled());

    method()->setCurrentIndex(3);
    edit("txtPASSWORDCOMMAND")->setText(QStringLiteral("pass show mail/me"));
    edit("txtPASSWORD")->setText(QStringLiteral("old secret"));
    test::click(w, "cmdOK");
    EXPECT_TRUE(test::waitUntil([this] { return w.isNull(); }, 5000));
    const SignInSettings s = readSignInSettings(f.folder.path());
    EXPECT_EQ(s.method, LoginMethod::PasswordCommand);
    EXPECT_EQ(s.passwordCommand, "pass show mail/me");
    // The password went to the keyring; setup.ini's line 4 is left empty.
    EXPECT_EQ(keyring.secrets[kPasswordKey], "old secret");
    Settings saved;
    readSettingsLines(f.folder.path(), saved);
    EXPECT_EQ(saved.txtPASSWORD, "");
}

TEST_F(SignInTabTest, SignInRunsTheFlowOnAWorkerAndKeepsTheRefreshToken) {
    open();
    method()->setCurrentIndex(2);
    edit("txtCLIENTID")->setText(QStringLiteral("my-client"));
    edit("txtTOKENURL")->setText(QStringLiteral("http://login.example/token"));
    test::click(w, "cmdSIGNIN");
    auto* said = test::control<QLabel>(w, "lblSIGNEDIN");
    EXPECT_EQ(said->text(), QStringLiteral("Cannot sign in: the token URL must use https."));

    edit("txtTOKENURL")->setText(QStringLiteral("https://login.example/token"));
    std::atomic<bool> onWorker{false};
    const auto gui = std::this_thread::get_id();
    std::string clientSeen;
    w->signInPanel()->setSignInFlow([&](const OAuth2Provider& p, const std::function<bool()>&) {
        onWorker = std::this_thread::get_id() != gui;
        clientSeen = p.clientId;
        TokenAnswer a;
        a.accessToken = "AT";
        a.refreshToken = "RT";
        a.account = "ann@example.org";
        return a;
    });
    test::click(w, "cmdSIGNIN");
    EXPECT_TRUE(test::waitUntil(
        [&] { return said->text() == QStringLiteral("Signed in as ann@example.org."); }, 5000))
        << said->text().toStdString();
    EXPECT_TRUE(onWorker);
    EXPECT_EQ(clientSeen, "my-client");
    EXPECT_EQ(keyring.secrets[kRefreshTokenKey], "RT");
    EXPECT_EQ(readSignInSettings(f.folder.path()).method, LoginMethod::CustomOAuth2);
    // Shown again when the window opens next.
    {
        SignInPanel again(f.folder.path());
        EXPECT_EQ(test::control<QLabel>(&again, "lblSIGNEDIN")->text(),
                  QStringLiteral("Signed in as ann@example.org."));
    }

    // A refusal says the provider's words; nothing is kept.
    keyring.secrets.clear();
    w->signInPanel()->setSignInFlow([](const OAuth2Provider&, const std::function<bool()>&) {
        TokenAnswer a;
        a.error = "access_denied";
        a.errorText = "The user declined.";
        return a;
    });
    test::click(w, "cmdSIGNIN");
    EXPECT_TRUE(test::waitUntil(
        [&] { return said->text() == QStringLiteral("Not signed in: The user declined."); }, 5000));
    EXPECT_TRUE(keyring.secrets.empty());
}

TEST_F(SignInTabTest, WithoutAKeyringSecretsStayOutOfTheFolderUnlessTicked) {
    open();
    w->signInPanel()->setKeyring(nullptr);
    edit("txtPASSWORD")->setText(QStringLiteral("pw"));
    test::control<QCheckBox>(w, "chkSECRETSINFOLDER")->setChecked(true);
    test::click(w, "cmdOK");
    EXPECT_TRUE(test::waitUntil([this] { return w.isNull(); }, 5000));
    EXPECT_EQ(FileSecretStore(f.folder.path()).readSecret(kPasswordKey), "pw");
    Settings saved;
    readSettingsLines(f.folder.path(), saved);
    EXPECT_EQ(saved.txtPASSWORD, "");
}

}  // namespace
}  // namespace vorel
