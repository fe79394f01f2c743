// Delivery reports are read, never answered, and hold members whose address is dead.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "mail/Processing.h"
#include "net/Mime.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

void replaceAll(std::string& text, const std::string& mark, const std::string& value) {
    for (std::size_t at; (at = text.find(mark)) != std::string::npos;) {
        text.replace(at, mark.size(), value);
    }
}

// The report from tests/data: a block per recipient, all `status`, with `returned` as the copy.
std::string report(const std::vector<std::string>& recipients, const std::string& status,
                   const std::string& returned) {
    std::string text =
        test::readFile(std::string(VOREL_SOURCE_DIR) + "/tests/data/report-5.1.1.eml");
    const std::size_t from = text.find("Final-Recipient:");
    const std::size_t to = text.find("\n\n", from) + 2;
    std::string blocks;
    for (const std::string& r : recipients) {
        blocks += text.substr(from, to - from);
        replaceAll(blocks, "@RECIPIENT@", r);
    }
    text.replace(from, to - from, blocks);
    replaceAll(text, "@RECIPIENT@", recipients.at(0));
    replaceAll(text, "@STATUS@", status);
    replaceAll(text, "@RETURNED@", returned);
    return text;
}
std::string report(const std::string& recipient, const std::string& status,
                   const std::string& returned) {
    return report(std::vector<std::string>{recipient}, status, returned);
}

// A list NEWS at `news` whose members are `members`, any member may post (who may: posts_test).
void addNews(test::RunFolder& f, const std::string& news, const std::string& join,
             const std::vector<std::string>& members) {
    MailingList l{0, "NEWS", 1, "", news, "", "Welcome", "", "", "", news, "", join, "", "", ""};
    l.confirm = false;
    l.postcheck = 0;
    f.db().addList(l);
    for (const std::string& m : members) {
        f.db().addMember(Member{0, "NEWS", m, ""});
    }
}

// What a report without a proof returns: the list and member in plain text.
std::string unproven(const std::string& member) {
    return "From: \"Frank via NEWS\" <news@shop.example>\nTo: " + member +
           "\nSubject: hello\nX-Vorel-List: NEWS\nX-Vorel-Member: " + member + "\n";
}

TEST(Bounces, ReportIsReadWithItsRecipientStatusAndReturnedFields) {
    const auto parsed = mime::parseMessage(
        report("dead@x.example", "5.1.1",
               unproven("dead@x.example") + "Message-ID: <c1@shop.example>\nX-Vorel-Tag: 0a1b\n"));
    ASSERT_EQ(parsed.deliveryReport.size(), 1u);
    const DeliveryStatus& d = parsed.deliveryReport[0];
    EXPECT_EQ(
        d.recipient + "|" + d.original + "|" + d.action + "|" + d.status + "|" + d.list + "|" +
            d.member + "|" + d.messageId + "|" + d.tag,
        "dead@x.example|dead@x.example|failed|5.1.1|NEWS|dead@x.example|c1@shop.example|0a1b");
    EXPECT_TRUE(mime::parseMessage("From: a@x.example\r\n\r\nHi\r\n").deliveryReport.empty());
    for (const char* hard : {"5.1.1", "5.1.10", "5.2.1"}) {
        EXPECT_TRUE(isHardBounce(hard)) << hard;
    }
    for (const char* soft : {"5.7.1", "5.7.26", "4.1.1", "4.4.1", "5.2.2", ""}) {
        EXPECT_FALSE(isHardBounce(soft)) << soft;
    }
}

