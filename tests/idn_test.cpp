// International addresses: UTF-8 where the server takes it, the ASCII form of
// a domain where it does not, and one member whichever form a sender used.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/Idn.h"
#include "store/Queue.h"
#include "support/RunFolder.h"

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

struct IdnRun : ::testing::Test, test::RunFolder {
    void SetUp() override {
        VOREL_SKIP_UNLESS_ROOT();
        addAutoresponder("info@me.example");
        MailingList l;
        l.Name = "NEWS";
        l.subscribefrom = "news@shop.example";
        l.subscribemessage = "Welcome";
        l.onsubscribeto = "news-on@shop.example";
        l.onunsubscribeto = "news-off@shop.example";
        db().addList(l);
    }
    void run(const test::PopServer& pop, const test::SmtpServer& smtp) {
        pointAt(pop);
        pointAt(smtp);
        ASSERT_TRUE(RunFolder::run()) << host.logText();
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
