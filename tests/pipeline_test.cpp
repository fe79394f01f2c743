// The pipelined POP3 and SMTP paths of the mail component against the real
// loopback servers, through a relay that makes the server refuse a chosen
// command or cuts the connection in the middle of a burst: each failure is
// raised by the call its command belongs to, and nothing is deleted or
// delivered that was not meant to be.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "net/CurlMailComponent.h"
#include "support/TcpProxy.h"
#include "support/TestServers.h"

using namespace vorel;
using vorel::test::PopServer;
using vorel::test::SmtpServer;
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

constexpr int kMessages = 12;
constexpr int kBigSize = 120000;

bool downloaded(int i) {
    return i % 4 == 3;  // 3, 7, 11: downloaded whole, then deleted
}

std::string subjectOf(const std::string& raw) {
    const auto p = raw.find("Subject: ");
    return raw.substr(p + 9, raw.find('\r', p) - p - 9);
}

struct PopCase {
    const char* name;
    std::string rewrite;  // a client line starting so is made one the server refuses
    std::string into;
    std::size_t cutAfter;             // bytes to the client, 0: no cut
    std::map<std::string, int> fail;  // "header 5", "message 3", "disconnect": the code
    bool cut;                         // every call after the first failure is 10057
    std::vector<int> left;            // messages still on the server, by subject number
};

}  // namespace

TEST(Pipeline, PopFailuresBelongToTheirCommand) {
    VOREL_SKIP_UNLESS_ROOT();
    const int err = mailcode::kCurlBase + 8;  // an -ERR reply to a command
    const std::vector<int> all = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::vector<PopCase> cases = {
        {"clean", "", "", 0, {}, false, {1, 2, 4, 5, 6, 8, 9, 10, 12}},
        {"refused RETR",
         "RETR 7",
         "RETR 99",
         0,
         {{"message 7", err}},
         false,
         {1, 2, 4, 5, 6, 7, 8, 9, 10, 12}},
        {"refused TOP in a burst",
         "TOP 5 0",
         "TOP 99 0",
         0,
         {{"header 5", err}},
         false,
         {1, 2, 4, 5, 6, 8, 9, 10, 12}},
        {"refused DELE",
         "DELE 7",
         "DELE 99",
         0,
         {{"disconnect", err}},
         false,
         {1, 2, 4, 5, 6, 7, 8, 9, 10, 12}},
        // Inside message 3's reply, headers of the next ones asked behind it.
        {"cut inside a download",
         "",
         "",
         kBigSize / 2,
         {{"message 3", mailcode::kNotConnected}},
         true,
         all},
        // Inside message 7's reply, with a DELE and headers in the same burst.
        {"cut after a deletion",
         "",
         "",
         kBigSize * 3 / 2,
         {{"message 7", mailcode::kNotConnected}},
         true,
         all},
    };
    for (const PopCase& c : cases) {
        SCOPED_TRACE(c.name);
        PopServer pop;
        for (int i = 1; i <= kMessages; ++i) {
            std::string body = "body " + std::to_string(i) + "\n";
            if (downloaded(i)) {
                body += std::string(kBigSize, 'x') + "\n";
            }
            pop.addMessage("Subject: m" + std::to_string(i) + "\n\n" + body);
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
            if (const int code = codeOf(f); code != 0) {
                got[what] = code;
                first = first.empty() ? what : first;
                return false;
            }
            return true;
        };
        for (int i = 1; i <= kMessages; ++i) {
            mail.selectMessage(i);
            const std::string n = std::to_string(i);
            if (!call("header " + n, [&] { mail.fetchHeader(); })) {
                continue;
            }
            EXPECT_EQ(mail.subject(), "m" + n);
            if (downloaded(i) && call("message " + n, [&] { mail.fetchMessage(); })) {
                EXPECT_EQ(mail.bodyText().size(), kBigSize + 9 + n.size());
                mail.deleteMessage();  // acted on: only now
            }
        }
        call("disconnect", [&] { mail.disconnect(); });
        if (c.cut) {
            // The first failure is the cut command's; every later call is
            // refused for the lost session, and no QUIT committed anything.
            ASSERT_EQ(c.fail.size(), 1u);
            EXPECT_EQ(first, c.fail.begin()->first);
            for (const auto& [what, code] : got) {
                EXPECT_EQ(code, mailcode::kNotConnected) << what;
            }
        } else {
            EXPECT_EQ(got, c.fail);
        }
        std::vector<int> left;
        for (const auto& raw : pop.messages()) {
            left.push_back(std::stoi(subjectOf(raw).substr(1)));
        }
        EXPECT_EQ(left, c.left);
    }
}

