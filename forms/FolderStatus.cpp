#include "forms/FolderStatus.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/Clock.h"
#include "forms/Autostart.h"
#include "mail/Subscriptions.h"
#include "run/AccountLogin.h"
#include "store/AppFolder.h"
#include "store/Database.h"
#include "store/FileLock.h"
#include "store/HeldPosts.h"
#include "store/Queue.h"
#include "store/SendLimits.h"
#include "store/Settings.h"
#include "store/SignInSettings.h"

namespace vorel {

namespace {

std::string environment(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string plural(std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Where the run would find its secret; empty when nowhere. Password
// commands are not run: a configured one counts.
std::string secretPlace(const std::string& folder, const Settings& settings,
                        const SignInSettings& signIn, SecretStore* keyring) {
    const std::string command = !environment(kPasswordCommandVariable).empty()
                                    ? environment(kPasswordCommandVariable)
                                    : signIn.passwordCommand;
    // Only a folder that chose the keyring is asked: an unused one could
    // prompt to be unlocked.
    const bool askKeyring =
        keyring != nullptr && !signIn.secretsInFolder && fileExists(joinPath(folder, kSignInFile));
    const auto inKeyring = [&](const char* key) {
        return askKeyring && keyring->readSecret(key).has_value();
    };
    const auto inFile = [&](const char* key) {
        return FileSecretStore(folder).readSecret(key).has_value();
    };
    switch (signIn.method) {
        case LoginMethod::PasswordCommand:
            return command.empty() ? "" : "password command";
        case LoginMethod::Microsoft:
        case LoginMethod::CustomOAuth2:
            if (!command.empty()) {
                return "password command";
            }
            if (inKeyring(kRefreshTokenKey)) {
                return "keyring";
            }
            return inFile(kRefreshTokenKey) ? "secrets file" : "";
        case LoginMethod::Password:
            break;
    }
    if (!settings.txtPASSWORD.empty()) {
        return "setup.ini";
    }
    if (inKeyring(kPasswordKey)) {
        return "keyring";
    }
    if (!command.empty()) {
        return "password command";
    }
    return inFile(kPasswordKey) ? "secrets file" : "";
}

// Opened read-only by hand: Database::open may switch the journal mode,
// and its last close checkpoints, both writes.
class ReadOnlyDb {
public:
    explicit ReadOnlyDb(const std::string& path) {
        // Without a write-ahead log nobody has the file open and it holds
        // everything: read as it stands, without the -wal and -shm files a
        // reader would otherwise make and leave behind.
        std::string uri = "file:";
        for (char c : path) {
            if (c == '%' || c == '?' || c == '#') {
                static const char hex[] = "0123456789abcdef";
                uri += '%';
                uri += hex[(static_cast<unsigned char>(c) >> 4) & 15];
                uri += hex[static_cast<unsigned char>(c) & 15];
            } else {
                uri += c;
            }
        }
        if (!fileExists(path + "-wal")) {
            uri += "?immutable=1";
        }
        if (sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) !=
            SQLITE_OK) {
            fail();
        }
        sqlite3_busy_timeout(db_, 5000);
    }
    ~ReadOnlyDb() { sqlite3_close(db_); }
    ReadOnlyDb(const ReadOnlyDb&) = delete;
    ReadOnlyDb& operator=(const ReadOnlyDb&) = delete;

    // Each row's columns as numbers or texts, the parameters bound in order.
    std::vector<std::vector<std::string>> rows(const char* sql,
                                               const std::vector<std::string>& texts,
                                               const std::vector<std::int64_t>& numbers = {}) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
            sqlite3_finalize(s);
            fail();
        }
        int at = 1;
        for (const std::string& t : texts) {
            sqlite3_bind_text(s, at++, t.c_str(), -1, SQLITE_TRANSIENT);
        }
        for (std::int64_t n : numbers) {
            sqlite3_bind_int64(s, at++, n);
        }
        std::vector<std::vector<std::string>> out;
        int rc = 0;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(s); ++c) {
                const unsigned char* v = sqlite3_column_text(s, c);
                row.emplace_back(v ? reinterpret_cast<const char*>(v) : "");
            }
            out.push_back(std::move(row));
        }
        sqlite3_finalize(s);
        if (rc != SQLITE_DONE) {
            fail();
        }
        return out;
    }

