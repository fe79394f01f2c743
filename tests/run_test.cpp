// The mail run driver with the scripted component and over the loopback
// servers, and vorel run as the built binary.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/Clock.h"
#include "core/Reporter.h"
#include "core/RunState.h"
#include "net/CurlMailComponent.h"
#include "run/DialUp.h"
#include "run/MailRun.h"
#include "store/Database.h"
#include "store/FileLock.h"
#include "store/Queue.h"
#include "store/Settings.h"
#include "support/FakeMailComponent.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/RunFolder.h"
#include "support/TempFolder.h"
#include "support/TestServers.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;
using test::FakeMailComponent;
using test::PopServer;
using test::RecordingHost;
using test::SmtpServer;
using test::TempFolder;

using test::FixedClock;

std::string message(const std::string& from, const std::string& to, const std::string& subject) {
    std::string m = "From: " + from + "\nTo: " + to + "\n";
    if (!subject.empty()) {
        m += "Subject: " + subject + "\n";
    }
    return m + "Message-ID: <" + std::to_string(std::hash<std::string>{}(from + to + subject)) +
           "@test>\n\nHello.\n";
}

int occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// An application folder with setup.ini and an empty data.mdb.
struct RunFixture : ::testing::Test, test::RunFolder {};

// --- with the scripted component ----------------------------------------------

class HeaderFailures : public RunFixture, public ::testing::WithParamInterface<int> {};

TEST_P(HeaderFailures, ThreeAreSkippedTheFourthEndsTheTry) {
    FakeMailComponent mail;
    for (int i = 1; i <= 5; ++i) {
        mail.addMessage(message("a@x.example", "b@y.example", "s" + std::to_string(i)));
    }
    // Message 3 reads fine: its count survives the failed tries.
    const std::vector<long> failing = {1, 2, 4, 5};
    for (std::size_t k = 0; k < static_cast<std::size_t>(GetParam()); ++k) {
        mail.failForMessage("fetchHeader", failing[k], 10057);
    }
    bool ended = run(mail);
    const bool fourth = GetParam() > 3;
    EXPECT_EQ(ended, !fourth);
    EXPECT_EQ(host.countLogContaining("To many failiures reading headers in this session!"),
              fourth ? 10 : 0);
    EXPECT_EQ(host.countLogContaining("Skipping Message 4 Unable to read header."),
              fourth ? 10 : 1);
    EXPECT_EQ(state.processed, fourth ? 10 : 2);
}

INSTANTIATE_TEST_SUITE_P(Counts, HeaderFailures, ::testing::Values(3, 4));

// Every matching entry logs, deletes and counts; spam goes even when answered
// mail stays on the server, and is never handed to the autoresponders.
TEST_F(RunFixture, EveryMatchingAntiSpamEntryLogsDeletesAndCounts) {
    FakeMailComponent mail;
    s.chkLEAVE = "1";
    folder.write("antispam.lst", "spam@x.example\r\n\tOffer\r\n\t(no subject)\r\n");
    addAutoresponder("me@y.example");
    mail.addMessage(message("Spam <SPAM@x.example>", "me@y.example", "Offer"));  // two entries
    mail.addMessage(message("ann@x.example", "me@y.example", ""));               // (No Subject)
    mail.addMessage(message("bob@x.example", "<>", "hello"));            // empty To: every entry
    mail.addMessage(message("ann@x.example", "me@y.example", "hello"));  // answered, kept
    EXPECT_TRUE(run(mail));
    EXPECT_EQ(state.antiSpam, 2 + 1 + 3);
    EXPECT_EQ(host.countLogContaining(
                  "Message from:SPAM@x.example Subject: Offer deleted anti-spam filter"),
              2);
    EXPECT_TRUE(host.hasLogEntry(
        "Message from:ann@x.example Subject: (No Subject) deleted anti-spam filter"));
    EXPECT_EQ(mail.callCount("deleteMessage"), 6);
    EXPECT_EQ(mail.deletedMessages(), (std::vector<long>{1, 2, 3}));
    EXPECT_EQ(state.autoresponders, 1);
    EXPECT_EQ(host.countLogContaining("An Error Occurred"), 0);
}

