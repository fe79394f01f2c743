// Pipelined POP3 and SMTP through a faulty relay: each failure is raised by its command's call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "net/CurlMailComponent.h"
#include "support/RunFolder.h"
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

// A relay that delays each byte `delayMs`, makes the client's line `rewrite` read `into` and
// cuts the stream `to` one side after `cutAfter` bytes (0: never).
std::unique_ptr<TcpProxy> relay(int port, const std::string& rewrite, const std::string& into,
                                std::size_t cutAfter = 0,
                                TcpProxy::Direction to = TcpProxy::Direction::ToClient,
                                int delayMs = 2) {
    TcpProxy::Options o;
    o.delayMs = delayMs;
    auto link = std::make_unique<TcpProxy>(port, o);
    link->addRewrite(rewrite.empty() ? "none" : rewrite, into);
    if (cutAfter != 0) {
        link->queueFaults({{TcpProxy::Fault::Kind::Cut, to, cutAfter, 0}});
    }
    return link;
}

// Messages "mN", every fourth from the third `bigSize` bytes larger.
void seed(test::PopServer& pop, int messages, std::size_t bigSize) {
    for (int i = 1; i <= messages; ++i) {
        pop.addMessage("Subject: m" + std::to_string(i) + "\n\nbody " + std::to_string(i) + "\n" +
                       (i % 4 == 3 ? std::string(bigSize, 'x') + "\n" : ""));
    }
}

// The numbers of the seeded messages no longer on the server: "3 7 ".
std::string deleted(const test::PopServer& pop, int messages) {
    std::string left, gone;
    for (const auto& raw : pop.messages()) {
        left += raw;
    }
    for (int i = 1; i <= messages; ++i) {
        const std::string n = std::to_string(i);
        gone += left.find("Subject: m" + n + "\r\n") == std::string::npos ? n + " " : "";
    }
    return gone;
}

// Reply k: about 5,400 bytes with a dotted line.
OutgoingMessage reply(int k, const std::string& from = "robot@me.example") {
    OutgoingMessage m;
    m.to = "r" + std::to_string(k) + "@dest.example";
    m.from = from;
    m.body = "Line one of reply " + std::to_string(k) + "\r\n.a dotted line\r\n";
    for (int l = 0; l < 50; ++l) {
        m.body += std::string(98, static_cast<char>('a' + k)) + "\r\n";
    }
    return m;
}

bool wholeReply(const test::SmtpServer::Received& r) {
    return r.data.find("Line one of reply " +
                       r.rcptTo.at(0).substr(1, r.rcptTo.at(0).find('@') - 1) +
                       "\r\n.a dotted line\r\n") != std::string::npos;
}

}  // namespace

