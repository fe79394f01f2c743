// The pipelined POP3 and SMTP paths of the mail component against the real
// loopback servers, through a relay that makes the server refuse a chosen
// command or cuts the connection in the middle of a burst: each failure is
// raised by the call its command belongs to, and nothing is deleted or
// delivered that was not meant to be.
#include <gtest/gtest.h>

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
    std::string rewrite, into;   // as PopCase
    std::string refuseContent;   // the server refuses a message holding it
    std::size_t cutAfter;        // bytes to the server, 0: no cut
    std::string copyTo;          // a second recipient for every message
    std::map<int, int> fail;     // message -> code of its send
    std::vector<int> delivered;  // messages the server took, in order
};

}  // namespace

TEST(Pipeline, SmtpFailuresBelongToTheirMessage) {
    VOREL_SKIP_UNLESS_ROOT();
    const int refused = mailcode::kSendRefused;
    const int lost = mailcode::kNotConnected;
    const std::vector<SmtpCase> cases = {
        {"chunked", true, "", "", "", 0, "", {}, {1, 2, 3, 4, 5}},
        {"chunked, refused recipient",
         true,
         "RCPT TO:<r3@",
         "RCPT TO:<no@refused.example>",
         "",
         0,
         "",
         {{3, refused}},
         {1, 2, 4, 5}},
        {"chunked, one of two recipients refused",
         true,
         "RCPT TO:<r3@",
         "RCPT TO:<no@refused.example>",
         "",
         0,
         "cc@dest.example",
         {{3, refused}},
         {1, 2, 4, 5}},
        {"chunked, message refused",
         true,
         "",
         "",
         "reply 2\r\n",
         0,
         "",
         {{2, refused}},
         {1, 3, 4, 5}},
        {"data, refused recipient",
         false,
         "RCPT TO:<r4@",
         "RCPT TO:<no@refused.example>",
         "",
         0,
         "",
         {{4, refused}},
         {1, 2, 3, 5}},
        // Inside message 3's chunk (each about 5,400 bytes): the server
        // never has it whole.
        {"chunked, cut", true, "", "", "", 13500, "", {{3, lost}}, {1, 2, 4, 5}},
    };
    for (const SmtpCase& c : cases) {
        SCOPED_TRACE(c.name);
        SmtpServer::Options so;
        so.pipelining = true;
        so.chunking = c.chunking;
        so.refuseRecipients = {"no@refused.example"};
        if (!c.refuseContent.empty()) {
            so.refuseContent = {c.refuseContent};
        }
        SmtpServer smtp(so);
        TcpProxy::Options o;
        o.delayMs = 2;
        TcpProxy link(smtp.port(), o);
        if (!c.rewrite.empty()) {
            link.addRewrite(c.rewrite, c.into);
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
        bool connected = false;
        for (int k = 1; k <= 5; ++k) {
            if (!connected) {
                mail.smtpConnect(relayed(link), SmtpProtocol::Smtp, "", "");
                connected = true;
            }
            if (const int code = codeOf([&] { mail.send(reply(k, c.copyTo)); }); code != 0) {
                got[k] = code;
                // As the sending step does: the failed one is queued again
                // and the connection made anew.
                mail.disconnect();
                connected = false;
            }
        }
        mail.disconnect();
        EXPECT_EQ(got, c.fail);
        EXPECT_EQ(chunks >= 5, c.chunking);
        std::vector<int> delivered;
        for (const auto& r : smtp.received()) {
            const int k = std::stoi(r.rcptTo.at(0).substr(1));
            delivered.push_back(k);
            // Whole, to every recipient, and each line as written.
            EXPECT_EQ(r.rcptTo.size(), c.copyTo.empty() ? 1u : 2u);
            EXPECT_NE(
                r.data.find("Line one of reply " + std::to_string(k) + "\r\n.a dotted line\r\n"),
                std::string::npos);
        }
        EXPECT_EQ(delivered, c.delivered);
    }
}

// A message refused in the middle of a chunked stream goes again whole on a
// new connection, and only it.
TEST(Pipeline, RefusedChunkedMessageGoesAgainWhole) {
    VOREL_SKIP_UNLESS_ROOT();
    SmtpServer::Options so;
    so.pipelining = true;
    so.chunking = true;
    SmtpServer smtp(so);
    TcpProxy link(smtp.port());
    link.addRewrite("RCPT TO:<r2@", "RCPT TO:<r2@dest.example> NOTIFY=BOGUS");
    CurlMailComponent mail;
    mail.setTimeout(10);
    mail.smtpConnect(relayed(link), SmtpProtocol::Smtp, "", "");
    mail.send(reply(1));
    EXPECT_NE(codeOf([&] { mail.send(reply(2)); }), 0);
    mail.disconnect();
    mail.smtpConnect(relayed(link), SmtpProtocol::Smtp, "", "");
    mail.send(reply(2));
    mail.send(reply(3));
    mail.disconnect();
    const auto got = smtp.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].rcptTo, std::vector<std::string>{"r2@dest.example"});
    EXPECT_EQ(got[1].session, 2);
    EXPECT_NE(got[1].data.find("Subject: Reply 2\r\n"), std::string::npos);
    EXPECT_NE(got[1].data.find("Line one of reply 2\r\n.a dotted line\r\n"), std::string::npos);
}
