// One try over a real data.mdb and queue, the scripted component as both servers.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/Reporter.h"
#include "core/RunState.h"
#include "mail/Address.h"
#include "mail/Processing.h"
#include "run/SendStep.h"
#include "run/SmtpLink.h"
#include "store/Database.h"
#include "store/FileLock.h"
#include "store/Queue.h"
#include "support/FakeMailComponent.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

using Lines = std::vector<std::string>;

std::string message(const std::string& from, const std::string& to, const std::string& subject,
                    const std::string& body = "Hello\r\n", const std::string& extra = "") {
    return "From: " + from + "\r\nTo: " + to + "\r\n" +
           (subject.empty() ? "" : "Subject: " + subject + "\r\n") + extra + "\r\n" + body;
}

Autoresponder responder(const std::string& name, const std::string& to, const std::string& text,
                        const std::string& mailto = "", const std::string& subject = "") {
    return {0, name, to, subject, name + "@responder.example", "Re: " + name, text, mailto};
}

// Join at join-NAME, post at post-NAME, leave at one address (trailing comma).
MailingList mailingList(const std::string& name, const std::string& welcome = "Hi %name%") {
    const std::string from = name + "@list.example";
    // clang-format off
    MailingList l{0, name, 0, "-- " + name, from, "Welcome", welcome, from, "Goodbye",
                  "Left on %date%", "post-" + name + "@list.example", "",
                  "join-" + name + "@list.example", "", "leave@list.example,", ""};
    // clang-format on
    l.confirm = false;  // subscribed at once; confirmations: subscribe_test
    l.postcheck = 0;    // copied as From says: the exact copies; who may post: posts_test
    return l;
}

// A try's context over a fresh folder and the scripted component.
struct Try {
    Try() {
        Database::createIfMissing(folder.file("data.mdb"));
        Database::upgradeSchema(folder.file("data.mdb"));
        state.db.emplace(Database::open(folder.file("data.mdb")));
        state.settings.chkLEAVE = "0";
        state.settings.txtRUNPROGRAM.clear();
        state.settings.txtSMTP = "smtp.example";
    }
    Database& db() { return *state.db; }

