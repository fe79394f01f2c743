#include "forms/SettingsSave.h"

#include <exception>
#include <utility>

#include "forms/Notices.h"
#include "run/AccountLogin.h"
#include "store/AppFolder.h"

namespace vorel {

namespace {

// The save ends with `why`; what was said of the password stays.
SettingsSaved failed(SettingsSaved saved, std::string why) {
    saved.ok = false;
    saved.message = std::move(why);
    return saved;
}

}  // namespace

bool signInChosen(const SignInSettings& signIn) {
    const SignInSettings none;
    return signIn.method != none.method || !signIn.clientId.empty() ||
           !signIn.authorizeUrl.empty() || !signIn.tokenUrl.empty() || !signIn.scope.empty() ||
           !signIn.passwordCommand.empty() || signIn.secretsInFolder;
}

SettingsSaved applySignIn(const std::string& folder, const SignInSettings& signIn,
                          Settings& settings, SecretStore* keyring, const SecretWait& wait) {
    SettingsSaved saved;
    if (!signInChosen(signIn) && !fileExists(joinPath(folder, kSignInFile)) && keyring == nullptr) {
        saved.passwordPlace =
            "The password stays in clear text on line 4 of setup.ini: no desktop keyring "
            "answers here. Use a password command, or tick \"Keep secrets in the application "
            "folder\" on the Sign In tab.";
        return saved;
    }
    try {
        writeSignInSettings(folder, signIn);
    } catch (const std::exception& e) {
        return failed(saved, e.what());
    }
    // The password leaves setup.ini where something safer keeps it; where
    // nothing does it stays there, as it always has.
    if (settings.txtPASSWORD.empty()) {
        return saved;
    }
    if (wait.before) {
        wait.before(keyring != nullptr && !signIn.secretsInFolder);
    }
    const std::string why = keepSecret(folder, signIn, keyring, kPasswordKey, settings.txtPASSWORD);
    if (wait.after) {
        wait.after();
    }
    if (why.empty()) {
        settings.txtPASSWORD.clear();
        saved.passwordPlace = signIn.secretsInFolder
                                  ? "The password is kept in the application folder, in clear "
                                    "text in a file only you can read."
                                  : "The password is kept in your desktop keyring.";
        return saved;
    }
    saved.passwordPlace = "The password stays in clear text on line 4 of setup.ini. " + why;
    if (const std::string error = keyring != nullptr ? keyring->lastError() : ""; !error.empty()) {
        saved.passwordPlace += " (" + error + ")";
    }
    return saved;
}

SettingsSaved saveSettings(const std::string& folder, SettingsSave save, SecretStore* keyring,
                           const SecretWait& wait) {
    Settings& settings = save.setup.settings;
    const bool newPassword =
        !settings.txtPASSWORD.empty() && settings.txtPASSWORD != save.loadedPassword;
    SettingsSaved saved = applySignIn(folder, save.signIn, settings, keyring, wait);
    if (!newPassword) {
        saved.passwordPlace.clear();
    }
    if (!saved.ok) {
        return saved;
    }
    if (const Outcome written = saveSetupForm(folder, save.setup); !written.ok) {
        return failed(saved, written.message);
    }
    try {
        writeSendLimits(folder, save.limits);
        writePostingTrust(folder, save.posting);
        if (save.notices) {
            setNoticesWanted(folder, *save.notices);
        }
    } catch (const std::exception& e) {
        return failed(saved, e.what());
    }
    return saved;
}

}  // namespace vorel