TEST_F(RunFixture, DialUpDialsTheEntryAndHangsUp) {
    for (int status : {0, 4}) {
        SCOPED_TRACE(status);
        FakeMailComponent mail;
        s.chkAUTODIAL = s.chkAUTODISCONNECT = "1";
        s.cmbDIALUP = "My ISP";
        std::vector<std::vector<std::string>> calls;
        bool ended = run(mail, [&](MailRun& r) {
            r.dialUp() = DialUp("/usr/bin/nmcli", [&](const std::vector<std::string>& argv) {
                calls.push_back(argv);
                return ProgramResult{argv[2] == "up" ? status : 0, "no carrier"};
            });
        });
        EXPECT_EQ(ended, status == 0);
        EXPECT_TRUE(host.hasLogEntry(status == 0 ? "Connected" : "Connect Failed 4 no carrier"));
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0],
                  (std::vector<std::string>{"/usr/bin/nmcli", "connection", "up", "My ISP"}));
        EXPECT_EQ(calls.back()[2], status == 0 ? "down" : "up");
    }
    ProgramResult r = runProgramAndWait({"sh", "-c", "echo out; echo no carrier >&2; exit 4"});
    EXPECT_EQ(std::to_string(r.status) + " " + r.errorOutput, "4 no carrier");
    EXPECT_EQ(runProgramAndWait({"/nonexistent/nmcli"}).status, -1);
}

// --- against the loopback servers ---------------------------------------------

std::string base64(const std::string& in) {
    gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(in.data()), in.size());
    std::string out = encoded;
    g_free(encoded);
    return out;
}

TEST_F(RunFixture, DebugTranscriptNeverHoldsThePassword) {
    VOREL_SKIP_UNLESS_ROOT();
    PopServer pop;
    SmtpServer smtp(SmtpServer::Options{pop.user(), pop.password(), {}, {}});
    pointAt(pop);
    pointAt(smtp);
    s.chkESMTP = "1";  // SMTP AUTH with the POP3 credentials
    s.chkDEBUG = "1";
    addAutoresponder("info@me.example");
    pop.addMessage(message("a@x.example", "info@me.example", "m"));
    EXPECT_TRUE(run());
    ASSERT_EQ(smtp.received().size(), 1u);

    // Both logins, POP3 and SMTP, with their answers masked.
    std::string d = folder.read("debug.log");
    EXPECT_NE(d.find("AUTH PLAIN ********\r\n+OK Logged in."), std::string::npos) << d;
    EXPECT_NE(d.find("\r\n********\r\n235 "), std::string::npos) << d;
    const std::string& u = pop.user();
    const std::string& p = pop.password();
    const std::vector<std::string> secrets = {
        p, base64(p), base64(std::string(1, '\0') + u + '\0' + p), base64(u + '\0' + u + '\0' + p)};
    std::string everything;  // every file but setup.ini, where the user keeps it
    for (const auto& entry : fs::recursive_directory_iterator(folder.path())) {
        if (entry.path().filename() != "setup.ini") {
            everything += test::readFile(entry.path().string());
        }
    }
    for (const auto& line : host.allDebugLines()) {
        everything += line + "\n";
    }
    for (const auto& secret : secrets) {
        EXPECT_EQ(everything.find(secret), std::string::npos) << secret;
    }
}

// From the POP3 mailbox to what the SMTP server received: fields merged from
// the fetched message, the message forwarded whole, and nothing left behind.
// (outbound_test runs every kind of message over the same servers.)
TEST_F(RunFixture, FullRunMergesAndForwards) {
    VOREL_SKIP_UNLESS_ROOT();
    PopServer pop;
    SmtpServer smtp;
    pointAt(pop);
    pointAt(smtp);
    pop.addMessage(
        "From: Dana Buyer <dana@customer.example>\nTo: info@shop.example\n"
        "Subject: Price list please\n\nHello, please send your price list.\n\n"
        "%vorelcode%\nname=Dana\ncompany=Acme Ltd\n");
    addAutoresponder("info@shop.example",
                     "Dear %name% of %company%, written %date% %time% to %email%. ", "PRICES");
    Database db = RunFolder::db();
    Autoresponder a = *db.findAutoresponder("PRICES");
    a.mailto = "manager@shop.example";
    db.updateAutoresponder(a);
    ASSERT_TRUE(run()) << host.logText();

    // One line per message received: recipient, subject (unfolded), body.
    std::string got;
    for (const auto& m : smtp.received()) {
        std::string data = std::regex_replace(m.data, std::regex("\r\n "), " ");
        std::smatch subject;
        std::regex_search(data, subject, std::regex("\r\nSubject: ([^\r]*)"));
        got += m.rcptTo.front() + " | " + subject[1].str() + " | " +
               data.substr(data.find("\r\n\r\n") + 4) + "\n";
    }
    EXPECT_EQ(got,
              "dana@customer.example | Re: your mail | Dear Dana of Acme Ltd, written 06 December "
              "2026 08:05:07 to dana@customer.example. \r\n\n"
              "manager@shop.example | (VOREL FWD) Originally From: Dana Buyer "
              "<dana@customer.example> Price list please | Hello, please send your price "
              "list.\r\n\r\n%vorelcode%\r\nname=Dana\r\ncompany=Acme Ltd\r\n\n");
    EXPECT_EQ(pop.messageCount(), 0u);
    EXPECT_FALSE(folder.exists(kQueueFile));
    EXPECT_FALSE(folder.exists("1.msg"));
}

