// Sending: one message composed and sent (mail/Sender), then the closing
// steps of a try (run/SendStep) over the queue, the log e-mail, the message
// files and the end program, all through the scripted mail component.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/Reporter.h"
#include "core/RunState.h"
#include "mail/Sender.h"
#include "run/SendStep.h"
#include "store/Queue.h"
#include "support/FakeMailComponent.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

using test::FakeMailComponent;

QueueRecord reply(int n, std::string body = {}) {
    std::string num = std::to_string(n);
    return {"r" + num + "@dest.example", "vorel@src.example", "Reply " + num,
            body.empty() ? "Dear r" + num + ",\r\nthanks for writing." : body};
}

// The bytes appendQueueRecord writes for these records.
std::string queueBytes(const std::vector<QueueRecord>& records) {
    test::TempFolder scratch;
    for (const auto& r : records) {
        appendQueueRecord(scratch.path(), r);
    }
    return records.empty() ? std::string() : scratch.read(kQueueFile);
}

int occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

class SendTest : public ::testing::Test {
protected:
    void SetUp() override {
        state.settings.txtRUNPROGRAM.clear();
        state.settings.txtSMTP = "smtp.example";
    }
    bool send(const std::string& to, const std::string& body = "Hello",
              const std::string& subject = "Hi", const std::string& from = "me@vorel.example") {
        return sendOneMessage(ctx, to, from, "smtp.example", body, subject);
    }
    const OutgoingMessage& last() const { return mail.sent().back(); }
    void queue(const std::vector<QueueRecord>& records) const {
        for (const auto& r : records) {
            appendQueueRecord(folder.path(), r);
        }
    }
    // What the driver does after the POP3 session, in its order.
    void closeTry() {
        report.setLogSetting(state.settings.chkLOG);
        runSendingStep(ctx);
        logStatistics(ctx);
        sendLogEmail(ctx);
        cleanUpMessageFiles(ctx);
        startEndProgram(ctx);
        mail.disconnect();
    }
    std::string queueLeft() const {
        return folder.exists(kQueueFile) ? folder.read(kQueueFile) : std::string();
    }
    std::vector<std::string> recipients() const {
        std::vector<std::string> out;
        for (const auto& m : mail.sent()) {
            out.push_back(m.to);
        }
        return out;
    }

    test::TempFolder folder;
    test::RecordingHost host;
    test::FixedClock clock;
    Reporter report{folder.path(), host, clock};
    FakeMailComponent mail;
    RunState state;
    RunContext ctx{folder.path(), state, report, mail, clock, host};
};

// ------------------------------------------------------------ one message

TEST_F(SendTest, ConnectionIsRenewedOnThe31stAnd62ndMessage) {
    state.settings.chkESMTP = "1";
    state.settings.txtUSERID = "alice";
    for (int i = 1; i <= 65; ++i) {
        ASSERT_TRUE(send("r" + std::to_string(i) + "@x.example"));
    }
    EXPECT_EQ(host.countLogContaining("Connecting to ESTMP server smtp.example"), 3);
    // Messages sent between the renewals: 30, then 31, then the rest.
    std::vector<int> runs{0};
    for (const auto& call : mail.calls()) {
        if (call == "disconnect") {
            runs.push_back(0);
        } else if (call.rfind("send ", 0) == 0) {
            ++runs.back();
        } else {
            EXPECT_EQ(call, "smtpConnect smtp.example 2 alice");
        }
    }
    EXPECT_EQ(runs, (std::vector<int>{30, 31, 4}));
}

TEST_F(SendTest, ComposesTextMessages) {
    struct Case {
        const char* body;
        const char* subtype;
    };
    const Case cases[] = {
        {"<HTML><BODY>Hi</BODY></HTML>", "html"},
        {"Intro text <HTML> later", "html"},
        {"<html><body>lower case</body></html>", "plain"},
        {"", "plain"},
    };
    state.settings.txtAUTOFORWARD = "Boss <boss@x.example";
    for (const auto& c : cases) {
        ASSERT_TRUE(send("a@x.example", c.body));
        EXPECT_EQ(last().contentSubtype, c.subtype) << c.body;
        EXPECT_EQ(last().body, c.body);
    }
    EXPECT_EQ(last().copyTo, "Boss <boss@x.example>");
    EXPECT_EQ(last().messageRef, "202612545296_KESO");
    EXPECT_EQ(last().extraHeaders,
              (std::vector<std::string>{"X-Mailer: VOREL MAIL http://www.vorel.example GET YOURS "
                                        "FREE - This software must NOT be used for spamming"}));
    EXPECT_TRUE(host.hasLogEntry(
        "Message Sent From: me@vorel.example to: a@x.example: Host smtp.example Subject Hi"));
}

