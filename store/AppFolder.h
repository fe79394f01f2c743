#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace vorel {

// A folder Vorel will not use; what() says why and what to do.
class FolderRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Every file of the system lives in one application folder. Resolution order:
// the --folder option, then $VOREL_FOLDER, then the per-user data folder
// ($XDG_DATA_HOME/vorel, default ~/.local/share/vorel). Throws FolderRefused
// for a path holding a control character: the queue stores message file
// paths one per line, so a line break in one would split a record.
std::string resolveAppFolder(const std::optional<std::string>& cliFolder);

// Throws FolderRefused unless the folder belongs to the user the process runs
// as and no group or other user may write to it: whoever may write there can
// plant links or queue records that the next run sends.
void checkFolderIsPrivate(const std::string& folder);

// Creates the folder (and its parents) when missing; throws std::runtime_error
// naming the folder when it cannot be created.
void ensureFolder(const std::string& folder);

// The application's files, each named here once (the queue's, the locks' and
// the sign-in files' names stand beside their code).
inline constexpr char kSettingsFile[] = "setup.ini";
inline constexpr char kDatabaseFile[] = "data.mdb";
inline constexpr char kRunLogFile[] = "log.txt";
inline constexpr char kDebugLogFile[] = "debug.log";

std::string databasePath(const std::string& folder);
std::string runLogPath(const std::string& folder);
std::string debugLogPath(const std::string& folder);

// folder + "/" + name. The system's file names never contain separators.
std::string joinPath(const std::string& folder, const std::string& name);

// The path of the file in `folder` whose name equals `name` without regard to
// letter case ("ANTISPAM.LST" and "antispam.lst" are one file). An exact match
// wins; std::nullopt when no such file exists.
std::optional<std::string> findFileNoCase(const std::string& folder, const std::string& name);

bool fileExists(const std::string& path);

}  // namespace vorel