    // Adds the message and readies the component for it as the run driver does.
    long ready(const std::string& raw) {
        if (!mail.popConnected()) {
            mail.popConnect("pop.example", "user", "pw");
        }
        long n = mail.addMessage(raw);
        mail.selectMessage(n);
        mail.fetchHeader();
        const std::string from = extractAddresses(mail.from()), to = extractAddresses(mail.to());
        mail.setFrom(from.empty() ? "(No From)" : from);
        mail.setTo(to.empty() ? "(No To)" : to);
        mail.setSubject(mail.subject().empty() ? "(No Subject)" : mail.subject());
        state.autoresponderRows = db().autoresponders();
        state.listRows = db().lists();
        return n;
    }
    long deliver(const std::string& raw) {
        const long n = ready(raw);
        processMessage(ctx, n);
        return n;
    }
    bool deleted(long n) const { return std::ranges::count(mail.deletedMessages(), n) > 0; }
    // The queue, one "to|from|subject|body" per record.
    Lines queue() {
        Lines out;
        auto cut = [](const std::string& f) { return f.substr(0, f.size() - 2); };
        for (QueueReader r(folder.exists(kQueueFile) ? folder.file(kQueueFile) : "/dev/null");
             !r.atEnd();) {
            QueueRecord q = r.readRecord();
            out.push_back(cut(q.to) + "|" + cut(q.from) + "|" + cut(q.subject) + "|" + cut(q.body));
        }
        return out;
    }
    bool send(const std::string& to, const std::string& body = "x",
              const std::string& subject = "s", const std::string& from = "me@vorel.example") {
        return sendOneMessage(ctx, to, from, "smtp.example", body, subject);
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
    std::string file(const char* name) const {
        return folder.exists(name) ? folder.read(name) : "";
    }

    test::TempFolder folder;
    test::RecordingHost host;
    test::FixedClock clock;
    Reporter report{folder.path(), host, clock};
    test::FakeMailComponent mail;
    RunState state;
    RunContext ctx{folder.path(), state, report, mail, clock, host};
};

struct ProcessingTest : ::testing::Test, Try {};

QueueRecord reply(int n, const std::string& body = "thanks") {
    return {"r" + std::to_string(n) + "@dest.example", "vorel@src.example", "Reply", body};
}

// The bytes appendQueueRecord writes for the records picked (numbered from 1).
std::string queueBytes(const std::vector<QueueRecord>& records, std::vector<std::size_t> picked) {
    test::TempFolder scratch;
    for (std::size_t n : picked) {
        appendQueueRecord(scratch.path(), records[n - 1]);
    }
    return picked.empty() ? std::string() : scratch.read(kQueueFile);
}

TEST(Processing, AutoresponderRuleComparesWholeTextsIgnoringCase) {
    struct Case {
        const char *rowTo, *rowSubject, *to, *subject, *leave;
        bool matches, deletes;
    };
    const Case cases[] = {
        {"info@y.example", "", "info@y.example", "hi", "0", true, true},
        {"info@y.example", "", "INFO@Y.Example", "hi", "1", true, false},
        {"info@y.example", "", "myinfo@y.example", "hi", "", false, false},
        {"info@y.example", "", "info@y.example, b@z.example", "hi", "0", false, false},
        {"x@y.example", "Price List", "a@b.example", "PRICE list", "00", true, false},
        {"x@y.example", "Price List", "a@b.example", "Price List please", "0", false, false},
        {"", "z", "", "hi", "0", false, false},                      // (No To)
        {"x@y.example", "", "a@b.example", "", "0", false, false}};  // (No Subject)
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.to) + " " + c.subject);
        Try t;
        t.db().addAutoresponder(responder("R", c.rowTo, "reply", "", c.rowSubject));
        t.state.settings.chkLEAVE = c.leave;
        long n = t.deliver(message("joe@x.example", c.to, c.subject));
        EXPECT_EQ(t.state.counters.autoresponders, c.matches ? 1 : 0);
        EXPECT_EQ(t.db().autoresponders()[0].Counter, c.matches ? 1 : 0);
        EXPECT_EQ(t.deleted(n), c.deletes);
    }
}

// Every match answers and counts; a blank one only counts; a forward sends it whole.
TEST_F(ProcessingTest, EveryMatchingAutoresponderAnswersForwardsOrOnlyCounts) {
    db().addAutoresponder(responder("Blank", "INFO@y.example", "   "));
    db().addAutoresponder(responder("Fwd", "info@y.example", "", "boss@z.example,b@z.example"));
    db().addAutoresponder(responder("First", "info@y.example", "Dear %name% %email%, %date%"));
    db().addAutoresponder(responder("Other", "sales@y.example", "not sent"));
    const std::string raw = message("Joe Bloggs <joe@x.example>", "Info <info@y.example>", "",
                                    "Hi\r\n%vorelcode%\r\nname=Joe\r\n");
    long n = deliver(raw);
    // The forward keeps the display name; the merge after it sees the bare address.
    EXPECT_EQ(queue(), (Lines{"boss@z.example,b@z.example|Fwd@responder.example|(VOREL FWD) "
                              "Originally From: Joe Bloggs <joe@x.example> (No Subject)|~" +
                                  messageFilePath(folder.path(), "1"),
                              "joe@x.example|First@responder.example|Re: First|Dear Joe "
                              "joe@x.example, 05 December 2026"}));
    EXPECT_EQ(folder.read("1.msg"), raw);
    EXPECT_EQ(state.counters.autoresponders, 3);
    EXPECT_EQ(db().findAutoresponder("Blank")->Counter, 1);
    EXPECT_EQ(db().findAutoresponder("Other")->Counter, 0);
    EXPECT_TRUE(host.hasLogEntry("Autoresponder First Message Sent to joe@x.example"));
    EXPECT_TRUE(deleted(n) && mail.downloads() == 1);

    // An error logs one line and undoes the whole message, forward and counts included.
    mail.failCall("workTextPieces", mail.callCount("workTextPieces") + 3, 10057);  // at First
    n = deliver(message("bob@x.example", "info@y.example", "s"));
    EXPECT_EQ(queue().size(), 2u);
    for (const char* name : {"Blank", "Fwd", "First"}) {
        EXPECT_EQ(db().findAutoresponder(name)->Counter, 1) << name;
    }
    EXPECT_EQ(state.counters.autoresponders, 3);
    EXPECT_FALSE(deleted(n));
    EXPECT_EQ(host.logEntries().back(), "Error Processing 2 " + mailErrorText(10057) +
                                            " Please email this error to support@vorel.example");
    EXPECT_EQ(host.countLogContaining("Error Processing"), 1);
}

