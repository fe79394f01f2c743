// The mail run over IMAP: the POP3 run's scenarios, and what only IMAP has (UIDs, UIDVALIDITY).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/RunFolder.h"
#include "support/TcpProxy.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;

// Headers come in ranges read ahead: every number still gives its own header, through a download
// midway and a jump back; deletions go as UID ranges at the end.
TEST(ImapMailbox, ScanInRangesGivesEveryHeaderAndDeletesAtTheEnd) {
    VOREL_SKIP_UNLESS_ROOT();
    test::PopServer pop(test::PopServer::Options{.tls = true, .imap = true});
    ::setenv("VOREL_CA_FILE", pop.caFile().c_str(), 1);
    const int count = 600;
    for (int i = 1; i <= count; ++i) {
        pop.addMessage("From: p" + std::to_string(i) + "@x.example\nSubject: s\n\nbody " +
                       std::to_string(i) + "\n");
    }
    {
        CurlMailComponent mail;
        mail.popConnect(pop.imapAddress(true), pop.user(), pop.password());
        ASSERT_EQ(mail.messageCount(), count);
        const std::vector<std::string> ids = mail.uniqueIds();
        ASSERT_EQ(ids.size(), std::size_t(count));
        EXPECT_NE(ids[0], ids[1]);
        EXPECT_EQ(ids[0].substr(0, ids[0].find('.')), ids[1].substr(0, ids[1].find('.')));
        for (long i = 1; i <= count; ++i) {
            mail.selectMessage(i);
            mail.fetchHeader();
            ASSERT_EQ(mail.from(), "p" + std::to_string(i) + "@x.example");
            if (i == 300) {
                EXPECT_EQ(mail.bodyText(), "body 300\r\n");
            }
        }
        for (long i : {5L, 2L, 3L, 10L, 599L}) {
            mail.selectMessage(i);
            mail.fetchHeader();
            EXPECT_EQ(mail.from(), "p" + std::to_string(i) + "@x.example");
            mail.deleteMessage();
        }
        EXPECT_EQ(mail.messageCount(), count - 5);
        mail.disconnect();
    }
    ::unsetenv("VOREL_CA_FILE");
    EXPECT_EQ(pop.messageCount(), std::size_t(count - 5));
    const std::vector<std::string> left = pop.messages();
    EXPECT_NE(left[0].find("p1@"), std::string::npos);
    EXPECT_NE(left[1].find("p4@"), std::string::npos);
}

// A connection cut or stalled mid-download ends the session; the deletion asked before it is lost.
TEST(ImapMailbox, FailuresMidSessionRemoveNothing) {
    VOREL_SKIP_UNLESS_ROOT();
    using Fault = test::TcpProxy::Fault;
    for (const Fault& fault :
         {Fault{Fault::Kind::Cut, test::TcpProxy::Direction::ToClient, 150000, 0},
          Fault{Fault::Kind::Stall, test::TcpProxy::Direction::ToClient, 150000, 3000}}) {
        SCOPED_TRACE(fault.kind == Fault::Kind::Cut ? "cut" : "stall");
        test::PopServer pop(test::PopServer::Options{.tls = true, .imap = true});
        ::setenv("VOREL_CA_FILE", pop.caFile().c_str(), 1);
        pop.addMessage("From: a@x.example\nSubject: big\n\n" + std::string(400000, 'x') + "\n");
        pop.addMessage("From: b@x.example\nSubject: small\n\nhi\n");
        test::TcpProxy proxy(pop.imapTlsPort());
        proxy.queueFaults({fault});
        CurlMailComponent mail;
        mail.setTimeout(20);
        mail.popConnect("imaps://127.0.0.1:" + std::to_string(proxy.port()), pop.user(),
                        pop.password());
        mail.setTimeout(1);  // the stall outlasts it
        int code = 0;
        try {
            mail.selectMessage(2);
            mail.deleteMessage();
            mail.selectMessage(1);
            mail.fetchMessage();
            mail.deleteMessage();
            mail.disconnect();
        } catch (const MailError& e) {
            code = e.code();
        }
        EXPECT_EQ(code, mailcode::kNotConnected);
        mail.disconnect();
        ::unsetenv("VOREL_CA_FILE");
        EXPECT_EQ(pop.messageCount(), 2u);
    }
}

enum class Protocol { Pop3, Imap, Imaps };

std::string message(const std::string& from, const std::string& to, const std::string& subject,
                    const std::string& id = "") {
    return "From: " + from + "\nTo: " + to + "\nSubject: " + subject + "\n" +
           (id.empty() ? "" : "Message-ID: <" + id + "@x.example>\n") + "\nHello.\n";
}

