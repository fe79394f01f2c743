// Confirmed subscriptions and automatic mail, over the loopback servers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mail/Subscriptions.h"
#include "net/Mime.h"
#include "store/FileLock.h"
#include "store/Queue.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

using Lines = std::vector<std::string>;

std::string message(const std::string& from, const std::string& to, const std::string& subject,
                    const std::string& body = "Hello.\n", const std::string& extra = "") {
    return "From: " + from + "\nTo: " + to + "\nSubject: " + subject + "\n" + extra + "\n" + body;
}

// A list NEWS with every rule set, a POP3 mailbox and an SMTP server.
struct SubscribeTest : ::testing::Test, test::ServedFolder {
    SubscribeTest() { s.chkLEAVE = "0"; }
    MailingList news(bool confirm = true) {
        MailingList l;
        l.Name = "NEWS";
        l.Type = 1;
        l.onsubscribeto = "join@me.example";
        l.subscribefrom = "news@me.example";
        l.subscribesubject = "Welcome to NEWS";
        l.subscribemessage = "Welcome %name%, from %email%.";
        l.onunsubscribeto = "leave@me.example";
        l.unsubscribefrom = "news@me.example";
        l.unsubscribesubject = "Goodbye";
        l.unsubscribemessage = "Sorry to see you go.";
        l.sendtolistfrom = "news@me.example";
        l.confirm = confirm;
        l.postcheck = 0;  // any member by From (who may post: posts_test)
        return l;
    }
    std::string tokenOf(const std::string& sent) {
        return confirmTokenIn(sent.substr(0, sent.find('|', sent.find('|') + 1)));
    }
};

// Ann confirms; a forged request mails Bob only our text; repeats and bad tokens do nothing.
TEST_F(SubscribeTest, ConfirmedByReplyNeverByAStranger) {
    VOREL_SKIP_UNLESS_ROOT();
    db().addList(news());
    pop.addMessage(
        message("Ann <ann@x.example>", "join@me.example", "join", "%vorelcode%\nname=Ann\n"));
    pop.addMessage(message("bob@x.example", "join@me.example", "cheap pills",
                           "Buy now\n%vorelcode%\nname=cheap pills at http://evil.test/buy!\n"));
    Lines sent = runAndCollect();
    ASSERT_EQ(sent.size(), 2u) << host.logText();
    const std::string annToken = tokenOf(sent[0]), bobToken = tokenOf(sent[1]);
    ASSERT_EQ(annToken.size(), 32u);
    EXPECT_NE(annToken, bobToken);
    EXPECT_EQ(sent[1].substr(0, sent[1].find('|', 14)),
              "bob@x.example|Welcome to NEWS [confirm " + bobToken + "]");
    const std::string text = sent[1].substr(sent[1].find('|', 14) + 1);
    for (const char* theirs : {"pills", "evil", "Buy", "%name%", "Welcome "}) {
        EXPECT_EQ(text.find(theirs), std::string::npos) << theirs << text;
    }
    EXPECT_NE(sent[1].find("bob@x.example to the mailing list NEWS"), std::string::npos);
    EXPECT_EQ(db().memberCount("NEWS"), 0);
    EXPECT_EQ(state.subscriptions, 0);
    EXPECT_EQ(pop.messageCount(), 0u);

    const std::string toBob = "Re: Welcome to NEWS [confirm " + bobToken + "]",
                      toAnn = "Re: Welcome to NEWS [confirm " + annToken + "]";
    const std::string j = "join@me.example", n = "news@me.example", no = "Confirmation refused: ";
    struct Step {
        std::string from, to, subject, log;
        Lines sent = {};  // recipient|subject|text
    };
    const Step steps[] = {
        {"bob@x.example", j, "again", "Already asked to join NEWS, waiting for the confirmation"},
        {"eve@x.example", n, toBob, no + "the token was sent to another address"},
        {"bob@x.example", n, "confirm " + std::string(32, 'a'), no + "unknown token"},
        {"ann@x.example",
         n,
         toAnn,
         "Added to NEWS",
         {"ann@x.example|Welcome to NEWS|Welcome Ann, from ann@x.example.\r\n"}},
        {"ann@x.example", n, toAnn, no + "unknown token"},
        {"ANN@x.example", j, "join", "Already Subscribed to NEWS"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.from + " " + step.log);
        pop.addMessage(message(step.from, step.to, step.subject));
        EXPECT_EQ(runAndCollect(), step.sent);
        EXPECT_TRUE(host.hasLogEntry("Email Address " + step.from + " " + step.log))
            << host.logText();
    }
    EXPECT_EQ(state.subscriptions, 0);  // the last run's: a member's request counts nothing
    const Member ann = db().findMember("NEWS", "ann@x.example").value();
    EXPECT_NE(ann.Data.find("name=Ann~"), std::string::npos) << ann.Data;
    EXPECT_EQ(db().memberCount("NEWS"), 1);
    ASSERT_TRUE(db().findPending("NEWS", "bob@x.example"));

    // 73 hours later Bob's token is no good; a new request then mails a new one.
    test::sqlRows(folder.file("data.mdb"), "UPDATE pending SET Asked = Asked - 73 * 3600");
    pop.addMessage(message("bob@x.example", "news@me.example",
                           "Re: Welcome to NEWS [confirm " + bobToken + "]"));
    EXPECT_EQ(runAndCollect(), Lines{});
    EXPECT_TRUE(
        host.hasLogEntry("Email Address bob@x.example Confirmation refused: the token has "
                         "expired"));
    EXPECT_FALSE(db().findMember("NEWS", "bob@x.example"));
    pop.addMessage(message("bob@x.example", "join@me.example", "join"));
    sent = runAndCollect();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(tokenOf(sent[0]), bobToken);

    // Typed with the ASCII form of her domain, Zoe is the sender of the readable form.
    db().addMember({0, "NEWS", "zoe@xn--mller-kva.example", ""});
    pop.addMessage(message("Zoe <zoe@XN--MLLER-KVA.example>", "leave@me.example", "bye"));
    EXPECT_EQ(runAndCollect().size(), 1u);  // the farewell
    EXPECT_EQ(db().memberCount("NEWS"), 1);
}