// Subscribe, post and leave in turn; a request to several lists is handled for each.
TEST_F(ProcessingTest, ListRequestsInTurn) {
    MailingList quiet = mailingList("QUIET", "");  // no welcome: requests ignored
    quiet.onsubscribeto = "join-NEWS@list.example";
    for (const MailingList& l :
         {mailingList("NEWS", "Welcome %email% %name%"), mailingList("SECOND"), quiet}) {
        db().addList(l);
    }
    db().addMember(Member{0, "NEWS", "a@x.example", ""});
    db().addMember(Member{0, "SECOND", "joe@x.example", ""});
    // The new log lines that begin "Email Address", the new records, deleted or not.
    struct Step {
        std::string from, to, body, log, queued;
        bool deleted;
        std::string extra = "";
    };
    const std::string post = "|Joe <joe@x.example>|News!|Big news\r\n\r\n-- NEWS\n";
    const std::string welcome = "|NEWS@list.example|Welcome|Welcome ";
    const Step steps[] = {
        {"Joe <joe@x.example>", "JOIN-news@list.example", "%vorelcode%\r\nname=Joe\r\n",
         "joe@x.example Added to NEWS\n", "joe@x.example" + welcome + "joe@x.example Joe\n", true},
        {"joe@x.example", "join-NEWS@list.example", "Sign me up\r\n",
         "joe@x.example Already Subscribed to NEWS\n",
         "joe@x.example" + welcome + "joe@x.example %name%\n", true},
        {"joe", "join-NEWS@list.example", "",
         "joe Not permitted to subscribe to  NEWS invalid email address\n", "", false},
        {"Joe <joe@x.example>", "post-NEWS@list.example", "Big news\r\n",
         "joe@x.example Sent Message into NEWS\n", "a@x.example" + post + "joe@x.example" + post,
         true},
        {"stranger@x.example", "post-NEWS@list.example", "", "", "", false},
        {"joe@x.example", "post-NEWS@list.example",
         "--b\r\nContent-Type: text/plain\r\n\r\nsee\r\n--b\r\nContent-Type: application/pdf\r\n"
         "Content-Disposition: attachment; filename=a.pdf\r\n\r\nJVBE\r\n--b--\r\n",
         "joe@x.example Sent Message into NEWS\n", "", false,
         "Content-Type: multipart/mixed; boundary=\"b\"\r\n"},
        {"ann@x.example", "leave@list.example", "",
         "ann@x.example Requested unsubscribe, but not found in NEWS\n"
         "ann@x.example Requested unsubscribe, but not found in SECOND\n"
         "ann@x.example Requested unsubscribe, but not found in QUIET\n",
         "", false},
        {"Joe <JOE@x.example>", "leave@list.example", "",
         "JOE@x.example Deleted from NEWS\nJOE@x.example Deleted from SECOND\n"
         "JOE@x.example Requested unsubscribe, but not found in QUIET\n",
         "JOE@x.example|NEWS@list.example|Goodbye|Left on %date%\r\n\r\nTo subscribe again, "
         "send a message to join-NEWS@list.example.\n"  // no merge
         "JOE@x.example|SECOND@list.example|Goodbye|Left on %date%\r\n\r\nTo subscribe "
         "again, send a message to join-SECOND@list.example.\n",
         true},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.from + " to " + s.to);
        const std::size_t logBefore = host.logEntries().size(), queueBefore = queue().size();
        long n = deliver(message(s.from, s.to, s.to[0] == 'p' ? "News!" : "x", s.body, s.extra));
        std::string log, queued;
        for (std::size_t i = logBefore; i < host.logEntries().size(); ++i) {
            const std::string& e = host.logEntries()[i];
            log += e.rfind("Email Address ", 0) == 0 ? e.substr(14) + "\n" : "";
        }
        for (std::size_t i = queueBefore; i < queue().size(); ++i) {
            queued += queue()[i] + "\n";
        }
        EXPECT_EQ(log, s.log);
        EXPECT_EQ(queued, s.queued);
        EXPECT_EQ(deleted(n), s.deleted);
        if (s.body == "Sign me up\r\n") {  // the welcome's text replaces the stored one
            EXPECT_EQ(db().findMember("NEWS", "joe@x.example")->Data,
                      "From: joe@x.example~To: join-NEWS@list.example~Subject: x~~Sign me up~");
        }
    }
    EXPECT_EQ(state.counters.subscriptions, 2);
    EXPECT_EQ(state.counters.unsubscriptions, 2);
    EXPECT_EQ(db().memberCount("NEWS") + db().memberCount("SECOND") + db().memberCount("QUIET"), 1);
}

