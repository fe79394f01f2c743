// The settings window's "Sign In" tab: the method, the sign-in flow, where Ok puts secrets.
#include <qt6keychain/keychain.h>

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QEventLoop>
#include <QGuiApplication>
#include <QPointer>
#include <QTabWidget>
#include <QTimer>
#include <atomic>
#include <cstdlib>

#include "gui/Keyring.h"
#include "gui/SettingsWindow.h"
#include "gui/SignInPanel.h"
#include "gui_support.h"
#include "run/AccountLogin.h"
#include "store/SignInSettings.h"
#include "support/MemoryKeyring.h"

namespace vorel {
namespace {

struct SignInTabTest : test::AppTest {
    QPointer<SettingsWindow> w;
    test::MemoryKeyring keyring;
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
    // Without a keyring the box keeps secrets in the folder; setup.ini's line 4 is left empty.
    w->signInPanel()->setKeyring(nullptr);
    test::control<QCheckBox>(w, "chkSECRETSINFOLDER")->setChecked(true);
    test::click(w, "cmdOK");
    EXPECT_TRUE(test::waitUntil([this] { return w.isNull(); }, 5000));
    const SignInSettings s = readSignInSettings(f.folder.path());
    EXPECT_EQ(s.method, LoginMethod::PasswordCommand);
    EXPECT_EQ(s.passwordCommand, "pass show mail/me");
    EXPECT_EQ(FileSecretStore(f.folder.path()).readSecret(kPasswordKey), "old secret");
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

// Runs a QtKeychain job under `key` to its end.
void finish(QKeychain::Job& job, const std::string& key) {
    job.setAutoDelete(false);
    job.setKey(QString::fromStdString(key));
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec();
}

// The secret QtKeychain itself finds under `service` for `key`; empty when there is none.
std::string keychainSecret(const QString& service, const std::string& key) {
    QKeychain::ReadPasswordJob job(service);
    finish(job, key);
    return job.textData().toStdString();
}

// Ok with a new password against the keyring as it is: a real GNOME Keyring
// started unlocked on a bus of the test's own, a bus with no Secret Service,
// and one whose Secret Service never answers (a stub owning the name).
TEST_F(SignInTabTest, OkSaysWhereThePasswordWentWhateverTheKeyringDoes) {
    const std::string mode = test::childMode();
    if (mode.empty()) {
        if (std::system("command -v gnome-keyring-daemon dbus-run-session >/dev/null") != 0) {
            GTEST_SKIP() << "needs gnome-keyring-daemon and dbus-run-session";
        }
        for (const char* m : {"keyring", "none", "silent"}) {
            EXPECT_TRUE(test::passesInChild(m)) << m;
        }
        return;
    }
    test::Helper silent;
    const std::string folder = f.folder.path();
    if (mode == "keyring") {
        setenv("XDG_DATA_HOME", f.folder.file("data").c_str(), 1);
        ASSERT_EQ(std::system("printf test | gnome-keyring-daemon --unlock --components=secrets "
                              "--daemonize >/dev/null"),
                  0);
        ASSERT_TRUE(test::waitUntil([] { return KeyringSecretStore::reachable(); }, 10000));
        // A secret an older Vorel kept under the label all folders shared.
        QKeychain::WritePasswordJob job(QStringLiteral("vorel"));
        job.setTextData(QStringLiteral("RT-old"));
        finish(job, folder + ":" + kRefreshTokenKey);
        ASSERT_EQ(job.error(), QKeychain::NoError) << job.errorString().toStdString();
    } else if (mode == "silent") {
        silent =
            test::startHelper("silent_service.py", {QStringLiteral("org.freedesktop.secrets")});
    }
    EXPECT_EQ(KeyringSecretStore::reachable(), mode != "none");

    MessageBox::setStandingAnswer(MessageBox::Ok);
    w = new SettingsWindow(folder, {});
    w->signInPanel()->setKeyringTimeLimit(2000);
    w->show();
    auto* where = test::control<QLabel>(w, "lblKEYRING");
    EXPECT_EQ(where->text().startsWith(QStringLiteral("No desktop keyring (Secret Service)")),
              mode == "none")
        << where->text().toStdString();
    edit("txtPASSWORD")->setText(QStringLiteral("pw1"));
    // While the keyring is asked the window takes no input and says why.
    QString waiting;
    QTimer::singleShot(500, [&] {
        if (w && !w->isEnabled()) {
            waiting = where->text();
        }
    });
    const QStringList said = test::press(w, "cmdOK");
    EXPECT_TRUE(test::waitUntil([this] { return w.isNull(); }, 10000));
    Settings saved;
    readSettingsLines(folder, saved);
    if (mode == "keyring") {
        EXPECT_EQ(said.last(), QStringLiteral("The password is kept in your desktop keyring."));
        EXPECT_EQ(saved.txtPASSWORD, "");
        // Under a label of the folder's own; the old label's secret moved there.
        const QString label = test::q("Vorel (" + folder + ")");
        EXPECT_EQ(keychainSecret(label, folder + ":" + kPasswordKey), "pw1");
        EXPECT_EQ(KeyringSecretStore(folder).readSecret(kRefreshTokenKey), "RT-old");
        EXPECT_EQ(keychainSecret(label, folder + ":" + kRefreshTokenKey), "RT-old");
        EXPECT_EQ(keychainSecret(QStringLiteral("vorel"), folder + ":" + kRefreshTokenKey), "");
        // Opened again, the window says a password is stored and keeps it.
        w = new SettingsWindow(folder, {});
        EXPECT_EQ(edit("txtPASSWORD")->placeholderText(), QStringLiteral("stored in the keyring"));
        test::click(w, "cmdOK");
        EXPECT_TRUE(test::waitUntil([this] { return w.isNull(); }, 10000));
        EXPECT_EQ(KeyringSecretStore(folder).readSecret(kPasswordKey), "pw1");
        return;
    }
    EXPECT_EQ(saved.txtPASSWORD, "pw1");
    const QString clear = QStringLiteral(
        "The password stays in clear text on line 4 of setup.ini. No desktop keyring answers: "
        "tick \"Keep secrets in the application folder\" (vorel login --no-keyring) or use a "
        "password command.");
    if (mode == "none") {
        EXPECT_EQ(said.last(),
                  QStringLiteral("The password stays in clear text on line 4 of setup.ini: no "
                                 "desktop keyring answers here. Use a password command, or tick "
                                 "\"Keep secrets in the application folder\" on the Sign In "
                                 "tab."));
    } else {
        EXPECT_EQ(said.last(), clear + QStringLiteral(" (the desktop keyring did not answer "
                                                      "within 2 seconds)"));
        EXPECT_EQ(waiting, QStringLiteral("Waiting for the desktop keyring (it may ask you to "
                                          "unlock it)..."));
    }
}

// "Sign in..." where no browser opens: the address shows at once with Copy,
// and Cancel ends the wait.
TEST_F(SignInTabTest, WithoutABrowserTheAddressShowsAndCancelEndsTheWait) {
    open();
    method()->setCurrentIndex(2);
    edit("txtCLIENTID")->setText(QStringLiteral("my-client"));
    edit("txtAUTHORIZEURL")->setText(QStringLiteral("https://login.example/authorize"));
    edit("txtTOKENURL")->setText(QStringLiteral("https://login.example/token"));
    openResult = false;
    test::click(w, "cmdSIGNIN");
    auto* said = test::control<QLabel>(w, "lblSIGNEDIN");
    ASSERT_TRUE(test::waitUntil([&] { return !opened.empty(); }, 5000));
    EXPECT_TRUE(
        opened[0].toString().startsWith(QStringLiteral("https://login.example/authorize?")));
    EXPECT_EQ(edit("txtSIGNINURL")->text(), opened[0].toString());
    EXPECT_TRUE(said->text().startsWith(QStringLiteral("No browser opened")));
    EXPECT_TRUE(said->accessibleName().contains(said->text()));
    test::click(w, "cmdCOPYURL");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), opened[0].toString());
    test::click(w, "cmdCANCELSIGNIN");
    EXPECT_TRUE(
        test::waitUntil([&] { return said->text() == QStringLiteral("Sign-in cancelled."); }, 5000))
        << said->text().toStdString();
    EXPECT_TRUE(test::control<QPushButton>(w, "cmdSIGNIN")->isEnabled());
}

}  // namespace
}  // namespace vorel
