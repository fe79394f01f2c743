#include "run/AccountLogin.h"

#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "base/PasswordCommand.h"
#include "store/AppFolder.h"

namespace vorel {

namespace {

std::string signInAgainText(const SignInSettings& s) {
    return std::string("sign in again with \"vorel login --provider ") +
           (s.method == LoginMethod::Microsoft ? "microsoft" : "custom") +
           "\" or the \"Sign in...\" button of the settings window";
}

}  // namespace

std::string keepSecret(const std::string& folder, const SignInSettings& settings,
                       SecretStore* keyring, const std::string& key, const std::string& value) {
    FileSecretStore file(folder);
    if (!settings.secretsInFolder) {
        if (keyring == nullptr || !keyring->writeSecret(key, value)) {
            return "No desktop keyring answers: tick \"Keep secrets in the application folder\" "
                   "(vorel login --no-keyring) or use a password command.";
        }
        file.removeSecret(key);
        return "";
    }
    if (!file.writeSecret(key, value)) {
        return "Cannot write the secrets file in " + folder;
    }
    if (keyring != nullptr) {
        keyring->removeSecret(key);
    }
    return "";
}

std::string saveSignIn(const std::string& folder, const SignInSettings& settings,
                       SecretStore* keyring, const TokenAnswer& answer) {
    if (answer.refreshToken.empty()) {
        return "The provider gave no refresh token (is offline_access among the scopes?)";
    }
    if (std::string why =
            keepSecret(folder, settings, keyring, kRefreshTokenKey, answer.refreshToken);
        !why.empty()) {
        return why;
    }
    SignInSettings signedIn = settings;
    signedIn.account = answer.account.empty() ? "?" : answer.account;
    try {
        writeSignInSettings(folder, signedIn);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

AccountLogin::AccountLogin(std::string folder, SignInServices services)
    : folder_(std::move(folder)), services_(services) {}

void AccountLogin::prepare(const Settings& settings) {
    const SignInSettings before = signIn_;
    signIn_ = readSignInSettings(folder_);
    if (signIn_.method != before.method || signIn_.tokenUrl != before.tokenUrl ||
        signIn_.clientId != before.clientId) {
        accessToken_.clear();  // another account or provider since the last try
    }
    line4_ = settings.txtPASSWORD;
}

std::string AccountLogin::passwordCommand() const {
    const char* fromEnvironment = std::getenv(kPasswordCommandVariable);
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment;
    }
    return signIn_.passwordCommand;
}

std::string AccountLogin::runCommand(const std::string& command) const {
    const CommandOutput out = runPasswordCommand(command);
    if (!out.error.empty()) {
        // Ten tries would cost ten waits and answer the same: the user must
        // look at the command (a locked password manager, a typing error).
        throw SignInStop("Password command: " + out.error + ": check the command (" + command +
                         ") in the settings window or in " + kPasswordCommandVariable + ".");
    }
    return out.firstLine;
}

std::optional<std::string> AccountLogin::storedSecret(const std::string& key, SecretStore** from) {
    FileSecretStore file(folder_);
    for (SecretStore* store : {services_.keyring, static_cast<SecretStore*>(&file)}) {
        if (store == nullptr) {
            continue;
        }
        if (auto value = store->readSecret(key)) {
            if (from != nullptr) {
                *from = store == &file ? nullptr : store;
            }
            return value;
        }
    }
    return std::nullopt;
}

std::string AccountLogin::password() {
    if (signIn_.method == LoginMethod::PasswordCommand) {
        const std::string command = passwordCommand();
        if (command.empty()) {
            throw SignInStop("No password command is set: give one in the settings window or in " +
                             std::string(kPasswordCommandVariable) + ".");
        }
        return runCommand(command);
    }
    if (!line4_.empty()) {
        return line4_;
    }
    if (services_.keyring != nullptr) {
        if (auto stored = services_.keyring->readSecret(kPasswordKey)) {
            return *stored;
        }
    }
    if (const std::string command = passwordCommand(); !command.empty()) {
        return runCommand(command);
    }
    if (auto stored = FileSecretStore(folder_).readSecret(kPasswordKey)) {
        return *stored;
    }
    // An empty password would only be refused, ten times over.
    throw SignInStop(
        "No password found (line 4 of setup.ini is empty, the desktop keyring holds none, no "
        "password command is set, no secrets file): save it in the settings window (kept in the "
        "desktop keyring), set a password command (settings window or " +
        std::string(kPasswordCommandVariable) +
        "), or tick \"Keep secrets in the application folder\".");
}

void AccountLogin::fetchAccessToken() {
    if (const std::string command = passwordCommand(); !command.empty()) {
        accessToken_ = runCommand(command);
        // An outside tool knows the lifetime; ask it again for each try.
        expires_ = std::chrono::steady_clock::now();
        return;
    }
    SecretStore* from = nullptr;
    const auto refreshToken = storedSecret(kRefreshTokenKey, &from);
    if (!refreshToken) {
        throw SignInStop("Not signed in: " + signInAgainText(signIn_) + ", or set a password " +
                         "command that prints an access token (" + kPasswordCommandVariable + ").");
    }
    if (services_.tokens == nullptr) {
        throw std::runtime_error("No token endpoint can be reached from here");
    }
    const OAuth2Provider provider = providerFor(signIn_);
    const TokenAnswer answer = services_.tokens->refresh(provider.tokenUrl, provider.clientId,
                                                         provider.scope, *refreshToken);
    if (answer.error == "invalid_grant") {
        throw SignInStop("The sign-in has expired or was revoked (" + answer.errorText +
                         "): " + signInAgainText(signIn_) + ".");
    }
    if (answer.error == kTokenUrlRefused) {
        throw SignInStop("Sign-in: " + answer.errorText + ": " + signInAgainText(signIn_) +
                         " with the provider's own token URL.");
    }
    if (answer.transportFailed) {
        throw TokenEndpointUnreachable("Sign-in: " + answer.errorText +
                                       "; the next run tries again.");
    }
    if (!answer.ok()) {
        throw std::runtime_error("Sign-in: the token endpoint refused (" + answer.error +
                                 "): " + answer.errorText);
    }
    accessToken_ = answer.accessToken;
    // A minute to spare: the token must still be good when the login comes.
    const long lifetime = answer.expiresIn > 120 ? answer.expiresIn - 60 : 0;
    expires_ = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
    if (!answer.refreshToken.empty() && answer.refreshToken != *refreshToken) {
        FileSecretStore file(folder_);
        SecretStore* store = from != nullptr ? from : &file;
        store->writeSecret(kRefreshTokenKey, answer.refreshToken);
    }
}

std::string AccountLogin::secret() {
    if (!signIn_.oauth2()) {
        return password();
    }
    if (accessToken_.empty() || std::chrono::steady_clock::now() >= expires_) {
        fetchAccessToken();
    }
    return accessToken_;
}

bool AccountLogin::refreshAfterRefusal() {
    if (!signIn_.oauth2() || refreshed_) {
        return false;
    }
    refreshed_ = true;
    accessToken_.clear();
    fetchAccessToken();
    return true;
}

void connectSignedIn(MailComponent& mail, const std::string& folder, const Settings& settings,
                     const SignInServices& services) {
    AccountLogin login(folder, services);
    login.prepare(settings);
    mail.setXoauth2(login.xoauth2());
    mail.popConnect(settings.txtPOP, settings.txtUSERID, login.secret());
}

}  // namespace vorel
