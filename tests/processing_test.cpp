// Handling of one message against a real data.mdb and queue, with the scripted
// mail component standing in for the POP3 mailbox.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "core/Reporter.h"
#include "core/RunState.h"
#include "mail/Address.h"
#include "mail/Processing.h"
#include "store/Database.h"
#include "store/Queue.h"
#include "support/FakeMailComponent.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

using test::FakeMailComponent;
using test::RecordingHost;
using test::TempFolder;

using test::FixedClock;

std::string message(const std::string& from, const std::string& to, const std::string& subject,
                    const std::string& body = "Hello\r\n", const std::string& extra = "") {
    std::string raw;
    if (!from.empty()) {
        raw += "From: " + from + "\r\n";
    }
    raw += "To: " + to + "\r\n";
    if (!subject.empty()) {
        raw += "Subject: " + subject + "\r\n";
    }
    return raw + extra + "\r\n" + body;
}

Autoresponder responder(const std::string& name, const std::string& to, const std::string& subject,
                        const std::string& text, const std::string& mailto = "") {
    Autoresponder r;
    r.Name = name;
    r.To = to;
    r.Subject = subject;
    r.msgfrom = name + "@responder.example";
    r.msgsubject = "Re: " + name;
    r.message = text;
    r.mailto = mailto;
    return r;
}

MailingList mailingList(const std::string& name) {
    MailingList l;
    l.Name = name;
    l.onsubscribeto = "join-" + name + "@list.example";
    l.subscribefrom = name + "@list.example";
    l.subscribesubject = "Welcome to " + name;
    l.subscribemessage = "Welcome %email% %name%";
    l.onunsubscribeto = "leave-" + name + "@list.example";
    l.unsubscribefrom = name + "@list.example";
    l.unsubscribesubject = "Goodbye";
    l.unsubscribemessage = "Left on %date%";
    l.sendtolistfrom = "post-" + name + "@list.example";
    l.textTOADD = "-- " + name + " list";
    return l;
}

class ProcessingTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string path = folder.file("data.mdb");
        Database::createIfMissing(path);
        Database::upgradeSchema(path);
        state.db.emplace(Database::open(path));
        state.settings.chkLEAVE = "0";
        mail.popConnect("pop.example", "user", "pw");
    }

    Database& db() { return *state.db; }

    // The handling reads the rows the run driver loads at the start of a try.
    void handle(long n) {
        state.autoresponderRows = db().autoresponders();
        state.listRows = db().lists();
        processMessage(ctx, n);
    }

    // Puts a message in the mailbox and leaves the component as the run
    // driver does before handing the message over, then handles it.
    long deliver(const std::string& raw) {
        long n = mail.addMessage(raw);
        mail.selectMessage(n);
        mail.fetchHeader();
        std::string from = extractAddresses(mail.from());
        std::string to = extractAddresses(mail.to());
        std::string subject = mail.subject();
        mail.setFrom(from.empty() ? "(No From)" : from);
        mail.setTo(to.empty() ? "(No To)" : to);
        mail.setSubject(subject.empty() ? "(No Subject)" : subject);
        handle(n);
        return n;
    }

    // The queue as records, each field without the line end reading adds.
    std::vector<QueueRecord> queue() {
        std::vector<QueueRecord> out;
        if (!folder.exists(kQueueFile)) {
            return out;
        }
        QueueReader reader(folder.file(kQueueFile));
        while (!reader.atEnd()) {
            QueueRecord r = reader.readRecord();
            for (std::string* f : {&r.to, &r.from, &r.subject, &r.body}) {
                if (f->size() >= 2) {
                    f->resize(f->size() - 2);
                }
            }
            out.push_back(r);
        }
        return out;
    }

    bool deleted(long n) const {
        const auto& d = mail.deletedMessages();
        return std::find(d.begin(), d.end(), n) != d.end();
    }

    TempFolder folder;
    RecordingHost host;
    FixedClock clock;
    Reporter report{folder.path(), host, clock};
    FakeMailComponent mail;
    RunState state;
    RunContext ctx{folder.path(), state, report, mail, clock, host};
};

struct MatchCase {
    const char* name;
    const char* rowTo;
    const char* rowSubject;
    const char* to;  // as the component holds it
    const char* subject;
    bool matches;
};

