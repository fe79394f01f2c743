#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "app/Commands.h"
#include "app/Modules.h"
#include "app/TerminalHost.h"
#include "base/Clock.h"
#include "core/RunState.h"
#include "forms/FolderStatus.h"
#include "forms/Notices.h"
#include "net/CurlMailComponent.h"
#include "net/DesktopNotifier.h"
#include "net/OAuth2.h"
#include "net/ServerAddress.h"
#include "run/AccountLogin.h"
#include "run/MailRun.h"
#include "run/WatchPace.h"
#include "store/AppFolder.h"
#include "store/FileLock.h"
#include "store/Settings.h"

namespace vorel {

namespace {

using namespace std::chrono_literals;

// Re-issued well inside the 30 minutes after which servers may drop an
// idle client (RFC 2177).
constexpr int kIdleSeconds = 25 * 60;

// Sleeps in short slices so that a stop is seen at once; false when stopped.
bool pause(std::chrono::milliseconds length) {
    const auto end = std::chrono::steady_clock::now() + length;
    while (!stopRequested()) {
        if (std::chrono::steady_clock::now() >= end) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

bool pauseUntil(std::chrono::steady_clock::time_point at) {
    const auto now = std::chrono::steady_clock::now();
    return at <= now || pause(std::chrono::ceil<std::chrono::milliseconds>(at - now));
}

class Watch {
public:
    Watch(std::string folder, int pollSeconds)
        : folder_(std::move(folder)), pollSeconds_(pollSeconds), keyring_(folder_) {
        services_.tokens = &tokens_;
        services_.keyring = keyring_.store();
    }

    int loop() {
        WatchPace pace;
        while (!stopRequested()) {
            Settings s;
            readSettingsLines(folder_, s);
            if (!isImapAddress(s.txtPOP)) {
                // POP3 has no way to be told: look every few minutes.
                runMail();
                pause(std::chrono::seconds(pollSeconds_));
                continue;
            }
            std::optional<WatchPace::Clock::time_point> idleSince;
            try {
                CurlMailComponent watcher;
                watcher.setTimeout(60);
                connectSignedIn(watcher, folder_, s, services_);
                // Whatever came while nobody watched.
                runMail();
                if (!watcher.idleOffered()) {
                    watcher.disconnect();
                    pause(std::chrono::seconds(pollSeconds_));
                    continue;
                }
                while (!stopRequested()) {
                    idleSince = WatchPace::Clock::now();
                    const bool arrived = watcher.waitForNewMail(kIdleSeconds, stopRequested);
                    pace.idleLasted(WatchPace::Clock::now() - *idleSince);
                    idleSince.reset();
                    if (arrived && !stopRequested()) {
                        // Mail that comes meanwhile, or during the run, is
                        // told by the next IDLE: one more run, not one per notice.
                        pauseUntil(pace.nextRunAt());
                        pace.idleRunStarted(WatchPace::Clock::now());
                        runMail();
                    }
                }
                watcher.disconnect();
            } catch (const std::exception& e) {
                if (idleSince) {
                    pace.idleLasted(WatchPace::Clock::now() - *idleSince);
                }
                const auto wait = pace.afterFailure();
                std::fprintf(stderr, "vorel watch: %s; trying again in %d s\n", e.what(),
                             static_cast<int>(wait.count()));
                pause(wait);
            }
        }
        return 0;
    }

private:
    // One mail run; while another holds the folder, waits for it to end
    // and runs after it (the new mail may have come after its look).
    void runMail() {
        bool told = false;
        while (!stopRequested()) {
            quietWhenBusy_.quiet = told;
            CurlMailComponent mail;
            MailRun run(folder_, quietWhenBusy_, mail, clock_);
            run.setSignInServices(services_);
            const std::int64_t started = std::time(nullptr);
            const bool ended = run.doRunMail();
            afterRun(folder_, lastRunOf(run.state(), ended, started, std::time(nullptr)),
                     &notifier_);
            if (!run.state().alreadyRunning) {
                return;
            }
            told = true;
            pause(1s);
        }
    }

    // The terminal host, saying once that a run is waited for.
    struct QuietHost : TerminalHost {
        QuietHost() : TerminalHost(false, "vorel watch") {}
        void showMessage(const std::string& text) override {
            if (!quiet) {
                TerminalHost::showMessage(text);
            }
        }
        bool quiet = false;
    };

    std::string folder_;
    int pollSeconds_;
    CurlTokenService tokens_;
    HeadlessKeyring keyring_;
    SignInServices services_;
    QuietHost quietWhenBusy_;
    SystemClock clock_;
    DesktopNotifier notifier_;
};

}  // namespace

int cmdWatch(const CommandLine& cl) {
    int pollSeconds = 180;
    for (std::size_t k = 0; k < cl.args.size(); ++k) {
        const std::string& a = cl.args[k];
        if (a == "--poll" && k + 1 < cl.args.size()) {
            try {
                pollSeconds = std::stoi(cl.args[++k]);
            } catch (const std::exception&) {
                pollSeconds = 0;
            }
            if (pollSeconds < 1) {
                std::fprintf(stderr, "vorel watch: --poll takes a number of seconds\n");
                return kExitUsage;
            }
        } else {
            std::fprintf(stderr, "vorel watch: unknown option '%s'\n", a.c_str());
            return kExitUsage;
        }
    }
    const std::string folder = prepareAppFolder(cl);
    resetStopRequest();
    installStopHandlers();
    std::signal(SIGPIPE, SIG_IGN);
    // `vorel status` tells from this lock that new mail starts the next run.
    FileLock watching(joinPath(folder, kWatchLockFile), false);
    const int status = Watch(folder, pollSeconds).loop();
    restoreDefaultHandlers();
    return status;
}

}  // namespace vorel