// Dovecot with POP3 and IMAP over TLS, an SMTP server, and a folder pointed at them by protocol.
struct Mailbox : test::RunFolder {
    explicit Mailbox(Protocol p, bool idle = true)
        : pop(test::PopServer::Options{.tls = true, .imap = true, .imapIdle = idle}), protocol(p) {
        ::setenv("VOREL_CA_FILE", pop.caFile().c_str(), 1);
        pointAt(pop);
        pointAt(smtp);
        if (p != Protocol::Pop3) {
            s.txtPOP = pop.imapAddress(p == Protocol::Imaps);
        }
        addAutoresponder("info@me.example");
    }
    ~Mailbox() { ::unsetenv("VOREL_CA_FILE"); }
    bool runAgain() {
        host = test::RecordingHost{};
        return run();
    }
    // Maildir files of messages some client marked (S: seen, T: deleted).
    int filesFlagged(char flag) const {
        int n = 0;
        for (const char* sub : {"/cur", "/new"}) {
            for (const auto& e : fs::directory_iterator(pop.maildir() + sub)) {
                const std::string name = e.path().filename().string();
                const std::size_t info = name.find(":2,");
                n += info != std::string::npos && name.find(flag, info) != std::string::npos;
            }
        }
        return n;
    }
    test::PopServer pop;
    test::SmtpServer smtp;
    Protocol protocol;
};

struct EveryProtocol : ::testing::TestWithParam<Protocol> {};

// Anti-spam, an autoresponder, a list request, leave on server: the same whatever the protocol.
TEST_P(EveryProtocol, RunAnswersFiltersAndLeavesAsOverPop3) {
    VOREL_SKIP_UNLESS_ROOT();
    Mailbox m(GetParam());
    m.folder.write("antispam.lst", "spam@x.example\r\n");
    MailingList news;
    news.Name = "NEWS";
    news.subscribefrom = "NEWS@list.example";
    news.subscribesubject = "Welcome";
    news.subscribemessage = "Hi %name%";
    news.sendtolistfrom = "post-NEWS@list.example";
    news.postcheck = 0;  // any member by From (who may post: posts_test)
    news.onsubscribeto = "join-NEWS@list.example";
    news.confirm = false;  // subscribed at once, as the run over POP3 does
    m.db().addList(news);
    m.pop.addMessage(message("spam@x.example", "info@me.example", "Offer"));
    m.pop.addMessage(message("ann@x.example", "info@me.example", "q", "1"));
    m.pop.addMessage(message("Joe <joe@x.example>", "join-NEWS@list.example", "in", "2"));
    m.pop.addMessage(message("bob@x.example", "nobody@me.example", "q", "3"));
    m.s.chkLEAVE = "1";
    m.s.chkDEBUG = "1";  // the transcript in debug.log, credentials masked
    ASSERT_TRUE(m.runAgain()) << m.host.logText();
    EXPECT_TRUE(
        m.host.hasLogEntry("Message from:spam@x.example Subject: Offer deleted anti-spam filter"))
        << m.host.logText();
    const std::string debug = m.folder.read("debug.log");
    EXPECT_NE(debug.find(GetParam() == Protocol::Pop3 ? "AUTH PLAIN ********"
                                                      : "AUTHENTICATE PLAIN ********"),
              std::string::npos)
        << debug;
    for (const char* secret : {"s3cret-Pw", "AGFsaWNlAHMzY3JldC1Qdw", "czNjcmV0LVB3"}) {
        EXPECT_EQ(debug.find(secret), std::string::npos) << secret;
    }
    m.s.chkDEBUG = "0";
    EXPECT_TRUE(m.host.hasLogEntry("Email Address joe@x.example Added to NEWS"))
        << m.host.logText();
    EXPECT_EQ(m.state.antiSpam, 1);
    EXPECT_EQ(m.state.autoresponders, 1);
    ASSERT_EQ(m.smtp.received().size(), 2u);
    EXPECT_EQ(m.pop.messageCount(), 3u);  // only the spam went
    EXPECT_EQ(m.db().members("NEWS").size(), 1u);

    // Kept on the server: answered once, even once the server starts a new UID space (a new
    // UIDVALIDITY) when its list and indexes are gone.
    ASSERT_TRUE(m.runAgain()) << m.host.logText();
    EXPECT_EQ(m.smtp.received().size(), 2u);
    m.pop.kill();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // UIDVALIDITY is a time
    for (const auto& e : fs::directory_iterator(m.pop.maildir())) {
        if (e.path().filename().string().rfind("dovecot", 0) == 0) {
            fs::remove_all(e.path());
        }
    }
    m.pop.restart();

    // Deleting on again: the handled messages go.
    m.s.chkLEAVE = "0";
    ASSERT_TRUE(m.runAgain()) << m.host.logText();
    EXPECT_EQ(m.host.countLogContaining("was handled by an earlier run, skipped"), 2)
        << m.host.logText();
    EXPECT_EQ(m.pop.messageCount(), 1u);
    EXPECT_EQ(m.smtp.received().size(), 2u);
    if (GetParam() != Protocol::Pop3) {
        EXPECT_EQ(m.filesFlagged('S'), 0);  // nothing read was marked read
    }
}