private:
    [[noreturn]] void fail() const {
        throw std::runtime_error(db_ ? sqlite3_errmsg(db_) : "cannot open the database");
    }
    sqlite3* db_ = nullptr;
};

std::int64_t number(const std::string& text) {
    return text.empty() ? 0 : std::stoll(text);
}

void readLists(const std::string& folder, std::int64_t now, FolderStatus& s) {
    const std::string path = databasePath(folder);
    if (!fileExists(path)) {
        return;
    }
    try {
        ReadOnlyDb db(path);
        const auto hasTable = [&db](const std::string& name) {
            return !db.rows("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1",
                            {name})
                        .empty();
        };
        const bool hasPending = hasTable("pending");
        const bool hasHeld = hasTable("held");
        for (const auto& list : db.rows("SELECT Name FROM mailling ORDER BY rowid", {})) {
            ListStatus l;
            l.name = list[0];
            // Held as isHeld() judges a member.
            const auto counts = db.rows(
                "SELECT count(*), coalesce(sum(coalesce(bounces, 0) >= ?2 AND"
                " ?3 - coalesce(bounceday, 0) <= ?4), 0) FROM emails WHERE name = ?1",
                {l.name}, {kBouncesToHold, now / 86400, kBounceResetDays});
            l.members = number(counts[0][0]);
            l.heldMembers = number(counts[0][1]);
            if (hasPending) {
                l.pendingRequests =
                    number(db.rows("SELECT count(*) FROM pending WHERE List = ?1", {l.name})[0][0]);
            }
            if (hasHeld) {
                // Waiting for the owner as heldWhyText() says: held for the owner, from a
                // non-member, or a member's request unanswered past its life.
                l.heldPosts = number(db.rows(
                    "SELECT count(*) FROM held WHERE List = ?1 AND (Why <> ?2 OR"
                    " (Asked > 0 AND ?3 - Asked > ?4))",
                    {l.name},
                    {static_cast<std::int64_t>(HeldWhy::Member), now, kConfirmSeconds})[0][0]);
            }
            s.lists.push_back(l);
        }
    } catch (const std::exception& e) {
        s.problem = e.what();
    }
}

void nextRun(const std::string& folder, const StatusPlaces& places, FolderStatus& s) {
    if (s.watching) {
        s.nextRunBy = "watch";
        return;
    }
    const std::string wants = "/timers.target.wants/vorel-run.timer";
    if ((!places.systemdUserFolder.empty() && fileExists(places.systemdUserFolder + wants)) ||
        fileExists("/etc/systemd/user" + wants)) {
        s.nextRunBy = "timer";
        return;
    }
    if (places.autostartEntry.empty() || !Autostart(places.autostartEntry).enabled()) {
        return;
    }
    const long interval = readAutoRunInterval(folder, 0);
    if (interval <= 0) {
        return;
    }
    s.nextRunBy = "autostart";
    if (s.lastRun) {
        s.nextRunAt = s.lastRun->ended + interval;
    }
}

