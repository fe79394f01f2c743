#include "store/SignInSettings.h"

#include <array>
#include <cstdio>
#include <exception>
#include <utility>

#include "store/AppFolder.h"
#include "store/TextFile.h"

#ifndef VOREL_MS_CLIENT_ID
#define VOREL_MS_CLIENT_ID ""
#endif

namespace vorel {

namespace {

constexpr std::array<std::pair<LoginMethod, const char*>, 4> kMethodNames = {{
    {LoginMethod::Password, "password"},
    {LoginMethod::Microsoft, "microsoft"},
    {LoginMethod::CustomOAuth2, "custom"},
    {LoginMethod::PasswordCommand, "command"},
}};

std::map<std::string, std::string> readKeyValues(const std::string& path) {
    std::map<std::string, std::string> out;
    const auto lines = readTextLines(path);
    if (!lines) {
        return out;
    }
    for (const std::string& line : *lines) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos && eq > 0) {
            out[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return out;
}

std::string keyValues(const std::map<std::string, std::string>& values) {
    std::string out;
    for (const auto& [key, value] : values) {
        out += key + "=" + asOneLine(value) + "\n";
    }
    return out;
}

}  // namespace

std::string builtInMicrosoftClientId() {
    return VOREL_MS_CLIENT_ID;
}

OAuth2Provider microsoftProvider(const std::string& clientId) {
    OAuth2Provider p;
    p.clientId = clientId.empty() ? builtInMicrosoftClientId() : clientId;
    p.authorizeUrl = "https://login.microsoftonline.com/common/oauth2/v2.0/authorize";
    p.tokenUrl = "https://login.microsoftonline.com/common/oauth2/v2.0/token";
    p.deviceUrl = "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode";
    p.scope =
        "offline_access https://outlook.office.com/POP.AccessAsUser.All "
        "https://outlook.office.com/SMTP.Send";
    return p;
}

OAuth2Provider providerFor(const SignInSettings& s) {
    if (s.method == LoginMethod::Microsoft) {
        return microsoftProvider(s.clientId);
    }
    OAuth2Provider p;
    p.clientId = s.clientId;
    p.authorizeUrl = s.authorizeUrl;
    p.tokenUrl = s.tokenUrl;
    p.scope = s.scope;
    return p;
}

std::string loginMethodName(LoginMethod method) {
    for (const auto& [m, name] : kMethodNames) {
        if (m == method) {
            return name;
        }
    }
    return "password";
}

std::optional<LoginMethod> loginMethodFromName(const std::string& name) {
    for (const auto& [m, n] : kMethodNames) {
        if (name == n) {
            return m;
        }
    }
    return std::nullopt;
}

SignInSettings readSignInSettings(const std::string& folder) {
    auto values = readKeyValues(joinPath(folder, kSignInFile));
    SignInSettings s;
    s.method = loginMethodFromName(values["method"]).value_or(LoginMethod::Password);
    s.clientId = values["client_id"];
    s.authorizeUrl = values["authorize_url"];
    s.tokenUrl = values["token_url"];
    s.scope = values["scope"];
    s.passwordCommand = values["password_command"];
    s.secretsInFolder = values["secrets_in_folder"] == "1";
    s.account = values["account"];
    return s;
}

void writeSignInSettings(const std::string& folder, const SignInSettings& s) {
    replaceFile(joinPath(folder, kSignInFile),
                keyValues({{"method", loginMethodName(s.method)},
                           {"client_id", s.clientId},
                           {"authorize_url", s.authorizeUrl},
                           {"token_url", s.tokenUrl},
                           {"scope", s.scope},
                           {"password_command", s.passwordCommand},
                           {"secrets_in_folder", s.secretsInFolder ? "1" : "0"},
                           {"account", s.account}}),
                0600);
}

std::map<std::string, std::string> FileSecretStore::readAll() const {
    return readKeyValues(joinPath(folder_, kSecretsFile));
}

bool FileSecretStore::writeAll(const std::map<std::string, std::string>& all) const {
    const std::string path = joinPath(folder_, kSecretsFile);
    try {
        if (all.empty()) {
            std::remove(path.c_str());
            return true;
        }
        replaceFile(path, keyValues(all), 0600);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

std::optional<std::string> FileSecretStore::readSecret(const std::string& key) {
    auto all = readAll();
    const auto it = all.find(key);
    if (it == all.end() || it->second.empty()) {
        return std::nullopt;
    }
    return it->second;
}

bool FileSecretStore::writeSecret(const std::string& key, const std::string& value) {
    auto all = readAll();
    all[key] = value;
    return writeAll(all);
}

void FileSecretStore::removeSecret(const std::string& key) {
    auto all = readAll();
    if (all.erase(key) != 0) {
        writeAll(all);
    }
}

}  // namespace vorel