std::string protocolName(const ::testing::TestParamInfo<Protocol>& p) {
    const char* names[] = {"Pop3", "Imap", "Imaps"};
    return names[static_cast<int>(p.param)];
}

INSTANTIATE_TEST_SUITE_P(Imap, EveryProtocol,
                         ::testing::Values(Protocol::Pop3, Protocol::Imap, Protocol::Imaps),
                         protocolName);

// A session lost midway leaves every message, unflagged; the next run deletes them (EXPUNGE on a
// server without UIDPLUS), and mail that arrives during it keeps its place for the run after, the
// numbers the run works with not moving under it.
TEST(ImapRun, FailedRunExpungesNothingAndMailArrivingMidRunWaits) {
    VOREL_SKIP_UNLESS_ROOT();
    Mailbox m(Protocol::Imap, false);
    m.folder.write("antispam.lst", "spam@x.example\r\n");
    m.pop.addMessage(message("spam@x.example", "info@me.example", "Offer"));
    m.pop.addMessage(message("ann@x.example", "info@me.example", "q"));
    m.pop.addMessage(message("bob@x.example", "info@me.example", "q"));
    m.s.chkLEAVE = "0";
    bool killed = false;
    m.host.setOnLogEntry([&](const std::string& line) {
        if (!killed && line.find("deleted anti-spam filter") != std::string::npos) {
            killed = true;
            m.pop.kill();
        }
    });
    m.run();  // the lost session ends the scan; as over POP3, the run itself goes on
    ASSERT_TRUE(killed);
    EXPECT_EQ(m.pop.messageCount(), 3u);
    EXPECT_EQ(m.filesFlagged('T'), 0);
    m.pop.restart();
    m.host = test::RecordingHost{};
    bool added = false;
    m.host.setOnLogEntry([&](const std::string& line) {
        if (!added && line.find("Testing To:") != std::string::npos) {
            added = true;
            m.pop.addMessage(message("cat@x.example", "info@me.example", "3"));
        }
    });
    ASSERT_TRUE(m.run()) << m.host.logText();
    EXPECT_EQ(m.state.autoresponders, 2);
    EXPECT_EQ(m.pop.messageCount(), 1u);
    EXPECT_EQ(m.smtp.received().size(), 2u);
    ASSERT_TRUE(m.runAgain()) << m.host.logText();
    EXPECT_EQ(m.pop.messageCount(), 0u);
    ASSERT_EQ(m.smtp.received().size(), 3u);
    EXPECT_NE(m.smtp.received()[2].data.find("cat@x.example"), std::string::npos);
}

// `vorel watch` on a folder, its output (run logs and notes) in one file.
struct WatchProcess {
    WatchProcess(const std::string& folder, const std::vector<std::string>& extra) {
        std::vector<std::string> args = {VOREL_BINARY, "watch", "--folder", folder};
        args.insert(args.end(), extra.begin(), extra.end());
        io.write("out", "");
        pid = test::startProcess(args, io.file("out"));
    }
    ~WatchProcess() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    int seen(const std::string& text) {
        const std::string out = io.read("out");
        int n = 0;
        for (std::size_t at = 0; (at = out.find(text, at)) != std::string::npos; ++at) {
            ++n;
        }
        return n;
    }
    // Seconds until `text` is in the output `count` times; -1 after `limit`.
    double waitFor(const std::string& text, int count = 1, double limit = 20) {
        const auto start = std::chrono::steady_clock::now();
        for (;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            const double waited =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (seen(text) >= count || waited > limit) {
                return seen(text) >= count ? waited : -1;
            }
        }
    }
    // SIGTERM; the exit status, -1 when it did not end within 10 s.
    int stop() {
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        return -1;
    }
    test::TempFolder io;
    pid_t pid = -1;
};