TEST_F(ProcessingTest, AutoresponderRuleComparesWholeTextsIgnoringCase) {
    const MatchCase cases[] = {
        {"same To", "info@y.example", "", "info@y.example", "hi", true},
        {"To in other case", "info@y.example", "", "INFO@Y.Example", "hi", true},
        {"To in angle brackets", "info@y.example", "", "<info@y.example>", "hi", true},
        {"To only part of a longer one", "info@y.example", "", "myinfo@y.example", "hi", false},
        {"To among two addresses", "info@y.example", "", "info@y.example,b@z.example", "hi", false},
        {"same Subject other case", "x@y.example", "Price List", "a@b.example", "PRICE list", true},
        {"Subject only contains it", "x@y.example", "Price List", "a@b.example",
         "Price List please", false},
        {"empty row To and no To", "", "z", "(No To)", "hi", false},
        {"empty row Subject and no Subject", "x@y.example", "", "a@b.example", "(No Subject)",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& row : db().autoresponders()) {
            db().deleteAutoresponder(row.id);
        }
        db().addAutoresponder(responder("R", c.rowTo, c.rowSubject, "reply"));
        state.counters = {};
        long n = mail.addMessage(message("joe@x.example", "someone@else.example", "s"));
        mail.selectMessage(n);
        mail.fetchHeader();
        mail.setFrom("joe@x.example");
        mail.setTo(c.to);
        mail.setSubject(c.subject);
        handle(n);
        EXPECT_EQ(state.counters.autoresponders, c.matches ? 1 : 0);
        EXPECT_EQ(deleted(n), c.matches);
    }
}

TEST_F(ProcessingTest, TwoMatchingAutorespondersBothReplyAndCount) {
    db().addAutoresponder(responder("First", "info@y.example", "", "Dear %email%, %date%"));
    db().addAutoresponder(responder("Second", "INFO@y.example", "", "Second reply"));
    db().addAutoresponder(responder("Other", "sales@y.example", "", "not sent"));

    long n = deliver(message("Joe Bloggs <joe@x.example>", "Info <info@y.example>", "hello"));

    auto q = queue();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(
        q[0].to + "|" + q[0].from + "|" + q[0].subject + "|" + q[0].body,
        "joe@x.example|First@responder.example|Re: First|Dear joe@x.example, 05 December 2026");
    EXPECT_EQ(q[1].body, "Second reply");
    EXPECT_EQ(state.counters.autoresponders, 2);
    EXPECT_EQ(db().findAutoresponder("First")->Counter, 1);
    EXPECT_EQ(db().findAutoresponder("Second")->Counter, 1);
    EXPECT_TRUE(host.hasLogEntry("Autoresponder First Message Sent to joe@x.example"));
    EXPECT_TRUE(host.hasLogEntry("Autoresponder Second Message Sent to joe@x.example"));
    EXPECT_TRUE(deleted(n));
    EXPECT_EQ(mail.downloads(), 1);  // both merges share one download
}

TEST_F(ProcessingTest, BlankMessageCountsWithoutReplyingAndForwardsWhole) {
    db().addAutoresponder(responder("Blank", "info@y.example", "", "   "));
    db().addAutoresponder(responder("Fwd", "info@y.example", "", "", "boss@z.example,b@z.example"));
    db().addAutoresponder(responder("After", "info@y.example", "", "to %email%"));
    const std::string raw = message("Joe <joe@x.example>", "info@y.example", "");

    deliver(raw);

    auto q = queue();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0].to, "boss@z.example,b@z.example");
    EXPECT_EQ(q[0].from, "Fwd@responder.example");
    // The forward reads the component after the fetch: display name kept, and
    // an empty subject becomes "(No Subject)".
    EXPECT_EQ(q[0].subject, "(VOREL FWD) Originally From: Joe <joe@x.example> (No Subject)");
    EXPECT_EQ(q[0].body, "~" + messageFilePath(folder.path(), "1"));
    EXPECT_EQ(folder.read("1.msg"), raw);
    // A later merge still sees the bare sender address.
    EXPECT_EQ(q[1].body, "to joe@x.example");
    EXPECT_EQ(state.counters.autoresponders, 3);
    EXPECT_EQ(db().findAutoresponder("Blank")->Counter, 1);

    // The next forward takes the next free file.
    deliver(message("ann@x.example", "info@y.example", "again"));
    EXPECT_EQ(queue()[2].body, "~" + messageFilePath(folder.path(), "2"));
}

TEST_F(ProcessingTest, KeepOnServerSetting) {
    struct Case {
        const char* leave;
        bool matching;
        bool deleted;
    };
    const Case cases[] = {{"0", true, true},
                          {"0", false, false},
                          {"1", true, false},
                          {"", true, false},
                          {"00", true, false}};
    db().addAutoresponder(responder("R", "info@y.example", "", "reply"));
    for (const auto& c : cases) {
        state.settings.chkLEAVE = c.leave;
        long n = deliver(
            message("joe@x.example", c.matching ? "info@y.example" : "nobody@y.example", "s"));
        EXPECT_EQ(deleted(n), c.deleted) << '"' << c.leave << '"' << c.matching;
    }
}