// Robots' mail is never answered (0), bulk mail neither (3), another list's by list rules (1).
TEST_F(ProcessingTest, AutomaticAndBulkMessages) {
    const std::pair<const char*, unsigned> cases[] = {
        {"joe@x.example\r\nAuto-Submitted: auto-replied", 0},
        {"joe@x.example\r\nAuto-Submitted: auto-generated; type=vacation", 0},
        {"Mail Delivery <MAILER-DAEMON@x.example>", 0},
        {"Postmaster@x.example", 0},
        {"joe@x.example\r\nX-Mailer: VOREL MAIL http://www.vorel.example GET YOURS FREE", 0},
        {"joe@x.example\r\nList-Id: <other.x.example>", 1},
        {"joe@x.example\r\nPrecedence: bulk", 3},
        {"joe@x.example\r\nPrecedence: junk (spam)", 3},
        {"joe@x.example\r\nX-Autoreply: yes", 3},
        {"joe@x.example\r\nX-Autorespond: yes", 3},
        {"joe@x.example\r\nReturn-Path: <>", 3},
        {"joe@x.example\r\nAUTO-SUBMITTED:  No (me)", 2},
        {"postmaster-info@x.example", 2},
        {"joe@x.example\r\nX-Mailer: Other Mail 1.0", 2}};
    db().addAutoresponder(responder("R", "info@y.example", "reply"));
    MailingList list = mailingList("NEWS");
    list.onsubscribeto = "info@y.example";
    db().addList(list);
    for (const auto& [head, kind] : cases) {
        SCOPED_TRACE(head);
        const std::size_t queued = queue().size(), logged = host.logEntries().size();
        deliver(message(head, "info@y.example", "Re: hi"));
        EXPECT_EQ(queue().size() - queued, kind % 3);
        const std::string note = "Message from:" + mail.from() +
                                 " Subject: Re: hi is an automatic message, not answered";
        EXPECT_EQ(std::count(host.logEntries().begin() + static_cast<long>(logged),
                             host.logEntries().end(), note),
                  kind == 2 ? 0 : 1);
        EXPECT_TRUE(kind > 0 || host.logEntries().size() == logged + 1);
    }
}

