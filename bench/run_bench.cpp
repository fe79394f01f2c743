// Cost of a whole mail run over a loopback Dovecot mailbox, against the floor
// of the same work done bare with the mail component in the same process: one
// header scan of the mailbox plus the whole-message downloads the run needs.
//
// Mailbox: 30% of the messages match one of 20 autoresponders, 10% are
// subscribe or unsubscribe requests to 5 lists, 5% are spam, the rest match
// nothing. The SMTP host is a closed loopback port, so the sending step fails
// at once and carries the queue over: sending is measured by send_bench.
//
// Usage: run_bench [MESSAGES MEMBERS]   (default: 200 / 1,000, 1,000 / 1,000
// and 1,000 / 10,000 messages / members per list, which show whether peak
// memory grows with the mailbox and the lists; each in a process of its own)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "base/Clock.h"
#include "core/RunHost.h"
#include "core/RunState.h"
#include "net/CurlMailComponent.h"
#include "run/MailRun.h"
#include "store/Database.h"
#include "store/Settings.h"
#include "support/Rows.h"
#include "support/TestServers.h"

namespace fs = std::filesystem;
using namespace vorel;
using namespace vorel::bench;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kAutoresponders = 20;
constexpr int kLists = 5;

// retr= of Dovecot session `n` (from 1) once Dovecot has logged its end.
long retrCount(const test::PopServer& pop, std::size_t n) {
    auto end = Steady::now() + std::chrono::seconds(5);
    while (true) {
        std::string l = pop.log();
        std::size_t p = 0;
        std::size_t seen = 0;
        while ((p = l.find("retr=", p)) != std::string::npos) {
            if (++seen == n) {
                return std::atol(l.c_str() + p + 5);
            }
            p += 5;
        }
        if (Steady::now() > end) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string body() {
    std::string b = "Dear list,\r\n\r\n";
    while (b.size() < 2000) {
        b += "A line of ordinary text to give the message a realistic size.\r\n";
    }
    return b;
}

std::string mail(int i, const std::string& from, const std::string& to, const std::string& subject,
                 const std::string& text) {
    return "From: Sender " + std::to_string(i) + " <" + from + ">\r\nTo: " + to +
           "\r\nSubject: " + subject + "\r\nMessage-ID: <" + std::to_string(i) +
           "@bench>\r\nDate: Sun, 06 Dec 2026 08:00:00 +0000\r\n\r\n" + text;
}

double seconds(Steady::duration d) {
    return std::chrono::duration<double>(d).count();
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int runOnce(int messages, int members) {
    test::PopServer pop;
    const std::string folder = bench::newAppFolder("runbench-app");
    const std::string dbPath = folder + "/data.mdb";
    {
        Database db = Database::open(dbPath);
        db.begin();
        for (int k = 0; k < kAutoresponders; ++k) {
            db.addAutoresponder(
                test::replyRule("AR" + std::to_string(k), "ar" + std::to_string(k) + "@me.example",
                                "Hello %name%, thanks for writing on %date% at %time% (%email%)."));
        }
        for (int l = 0; l < kLists; ++l) {
            MailingList m;
            m.Name = "LIST" + std::to_string(l);
            m.onsubscribeto = "join" + std::to_string(l) + "@me.example";
            m.onunsubscribeto = "leave" + std::to_string(l) + "@me.example";
            m.sendtolistfrom = "list" + std::to_string(l) + "@me.example";
            m.subscribefrom = m.unsubscribefrom = m.sendtolistfrom;
            m.postcheck = 0;  // posts copied at once
            m.subscribesubject = "Welcome";
            m.subscribemessage = "Welcome to the list, %email%.";
            m.unsubscribesubject = "Goodbye";
            m.unsubscribemessage = "You have left the list.";
            m.confirm = false;  // the figures stay comparable with earlier ones
            db.addList(m);
            for (int k = 0; k < members; ++k) {
                db.addMember(Member{0, m.Name,
                                    "m" + std::to_string(k) + "@l" + std::to_string(l) + ".example",
                                    ""});
            }
        }
        db.commit();
    }
    std::string spamList;
    for (int k = 0; k < 5; ++k) {
        spamList += "spammer" + std::to_string(k) + "@spam.example\r\n";
    }
    spit(folder + "/antispam.lst", spamList);

    // Which messages the run must download whole: autoresponder replies and
    // subscriptions read the message text for merge fields.
    std::vector<long> whole;
    const std::string text = body();
    for (int i = 1; i <= messages; ++i) {
        int kind = i % 100;
        if (kind < 30) {
            pop.addMessage(mail(i, "s" + std::to_string(i) + "@x.example",
                                "ar" + std::to_string(i % kAutoresponders) + "@me.example",
                                "Question",
                                text + "%vorelcode%\r\nname=Sender" + std::to_string(i) + "\r\n"));
            whole.push_back(i);
        } else if (kind < 40) {
            int l = i % kLists;
            if (i % 2 == 0) {
                pop.addMessage(mail(i, "new" + std::to_string(i) + "@x.example",
                                    "join" + std::to_string(l) + "@me.example", "subscribe", text));
                whole.push_back(i);
            } else {
                pop.addMessage(mail(
                    i, "m" + std::to_string(i % members) + "@l" + std::to_string(l) + ".example",
                    "leave" + std::to_string(l) + "@me.example", "unsubscribe", text));
            }
        } else if (kind < 45) {
            pop.addMessage(mail(i, "spammer" + std::to_string(i % 5) + "@spam.example",
                                "me@me.example", "Offer", text));
        } else {
            pop.addMessage(mail(i, "p" + std::to_string(i) + "@x.example", "me@me.example",
                                "Just a note", text));
        }
    }

    // A closed SMTP port: the sending step fails at once and the queue is carried over.
    const Settings s = bench::loopbackSettings(pop, pop.port(), test::freeLoopbackPort());
    writeSettings(folder, s);

    CurlMailComponent component;
    auto scan = [&](bool downloads) {
        component.setTimeout(30);
        component.popConnect(s.txtPOP, s.txtUSERID, s.txtPASSWORD);
        long n = component.messageCount();
        std::size_t w = 0;
        for (long i = 1; i <= n; ++i) {
            component.selectMessage(i);
            component.fetchHeader();
            if (downloads && w < whole.size() && whole[w] == i) {
                component.fetchMessage();
                ++w;
            }
        }
        component.disconnect();
    };
    resetPeak();
    scan(false);  // warms Dovecot's index and the page cache
    // The floor is the best of three scans; CPU time is this process's alone,
    // steadier than wall time on a shared machine. RUN_BENCH_NO_FLOOR=1 skips
    // them, so that a system-call count (strace -ff) is the run's alone.
    const bool noFloor = std::getenv("RUN_BENCH_NO_FLOOR") != nullptr;
    double floor = 1e9, floorCpu = 1e9;
    for (int k = 0; k < (noFloor ? 0 : 3); ++k) {
        double c0 = cpuSeconds();
        auto t0 = Steady::now();
        scan(true);
        floor = std::min(floor, seconds(Steady::now() - t0));
        floorCpu = std::min(floorCpu, cpuSeconds() - c0);
    }
    const long floorRetr = noFloor ? 0 : retrCount(pop, 4);

    const long scanPeak = peakKb();

    resetPeak();
    QuietHost host;
    SystemClock clock;
    MailRun run(folder, host, component, clock);
    double c0 = cpuSeconds();
    auto t0 = Steady::now();
    bool ok = run.doRunMail();
    const double took = seconds(Steady::now() - t0);
    const double tookCpu = cpuSeconds() - c0;
    const long runRetr = retrCount(pop, noFloor ? 2 : 5);
    const RunCounters& c = run.state().counters;

    std::printf(
        "messages %d, members/list %d: run %s in %.3f s (%.0f messages/s); processed %d, "
        "autoresponders %d, subscriptions %d, unsubscriptions %d, anti-spam %d\n"
        "  whole-message downloads: run %ld, floor %ld (expected %zu)\n"
        "  floor (header scan + downloads): %.3f s wall, %.3f s CPU\n"
        "  run/floor = %.2f wall, %.2f CPU (goal <= 1.50)\n"
        "  peak memory: run %ld KB, header scans %ld KB\n",
        messages, members, ok ? "ended" : "FAILED", took, messages / took, c.processed,
        c.autoresponders, c.subscriptions, c.unsubscriptions, c.antiSpam, runRetr, floorRetr,
        whole.size(), floor, floorCpu, took / floor, tookCpu / floorCpu, peakKb(), scanPeak);
    std::fflush(stdout);
    std::error_code ec;
    fs::remove_all(folder, ec);
    return ok ? 0 : 1;
}

// Each configuration in a child process, so that maxrss is its own.
int inChild(int messages, int members) {
    std::fflush(stdout);
    pid_t pid = ::fork();
    if (pid == 0) {
        int rc = 1;
        try {
            rc = runOnce(messages, members);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "run_bench: %s\n", e.what());
        }
        std::fflush(stdout);
        _exit(rc);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3) {
        return inChild(std::atoi(argv[1]), std::atoi(argv[2]));
    }
    int rc = inChild(200, 1000);
    rc |= inChild(1000, 1000);
    rc |= inChild(1000, 10000);
    return rc;
}
