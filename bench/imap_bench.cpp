// IMAP against POP3 on one Dovecot, both over STARTTLS:
// - the header scan of MESSAGES messages through the mail component (best of three);
// - `vorel watch`: from the delivery of a matching message into the INBOX to
//   its reply reaching the SMTP server, median and worst of 20.
//
// Usage: imap_bench [MESSAGES]   (default 10000)
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "net/CurlMailComponent.h"
#include "store/Database.h"
#include "store/Settings.h"
#include "support/Rows.h"
#include "support/TestServers.h"

using namespace vorel;
using Steady = std::chrono::steady_clock;

namespace {

double since(Steady::time_point t0) {
    return std::chrono::duration<double>(Steady::now() - t0).count();
}

double scan(const std::string& address, const test::PopServer& pop) {
    CurlMailComponent component;
    component.setTimeout(30);
    double best = 1e9;
    for (int k = 0; k < 4; ++k) {  // the first warms Dovecot's index
        const auto t0 = Steady::now();
        component.popConnect(address, pop.user(), pop.password());
        const long n = component.messageCount();
        for (long i = 1; i <= n; ++i) {
            component.selectMessage(i);
            component.fetchHeader();
        }
        component.disconnect();
        if (k > 0) {
            best = std::min(best, since(t0));
        }
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 10000;
    try {
        test::PopServer pop(test::PopServer::Options{.tls = true, .imap = true});
        ::setenv("VOREL_CA_FILE", pop.caFile().c_str(), 1);
        std::string body;
        while (body.size() < 2000) {
            body += "A line of ordinary text to give the message a realistic size.\r\n";
        }
        for (int i = 1; i <= messages; ++i) {
            pop.addMessage("From: p" + std::to_string(i) + "@x.example\r\nTo: me@me.example\r\n" +
                           "Subject: Just a note\r\nMessage-ID: <" + std::to_string(i) +
                           "@bench>\r\n\r\n" + body);
        }
        const std::string popAddress = "pop3://127.0.0.1:" + std::to_string(pop.port());
        const double popScan = scan(popAddress, pop);
        const double imapScan = scan(pop.imapAddress(), pop);
        std::printf("header scan of %d messages: IMAP %.2f s, POP3 %.2f s (%.0f vs %.0f /s)\n",
                    messages, imapScan, popScan, messages / imapScan, messages / popScan);

        // The latency of vorel watch, on an empty mailbox of its own.
        test::PopServer box(test::PopServer::Options{.tls = true, .imap = true});
        test::SmtpServer smtp;
        ::setenv("VOREL_CA_FILE", box.caFile().c_str(), 1);
        const std::string folder = bench::newAppFolder("imapbench");
        Settings s = bench::loopbackSettings(box, box.port(), smtp.port());
        s.txtPOP = box.imapAddress();
        writeSettings(folder, s);
        Database::open(folder + "/data.mdb")
            .addAutoresponder(test::replyRule("A", "me@me.example", "Thanks"));
        const pid_t watch =
            test::startProcess({VOREL_BINARY, "watch", "--folder", folder}, folder + "/watch.out");
        std::this_thread::sleep_for(std::chrono::seconds(2));
        std::vector<double> latency;
        for (int k = 0; k < 20; ++k) {
            const std::size_t before = smtp.received().size();
            const auto t0 = Steady::now();
            box.addMessage("From: a" + std::to_string(k) +
                           "@x.example\r\nTo: me@me.example\r\nSubject: q\r\n\r\nhi\r\n");
            while (smtp.received().size() == before) {
                if (since(t0) > 30) {
                    throw std::runtime_error("no reply within 30 s:\n" +
                                             bench::slurp(folder + "/watch.out"));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            latency.push_back(since(t0));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        ::kill(watch, SIGTERM);
        ::waitpid(watch, nullptr, 0);
        std::sort(latency.begin(), latency.end());
        std::printf("vorel watch, delivery to reply (20): median %.0f ms, worst %.0f ms\n",
                    (latency[9] + latency[10]) / 2 * 1000, latency.back() * 1000);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "imap_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
