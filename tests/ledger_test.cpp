// A message is acted on once: kept on the server, or left there by a try
// that failed before QUIT, it is not answered again by a later run.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "base/Clock.h"
#include "core/RunState.h"
#include "net/CurlMailComponent.h"
#include "run/MailRun.h"
#include "store/Database.h"
#include "store/Settings.h"
#include "support/FakeMailComponent.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/TempFolder.h"
#include "support/TestServers.h"

namespace vorel {
namespace {

struct Ledger : ::testing::Test {
    test::TempFolder folder;
    test::FixedClock clock{LocalTime{2026, 12, 6, 8, 5, 7}};
    Settings s;
    std::unique_ptr<test::RecordingHost> host;

    Ledger() {
        Database::createIfMissing(folder.file("data.mdb"));
        Database::upgradeSchema(folder.file("data.mdb"));
        Autoresponder a;
        a.Name = "INFO";
        a.To = "info@me.example";
        a.msgfrom = "robot@me.example";
        a.msgsubject = "Re";
        a.message = "Thanks";
        Database::open(folder.file("data.mdb")).addAutoresponder(a);
        s.txtTIMEOUT = "5";
        s.txtRUNPROGRAM = "";
        s.chkLEAVE = "1";
    }
    void run(MailComponent& mail) {
        writeSettings(folder.path(), s);
        host = std::make_unique<test::RecordingHost>();
        MailRun r(folder.path(), *host, mail, clock);
        ASSERT_TRUE(r.doRunMail()) << host->logText();
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
    if (::geteuid() != 0) {
        GTEST_SKIP() << "Dovecot's mail user needs root to set up";
    }
    test::PopServer pop;
    test::SmtpServer smtp;
    s.txtPOP = pop.host() + ":" + std::to_string(pop.port());
    s.txtUSERID = pop.user();
    s.txtPASSWORD = pop.password();
    s.txtSMTP = smtp.host() + ":" + std::to_string(smtp.port());
    pop.addMessage("From: ann@x.example\nTo: info@me.example\nSubject: q\n\nhi\n");
    pop.addMessage("From: bob@x.example\nTo: nobody@me.example\nSubject: q\n\nhi\n");
    CurlMailComponent mail;
    run(mail);
    run(mail);
    EXPECT_EQ(smtp.received().size(), 1u);
    EXPECT_TRUE(host->hasLogEntry(
        "Message from:ann@x.example Subject: q was handled by an earlier run, skipped"))
        << host->logText();
    // A message no rule matched is tested again: a rule added later may match it.
    EXPECT_EQ(host->countLogContaining("Testing To: nobody@me.example"), 1);
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
    EXPECT_EQ(host->countLogContaining("was handled by an earlier run, skipped"), 2);
}

}  // namespace
}  // namespace vorel
