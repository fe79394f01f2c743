// A message kept on the server, or left by a try that failed before QUIT, is answered once.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "store/Queue.h"
#include "support/FakeMailComponent.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

struct Ledger : ::testing::Test, test::RunFolder {
    Ledger() { addAutoresponder("info@me.example"); }
    // A run with a log of its own; the ledger's entries after it.
    int runAndCount(MailComponent& mail) {
        host = test::RecordingHost{};
        EXPECT_TRUE(RunFolder::run(mail)) << host.logText();
        sqlite3* db = nullptr;
        sqlite3_open(folder.file("data.mdb").c_str(), &db);
        sqlite3_stmt* q = nullptr;
        sqlite3_prepare_v2(db, "SELECT count(*) FROM handled", -1, &q, nullptr);
        const int n = sqlite3_step(q) == SQLITE_ROW ? sqlite3_column_int(q, 0) : -1;
        sqlite3_finalize(q);
        sqlite3_close(db);
        return n;
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

// An unqueued reply undoes the handling; without UIDL the key is Message-ID and Date.
TEST_F(Ledger, UnqueuedHandlingKeepsNothingAndMessageIdAndDateAreTheKey) {
    test::FakeMailComponent mail;
    for (const char* id : {"1", "2"}) {
        mail.addMessage("From: ann@x.example\nTo: info@me.example\nSubject: q\nMessage-ID: <" +
                        std::string(id) +
                        "@x.example>\nDate: Sun, 6 Dec 2026 08:00:00 +0000\n\nhi\n");
    }
    std::filesystem::create_directory(folder.file("msgqueue.txt"));
    s.chkLEAVE = "0";
    EXPECT_EQ(runAndCount(mail), 0);
    EXPECT_EQ(host.countLogContaining("Error Processing "), 2) << host.logText();
    EXPECT_TRUE(mail.deletedMessages().empty());
    EXPECT_EQ(db().findAutoresponder("INFO")->Counter, 0);

    std::filesystem::remove(folder.file("msgqueue.txt"));
    s.chkLEAVE = "1";
    EXPECT_EQ(runAndCount(mail), 2);
    EXPECT_EQ(runAndCount(mail), 2);
    EXPECT_EQ(mail.sent().size(), 2u);
    EXPECT_EQ(host.countLogContaining("was handled by an earlier run, skipped"), 2);
}

// A killed run's reply, queued but never committed, with a journal line torn by a power cut
// after its note: only the torn line is skipped, so the reply goes out once, not twice.
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

}  // namespace
}  // namespace vorel
