// vorel status against folders in each state, and the desktop notices.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "forms/FolderStatus.h"
#include "forms/Notices.h"
#include "net/DesktopNotifier.h"
#include "run/RunRecord.h"
#include "store/Database.h"
#include "store/FileLock.h"
#include "store/HeldPosts.h"
#include "store/Queue.h"
#include "store/SendLimits.h"
#include "store/Settings.h"
#include "store/SignInSettings.h"
#include "store/TextFile.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

using Causes = std::vector<std::string>;
const std::int64_t kNow = static_cast<std::int64_t>(std::time(nullptr));

void setUp(const test::TempFolder& f, const std::string& password = "pw") {
    Database::createIfMissing(f.file("data.mdb"));
    Database::upgradeSchema(f.file("data.mdb"));
    Settings s;
    s.txtPOP = "127.0.0.1:1";
    s.txtPASSWORD = password;
    writeSettings(f.path(), s);
}

LastRun ran(LastRun::Result result, bool signInStopped = false) {
    LastRun r;
    r.started = kNow - 70;
    r.ended = kNow - 60;
    r.result = result;
    r.signInStopped = signInStopped;
    r.counters.processed = 4;
    return r;
}

void holdMember(const test::TempFolder& f, const std::string& list, const std::string& email) {
    Database db = Database::open(f.file("data.mdb"));
    if (!db.findList(list)) {
        MailingList l;
        l.Name = list;
        db.addList(l);
    }
    db.addMember({0, list, email, ""});
    for (std::int64_t day = kNow / 86400 - 2; day <= kNow / 86400; ++day) {
        db.recordBounce(email, list, day);
    }
}

// Names, sizes and times of the folder's files: what status must not change.
std::string snapshot(const std::string& folder) {
    std::string out;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        out += e.path().filename().string() + " " + std::to_string(e.file_size()) + " " +
               std::to_string(e.last_write_time().time_since_epoch().count()) + "\n";
    }
    return out;
}

void signInExpired(const test::TempFolder& f) {
    SignInSettings s;
    s.method = LoginMethod::Microsoft;
    writeSignInSettings(f.path(), s);
}

void heldMembersAndPosts(const test::TempFolder& f) {
    holdMember(f, "NEWS", "ann@x.example");
    Database db = Database::open(f.file("data.mdb"));
    db.addMember({0, "NEWS", "bob@x.example", ""});
    db.addPending({0, "NEWS", "carl@x.example", "", "t1", kNow});
    // The owner's: held, and a member's past its life; a recent one is the member's.
    HeldPosts posts(db);
    for (const auto& [why, asked] :
         {std::pair{HeldWhy::Owner, kNow}, std::pair{HeldWhy::Member, kNow - 73 * 3600},
          std::pair{HeldWhy::Member, kNow - 3600}}) {
        posts.add({0, "NEWS", "ann@x.example", "news@x.example", "s", "b", asked, why,
                   "t" + std::to_string(asked), asked});
    }
}

void queueFull(const test::TempFolder& f) {
    appendQueueRecord(f.path(), {"a@x.example", "me@x.example", "s", "b"});
    appendQueueRecord(f.path(), {"b@x.example", "me@x.example", "s", "b"});
    f.write("msgqueue.failed", "c@x.example\r\n\xFF\r\nme\r\n\xFF\r\ns\r\n\xFF\r\n");
    writeSendLimits(f.path(), {1, 0});
    SentLog(f.path(), kNow).add(kNow - 10, 1);
}

TEST(StatusCommand, TellsEachStateAndWhatNeedsAttentionWithoutWriting) {
    using R = LastRun::Result;
    const struct {
        const char* state;
        const char* password;  // null: a fresh folder, not set up
        std::optional<LastRun> last;
        void (*make)(const test::TempFolder&);
        int status;
        const char* result;  // null: none yet
        Causes causes;
    } table[] = {
        {"fresh", nullptr, {}, nullptr, 0, nullptr, {}},
        {"complete, a run holds it", "pw", ran(R::Complete), nullptr, 0, "complete", {}},
        {"failed run", "pw", ran(R::Failed), nullptr, 1, "failed", {kCauseRunFailed}},
        {"expired sign-in", "", ran(R::Failed, true), signInExpired, 1, "failed", {kCauseSignIn}},
        {"no secret", "", {}, nullptr, 1, nullptr, {kCauseNoSecret}},
        {"held", "pw", {}, heldMembersAndPosts, 1, nullptr, {kCauseHeldMembers, kCauseHeldPosts}},
        {"queue", "pw", {}, queueFull, 1, nullptr, {kCauseQueueLimit, kCauseFailedRecords}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.state);
        test::TempFolder f, io;
        if (row.password) {
            setUp(f, row.password);
        } else {
            Database::createIfMissing(f.file("data.mdb"));
        }
        if (row.last) {
            writeLastRun(f.path(), *row.last);
        }
        if (row.make) {
            row.make(f);
        }
        std::optional<FileLock> running;
        if (std::string(row.state).find("holds") != std::string::npos) {
            running.emplace(f.file(kRunLockFile), false);
        }
        const std::string before = snapshot(f.path());
        const int status =
            std::system(("VOREL_FOLDER= VOREL_PASSWORD_COMMAND= DBUS_SESSION_BUS_ADDRESS= "
                         "XDG_RUNTIME_DIR= XDG_CONFIG_HOME='" +
                         io.path() + "' '" + std::string(VOREL_BINARY) +
                         "' status --json --folder '" + f.path() + "' >'" + io.file("out") + "'")
                            .c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.status);
        EXPECT_EQ(snapshot(f.path()), before);
        const auto j = nlohmann::json::parse(io.read("out"));
        EXPECT_EQ(j["folder"], f.path());
        EXPECT_EQ(j["causes"].get<Causes>(), row.causes);
        EXPECT_EQ(j["attention"].size(), row.causes.size());
        EXPECT_EQ(j["last_run"]["result"].is_null(), row.result == nullptr);
        if (row.result) {
            EXPECT_EQ(j["last_run"]["result"], row.result);
            EXPECT_EQ(j["last_run"]["counters"]["processed"], 4);
            EXPECT_EQ(j["last_run"]["duration"], 10);
        }
        EXPECT_EQ(j["running"], running.has_value());
        EXPECT_EQ(j["set_up"], row.password != nullptr);
        if (row.causes == Causes{kCauseHeldMembers, kCauseHeldPosts}) {
            EXPECT_EQ(j["lists"], nlohmann::json::parse(
                                      R"([{"name": "NEWS", "members": 2, "held_members": 1,
                                           "pending_requests": 1, "held_posts": 2}])"));
        }
        if (row.causes == Causes{kCauseQueueLimit, kCauseFailedRecords}) {
            EXPECT_EQ(j["queue"], nlohmann::json::parse(R"({"records": 2, "failed": 1,
                                                            "sent_today": 1, "daily_limit": 1})"));
        }
        EXPECT_EQ(j["sign_in"]["secret_available"], row.causes != Causes{kCauseNoSecret} &&
                                                        row.causes != Causes{kCauseSignIn} &&
                                                        row.password);
    }
}

