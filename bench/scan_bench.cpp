// The header scan of a mail run over 10,000 messages that no rule matches
// (left on the server), against the bare mail component reading the same
// headers: what the run adds per message beyond the protocol (its unique-id
// list, the look-up of each message in the ledger, the prune at the end).
//
// Usage: scan_bench [MESSAGES]   (default 10000; best of three of each)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "BenchSupport.h"
#include "base/Clock.h"
#include "core/RunHost.h"
#include "net/CurlMailComponent.h"
#include "run/MailRun.h"
#include "store/Database.h"
#include "store/Settings.h"
#include "support/TestServers.h"

namespace fs = std::filesystem;
using namespace vorel;
using Steady = std::chrono::steady_clock;

namespace {

double since(Steady::time_point t0) {
    return std::chrono::duration<double>(Steady::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 10000;
    try {
        test::PopServer pop;
        std::string body;
        while (body.size() < 2000) {
            body += "A line of ordinary text to give the message a realistic size.\r\n";
        }
        for (int i = 1; i <= messages; ++i) {
            pop.addMessage("From: p" + std::to_string(i) + "@x.example\r\nTo: me@me.example\r\n" +
                           "Subject: Just a note\r\nMessage-ID: <" + std::to_string(i) +
                           "@bench>\r\n\r\n" + body);
        }
        const std::string folder = bench::newAppFolder("scanbench");
        Settings s = bench::loopbackSettings(pop, pop.port(), test::freeLoopbackPort());
        s.chkLEAVE = "1";
        writeSettings(folder, s);

        CurlMailComponent component;
        component.setTimeout(30);
        auto scan = [&] {
            component.popConnect(s.txtPOP, s.txtUSERID, s.txtPASSWORD);
            const long n = component.messageCount();
            for (long i = 1; i <= n; ++i) {
                component.selectMessage(i);
                component.fetchHeader();
            }
            component.disconnect();
        };
        scan();  // warms Dovecot's index and the page cache
        double floor = 1e9;
        double run = 1e9;
        for (int k = 0; k < 3; ++k) {
            auto t0 = Steady::now();
            scan();
            floor = std::min(floor, since(t0));
            bench::QuietHost host;
            SystemClock clock;
            MailRun r(folder, host, component, clock);
            t0 = Steady::now();
            if (!r.doRunMail()) {
                throw std::runtime_error("the run failed");
            }
            run = std::min(run, since(t0));
        }
        std::printf("%d headers: bare scan %.3f s (%.0f/s), run %.3f s (%.0f/s), run/scan %.2f\n",
                    messages, floor, messages / floor, run, messages / run, run / floor);
        std::error_code ec;
        fs::remove_all(folder, ec);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "scan_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
