// International addresses: UTF-8 where the server takes it, the ASCII form of
// a domain where it does not, and one member whichever form a sender used.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "base/Idn.h"
#include "store/Queue.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

TEST(Idn, ReadableAndAsciiForms) {
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
    // One run of the messages from `from` to `to`.
    void run(const test::SmtpServer& smtp, const std::vector<std::string>& from,
             const std::string& to = "info@me.example") {
        if (!pop) {
            pop = std::make_unique<test::PopServer>();
        }
        for (const auto& f : from) {
            pop->addMessage("From: " + f + "\nTo: " + to + "\nSubject: hello\n\nHi.\n");
        }
        pointAt(*pop);
        pointAt(smtp);
        ASSERT_TRUE(RunFolder::run()) << host.logText();
    }
    std::unique_ptr<test::PopServer> pop;
};

TEST_F(IdnRun, Utf8AddressesGoOutWhereTheServerTakesThem) {
    test::SmtpServer::Options o;
    o.smtputf8 = true;
    test::SmtpServer smtp(o);
    run(smtp, {"Jürgen <jürgen@example.de>"});
    const auto received = smtp.received();
    ASSERT_EQ(received.size(), 1u) << host.logText();
    const auto& got = received[0];
    // UTF-8 in the header: 8-bit data, declared with the SMTPUTF8 parameter.
    EXPECT_EQ(got.mailOptions, "BODY=8BITMIME SMTPUTF8");
    EXPECT_EQ(got.rcptTo, std::vector<std::string>{"jürgen@example.de"});
    EXPECT_NE(got.data.find("To: jürgen@example.de\r\n"), std::string::npos) << got.data;
}

TEST_F(IdnRun, WithoutSmtpUtf8TheDomainGoesAsAsciiAndALocalPartCannotGo) {
    test::SmtpServer smtp;
    run(smtp, {"anna@müller.example", "jürgen@example.de"});
    const auto received = smtp.received();
    ASSERT_EQ(received.size(), 1u) << host.logText();
    const auto& got = received[0];
    EXPECT_EQ(got.mailOptions, "");
    EXPECT_EQ(got.rcptTo, std::vector<std::string>{"anna@xn--mller-kva.example"});
    EXPECT_TRUE(isAscii(got.data)) << got.data;
    EXPECT_EQ(host.countLogContaining("Cannot send to or from jürgen@example.de"), 1)
        << host.logText();
    // Refused for good here, and kept for the user.
    QueueReader failed(folder.file(kFailedQueueFile));
    ASSERT_FALSE(failed.atEnd());
    EXPECT_EQ(failed.readRecord().to, "jürgen@example.de\r\n");
}

TEST_F(IdnRun, EitherFormOfADomainIsOneMember) {
    test::SmtpServer smtp;
    run(smtp, {"user@xn--mller-kva.example"}, "news-on@shop.example");
    ASSERT_TRUE(db().findMember("NEWS", "user@müller.example"));
    run(smtp, {"user@müller.example"}, "news-off@shop.example");
    EXPECT_EQ(db().memberCount("NEWS"), 0);
}

}  // namespace
}  // namespace vorel