// Fields cleaned, HTML only in capitals; "~file" bodies mail only our own message files.
TEST_F(ProcessingTest, ComposesCleansFailsAndRenewsTheConnectionEvery30Messages) {
    const std::string own = messageFilePath(folder.path(), "3");
    folder.write("3.msg", "From: a@b\r\n\r\nforwarded\r\n");
    struct Case {
        std::string to, body, subject, sentTo, sentSubject, subtype;
    };
    const Case cases[] = {
        {"j@x.example\r\n", "<HTML>Hi", "Hi\r\n", "j@x.example", "Hi ", "html"},
        {"J <j@x.example\xFF", "<html>x", "a\r\nb\xFF", "J <j@x.example>", "a b", "plain"},
        {"j@x.example", "~  " + own + "  \r\n", "bare\nLF", "j@x.example", "bare\nLF", "plain"},
        {"j@x.example", "~/etc/passwd\r\n", "s", "j@x.example", "s", "plain"},
        {"j@x.example", "~" + folder.path() + "/../3.msg", "s", "j@x.example", "s", "plain"}};
    state.settings.txtAUTOFORWARD = "Boss <boss@x.example";
    state.settings.chkESMTP = "1";
    state.settings.txtUSERID = "alice";
    for (const auto& c : cases) {
        ASSERT_TRUE(send(c.to, c.body, c.subject, "Me <me@vorel.example\r\n"));
        const OutgoingMessage& m = mail.sent().back();
        const bool file = c.body.rfind("~  ", 0) == 0;
        EXPECT_EQ(m.to + "|" + m.subject + "|" + m.from,
                  c.sentTo + "|" + c.sentSubject + "|Me <me@vorel.example>");
        EXPECT_EQ(m.contentSubtype, c.subtype) << c.body;
        EXPECT_EQ(m.body, file ? "" : c.body);
        EXPECT_EQ(m.sourceFile, file ? own : "");
    }
    const OutgoingMessage& m = mail.sent().back();
    EXPECT_EQ(m.copyTo, "Boss <boss@x.example>");
    EXPECT_EQ(m.messageRef, "202612545296_KESO");
    EXPECT_EQ(m.extraHeaders, Lines{"X-Mailer: VOREL MAIL http://www.vorel.example GET YOURS "
                                    "FREE - This software must NOT be used for spamming"});
    mail.failCall("send", 6, mailcode::kSendRefused);
    EXPECT_FALSE(send("b@y.example", "x", "s\r\n"));
    for (const std::string& line : Lines{
             "Message Sent From: Me <me@vorel.example> to: j@x.example: Host smtp.example Subject "
             "s",
             "Message FAILED From: me@vorel.example to: b@y.example: Host smtp.example Subject s ",
             "Message Failed :  Error:" + mailErrorText(20002) + " message Re-Queued"}) {
        EXPECT_TRUE(host.hasLogEntry(line)) << line;
    }
    for (int i = 7; i <= 65; ++i) {
        ASSERT_TRUE(send("r@x.example"));
    }
    // Sends between the connections: 30, then 31, then the rest.
    std::vector<int> runs{0};
    for (const auto& call : mail.calls()) {
        call == "disconnect" ? runs.push_back(0) : void(runs.back() += call.rfind("send", 0) == 0);
    }
    EXPECT_EQ(runs, (std::vector<int>{30, 31, 4}));
    EXPECT_EQ(mail.calls()[0], "smtpConnect smtp.example 2 alice");
    EXPECT_EQ(host.countLogContaining("Connecting to ESTMP server smtp.example"), 3);
    // A refused connection leaves the flag clear, so the next message connects.
    mail.failCall("smtpConnect", 4, mailcode::kHostNotFound);
    state.smtpConnected = false;
    EXPECT_FALSE(send("c@y.example"));
    EXPECT_TRUE(send("d@y.example"));
    EXPECT_EQ(mail.callCount("smtpConnect"), 5);
}