TEST(Bounces, OnlyReportsAboutOurCopiesCountOnceADayAndHoldAtThree) {
    VOREL_SKIP_UNLESS_ROOT();
    test::ServedFolder f;
    const std::string news = "news@shop.example";
    addNews(f, news, "news-on@shop.example", {"dead@x.example", "ok@x.example", "gone@x.example"});
    // An autoresponder that would answer anything sent to the list's address.
    f.addAutoresponder(news, "Thanks");
    f.s.chkLEAVE = "0";
    auto bounces = [&](const char* email) { return f.db().findMember("NEWS", email)->bounces; };
    auto notOurs = [&] {
        return f.host.countLogContaining(
            "is a delivery report that is not about a copy Vorel "
            "sent, left on the server");
    };

    // A post, whose copies' headers come back in the reports below.
    f.pop.addMessage("From: ok@x.example\nTo: news@shop.example\nSubject: post\n\nHello\n");
    ASSERT_TRUE(f.run()) << f.host.logText();
    auto copyOf = [&](const std::string& member) {
        std::string head;
        for (const auto& m : f.smtp.received()) {
            if (m.rcptTo.at(0) == member && m.data.find("X-Vorel-Member") != std::string::npos) {
                head = m.data.substr(0, m.data.find("\r\n\r\n") + 2);
            }
        }
        std::erase(head, '\r');
        return head;
    };
    const std::string dead = copyOf("dead@x.example");
    ASSERT_NE(dead.find("\nX-Vorel-Tag: "), std::string::npos) << dead;
    // Where a copy's Message-ID begins (GMime writes "Message-Id").
    auto idAt = [](const std::string& head) { return head.find("Message-Id: <") + 13; };
    std::string forgedTag = dead;  // another Message-ID, so that only the tag could prove it
    forgedTag.replace(idAt(forgedTag), 6, "forged");
    std::vector<std::string> everyone = {"dead@x.example", "ok@x.example", "gone@x.example"};

    // Day one: hard bounce twice, policy, delay, no address; then reports that prove nothing.
    f.pop.addMessage(report("dead@x.example", "5.1.1", dead));
    f.pop.addMessage(report("dead@x.example", "5.1.1", dead));
    f.pop.addMessage(report("ok@x.example", "5.7.1", copyOf("ok@x.example")));
    f.pop.addMessage(report("ok@x.example", "4.4.1", copyOf("ok@x.example")));
    f.pop.addMessage(report("unknown", "5.1.1", copyOf("gone@x.example")));
    const std::string forged[] = {
        report("ok@x.example", "5.1.1", unproven("ok@x.example")),  // no proof
        report("dead@x.example", "5.1.1", forgedTag),
        report("ok@x.example", "5.1.1", dead),                // a proof for another member
        report(everyone, "5.1.1", unproven("ok@x.example")),  // the whole list
        report("friend@y.example", "5.1.1",                   // the user's own mail
               "From: Owner <owner@shop.example>\nTo: friend@y.example\nSubject: lunch\n"
               "Message-ID: <1234@shop.example>\n"),
    };
    for (const std::string& r : forged) {
        f.pop.addMessage(r);
    }
    const std::size_t sent = f.smtp.received().size();
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(f.smtp.received().size(), sent);  // never answered, forwarded or posted
    std::vector<std::string> left;
    for (const std::string& r : forged) {
        left.push_back(mime::toCrlf(r));
    }
    EXPECT_EQ(f.pop.messages(), left);
    EXPECT_EQ(bounces("dead@x.example"), 1);
    EXPECT_EQ(bounces("ok@x.example"), 0);
    EXPECT_EQ(bounces("gone@x.example"), 1);
    EXPECT_EQ(f.host.countLogContaining("Delivery report for dead@x.example: failed 5.1.1 (hard "
                                        "bounce)"),
              2);
    EXPECT_EQ(f.host.countLogContaining("Delivery report for ok@x.example: failed 5.7.1"), 1);
    EXPECT_EQ(notOurs(), 5);

    // Days two and three: held at three, said once; day two's report of 2,000 logs 20.
    for (int day = 2; day <= 3; ++day) {
        f.clock.t.day = 5 + day;
        std::vector<std::string> many = {"dead@x.example"};
        for (int i = 1; i < (day == 2 ? 2000 : 1); ++i) {
            many.push_back("r" + std::to_string(i) + "@y.example");
        }
        f.pop.addMessage(report(many, "5.1.1", dead));
        const int lines = f.host.countLogContaining("Delivery report for ");
        ASSERT_TRUE(f.run()) << f.host.logText();
        if (day == 2) {
            EXPECT_EQ(f.host.countLogContaining("Delivery report for ") - lines, 20);
            EXPECT_TRUE(
                f.host.hasLogEntry("Delivery report from MAILER-DAEMON@mx.shop.example: "
                                   "and 1980 more recipients"))
                << f.host.logText();
        }
    }
    EXPECT_EQ(bounces("dead@x.example"), 3);
    EXPECT_EQ(f.host.countLogContaining("Email Address dead@x.example held in NEWS after 3 hard "
                                        "bounces"),
              1);
    EXPECT_EQ(f.pop.messages(), left);
    // A post by a member: no copy for the held member.
    const std::size_t before = f.smtp.received().size();
    f.pop.addMessage("From: ok@x.example\nTo: news@shop.example\nSubject: post\n\nHello\n");
    ASSERT_TRUE(f.run()) << f.host.logText();
    // Copies carry the list and the member, for reports without a usable recipient.
    auto copies = [&] {
        std::vector<std::string> to;
        const auto all = f.smtp.received();
        for (auto it = all.begin() + static_cast<long>(before); it != all.end(); ++it) {
            const auto& m = *it;
            if (m.data.find("\r\nX-Vorel-List: NEWS\r\nX-Vorel-Member: " + m.rcptTo.at(0) +
                            "\r\n") != std::string::npos) {
                to.push_back(m.rcptTo.at(0));
            }
        }
        std::sort(to.begin(), to.end());
        return to;
    };
    EXPECT_EQ(copies(), (std::vector<std::string>{"gone@x.example", "ok@x.example"}));

    // The held member's own post releases it.
    f.pop.addMessage("From: dead@x.example\nTo: news@shop.example\nSubject: back\n\nHi\n");
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(bounces("dead@x.example"), 0);
    EXPECT_EQ(copies().size(), 5u);

    // So does its own subscribe request.
    for (std::int64_t day = 20000; day < 20003; ++day) {
        f.db().recordBounce("dead@x.example", "NEWS", day);
    }
    f.pop.addMessage("From: dead@x.example\nTo: news-on@shop.example\nSubject: join\n\nHi\n");
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(bounces("dead@x.example"), 0);

    // After 30 quiet days the count restarts; copies forgotten, the tag alone proves a report.
    const std::string gone = copyOf("gone@x.example");
    const std::size_t id = idAt(gone);
    ASSERT_TRUE(f.db().findCopy(gone.substr(id, gone.find('>', id) - id)));
    for (int day = 20; day <= 21; ++day) {
        f.clock.t = {2027, 1, day, 8, 0, 0};
        f.pop.addMessage(report("gone@x.example", "5.1.1", gone));
        ASSERT_TRUE(f.run()) << f.host.logText();
        EXPECT_EQ(bounces("gone@x.example"), day - 19);
        EXPECT_FALSE(f.db().findCopy(gone.substr(id, gone.find('>', id) - id)));
    }
    EXPECT_EQ(notOurs(), 5);
}

