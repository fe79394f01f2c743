#pragma once

#include <optional>
#include <string>

namespace vorel {

// Every file of the system lives in one application folder. Resolution order:
// the --folder option, then $VOREL_FOLDER, then the per-user data folder
// ($XDG_DATA_HOME/vorel, default ~/.local/share/vorel).
std::string resolveAppFolder(const std::optional<std::string>& cliFolder);

// Creates the folder (and its parents) when missing; throws std::runtime_error
// naming the folder when it cannot be created.
void ensureFolder(const std::string& folder);

// folder + "/" + name. The system's file names never contain separators.
std::string joinPath(const std::string& folder, const std::string& name);

// The path of the file in `folder` whose name equals `name` without regard to
// letter case ("ANTISPAM.LST" and "antispam.lst" are one file). An exact match
// wins; std::nullopt when no such file exists.
std::optional<std::string> findFileNoCase(const std::string& folder, const std::string& name);

bool fileExists(const std::string& path);

}  // namespace vorel
