// The provider's sending limits: a limit reply, the pace and the daily allowance.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "forms/ListPost.h"
#include "run/SendStep.h"
#include "store/Queue.h"
#include "store/SendLimits.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::time_t epoch(const LocalTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900, tm.tm_mon = t.month - 1, tm.tm_mday = t.day;
    tm.tm_hour = t.hour, tm.tm_min = t.minute, tm.tm_sec = t.second, tm.tm_isdst = -1;
    return std::mktime(&tm);
}

void advance(LocalTime& t, int seconds) {
    const std::time_t later = epoch(t) + seconds;
    std::tm tm{};
    ::localtime_r(&later, &tm);
    t = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

// Queues n records; returns the queue's size before each one.
std::vector<std::uintmax_t> queueRecords(const std::string& folder, int n) {
    std::vector<std::uintmax_t> starts;
    for (int i = 0; i < n; ++i) {
        const std::string path = folder + "/" + kQueueFile;
        starts.push_back(std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0);
        appendQueueRecord(folder, {"m" + std::to_string(i) + "@x.example", "me@shop.example",
                                   "news " + std::to_string(i), "Body " + std::to_string(i)});
    }
    return starts;
}

TEST(SendingLimits, RepliesThatSayALimitWasReached) {
    for (const char* yes :
         {"550 5.4.5 Daily user sending limit exceeded", "421 4.7.0 Try again later",
          "452 4.5.3 Too many recipients", "554 5.5.3 Too many recipients",
          "450 Requested action aborted: rate limited", "550 Message limit reached."}) {
        EXPECT_TRUE(isSendingLimitReply(yes)) << yes;
    }
    for (const char* no : {"550 5.1.1 Recipient refused", "554 5.7.1 Delimited content refused",
                           "250 5.4.5 limit", "550 5.7.26 DMARC policy", "", "5.4.5"}) {
        EXPECT_FALSE(isSendingLimitReply(no)) << no;
    }
}

TEST(SendingLimits, ALimitReplyEndsTheStepAndKeepsTheRestByteForByte) {
    VOREL_SKIP_UNLESS_ROOT();
    test::RunFolder f;
    test::PopServer pop;
    test::SmtpServer::Options o;
    o.limitAfter = 17;
    test::SmtpServer smtp(o);
    f.pointAt(pop);
    f.pointAt(smtp);
    const auto starts = queueRecords(f.folder.path(), 40);
    const std::string queue = f.folder.file(kQueueFile);
    const std::string before = slurp(queue);
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(smtp.received().size(), 17u);
    EXPECT_EQ(smtp.limitedCount(), 1);  // no RCPT after the limit reply
    EXPECT_EQ(slurp(queue), before.substr(starts[17]));
    EXPECT_EQ(f.host.countLogContaining("The server says a sending limit was reached (550 5.4.5 "
                                        "Daily user sending limit exceeded): 23 message(s) wait"),
              1)
        << f.host.logText();
    EXPECT_FALSE(std::filesystem::exists(f.folder.file(kFailedQueueFile)));
}

TEST(SendingLimits, PaceWaitsOnTheClockAndAStopEndsTheWait) {
    VOREL_SKIP_UNLESS_ROOT();
    test::RunFolder f;
    test::PopServer pop;
    test::SmtpServer smtp;
    f.pointAt(pop);
    f.pointAt(smtp);
    writeSendLimits(f.folder.path(), {0, 5});
    queueRecords(f.folder.path(), 12);
    const LocalTime start = f.clock.t;
    int yields = 0;
    f.host.setOnYield([&] {
        ++yields;
        advance(f.clock.t, 1);
        return RunRequests{};
    });
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(smtp.received().size(), 12u);
    // Five a minute: the eleventh message waits two minutes for its turn.
    const std::time_t waited = epoch(f.clock.t) - epoch(start);
    EXPECT_TRUE(waited >= 120 && waited < 180) << waited;

    // A stop while waiting is honoured at once; the rest stays queued.
    queueRecords(f.folder.path(), 12);
    int waits = 0;
    f.host.setOnYield([&] {
        advance(f.clock.t, 1);
        const auto& st = f.host.statuses();
        const bool waiting = !st.empty() && st.back().rfind("Waiting for the sending pace", 0) == 0;
        return RunRequests{waiting && ++waits == 3, {}};
    });
    f.run();
    EXPECT_EQ(waits, 3);
    EXPECT_EQ(smtp.received().size(), 17u);
    QueueReader left(f.folder.file(kQueueFile));
    int n = 0;
    while (!left.atEnd()) {
        left.readRecord();
        ++n;
    }
    EXPECT_EQ(n, 7);
}

TEST(SendingLimits, TheDailyAllowanceHoldsAcrossRunsAndOpensAfterADay) {
    VOREL_SKIP_UNLESS_ROOT();
    test::RunFolder f;
    test::PopServer pop;
    test::SmtpServer smtp;
    f.pointAt(pop);
    f.pointAt(smtp);
    writeSendLimits(f.folder.path(), {10, 0});
    queueRecords(f.folder.path(), 25);
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(smtp.received().size(), 10u);
    EXPECT_EQ(f.host.countLogContaining("Daily sending limit of 10 recipients reached: 15 "
                                        "message(s) wait in the queue; the allowance opens again "
                                        "at 2026-12-07 08:05"),
              1)
        << f.host.logText();
    advance(f.clock.t, 23 * 3600);
    ASSERT_TRUE(f.run());
    EXPECT_EQ(smtp.received().size(), 10u);
    advance(f.clock.t, 3600);
    ASSERT_TRUE(f.run());
    EXPECT_EQ(smtp.received().size(), 20u);
    // In order: the first ten, then the next ten.
    EXPECT_EQ(smtp.received()[10].rcptTo.at(0), "m10@x.example");
    const std::string limit = " With the daily sending limit of 10, it goes out ";
    for (const auto& [members, perDay, days, said] :
         {std::tuple{25, 10, 3, "This post goes to 25 recipients." + limit + "over 3 days."},
          std::tuple{10, 10, 1, "This post goes to 10 recipients." + limit + "within a day."},
          std::tuple{25, 0, 1, std::string("This post goes to 25 recipients.")},
          std::tuple{1, 0, 1, std::string("This post goes to 1 recipient.")}}) {
        EXPECT_EQ(daysToSend(members, perDay), days) << said;
        EXPECT_EQ(postReach(members, perDay), said);
    }
}

}  // namespace
}  // namespace vorel