TEST(Watch, AnswersNewMailWithinSecondsAndSurvivesADroppedConnection) {
    VOREL_SKIP_UNLESS_ROOT();
    Mailbox m(Protocol::Imap);
    m.s.chkLEAVE = "0";
    writeSettings(m.folder.path(), m.s);
    WatchProcess w(m.folder.path(), {});
    ASSERT_GE(w.waitFor("Mail Run Complete"), 0) << w.io.read("out");  // what came before
    m.pop.addMessage(message("ann@x.example", "info@me.example", "q"));
    const double latency = w.waitFor("Message Sent to ann@x.example");
    ASSERT_GE(latency, 0) << w.io.read("out");
    EXPECT_LT(latency, 2.5) << w.io.read("out");
    ASSERT_GE(w.waitFor("Mail Run Complete", 2), 0);

    // The server goes away and comes back: the watch connects again, and what came meanwhile is
    // answered.
    m.pop.kill();
    m.pop.addMessage(message("bob@x.example", "info@me.example", "q"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    m.pop.restart();
    ASSERT_GE(w.waitFor("Message Sent to bob@x.example", 1, 30), 0) << w.io.read("out");
    ASSERT_GE(w.waitFor("Mail Run Complete", 3), 0);
    m.pop.addMessage(message("cat@x.example", "info@me.example", "q"));
    ASSERT_GE(w.waitFor("Message Sent to cat@x.example", 1, 10), 0) << w.io.read("out");
    ASSERT_GE(w.waitFor("Mail Run Complete", 4), 0);
    EXPECT_EQ(w.stop(), 0);
    EXPECT_EQ(m.smtp.received().size(), 3u);
    EXPECT_EQ(m.pop.messageCount(), 0u);
}

// Over 16 s, side by side: behind a middlebox that drops quiet connections (an IDLE) the watch
// backs off instead of running every second; a flood of new mail starts runs at least 5 s apart.
TEST(Watch, BacksOffFromDroppedIdleAndSpacesRunsInAFlood) {
    VOREL_SKIP_UNLESS_ROOT();
    Mailbox dropping(Protocol::Imap);
    test::TcpProxy::Options quiet;
    quiet.cutWhenQuietMs = 700;
    test::TcpProxy middlebox(dropping.pop.imapPort(), quiet);
    dropping.s.txtPOP = "imap://127.0.0.1:" + std::to_string(middlebox.port());
    writeSettings(dropping.folder.path(), dropping.s);
    WatchProcess dropped(dropping.folder.path(), {});
    Mailbox flooded(Protocol::Imap);
    writeSettings(flooded.folder.path(), flooded.s);
    WatchProcess flood(flooded.folder.path(), {});
    ASSERT_GE(flood.waitFor("Mail Run Complete"), 0) << flood.io.read("out");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(16);
    for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
        flooded.pop.addMessage(
            message("f" + std::to_string(i) + "@x.example", "other@me.example", "flood"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Pauses of 1, 2, 4 and 8 s: four or five logins and runs (a second apart: about 10).
    EXPECT_GE(dropped.seen("Mail Run Started"), 3) << dropped.io.read("out");
    EXPECT_LE(dropped.seen("Mail Run Started"), 5) << dropped.io.read("out");
    EXPECT_LE(middlebox.counters().connections, 2 * 5);
    // The first run, then one per 5 s at most: 4 or 5 (one per notice: dozens).
    EXPECT_GE(flood.seen("Mail Run Started"), 3) << flood.io.read("out");
    EXPECT_LE(flood.seen("Mail Run Started"), 5) << flood.io.read("out");
    EXPECT_EQ(dropped.stop(), 0);
    EXPECT_EQ(flood.stop(), 0);
}

// Without IDLE (and for POP3) the watch looks every --poll seconds.
TEST(Watch, PollsAServerWithoutIdle) {
    VOREL_SKIP_UNLESS_ROOT();
    for (const Protocol p : {Protocol::Imap, Protocol::Pop3}) {
        Mailbox m(p, false);
        m.s.chkLEAVE = "0";
        writeSettings(m.folder.path(), m.s);
        WatchProcess w(m.folder.path(), {"--poll", "1"});
        ASSERT_GE(w.waitFor("Mail Run Complete"), 0) << w.io.read("out");
        m.pop.addMessage(message("ann@x.example", "info@me.example", "q"));
        ASSERT_GE(w.waitFor("Message Sent to ann@x.example", 1, 10), 0) << w.io.read("out");
        EXPECT_EQ(w.stop(), 0);
    }
}

}  // namespace
}  // namespace vorel