// --- vorel run ------------------------------------------------------------------

// vorel run as the built binary: exit status and standard output. With
// `stopAt`, a SIGTERM as soon as that text has been printed.
std::pair<int, std::string> vorelRun(const TempFolder& f, const std::string& args,
                                     const std::string& stopAt = "") {
    TempFolder io;
    const std::string out = io.file("out");
    std::string script = "'" + std::string(VOREL_BINARY) + "' run --folder '" + f.path() + "' " +
                         args + " >'" + out + "' 2>/dev/null";
    if (!stopAt.empty()) {
        script += " & for i in $(seq 500); do grep -q '" + stopAt + "' '" + out +
                  "' && break; sleep 0.02; done; kill -TERM $!; wait $!";
    }
    io.write("run.sh", script);
    const int status = std::system(("sh '" + io.file("run.sh") + "'").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, io.read("out")};
}

TEST_F(RunFixture, CommandPrintsTheLogAndTellsHowTheRunEnded) {
    EXPECT_EQ(vorelRun(folder, "--bogus").first, 2);
    {
        // Another run holds the folder: nothing is touched.
        FileLock held(folder.file(kRunLockFile), false);
        EXPECT_EQ(vorelRun(folder, "").first, 3);
        EXPECT_FALSE(folder.exists("log.txt"));
    }
    s.txtPOP = "127.0.0.1:" + std::to_string(test::freeLoopbackPort());
    writeSettings(folder.path(), s);
    auto [status, out] = vorelRun(folder, "");
    EXPECT_EQ(status, 1);
    // Ten tries, each a connect failure, then the last word.
    EXPECT_EQ(occurrences(out, "Connect to Host Failed Please check your email host settings"), 10);
    EXPECT_NE(out.find("Try 10 of 10\nVorel did not process your emails properly, try running it "
                       "again later!\n"),
              std::string::npos)
        << out;

    VOREL_SKIP_UNLESS_ROOT();
    PopServer pop;
    pointAt(pop);
    writeSettings(folder.path(), s);
    pop.addMessage(message("a@x.example", "b@x.example", "hello"));
    std::tie(status, out) = vorelRun(folder, "--verbose");
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("Testing To: b@x.example From: a@x.example Subject: hello\n"),
              std::string::npos);
    EXPECT_NE(out.find(" Mail Run Complete\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Connecting to POP server"), std::string::npos);  // status: stderr
}

// The message at hand is finished and the log closed; nothing is sent.
TEST_F(RunFixture, CommandStopsOnSigterm) {
    VOREL_SKIP_UNLESS_ROOT();
    PopServer pop;
    pointAt(pop);
    addAutoresponder("info@me.example");
    for (int i = 0; i < 300; ++i) {
        pop.addMessage(message("a" + std::to_string(i) + "@x.example", "info@me.example", "m"));
    }
    writeSettings(folder.path(), s);
    const auto [status, out] = vorelRun(folder, "", "Testing To:");
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("\nMail Run Cancelled by User\n"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 19), " Mail Run Complete\n") << out;
    EXPECT_EQ(out.find("Process complete"), std::string::npos);
    EXPECT_GT(pop.messageCount(), 0u);
    EXPECT_LT(pop.messageCount(), 300u);
}

}  // namespace
}  // namespace vorel