TEST_F(ProcessingTest, ErrorEndsTheMessageWithOneLogLine) {
    db().addAutoresponder(responder("First", "info@y.example", "", "reply"));
    db().addAutoresponder(responder("Second", "info@y.example", "", "reply"));
    mail.failCall("saveWorkFile", 2, 10057);

    long n = deliver(message("joe@x.example", "info@y.example", "s"));

    EXPECT_EQ(queue().size(), 1u);  // what was queued stays
    EXPECT_EQ(db().findAutoresponder("Second")->Counter, 0);
    EXPECT_FALSE(deleted(n));
    EXPECT_TRUE(host.hasLogEntry("Error Processing 1 " + mailErrorText(10057) +
                                 " Please email this error to support@vorel.example"));
    EXPECT_EQ(host.countLogContaining("Error Processing"), 1);
    EXPECT_EQ(host.countLogContaining("No mailling lists"), 0);  // lists not tried
}

TEST_F(ProcessingTest, SubscribeAddsOrRefreshesTheMember) {
    db().addList(mailingList("NEWS"));
    const std::string body = "Sign me up\r\n%vorelcode%\r\nname=Joe\r\n";

    long n1 = deliver(message("Joe <joe@x.example>", "join-NEWS@list.example", "x", body));
    auto q = queue();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].to + "|" + q[0].from + "|" + q[0].subject + "|" + q[0].body,
              "joe@x.example|NEWS@list.example|Welcome to NEWS|Welcome joe@x.example Joe");
    EXPECT_TRUE(host.hasLogEntry("Email Address joe@x.example Added to NEWS"));
    auto members = db().members("NEWS");
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(members[0].Email, "joe@x.example");
    EXPECT_NE(members[0].Data.find("Sign me up~%vorelcode%~name=Joe~"), std::string::npos);
    EXPECT_TRUE(deleted(n1));

    deliver(message("joe@x.example", "JOIN-news@list.example", "x", "%vorelcode%\r\nname=Jo\r\n"));
    EXPECT_TRUE(host.hasLogEntry("Email Address joe@x.example Already Subscribed to NEWS"));
    ASSERT_EQ(queue().size(), 2u);
    EXPECT_EQ(queue()[1].body, "Welcome joe@x.example Jo");
    members = db().members("NEWS");
    ASSERT_EQ(members.size(), 1u);
    EXPECT_NE(members[0].Data.find("name=Jo~"), std::string::npos);
    EXPECT_EQ(members[0].Data.find("Sign me up"), std::string::npos);
    EXPECT_EQ(state.counters.subscriptions, 2);
}

TEST_F(ProcessingTest, SubscribeRefusalsAndListsWithoutWelcome) {
    MailingList quiet = mailingList("QUIET");
    quiet.subscribemessage = "";
    db().addList(mailingList("NEWS"));
    db().addList(quiet);

    long n1 = deliver(message("joe", "join-NEWS@list.example", "x"));
    EXPECT_TRUE(host.hasLogEntry(
        "Email Address joe Not permitted to subscribe to  NEWS invalid email address"));

    long n2 = deliver(message("ann@x.example", "join-QUIET@list.example", "x"));
    EXPECT_TRUE(queue().empty());
    EXPECT_TRUE(db().members("NEWS").empty());
    EXPECT_TRUE(db().members("QUIET").empty());
    EXPECT_EQ(state.counters.subscriptions, 0);
    EXPECT_FALSE(deleted(n1));
    EXPECT_FALSE(deleted(n2));
    EXPECT_EQ(host.countLogContaining("QUIET"), 0);
}

TEST_F(ProcessingTest, UnsubscribeRules) {
    MailingList list = mailingList("NEWS");
    list.onunsubscribeto = "leave@list.example,";  // stored with a trailing comma
    db().addList(list);
    db().addMember(Member{0, "NEWS", "joe@x.example", ""});

    long n1 = deliver(message("ann@x.example", "leave@list.example", "x"));
    EXPECT_TRUE(host.hasLogEntry(
        "Email Address ann@x.example Requested unsubscribe, but not found in NEWS"));
    EXPECT_TRUE(queue().empty());
    EXPECT_FALSE(deleted(n1));

    deliver(message("joe", "leave@list.example", "x"));  // invalid sender: silently ignored
    EXPECT_EQ(host.countLogContaining("Email Address joe "), 0);

    long n3 = deliver(message("Joe <JOE@x.example>", "leave@list.example", "x"));
    EXPECT_TRUE(host.hasLogEntry("Email Address JOE@x.example Deleted from NEWS"));
    EXPECT_TRUE(host.hasLogEntry("Sending unsubscribe message"));
    EXPECT_TRUE(db().members("NEWS").empty());
    EXPECT_EQ(state.counters.unsubscriptions, 1);
    auto q = queue();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].to + "|" + q[0].subject + "|" + q[0].body,
              "JOE@x.example|Goodbye|Left on %date%");  // no merge for the farewell
    EXPECT_TRUE(deleted(n3));
}