// By hand the member is stored first: a locked queue never means a welcome to a non-member.
TEST_F(SubscribeTest, ByHandTheWelcomeIsQueuedOnceTheMemberIsStored) {
    VOREL_SKIP_UNLESS_ROOT();
    Database d = db();
    const MailingList l = news();
    d.addList(l);
    d.addPending({0, "NEWS", "ann@x.example", "", std::string(32, 'a'), epochSeconds(clock.now())});
    setQueueLockWait(std::chrono::milliseconds(100));
    {
        FileLock held(folder.file(kQueueLockFile), false);
        EXPECT_THROW(confirmByHand(d, folder.path(), l, d.pendingOf("NEWS").at(0), clock.now()),
                     QueueLocked);
    }
    setQueueLockWait(std::chrono::seconds(30));
    EXPECT_TRUE(d.findMember("NEWS", "ann@x.example"));
    EXPECT_TRUE(d.pendingOf("NEWS").empty());
    EXPECT_FALSE(folder.exists(kQueueFile));
}

// 50 confirmations a run, the rest wait at 20 log lines; requests expire after 72 hours.
TEST_F(SubscribeTest, AFloodOfRequestsCostsLittle) {
    VOREL_SKIP_UNLESS_ROOT();
    db().addList(news());
    MailingList other = news();
    other.Name = "OTHER";
    other.onsubscribeto = "join-other@me.example";
    db().addList(other);
    constexpr std::size_t kFlood = 2000;
    for (std::size_t i = 0; i < kFlood; ++i) {
        pop.addMessage(message("p" + std::to_string(i) + "@x.example",
                               i % 2 ? "join@me.example" : "join-other@me.example", "join"));
    }
    for (std::size_t r = 1; r <= 2; ++r) {
        SCOPED_TRACE(r);
        const Lines sent = runAndCollect();
        ASSERT_EQ(sent.size(), 50u);
        EXPECT_EQ(sent[0].substr(0, sent[0].find('|')),
                  "p" + std::to_string(50 * (r - 1)) + "@x.example");
        EXPECT_EQ(pop.messageCount(), kFlood - 50 * r);
        EXPECT_EQ(host.countLogContaining("Subscribe request left for the next run"),
                  static_cast<int>(20 * r));
        EXPECT_TRUE(host.hasLogEntry("And " + std::to_string(kFlood - 50 * r - 20) +
                                     " more subscribe requests left for the next run"))
            << host.logText();
    }
    EXPECT_EQ(db().pendingOf("NEWS").size() + db().pendingOf("OTHER").size(), 100u);
    test::sqlRows(folder.file("data.mdb"), "UPDATE pending SET Asked = Asked - 73 * 3600");
    EXPECT_EQ(runAndCollect().size(), 50u);
    EXPECT_TRUE(
        host.hasLogEntry("100 expired subscribe requests removed (not confirmed within 72 hours)"));
    EXPECT_EQ(db().pendingOf("NEWS").size() + db().pendingOf("OTHER").size(), 50u);
}