// Postfix's own report on a copy to an unknown address of its domain is read by the next run.
TEST(Bounces, RealRelaysReportForAnUnknownMemberIsCounted) {
    VOREL_SKIP_UNLESS_ROOT();
    if (!test::PostfixServer::installed()) {
        GTEST_SKIP() << "needs Postfix (/usr/sbin/postfix)";
    }
    test::RunFolder f;
    const std::string news = "news@me.example";
    addNews(f, news, "", {"dead@me.example", "ok@me.example"});
    test::PopServer pop;
    const std::string home = std::filesystem::path(pop.maildir()).parent_path().string();
    // The list's address is the POP3 user's mailbox; ok@ has one of its own.
    test::PostfixServer relay(
        {"me.example",
         std::filesystem::path(home).parent_path().string(),
         {{news, pop.user() + "/Maildir/"}, {"ok@me.example", pop.user() + "/ok/"}}});
    f.pointAt(pop);
    f.s.txtSMTP = relay.host() + ":" + std::to_string(relay.port());
    f.s.chkLEAVE = "0";

    pop.addMessage("From: ok@me.example\nTo: news@me.example\nSubject: post\n\nHello\n");
    ASSERT_TRUE(f.run()) << f.host.logText();
    // The relay answers at once; its report arrives a moment later.
    for (int i = 0; i < 300 && pop.messageCount() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(pop.messageCount(), 1u) << relay.log();
    ASSERT_NE(pop.messages()[0].find("Status: 5.1.1"), std::string::npos) << pop.messages()[0];

    const std::string before = relay.log();
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(f.host.countLogContaining("Delivery report for dead@me.example: failed 5.1.1 (hard "
                                        "bounce)"),
              1)
        << f.host.logText();
    EXPECT_EQ(f.db().findMember("NEWS", "dead@me.example")->bounces, 1);
    EXPECT_EQ(f.db().findMember("NEWS", "ok@me.example")->bounces, 0);
    EXPECT_EQ(pop.messageCount(), 0u);  // deleted once read
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(relay.log().find("client=", before.size()), std::string::npos)
        << relay.log();  // never answered
}

}  // namespace
}  // namespace vorel