TEST_F(ProcessingTest, PostIsCopiedToEveryMember) {
    db().addList(mailingList("NEWS"));
    for (const char* m : {"a@x.example", "joe@x.example", "b@x.example"}) {
        db().addMember(Member{0, "NEWS", m, ""});
    }

    long n1 = deliver(
        message("Joe <joe@x.example>", "post-NEWS@list.example", "News!", "Big news\r\ntoday\r\n"));
    std::string copies;
    for (const auto& r : queue()) {
        copies += r.to + "|" + r.from + "|" + r.subject + "|" + r.body + "\n";
    }
    const std::string copy = "|Joe <joe@x.example>|News!|Big news\r\ntoday\r\n\r\n-- NEWS list\n";
    EXPECT_EQ(copies, "a@x.example" + copy + "joe@x.example" + copy + "b@x.example" + copy);
    EXPECT_TRUE(host.hasLogEntry("Email Address joe@x.example Sent Message into NEWS"));
    EXPECT_TRUE(deleted(n1));

    long n2 = deliver(message("stranger@x.example", "post-NEWS@list.example", "spam"));
    EXPECT_EQ(queue().size(), 3u);
    EXPECT_EQ(host.countLogContaining("stranger"), 0);
    EXPECT_FALSE(deleted(n2));

    const std::string withAttachment = "Content-Type: multipart/mixed; boundary=\"b1\"\r\n";
    long n3 = deliver(message("joe@x.example", "post-NEWS@list.example", "file",
                              "--b1\r\nContent-Type: text/plain\r\n\r\nsee file\r\n"
                              "--b1\r\nContent-Type: application/pdf\r\n"
                              "Content-Disposition: attachment; filename=a.pdf\r\n\r\nJVBE\r\n"
                              "--b1--\r\n",
                              withAttachment));
    EXPECT_EQ(queue().size(), 3u);
    EXPECT_FALSE(deleted(n3));
}

TEST_F(ProcessingTest, MessageMatchingTwoListsIsHandledForBoth) {
    MailingList second = mailingList("SECOND");
    second.onsubscribeto = "join-FIRST@list.example";
    db().addList(mailingList("FIRST"));
    db().addList(second);

    deliver(message("joe@x.example", "join-first@list.example", "x"));

    ASSERT_EQ(queue().size(), 2u);
    EXPECT_EQ(queue()[0].from, "FIRST@list.example");
    EXPECT_EQ(queue()[1].from, "SECOND@list.example");
    EXPECT_EQ(db().members("FIRST").size(), 1u);
    EXPECT_EQ(db().members("SECOND").size(), 1u);
    EXPECT_EQ(state.counters.subscriptions, 2);
}

TEST_F(ProcessingTest, AutomaticMessagesAreNotAnswered) {
    struct Case {
        const char* from;
        const char* extra;
        bool automatic;
    };
    const Case cases[] = {
        {"joe@x.example", "Auto-Submitted: auto-replied\r\n", true},
        {"joe@x.example", "Auto-Submitted: auto-generated; type=vacation\r\n", true},
        {"joe@x.example", "AUTO-SUBMITTED:  No \r\n", false},
        {"Mail Delivery <MAILER-DAEMON@x.example>", "", true},
        {"postmaster@x.example", "", true},
        {"Postmaster@x.example", "", true},
        {"postmaster-info@x.example", "", false},
        {"joe@x.example", "X-Mailer: VOREL MAIL http://www.vorel.example GET YOURS FREE\r\n", true},
        {"joe@x.example", "X-Mailer: Other Mail 1.0\r\n", false},
    };
    db().addAutoresponder(responder("R", "info@y.example", "", "reply"));
    MailingList list = mailingList("NEWS");
    list.onsubscribeto = "info@y.example";
    db().addList(list);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.from + std::string(" ") + c.extra);
        std::size_t before = queue().size();
        std::size_t logBefore = host.logEntries().size();
        long n = deliver(message(c.from, "info@y.example", "Re: hi", "Hello\r\n", c.extra));
        EXPECT_EQ(queue().size(), before + (c.automatic ? 0 : 2));
        EXPECT_EQ(deleted(n), !c.automatic);
        if (c.automatic) {
            ASSERT_EQ(host.logEntries().size(), logBefore + 1);
            EXPECT_EQ(host.logEntries().back(), "Message from:" + extractAddresses(c.from) +
                                                    " Subject: Re: hi is an automatic message, "
                                                    "not answered");
        }
    }
}

}  // namespace
}  // namespace vorel