void judge(FolderStatus& s) {
    auto add = [&](const char* id, std::string sentence) {
        s.attention.push_back({id, std::move(sentence)});
    };
    const LastRun* last = s.lastRun ? &*s.lastRun : nullptr;
    if (last && last->signInStopped) {
        add(kCauseSignIn,
            "The last mail run (" + minuteText(last->started) +
                ") could not sign in: sign in again (vorel login, or the Sign In tab of the "
                "settings window) or give the password (vorel config txtPASSWORD -).");
    } else if (!s.secretAvailable) {
        add(kCauseNoSecret,
            "No password or token is available to the mail runs: vorel config txtPASSWORD - "
            "(or vorel login for OAuth2).");
    }
    if (last && last->result == LastRun::Result::Failed && !last->signInStopped) {
        add(kCauseRunFailed, "The last mail run (" + minuteText(last->started) +
                                 ") failed all its tries: see log.txt.");
    }
    if (s.records > 0 && s.dailyLimit > 0 && s.sentToday >= s.dailyLimit) {
        add(kCauseQueueLimit, plural(s.records, "message waits", "messages wait") +
                                  " in the queue: the daily limit of " +
                                  std::to_string(s.dailyLimit) + " recipients is used up.");
    }
    if (s.failedRecords > 0) {
        add(kCauseFailedRecords,
            plural(s.failedRecords, "message", "messages") + " the SMTP server refused for good " +
                (s.failedRecords == 1 ? "is" : "are") + " in msgqueue.failed.");
    }
    std::string held, posts;
    std::int64_t heldCount = 0, postCount = 0;
    for (const ListStatus& l : s.lists) {
        if (l.heldMembers > 0) {
            held += (held.empty() ? "" : ", ") + l.name + " " + std::to_string(l.heldMembers);
            heldCount += l.heldMembers;
        }
        if (l.heldPosts > 0) {
            posts += (posts.empty() ? "" : ", ") + l.name + " " + std::to_string(l.heldPosts);
            postCount += l.heldPosts;
        }
    }
    if (heldCount > 0) {
        add(kCauseHeldMembers, plural(heldCount, "member is", "members are") +
                                   " held after hard bounces (" + held +
                                   "): vorel member LIST list --held, then release ADDR.");
    }
    if (postCount > 0) {
        add(kCauseHeldPosts,
            plural(postCount, "post waits", "posts wait") + " for your approval (" + posts +
                "): vorel held LIST, then vorel approve LIST ID or vorel reject LIST ID.");
    }
}

}  // namespace

StatusPlaces defaultStatusPlaces() {
    StatusPlaces p;
    p.autostartEntry = Autostart::defaultPath([](const char* name) { return environment(name); });
    std::string config = environment("XDG_CONFIG_HOME");
    if (config.empty() || config[0] != '/') {
        const std::string home = environment("HOME");
        config = home.empty() ? "" : home + "/.config";
    }
    if (!config.empty()) {
        p.systemdUserFolder = config + "/systemd/user";
    }
    return p;
}

std::int64_t queueRecordCount(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::int64_t ends = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (line == "\xFF" || line == "\xFF\r") {
            ++ends;
        }
    }
    // A record cut short at the end still counts, as the sending step reads it.
    return (ends + 3) / 4;
}

bool lockHeld(const std::string& path) {
    // Read from the kernel's table rather than probed with a lock of our
    // own: a run that tries its lock at that moment would take us for
    // another run and end.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        fields >> number >> kind;
        if (kind == "->") {  // a waiter: "N: -> FLOCK ..."
            fields >> kind;
        }
        fields >> mode >> access >> pid >> where;
        unsigned maj = 0, min = 0;
        unsigned long long inode = 0;
        if (kind == "FLOCK" && std::sscanf(where.c_str(), "%x:%x:%llu", &maj, &min, &inode) == 3 &&
            maj == major(st.st_dev) && min == minor(st.st_dev) && inode == st.st_ino) {
            return true;
        }
    }
    return false;
}

FolderStatus readFolderStatus(const std::string& folder, std::int64_t now, SecretStore* keyring,
                              const StatusPlaces& places) {
    FolderStatus s;
    s.folder = folder;
    Settings settings;
    s.setUp = readSettingsLines(folder, settings).has_value();
    s.running = lockHeld(joinPath(folder, kRunLockFile));
    s.watching = lockHeld(joinPath(folder, kWatchLockFile));
    s.lastRun = readLastRun(folder);
    nextRun(folder, places, s);
    s.records = queueRecordCount(joinPath(folder, kQueueFile));
    s.failedRecords = queueRecordCount(joinPath(folder, kFailedQueueFile));
    s.dailyLimit = readSendLimits(folder).dailyLimit;
    s.sentToday = SentLog(folder, now).sentInWindow();
    readLists(folder, now, s);
    const SignInSettings signIn = readSignInSettings(folder);
    s.method = loginMethodName(signIn.method);
    s.secretPlace = secretPlace(folder, settings, signIn, keyring);
    s.secretAvailable = !s.secretPlace.empty();
    if (s.setUp) {
        judge(s);
    }
    return s;
}

}  // namespace vorel
