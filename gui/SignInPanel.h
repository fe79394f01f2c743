#pragma once

#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "core/SignIn.h"
#include "forms/SettingsSave.h"
#include "store/SignInSettings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace vorel {

class KeyringSecretStore;

// The "Sign In" tab of the settings window: the login method, the custom
// OAuth2 provider, the password command, where secrets are kept, and the
// "Sign in..." button whose browser flow runs on a worker thread. Writes
// signin.ini and the secrets only when the window is saved (forms/
// SettingsSave) or a sign-in succeeds.
class SignInPanel : public QWidget {
    Q_OBJECT
public:
    explicit SignInPanel(std::string folder, QWidget* parent = nullptr);
    ~SignInPanel() override;

    // The sign-in in the browser, run on a worker thread; `cancelled` turns
    // true when the window goes. Tests replace the real flow.
    using SignInFlow = std::function<TokenAnswer(const OAuth2Provider& provider,
                                                 const std::function<bool()>& cancelled)>;
    void setSignInFlow(SignInFlow flow) { flow_ = std::move(flow); }
    // Where secrets go; the desktop keyring by default (none where no
    // session bus answers). Not owned.
    void setKeyring(SecretStore* keyring) { keyring_ = keyring; }
    // How long Ok waits for the desktop keyring before the password stays
    // where it was; tests shorten it.
    void setKeyringTimeLimit(int ms);

    SignInSettings collect() const;
    // Where Ok keeps a password (forms/SettingsSave), and the window's part
    // while it is handed over.
    SecretStore* keyring() const { return keyring_; }
    SecretWait secretWait();

    // "stored in the keyring" (or the application folder) where a password
    // is kept outside setup.ini; empty otherwise.
    QString storedPasswordPlace();

    // The browser opened at the sign-in address, which shows with Copy;
    // where no browser opens the window says so at once.
    void showSignInAddress(const QString& url);

Q_SIGNALS:
    void signInFinished(bool ok);

private:
    void load();
    void methodChanged();
    // lblKEYRING: where a password given on Ok is actually kept.
    void showWhereKept();
    void signIn();
    void signInDone(const SignInSettings& settings, const TokenAnswer& answer);

    std::string folder_;
    QComboBox* cmbLOGINMETHOD_ = nullptr;
    QWidget* providerBox_ = nullptr;
    QLineEdit* txtCLIENTID_ = nullptr;
    QLineEdit* txtAUTHORIZEURL_ = nullptr;
    QLineEdit* txtTOKENURL_ = nullptr;
    QLineEdit* txtSCOPE_ = nullptr;
    QLabel* lblCLIENTHINT_ = nullptr;
    QLineEdit* txtPASSWORDCOMMAND_ = nullptr;
    QCheckBox* chkSECRETSINFOLDER_ = nullptr;
    QPushButton* cmdSIGNIN_ = nullptr;
    QLabel* lblSIGNEDIN_ = nullptr;
    QLabel* lblCOMMANDHINT_ = nullptr;
    QLabel* lblKEYRING_ = nullptr;
    QPushButton* cmdCANCELSIGNIN_ = nullptr;
    QWidget* urlRow_ = nullptr;
    QLineEdit* txtSIGNINURL_ = nullptr;
    QPushButton* cmdCOPYURL_ = nullptr;
    SignInFlow flow_;
    std::unique_ptr<KeyringSecretStore> ownKeyring_;
    SecretStore* keyring_ = nullptr;
    std::shared_ptr<std::atomic<bool>> cancelled_;
    std::string account_;
    int keyringLimitMs_ = 30000;  // as signin.ini keeps it: "?" for an unnamed sign-in
};

}  // namespace vorel
