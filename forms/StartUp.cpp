#include "forms/StartUp.h"

#include <cstdlib>
#include <system_error>

#include "base/TextCompare.h"

namespace vorel {

bool asksForRun(const std::vector<std::string>& args) {
    std::string line;
    for (const std::string& a : args) {
        line += " " + a;
    }
    return lowerCase(line).find("-r") != std::string::npos;
}

bool asksForTray(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--tray") {
            return true;
        }
    }
    return false;
}

bool hasDisplay(const std::function<std::string(const char*)>& env) {
    return !env("DISPLAY").empty() || !env("WAYLAND_DISPLAY").empty() ||
           !env("QT_QPA_PLATFORM").empty();
}

std::string versionLabel(int major, int minor, int revision) {
    return "Version " + std::to_string(major) + "." + std::to_string(minor) + "." +
           std::to_string(revision);
}

}  // namespace vorel