// A group's records, ledger and deletions wait for its commit; a failing one undoes itself only.
TEST_F(ProcessingTest, AGroupCommitsTogetherAndUndoesOnlyWhatFailed) {
    db().addAutoresponder(responder("Info", "info@y.example", "Dear %email%"));
    for (bool commitFails : {false, true}) {
        SCOPED_TRACE(commitFails);
        const std::size_t queuedBefore = queue().size();
        const std::int64_t counterBefore = db().findAutoresponder("Info")->Counter;
        const int errorsBefore = host.countLogContaining("Error Processing");
        MessageGroup group(ctx);
        std::vector<long> numbers;
        for (const char* who : {"ann", "bob", "cat"}) {
            const std::string from = std::string(who) + (commitFails ? "2" : "") + "@x.example";
            const long n = ready(message(from, "info@y.example", "q"));
            if (std::string(who) == "bob") {
                mail.failForMessage("workTextPieces", n, 10057);  // the merge fails
            }
            group.handle(n, "key:" + from);
            numbers.push_back(n);
        }
        EXPECT_EQ(queue().size(), queuedBefore);
        EXPECT_TRUE(std::ranges::none_of(numbers, [&](long n) { return deleted(n); }));
        EXPECT_EQ(host.countLogContaining("Error Processing"), errorsBefore + 1);
        std::optional<FileLock> held;
        if (commitFails) {
            setQueueLockWait(std::chrono::milliseconds(50));
            held.emplace(folder.file(kQueueLockFile), false);
        }
        EXPECT_EQ(group.commit(), !commitFails);
        held.reset();
        setQueueLockWait(std::chrono::seconds(30));
        const std::string suffix = commitFails ? "2@x.example" : "@x.example";
        EXPECT_EQ(db().isHandled("key:ann" + suffix), !commitFails);
        EXPECT_FALSE(db().isHandled("key:bob" + suffix));
        EXPECT_EQ(db().isHandled("key:cat" + suffix), !commitFails);
        EXPECT_EQ(queue().size(), queuedBefore + (commitFails ? 0 : 2));
        EXPECT_EQ(db().findAutoresponder("Info")->Counter, counterBefore + (commitFails ? 0 : 2));
        EXPECT_EQ(deleted(numbers[0]), !commitFails);
        EXPECT_FALSE(deleted(numbers[1]));
        EXPECT_EQ(deleted(numbers[2]), !commitFails);
        // The failed commit names each message it undid.
        EXPECT_EQ(host.countLogContaining("Error Processing"),
                  errorsBefore + (commitFails ? 3 : 1));
        group.finish();  // every note settled: the journal is emptied
        EXPECT_EQ(file(kQueueJournalFile), "");
    }
}

TEST(SendStep, QueueStepSendsKeepsOrSetsAsideEveryRecord) {
    enum Twist { Requeued, Refused, Cancel, QueueKept, LeftoverNew };
    struct Case {
        Twist twist;
        Lines sent;
        std::vector<std::size_t> left, failed;
    };
    const Case cases[] = {
        {Requeued, {"r1", "r3"}, {2}, {}},
        {Refused, {"r1", "r3"}, {}, {2}},
        {Cancel, {"r1"}, {2, 3}, {}},             // the rest carried over byte for byte
        {QueueKept, {"r1", "r2", "r3"}, {}, {}},  // then the next try goes on after r1
        {LeftoverNew, {}, {1, 2, 3}, {}},         // an earlier step's msgqueue.new
    };
    const std::string longBody = std::string(40000, 'x') + "\r\nend of a long body";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.twist);
        Try t;
        const std::vector<QueueRecord> records = {
            reply(1), reply(2, "~" + messageFilePath(t.folder.path(), "1")), reply(3, longBody)};
        const std::string all = queueBytes(records, {1, 2, 3});
        t.folder.write(c.twist == LeftoverNew ? kQueueNewFile : kQueueFile, all);
        for (const char* name : {"1.msg", "2.msg", "OLD.MSG", "notes.txt"}) {
            t.folder.write(name, "x");
        }
        t.state.counters = {2, 7, 3, 1, 4};  // anti-spam, processed, ..., unsubscriptions
        if (c.twist == Requeued || c.twist == QueueKept || c.twist == Refused) {
            t.mail.failCall(
                "send", 2, c.twist == Refused ? mailcode::kSendRefused : mailcode::kReplyBase + 451,
                c.twist == Refused ? "550 5.1.1 No such user" : "451 4.3.0 Try later");
        }
        t.host.setOnLogEntry([&](const std::string& line) {
            t.state.cancelRequested |= c.twist == Cancel && line.rfind("Message Sent", 0) == 0;
        });
        if (c.twist == QueueKept) {
            std::filesystem::create_directory(t.folder.file(kQueueNewFile));
            t.closeTry();
            EXPECT_EQ(t.file(kQueueFile), all);
            std::filesystem::remove(t.folder.file(kQueueNewFile));
            t.state.smtpConnected = false;  // as a new run starts
        }
        t.closeTry();

        Lines sent;
        for (const auto& m : t.mail.sent()) {
            sent.push_back(m.to.substr(0, 2));
        }
        EXPECT_EQ(sent, c.sent);
        EXPECT_EQ(t.file(kQueueFile), queueBytes(records, c.left));
        EXPECT_EQ(t.file(kFailedQueueFile), queueBytes(records, c.failed));
        EXPECT_FALSE(t.folder.exists(kQueueNewFile));
        EXPECT_FALSE(t.folder.exists(kQueueCursorFile));
        EXPECT_EQ(t.folder.exists("1.msg"), !c.left.empty() || !c.failed.empty());
        EXPECT_FALSE(t.folder.exists("2.msg") || t.folder.exists("OLD.MSG"));
        EXPECT_TRUE(t.folder.exists("notes.txt"));
        const std::string rule(57, '-');
        EXPECT_NE(t.host.logText().find(rule + "\nSTATISTICS\n" + rule +
                                        "\nVorel Processed  : 7 Emails\nAutoresponders  : 3\n"
                                        "Subscriptions     : 1\nUnsubscriptions  : 4\n"
                                        "Anti-Spam Filter :2\n" +
                                        rule + "\n \n"),
                  std::string::npos);
        EXPECT_EQ(t.host.hasLogEntry("1 message(s) refused for good by the server moved to " +
                                     std::string(kFailedQueueFile)),
                  c.twist == Refused);
        EXPECT_EQ(t.host.hasLogEntry("Reconnecting to SMTP Server due to failed message") &&
                      t.mail.calls()[3] == "disconnect",  // r3 goes over a new connection
                  c.twist == Requeued || c.twist == Refused);
    }
}