// A session bus of the test's own with a notification service stub.
struct NoticeBus {
    test::TempFolder dir;
    pid_t bus = 0, server = 0;

    bool start() {
        // dbus-daemon --fork answers once the bus is up: its address, then its pid.
        if (std::system(("command -v dbus-daemon >/dev/null && /usr/bin/python3 -c 'import dbus, "
                         "gi' 2>/dev/null && dbus-daemon --session --fork --address=unix:path=" +
                         dir.file("bus") + " --print-address=1 --print-pid=1 >'" +
                         dir.file("bus.out") + "'")
                            .c_str()) != 0) {
            return false;
        }
        const std::vector<std::string> out = textLines(dir.read("bus.out"));
        bus = static_cast<pid_t>(std::stol(out.at(1)));
        setenv("DBUS_SESSION_BUS_ADDRESS", out.at(0).c_str(), 1);
        std::system(("/usr/bin/python3 '" + std::string(VOREL_SOURCE_DIR) +
                     "/tests/support/notify_server.py' '" + dir.file("log") + "' click >'" +
                     dir.file("ready") + "' & echo $! >'" + dir.file("server.pid") + "'")
                        .c_str());
        server = static_cast<pid_t>(std::stol(dir.read("server.pid")));
        const auto ready = [this] { return dir.exists("ready") && dir.read("ready") == "ready\n"; };
        for (int i = 0; i < 100 && !ready(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return ready();
    }
    std::string told() const { return dir.exists("log") ? dir.read("log") : ""; }
    ~NoticeBus() {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        for (pid_t p : {server, bus}) {
            if (p > 0) {
                kill(p, SIGTERM);
            }
        }
    }
};

TEST(Notices, OncePerCauseAgainOnlyAfterItClearedAndAClickNamesTheCause) {
    NoticeBus bus;
    if (!bus.start()) {
        GTEST_SKIP() << "needs dbus-daemon and python3-dbus";
    }
    test::TempFolder f;
    setUp(f);
    // A headless run that fails all its tries tells the desktop.
    const int status = std::system(("VOREL_FOLDER= '" + std::string(VOREL_BINARY) +
                                    "' run --folder '" + f.path() + "' >/dev/null")
                                       .c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
    EXPECT_EQ(bus.told(), "run_failed\tVorel: the mail run failed\n");

    DesktopNotifier notifier;
    using R = LastRun::Result;
    const struct {
        const char* step;
        std::function<void()> before;
        R result;
        bool signInStopped;
        const char* told;  // the causes told by this step
    } steps[] = {
        {"failed again", {}, R::Failed, false, ""},
        {"complete: cleared", {}, R::Complete, false, ""},
        {"failed once more", {}, R::Failed, false, "run_failed"},
        {"a member held", [&] { holdMember(f, "NEWS", "ann@x.example"); }, R::Complete, false,
         "held_members"},
        {"notices off", [&] { setNoticesWanted(f.path(), false); }, R::Failed, true, ""},
        {"notices on", [&] { setNoticesWanted(f.path(), true); }, R::Failed, true, "sign_in"},
        {"still held, still expired", {}, R::Failed, true, ""},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        const std::string before = bus.told();
        if (s.before) {
            s.before();
        }
        afterRun(f.path(), ran(s.result, s.signInStopped), &notifier);
        std::string causes;
        for (const std::string& line : textLines(bus.told().substr(before.size()))) {
            causes += (causes.empty() ? "" : " ") + line.substr(0, line.find('\t'));
        }
        EXPECT_EQ(causes, s.told);
    }

    // In the windows a click on the notice names its cause.
    std::string clicked;
    DesktopNotifier windows([&](const std::string& cause) { clicked = cause; });
    ASSERT_TRUE(windows.notify(kCauseHeldMembers, "held", "a member is held"));
    for (int i = 0; i < 500 && clicked.empty(); ++i) {
        g_main_context_iteration(nullptr, FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(clicked, kCauseHeldMembers);
}

}  // namespace
}  // namespace vorel
