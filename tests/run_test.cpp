// The mail run driver, scripted and over the loopback servers, and vorel run as the binary.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "run/DialUp.h"
#include "store/FileLock.h"
#include "store/Queue.h"
#include "support/FakeMailComponent.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

std::string message(const std::string& from, const std::string& to, const std::string& subject) {
    return "From: " + from + "\nTo: " + to + "\n" +
           (subject.empty() ? "" : "Subject: " + subject + "\n") + "\nHello.\n";
}

struct RunFixture : ::testing::Test, test::RunFolder {};

TEST(HeaderFailures, ThreeAreSkippedTheFourthEndsTheTry) {
    for (const bool fourth : {false, true}) {
        test::RunFolder f;
        test::FakeMailComponent mail;
        for (int i = 1; i <= 5; ++i) {
            mail.addMessage(message("a@x.example", "b@y.example", "s" + std::to_string(i)));
        }
        // Message 3 reads fine: its count survives the failed tries.
        for (long failing : {1, 2, 4, 5}) {
            if (failing < 5 || fourth) {
                mail.failForMessage("fetchHeader", failing, 10057);
            }
        }
        EXPECT_EQ(f.run(mail), !fourth);
        EXPECT_EQ(f.host.countLogContaining("To many failiures reading headers in this session!"),
                  fourth ? 10 : 0);
        EXPECT_EQ(f.host.countLogContaining("Skipping Message 4 Unable to read header."),
                  fourth ? 10 : 1);
        EXPECT_EQ(f.state.processed, fourth ? 10 : 2);
    }
}

// Dial-up around a run; each matching anti-spam entry logs, deletes, counts (even with LEAVE).
TEST_F(RunFixture, DialsUpFiltersSpamAndHangsUp) {
    s.chkAUTODIAL = s.chkAUTODISCONNECT = s.chkLEAVE = "1";
    s.cmbDIALUP = "My ISP";
    folder.write("antispam.lst", "spam@x.example\r\n\tOffer\r\n\t(no subject)\r\n");
    addAutoresponder("me@y.example");
    test::FakeMailComponent mail;
    mail.addMessage(message("Spam <SPAM@x.example>", "me@y.example", "Offer"));  // two entries
    mail.addMessage(message("ann@x.example", "me@y.example", ""));               // (No Subject)
    mail.addMessage(message("bob@x.example", "<>", "hello"));            // empty To: every entry
    mail.addMessage(message("ann@x.example", "me@y.example", "hello"));  // answered, kept
    for (int status : {4, 0}) {  // the failed dial leaves the mailbox alone
        SCOPED_TRACE(status);
        host = test::RecordingHost{};
        std::vector<std::vector<std::string>> calls;
        bool ended = run(mail, [&](MailRun& r) {
            r.dialUp() = DialUp("/usr/bin/nmcli", [&](const std::vector<std::string>& argv) {
                calls.push_back(argv);
                return ProgramResult{argv[2] == "up" ? status : 7, "no carrier"};
            });
        });
        EXPECT_EQ(ended, status == 0);
        EXPECT_TRUE(host.hasLogEntry(status == 0 ? "Connected" : "Connect Failed 4 no carrier"));
        // A hang-up that fails is said and ends nothing else.
        EXPECT_EQ(host.hasLogEntry("Hang Up Failed 7 no carrier"), status == 0);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0],
                  (std::vector<std::string>{"/usr/bin/nmcli", "connection", "up", "My ISP"}));
        EXPECT_EQ(calls.back()[2], status == 0 ? "down" : "up");
    }
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
    ProgramResult r = runProgramAndWait({"sh", "-c", "echo out; echo no carrier >&2; exit 4"});
    EXPECT_EQ(std::to_string(r.status) + " " + r.errorOutput, "4 no carrier");
    EXPECT_EQ(runProgramAndWait({"/nonexistent/nmcli"}).status, -1);
}

// Exit status, then standard output; with `stopAt`, a SIGTERM once that text is printed.
std::string vorelRun(const test::TempFolder& f, const std::string& args,
                     const std::string& stopAt = "") {
    test::TempFolder io;
    const std::string out = io.file("out");
    std::string script = "'" + std::string(VOREL_BINARY) + "' run --folder '" + f.path() + "' " +
                         args + " >'" + out + "' 2>/dev/null";
    if (!stopAt.empty()) {
        script += " & for i in $(seq 500); do grep -q '" + stopAt + "' '" + out +
                  "' && break; sleep 0.02; done; kill -TERM $!; wait $!";
    }
    io.write("run.sh", script);
    const int status = std::system(("sh '" + io.file("run.sh") + "'").c_str());
    return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " " + io.read("out");
}

