#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/Clock.h"
#include "run/Reporter.h"
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

struct ReporterFixture : ::testing::Test {
    TempFolder folder;
    RecordingHost host;
    FixedClock clock{LocalTime{2026, 3, 5, 7, 4, 9}};
    FakeMailComponent mail;
    Reporter report{folder.path(), host, clock};
    ReporterFixture() { report.attach(mail); }
};

// --- log.txt ---------------------------------------------------------------

TEST_F(ReporterFixture, LogLinesAreStampedAndAppendedWithCrLf) {
    report.AddLogLine("Mail Run Started");
    clock.t = LocalTime{2026, 12, 31, 23, 59, 58};
    report.AddLogLine("two  blanks kept ");
    report.AddLogLine("Subject: a\r\n31/12/2026 00:00:00 forged");
    EXPECT_EQ(folder.read("log.txt"),
              "05/03/2026 07:04:09 Mail Run Started\r\n"
              "31/12/2026 23:59:58 two  blanks kept \r\n"
              "31/12/2026 23:59:58 Subject: a  31/12/2026 00:00:00 forged\r\n");
    EXPECT_EQ(host.logEntries().size(), 3u);
}

class LogSetting : public ReporterFixture,
                   public ::testing::WithParamInterface<std::pair<const char*, bool>> {};

TEST_P(LogSetting, OnlyExactlyZeroStopsTheFile) {
    report.setLogSetting(GetParam().first);
    report.AddLogLine("entry");
    EXPECT_EQ(folder.exists("log.txt"), GetParam().second);
    EXPECT_TRUE(host.hasLogEntry("entry"));
}

INSTANTIATE_TEST_SUITE_P(Values, LogSetting,
                         ::testing::Values(std::pair{"0", false}, std::pair{"1", true},
                                           std::pair{"", true}, std::pair{"00", true},
                                           std::pair{" 0", true}, std::pair{"off", true}));

TEST(ReporterFiles, UnwritableLogFilesAreSkippedSilently) {
    RecordingHost host;
    FixedClock clock{LocalTime{2026, 3, 5, 7, 4, 9}};
    Reporter report("/nonexistent/vorel/folder", host, clock);
    EXPECT_NO_THROW(report.AddLogLine("still shown"));
    EXPECT_NO_THROW(report.OnTranscript("+OK\r\n", TranscriptDirection::Received));
    EXPECT_TRUE(host.hasLogEntry("still shown"));
    EXPECT_EQ(host.debugLines(), (std::vector<std::string>{"+OK"}));
}

// --- transcript ------------------------------------------------------------

struct Step {
    TranscriptDirection dir;
    std::string line;      // as the component hands it over
    std::string fileLine;  // as debug.log must hold it (without CR LF)
    std::string listLine;  // as the list must show it
};
constexpr auto S = TranscriptDirection::Sent;
constexpr auto R = TranscriptDirection::Received;

struct Exchange {
    const char* name;
    std::vector<Step> steps;
};

class Transcript : public ReporterFixture, public ::testing::WithParamInterface<Exchange> {};

TEST_P(Transcript, MasksCredentialsInFileAndList) {
    std::string expectedFile;
    std::vector<std::string> expectedList;
    for (const Step& s : GetParam().steps) {
        report.OnTranscript(s.line, s.dir);
        expectedFile += s.fileLine + "\r\n";
        expectedList.push_back(s.listLine);
    }
    EXPECT_EQ(folder.read("debug.log"), expectedFile);
    EXPECT_EQ(host.debugLines(), expectedList);
}

