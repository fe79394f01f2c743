#pragma once

#include <functional>
#include <string>

#include "forms/Outcome.h"

namespace vorel {

// The XDG autostart entry (~/.config/autostart/vorel.desktop) that starts
// Vorel with the desktop session, in the tray or the countdown window, so the
// auto-run goes on with the interval of setup.ini. Qt-free: the settings
// window only wires its check box to it.
class Autostart {
public:
    explicit Autostart(std::string path) : path_(std::move(path)) {}

    // $XDG_CONFIG_HOME/autostart/vorel.desktop when that is absolute, else
    // $HOME/.config/autostart/vorel.desktop; empty when neither is known.
    // `env` reads an environment variable (empty when unset).
    static std::string defaultPath(const std::function<std::string(const char*)>& env);

    const std::string& path() const { return path_; }

    // The entry is there and not switched off by the desktop (Hidden=true).
    bool enabled() const;

    // Writes the entry (making its folder) or removes it.
    Outcome set(bool on, const std::string& program, const std::string& folder) const;

    // The entry's text: `program --folder FOLDER --tray`, both quoted.
    static std::string entryText(const std::string& program, const std::string& folder);

private:
    std::string path_;
};

// One argument of a desktop entry's Exec key as it is written in the file:
// double-quoted, with the escapes of the Exec rules and of string values. An
// argument with a control character cannot be written safely: empty then.
std::string desktopExecArg(const std::string& arg);

}  // namespace vorel