namespace {

OutgoingMessage reply(int k, const std::string& copyTo = "") {
    OutgoingMessage m;
    m.to = "r" + std::to_string(k) + "@dest.example";
    m.copyTo = copyTo;
    m.from = "robot@me.example";
    m.subject = "Reply " + std::to_string(k);
    m.messageRef = "ref" + std::to_string(k);
    m.body = "Line one of reply " + std::to_string(k) + "\r\n.a dotted line\r\n";
    for (int l = 0; l < 50; ++l) {
        m.body += std::string(98, 'a' + static_cast<char>(k)) + "\r\n";  // 5,000 bytes
    }
    return m;
}

struct SmtpCase {
    const char* name;
    bool chunking;
    int refuseRcpt;              // the relay makes the server refuse this message's RCPT, once
    int refuseData;              // the server refuses this message's content, every time
    std::size_t cutAfter;        // bytes to the server, 0: no cut
    bool copy;                   // a second recipient for every message
    std::map<int, int> fail;     // message -> code of its first send
    std::vector<int> delivered;  // in the server's order, after one resend of the failed
};

}  // namespace

TEST(Pipeline, SmtpFailuresBelongToTheirMessage) {
    VOREL_SKIP_UNLESS_ROOT();
    const int refused = mailcode::kSendRefused;
    const std::vector<SmtpCase> cases = {
        {"chunked", true, 0, 0, 0, false, {}, {1, 2, 3, 4, 5}},
        {"chunked, refused recipient", true, 3, 0, 0, false, {{3, refused}}, {1, 2, 4, 5, 3}},
        {"chunked, one of two refused", true, 3, 0, 0, true, {{3, refused}}, {1, 2, 4, 5, 3}},
        {"chunked, message refused", true, 0, 2, 0, false, {{2, refused}}, {1, 3, 4, 5}},
        {"data, refused recipient", false, 4, 0, 0, false, {{4, refused}}, {1, 2, 3, 5, 4}},
        // Inside message 3's chunk (each about 5,400 bytes): never had whole.
        {"chunked, cut", true, 0, 0, 13500, false, {{3, mailcode::kNotConnected}}, {1, 2, 4, 5, 3}},
    };
    for (const SmtpCase& c : cases) {
        SCOPED_TRACE(c.name);
        SmtpServer::Options so;
        so.pipelining = true;
        so.chunking = c.chunking;
        so.refuseRecipients = {"no@refused.example"};
        if (c.refuseData != 0) {
            so.refuseContent = {"reply " + std::to_string(c.refuseData) + "\r\n"};
        }
        SmtpServer smtp(so);
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
        // As the sending step does: a failed message is queued again, the
        // connection made anew, and the queue sent again later.
        std::map<int, int> got;
        std::vector<int> order = {1, 2, 3, 4, 5};
        bool connected = false;
        for (std::size_t n = 0; n < order.size(); ++n) {
            const int k = order[n];
            if (!connected) {
                mail.smtpConnect(relayed(link), SmtpProtocol::Smtp, "", "");
                connected = true;
            }
            const int code = codeOf([&] { mail.send(reply(k, c.copy ? "cc@dest.example" : "")); });
            if (code != 0) {
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
            const int k = std::atoi(r.rcptTo.at(0).c_str() + 1);  // 0 for the copy
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
