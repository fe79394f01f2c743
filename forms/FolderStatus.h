#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run/RunRecord.h"

namespace vorel {

class SecretStore;

// What `vorel status`, the notices and (later) the windows say about a
// folder: read from its files alone, nothing written, usable while a run
// holds the folder.
struct ListStatus {
    std::string name;
    std::int64_t members = 0;
    std::int64_t heldMembers = 0;
    std::int64_t pendingRequests = 0;
    std::int64_t heldPosts = 0;
};

// A thing that needs the user, first things first. `id` names the cause for
// the notices and scripts; `sentence` says it and what to do.
struct Attention {
    std::string id;
    std::string sentence;
};

// Held by `vorel watch` while it serves the folder.
inline constexpr char kWatchLockFile[] = "watch.lock";

// Cause ids.
inline constexpr char kCauseSignIn[] = "sign_in";          // the last run could not sign in
inline constexpr char kCauseNoSecret[] = "no_secret";      // nothing to sign in with
inline constexpr char kCauseRunFailed[] = "run_failed";    // all tries of the last run failed
inline constexpr char kCauseQueueLimit[] = "queue_limit";  // the queue waits for the daily limit
inline constexpr char kCauseFailedRecords[] = "failed_records";
inline constexpr char kCauseHeldMembers[] = "held_members";
inline constexpr char kCauseHeldPosts[] = "held_posts";

struct FolderStatus {
    std::string folder;
    bool setUp = false;     // setup.ini is there
    bool running = false;   // a mail run holds the folder now
    bool watching = false;  // a `vorel watch` serves the folder now
    std::optional<LastRun> lastRun;
    // How the next run comes: "timer", "autostart", "watch"; empty: none
    // known. `nextRunAt` only where it can be told (the autostart countdown
    // after the last run).
    std::string nextRunBy;
    std::optional<std::int64_t> nextRunAt;
    std::int64_t records = 0;        // in msgqueue.txt
    std::int64_t failedRecords = 0;  // in msgqueue.failed
    std::int64_t sentToday = 0;      // recipients in the last 24 hours
    long dailyLimit = 0;             // 0: none
    std::vector<ListStatus> lists;
    std::string problem;  // data.mdb could not be read: why
    std::string method;   // signin.ini's login method name
    bool secretAvailable = false;
    std::string secretPlace;  // where it is: "setup.ini", "keyring", ...
    std::vector<Attention> attention;
};

// Where the environment keeps what the status looks at besides the folder:
// the autostart entry and the user's systemd units. Empty: not looked at.
struct StatusPlaces {
    std::string autostartEntry;
    std::string systemdUserFolder;  // ~/.config/systemd/user
};
StatusPlaces defaultStatusPlaces();

// `keyring`: asked only where the folder keeps its secrets there.
FolderStatus readFolderStatus(const std::string& folder, std::int64_t now, SecretStore* keyring,
                              const StatusPlaces& places);

// Posts of a list that wait for the owner's approval.

// Records of a queue file (each ends with four field lines).
std::int64_t queueRecordCount(const std::string& path);

// Whether a process holds the lock file `path` (flock), found in the
// kernel's lock table without creating, opening or taking it.
bool lockHeld(const std::string& path);

}  // namespace vorel
