// The mail component on loopback servers, beside the floors it is measured
// against: a header scan of 10,000 messages on Dovecot (component, Python's
// poplib, a client pipelining every TOP), and 5,000 messages sent over one
// connection into postfix's smtp-sink (component, Python's smtplib).
//
// Goals: header scan at least as fast as poplib; sending at least 0.9 times
// smtplib; peak memory independent of the message count. The component reads
// headers ahead on pipelining servers (Dovecot is one) and pipelines MAIL,
// RCPT and DATA where offered (smtp-sink does); poplib and smtplib wait for
// every reply.
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
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/CurlMailComponent.h"
#include "support/TestServers.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMessages = 10000;
constexpr int kSends = 5000;
constexpr int kRounds = 3;

long maxRssKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Runs a helper script; its last line is "<count> <seconds>".
double pythonRate(const std::string& script, const std::vector<std::string>& args) {
    std::string cmd = "/usr/bin/python3 " + std::string(VOREL_SOURCE_DIR) + "/bench/" + script;
    for (const auto& a : args) {
        cmd += " '" + a + "'";
    }
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) {
        throw std::runtime_error("cannot run " + script);
    }
    double count = 0;
    double secs = 0;
    const int n = std::fscanf(p, "%lf %lf", &count, &secs);
    ::pclose(p);
    if (n != 2 || secs <= 0) {
        throw std::runtime_error(script + " gave no figures");
    }
    return count / secs;
}

// postfix's load-test sink, not the MTA.
struct SmtpSink {
    pid_t pid = -1;
    int port = 0;
    SmtpSink() {
        const char* binary = std::filesystem::exists("/usr/sbin/smtp-sink")
                                 ? "/usr/sbin/smtp-sink"
                                 : "/usr/lib/postfix/sbin/smtp-sink";
        port = vorel::test::freeLoopbackPort();
        const std::string where = "127.0.0.1:" + std::to_string(port);
        std::vector<std::string> args = {binary};
        if (::geteuid() == 0) {
            args.insert(args.end(), {"-u", "postfix"});
        }
        args.insert(args.end(), {where, "256"});
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid, binary, nullptr, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("cannot start smtp-sink");
        }
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (!vorel::test::loopbackPortAnswers(port)) {
            if (Clock::now() > end) {
                throw std::runtime_error("smtp-sink does not answer");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~SmtpSink() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

std::string smallMessage(int i) {
    return "From: Sender " + std::to_string(i) + " <sender" + std::to_string(i) +
           "@example.org>\n"
           "To: Autoresponder <info@example.com>\n"
           "Subject: =?utf-8?q?Anfrage_Nr=2E?= " +
           std::to_string(i) +
           "\n"
           "Date: Sat, 05 Dec 2026 10:00:00 +0000\n"
           "Message-ID: <" +
           std::to_string(i) +
           "@example.org>\n"
           "MIME-Version: 1.0\n"
           "Content-Type: text/plain; charset=us-ascii\n"
           "\n"
           "Please send me your price list.\n";
}

}  // namespace

int main() {
    try {
        std::printf("== header scan: %d messages on loopback Dovecot\n", kMessages);
        vorel::test::PopServer pop;
        for (int i = 1; i <= kMessages; ++i) {
            pop.addMessage(smallMessage(i));
        }
        const std::string host = pop.host();
        const std::string port = std::to_string(pop.port());

        // A first pass builds Dovecot's index, so that every client below
        // meets the same warm server.
        pythonRate("pop_pipeline.py", {host, port, pop.user(), pop.password()});

        vorel::CurlMailComponent mail;
        mail.setTimeout(60);
        long rssAt1000 = 0;
        auto scan = [&] {
            const auto t0 = Clock::now();
            mail.popConnect(host + ":" + port, pop.user(), pop.password());
            const long n = mail.messageCount();
            std::size_t check = 0;
            for (long i = 1; i <= n; ++i) {
                mail.selectMessage(i);
                mail.fetchHeader();
                check += mail.subject().size();
                if (i == 1000 && rssAt1000 == 0) {
                    rssAt1000 = maxRssKb();
                }
            }
            mail.disconnect();
            if (n != kMessages || check == 0) {
                throw std::runtime_error("scan saw " + std::to_string(n) + " messages");
            }
            return static_cast<double>(n) / seconds(t0);
        };
        // The machine is shared: the best of a few interleaved rounds each.
        double component = 0;
        double poplib = 0;
        double floor = 0;
        for (int round = 0; round < kRounds; ++round) {
            component = std::max(component, scan());
            poplib = std::max(poplib,
                              pythonRate("pop_scan.py", {host, port, pop.user(), pop.password()}));
            floor = std::max(
                floor, pythonRate("pop_pipeline.py", {host, port, pop.user(), pop.password()}));
        }
        const long rssAtEnd = maxRssKb();
        std::printf("best of %d rounds each\n", kRounds);
        std::printf("component (TOP read ahead):          %8.0f headers/s\n", component);
        std::printf("python poplib (TOP each):            %8.0f headers/s\n", poplib);
        std::printf("pipelined TOP (floor):               %8.0f headers/s\n", floor);
        std::printf("component / poplib   = %.2f (goal >= 1.0)\n", component / poplib);
        std::printf("component / pipeline = %.2f\n", component / floor);
        std::printf("peak RSS after 1,000 headers: %ld kB, after %d rounds of %d: %ld kB (%s)\n",
                    rssAt1000, kRounds, kMessages, rssAtEnd,
                    rssAtEnd - rssAt1000 < 4096 ? "flat" : "GROWS with the message count");

        std::printf("\n== sending: %d messages over one connection into smtp-sink\n", kSends);
        SmtpSink sink;
        vorel::OutgoingMessage m;
        m.to = "member@example.org";
        m.from = "owner@example.org";
        m.sender = "owner@example.org";
        m.subject = "Re: hello";
        m.extraHeaders = {"X-Mailer: VOREL MAIL bench"};
        m.body = "Thank you for your message. This is an automatic reply.\r\n";
        const std::string sinkAddress = "127.0.0.1:" + std::to_string(sink.port);
        const long rssBeforeSend = maxRssKb();
        auto sendAll = [&] {
            const auto t0 = Clock::now();
            mail.smtpConnect(sinkAddress, vorel::SmtpProtocol::Smtp, "", "");
            for (int i = 0; i < kSends; ++i) {
                m.messageRef = "bench" + std::to_string(i) + "_KESO";
                mail.send(m);
            }
            mail.disconnect();
            return kSends / seconds(t0);
        };
        double sent = 0;
        double smtplib = 0;
        for (int round = 0; round < kRounds; ++round) {
            sent = std::max(sent, sendAll());
            smtplib = std::max(smtplib,
                               pythonRate("smtp_send.py", {"127.0.0.1", std::to_string(sink.port),
                                                           std::to_string(kSends)}));
        }
        std::printf("component (compose + send):          %8.0f messages/s\n", sent);
        std::printf("python smtplib (prepared text):      %8.0f messages/s\n", smtplib);
        std::printf("component / smtplib  = %.2f (goal >= 0.9)\n", sent / smtplib);
        std::printf("peak RSS before sending: %ld kB, after: %ld kB\n", rssBeforeSend, maxRssKb());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
