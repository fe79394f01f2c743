#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "app/Commands.h"
#include "app/Modules.h"
#include "app/TerminalHost.h"
#include "base/Clock.h"
#include "core/RunState.h"
#include "forms/Notices.h"
#include "net/CurlMailComponent.h"
#include "net/DesktopNotifier.h"
#include "net/OAuth2.h"
#include "run/AccountLogin.h"
#include "run/MailRun.h"

namespace vorel {

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

    TerminalHost host(verbose, "vorel run");
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

    resetStopRequest();
    installStopHandlers();
    // A reader of our output that goes away must not end the run half-way.
    std::signal(SIGPIPE, SIG_IGN);
    const std::int64_t started = std::time(nullptr);
    bool ended = run.doRunMail();
    restoreDefaultHandlers();
    // A timer's run in a desktop session tells the user too.
    DesktopNotifier notifier;
    afterRun(folder, lastRunOf(run.state(), ended, started, std::time(nullptr)), &notifier);
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
