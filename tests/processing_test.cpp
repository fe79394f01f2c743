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
using test::FixedClock;
using test::RecordingHost;
using test::TempFolder;

std::string message(const std::string& from, const std::string& to, const std::string& subject,
                    const std::string& body = "Hello\r\n", const std::string& extra = "") {
    return (from.empty() ? "" : "From: " + from + "\r\n") + "To: " + to + "\r\n" +
           (subject.empty() ? "" : "Subject: " + subject + "\r\n") + extra + "\r\n" + body;
}

Autoresponder responder(const std::string& name, const std::string& to, const std::string& text,
                        const std::string& mailto = "", const std::string& subject = "") {
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
    l.subscribefrom = l.unsubscribefrom = name + "@list.example";
    l.subscribesubject = "Welcome to " + name;
    l.subscribemessage = "Welcome %email% %name%";
    l.onunsubscribeto = "leave-" + name + "@list.example";
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

    // Handles the selected message with the rows the run driver loads at the
    // start of a try.
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

    // The queue, one "to|from|subject|body" per record, without the line
    // ends reading adds.
    std::vector<std::string> queue() {
        std::vector<std::string> out;
        if (!folder.exists(kQueueFile)) {
            return out;
        }
        for (QueueReader reader(folder.file(kQueueFile)); !reader.atEnd();) {
            QueueRecord r = reader.readRecord();
            std::string line;
            for (std::string* f : {&r.to, &r.from, &r.subject, &r.body}) {
                line += (line.empty() ? "" : "|") + f->substr(0, f->size() - 2);
            }
            out.push_back(line);
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

TEST_F(ProcessingTest, AutoresponderRuleComparesWholeTextsIgnoringCase) {
    struct Case {
        const char* rowTo;
        const char* rowSubject;
        const char* to;  // as the component holds it
        const char* subject;
        bool matches;
    };
    const Case cases[] = {{"info@y.example", "", "info@y.example", "hi", true},
                          {"info@y.example", "", "INFO@Y.Example", "hi", true},
                          {"info@y.example", "", "<info@y.example>", "hi", true},
                          {"info@y.example", "", "myinfo@y.example", "hi", false},
                          {"info@y.example", "", "info@y.example,b@z.example", "hi", false},
                          {"x@y.example", "Price List", "a@b.example", "PRICE list", true},
                          {"x@y.example", "Price List", "a@b.example", "Price List please", false},
                          {"", "z", "(No To)", "hi", false},
                          {"x@y.example", "", "a@b.example", "(No Subject)", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.to) + " " + c.subject);
        for (const auto& row : db().autoresponders()) {
            db().deleteAutoresponder(row.id);
        }
        db().addAutoresponder(responder("R", c.rowTo, "reply", "", c.rowSubject));
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

// Every matching autoresponder answers and counts (one download for all
// merges); a blank message counts without a reply; a forward sends the whole
// message from the next free file.
TEST_F(ProcessingTest, EveryMatchingAutoresponderAnswersForwardsOrOnlyCounts) {
    db().addAutoresponder(responder("Blank", "INFO@y.example", "   "));
    db().addAutoresponder(responder("Fwd", "info@y.example", "", "boss@z.example,b@z.example"));
    db().addAutoresponder(responder("First", "info@y.example", "Dear %name% %email%, %date%"));
    db().addAutoresponder(responder("Other", "sales@y.example", "not sent"));
    const std::string raw = message("Joe Bloggs <joe@x.example>", "Info <info@y.example>", "",
                                    "Hi\r\n%vorelcode%\r\nname=Joe\r\n");

    long n = deliver(raw);

    // The forward reads the component after the fetch: display name kept, and
    // an empty subject becomes "(No Subject)"; a later merge still sees the
    // bare sender address.
    EXPECT_EQ(queue(), (std::vector<std::string>{
                           "boss@z.example,b@z.example|Fwd@responder.example|(VOREL FWD) "
                           "Originally From: Joe Bloggs <joe@x.example> (No Subject)|~" +
                               messageFilePath(folder.path(), "1"),
                           "joe@x.example|First@responder.example|Re: First|Dear Joe "
                           "joe@x.example, 05 December 2026"}));
    EXPECT_EQ(folder.read("1.msg"), raw);
    EXPECT_EQ(state.counters.autoresponders, 3);
    EXPECT_EQ(db().findAutoresponder("First")->Counter, 1);
    EXPECT_EQ(db().findAutoresponder("Blank")->Counter, 1);
    EXPECT_EQ(db().findAutoresponder("Other")->Counter, 0);
    EXPECT_TRUE(host.hasLogEntry("Autoresponder First Message Sent to joe@x.example"));
    EXPECT_TRUE(deleted(n));
    EXPECT_EQ(mail.downloads(), 1);

    deliver(message("ann@x.example", "info@y.example", "again"));
    EXPECT_EQ(queue()[2].substr(queue()[2].find('~')), "~" + messageFilePath(folder.path(), "2"));
}

TEST_F(ProcessingTest, OnlyExactlyZeroDeletesAnsweredMail) {
    db().addAutoresponder(responder("R", "info@y.example", "reply"));
    for (const char* leave : {"0", "1", "", "00"}) {
        state.settings.chkLEAVE = leave;
        EXPECT_EQ(deleted(deliver(message("joe@x.example", "info@y.example", "s"))),
                  std::string(leave) == "0")
            << '"' << leave << '"';
    }
    state.settings.chkLEAVE = "0";
    EXPECT_FALSE(deleted(deliver(message("joe@x.example", "nobody@y.example", "s"))));
}

TEST_F(ProcessingTest, ErrorEndsTheMessageWithOneLogLine) {
    db().addAutoresponder(responder("First", "info@y.example", "reply"));
    db().addAutoresponder(responder("Second", "info@y.example", "reply"));
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

TEST_F(ProcessingTest, SubscribeAddsRefreshesOrRefuses) {
    MailingList quiet = mailingList("QUIET");
    quiet.subscribemessage = "";
    db().addList(mailingList("NEWS"));
    db().addList(quiet);

    long n1 = deliver(message("Joe <joe@x.example>", "join-NEWS@list.example", "x",
                              "Sign me up\r\n%vorelcode%\r\nname=Joe\r\n"));
    EXPECT_EQ(queue(), std::vector<std::string>{"joe@x.example|NEWS@list.example|Welcome to "
                                                "NEWS|Welcome joe@x.example Joe"});
    EXPECT_TRUE(host.hasLogEntry("Email Address joe@x.example Added to NEWS"));
    ASSERT_EQ(db().members("NEWS").size(), 1u);
    EXPECT_NE(db().members("NEWS")[0].Data.find("Sign me up~%vorelcode%~name=Joe~"),
              std::string::npos);
    EXPECT_TRUE(deleted(n1));

    deliver(message("joe@x.example", "JOIN-news@list.example", "x", "%vorelcode%\r\nname=Jo\r\n"));
    EXPECT_TRUE(host.hasLogEntry("Email Address joe@x.example Already Subscribed to NEWS"));
    EXPECT_EQ(queue().back(),
              "joe@x.example|NEWS@list.example|Welcome to NEWS|Welcome "
              "joe@x.example Jo");
    const auto members = db().members("NEWS");
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(members[0].Data.find("Sign me up"), std::string::npos);
    EXPECT_EQ(state.counters.subscriptions, 2);

    long n3 = deliver(message("joe", "join-NEWS@list.example", "x"));
    EXPECT_TRUE(host.hasLogEntry(
        "Email Address joe Not permitted to subscribe to  NEWS invalid email address"));
    long n4 = deliver(message("ann@x.example", "join-QUIET@list.example", "x"));
    EXPECT_EQ(queue().size(), 2u);
    EXPECT_EQ(db().memberCount("NEWS") + db().memberCount("QUIET"), 1);
    EXPECT_FALSE(deleted(n3) || deleted(n4));
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
    EXPECT_FALSE(deleted(n1));
    deliver(message("joe", "leave@list.example", "x"));  // invalid sender: silently ignored
    EXPECT_EQ(host.countLogContaining("Email Address joe "), 0);
    EXPECT_TRUE(queue().empty());

    long n3 = deliver(message("Joe <JOE@x.example>", "leave@list.example", "x"));
    EXPECT_TRUE(host.hasLogEntry("Email Address JOE@x.example Deleted from NEWS"));
    EXPECT_TRUE(host.hasLogEntry("Sending unsubscribe message"));
    EXPECT_TRUE(db().members("NEWS").empty());
    EXPECT_EQ(state.counters.unsubscriptions, 1);
    EXPECT_EQ(queue(),  // no merge for the farewell
              std::vector<std::string>{"JOE@x.example|NEWS@list.example|Goodbye|Left on %date%"});
    EXPECT_TRUE(deleted(n3));
}

// A member's post goes to every member in stored order; a stranger's, or one
// with an attachment, is left alone. A message to two lists is handled for both.
TEST_F(ProcessingTest, PostIsCopiedToEveryMember) {
    MailingList second = mailingList("SECOND");
    second.onsubscribeto = "join-NEWS@list.example";
    db().addList(mailingList("NEWS"));
    db().addList(second);
    for (const char* m : {"a@x.example", "joe@x.example", "b@x.example"}) {
        db().addMember(Member{0, "NEWS", m, ""});
    }

    long n1 = deliver(
        message("Joe <joe@x.example>", "post-NEWS@list.example", "News!", "Big news\r\ntoday\r\n"));
    const std::string copy = "|Joe <joe@x.example>|News!|Big news\r\ntoday\r\n\r\n-- NEWS list";
    EXPECT_EQ(queue(), (std::vector<std::string>{"a@x.example" + copy, "joe@x.example" + copy,
                                                 "b@x.example" + copy}));
    EXPECT_TRUE(host.hasLogEntry("Email Address joe@x.example Sent Message into NEWS"));
    EXPECT_TRUE(deleted(n1));

    long n2 = deliver(message("stranger@x.example", "post-NEWS@list.example", "spam"));
    long n3 = deliver(message("joe@x.example", "post-NEWS@list.example", "file",
                              "--b1\r\nContent-Type: text/plain\r\n\r\nsee file\r\n"
                              "--b1\r\nContent-Type: application/pdf\r\n"
                              "Content-Disposition: attachment; filename=a.pdf\r\n\r\nJVBE\r\n"
                              "--b1--\r\n",
                              "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"));
    EXPECT_EQ(queue().size(), 3u);
    EXPECT_EQ(host.countLogContaining("stranger"), 0);
    EXPECT_FALSE(deleted(n2) || deleted(n3));

    deliver(message("ann@x.example", "join-news@list.example", "x"));
    ASSERT_EQ(queue().size(), 5u);
    EXPECT_EQ(queue()[3].substr(0, 33), "ann@x.example|NEWS@list.example|W");
    EXPECT_EQ(queue()[4].substr(0, 35), "ann@x.example|SECOND@list.example|W");
    EXPECT_EQ(db().memberCount("SECOND"), 1);
    EXPECT_EQ(state.counters.subscriptions, 2);
}

TEST_F(ProcessingTest, AutomaticMessagesAreNotAnswered) {
    const std::pair<const char*, const char*> automatic[] = {
        {"joe@x.example", "Auto-Submitted: auto-replied\r\n"},
        {"joe@x.example", "Auto-Submitted: auto-generated; type=vacation\r\n"},
        {"Mail Delivery <MAILER-DAEMON@x.example>", ""},
        {"postmaster@x.example", ""},
        {"Postmaster@x.example", ""},
        {"joe@x.example", "X-Mailer: VOREL MAIL http://www.vorel.example GET YOURS FREE\r\n"}};
    const std::pair<const char*, const char*> personal[] = {
        {"joe@x.example", "AUTO-SUBMITTED:  No \r\n"},
        {"postmaster-info@x.example", ""},
        {"joe@x.example", "X-Mailer: Other Mail 1.0\r\n"}};
    db().addAutoresponder(responder("R", "info@y.example", "reply"));
    MailingList list = mailingList("NEWS");
    list.onsubscribeto = "info@y.example";
    db().addList(list);
    for (const auto& [from, extra] : automatic) {
        SCOPED_TRACE(from + std::string(" ") + extra);
        long n = deliver(message(from, "info@y.example", "Re: hi", "Hello\r\n", extra));
        EXPECT_FALSE(deleted(n));
        EXPECT_EQ(host.logEntries().back(), "Message from:" + extractAddresses(from) +
                                                " Subject: Re: hi is an automatic message, "
                                                "not answered");
    }
    EXPECT_TRUE(queue().empty());
    EXPECT_EQ(host.logEntries().size(), std::size(automatic));
    for (const auto& [from, extra] : personal) {
        SCOPED_TRACE(from + std::string(" ") + extra);
        std::size_t before = queue().size();
        EXPECT_TRUE(
            deleted(deliver(message(from, "info@y.example", "Re: hi", "Hello\r\n", extra))));
        EXPECT_EQ(queue().size(), before + 2);
    }
}

}  // namespace
}  // namespace vorel
