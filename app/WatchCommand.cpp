#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <string>
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
#include "run/MailRun.h"
#include "run/MailboxWatch.h"
#include "store/AppFolder.h"
#include "store/FileLock.h"
#include "store/Settings.h"

namespace vorel {

namespace {

using namespace std::chrono_literals;

class Watch : public MailboxWatch {
public:
    Watch(std::string folder, int pollSeconds)
        : MailboxWatch(std::move(folder), 60, 1s),
          pollSeconds_(pollSeconds),
          keyring_(this->folder()) {
        services_.tokens = &tokens_;
        services_.keyring = keyring_.store();
    }

private:
    bool stopRequested() const override { return vorel::stopRequested(); }
    std::unique_ptr<MailComponent> watchingConnection(const Settings& s) override {
        return isImapAddress(s.txtPOP) ? std::make_unique<CurlMailComponent>() : nullptr;
    }
    SignInServices signInServices() override { return services_; }
    void catchUp() override { runMail(); }
    // POP3 has no way to be told: look every few minutes.
    bool unwatched() override {
        pause(std::chrono::seconds(pollSeconds_));
        return true;
    }
    // Mail that comes meanwhile, or during the run, is told by the next
    // IDLE: one more run, not one per notice.
    void newMail(WatchPace& pace) override {
        pauseUntil(pace.nextRunAt());
        pace.idleRunStarted(WatchPace::Clock::now());
        runMail();
    }
    void failed(const std::string& why, std::chrono::seconds wait) override {
        std::fprintf(stderr, "vorel watch: %s; trying again in %d s\n", why.c_str(),
                     static_cast<int>(wait.count()));
    }

    // One mail run; while another holds the folder, waits for it to end
    // and runs after it (the new mail may have come after its look).
    void runMail() {
        bool told = false;
        while (!stopRequested()) {
            quietWhenBusy_.quiet = told;
            CurlMailComponent mail;
            MailRun run(folder(), quietWhenBusy_, mail, clock_);
            run.setSignInServices(services_);
            const std::int64_t started = std::time(nullptr);
            const bool ended = run.doRunMail();
            afterRun(folder(), lastRunOf(run.state(), ended, started, std::time(nullptr)),
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
    Watch watch(folder, pollSeconds);
    watch.run();
    restoreDefaultHandlers();
    return 0;
}

}  // namespace vorel
