#pragma once

#include <optional>
#include <string>
#include <vector>

#include "forms/Outcome.h"
#include "store/Settings.h"

namespace vorel {

// What the settings window edits: the 18 settings and the anti-spam list, one
// item per line of antispam.lst, unsplit.
struct SetupForm {
    Settings settings;
    std::vector<std::string> antiSpam;
};

// The window's load: the anti-spam lines, then the settings with the window's
// loading rule (defaults without setup.ini, loading stops at a check-box value
// a box cannot take).
SetupForm loadSetupForm(const std::string& folder);

// "&Ok": setup.ini, then antispam.lst, each replaced whole. When a file could
// not be written, the message names it (the window stays open with the edits).
Outcome saveSetupForm(const std::string& folder, const SetupForm& form);

// The ESMTP warning goes with a save that will send through plain SMTP, which
// is what the run makes of the line.
bool esmtpWarningNeeded(const std::string& chkESMTP);

// Leaving txtDIALUPWHEN: a countdown shorter than 20 seconds would start runs
// back to back, so a non-zero value below 20 becomes "0" (no auto-run).
std::string dialUpWhenAfterLeaving(const std::string& text);

// "&Add": the new list item, or nothing when all three fields are empty.
std::optional<std::string> antiSpamItemToAdd(const std::string& from, const std::string& subject,
                                             const std::string& to);

// "Delete Log": removes log.txt. A missing file is no error; a file that
// could not be deleted is named in the message.
Outcome deleteRunLog(const std::string& folder);

}  // namespace vorel
