// The pipelined POP3 and SMTP paths of the mail component against the real
// loopback servers, through a relay that makes the server refuse a chosen
// command or cuts the connection in the middle of a burst: each failure is
// raised by the call its command belongs to, and nothing is deleted or
// delivered that was not meant to be.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "net/CurlMailComponent.h"
#include "support/TcpProxy.h"
#include "support/TestServers.h"

using namespace vorel;
using vorel::test::TcpProxy;

namespace {

int codeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const MailError& e) {
        return e.code();
    }
    return 0;
}

std::string relayed(const TcpProxy& link) {
    return "127.0.0.1:" + std::to_string(link.port());
}

}  // namespace

// A scan as the run makes it: headers in order while later ones are read
// ahead, messages 3, 7 and 11 downloaded whole and then deleted (twice),
// and a look back at message 1.
TEST(Pipeline, PopFailuresBelongToTheirCommand) {
    VOREL_SKIP_UNLESS_ROOT();
    constexpr int kMessages = 12;
    constexpr std::size_t kBigSize = 120000;
    const int err = mailcode::kCurlBase + 8;  // an -ERR reply to a command
    const int lost = mailcode::kNotConnected;
    struct Case {
        const char* name;
        std::string rewrite;  // a client line starting so is made one the server refuses
        std::string into;
        std::size_t cutAfter;  // bytes to the client, 0: no cut
        std::string failAt;    // the first call that fails: "header 5", "message 3", "disconnect"
        int code;
        std::vector<int> deleted;
    };
    const Case cases[] = {
        {"clean", "", "", 0, "", 0, {3, 7, 11}},
        {"refused RETR", "RETR 7", "RETR 99", 0, "message 7", err, {3, 11}},
        {"refused TOP in a burst", "TOP 5 0", "TOP 99 0", 0, "header 5", err, {3, 7, 11}},
        {"refused DELE", "DELE 7", "DELE 99", 0, "disconnect", err, {3, 11}},
        {"refused QUIT", "QUIT", "XQUIT", 0, "disconnect", err, {}},
        // Inside message 3's reply, headers of the next ones asked behind it.
        {"cut inside a download", "", "", kBigSize / 2, "message 3", lost, {}},
        // Inside message 7's reply, with a DELE and headers in the same burst.
        {"cut after a deletion", "", "", kBigSize * 3 / 2, "message 7", lost, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::PopServer pop;
        for (int i = 1; i <= kMessages; ++i) {
            pop.addMessage("Subject: m" + std::to_string(i) + "\n\nbody " + std::to_string(i) +
                           "\n" + (i % 4 == 3 ? std::string(kBigSize, 'x') + "\n" : ""));
        }
        TcpProxy::Options o;
        o.delayMs = 2;
        TcpProxy link(pop.port(), o);
        if (!c.rewrite.empty()) {
            link.addRewrite(c.rewrite, c.into);
        }
        if (c.cutAfter != 0) {
            link.queueFaults(
                {{TcpProxy::Fault::Kind::Cut, TcpProxy::Direction::ToClient, c.cutAfter, 0}});
        }
        CurlMailComponent mail;
        mail.setTimeout(10);
        mail.popConnect(relayed(link), pop.user(), pop.password());
        std::map<std::string, int> got;
        std::string first;
        auto call = [&](const std::string& what, const std::function<void()>& f) {
            const int code = codeOf(f);
            if (code != 0) {
                got[what] = code;
                first = first.empty() ? what : first;
            }
            return code == 0;
        };
        for (int i = 1; i <= kMessages; ++i) {
            mail.selectMessage(i);
            const std::string n = std::to_string(i);
            if (!call("header " + n, [&] { mail.fetchHeader(); })) {
                continue;
            }
            EXPECT_EQ(mail.subject(), "m" + n);
            if (i % 4 == 3 && call("message " + n, [&] { mail.fetchMessage(); })) {
                EXPECT_EQ(mail.bodyText().size(), kBigSize + 9 + n.size());
                mail.deleteMessage();  // acted on: only now
                mail.deleteMessage();
            }
        }
        mail.selectMessage(1);
        if (call("back", [&] { mail.fetchHeader(); })) {
            EXPECT_EQ(mail.subject(), "m1");
        }
        call("disconnect", [&] { mail.disconnect(); });
        // After a cut every later call is refused for the lost session, and
        // no QUIT committed anything; an -ERR fails its own call only.
        EXPECT_EQ(first, c.failAt);
        EXPECT_EQ(c.failAt.empty() ? 0 : got[c.failAt], c.code);
        for (const auto& [what, code] : got) {
            EXPECT_TRUE(what == first || (c.cutAfter != 0 && code == lost)) << what;
        }
        EXPECT_EQ(link.counters().connections, 1) << "no silent new session";
        std::vector<int> deleted;
        const auto left = pop.messages();
        for (int i = 1; i <= kMessages; ++i) {
            const std::string subject = "Subject: m" + std::to_string(i) + "\r\n";
            if (std::none_of(left.begin(), left.end(), [&](const std::string& m) {
                    return m.find(subject) != std::string::npos;
                })) {
                deleted.push_back(i);
            }
        }
        EXPECT_EQ(deleted, c.deleted);
    }
}

// Five replies of 5,000 bytes with a dotted line, sent as the sending step
// does: a failed message is queued again, the connection made anew, and
// the queue sent again later.
TEST(Pipeline, SmtpFailuresBelongToTheirMessage) {
    VOREL_SKIP_UNLESS_ROOT();
    const int refused = mailcode::kSendRefused;
    struct Case {
        const char* name;
        bool chunking;
        int refuseRcpt;              // the relay makes the server refuse this message's RCPT, once
        int refuseData;              // the server refuses this message's content, every time
        std::size_t cutAfter;        // bytes to the server, 0: no cut
        bool copy;                   // a second recipient for every message
        std::map<int, int> fail;     // message -> code of its first send
        std::vector<int> delivered;  // in the server's order, after one resend of the failed
    };
    const Case cases[] = {
        {"chunked", true, 0, 0, 0, false, {}, {1, 2, 3, 4, 5}},
        {"chunked, refused recipient", true, 3, 0, 0, false, {{3, refused}}, {1, 2, 4, 5, 3}},
        {"chunked, one of two refused", true, 3, 0, 0, true, {{3, refused}}, {1, 2, 4, 5, 3}},
        {"chunked, message refused", true, 0, 2, 0, false, {{2, refused}}, {1, 3, 4, 5}},
        {"data, refused recipient", false, 4, 0, 0, false, {{4, refused}}, {1, 2, 3, 5, 4}},
        // Inside message 3's chunk (each about 5,400 bytes): never had whole.
        {"chunked, cut", true, 0, 0, 13500, false, {{3, mailcode::kNotConnected}}, {1, 2, 4, 5, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::SmtpServer::Options so;
        so.pipelining = true;
        so.chunking = c.chunking;
        so.refuseRecipients = {"no@refused.example"};
        if (c.refuseData != 0) {
            so.refuseContent = {"reply " + std::to_string(c.refuseData) + "\r\n"};
        }
        test::SmtpServer smtp(so);
        TcpProxy::Options o;
        o.delayMs = 2;
        TcpProxy link(smtp.port(), o);
        if (c.refuseRcpt != 0) {
            link.addRewrite("RCPT TO:<r" + std::to_string(c.refuseRcpt) + "@",
                            "RCPT TO:<no@refused.example>");
        }
        if (c.cutAfter != 0) {
            link.queueFaults(
                {{TcpProxy::Fault::Kind::Cut, TcpProxy::Direction::ToServer, c.cutAfter, 0}});
        }
        CurlMailComponent mail;
        mail.setTimeout(10);
        int chunks = 0;
        mail.setTranscriptOn(true);
        mail.setTranscriptHandler([&chunks](const std::string& l, TranscriptDirection d) {
            chunks += d == TranscriptDirection::Sent && l.rfind("BDAT ", 0) == 0 ? 1 : 0;
        });
        std::map<int, int> got;
        std::vector<int> order = {1, 2, 3, 4, 5};
        bool connected = false;
        for (std::size_t n = 0; n < order.size(); ++n) {
            const int k = order[n];
            if (!connected) {
                mail.smtpConnect(relayed(link), SmtpProtocol::Smtp, "", "");
                connected = true;
            }
            OutgoingMessage m;
            m.to = "r" + std::to_string(k) + "@dest.example";
            m.copyTo = c.copy ? "cc@dest.example" : "";
            m.from = "robot@me.example";
            m.subject = "Reply " + std::to_string(k);
            m.body = "Line one of reply " + std::to_string(k) + "\r\n.a dotted line\r\n";
            for (int l = 0; l < 50; ++l) {
                m.body += std::string(98, static_cast<char>('a' + k)) + "\r\n";
            }
            if (const int code = codeOf([&] { mail.send(m); }); code != 0) {
                if (got.emplace(k, code).second) {
                    order.push_back(k);
                }
                mail.disconnect();
                connected = false;
            }
        }
        mail.disconnect();
        EXPECT_EQ(got, c.fail);
        EXPECT_EQ(chunks >= 5, c.chunking);
        std::vector<int> delivered;
        for (const auto& r : smtp.received()) {
            const int k = std::atoi(r.rcptTo.at(0).c_str() + 1);
            delivered.push_back(k);
            // Whole, to every recipient, and each line as written.
            EXPECT_EQ(r.rcptTo.size(), c.copy ? 2u : 1u);
            EXPECT_NE(
                r.data.find("Line one of reply " + std::to_string(k) + "\r\n.a dotted line\r\n"),
                std::string::npos);
        }
        EXPECT_EQ(delivered, c.delivered);
    }
}
