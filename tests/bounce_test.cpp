// Delivery reports are read, never answered, and hold members whose address is dead.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "mail/Processing.h"
#include "net/Mime.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

// The report from tests/data with its recipient, status and returned member.
std::string report(const std::string& recipient, const std::string& status,
                   const std::string& member) {
    std::ifstream in(std::string(VOREL_SOURCE_DIR) + "/tests/data/report-5.1.1.eml",
                     std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), {}};
    for (const auto& [mark, value] : {std::pair<std::string, std::string>{"@RECIPIENT@", recipient},
                                      {"@STATUS@", status},
                                      {"@MEMBER@", member}}) {
        for (std::size_t at; (at = text.find(mark)) != std::string::npos;) {
            text.replace(at, mark.size(), value);
        }
    }
    return text;
}

TEST(Bounces, ReportIsReadWithItsRecipientStatusAndReturnedFields) {
    const auto parsed = mime::parseMessage(report("dead@x.example", "5.1.1", "dead@x.example"));
    ASSERT_EQ(parsed.deliveryReport.size(), 1u);
    const DeliveryStatus& d = parsed.deliveryReport[0];
    EXPECT_EQ(d.recipient + "|" + d.action + "|" + d.status + "|" + d.list + "|" + d.member,
              "dead@x.example|failed|5.1.1|NEWS|dead@x.example");
    EXPECT_TRUE(mime::parseMessage("From: a@x.example\r\n\r\nHi\r\n").deliveryReport.empty());
    for (const char* hard : {"5.1.1", "5.1.10", "5.2.1"}) {
        EXPECT_TRUE(isHardBounce(hard)) << hard;
    }
    for (const char* soft : {"5.7.1", "5.7.26", "4.1.1", "4.4.1", "5.2.2", ""}) {
        EXPECT_FALSE(isHardBounce(soft)) << soft;
    }
}

TEST(Bounces, HardBouncesCountOnceADayAndHoldAtThree) {
    VOREL_SKIP_UNLESS_ROOT();
    test::RunFolder f;
    const std::string news = "news@shop.example";
    f.db().addList({0, "NEWS", 1, "", news, "", "Welcome", "", "", "", news, "",
                    "news-on@shop.example", "", "", "", false});
    for (const char* m : {"dead@x.example", "ok@x.example", "gone@x.example"}) {
        f.db().addMember(Member{0, "NEWS", m, ""});
    }
    // An autoresponder that would answer anything sent to the list's address.
    f.addAutoresponder(news, "Thanks");
    test::PopServer pop;
    test::SmtpServer smtp;
    f.pointAt(pop);
    f.pointAt(smtp);
    f.s.chkLEAVE = "0";
    auto bounces = [&](const char* email) { return f.db().findMember("NEWS", email)->bounces; };

    // Day one: a hard bounce, the same again, a policy refusal, a delay, and
    // a report whose recipient is no address but whose returned header names the member.
    pop.addMessage(report("dead@x.example", "5.1.1", "dead@x.example"));
    pop.addMessage(report("dead@x.example", "5.1.1", "dead@x.example"));
    pop.addMessage(report("ok@x.example", "5.7.1", "ok@x.example"));
    pop.addMessage(report("ok@x.example", "4.4.1", "ok@x.example"));
    pop.addMessage(report("unknown", "5.1.1", "gone@x.example"));
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_TRUE(smtp.received().empty());  // never answered, forwarded or posted
    EXPECT_EQ(pop.messageCount(), 0u);     // deleted once read
    EXPECT_EQ(bounces("dead@x.example"), 1);
    EXPECT_EQ(bounces("ok@x.example"), 0);
    EXPECT_EQ(bounces("gone@x.example"), 1);
    EXPECT_EQ(f.host.countLogContaining("Delivery report for dead@x.example: failed 5.1.1 (hard "
                                        "bounce)"),
              2);
    EXPECT_EQ(f.host.countLogContaining("Delivery report for ok@x.example: failed 5.7.1"), 1);

    // Days two and three: held at three, logged once.
    for (int day = 2; day <= 3; ++day) {
        f.clock.t.day = 5 + day;
        pop.addMessage(report("dead@x.example", "5.1.1", "dead@x.example"));
        ASSERT_TRUE(f.run()) << f.host.logText();
    }
    EXPECT_EQ(bounces("dead@x.example"), 3);
    EXPECT_EQ(f.host.countLogContaining("Email Address dead@x.example held in NEWS after 3 hard "
                                        "bounces"),
              1);

    // A post by a member: no copy for the held member.
    pop.addMessage("From: ok@x.example\nTo: news@shop.example\nSubject: post\n\nHello\n");
    ASSERT_TRUE(f.run()) << f.host.logText();
    // Copies carry the list and the member, for reports without a usable recipient.
    auto copies = [&] {
        std::vector<std::string> to;
        for (const auto& m : smtp.received()) {
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
    pop.addMessage("From: dead@x.example\nTo: news@shop.example\nSubject: back\n\nHi\n");
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(bounces("dead@x.example"), 0);
    EXPECT_EQ(copies().size(), 5u);

    // So does its own subscribe request.
    for (std::int64_t day = 20000; day < 20003; ++day) {
        f.db().recordBounce("dead@x.example", "NEWS", day);
    }
    pop.addMessage("From: dead@x.example\nTo: news-on@shop.example\nSubject: join\n\nHi\n");
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(bounces("dead@x.example"), 0);

    // Thirty days without a bounce: the count starts again.
    f.clock.t = {2027, 1, 20, 8, 0, 0};
    pop.addMessage(report("gone@x.example", "5.1.1", "gone@x.example"));
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(bounces("gone@x.example"), 1);
}

// A real relay's own report: Postfix accepts a copy for an unknown address of
// its domain, bounces it to the list's address, and the next run reads it.
TEST(Bounces, RealRelaysReportForAnUnknownMemberIsCounted) {
    VOREL_SKIP_UNLESS_ROOT();
    if (!test::PostfixServer::installed()) {
        GTEST_SKIP() << "needs Postfix (/usr/sbin/postfix)";
    }
    test::RunFolder f;
    const std::string news = "news@me.example";
    f.db().addList(
        {0, "NEWS", 1, "", news, "", "Welcome", "", "", "", news, "", "", "", "", "", false});
    for (const char* m : {"dead@me.example", "ok@me.example"}) {
        f.db().addMember(Member{0, "NEWS", m, ""});
    }
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
