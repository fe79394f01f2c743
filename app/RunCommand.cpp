#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "app/Commands.h"
#include "app/TerminalHost.h"
#include "base/Clock.h"
#include "core/RunState.h"
#include "net/CurlMailComponent.h"
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

    resetStopRequest();
    installStopHandlers();
    // A reader of our output that goes away must not end the run half-way.
    std::signal(SIGPIPE, SIG_IGN);
    bool ended = run.doRunMail();
    restoreDefaultHandlers();
    if (run.state().alreadyRunning) {
        return kExitBusy;
    }
    return ended ? 0 : 1;
}

}  // namespace vorel