// Streamed four at a time, outcomes are dealt with in order; a record a lost link left goes again.
TEST(SendStep, StreamDealsWithEachOutcomeInOrder) {
    enum Twist { None, Refused, Lost, LostThenNoConnect, Limit, LimitLast, Cancel, Renewal };
    struct Case {
        Twist twist;
        std::vector<std::size_t> batches;  // as handed to the component
        std::vector<std::size_t> sent, left, failed;
        int reconnects;
    };
    const Case cases[] = {
        {None, {4, 3}, {1, 2, 3, 4, 5, 6, 7}, {}, {}, 0},
        {Refused, {4, 3}, {1, 3, 4, 5, 6, 7}, {}, {2}, 1},
        {Lost, {4, 4, 2}, {1, 2, 3, 4, 5, 6, 7}, {}, {}, 1},  // 2 first on the new connection
        {LostThenNoConnect, {4}, {1}, {2, 3, 4, 5, 6, 7}, {}, 1},
        // The record the limit refused goes last; 4 went behind the refused 3.
        {Limit, {4}, {1, 2, 4}, {5, 6, 7, 3}, {}, 0},
        {LimitLast, {4}, {1, 2, 3}, {5, 6, 7, 4}, {}, 0},
        {Cancel, {4}, {1, 2, 3, 4}, {5, 6, 7}, {}, 0},  // asked for while 1 to 4 were in flight
        {Renewal, {2, 4, 1}, {1, 2, 3, 4, 5, 6, 7}, {}, {}, 0},
    };
    const std::string limit = "550 5.4.5 Daily user sending limit exceeded";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.twist);
        Try t;
        std::vector<QueueRecord> records;
        for (int n = 1; n <= 7; ++n) {
            records.push_back(reply(n));
        }
        t.folder.write(kQueueFile, queueBytes(records, {1, 2, 3, 4, 5, 6, 7}));
        t.mail.setSendWindow(4);
        switch (c.twist) {
            case Refused:
                t.mail.failCall("send", 2, mailcode::kSendRefused, "550 5.1.1 Recipient refused");
                break;
            case LostThenNoConnect:
                t.mail.failCall("smtpConnect", 2, mailcode::kHostNotFound);
                [[fallthrough]];
            case Lost:
                t.mail.failCall("send", 2, mailcode::kNotConnected);
                break;
            case Limit:
            case LimitLast:
                t.mail.failCall("send", c.twist == Limit ? 3 : 4, mailcode::kSendRefused, limit);
                break;
            case Cancel:
                t.host.setOnLogEntry([&](const std::string& line) {
                    t.state.cancelRequested |= line.rfind("Message Sent", 0) == 0;
                });
                break;
            case Renewal:
                t.state.messagesOnConnection = 28;
                break;
            case None:
                break;
        }
        runSendingStep(t.ctx);

        std::vector<std::size_t> sent;
        for (const auto& m : t.mail.sent()) {
            sent.push_back(static_cast<std::size_t>(std::stoi(m.to.substr(1))));
        }
        EXPECT_EQ(sent, c.sent);
        EXPECT_EQ(t.mail.batches(), c.batches);
        EXPECT_EQ(t.file(kQueueFile), queueBytes(records, c.left));
        EXPECT_EQ(t.file(kFailedQueueFile), queueBytes(records, c.failed));
        EXPECT_FALSE(t.folder.exists(kQueueNewFile) || t.folder.exists(kQueueCursorFile));
        EXPECT_EQ(t.host.countLogContaining("Reconnecting to SMTP Server"), c.reconnects);
        EXPECT_EQ(t.host.countLogContaining("Safety check"), c.twist == Renewal ? 1 : 0);
        EXPECT_EQ(t.host.hasLogEntry("The server says a sending limit was reached (" + limit +
                                     "): 4 message(s) wait in the queue for the next run"),
                  c.twist == Limit || c.twist == LimitLast);
    }
}

