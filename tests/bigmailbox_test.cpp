// A mailbox kept on the server for years: more messages than a 16-bit count.
#include <gtest/gtest.h>

#include <string>

#include "support/RunFolder.h"

namespace vorel {
namespace {

TEST(BigMailbox, EveryMessagePastThe16BitCountIsRead) {
    VOREL_SKIP_UNLESS_ROOT();
    test::ServedFolder f;
    for (long i = 1; i <= 32800; ++i) {
        f.pop.addMessage("From: p" + std::to_string(i) + "@x.example\nTo: " +
                         (i == 32790 ? "info" : "other") + "@me.example\nSubject: s\n\nx\n");
    }
    f.addAutoresponder("info@me.example");
    f.s.txtTIMEOUT = "30";
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(f.state.processed, 32800);
    EXPECT_EQ(f.host.statuses().back(), "Mail Run Complete");
    ASSERT_EQ(f.smtp.received().size(), 1u);
    EXPECT_EQ(f.smtp.received()[0].rcptTo, std::vector<std::string>{"p32790@x.example"});
}

}  // namespace
}  // namespace vorel
