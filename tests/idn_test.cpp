// International addresses: UTF-8 where the server takes it, the ASCII form of
// a domain where it does not, and one member whichever form a sender used.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Idn.h"
#include "core/RunState.h"
#include "net/CurlMailComponent.h"
#include "run/MailRun.h"
#include "store/Database.h"
#include "store/Queue.h"
#include "store/Settings.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/TempFolder.h"
#include "support/TestServers.h"

namespace vorel {
namespace {

TEST(Idn, ReadableAndAsciiForms) {
    EXPECT_EQ(readableDomains("user@xn--mller-kva.example"), "user@müller.example");
    EXPECT_EQ(readableDomains("a@XN--MLLER-KVA.example, b@plain.example"),
              "a@müller.example, b@plain.example");
    EXPECT_EQ(readableDomains("user@MÜLLER.example"), "user@müller.example");
    EXPECT_EQ(readableDomains("(No From)"), "(No From)");
    EXPECT_EQ(asciiAddress("anna@müller.example"), "anna@xn--mller-kva.example");
    EXPECT_EQ(asciiAddress("jürgen@example.de"), std::nullopt);
}

struct IdnRun : ::testing::Test {
    test::TempFolder folder;
    test::RecordingHost host;
    test::FixedClock clock{LocalTime{2026, 12, 6, 8, 5, 7}};
    Settings s;

    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "Dovecot's mail user needs root to set up";
        }
        Database::createIfMissing(folder.file("data.mdb"));
        Database::upgradeSchema(folder.file("data.mdb"));
        Database db = Database::open(folder.file("data.mdb"));
        Autoresponder a;
        a.Name = "INFO";
        a.To = "info@me.example";
        a.msgfrom = "robot@me.example";
        a.msgsubject = "Re";
        a.message = "Thanks";
        db.addAutoresponder(a);
        MailingList l;
        l.Name = "NEWS";
        l.subscribefrom = "news@shop.example";
        l.subscribemessage = "Welcome";
        l.onsubscribeto = "news-on@shop.example";
        l.onunsubscribeto = "news-off@shop.example";
        db.addList(l);
        s.txtTIMEOUT = "5";
        s.txtRUNPROGRAM = "";
    }
    void run(const test::PopServer& pop, const test::SmtpServer& smtp) {
        s.txtPOP = pop.host() + ":" + std::to_string(pop.port());
        s.txtUSERID = pop.user();
        s.txtPASSWORD = pop.password();
        s.txtSMTP = smtp.host() + ":" + std::to_string(smtp.port());
        writeSettings(folder.path(), s);
        CurlMailComponent mail;
        MailRun r(folder.path(), host, mail, clock);
        ASSERT_TRUE(r.doRunMail()) << host.logText();
    }
};

std::string message(const std::string& from, const std::string& to) {
    return "From: " + from + "\nTo: " + to + "\nSubject: hello\n\nHi.\n";
}

TEST_F(IdnRun, Utf8AddressesGoOutWhereTheServerTakesThem) {
    test::PopServer pop;
    test::SmtpServer::Options o;
    o.smtputf8 = true;
    test::SmtpServer smtp(o);
    pop.addMessage(message("Jürgen <jürgen@example.de>", "info@me.example"));
    run(pop, smtp);
    ASSERT_EQ(smtp.received().size(), 1u) << host.logText();
    EXPECT_EQ(smtp.received()[0].mailOptions, "SMTPUTF8");
    EXPECT_EQ(smtp.received()[0].rcptTo, std::vector<std::string>{"jürgen@example.de"});
    EXPECT_NE(smtp.received()[0].data.find("To: jürgen@example.de\r\n"), std::string::npos)
        << smtp.received()[0].data;
}

TEST_F(IdnRun, WithoutSmtpUtf8TheDomainGoesAsAsciiAndALocalPartCannotGo) {
    test::PopServer pop;
    test::SmtpServer smtp;
    pop.addMessage(message("anna@müller.example", "info@me.example"));
    pop.addMessage(message("jürgen@example.de", "info@me.example"));
    run(pop, smtp);
    ASSERT_EQ(smtp.received().size(), 1u) << host.logText();
    EXPECT_EQ(smtp.received()[0].mailOptions, "");
    EXPECT_EQ(smtp.received()[0].rcptTo, std::vector<std::string>{"anna@xn--mller-kva.example"});
    EXPECT_TRUE(isAscii(smtp.received()[0].data)) << smtp.received()[0].data;
    EXPECT_EQ(host.countLogContaining("Cannot send to or from jürgen@example.de"), 1)
        << host.logText();
    // Refused for good here, and kept for the user.
    QueueReader failed(folder.file(kFailedQueueFile));
    ASSERT_FALSE(failed.atEnd());
    EXPECT_EQ(failed.readRecord().to, "jürgen@example.de\r\n");
}

TEST_F(IdnRun, EitherFormOfADomainIsOneMember) {
    test::PopServer pop;
    test::SmtpServer smtp;
    pop.addMessage(message("user@xn--mller-kva.example", "news-on@shop.example"));
    run(pop, smtp);
    Database db = Database::open(folder.file("data.mdb"));
    ASSERT_TRUE(db.findMember("NEWS", "user@müller.example"));
    pop.addMessage(message("user@müller.example", "news-off@shop.example"));
    run(pop, smtp);
    EXPECT_FALSE(db.findMember("NEWS", "user@müller.example"));
    EXPECT_EQ(db.memberCount("NEWS"), 0);
}

}  // namespace
}  // namespace vorel