// "alice" / "s3cret": PLAIN "AGFsaWNlAHMzY3JldA==", LOGIN "YWxpY2U=" "czNjcmV0".
INSTANTIATE_TEST_SUITE_P(
    Exchanges, Transcript,
    ::testing::Values(
        Exchange{"UserPass",
                 {{R, "+OK Dovecot ready.\r\n", "+OK Dovecot ready.", "+OK Dovecot ready."},
                  {S, "USER alice\r\n", "USER alice", "USER alice"},
                  {S, "PASS s3cret\r\n", "PASS ********", "PASS ******"},
                  {R, "+OK Logged in.\r\n", "+OK Logged in.", "+OK Logged in."}}},
        Exchange{"PassAnywhereExactCase",
                 {{R, "-ERR PASS first\r\n", "PASS ********", "PASS ******"},
                  {R, "+OK password and Password pass\r\n", "+OK password and Password pass",
                   "+OK password and Password pass"}}},
        Exchange{"LineEndsAndChr255",
                 {{R, "+OK lf only\n", "+OK lf only", "+OK lf only"},
                  {R, "no end", "no end", "no end"},
                  {R, "ends in 255\xff\r\n", "ends in 255", "ends in 255"}}},
        Exchange{"Pop3PlainInitialResponse",
                 {{S, "AUTH PLAIN AGFsaWNlAHMzY3JldA==\r\n", "AUTH PLAIN ********",
                   "AUTH PLAIN ********"},
                  {R, "+OK Logged in.\r\n", "+OK Logged in.", "+OK Logged in."},
                  {S, "STAT\r\n", "STAT", "STAT"}}},
        Exchange{"Pop3PlainAfterChallenge",
                 {{S, "AUTH PLAIN\r\n", "AUTH PLAIN", "AUTH PLAIN"},
                  {R, "+ \r\n", "+ ", "+ "},
                  {S, "AGFsaWNlAHMzY3JldA==\r\n", "********", "********"},
                  {R, "+OK Logged in.\r\n", "+OK Logged in.", "+OK Logged in."},
                  {S, "LIST\r\n", "LIST", "LIST"}}},
        Exchange{"Pop3Login",
                 {{S, "AUTH LOGIN\r\n", "AUTH LOGIN", "AUTH LOGIN"},
                  {R, "+ VXNlcm5hbWU6\r\n", "+ VXNlcm5hbWU6", "+ VXNlcm5hbWU6"},
                  {S, "YWxpY2U=\r\n", "********", "********"},
                  {R, "+ UGFzc3dvcmQ6\r\n", "+ UGFzc3dvcmQ6", "+ UGFzc3dvcmQ6"},
                  {S, "czNjcmV0\r\n", "********", "********"},
                  // An answer that is masked itself still ends the exchange.
                  {R, "-ERR PASS failed.\r\n", "PASS ********", "PASS ******"},
                  {S, "QUIT\r\n", "QUIT", "QUIT"}}},
        Exchange{"SmtpLogin",
                 {{S, "auth login YWxpY2U=\r\n", "auth login ********", "auth login ********"},
                  {R, "334 UGFzc3dvcmQ6\r\n", "334 UGFzc3dvcmQ6", "334 UGFzc3dvcmQ6"},
                  {S, "czNjcmV0\r\n", "********", "********"},
                  {R, "235 2.7.0 Authentication successful\r\n",
                   "235 2.7.0 Authentication successful", "235 2.7.0 Authentication successful"},
                  {S, "MAIL FROM:<alice@example.org>\r\n", "MAIL FROM:<alice@example.org>",
                   "MAIL FROM:<alice@example.org>"}}}),
    [](const auto& p) { return std::string(p.param.name); });

// --- debug mode ------------------------------------------------------------

TEST_F(ReporterFixture, DebugModeOnTicksTheBoxAndStartsTheTranscript) {
    report.SetDebugMode(1);
    EXPECT_TRUE(mail.transcriptOn());
    EXPECT_TRUE(host.debugModeBox());
    EXPECT_TRUE(report.debugBox());
    EXPECT_TRUE(host.debugLines().empty());
}

struct DebugOffCase {
    const char* name;
    bool boxTickedBefore;
    long value;
    const char* onlyLine;
};

class DebugOff : public ReporterFixture, public ::testing::WithParamInterface<DebugOffCase> {};

TEST_P(DebugOff, ListEndsWithOneLineThatDependsOnTheBox) {
    if (GetParam().boxTickedBefore) {
        report.SetDebugMode(1);
    }
    report.OnTranscript("+OK earlier\r\n", R);
    report.SetDebugMode(GetParam().value);
    EXPECT_FALSE(mail.transcriptOn());
    EXPECT_FALSE(host.debugModeBox());
    EXPECT_EQ(host.debugLines(), (std::vector<std::string>{GetParam().onlyLine}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DebugOff,
    ::testing::Values(
        // Clearing a ticked box fires its click, which clears the list again.
        DebugOffCase{"TickedThenZero", true, 0, "Debugging Switched Off"},
        DebugOffCase{"TickedThenTwo", true, 2, "Debugging Switched Off"},
        DebugOffCase{"ClearThenZero", false, 0,
                     "Debugging Switched Off - Turn on in System Settings or Below"},
        DebugOffCase{"ClearThenMinusOne", false, -1,
                     "Debugging Switched Off - Turn on in System Settings or Below"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ReporterFixture, UserClicksSwitchTheTranscript) {
    report.SetDebugMode(1);
    report.DebugBoxClicked(false);
    EXPECT_FALSE(mail.transcriptOn());
    EXPECT_EQ(host.debugLines(), (std::vector<std::string>{"Debugging Switched Off"}));
    report.DebugBoxClicked(true);
    EXPECT_TRUE(mail.transcriptOn());
    // The next try sets the box from the setting again: a ticked box clears.
    report.SetDebugMode(0);
    EXPECT_EQ(host.debugLines(), (std::vector<std::string>{"Debugging Switched Off"}));
}

// --- checkchr255 -----------------------------------------------------------

TEST(Checkchr255, RemovesOneTrailing255Only) {
    const std::vector<std::pair<std::string, std::string>> cases = {{"", ""},
                                                                    {"abc", "abc"},
                                                                    {"abc\xff", "abc"},
                                                                    {"\xff", ""},
                                                                    {"\xff\xff", "\xff"},
                                                                    {"a\xff"
                                                                     "b",
                                                                     "a\xff"
                                                                     "b"},
                                                                    {"abc\xfe", "abc\xfe"}};
    for (const auto& [in, out] : cases) {
        std::string t = in;
        EXPECT_EQ(&checkchr255(t), &t);
        EXPECT_EQ(t, out) << in;
    }
}

}  // namespace
}  // namespace vorel
