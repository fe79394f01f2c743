// Throughput and memory of the sending step: 10,000 queued messages of about
// 2 KB sent through the real mail component into postfix's smtp-sink on
// loopback, renewing the connection every 31 messages, against Python's
// smtplib sending the same messages with the same renewals in the same run.
// Then the same through a private loopback Postfix (as root, where Postfix
// is installed) that accepts and discards them: a real relay answers a
// command batch as soon as its input runs dry, so a client that sends a
// message's commands and data in two writes waits on delayed acknowledgements
// there, which smtp-sink does not show.
//
// Usage: send_bench [COUNT [POSTFIX_COUNT]]   (defaults 10000 and 1000; a
// 1,000-message run is always made as well, to show that peak memory does
// not grow with the queue)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/Clock.h"
#include "core/Reporter.h"
#include "core/RunHost.h"
#include "core/RunState.h"
#include "net/CurlMailComponent.h"
#include "run/SendStep.h"
#include "store/AppFolder.h"
#include "store/Queue.h"
#include "support/TestServers.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace vorel;

namespace {

constexpr double kFloor = 0.9;  // of the peer's rate in the same run
constexpr int kRounds = 3;

class CountingHost : public RunHost {
public:
    void setStatus(const std::string&) override {}
    void addLogEntry(const std::string& text) override {
        if (text.rfind("Message Sent From:", 0) == 0) {
            ++sent;
        }
        failed += text.rfind("Message FAILED", 0) == 0;
    }
    void addDebugLine(const std::string&) override {}
    void clearDebugLines() override {}
    void setDebugModeBox(bool) override {}
    void showMessage(const std::string&) override {}
    bool askYesNo(const std::string&) override { return false; }
    RunRequests yield() override { return {}; }
    long sent = 0;
    int failed = 0;
};

// About 2 KB of plain text in lines of 78 characters.
std::string benchBody() {
    std::string body;
    const std::string line =
        "Thank you for your order. The parcel leaves our warehouse within two days;  ";
    for (int i = 0; i < 26; ++i) {
        body += line.substr(0, 76) + (i < 10 ? "0" : "") + std::to_string(i) + "\r\n";
    }
    return body;
}

std::string makeTempDir() {
    std::string templ = (fs::temp_directory_path() / "vorel-bench-XXXXXX").string();
    if (!mkdtemp(templ.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    return templ;
}

// The sending step over COUNT queued messages, in this process; prints
// "<seconds> <maxrss KiB>".
int runVorelSide(int port, int count) {
    const std::string folder = makeTempDir();
    const std::string body = benchBody();
    for (int i = 1; i <= count; ++i) {
        appendQueueRecord(folder, {"r" + std::to_string(i) + "@dest.example", "vorel@src.example",
                                   "Reply " + std::to_string(i), body});
    }
    CountingHost host;
    SystemClock clock;
    RunState state;
    state.settings.txtSMTP = "127.0.0.1:" + std::to_string(port);
    Reporter report(folder, host, clock);
    report.setLogSetting("1");
    CurlMailComponent mail;
    RunContext ctx{folder, state, report, mail, clock, host};

    auto t0 = std::chrono::steady_clock::now();
    runSendingStep(ctx);
    mail.disconnect();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    bool queueEmpty = !fileExists(joinPath(folder, kQueueFile));
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (host.sent != count || host.failed != 0 || !queueEmpty) {
        std::fprintf(stderr, "send_bench: %ld of %d sent, failed %d, queue empty %d\n", host.sent,
                     count, host.failed, queueEmpty);
        return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%.6f %ld\n", seconds, usage.ru_maxrss);
    return 0;
}

std::string findSink() {
    for (const char* p : {"/usr/sbin/smtp-sink", "/usr/lib/postfix/sbin/smtp-sink"}) {
        if (::access(p, X_OK) == 0) {
            return p;
        }
    }
    throw std::runtime_error("smtp-sink not found (package postfix; scripts/install-deps)");
}

// smtp-sink in a process group of its own, output discarded.
pid_t startSink(int port) {
    std::vector<std::string> args = {findSink()};
    if (::geteuid() == 0) {
        args.insert(args.end(), {"-u", "postfix"});
    }
    args.insert(args.end(), {"127.0.0.1:" + std::to_string(port), "256"});
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        throw std::runtime_error("cannot start smtp-sink");
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!test::loopbackPortAnswers(port)) {
        if (std::chrono::steady_clock::now() > end) {
            throw std::runtime_error("smtp-sink did not answer");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pid;
}

std::string capture(const std::string& command) {
    std::FILE* p = ::popen(command.c_str(), "r");
    if (!p) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) {
        out += buf;
    }
    if (::pclose(p) != 0) {
        throw std::runtime_error("failed: " + command + "\n" + out);
    }
    return out;
}

struct VorelRun {
    double seconds = 0;
    long maxrssKiB = 0;
};

VorelRun vorelRun(int port, int count) {
    // Each size in a fresh process, so that peak memory is that run's own.
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    std::string out =
        capture("'" + self + "' --vorel " + std::to_string(port) + " " + std::to_string(count));
    VorelRun r;
    if (std::sscanf(out.c_str(), "%lf %ld", &r.seconds, &r.maxrssKiB) != 2) {
        throw std::runtime_error("unexpected output: " + out);
    }
    return r;
}

double peerRun(int port, int count, const std::string& bodyFile) {
    const std::string script = fs::path(__FILE__).parent_path() / "send_peer.py";
    return std::stod(capture("/usr/bin/python3 '" + script + "' " + std::to_string(port) + " " +
                             std::to_string(count) + " '" + bodyFile + "'"));
}

struct Comparison {
    long maxrssKiB = 0;
    bool ok = false;
};

// Best of three, taken in turns, so that a burst of load on a shared
// machine does not decide the comparison.
Comparison compare(int port, int count, const std::string& bodyFile) {
    Comparison c;
    double ours = 0;
    double peer = 0;
    for (int round = 0; round < kRounds; ++round) {
        const VorelRun r = vorelRun(port, count);
        ours = round == 0 ? r.seconds : std::min(ours, r.seconds);
        c.maxrssKiB = std::max(c.maxrssKiB, r.maxrssKiB);
        const double p = peerRun(port, count, bodyFile);
        peer = round == 0 ? p : std::min(peer, p);
    }
    const double oursRate = count / ours;
    const double peerRate = count / peer;
    c.ok = oursRate >= kFloor * peerRate;
    std::printf("  sending step (vorel):  %6d messages in %6.2f s = %7.0f messages/s\n", count,
                ours, oursRate);
    std::printf("  smtplib (peer):        %6d messages in %6.2f s = %7.0f messages/s\n", count,
                peer, peerRate);
    std::printf("  ratio %.2f (floor %.2f): %s\n", oursRate / peerRate, kFloor,
                c.ok ? "ok" : "BELOW FLOOR");
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 4 && std::string(argv[1]) == "--vorel") {
            return runVorelSide(std::stoi(argv[2]), std::stoi(argv[3]));
        }
        const int count = argc > 1 ? std::stoi(argv[1]) : 10000;
        const int postfixCount = argc > 2 ? std::stoi(argv[2]) : 1000;
        const int port = test::freeLoopbackPort();
        const pid_t sink = startSink(port);
        const std::string dir = makeTempDir();
        const std::string bodyFile = dir + "/body.txt";
        std::ofstream(bodyFile, std::ios::binary) << benchBody();
        int status = 0;
        try {
            VorelRun small = vorelRun(port, 1000);
            std::printf(
                "messages of %zu bytes of body, connection renewed every 31 messages, best of %d\n",
                benchBody().size(), kRounds);
            std::printf("into smtp-sink:\n");
            const Comparison sinkRun = compare(port, count, bodyFile);
            std::printf("peak memory: %ld KiB after 1000 messages, %ld KiB after %d\n",
                        small.maxrssKiB, sinkRun.maxrssKiB, count);
            bool ok = sinkRun.ok;
            if (::geteuid() == 0 && test::PostfixServer::installed()) {
                test::PostfixServer::Options po;
                po.discard = true;
                test::PostfixServer postfix(po);
                std::printf("through a loopback Postfix (accepted and discarded):\n");
                ok = compare(postfix.port(), postfixCount, bodyFile).ok && ok;
            } else {
                std::printf("no loopback Postfix: needs root and /usr/sbin/postfix\n");
            }
            status = ok ? 0 : 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "send_bench: %s\n", e.what());
            status = 1;
        }
        ::kill(-sink, SIGTERM);
        ::waitpid(sink, nullptr, 0);
        std::error_code ec;
        fs::remove_all(dir, ec);
        return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "send_bench: %s\n", e.what());
        return 1;
    }
}
