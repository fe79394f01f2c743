#include "forms/SetupConfig.h"

#include <array>

#include "base/TextCompare.h"
#include "forms/Notices.h"
#include "forms/SetupForm.h"
#include "store/PostingTrust.h"
#include "store/SendLimits.h"
#include "store/SignInSettings.h"

namespace vorel {

namespace {

const std::array<const char*, Settings::kLineCount> kLineKeys = {
    "txtPOP",     "txtSMTP",        "txtUSERID",         "txtPASSWORD",   "chkLEAVE",
    "chkLOG",     "txtAUTOFORWARD", "txtRUNPROGRAM",     "txtEMAILLOG",   "chkAUTODIAL",
    "cmbDIALUP",  "txtDIALUPID",    "txtDIALUPPASSWORD", "txtDIALUPWHEN", "chkAUTODISCONNECT",
    "txtTIMEOUT", "chkESMTP",       "chkDEBUG"};
const std::array<const char*, 8> kSignInKeys = {
    "method", "client_id",        "authorize_url",     "token_url",
    "scope",  "password_command", "secrets_in_folder", "account"};
constexpr long kLargestLimit = 1000000;  // the window's boxes go this far

int lineOf(const std::string& key) {
    for (int n = 0; n < Settings::kLineCount; ++n) {
        if (key == kLineKeys[static_cast<std::size_t>(n)]) {
            return n + 1;
        }
    }
    return 0;
}

std::string* signInField(SignInSettings& s, const std::string& key) {
    if (key == "client_id")
        return &s.clientId;
    if (key == "authorize_url")
        return &s.authorizeUrl;
    if (key == "token_url")
        return &s.tokenUrl;
    if (key == "scope")
        return &s.scope;
    if (key == "password_command")
        return &s.passwordCommand;
    return nullptr;
}

ConfigChange failed(const std::string& why) {
    return {Outcome::failed(why), {}, {}};
}

bool isBit(const std::string& v) {
    return v == "0" || v == "1";
}

ConfigChange setLine(const std::string& folder, int line, const std::string& key,
                     const std::string& value) {
    ConfigChange change;
    std::string stored = value;
    if (key.rfind("chk", 0) == 0 && !isBit(value)) {
        return failed(key + " is a check box: 0 (cleared) or 1 (ticked)");
    }
    if (key == "txtDIALUPWHEN") {
        stored = dialUpWhenAfterLeaving(value);
        if (stored != value) {
            change.notes.push_back(
                "An auto-run interval below 20 seconds would start runs back to back: "
                "txtDIALUPWHEN is 0 (no auto-run).");
        }
    }
    SetupForm form = loadSetupForm(folder);
    form.settings.line(line) = stored;
    if ((key == "chkESMTP" || key == "txtSMTP") && esmtpWarningNeeded(form.settings.chkESMTP)) {
        change.notes.push_back(kEsmtpWarningText);
    }
    change.outcome = saveSetupForm(folder, form);
    change.stored = stored;
    return change;
}

ConfigChange setSignIn(const std::string& folder, const std::string& key,
                       const std::string& value) {
    SignInSettings s = readSignInSettings(folder);
    if (key == "method") {
        const std::optional<LoginMethod> m = loginMethodFromName(value);
        if (!m) {
            return failed("method is password, microsoft, custom or command");
        }
        s.method = *m;
    } else if (key == "secrets_in_folder") {
        if (!isBit(value)) {
            return failed("secrets_in_folder is 0 (the desktop keyring) or 1 (the secrets file)");
        }
        s.secretsInFolder = value == "1";
    } else if (std::string* field = signInField(s, key)) {
        *field = value;
    } else {
        return failed("account is written by a sign-in (vorel login)");
    }
    try {
        writeSignInSettings(folder, s);
    } catch (const std::exception& e) {
        return failed(e.what());
    }
    return {Outcome::done(), value, {}};
}

}  // namespace

ConfigValues readConfig(const std::string& folder) {
    ConfigValues out;
    const SetupForm form = loadSetupForm(folder);
    for (int n = 1; n <= Settings::kLineCount; ++n) {
        out.push_back({kLineKeys[static_cast<std::size_t>(n - 1)], form.settings.line(n)});
    }
    const SignInSettings s = readSignInSettings(folder);
    SignInSettings copy = s;
    for (const char* key : kSignInKeys) {
        const std::string k = key;
        std::string value = k == "method"              ? loginMethodName(s.method)
                            : k == "secrets_in_folder" ? (s.secretsInFolder ? "1" : "0")
                            : k == "account"           ? s.account
                                                       : *signInField(copy, k);
        out.push_back({k, value});
    }
    const SendLimits limits = readSendLimits(folder);
    out.push_back({"dailylimit", std::to_string(limits.dailyLimit)});
    out.push_back({"pace", std::to_string(limits.pace)});
    out.push_back({"notify", noticesWanted(folder) ? "1" : "0"});
    const PostingTrust trust = readPostingTrust(folder);
    out.push_back({"authserv-id", trust.authservId});
    out.push_back({"topmost-is-provider", trust.topmostIsProvider ? "1" : "0"});
    return out;
}

std::optional<std::string> configKey(const std::string& typed) {
    std::vector<std::string> keys(kLineKeys.begin(), kLineKeys.end());
    keys.insert(keys.end(), kSignInKeys.begin(), kSignInKeys.end());
    keys.insert(keys.end(), {"dailylimit", "pace", "notify", "authserv-id", "topmost-is-provider"});
    for (const std::string& key : keys) {
        if (sameText(key, typed)) {
            return key;
        }
    }
    return std::nullopt;
}

bool isSecretKey(const std::string& key) {
    return key == "txtPASSWORD" || key == "txtDIALUPPASSWORD";
}

std::string shownConfigValue(const ConfigEntry& entry) {
    if (isSecretKey(entry.key) && !entry.value.empty()) {
        return "********";
    }
    return entry.value;
}

ConfigChange setConfig(const std::string& folder, const std::string& key,
                       const std::string& value) {
    if (value.find_first_of("\r\n") != std::string::npos) {
        return failed("a setting holds one line");
    }
    if (const int line = lineOf(key); line != 0) {
        return setLine(folder, line, key, value);
    }
    if (key == "dailylimit" || key == "pace") {
        long n = -1;
        try {
            std::size_t used = 0;
            n = std::stol(value, &used);
            n = used == value.size() ? n : -1;
        } catch (const std::exception&) {
        }
        if (n < 0 || n > kLargestLimit) {
            return failed(key + " is a whole number from 0 (no limit) to " +
                          std::to_string(kLargestLimit));
        }
        SendLimits limits = readSendLimits(folder);
        (key == "dailylimit" ? limits.dailyLimit : limits.pace) = n;
        try {
            writeSendLimits(folder, limits);
        } catch (const std::exception& e) {
            return failed(e.what());
        }
        return {Outcome::done(), std::to_string(n), {}};
    }
    if (key == "notify") {
        if (!isBit(value)) {
            return failed("notify is 0 (no desktop notices) or 1");
        }
        try {
            setNoticesWanted(folder, value == "1");
        } catch (const std::exception& e) {
            return failed(e.what());
        }
        return {Outcome::done(), value, {}};
    }
    if (key == "authserv-id" || key == "topmost-is-provider") {
        PostingTrust trust = readPostingTrust(folder);
        if (key == "authserv-id") {
            trust.authservId = trimSpace(value);
        } else if (isBit(value)) {
            trust.topmostIsProvider = value == "1";
        } else {
            return failed(
                "topmost-is-provider is 0 or 1 (the top-most Authentication-Results "
                "field is your provider's)");
        }
        try {
            writePostingTrust(folder, trust);
        } catch (const std::exception& e) {
            return failed(e.what());
        }
        return {Outcome::done(), key == "authserv-id" ? trust.authservId : value, {}};
    }
    return setSignIn(folder, key, value);
}

}  // namespace vorel
