#include "forms/StartUp.h"

#include <cstdlib>
#include <filesystem>
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

bool sessionBusReachable() {
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (bus != nullptr && *bus != '\0') {
        return true;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    return runtime != nullptr && *runtime != '\0' &&
           std::filesystem::exists(std::filesystem::path(runtime) / "bus", ec);
}

std::string versionLabel(int major, int minor, int revision) {
    return "Version " + std::to_string(major) + "." + std::to_string(minor) + "." +
           std::to_string(revision);
}

}  // namespace vorel
