// A message is acted on once: kept on the server, or left there by a try
// that failed before QUIT, it is not answered again by a later run.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/FakeMailComponent.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

struct Ledger : ::testing::Test, test::RunFolder {
    Ledger() {
        addAutoresponder("info@me.example");
        s.chkLEAVE = "1";
    }
    // Each run with a log of its own.
    void run(MailComponent& mail) {
        host = test::RecordingHost{};
        ASSERT_TRUE(RunFolder::run(mail)) << host.logText();
    }
    int entries() {
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
    run(mail);
    run(mail);
    EXPECT_EQ(smtp.received().size(), 1u);
    EXPECT_TRUE(host.hasLogEntry(
        "Message from:ann@x.example Subject: q was handled by an earlier run, skipped"))
        << host.logText();
    // A message no rule matched is tested again: a rule added later may match it.
    EXPECT_EQ(host.countLogContaining("Testing To: nobody@me.example"), 1);
    EXPECT_EQ(entries(), 1);

    // Deleting is on again: the handled message goes, and its entry with it
    // at the end of the next session.
    s.chkLEAVE = "0";
    run(mail);
    EXPECT_EQ(pop.messageCount(), 1u);
    EXPECT_EQ(entries(), 1);
    run(mail);
    EXPECT_EQ(entries(), 0);
    EXPECT_EQ(smtp.received().size(), 1u);
}

// Servers without unique ids: the key is what the sender stamped on it.
TEST_F(Ledger, WithoutUniqueIdsMessageIdAndDateAreTheKey) {
    test::FakeMailComponent mail;
    mail.addMessage(
        "From: ann@x.example\nTo: info@me.example\nSubject: q\n"
        "Message-ID: <1@x.example>\nDate: Sun, 6 Dec 2026 08:00:00 +0000\n\nhi\n");
    mail.addMessage(
        "From: ann@x.example\nTo: info@me.example\nSubject: q\n"
        "Message-ID: <2@x.example>\nDate: Sun, 6 Dec 2026 08:00:00 +0000\n\nhi\n");
    run(mail);
    run(mail);
    EXPECT_EQ(mail.sent().size(), 2u);
    EXPECT_EQ(host.countLogContaining("was handled by an earlier run, skipped"), 2);
}

// A reply that cannot be queued undoes the whole handling: no counter, no
// ledger entry, and the message stays on the server for the next run.
TEST_F(Ledger, HandlingWhoseRecordsCannotBeQueuedKeepsNothing) {
    s.chkLEAVE = "0";
    test::FakeMailComponent mail;
    mail.addMessage(
        "From: ann@x.example\nTo: info@me.example\nSubject: q\n"
        "Message-ID: <1@x.example>\nDate: Sun, 6 Dec 2026 08:00:00 +0000\n\nhi\n");
    std::filesystem::create_directory(folder.file("msgqueue.txt"));
    host = test::RecordingHost{};
    RunFolder::run(mail);
    EXPECT_EQ(host.countLogContaining("Error Processing 1 "), 1) << host.logText();
    EXPECT_TRUE(mail.deletedMessages().empty());
    EXPECT_EQ(entries(), 0);
    EXPECT_EQ(db().findAutoresponder("INFO")->Counter, 0);

    std::filesystem::remove(folder.file("msgqueue.txt"));
    run(mail);
    EXPECT_EQ(mail.sent().size(), 1u);
    EXPECT_EQ(mail.deletedMessages().size(), 1u);
}

}  // namespace
}  // namespace vorel
