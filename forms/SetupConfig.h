#pragma once

#include <optional>
#include <string>
#include <vector>

#include "forms/Outcome.h"

namespace vorel {

// `vorel config`: every setting by one name, read and changed by the
// settings window's rules. The 18 lines of setup.ini go by their controls'
// names; the newer settings by their files' keys (signin.ini: method,
// client_id, authorize_url, token_url, scope, password_command,
// secrets_in_folder, account; sending.ini: dailylimit, pace; notify.ini:
// notify).
struct ConfigEntry {
    std::string key;
    std::string value;
};
using ConfigValues = std::vector<ConfigEntry>;

ConfigValues readConfig(const std::string& folder);
// The key as listed, for a name given in any letter case; none when no
// setting has it.
std::optional<std::string> configKey(const std::string& typed);
// Passwords: given on standard input only, never shown.
bool isSecretKey(const std::string& key);
// The value as `vorel config` prints it: a secret is masked.
std::string shownConfigValue(const ConfigEntry& entry);

struct ConfigChange {
    Outcome outcome;
    std::string stored;              // the value as stored
    std::vector<std::string> notes;  // what the window would have said besides
};
// Sets one setting that is not a secret, as the settings window's Ok stores
// it: a check box takes 0 or 1, an auto-run interval below 20 s becomes 0,
// a setting holds one line.
ConfigChange setConfig(const std::string& folder, const std::string& key, const std::string& value);

inline constexpr char kEsmtpWarningText[] =
    "Please check with your service provider that your SMTP server is not ESMTP, Vorel may "
    "behave unpredictably if this setting is not correct!";

}  // namespace vorel
