#pragma once

#include <map>
#include <optional>
#include <string>

#include <utility>

namespace vorel {

// Where secrets are kept: the desktop keyring, or the 0600 file in the
// application folder. Keys are short names ("password", "refresh_token");
// a store keeps one application folder's secrets apart from another's.
class SecretStore {
public:
    virtual ~SecretStore() = default;
    // std::nullopt when the store has no such secret or does not answer.
    virtual std::optional<std::string> readSecret(const std::string& key) = 0;
    // False when the store cannot keep it (no keyring answers).
    virtual bool writeSecret(const std::string& key, const std::string& value) = 0;
    virtual void removeSecret(const std::string& key) = 0;
    // Why the last call failed, in the store's words; empty when it did not
    // or the store does not say.
    virtual std::string lastError() const { return {}; }
};

// How the mail account is logged in to.
enum class LoginMethod { Password, Microsoft, CustomOAuth2, PasswordCommand };

// signin.ini in the application folder: how to sign in, never a secret.
// "key=value" lines; unknown keys are ignored, so older programs read newer
// files.
struct SignInSettings {
    LoginMethod method = LoginMethod::Password;
    // Custom OAuth2 provider (Microsoft: only the client ID, when the build
    // has none).
    std::string clientId;
    std::string authorizeUrl;
    std::string tokenUrl;
    std::string scope;
    // Run without a shell; the first line of its output is the secret.
    std::string passwordCommand;
    // "Keep secrets in the application folder": the 0600 file, where no
    // keyring answers.
    bool secretsInFolder = false;
    // Who signed in last (shown in the window; empty when the provider did
    // not say or nobody did).
    std::string account;

    bool oauth2() const {
        return method == LoginMethod::Microsoft || method == LoginMethod::CustomOAuth2;
    }
};

// An OAuth2 provider's public-client settings.
struct OAuth2Provider {
    std::string clientId;
    std::string authorizeUrl;
    std::string tokenUrl;
    std::string deviceUrl;  // device-code flow; empty where the provider has none
    std::string scope;      // space-separated
};

// The Microsoft preset (common tenant, POP3 and SMTP scopes). Its client ID
// is the build's (-DVOREL_MS_CLIENT_ID) unless `clientId` is given.
OAuth2Provider microsoftProvider(const std::string& clientId = "");
// The build's Microsoft client ID, empty when the build has none.
std::string builtInMicrosoftClientId();
// The provider of the settings: the preset or the custom one.
OAuth2Provider providerFor(const SignInSettings& settings);
inline constexpr char kSignInFile[] = "signin.ini";
inline constexpr char kSecretsFile[] = "secrets";

// Defaults when the file is missing or unreadable.
SignInSettings readSignInSettings(const std::string& folder);
// Throws std::runtime_error.
void writeSignInSettings(const std::string& folder, const SignInSettings& settings);

// The names a method has in signin.ini.
std::string loginMethodName(LoginMethod method);
std::optional<LoginMethod> loginMethodFromName(const std::string& name);

// The secrets file of the application folder (mode 0600, "key=value" lines).
class FileSecretStore : public SecretStore {
public:
    explicit FileSecretStore(std::string folder) : folder_(std::move(folder)) {}
    std::optional<std::string> readSecret(const std::string& key) override;
    bool writeSecret(const std::string& key, const std::string& value) override;
    void removeSecret(const std::string& key) override;

private:
    std::map<std::string, std::string> readAll() const;
    bool writeAll(const std::map<std::string, std::string>& all) const;
    std::string folder_;
};

}  // namespace vorel
