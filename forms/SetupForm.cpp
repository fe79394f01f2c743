#include "forms/SetupForm.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "store/AntiSpam.h"
#include "store/AppFolder.h"

namespace vorel {

namespace {

Outcome notSaved(const std::string& reason) {
    return Outcome::failed(
        "The settings were not saved: " + reason +
        ".\nYour changes are still in the window; correct the problem and press Ok again.");
}

}  // namespace

SetupForm loadSetupForm(const std::string& folder) {
    SetupForm form;
    form.antiSpam = readAntiSpamLines(folder);
    form.settings = readSettingsForWindow(folder);
    return form;
}

Outcome saveSetupForm(const std::string& folder, const SetupForm& form) {
    // The writers name the file and the reason ("cannot write PATH: REASON").
    try {
        writeSettings(folder, form.settings);
    } catch (const std::exception& e) {
        return notSaved(e.what());
    }
    try {
        writeAntiSpamLines(folder, form.antiSpam);
    } catch (const std::exception& e) {
        return notSaved(std::string(e.what()) + " (setup.ini was saved)");
    }
    return Outcome::done();
}

bool esmtpWarningNeeded(const std::string& chkESMTP) {
    return !lineIsOnWhenNonZero(chkESMTP);
}

std::string dialUpWhenAfterLeaving(const std::string& text) {
    const double value = leadingNumber(text);
    if (value != 0.0 && value < 20.0) {
        return "0";
    }
    return text;
}

std::optional<std::string> antiSpamItemToAdd(const std::string& from, const std::string& subject,
                                             const std::string& to) {
    if (from.empty() && subject.empty() && to.empty()) {
        return std::nullopt;
    }
    return composeAntiSpamLine(from, subject, to);
}

Outcome deleteRunLog(const std::string& folder) {
    const std::string path = runLogPath(folder);
    if (std::remove(path.c_str()) != 0 && errno != ENOENT) {
        return Outcome::failed("Could not delete " + path + ": " + std::strerror(errno));
    }
    return Outcome::done();
}

}  // namespace vorel
