#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "app/Commands.h"
#include "base/Clock.h"
#include "core/RunHost.h"
#include "core/RunState.h"
#include "gui/Keyring.h"
#include "net/CurlMailComponent.h"
#include "net/OAuth2.h"
#include "run/AccountLogin.h"
#include "run/MailRun.h"

namespace vorel {

namespace {

volatile std::sig_atomic_t gStopRequested = 0;

extern "C" void onStopSignal(int) {
    gStopRequested = 1;
}

// The terminal as the run's surroundings: the run log on standard output,
// everything else on standard error or nowhere.
class TerminalHost : public RunHost {
public:
    explicit TerminalHost(bool verbose) : verbose_(verbose) {}

    void setStatus(const std::string& text) override {
        if (verbose_) {
            std::fprintf(stderr, "%s\n", text.c_str());
        }
    }
    void addLogEntry(const std::string& text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    // The server transcript goes to debug.log only.
    void addDebugLine(const std::string&) override {}
    void clearDebugLines() override {}
    void setDebugModeBox(bool) override {}
    void showMessage(const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    // Nobody is there to answer: the careful answer.
    bool askYesNo(const std::string& text) override {
        std::fprintf(stderr, "%s (answered No)\n", text.c_str());
        return false;
    }
    RunRequests yield() override {
        RunRequests asked;
        if (gStopRequested && !stopped_) {
            stopped_ = true;
            asked.stop = true;
            std::fputs("vorel run: stopping after the item at hand\n", stderr);
        }
        return asked;
    }

private:
    bool verbose_;
    bool stopped_ = false;
};

// SIGINT and SIGTERM act as the stop button; a second signal ends the
// program at once (SA_RESETHAND).
void installStopHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = static_cast<int>(SA_RESTART | SA_RESETHAND);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void restoreDefaultHandlers() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

}  // namespace

int cmdRun(const CommandLine& cl) {
    bool verbose = false;
    for (const std::string& a : cl.args) {
        if (a == "--verbose") {
            verbose = true;
        } else {
            std::fprintf(stderr, "vorel run: unknown option '%s'\n", a.c_str());
            return kExitUsage;
        }
    }
    std::string folder = prepareAppFolder(cl);

    TerminalHost host(verbose);
    CurlMailComponent mail;
    SystemClock clock;
    MailRun run(folder, host, mail, clock);
    CurlTokenService tokens;
    SignInServices services;
    services.tokens = &tokens;
    // The keyring where a desktop session's bus answers; a cron run goes on
    // without it.
    HeadlessKeyring keyring(folder);
    services.keyring = keyring.store();
    run.setSignInServices(services);

    gStopRequested = 0;
    installStopHandlers();
    // A reader of our output that goes away must not end the run half-way.
    std::signal(SIGPIPE, SIG_IGN);
    bool ended = run.doRunMail();
    restoreDefaultHandlers();
    if (run.state().alreadyRunning) {
        return kExitBusy;
    }
    if (run.state().notSetUp) {
        return kExitNotSetUp;
    }
    if (run.state().signInStopped) {
        return kExitSignIn;
    }
    return ended ? 0 : 1;
}

}  // namespace vorel