TEST(SendStep, LogIsMailedInPiecesOf600Then601LinesAndKeptWhenRefused) {
    auto lines = [](int first, int end) {
        std::string text;
        for (int n = first; n < end; ++n) {
            text += "01/01/2026 00:00:00 old entry " + std::to_string(n) + "\r\n";
        }
        return text;
    };
    // The first line of each piece, then one past the last.
    for (const auto& [pieces, refused] : {std::pair{std::vector<int>{1, 601, 601}, false},
                                          {{1, 601, 1202, 1251}, false},
                                          {{1, 6}, true}}) {
        SCOPED_TRACE(pieces.back());
        Try t;
        t.state.settings.txtEMAILLOG = "me@log.example";
        if (refused) {
            t.mail.failCall("send", 0, mailcode::kSendRefused);
        }
        t.folder.write("log.txt", lines(1, pieces.back()));
        t.report.setLogSetting("0");
        sendLogEmail(t.ctx);
        ASSERT_EQ(t.mail.sent().size(), refused ? 0 : pieces.size() - 1);
        for (std::size_t i = 0; i < t.mail.sent().size(); ++i) {
            EXPECT_EQ(t.mail.sent()[i].subject, "*** Email Log from VOREL Software ***");
            EXPECT_EQ(t.mail.sent()[i].body, (i > 0 ? "Continuation of Log.....\r\n\r\n" : "") +
                                                 lines(pieces[i], pieces[i + 1]));
        }
        EXPECT_EQ(t.folder.exists("log.txt"), refused);
    }
}

// The program is not our child (no zombie); one that cannot start is logged once, with its path.
TEST_F(ProcessingTest, EndProgramStartsDetachedAndLeavesNoChild) {
    for (const std::string& command :
         {"touch '" + folder.file("ran") + "'", std::string("C:\\x.exe")}) {
        state.settings.txtRUNPROGRAM = command;
        startEndProgram(ctx);
        EXPECT_EQ(host.statuses().back(), "Calling " + command);
        EXPECT_EQ(
            host.countLogContaining("Could not start the program after the mail run: " + command),
            command[0] == 'C' ? 1 : 0);
        errno = 0;
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }
    for (int i = 0; i < 1000 && !folder.exists("ran"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(folder.exists("ran"));
}

}  // namespace
}  // namespace vorel