// A scan as a run makes it: headers read four ahead, 3, 7 and 11 downloaded and deleted (twice),
// then 1. Downloads hinted ahead go out before their message is handled and are read without
// waiting; a refused or cut one fails the call that reads its message, as without the hint.
TEST(Pipeline, PopFailuresBelongToTheirCommand) {
    VOREL_SKIP_UNLESS_ROOT();
    constexpr long kMessages = 12;
    constexpr std::size_t kBigSize = 120000;
    const int err = mailcode::kCurlBase + 8;  // an -ERR reply to a command
    const int lost = mailcode::kNotConnected;
    // Downloads hinted; a client line made one the server refuses, or a cut after so many bytes to
    // the client; the first call that fails, its code, and the messages deleted.
    const std::tuple<bool, std::string, std::string, std::size_t, std::string, int, std::string>
        cases[] = {
            {false, "", "", 0, "", 0, "3 7 11 "},
            {false, "RETR 7", "RETR 99", 0, "message 7", err, "3 11 "},
            {false, "TOP 5 0", "TOP 99 0", 0, "header 5", err, "3 7 11 "},
            {false, "DELE 7", "DELE 99", 0, "disconnect", err, "3 11 "},
            {false, "QUIT", "XQUIT", 0, "disconnect", err, ""},
            // Inside message 3's reply, headers of the next ones asked behind it.
            {false, "", "", kBigSize / 2, "message 3", lost, ""},
            // Inside message 7's reply, with a DELE and headers in the same burst.
            {false, "", "", kBigSize * 3 / 2, "message 7", lost, ""},
            {true, "", "", 0, "", 0, "3 7 11 "},
            {true, "RETR 7", "RETR 99", 0, "message 7", err, "3 11 "},
            // Message 3 is read first, unless the reset that the client's next write draws takes
            // it unread.
            {true, "", "", kBigSize * 3 / 2, "message 7", lost, ""},
        };
    for (const auto& [hint, rewrite, into, cutAfter, failAt, failCode, deletedAfter] : cases) {
        SCOPED_TRACE(::testing::Message() << hint << rewrite << cutAfter);
        test::PopServer pop;
        seed(pop, kMessages, kBigSize);
        const auto link = relay(pop.port(), rewrite, into, cutAfter);
        CurlMailComponent mail;
        mail.setTimeout(10);
        int retrs = 0;
        mail.setTranscriptOn(true);
        mail.setTranscriptHandler([&retrs](const std::string& l, TranscriptDirection d) {
            retrs += d == TranscriptDirection::Sent && l.rfind("RETR ", 0) == 0;
        });
        mail.popConnect("127.0.0.1:" + std::to_string(link->port()), pop.user(), pop.password());
        ASSERT_GT(mail.headersAhead(), 0);
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
        long ahead = 0;
        for (long i = 1; i <= kMessages; ++i) {
            for (long j = std::max(ahead + 1, i); j <= std::min(kMessages, i + 4); ++j) {
                mail.selectMessage(ahead = j);
                if (call("header " + std::to_string(j), [&] { mail.fetchHeader(); }) && hint &&
                    j % 4 == 3) {
                    mail.willFetch(j);
                }
            }
            mail.selectMessage(i);
            const std::string n = std::to_string(i);
            const int asked = retrs;
            if (!call("header " + n, [&] { mail.fetchHeader(); })) {
                continue;
            }
            EXPECT_EQ(mail.subject(), "m" + n);
            if (i % 4 == 3 && call("message " + n, [&] { mail.fetchMessage(); })) {
                EXPECT_EQ(mail.bodyText().size(), kBigSize + 9 + n.size());
                mail.deleteMessage();  // acted on: only now
                mail.deleteMessage();
            }
            EXPECT_TRUE(!hint || retrs == asked) << "asked ahead, not when read";
        }
        mail.selectMessage(1);
        if (call("back", [&] { mail.fetchHeader(); })) {
            EXPECT_EQ(mail.subject(), "m1");
        }
        call("disconnect", [&] { mail.disconnect(); });
        // After a cut every later call fails, nothing committed; an -ERR fails its call only.
        EXPECT_TRUE(first == failAt || (hint && cutAfter != 0 && first == "message 3")) << first;
        EXPECT_EQ(failAt.empty() ? 0 : got[first], failCode);
        for (const auto& [what, code] : got) {
            EXPECT_TRUE(what == first || (cutAfter != 0 && code == lost)) << what;
        }
        EXPECT_EQ(link->counters().connections, 1) << "no silent new session";
        EXPECT_EQ(deleted(pop, kMessages), deletedAfter);
    }
}

