// A message kept on the server, or left by a try that failed before QUIT, is answered once.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>

#include "store/Queue.h"
#include "support/FakeMailComponent.h"
#include "support/Rows.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

struct Ledger : ::testing::Test, test::RunFolder {
    Ledger() { addAutoresponder("info@me.example"); }
    // A run with a log of its own; the ledger's entries after it.
    int runAndCount(MailComponent& mail) {
        host = test::RecordingHost{};
        EXPECT_TRUE(RunFolder::run(mail)) << host.logText();
        return std::stoi(test::sqlRows(folder.file("data.mdb"), "SELECT count(*) FROM handled")[0]);
    }
};

TEST_F(Ledger, KeptOnTheServerAnsweredOnceThenDeletedAndForgotten) {
    VOREL_SKIP_UNLESS_ROOT();
    test::PopServer pop;
    test::SmtpServer smtp;
    pointAt(pop);
    pointAt(smtp);
    pop.addMessage("From: ann@x.example\nTo: info@me.example\nSubject: q\n\nhi\n");
    pop.addMessage("From: bob@x.example\nTo: nobody@me.example\nSubject: q\n\nhi\n");
    CurlMailComponent mail;
    s.chkLEAVE = "1";
    EXPECT_EQ(runAndCount(mail), 1);
    EXPECT_EQ(runAndCount(mail), 1);
    EXPECT_EQ(smtp.received().size(), 1u);
    EXPECT_TRUE(host.hasLogEntry(
        "Message from:ann@x.example Subject: q was handled by an earlier run, skipped"));
    // A message no rule matched is tested again: a rule added later may match it.
    EXPECT_EQ(host.countLogContaining("Testing To: nobody@me.example"), 1);
    // Deleting on again: the message goes, and its entry after the next session.
    s.chkLEAVE = "0";
    EXPECT_EQ(runAndCount(mail), 1);
    EXPECT_EQ(pop.messageCount(), 1u);
    EXPECT_EQ(runAndCount(mail), 0);
    EXPECT_EQ(smtp.received().size(), 1u);
}

// Without UIDL the key is Message-ID and Date (an unqueued reply undoes it: processing_test).
TEST_F(Ledger, WithoutUidlMessageIdAndDateAreTheKey) {
    test::FakeMailComponent mail;
    for (const char* id : {"1", "2"}) {
        mail.addMessage("From: ann@x.example\nTo: info@me.example\nSubject: q\nMessage-ID: <" +
                        std::string(id) +
                        "@x.example>\nDate: Sun, 6 Dec 2026 08:00:00 +0000\n\nhi\n");
    }
    s.chkLEAVE = "1";
    EXPECT_EQ(runAndCount(mail), 2);
    EXPECT_EQ(runAndCount(mail), 2);
    EXPECT_EQ(mail.sent().size(), 2u);
    EXPECT_EQ(host.countLogContaining("was handled by an earlier run, skipped"), 2);
}

// A killed run's uncommitted reply behind a torn journal line is taken out: the reply goes once.
TEST_F(Ledger, TornJournalLineCostsOnlyItself) {
    test::FakeMailComponent mail;
    mail.addMessage("From: ann@x.example\nTo: info@me.example\nSubject: q\n\nhi\n");
    QueueBatch batch(folder.path(), "pop:a run that was killed|uidl:1");
    batch.add({"ann@x.example", "robot@me.example", "Re: your mail", "Thanks"});
    batch.flush();
    // The torn line: a note cut inside its key, then the NULs of blocks never written.
    const std::string note = folder.read(kQueueJournalFile);
    folder.write(kQueueJournalFile,
                 note + note.substr(0, note.size() - 30) + std::string(200, '\0'));
    s.chkLEAVE = "0";
    EXPECT_EQ(runAndCount(mail), 0);
    EXPECT_EQ(mail.sent().size(), 1u);
    EXPECT_FALSE(folder.exists(kQueueJournalFile));
}

// Handling that cannot commit (data.mdb locked, file-size limit) is undone and stays for later.
TEST(LedgerFailures, UncommittedHandlingSendsNothingAndStaysForALaterRun) {
    VOREL_SKIP_UNLESS_ROOT();
    struct Blocker {
        const char* name;
        bool locksDatabase;  // else the file-size limit
    };
    for (const Blocker& b : {Blocker{"database locked", true}, Blocker{"file-size limit", false}}) {
        SCOPED_TRACE(b.name);
        test::ServedFolder f;
        Autoresponder rule = test::replyRule("INFO", "info@me.example", "Thanks");
        rule.mailto = "boss@me.example";
        f.db().addAutoresponder(rule);
        f.s.chkLEAVE = "0";
        // ann's forward is a file of 400 KB, bob's a small one.
        std::string attachment;
        while (attachment.size() < 400 * 1024) {
            attachment += std::string(76, 'Q') + "\n";
        }
        f.pop.addMessage(
            "From: ann@x.example\nTo: info@me.example\nSubject: big\nMIME-Version: 1.0\n"
            "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nhi\n"
            "--b\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\n" +
            attachment + "--b--\n");
        f.pop.addMessage("From: bob@x.example\nTo: info@me.example\nSubject: small\n\nhi\n");
        const auto sentTo = [&f](const std::string& to) {
            int n = 0;
            for (const auto& r : f.smtp.received()) {
                n += std::count(r.rcptTo.begin(), r.rcptTo.end(), to) > 0 ? 1 : 0;
            }
            return n;
        };

        sqlite3* other = nullptr;
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit unlimited = limit;
        if (b.locksDatabase) {
            // An editor with unsaved changes: a write lock held on data.mdb.
            ASSERT_EQ(sqlite3_open(f.folder.file("data.mdb").c_str(), &other), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        } else {
            std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG
            limit.rlim_cur = 256 * 1024;
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(f.run()) << f.host.logText();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(18))
            << "one busy wait, not one per message";
        EXPECT_EQ(sentTo("ann@x.example") + sentTo("boss@me.example") * (b.locksDatabase ? 1 : 0),
                  0)
            << f.host.logText();
        EXPECT_EQ(f.db().findAutoresponder("INFO")->Counter, b.locksDatabase ? 0 : 1);
        EXPECT_EQ(f.pop.messageCount(), b.locksDatabase ? 2u : 1u);
        EXPECT_EQ(f.host.countLogContaining("is locked by another program"),
                  b.locksDatabase ? 1 : 0);
        EXPECT_EQ(f.host.countLogContaining("Error Processing"), b.locksDatabase ? 0 : 1);
        EXPECT_EQ(sentTo("bob@x.example"), b.locksDatabase ? 0 : 1);
        if (other != nullptr) {
            sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(other);
        }
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        std::signal(SIGXFSZ, SIG_DFL);

        for (int run = 1; run <= 2; ++run) {
            EXPECT_TRUE(f.run()) << f.host.logText();
        }
        EXPECT_EQ(sentTo("ann@x.example"), 1);
        EXPECT_EQ(sentTo("bob@x.example"), 1);
        EXPECT_EQ(sentTo("boss@me.example"), 2);
        EXPECT_EQ(f.pop.messageCount(), 0u);
        EXPECT_EQ(f.db().findAutoresponder("INFO")->Counter, 2);
    }
}

}  // namespace
}  // namespace vorel