// Mail sent by a program is never a post, a subscribe request or a confirmation.
TEST_F(SubscribeTest, AutomaticMailIsNeitherPostNorRequest) {
    VOREL_SKIP_UNLESS_ROOT();
    db().addList(news());
    struct Case {
        std::string header;
        bool taken;
    };
    const Case cases[] = {
        {"Auto-Submitted: auto-replied\n", false},
        {"Precedence: bulk\n", false},
        {"Precedence: LIST\n", false},
        {"List-Id: NEWS <news.me.example>\n", false},  // our copy back through a relay
        {"List-Id: <News.Me.Example>\n", false},
        {"Auto-Submitted: no\n", true},
        {"List-Id: Other <other.example.org>\n", true},
        {"Precedence: first-class\n", true},
        {"X-Mailer: Something else\n", true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string k = std::to_string(i);
        db().addMember(Member{0, "NEWS", "m" + k + "@x.example", ""});
        pop.addMessage(
            message("s" + k + "@x.example", "join@me.example", "join", "x\n", cases[i].header));
        pop.addMessage(message("m" + k + "@x.example", "news@me.example", "post " + k,
                               "Text " + k + "\n", cases[i].header));
    }
    const Lines sent = runAndCollect();
    const auto count = [&sent](const std::string& start) {
        return std::ranges::count_if(sent,
                                     [&](const std::string& l) { return l.starts_with(start); });
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].header);
        const std::string k = std::to_string(i);
        EXPECT_EQ(count("s" + k + "@x.example|Welcome to NEWS [confirm "), cases[i].taken);
        EXPECT_EQ(count("m0@x.example|post " + k + "|"), cases[i].taken);
    }
    // A vacation reply quoting the confirmation's Subject does not confirm.
    std::string token;
    for (const std::string& line : sent) {
        token = line.rfind("s5@x.example|", 0) == 0 ? tokenOf(line) : token;
    }
    ASSERT_EQ(token.size(), 32u);
    for (const char* marker :
         {"Auto-Submitted: auto-replied\n", "Precedence: bulk\n", "X-Auto-Response-Suppress: All\n",
          "X-MS-Exchange-Inbox-Rules-Loop: s5@x.example\n", "X-Autogenerated: Reply\n"}) {
        pop.addMessage(message("s5@x.example", "news@me.example",
                               "Away: Welcome to NEWS [confirm " + token + "]", "Away.\n", marker));
    }
    EXPECT_EQ(runAndCollect(), Lines{});
    EXPECT_FALSE(db().findMember("NEWS", "s5@x.example"));
}

// A data.mdb from before the switch: its lists ask to confirm; the switch is stored both ways.
TEST(SubscribeSchema, OldListsAskToConfirmAndTheSwitchIsStored) {
    test::TempFolder f;
    const std::string path = f.file("data.mdb");
    Database::createIfMissing(path);
    test::sqlRows(path,
                  "ALTER TABLE mailling DROP COLUMN confirm; INSERT INTO mailling (Name, "
                  "subscribemessage) VALUES ('OLD', 'Hi')");
    Database::upgradeSchema(path);
    Database db = Database::open(path);
    MailingList old = db.findList("old").value();
    EXPECT_TRUE(old.confirm);
    old.confirm = false;
    db.updateList(old);
    EXPECT_FALSE(db.findList("OLD")->confirm);
    old.confirm = true;
    db.updateList(old);
    EXPECT_TRUE(db.findList("OLD")->confirm);

    // Pending requests: one per list and address, found by token, dropped with the list.
    db.addPending({0, "OLD", "a@x.example", "data", "t1", 100});
    db.addPending({0, "OLD", "A@x.example", "data2", "t2", 200});
    db.addPending({0, "OTHER", "a@x.example", "", "t3", 300});
    ASSERT_EQ(db.pendingOf("old").size(), 1u);
    EXPECT_EQ(db.pendingOf("OLD")[0].Data, "data2");
    EXPECT_FALSE(db.findPendingToken("t1"));
    EXPECT_EQ(db.findPendingToken("t2")->Asked, 200);
    db.deletePendingOf("OLD");
    EXPECT_TRUE(db.pendingOf("OLD").empty());
    EXPECT_EQ(db.pendingOf("OTHER").size(), 1u);
}

// Tokens are 128 random bits; a Subject holds one anywhere, in any letter case.
TEST(SubscribeTokens, MadeAndFound) {
    const std::string a = newConfirmToken(), b = newConfirmToken();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
    const std::string t = "0123456789abcdef0123456789abcdef";
    const std::pair<std::string, std::string> subjects[] = {
        {"Re: Welcome [confirm " + t + "]", t},
        {"CONFIRM 0123456789ABCDEF0123456789ABCDEF", t},
        {"Fwd: confirm x, confirm " + t, t},
        {"confirm " + t + "0", ""},  // longer: someone else's token
        {"confirm " + t.substr(1), ""},
        {"confirm" + t, ""},
        {"", ""}};
    for (const auto& [subject, token] : subjects) {
        EXPECT_EQ(confirmTokenIn(subject), token) << subject;
    }
}

}  // namespace
}  // namespace vorel