// A run whose download ahead is refused, then cut: refused stays unanswered, the rest once.
TEST(Pipeline, RunDownloadsAheadThroughARefusalAndACut) {
    VOREL_SKIP_UNLESS_ROOT();
    constexpr int kMessages = 8;
    constexpr std::size_t kSize = 40000;
    for (const bool cut : {false, true}) {
        SCOPED_TRACE(cut);
        test::RunFolder f;
        f.addAutoresponder("info@me.example", "Hi %email%");
        test::PopServer pop;
        test::SmtpServer smtp;
        for (int i = 1; i <= kMessages; ++i) {
            pop.addMessage("From: s" + std::to_string(i) + "@x.example\nTo: info@me.example\n" +
                           "Message-ID: <" + std::to_string(i) + "@t>\nSubject: q\n\n" +
                           std::string(kSize, 'x') + "\n");
        }
        // A cut inside message 4's download, the next ones asked behind it.
        const auto link = relay(pop.port(), cut ? "" : "RETR 4", "RETR 99", cut ? kSize * 7 / 2 : 0,
                                TcpProxy::Direction::ToClient, 5);
        f.s.txtPOP = "127.0.0.1:" + std::to_string(link->port());
        f.s.txtUSERID = pop.user();
        f.s.txtPASSWORD = pop.password();
        f.pointAt(smtp);
        f.s.chkLEAVE = "0";
        ASSERT_TRUE(f.run());
        const std::string why =
            cut ? mailErrorText(mailcode::kNotConnected) : "30008 Undefined Error";
        // The client's writes after the cut draw a reset, which may take what it had not read
        // yet: then an earlier message is the one whose download was cut.
        int failed = 0;
        for (int i = cut ? 1 : 4; i <= 4; ++i) {
            failed +=
                f.host.countLogContaining("Error Processing " + std::to_string(i) + " " + why);
        }
        EXPECT_EQ(failed, 1) << f.host.logText();
        EXPECT_EQ(f.host.countLogContaining("Error Processing"), 1);
        EXPECT_EQ(f.host.countLogContaining("Starting again"), cut ? 1 : 0);
        std::multiset<std::string> answered;
        for (const auto& r : smtp.received()) {
            answered.insert(r.rcptTo.at(0));
        }
        EXPECT_EQ(answered.size(), cut ? 8u : 7u);
        EXPECT_EQ(answered.count("s4@x.example"), cut ? 1u : 0u);
        EXPECT_EQ(answered.size(), std::set<std::string>(answered.begin(), answered.end()).size());
        EXPECT_EQ(pop.messageCount(), cut ? 0u : 1u);
    }
}

// Five replies of 5,000 bytes with a dotted line sent as a run does: a failed one is queued again
// behind the others, over a new connection. Each message's commands and data go in one write
// (BDAT), or two (DATA: after the 354): a server that finds the commands alone holds the reply for
// the client's delayed acknowledgement, about 40 ms a message at Postfix.
TEST(Pipeline, SmtpFailuresBelongToTheirMessage) {
    VOREL_SKIP_UNLESS_ROOT();
    const int refused = mailcode::kSendRefused;
    // CHUNKING offered; the message whose RCPT is refused once; whose content is refused always; a
    // cut after so many bytes to the server; a copy to a second address (its chunk waits for every
    // RCPT); the code of each failed first send; the order of delivery after one resend; writes
    // per message when nothing fails.
    const std::tuple<bool, int, int, std::size_t, bool, std::map<int, int>, std::vector<int>, long>
        cases[] = {
            {true, 0, 0, 0, false, {}, {1, 2, 3, 4, 5}, 1},
            {true, 0, 0, 0, true, {}, {1, 2, 3, 4, 5}, 2},
            {false, 0, 0, 0, false, {}, {1, 2, 3, 4, 5}, 2},
            {true, 3, 0, 0, false, {{3, refused}}, {1, 2, 4, 5, 3}, 0},
            {true, 3, 0, 0, true, {{3, refused}}, {1, 2, 4, 5, 3}, 0},
            {true, 0, 2, 0, false, {{2, refused}}, {1, 3, 4, 5}, 0},
            {false, 4, 0, 0, false, {{4, refused}}, {1, 2, 3, 5, 4}, 0},
            // Inside message 3's chunk (each about 5,400 bytes): never had whole.
            {true, 0, 0, 13500, false, {{3, mailcode::kNotConnected}}, {1, 2, 4, 5, 3}, 0},
        };
    for (const auto& [chunking, refuseRcpt, refuseData, cutAfter, copy, fail, delivered, writes] :
         cases) {
        SCOPED_TRACE(::testing::Message()
                     << chunking << refuseRcpt << refuseData << cutAfter << copy);
        test::SmtpServer::Options so;
        so.pipelining = true;
        so.chunking = chunking;
        so.refuseRecipients = {"no@refused.example"};
        so.refuseContent = {"reply " + std::to_string(refuseData) + "\r\n"};
        test::SmtpServer smtp(so);
        const auto link =
            relay(smtp.port(), "RCPT TO:<r" + std::to_string(refuseRcpt) + "@",
                  "RCPT TO:<no@refused.example>", cutAfter, TcpProxy::Direction::ToServer);
        CurlMailComponent mail;
        mail.setTimeout(10);
        int chunks = 0;
        mail.setTranscriptOn(true);
        mail.setTranscriptHandler([&chunks](const std::string& l, TranscriptDirection) {
            chunks += l.rfind("BDAT ", 0) == 0;
        });
        std::map<int, int> got;
        std::vector<int> queue = {1, 2, 3, 4, 5};
        const std::string address = "127.0.0.1:" + std::to_string(link->port());
        mail.smtpConnect(address, SmtpProtocol::Smtp, "", "");
        const long before = link->clientSegments();
        for (std::size_t n = 0; n < queue.size(); ++n) {
            const int k = queue[n];
            OutgoingMessage m = reply(k);
            m.copyTo = copy ? "cc@dest.example" : "";
            if (const int code = codeOf([&] { mail.send(m); }); code != 0) {
                if (got.emplace(k, code).second) {
                    queue.push_back(k);
                }
                mail.disconnect();
                mail.smtpConnect(address, SmtpProtocol::Smtp, "", "");
            }
        }
        if (writes != 0) {
            EXPECT_EQ(link->clientSegments() - before, 5 * writes);
        }
        mail.disconnect();
        EXPECT_EQ(got, fail);
        EXPECT_EQ(chunks >= 5, chunking);
        std::vector<int> order;
        for (const auto& r : smtp.received()) {
            const int k = std::atoi(r.rcptTo.at(0).c_str() + 1);
            order.push_back(k);
            // Whole, to every recipient, and each line as written.
            EXPECT_EQ(r.rcptTo.size(), copy ? 2u : 1u);
            EXPECT_TRUE(wholeReply(r));
        }
        EXPECT_EQ(order, delivered);
    }
}

