#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "core/MailComponent.h"
#include "core/SignIn.h"
#include "store/Settings.h"
#include "store/SignInSettings.h"

namespace vorel {

// What a run may use to find its secrets besides the application folder.
struct SignInServices {
    SecretStore* keyring = nullptr;  // the desktop keyring; none in a headless run without one
    TokenService* tokens = nullptr;  // the providers' token endpoints
};

inline constexpr char kPasswordKey[] = "password";
inline constexpr char kRefreshTokenKey[] = "refresh_token";
inline constexpr char kPasswordCommandVariable[] = "VOREL_PASSWORD_COMMAND";

// Keeps a secret where the settings say: the keyring, or the 0600 secrets
// file when "Keep secrets in the application folder" is ticked (or no
// keyring is given and it is ticked). The other place loses its copy.
// Returns why it could not, empty when kept.
std::string keepSecret(const std::string& folder, const SignInSettings& settings,
                       SecretStore* keyring, const std::string& key, const std::string& value);

// After a sign-in: the refresh token kept (keepSecret) and signin.ini
// written. Returns why not, empty when done.
std::string saveSignIn(const std::string& folder, const SignInSettings& settings,
                       SecretStore* keyring, const TokenAnswer& answer);

// The run's login, found once per run from signin.ini, setup.ini's password
// line, the keyring, the password command and the secrets file:
// - Password: line 4 of setup.ini, else the keyring, else the password
//   command (VOREL_PASSWORD_COMMAND, else signin.ini's), else the secrets
//   file; none of them: SignInStop, never an empty password.
// - Password command: the command's first line; a command that fails
//   stops the run (SignInStop).
// - Microsoft or custom OAuth2: with a password command, its first line is
//   the access token; else the refresh token (keyring, else the secrets
//   file) buys an access token at the token endpoint, kept for its lifetime.
//   A rotated refresh token is stored back where the old one was.
class AccountLogin : public RunLogin {
public:
    AccountLogin(std::string folder, SignInServices services);

    // At the start of each try: setup.ini as the try read it.
    void prepare(const Settings& settings);
    std::string secret() override;
    bool xoauth2() const override { return signIn_.oauth2(); }
    bool refreshAfterRefusal() override;

    const SignInSettings& signIn() const { return signIn_; }

private:
    std::string passwordCommand() const;
    std::string runCommand(const std::string& command) const;
    std::string password();
    void fetchAccessToken();
    std::optional<std::string> storedSecret(const std::string& key, SecretStore** from);

    std::string folder_;
    SignInServices services_;
    SignInSettings signIn_;
    std::string line4_;
    std::string accessToken_;
    std::chrono::steady_clock::time_point expires_{};
    bool refreshed_ = false;
};

// Opens the mailbox of `settings` on `mail`, signed in as a run of the
// folder is (keyring, password command, OAuth2 token): the watching
// connections of `vorel watch` and of the tray.
void connectSignedIn(MailComponent& mail, const std::string& folder, const Settings& settings,
                     const SignInServices& services);

}  // namespace vorel
