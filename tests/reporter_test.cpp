// The run's log, its server transcript and the Debug Mode box.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/Reporter.h"
#include "store/Settings.h"
#include "support/FakeMailComponent.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

using Lines = std::vector<std::string>;
constexpr auto S = TranscriptDirection::Sent;
constexpr auto R = TranscriptDirection::Received;

struct ReporterTest : ::testing::Test {
    test::TempFolder folder;
    test::RecordingHost host;
    test::FixedClock clock{LocalTime{2026, 3, 5, 7, 4, 9}};
    test::FakeMailComponent mail;
    Reporter report{folder.path(), host, clock};
    ReporterTest() { report.attach(mail); }
};

// Stamped, CR LF, made one safe line; only a setting of exactly "0" stops the file.
TEST_F(ReporterTest, LogLinesAreStampedAndOnlyZeroStopsTheFile) {
    report.addLogLine("Mail Run Started");
    clock.t = LocalTime{2026, 12, 31, 23, 59, 58};
    report.addLogLine("Subject: a\r\n31/12/2026 00:00:00 forged \x1B]0;x\x07");
    EXPECT_EQ(folder.read("log.txt"),
              "05/03/2026 07:04:09 Mail Run Started\r\n"
              "31/12/2026 23:59:58 Subject: a  31/12/2026 00:00:00 forged \uFFFD]0;x\uFFFD\r\n");
    for (const char* setting : {"0", "1", "", "00", " 0", "off"}) {
        std::filesystem::remove(folder.file("log.txt"));
        report.setLogSetting(setting);
        report.addLogLine("entry");
        EXPECT_EQ(folder.exists("log.txt"), std::string(setting) != "0") << '"' << setting << '"';
    }
    EXPECT_EQ(host.logEntries().size(), 8u);

    // Held open between lines, the log still follows its name: removed (mailed,
    // deleted from the settings window), renamed away, or replaced by a link.
    report.setLogSetting("1");
    std::filesystem::remove(folder.file("log.txt"));
    report.addLogLine("one");
    std::filesystem::rename(folder.file("log.txt"), folder.file("old.txt"));
    report.addLogLine("two");
    std::filesystem::remove(folder.file("log.txt"));
    folder.write("target", "");
    std::filesystem::create_symlink(folder.file("target"), folder.file("log.txt"));
    report.addLogLine("three");
    EXPECT_EQ(folder.read("old.txt"), "31/12/2026 23:59:58 one\r\n");
    EXPECT_EQ(folder.read("target"), "");
    EXPECT_TRUE(host.hasLogEntry("log.txt in " + folder.path() +
                                 " is a symbolic link, which Vorel does not follow: nothing is "
                                 "logged to it"));
    std::filesystem::remove(folder.file("log.txt"));
    report.closeLog();
    report.addLogLine("four");
    EXPECT_EQ(folder.read("log.txt"), "31/12/2026 23:59:58 four\r\n");

    Reporter lost("/nonexistent/vorel/folder", host, clock);  // files are skipped
    lost.addLogLine("still shown");
    lost.onTranscript("+OK\r\n", R);
    EXPECT_TRUE(host.hasLogEntry("still shown"));
    EXPECT_EQ(host.debugLines(), Lines{"+OK"});
}

TEST_F(ReporterTest, TranscriptMasksCredentialsAndFollowsDebugMode) {
    struct Step {  // the line handed over, as debug.log holds it, as the list shows it
        TranscriptDirection dir;
        std::string line, fileLine, listLine;
    };
    const std::vector<Step> steps = {
        {S, "PASS s3cret\r\n", "PASS ********", "PASS ******"},
        {R, "-ERR PASS first\r\n", "PASS ********", "PASS ******"},  // anywhere, exact case
        {R, "+OK password and Password pass\r\n", "+OK password and Password pass", ""},
        {R, "+OK lf only\n", "+OK lf only", ""},
        {R, "no end", "no end", ""},
        {R, "ends in 255\xff\r\n", "ends in 255", ""},
        {S, "AUTH LOGIN\r\n", "AUTH LOGIN", ""},
        {R, "+ VXNlcm5hbWU6\r\n", "+ VXNlcm5hbWU6", ""},
        {S, "YWxpY2U=\r\n", "********", ""},
        {R, "334 UGFzc3dvcmQ6\r\n", "334 UGFzc3dvcmQ6", ""},
        {S, "czNjcmV0\r\n", "********", ""},
        {R, "-ERR PASS failed.\r\n", "PASS ********", "PASS ******"},  // ends the exchange
        {S, "QUIT\r\n", "QUIT", ""},
        {S, "APOP alice c4c9334bac560ecc979e58001b3e22fb\r\n", "APOP alice ********", ""},
        {S, "auth login YWxpY2U=\r\n", "auth login ********", ""},
        {R, "235 2.7.0 Authentication successful\r\n", "235 2.7.0 Authentication successful", ""},
        {S, "MAIL FROM:<a@example.org>\r\n", "MAIL FROM:<a@example.org>", ""},
        // IMAP: the tag comes first.
        {S, "A001 LOGIN alice s3cret\r\n", "A001 LOGIN ********", ""},
        {S, "A002 AUTHENTICATE PLAIN AGFsaWNlAHMzY3JldA==\r\n", "A002 AUTHENTICATE PLAIN ********",
         ""},
        {R, "A002 OK Logged in\r\n", "A002 OK Logged in", ""},
        {S, "A003 AUTHENTICATE LOGIN\r\n", "A003 AUTHENTICATE LOGIN", ""},
        {R, "+ VXNlcm5hbWU6\r\n", "+ VXNlcm5hbWU6", ""},
        {S, "YWxpY2U=\r\n", "********", ""},
        {R, "A003 NO failed\r\n", "A003 NO failed", ""},
        {S, "A004 SELECT INBOX\r\n", "A004 SELECT INBOX", ""},
    };
    std::string file;
    Lines list;
    for (const Step& s : steps) {
        report.onTranscript(s.line, s.dir);
        file += s.fileLine + "\r\n";
        list.push_back(s.listLine.empty() ? s.fileLine : s.listLine);
    }
    EXPECT_EQ(folder.read("debug.log"), file);
    EXPECT_EQ(host.debugLines(), list);

    // Debug mode 1 ticks the box and turns the transcript on; any other value
    // clears the list to one line that depends on the box: clearing a ticked
    // box fires its click, which clears the list again.
    report.setDebugMode(false);
    EXPECT_FALSE(mail.transcriptOn() || host.debugModeBox());
    EXPECT_EQ(host.debugLines(),
              Lines{"Debugging Switched Off - Turn on in System Settings or Below"});
    report.setDebugMode(true);
    EXPECT_TRUE(mail.transcriptOn() && host.debugModeBox() && report.debugBox());
    report.onTranscript("+OK\r\n", R);
    report.setDebugMode(debugModeOn("2"));
    EXPECT_FALSE(mail.transcriptOn() || host.debugModeBox());
    EXPECT_EQ(host.debugLines(), Lines{"Debugging Switched Off"});
    report.debugBoxClicked(true);
    EXPECT_TRUE(mail.transcriptOn());
}

}  // namespace
}  // namespace vorel
