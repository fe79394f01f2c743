#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "core/Reporter.h"
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

struct ReporterParts {
    TempFolder folder;
    RecordingHost host;
    FixedClock clock{LocalTime{2026, 3, 5, 7, 4, 9}};
    FakeMailComponent mail;
    Reporter report{folder.path(), host, clock};
    ReporterParts() { report.attach(mail); }
};
struct ReporterFixture : ::testing::Test, ReporterParts {};

// --- log.txt ---------------------------------------------------------------

// Stamped, appended with CR LF, line breaks inside made blanks; only a
// setting of exactly "0" stops the file, the screen gets every line.
TEST_F(ReporterFixture, LogLinesAreStampedAndAppendedWithCrLf) {
    report.addLogLine("Mail Run Started");
    clock.t = LocalTime{2026, 12, 31, 23, 59, 58};
    report.addLogLine("two  blanks kept ");
    report.addLogLine("Subject: a\r\n31/12/2026 00:00:00 forged");
    EXPECT_EQ(folder.read("log.txt"),
              "05/03/2026 07:04:09 Mail Run Started\r\n"
              "31/12/2026 23:59:58 two  blanks kept \r\n"
              "31/12/2026 23:59:58 Subject: a  31/12/2026 00:00:00 forged\r\n");
    for (const char* setting : {"0", "1", "", "00", " 0", "off"}) {
        std::filesystem::remove(folder.file("log.txt"));
        report.setLogSetting(setting);
        report.addLogLine("entry");
        EXPECT_EQ(folder.exists("log.txt"), std::string(setting) != "0") << '"' << setting << '"';
    }
    EXPECT_EQ(host.logEntries().size(), 9u);
}

TEST(ReporterFiles, UnwritableLogFilesAreSkippedSilently) {
    RecordingHost host;
    FixedClock clock;
    Reporter report("/nonexistent/vorel/folder", host, clock);
    EXPECT_NO_THROW(report.addLogLine("still shown"));
    EXPECT_NO_THROW(report.onTranscript("+OK\r\n", TranscriptDirection::Received));
    EXPECT_TRUE(host.hasLogEntry("still shown"));
    EXPECT_EQ(host.debugLines(), (std::vector<std::string>{"+OK"}));
}

// --- transcript ------------------------------------------------------------

struct Step {
    TranscriptDirection dir;
    std::string line;      // as the component hands it over
    std::string fileLine;  // as debug.log must hold it (without CR LF)
    std::string listLine;  // as the list must show it, when not the same
};
constexpr auto S = TranscriptDirection::Sent;
constexpr auto R = TranscriptDirection::Received;

TEST_F(ReporterFixture, TranscriptMasksCredentialsInFileAndList) {
    // "alice" / "s3cret": PLAIN "AGFsaWNlAHMzY3JldA==", LOGIN "YWxpY2U=" "czNjcmV0".
    const std::vector<Step> steps = {
        {R, "+OK Dovecot ready.\r\n", "+OK Dovecot ready.", ""},
        {S, "USER alice\r\n", "USER alice", ""},
        {S, "PASS s3cret\r\n", "PASS ********", "PASS ******"},
        {R, "-ERR PASS first\r\n", "PASS ********", "PASS ******"},  // anywhere, exact case
        {R, "+OK password and Password pass\r\n", "+OK password and Password pass", ""},
        {R, "+OK lf only\n", "+OK lf only", ""},
        {R, "no end", "no end", ""},
        {R, "ends in 255\xff\r\n", "ends in 255", ""},
        // POP3 PLAIN, with the initial response and after a challenge
        {S, "AUTH PLAIN AGFsaWNlAHMzY3JldA==\r\n", "AUTH PLAIN ********", ""},
        {R, "+OK Logged in.\r\n", "+OK Logged in.", ""},
        {S, "AUTH PLAIN\r\n", "AUTH PLAIN", ""},
        {R, "+ \r\n", "+ ", ""},
        {S, "AGFsaWNlAHMzY3JldA==\r\n", "********", ""},
        {R, "+OK Logged in.\r\n", "+OK Logged in.", ""},
        {S, "LIST\r\n", "LIST", ""},
        {S, "APOP alice c4c9334bac560ecc979e58001b3e22fb\r\n", "APOP alice ********", ""},
        // POP3 LOGIN: an answer that is masked itself still ends the exchange
        {S, "AUTH LOGIN\r\n", "AUTH LOGIN", ""},
        {R, "+ VXNlcm5hbWU6\r\n", "+ VXNlcm5hbWU6", ""},
        {S, "YWxpY2U=\r\n", "********", ""},
        {R, "+ UGFzc3dvcmQ6\r\n", "+ UGFzc3dvcmQ6", ""},
        {S, "czNjcmV0\r\n", "********", ""},
        {R, "-ERR PASS failed.\r\n", "PASS ********", "PASS ******"},
        {S, "QUIT\r\n", "QUIT", ""},
        // SMTP LOGIN with the user name on the command line
        {S, "auth login YWxpY2U=\r\n", "auth login ********", ""},
        {R, "334 UGFzc3dvcmQ6\r\n", "334 UGFzc3dvcmQ6", ""},
        {S, "czNjcmV0\r\n", "********", ""},
        {R, "235 2.7.0 Authentication successful\r\n", "235 2.7.0 Authentication successful", ""},
        {S, "MAIL FROM:<alice@example.org>\r\n", "MAIL FROM:<alice@example.org>", ""},
    };
    std::string expectedFile;
    std::vector<std::string> expectedList;
    for (const Step& s : steps) {
        report.onTranscript(s.line, s.dir);
        expectedFile += s.fileLine + "\r\n";
        expectedList.push_back(s.listLine.empty() ? s.fileLine : s.listLine);
    }
    EXPECT_EQ(folder.read("debug.log"), expectedFile);
    EXPECT_EQ(host.debugLines(), expectedList);
}

// --- debug mode ------------------------------------------------------------

TEST_F(ReporterFixture, DebugModeFollowsTheSettingAndTheBox) {
    report.setDebugMode(1);
    EXPECT_TRUE(mail.transcriptOn() && host.debugModeBox() && report.debugBox());
    EXPECT_TRUE(host.debugLines().empty());
    report.debugBoxClicked(false);
    EXPECT_FALSE(mail.transcriptOn());
    EXPECT_EQ(host.debugLines(), (std::vector<std::string>{"Debugging Switched Off"}));
    report.debugBoxClicked(true);
    EXPECT_TRUE(mail.transcriptOn());
}

TEST(ReporterDebugOff, ListEndsWithOneLineThatDependsOnTheBox) {
    const std::string hint = "Debugging Switched Off - Turn on in System Settings or Below";
    struct Case {
        bool boxTickedBefore;
        long value;
        std::string onlyLine;
    };
    // Clearing a ticked box fires its click, which clears the list again.
    for (const Case& c :
         {Case{true, 0, "Debugging Switched Off"}, Case{true, 2, "Debugging Switched Off"},
          Case{false, 0, hint}, Case{false, -1, hint}}) {
        SCOPED_TRACE(c.value);
        ReporterParts f;
        if (c.boxTickedBefore) {
            f.report.setDebugMode(1);
        }
        f.report.onTranscript("+OK earlier\r\n", R);
        f.report.setDebugMode(c.value);
        EXPECT_FALSE(f.mail.transcriptOn());
        EXPECT_FALSE(f.host.debugModeBox());
        EXPECT_EQ(f.host.debugLines(), (std::vector<std::string>{c.onlyLine}));
    }
}

}  // namespace
}  // namespace vorel
