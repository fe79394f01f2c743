// A mailbox kept on the server for years: more messages than a 16-bit count.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/RunFolder.h"

namespace vorel {
namespace {

TEST(BigMailbox, EveryMessagePastThe16BitCountIsRead) {
    VOREL_SKIP_UNLESS_ROOT();
    constexpr long kMessages = 32800;
    constexpr long kAnswered = 32790;
    test::PopServer pop;
    test::SmtpServer smtp;
    for (long i = 1; i <= kMessages; ++i) {
        const std::string to = i == kAnswered ? "info@me.example" : "other@me.example";
        pop.addMessage("From: p" + std::to_string(i) + "@x.example\nTo: " + to +
                       "\nSubject: s\n\nx\n");
    }

    test::RunFolder f;
    f.addAutoresponder("info@me.example");
    f.pointAt(pop);
    f.pointAt(smtp);
    f.s.txtTIMEOUT = "30";
    ASSERT_TRUE(f.run()) << f.host.logText();
    const test::RecordingHost& host = f.host;
    EXPECT_EQ(f.state.processed, kMessages);
    EXPECT_TRUE(host.hasLogEntry("Autoresponder INFO Message Sent to p32790@x.example"))
        << host.logText();
    EXPECT_EQ(host.statuses().back(), "Mail Run Complete");
    bool sawLast = false;
    for (const auto& status : host.statuses()) {
        sawLast = sawLast || status == "Reading Header 32800 of 32800";
    }
    EXPECT_TRUE(sawLast);
    ASSERT_EQ(smtp.received().size(), 1u);
    EXPECT_EQ(smtp.received()[0].rcptTo, std::vector<std::string>{"p32790@x.example"});
}

}  // namespace
}  // namespace vorel
