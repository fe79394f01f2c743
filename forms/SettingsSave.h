#pragma once

#include <functional>
#include <optional>
#include <string>

#include "forms/Outcome.h"
#include "forms/SetupForm.h"
#include "store/PostingTrust.h"
#include "store/SendLimits.h"
#include "store/SignInSettings.h"

namespace vorel {

// What the settings window's Ok writes: setup.ini and antispam.lst, the Sign
// In tab (signin.ini and where the password is kept) and sending.ini.
struct SettingsSave {
    SetupForm setup;
    SignInSettings signIn;
    SendLimits limits;
    PostingTrust posting;
    // Line 4 as it was loaded: where the password went is said only for a
    // new one.
    std::string loadedPassword;
    // notify.ini's switch for the desktop notices; unset leaves the file.
    std::optional<bool> notices;
};

struct SettingsSaved : Outcome {
    // Where a new password went, or why it stays in clear text on line 4;
    // empty when there is nothing to say. Kept when the sign-in was written
    // and a later write failed.
    std::string passwordPlace;
};

// Told before and after a password is handed to its store, which may take
// long (a keyring that asks to be unlocked); `keyring`: the desktop keyring
// is asked, not the secrets file.
struct SecretWait {
    std::function<void(bool keyring)> before;
    std::function<void()> after;
};

// Ok: the sign-in first (applySignIn, which may take the password off line
// 4), then setup.ini and antispam.lst, then sending.ini, posting.ini and notify.ini. The first
// write that fails ends the save; its reason is the message.
SettingsSaved saveSettings(const std::string& folder, SettingsSave save, SecretStore* keyring,
                           const SecretWait& wait = {});

// The Sign In tab's part of Ok: signin.ini written, and a password on line 4
// of `settings` kept in the keyring (or the secrets file when ticked), line 4
// then left empty; where neither keeps it, it stays on line 4. A folder whose
// user never chose anything on the tab, with no signin.ini and no keyring,
// keeps the old rules: nothing is written. `passwordPlace` says where the
// password is kept.
SettingsSaved applySignIn(const std::string& folder, const SignInSettings& signIn,
                          Settings& settings, SecretStore* keyring, const SecretWait& wait = {});

// Whether anything on the Sign In tab differs from a new folder's.
bool signInChosen(const SignInSettings& signIn);

}  // namespace vorel
