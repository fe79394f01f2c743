// The provider's sending limits: a limit reply, the pace and the daily allowance.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "forms/ListPost.h"
#include "run/SendStep.h"
#include "store/Queue.h"
#include "store/SendLimits.h"
#include "support/RunFolder.h"
#include "support/ScriptedServer.h"

namespace vorel {
namespace {

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

void queueRecords(const std::string& folder, int n) {
    for (int i = 0; i < n; ++i) {
        appendQueueRecord(folder, {"m" + std::to_string(i) + "@x.example", "me@shop.example",
                                   "news " + std::to_string(i), "Body " + std::to_string(i)});
    }
}

// By the enhanced code first: only the account's limit stops the step.
TEST(SendingLimits, RepliesThatSayTheAccountReachedALimit) {
    const auto rcpt = SmtpStep::Rcpt, mail = SmtpStep::Mail, data = SmtpStep::Data;
    for (const auto& [reply, step] : std::vector<std::pair<std::string, SmtpStep>>{
             {"550 5.4.5 Daily user sending limit exceeded", rcpt},
             {"421 4.7.0 Try again later", rcpt},
             {"451 4.7.1 Sending rate limit exceeded", mail},
             {"554 5.5.3 Too many recipients", data},
             {"450 Requested action aborted: rate limited", mail},
             {"550 Message limit reached.", data},
             {"452 4.4.5 Insufficient system storage", rcpt}}) {
        EXPECT_TRUE(isAccountLimitReply(reply, step)) << reply;
    }
    for (const auto& [reply, step] : std::vector<std::pair<std::string, SmtpStep>>{
             {"552 5.3.4 Message size exceeds fixed limit", data},
             {"552 5.2.2 quota limit exceeded", rcpt},
             {"452 4.2.2 quota limit exceeded", mail},
             {"550 5.7.1 rate limit exceeded for this recipient", rcpt},
             {"452 4.5.3 too many recipients", rcpt},
             {"450 Requested action aborted: rate limited", rcpt},
             {"550 5.1.1 Recipient refused", rcpt},
             {"553 5.1.8 sender address limit", mail},
             {"554 5.7.1 Delimited content refused", data},
             {"421 Service not available", data},
             {"250 5.4.5 limit", data},
             {"550 5.7.26 DMARC policy", data},
             {"", data},
             {"5.4.5", data}}) {
        EXPECT_FALSE(isAccountLimitReply(reply, step)) << reply;
    }
}

// A refusal sets one record aside (5xx) or last (4xx); only the account's limit stops the step.
TEST(SendingLimits, ARefusedMessageNeverStopsTheQueue) {
    VOREL_SKIP_UNLESS_ROOT();
    test::SmtpServer::Options o;  // one message at a time: no stream sends past a stop
    o.refuseRecipients = {"gone@x.example"};
    o.maxRecipients = 2;
    o.replies = {"data:HUGE FORWARD:552 5.3.4 Message size exceeds fixed limit",
                 "rcpt:quota@:552 5.2.2 quota limit exceeded",
                 "rcpt:rated@:550 5.7.1 Message rejected: rate limit exceeded for this recipient",
                 "rcpt:full@:452 4.2.2 Mailbox full",
                 "mail:busy@:451 4.7.1 Sending rate limit exceeded, try later"};
    test::ServedFolder f(o);
    const std::string me = "me@shop.example";
    for (const auto& [to, from, body] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"big@x.example", me, "HUGE FORWARD"},
             {"quota@x.example", me, "a"},
             {"rated@x.example", me, "b"},
             {"full@x.example", me, "c"},
             {"limited@x.example", "busy@shop.example", "d"},
             {"t1@x.example, t2@x.example, t3@x.example", me, "e"},
             {"gone@x.example", me, "f"},
             {"ok@x.example", me, "g"}}) {
        appendQueueRecord(f.folder.path(), {to, from, "s", body});
    }
    const std::string queue = f.folder.file(kQueueFile), failed = f.folder.file(kFailedQueueFile);
    const std::vector<std::string> rest = {"t1@x.example, t2@x.example, t3@x.example",
                                           "gone@x.example", "ok@x.example"};
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(test::queuedTo(queue), (std::vector<std::string>{"full@x.example", rest[0], rest[1],
                                                               rest[2], "limited@x.example"}));
    EXPECT_EQ(test::queuedTo(failed),
              (std::vector<std::string>{"big@x.example", "quota@x.example", "rated@x.example"}));
    EXPECT_EQ(f.smtp.received().size(), 0u);
    EXPECT_EQ(f.host.countLogContaining("The server says a sending limit was reached (451 4.7.1 "
                                        "Sending rate limit exceeded, try later): 4 message(s)"),
              1)
        << f.host.logText();

    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(test::queuedTo(queue),
              (std::vector<std::string>{"full@x.example", "limited@x.example"}));
    EXPECT_EQ(test::queuedTo(failed),
              (std::vector<std::string>{"big@x.example", "quota@x.example", "rated@x.example",
                                        "gone@x.example"}));
    const auto got = f.smtp.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].rcptTo, (std::vector<std::string>{"t1@x.example", "t2@x.example"}));
    EXPECT_EQ(got[1].rcptTo, (std::vector<std::string>{"t3@x.example"}));
    EXPECT_EQ(got[1].data, got[0].data);
    EXPECT_EQ(got[2].rcptTo, (std::vector<std::string>{"ok@x.example"}));
}

