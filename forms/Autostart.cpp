#include "forms/Autostart.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "store/TextFile.h"

namespace vorel {

std::string Autostart::defaultPath(const std::function<std::string(const char*)>& env) {
    std::string config = env("XDG_CONFIG_HOME");
    // The base directory rules say a relative value is to be ignored.
    if (config.empty() || config.front() != '/') {
        const std::string home = env("HOME");
        if (home.empty()) {
            return {};
        }
        config = home + "/.config";
    }
    return config + "/autostart/vorel.desktop";
}

bool Autostart::enabled() const {
    const auto lines = readTextLines(path_);
    if (!lines) {
        return false;
    }
    for (const std::string& line : *lines) {
        if (line == "Hidden=true") {
            return false;
        }
    }
    return true;
}

Outcome Autostart::set(bool on, const std::string& program, const std::string& folder) const {
    if (!on) {
        if (std::remove(path_.c_str()) != 0 && errno != ENOENT) {
            return Outcome::failed("Could not remove " + path_ + ": " + std::strerror(errno));
        }
        return Outcome::done();
    }
    const std::string text = entryText(program, folder);
    if (text.empty()) {
        return Outcome::failed(
            "The program's folder or the application folder has a control character in its "
            "name; no autostart entry was written.");
    }
    try {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
        if (ec) {
            return Outcome::failed("Could not make the folder of " + path_ + ": " + ec.message());
        }
        replaceFile(path_, text, 0644);
    } catch (const std::exception& e) {
        return Outcome::failed(e.what());
    }
    return Outcome::done();
}

std::string Autostart::entryText(const std::string& program, const std::string& folder) {
    const std::string exe = desktopExecArg(program);
    const std::string dir = desktopExecArg(folder);
    if (exe.empty() || dir.empty()) {
        return {};
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Vorel\n"
           "Comment=E-mail autoresponder and mailing-list manager, started in the tray\n"
           "Exec=" +
           exe + " --folder " + dir +
           " --tray\n"
           "Icon=vorel\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

std::string desktopExecArg(const std::string& arg) {
    std::string quoted = "\"";
    for (const char c : arg) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            return {};
        }
        switch (c) {
            // Inside quotes these four take a backslash; the file's string
            // escapes then double every backslash.
            case '"':
            case '`':
            case '$':
                quoted += "\\\\";
                quoted += c;
                break;
            case '\\':
                quoted += "\\\\\\\\";
                break;
            // A field code starts with %: a literal one is doubled.
            case '%':
                quoted += "%%";
                break;
            default:
                quoted += c;
        }
    }
    return quoted + "\"";
}

}  // namespace vorel