TEST_F(SendTest, CleansAddressesAndSubjects) {
    struct Case {
        std::string to, subject, sentTo, sentSubject;
    };
    const std::vector<Case> cases = {
        {"joe@x.example\r\n", "Hi\r\n", "joe@x.example", "Hi "},
        {"joe@x.example\xFF", "Hi\xFF", "joe@x.example", "Hi"},
        {"Joe <joe@x.example", "two\r\nlines", "Joe <joe@x.example>", "two lines"},
        {"joe@x.example", "a\r\nb\r\nc", "joe@x.example", "a b c"},
        {"joe@x.example", "bare\nLF", "joe@x.example", "bare\nLF"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(send(c.to, "x", c.subject, "Me <me@vorel.example\r\n"));
        EXPECT_EQ(last().to, c.sentTo);
        EXPECT_EQ(last().subject, c.sentSubject);
        EXPECT_EQ(last().from, "Me <me@vorel.example>");
    }
}

// A body from outside (a list post, a merged field) must never make us mail
// an arbitrary local file.
TEST_F(SendTest, OnlyOwnMessageFilesAreSentAsFiles) {
    const std::string own = messageFilePath(folder.path(), "3");
    folder.write("3.msg", "From: a@b\r\n\r\nforwarded\r\n");
    for (const std::string& body : {"~" + own + "\r\n", "~  " + own + "  \r\n"}) {
        ASSERT_TRUE(send("a@x.example", body));
        EXPECT_EQ(last().sourceFile, own);
        EXPECT_TRUE(last().body.empty());
    }
    test::TempFolder other;
    for (const std::string& body :
         {std::string("~/etc/passwd\r\n"), "~" + messageFilePath(other.path(), "3") + "\r\n",
          "~" + folder.path() + "/../3.msg\r\n", "~" + folder.path() + "/data.mdb\r\n",
          "~" + folder.path() + "/.msg\r\n", std::string("~\r\n"), std::string("~")}) {
        ASSERT_TRUE(send("a@x.example", body));
        EXPECT_TRUE(last().sourceFile.empty()) << body;
        EXPECT_EQ(last().body, body);
    }
}

TEST_F(SendTest, FailuresAreLoggedAndFlagged) {
    mail.failCall("send", 2, mailcode::kSendRefused);
    ASSERT_TRUE(send("a@x.example", "x", "s"));
    EXPECT_FALSE(state.sendFailed);
    EXPECT_FALSE(send("b@y.example", "x", "s\r\n"));
    EXPECT_TRUE(state.sendFailed);
    EXPECT_TRUE(host.hasLogEntry(
        "Message FAILED From: me@vorel.example to: b@y.example: Host smtp.example Subject s "));
    EXPECT_TRUE(
        host.hasLogEntry("Message Failed :  Error:" + mailErrorText(20002) + " message Re-Queued"));
    // A refused connection leaves the flag clear, so the next message connects.
    state.smtpConnected = false;
    mail.failCall("smtpConnect", 2, mailcode::kHostNotFound);
    EXPECT_FALSE(send("c@y.example"));
    EXPECT_FALSE(state.smtpConnected);
    EXPECT_TRUE(send("d@y.example"));
    EXPECT_EQ(mail.callCount("smtpConnect"), 3);
}

// ------------------------------------------------------------ the queue

// Better to send a record twice than to lose one.
TEST_F(SendTest, FailedRecordStaysQueuedAsWrittenAndTheRestGoOut) {
    const std::string saved = messageFilePath(folder.path(), "1");
    queue({reply(1), reply(2, "~" + saved), reply(3)});
    mail.failCall("send", 2, mailcode::kNotConnected);
    folder.write("1.msg", "saved");
    folder.write("2.msg", "sent and named by nothing");
    closeTry();
    EXPECT_EQ(recipients(), (std::vector<std::string>{"r1@dest.example", "r3@dest.example"}));
    EXPECT_EQ(queueLeft(), queueBytes({reply(2, "~" + saved)}));
    EXPECT_FALSE(folder.exists(kQueueNewFile));
    EXPECT_TRUE(host.hasLogEntry("Reconnecting to SMTP Server due to failed message"));
    EXPECT_EQ(mail.calls()[3], "disconnect") << "the next record goes over a new connection";
    EXPECT_TRUE(folder.exists("1.msg")) << "the re-queued record names it";
    EXPECT_FALSE(folder.exists("2.msg"));
}

// A record the server refuses for good would fail every run: it goes to
// msgqueue.failed, where the message file it names is kept for it.
TEST_F(SendTest, RefusedForGoodMovesToTheFailedFile) {
    const std::string saved = messageFilePath(folder.path(), "1");
    queue({reply(1, "~" + saved), reply(2)});
    folder.write("1.msg", "From: a@b\r\n\r\nforwarded\r\n");
    mail.failCall("send", 1, mailcode::kSendRefused);
    closeTry();
    EXPECT_EQ(recipients(), std::vector<std::string>{"r2@dest.example"});
    EXPECT_EQ(queueLeft(), "");
    EXPECT_EQ(folder.read(kFailedQueueFile), queueBytes({reply(1, "~" + saved)}));
    EXPECT_TRUE(folder.exists("1.msg"));
    EXPECT_TRUE(host.hasLogEntry("1 message(s) refused for good by the server moved to " +
                                 std::string(kFailedQueueFile)));
}

TEST_F(SendTest, QueueThatCannotBeReplacedStaysWhole) {
    queue({reply(1), reply(2), reply(3)});
    const std::string before = queueLeft();
    mail.failCall("send", 2, mailcode::kNotConnected);
    std::filesystem::create_directory(folder.file(kQueueNewFile));
    closeTry();
    EXPECT_EQ(recipients(), std::vector<std::string>{"r1@dest.example"});
    EXPECT_EQ(queueLeft(), before);
}

// A run killed in the middle of its sending step left a cursor past the
// first record: the next run sends only the others.
TEST_F(SendTest, StepGoesOnAfterTheRecordsAKilledRunSent) {
    queue({reply(1), reply(2), reply(3)});
    SendCursor(folder.path()).advance(queueBytes({reply(1)}).size());
    closeTry();
    EXPECT_EQ(recipients(), (std::vector<std::string>{"r2@dest.example", "r3@dest.example"}));
    EXPECT_EQ(queueLeft(), "");
    EXPECT_FALSE(folder.exists(kQueueCursorFile));
}

TEST_F(SendTest, CancelCarriesTheUnsentRestOverByteForByte) {
    std::string longBody;
    for (int i = 0; i < 2500; ++i) {
        longBody += "body line " + std::to_string(i) + "\r\n";
    }
    queue({reply(1), reply(2, "~" + messageFilePath(folder.path(), "1")), reply(3, longBody)});
    const std::string before = queueLeft();
    folder.write("1.msg", "saved");
    host.setOnLogEntry([this](const std::string& line) {
        if (line.rfind("Message Sent From:", 0) == 0) {
            state.cancelRequested = true;
        }
    });
    closeTry();
    EXPECT_EQ(recipients(), std::vector<std::string>{"r1@dest.example"});
    EXPECT_EQ(queueLeft(), before.substr(queueBytes({reply(1)}).size()));
    EXPECT_TRUE(folder.exists("1.msg"));
}

TEST_F(SendTest, EmptyOrMissingQueueSendsNothingAndStillPrintsStatistics) {
    enum Kind { Missing, Empty, LeftoverNew };
    for (Kind kind : {Missing, Empty, LeftoverNew}) {
        SCOPED_TRACE(kind);
        test::TempFolder f;
        test::RecordingHost h;
        Reporter r{f.path(), h, clock};
        RunContext c{f.path(), state, r, mail, clock, h};
        if (kind == Empty) {
            f.write(kQueueFile, "");
        }
        if (kind == LeftoverNew) {
            f.write(kQueueNewFile, queueBytes({reply(9)}));
        }
        for (const char* name : {"4.msg", "12.msg", "temp.msg", "OLD.MSG", "notes.txt"}) {
            f.write(name, "x");
        }
        state.counters = {.antiSpam = 2,
                          .processed = 7,
                          .autoresponders = 3,
                          .subscriptions = 1,
                          .unsubscriptions = 4};
        runSendingStep(c);
        logStatistics(c);
        cleanUpMessageFiles(c);

        EXPECT_TRUE(mail.sent().empty());
        EXPECT_EQ(f.exists(kQueueFile) ? f.read(kQueueFile) : "",
                  kind == LeftoverNew ? queueBytes({reply(9)}) : "");
        EXPECT_FALSE(f.exists(kQueueNewFile));
        for (const char* name : {"4.msg", "12.msg", "temp.msg", "OLD.MSG"}) {
            EXPECT_FALSE(f.exists(name)) << name;
        }
        EXPECT_TRUE(f.exists("notes.txt"));
        const std::string rule(57, '-');
        EXPECT_EQ(h.logText(), rule + "\nSTATISTICS\n" + rule +
                                   "\nVorel Processed  : 7 Emails\nAutoresponders  : 3\n"
                                   "Subscriptions     : 1\nUnsubscriptions  : 4\n"
                                   "Anti-Spam Filter :2\n" +
                                   rule + "\n \n");
    }
}

// ------------------------------------------------------------ the log e-mail

TEST_F(SendTest, LogIsMailedInPiecesOf600Then601LinesAndKeptWhenRefused) {
    struct Case {
        int lines;
        std::vector<int> pieces;
        bool refused;
    };
    for (const Case& tc :
         {Case{600, {600, 0}, false}, Case{1250, {600, 601, 49}, false}, Case{5, {}, true}}) {
        SCOPED_TRACE(tc.lines);
        FakeMailComponent m;
        test::TempFolder f;
        Reporter r{f.path(), host, clock};
        RunContext c{f.path(), state, r, m, clock, host};
        state.settings.txtEMAILLOG = "me@log.example";
        state.smtpConnected = false;
        if (tc.refused) {
            m.failCall("send", 0, mailcode::kSendRefused);
        }
        std::string log;
        for (int i = 1; i <= tc.lines; ++i) {
            log += "01/01/2026 00:00:00 old entry " + std::to_string(i) + "\r\n";
        }
        f.write("log.txt", log);
        r.setLogSetting("0");
        sendLogEmail(c);

        ASSERT_EQ(m.sent().size(), tc.pieces.size());
        int next = 1;
        for (std::size_t i = 0; i < m.sent().size(); ++i) {
            const OutgoingMessage& sent = m.sent()[i];
            EXPECT_EQ(sent.subject, "*** Email Log from VOREL Software ***");
            EXPECT_EQ(occurrences(sent.body, " old entry "), tc.pieces[i]);
            EXPECT_EQ(sent.body.find("Continuation of Log.....\r\n\r\n") == 0, i > 0);
            if (tc.pieces[i] > 0) {
                EXPECT_NE(sent.body.find(" old entry " + std::to_string(next) + "\r\n"),
                          std::string::npos);
            }
            next += tc.pieces[i];
        }
        EXPECT_EQ(f.exists("log.txt"), tc.refused);
    }
}

// ------------------------------------------------------------ the end program

TEST_F(SendTest, EndProgramStartsDetachedAndLeavesNoChild) {
    const std::string marker = folder.file("ran it");
    for (const std::string& command :
         {"touch '" + marker + "'", std::string("C:\\pmail\\winpm-32.exe"), std::string()}) {
        SCOPED_TRACE(command);
        state.settings.txtRUNPROGRAM = command;
        startEndProgram(ctx);
        if (!command.empty()) {
            EXPECT_EQ(host.statuses().back(), "Calling " + command);
        }
        // The program is not our child: nothing to wait for, nothing left over.
        int status = 0;
        errno = 0;
        EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }
    EXPECT_TRUE(host.logEntries().empty());
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!folder.exists("ran it") && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(folder.exists("ran it"));
}

}  // namespace
}  // namespace vorel