TEST_F(RunFixture, CommandPrintsTheLogAndTellsHowTheRunEnded) {
    EXPECT_EQ(vorelRun(folder, "--bogus"), "2 ");
    // Without setup.ini there is nothing to try ten times: said once, exit 6.
    EXPECT_EQ(test::runVorel("run --folder '" + folder.file("app") + "'"),
              "6 Please set up your email system first!, using SETUP\n");
    {
        // Another run holds the folder: nothing is touched.
        FileLock held(folder.file(kRunLockFile), false);
        EXPECT_EQ(vorelRun(folder, ""), "3 ");
        EXPECT_FALSE(folder.exists("log.txt"));
    }
    s.txtPOP = "127.0.0.1:" + std::to_string(test::freeLoopbackPort());
    writeSettings(folder.path(), s);
    std::string out = vorelRun(folder, "");
    EXPECT_EQ(out.substr(0, 2), "1 ");
    // Ten tries, each a connect failure, then the last word.
    const std::regex failed("Connect to Host Failed Please check your email host settings");
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), failed), {}), 10);
    EXPECT_NE(out.find("Try 10 of 10\nVorel did not process your emails properly, try running it "
                       "again later!\n"),
              std::string::npos)
        << out;

    // SIGTERM: the message at hand is finished, the log closed, nothing sent.
    VOREL_SKIP_UNLESS_ROOT();
    test::PopServer pop;
    pointAt(pop);
    addAutoresponder("info@me.example");
    // Enough that a loaded machine cannot finish them before the signal comes.
    for (int i = 0; i < 2000; ++i) {
        pop.addMessage(message("a" + std::to_string(i) + "@x.example", "info@me.example", "m"));
    }
    writeSettings(folder.path(), s);
    out = vorelRun(folder, "--verbose", "Testing To:");
    EXPECT_EQ(out.substr(0, 2), "0 ");
    EXPECT_NE(out.find("Testing To: info@me.example From: a0@x.example Subject: m\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nMail Run Cancelled by User\n"), std::string::npos) << out;
    // Stopped, not complete.
    EXPECT_EQ(out.substr(out.size() - 28), " Mail run Cancelled by User\n") << out;
    EXPECT_EQ(out.find("Mail Run Complete"), std::string::npos) << out;
    EXPECT_EQ(out.find("Process complete"), std::string::npos);
    EXPECT_EQ(out.find("Connecting to POP server"), std::string::npos);  // status: stderr
    EXPECT_GT(pop.messageCount(), 0u);
    EXPECT_LT(pop.messageCount(), 2000u);
}

