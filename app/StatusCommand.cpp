// vorel status: how the folder is doing, for people and for monitoring.
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "app/Commands.h"
#include "app/Modules.h"
#include "base/Clock.h"
#include "forms/FolderStatus.h"
#include "store/AppFolder.h"

namespace vorel {

namespace {

nlohmann::json countersJson(const RunCounters& c) {
    return {{"antispam", c.antiSpam},
            {"processed", c.processed},
            {"autoresponders", c.autoresponders},
            {"subscriptions", c.subscriptions},
            {"unsubscriptions", c.unsubscriptions},
            {"confirmations", c.confirmations}};
}

nlohmann::json statusJson(const FolderStatus& s) {
    nlohmann::json j;
    j["folder"] = s.folder;
    j["set_up"] = s.setUp;
    j["running"] = s.running;
    nlohmann::json last = {{"time", nullptr}, {"result", nullptr}, {"counters", nullptr}};
    if (s.lastRun) {
        last["time"] = formatTime(s.lastRun->started, "%Y-%m-%dT%H:%M:%SZ", true);
        last["result"] = resultName(s.lastRun->result);
        last["counters"] = countersJson(s.lastRun->counters);
        last["duration"] = s.lastRun->ended - s.lastRun->started;
    }
    j["last_run"] = last;
    j["next_run"] = nullptr;
    if (!s.nextRunBy.empty()) {
        j["next_run"] = {{"by", s.nextRunBy}, {"time", nullptr}};
        if (s.nextRunAt) {
            j["next_run"]["time"] = formatTime(*s.nextRunAt, "%Y-%m-%dT%H:%M:%SZ", true);
        }
    }
    j["queue"] = {{"records", s.records},
                  {"failed", s.failedRecords},
                  {"sent_today", s.sentToday},
                  {"daily_limit", s.dailyLimit}};
    j["lists"] = nlohmann::json::array();
    for (const ListStatus& l : s.lists) {
        j["lists"].push_back({{"name", l.name},
                              {"members", l.members},
                              {"held_members", l.heldMembers},
                              {"pending_requests", l.pendingRequests},
                              {"held_posts", l.heldPosts}});
    }
    j["sign_in"] = {{"method", s.method}, {"secret_available", s.secretAvailable}};
    if (!s.problem.empty()) {
        j["problem"] = s.problem;
    }
    j["attention"] = nlohmann::json::array();
    j["causes"] = nlohmann::json::array();
    for (const Attention& a : s.attention) {
        j["attention"].push_back(a.sentence);
        j["causes"].push_back(a.id);
    }
    return j;
}

void printText(const FolderStatus& s) {
    std::printf("Folder: %s\n", s.folder.c_str());
    if (!s.setUp) {
        std::printf(
            "Not set up yet: give the servers and the login with vorel config "
            "(vorel config txtPOP HOST, txtSMTP HOST, txtUSERID NAME, txtPASSWORD -).\n");
    }
    if (s.running) {
        std::printf("A mail run is going on now.\n");
    }
    if (s.lastRun) {
        const LastRun& r = *s.lastRun;
        const RunCounters& c = r.counters;
        std::printf(
            "Last run: %s, %s after %lld s; %d processed, %d autoresponder replies, %d deleted "
            "as spam, %d subscribed, %d unsubscribed\n",
            formatTime(r.started, "%Y-%m-%d %H:%M:%S").c_str(), resultName(r.result),
            static_cast<long long>(r.ended - r.started), c.processed, c.autoresponders, c.antiSpam,
            c.subscriptions, c.unsubscriptions);
    } else {
        std::printf("Last run: none yet\n");
    }
    if (s.nextRunBy == "watch") {
        std::printf("Next run: when new mail arrives (vorel watch)\n");
    } else if (s.nextRunBy == "timer") {
        std::printf("Next run: by the systemd timer (systemctl --user list-timers)\n");
    } else if (s.nextRunBy == "autostart") {
        std::printf("Next run: by the desktop's countdown%s%s\n", s.nextRunAt ? ", about " : "",
                    s.nextRunAt ? formatTime(*s.nextRunAt, "%Y-%m-%d %H:%M:%S").c_str() : "");
    } else {
        std::printf("Next run: none set up (no timer, autostart or vorel watch)\n");
    }
    std::printf("Queue: %lld waiting, %lld failed (msgqueue.failed), %lld recipients sent in 24 h",
                static_cast<long long>(s.records), static_cast<long long>(s.failedRecords),
                static_cast<long long>(s.sentToday));
    if (s.dailyLimit > 0) {
        std::printf(" of %ld allowed", s.dailyLimit);
    }
    std::printf("\n");
    for (const ListStatus& l : s.lists) {
        std::printf("List %s: %lld members, %lld held, %lld pending requests, %lld held posts\n",
                    l.name.c_str(), static_cast<long long>(l.members),
                    static_cast<long long>(l.heldMembers),
                    static_cast<long long>(l.pendingRequests), static_cast<long long>(l.heldPosts));
    }
    if (!s.problem.empty()) {
        std::printf("The lists could not be read: %s\n", s.problem.c_str());
    }
    std::printf("Sign-in: %s, %s\n", s.method.c_str(),
                s.secretAvailable ? ("secret available (" + s.secretPlace + ")").c_str()
                                  : "no secret available");
    if (s.attention.empty()) {
        std::printf("Nothing needs attention.\n");
        return;
    }
    std::printf("Needs attention:\n");
    for (const Attention& a : s.attention) {
        std::printf("  - %s\n", a.sentence.c_str());
    }
}

}  // namespace

int cmdStatus(const CommandLine& cl) {
    bool json = false;
    for (const std::string& a : cl.args) {
        if (a == "--json") {
            json = true;
        } else {
            std::fprintf(stderr, "vorel status: unknown option '%s'\n", a.c_str());
            return kExitUsage;
        }
    }
    // Never prepareAppFolder: status creates nothing.
    const std::string folder = resolveAppFolder(cl.folder);
    if (fileExists(folder)) {
        checkFolderIsPrivate(folder);
    }
    const SignInSettings signIn = readSignInSettings(folder);
    HeadlessKeyring keyring(folder, !signIn.secretsInFolder);
    const FolderStatus s =
        readFolderStatus(folder, std::time(nullptr), keyring.store(), defaultStatusPlaces());
    if (json) {
        std::printf("%s\n", statusJson(s).dump(2).c_str());
    } else {
        printText(s);
    }
    return s.attention.empty() ? 0 : 1;
}

}  // namespace vorel