// Eight replies streamed (with CHUNKING all before the first reply is read): a refusal fails its
// message alone; a cut fails the oldest message awaiting replies and leaves the later ones without
// a result (the caller sends them again); a message reported sent was delivered.
TEST(Pipeline, SmtpStreamReportsEachMessage) {
    VOREL_SKIP_UNLESS_ROOT();
    constexpr int kMessages = 8;
    constexpr std::size_t kSize = 5400;  // about one message on the wire
    const int refused = mailcode::kSendRefused, lost = mailcode::kNotConnected;
    enum Cut { None, ToServer, ToClient };
    // A client line made one the server refuses; the message whose content is refused; a cut; each
    // message's result (-1: none).
    struct Case {
        std::string rewrite, into;
        int refuseData;
        Cut cut;
        std::vector<int> codes;
    };
    const std::vector<int> allSent(kMessages, 0);
    std::vector<int> rcpt3 = allSent, from5 = allSent, data6 = allSent;
    rcpt3[2] = from5[4] = data6[5] = refused;
    const Case cases[] = {
        {"", "", 0, None, allSent},  // first: its replies place the cut to the client
        {"RCPT TO:<r3@", "RCPT TO:<no@refused.example>", 0, None, rcpt3},
        {"MAIL FROM:<robot5@", "MAIL FROM:<bad@", 0, None, from5},
        {"", "", 6, None, data6},
        // Inside message 4's chunk, long before any reply comes back: at most the replies read
        // before the cut count.
        {"", "", 0, ToServer, {}},
        // Inside the replies of message 4.
        {"", "", 0, ToClient, {}},
    };
    for (const bool chunking : {true, false}) {
        std::size_t repliesOfThree = 0;  // bytes to the client up to message 3's last reply
        for (const Case& c : cases) {
            SCOPED_TRACE(c.rewrite + std::to_string(c.refuseData) + "/" + std::to_string(c.cut) +
                         (chunking ? " BDAT" : " DATA"));
            test::SmtpServer::Options so;
            so.pipelining = true;
            so.chunking = chunking;
            so.refuseRecipients = {"no@refused.example"};
            so.refuseSenders = {"bad@me.example"};
            so.refuseContent = {"reply " + std::to_string(c.refuseData) + "\r\n"};
            test::SmtpServer smtp(so);
            const auto link = relay(
                smtp.port(), c.rewrite, c.into,
                c.cut == None ? 0 : (c.cut == ToServer ? kSize * 7 / 2 : repliesOfThree + 3),
                c.cut == ToServer ? TcpProxy::Direction::ToServer : TcpProxy::Direction::ToClient);
            CurlMailComponent mail;
            mail.setTimeout(10);
            std::vector<std::string> wire;  // ">" sent, "<" received
            mail.setTranscriptOn(true);
            mail.setTranscriptHandler([&wire](const std::string& l, TranscriptDirection d) {
                wire.push_back((d == TranscriptDirection::Sent ? ">" : "<") + l);
            });
            mail.smtpConnect("127.0.0.1:" + std::to_string(link->port()), SmtpProtocol::Smtp, "",
                             "");
            EXPECT_GE(mail.sendWindow(), static_cast<std::size_t>(kMessages));
            std::vector<OutgoingMessage> batch;
            for (int k = 1; k <= kMessages; ++k) {
                batch.push_back(reply(k, "robot" + std::to_string(k) + "@me.example"));
            }
            const std::vector<SendResult> results = mail.sendBatch(batch);
            mail.disconnect();
            std::vector<int> codes, sent, delivered;
            for (const SendResult& r : results) {
                codes.push_back(r.failure ? codeOf([&] { std::rethrow_exception(r.failure); }) : 0);
                if (!r.failure) {
                    sent.push_back(static_cast<int>(codes.size()));
                }
            }
            for (const auto& r : smtp.received()) {
                delivered.push_back(std::atoi(r.rcptTo.at(0).c_str() + 1));
                EXPECT_TRUE(wholeReply(r));
            }
            EXPECT_EQ(link->counters().connections, 1) << "no silent new session";
            if (c.cut == ToServer) {
                ASSERT_FALSE(codes.empty());
                EXPECT_EQ(codes.back(), lost);
                EXPECT_EQ(std::count(codes.begin(), codes.end(), 0), codes.size() - 1);
                EXPECT_LE(delivered.size(), 3u);  // message 4 was never had whole
                EXPECT_TRUE(
                    std::includes(delivered.begin(), delivered.end(), sent.begin(), sent.end()));
                continue;
            }
            if (c.cut == ToClient) {
                // Each message whose reply the client read is settled, and no other: a slow client
                // still writing when the cut comes may have read none. The server may have had the
                // later ones too: sent again, they are the duplicates a broken session may cost.
                const auto read = std::count_if(wire.begin(), wire.end(), [](const std::string& l) {
                    return l.rfind("<250 Message", 0) == 0;
                });
                std::vector<int> settled(static_cast<std::size_t>(read), 0);
                settled.push_back(lost);
                EXPECT_LE(read, 3);
                EXPECT_EQ(codes, settled);
                ASSERT_GE(delivered.size(), 3u);
                EXPECT_EQ(std::vector<int>(delivered.begin(), delivered.begin() + read), sent);
                continue;
            }
            EXPECT_EQ(codes, c.codes);
            EXPECT_EQ(delivered, sent);
            // Streamed: every message (with CHUNKING) or the next one written before the first
            // message's last reply was read.
            const auto firstDone = std::find_if(wire.begin(), wire.end(), [](const std::string& l) {
                return l.rfind("<250 Message", 0) == 0 || l.rfind("<5", 0) == 0;
            });
            EXPECT_EQ(std::count_if(wire.begin(), firstDone,
                                    [](const std::string& l) { return l.rfind(">MAIL", 0) == 0; }),
                      chunking ? kMessages : 2);
            int done = 0;
            for (const std::string& l : wire) {
                if (l[0] == '<' && done < 3) {
                    repliesOfThree +=
                        c.cut == None && c.rewrite.empty() && c.refuseData == 0 ? l.size() - 1 : 0;
                    done += l.rfind("<250 Message", 0) == 0;
                }
            }
        }
    }
}