// A folder others may write to or own, or a control in its path: refused, exit 4, nothing made.
// Folders above count too (a renamer may swap it), except a sticky one of root's (/tmp).
TEST(Folder, OnlyAPrivateFolderWithAPlainNameIsUsed) {
    VOREL_SKIP_UNLESS_ROOT();  // chown
    test::TempFolder io;
    const std::string bin = "VOREL_FOLDER= '" + std::string(VOREL_BINARY) + "' ";
    const std::string p = io.file("parent"), f = p + "/app",
                      init = bin + "init --folder '" + f + "'";
    struct Case {
        mode_t mode, parentMode;
        uid_t owner, parentOwner;
        std::string command, reason;
    };
    const Case cases[] = {
        {0770, 0700, 0, 0, bin + "run --folder '" + f + "'",
         "may be written by other users (mode 0770); Vorel will not use it until you run: chmod "
         "go-w " +
             f},
        {01777, 0700, 0, 0, bin + "import L '" + io.file("x") + "' --folder '" + f + "'",
         "may be written by other users (mode 1777)"},
        {0700, 0700, 65534, 0,
         bin + "post L --from a@x --subject s --message m --folder '" + f + "'",
         "belongs to another user (uid 65534)"},
        {0700, 0700, 0, 0, bin + "run --folder '" + f + "\n/x'",
         "the folder given by --folder \"" + f + "\\n/x\" holds a line break or another control"},
        {0700, 0700, 0, 0,
         "VOREL_FOLDER='" + f + "\x01' '" + std::string(VOREL_BINARY) + "' export L x",
         "in VOREL_FOLDER \"" + f + "\\x01\" holds a line break or another control character"},
        {0700, 0700, 0, 0, init, f + "\n"},
        {0700, 0777, 0, 0, init,
         "the folder " + f + " lies in " + p +
             ", which other users may write to (mode 0777); Vorel will not use it until you run: "
             "chmod go-w " +
             p},
        {0700, 0775, 0, 0, init, "which other users may write to (mode 0775)"},
        {0700, 0755, 0, 65534, init,
         "lies in " + p + ", which belongs to another user (uid 65534)"},
        {0700, 01777, 0, 65534, init, "which belongs to another user (uid 65534)"},
        {0700, 01777, 0, 0, init, f + "\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        std::filesystem::create_directories(f);
        ::chmod(f.c_str(), c.mode);
        ::chmod(p.c_str(), c.parentMode);
        ASSERT_EQ(::chown(f.c_str(), c.owner, c.owner), 0);
        ASSERT_EQ(::chown(p.c_str(), c.parentOwner, 0), 0);
        const std::string got = test::shell(c.command);
        const bool used = c.reason == f + "\n";
        EXPECT_EQ(got.substr(0, 2), used ? "0 " : "4 ") << got;
        EXPECT_NE(got.find(c.reason), std::string::npos) << got;
        EXPECT_EQ(std::filesystem::exists(f + "/data.mdb"), used);
        std::filesystem::remove_all(p);
    }
}

// A held msgqueue.lock: the run waits briefly, says so, touches nothing; the next does it all.
TEST_F(RunFixture, QueueLockedByAnotherProgramEndsTheRunUntouched) {
    VOREL_SKIP_UNLESS_ROOT();
    test::PopServer pop;
    test::SmtpServer smtp;
    pointAt(pop);
    pointAt(smtp);
    addAutoresponder("info@me.example");
    pop.addMessage(message("ann@x.example", "info@me.example", "q"));
    appendQueueRecord(folder.path(), {"waiting@x.example", "me@me.example", "s", "b"});
    const std::string queue = folder.read(kQueueFile);
    setQueueLockWait(std::chrono::milliseconds(300));
    {
        FileLock held(folder.file(kQueueLockFile), false);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(run());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    EXPECT_EQ(host.countLogContaining("The queue is locked by another program (msgqueue.lock)"), 1)
        << host.logText();
    EXPECT_EQ(host.countLogContaining("Mail Run Complete"), 1);
    EXPECT_EQ(folder.read(kQueueFile), queue);
    EXPECT_EQ(pop.messageCount(), 1u);
    EXPECT_TRUE(smtp.received().empty());
    EXPECT_TRUE(run()) << host.logText();
    EXPECT_EQ(smtp.received().size(), 2u);
    EXPECT_EQ(pop.messageCount(), 0u);
    setQueueLockWait(std::chrono::seconds(30));
}

// A link planted where the run writes: refused by name, never written through, the run goes on.
TEST(Folder, PlantedLinksAreNeverWrittenThrough) {
    VOREL_SKIP_UNLESS_ROOT();
    test::PopServer pop;
    test::SmtpServer smtp;
    test::TempFolder outside;
    struct Case {
        std::string link;
        bool targetExists;
        std::string seen;  // in the run log, or a message for the user
    };
    const std::string linkText = "is a symbolic link, which Vorel does not follow";
    const Case cases[] = {
        {"1.msg", false, "1.msg: it " + linkText},  // where the forward goes
        {"log.txt", true, "log.txt in "},
        {"msgqueue.txt", true, "msgqueue.txt: it " + linkText},
        {"msgqueue.pending", true, ""},  // removed unread by the settling at the start
        {"msgqueue.lock", true, "msgqueue.lock: it " + linkText},
        {"msgqueue.pos", true, "msgqueue.pos: it " + linkText},
        {"msgqueue.new", true, "msgqueue.new: it " + linkText},
        {"run.lock", true, "run.lock: it " + linkText}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        test::RunFolder f;
        f.pointAt(pop);
        f.pointAt(smtp);
        f.addAutoresponder("info@me.example", "Hello %name%");
        Autoresponder a = *f.db().findAutoresponder("INFO");
        a.mailto = "boss@me.example";  // a forward: a numbered message file
        f.db().updateAutoresponder(a);
        pop.addMessage(message("ann@x.example", "info@me.example", "q"));
        const std::string target = outside.file("target");
        std::filesystem::remove(target);
        if (c.targetExists) {
            outside.write("target", "precious\n");
        }
        std::filesystem::create_symlink(target, f.folder.file(c.link));
        f.run();
        std::string seen = f.host.logText();
        for (const std::string& m : f.host.messages()) {
            seen += m + "\n";
        }
        EXPECT_NE(seen.find(c.seen), std::string::npos) << seen;
        EXPECT_EQ(std::filesystem::exists(target), c.targetExists);
        if (c.targetExists) {
            EXPECT_EQ(outside.read("target"), "precious\n");
        }
        // Whatever was answered went out once, and never with the target's text.
        for (const auto& r : smtp.received()) {
            EXPECT_EQ(r.data.find("precious"), std::string::npos);
        }
        std::filesystem::remove(f.folder.file(c.link));
        f.run();  // the link gone, the message is handled
        EXPECT_EQ(pop.messageCount(), 0u) << f.host.logText();
    }
}

}  // namespace
}  // namespace vorel