TEST(SendingLimits, PaceWaitsOnTheClockAndAStopEndsTheWait) {
    VOREL_SKIP_UNLESS_ROOT();
    test::ServedFolder f;
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
    EXPECT_EQ(f.smtp.received().size(), 12u);
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
    // The pace counts the last run's sends: this run waits from its start.
    EXPECT_EQ(f.smtp.received().size(), 15u);
    EXPECT_EQ(test::queuedTo(f.folder.file(kQueueFile)).size(), 9u);
}

TEST(SendingLimits, TheDailyAllowanceHoldsAcrossRunsAndOpensAfterADay) {
    VOREL_SKIP_UNLESS_ROOT();
    test::ServedFolder f;
    writeSendLimits(f.folder.path(), {10, 0});
    queueRecords(f.folder.path(), 25);
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_EQ(f.smtp.received().size(), 10u);
    EXPECT_EQ(f.host.countLogContaining("Daily sending limit of 10 recipients reached: 15 "
                                        "message(s) wait in the queue; the allowance opens again "
                                        "at 2026-12-07 08:05"),
              1)
        << f.host.logText();
    advance(f.clock.t, 23 * 3600);
    ASSERT_TRUE(f.run());
    EXPECT_EQ(f.smtp.received().size(), 10u);
    advance(f.clock.t, 3600);
    ASSERT_TRUE(f.run());
    EXPECT_EQ(f.smtp.received().size(), 20u);
    // In order: the first ten, then the next ten.
    EXPECT_EQ(f.smtp.received()[10].rcptTo.at(0), "m10@x.example");
    // Each record counts its recipients; one over a day's allowance goes alone on an empty day.
    std::string eleven = "a0@x.example";
    for (int i = 1; i < 11; ++i) {
        eleven += ", a" + std::to_string(i) + "@x.example";
    }
    appendQueueRecord(f.folder.path(), {eleven, "me@shop.example", "forward", "Eleven"});
    for (const std::size_t sent : {25u, 26u}) {
        advance(f.clock.t, 24 * 3600);
        ASSERT_TRUE(f.run()) << f.host.logText();
        ASSERT_EQ(f.smtp.received().size(), sent);
    }
    EXPECT_EQ(f.smtp.received()[25].rcptTo.size(), 11u);
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

// A damaged value keeps the last good one; sums saturate; links, FIFOs, huge files are not read.
TEST(SendingLimits, DamagedStateFilesKeepTheLastGoodLimits) {
    test::TempFolder folder;
    const std::string path = folder.path(), ini = folder.file(kSendLimitsFile);
    const auto limitsFor = [&](const std::string& text) {
        std::filesystem::remove(ini);
        folder.write(kSendLimitsFile, text);
        return readSendLimitsForRun(path);
    };
    CheckedSendLimits c = limitsFor("dailylimit=ten\r\npace=0x10\r\n");
    EXPECT_EQ(c.limits.dailyLimit, 0);
    ASSERT_EQ(c.problems.size(), 2u);
    EXPECT_EQ(
        c.problems[0],
        "The value \"ten\" of dailylimit in sending.ini is not a whole number: no limit holds");
    c = limitsFor("dailylimit= 2 \r\npace=\t7\r\n");
    EXPECT_EQ(std::make_pair(c.limits.dailyLimit, c.limits.pace), std::make_pair(2L, 7L));
    EXPECT_TRUE(c.problems.empty());
    for (const std::string bad : {"-5", "ten", "2 5", "0x10", "+3", ""}) {
        c = limitsFor("dailylimit=" + bad + "\r\npace=7\r\n");
        EXPECT_EQ(c.limits.dailyLimit, 2) << bad;
        ASSERT_EQ(c.problems.size(), 1u) << bad;
        EXPECT_NE(c.problems[0].find("\"" + bad + "\" of dailylimit"), std::string::npos);
        EXPECT_NE(c.problems[0].find("the value last read well, 2, holds"), std::string::npos);
    }
    std::string utf16 = "\xff\xfe";
    for (const char ch : std::string("dailylimit=9\r\npace=9\r\n")) {
        utf16 += std::string{ch, '\0'};
    }
    c = limitsFor(utf16);
    EXPECT_EQ(std::make_pair(c.limits.dailyLimit, c.limits.pace), std::make_pair(2L, 7L));
    ASSERT_EQ(c.problems.size(), 1u);
    // A FIFO would block the run; a link is not followed.
    std::filesystem::remove(ini);
    ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
    c = readSendLimitsForRun(path);
    EXPECT_EQ(c.limits.dailyLimit, 2);
    std::filesystem::remove(ini);
    folder.write("other.ini", "dailylimit=99\r\n");
    std::filesystem::create_symlink(folder.file("other.ini"), ini);
    EXPECT_EQ(readSendLimitsForRun(path).limits.dailyLimit, 2);
    EXPECT_EQ(readSendLimits(path).dailyLimit, 2);  // what the settings window shows

    // Two entries of 2^63-1 fill any allowance; of a sparse gigabyte only the end is read.
    const std::int64_t now = 1800000000;
    folder.write(kSentLogFile, std::to_string(now - 5) + " 9223372036854775807\n" +
                                   std::to_string(now - 4) + " 9223372036854775807\n");
    EXPECT_EQ(SentLog(path, now).remaining(2), 0);
    std::filesystem::resize_file(folder.file(kSentLogFile), std::uintmax_t{1} << 30);
    { std::ofstream(folder.file(kSentLogFile), std::ios::app) << "\n" << now - 3 << " 1\n"; }
    const SentLog log(path, now);
    EXPECT_EQ(log.sentInWindow(), 1);
    EXPECT_LT(std::filesystem::file_size(folder.file(kSentLogFile)), 100u);
}

// A forward over SIZE is set aside; a reply that never comes ends at the time-out, twice, queued.
TEST(SendingLimits, SizeAndTheTimeOutOfEveryReply) {
    VOREL_SKIP_UNLESS_ROOT();
    // Offers SIZE 2000, records each MAIL line, never answers the end of the data.
    std::mutex mutex;
    std::vector<std::string> mail;
    test::ScriptedServer smtp([&](test::ScriptedServer::Peer& p) {
        p.say("220 silent.example\r\n");
        for (bool data = false; auto l = p.line();) {
            if (data) {
                data = *l != ".";  // and no reply
            } else if (l->rfind("EHLO", 0) == 0) {
                p.say("250-silent.example\r\n250 SIZE 2000\r\n");
            } else {
                data = *l == "DATA";
                if (l->rfind("MAIL", 0) == 0) {
                    std::lock_guard<std::mutex> hold(mutex);
                    mail.push_back(*l);
                }
                p.say(data ? "354 go on\r\n" : "250 ok\r\n");
            }
        }
    });
    test::RunFolder f;
    test::PopServer pop;
    f.pointAt(pop);
    f.s.txtSMTP = smtp.address();
    f.s.txtTIMEOUT = "2";
    // A forward: its size is the message file's.
    f.folder.write("1.msg", "From: a@x.example\r\nSubject: big\r\n\r\n" + std::string(3000, 'b'));
    appendQueueRecord(f.folder.path(), {"big@x.example", "me@shop.example", "Fw: big",
                                        "~" + messageFilePath(f.folder.path(), "1")});
    appendQueueRecord(f.folder.path(), {"small@x.example", "me@shop.example", "small", "Hi"});
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(test::queuedTo(f.folder.file(kQueueFile)),
              std::vector<std::string>{"small@x.example"});
    EXPECT_EQ(test::queuedTo(f.folder.file(kFailedQueueFile)),
              std::vector<std::string>{"big@x.example"});
    EXPECT_EQ(f.host.countLogContaining("bytes, over the 2000 bytes 127.0.0.1 accepts (SIZE)"), 1)
        << f.host.logText();
    std::lock_guard<std::mutex> hold(mutex);
    ASSERT_EQ(mail.size(), 2u);  // the small one, twice
    EXPECT_NE(mail[0].find(" SIZE="), std::string::npos) << mail[0];
}

}  // namespace
}  // namespace vorel
