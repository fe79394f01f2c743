#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vorel {

// Whether the command line asks for a run at every load of the main window:
// "-R" in any letter case anywhere in its arguments.
bool asksForRun(const std::vector<std::string>& args);

// Whether the windows are to start in the tray (or the countdown window), as
// the autostart entry asks: "--tray" among the arguments.
bool asksForTray(const std::vector<std::string>& args);

// Whether a window system can be reached; `env` reads an environment variable
// (empty when unset).
bool hasDisplay(const std::function<std::string(const char*)>& env);
inline constexpr char kNoDisplayMessage[] = "no display: use 'vorel run' for a run without windows";

// lblVERSION: "Version " and the numbers joined by "." without leading zeros.
std::string versionLabel(int major, int minor, int revision);

}  // namespace vorel
