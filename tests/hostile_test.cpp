// Mail written by an attacker: the autoresponder is no amplifier, a sender's
// values are text, and a sender's text never becomes a file to send.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/Mime.h"
#include "store/Queue.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

struct Hostile : ::testing::Test, test::RunFolder {
    void SetUp() override { VOREL_SKIP_UNLESS_ROOT(); }
    std::vector<test::SmtpServer::Received> run(const std::vector<std::string>& messages) {
        test::PopServer pop;
        test::SmtpServer smtp;
        for (const auto& m : messages) {
            pop.addMessage(m);
        }
        pointAt(pop);
        pointAt(smtp);
        EXPECT_TRUE(RunFolder::run()) << host.logText();
        return smtp.received();
    }
};

TEST_F(Hostile, OneReplyToTheFirstAddressOfFromOnly) {
    addAutoresponder("info@me.example");
    MailingList l;
    l.Name = "NEWS";
    l.subscribefrom = "news@me.example";
    l.subscribemessage = "Welcome";
    l.onsubscribeto = "join@me.example";
    db().addList(l);
    std::string many;
    for (int i = 0; i < 2000; ++i) {
        many += (i ? ", " : "") + std::string("v") + std::to_string(i) + "@victim.example";
    }
    const auto got = run({"From: " + many + "\nTo: info@me.example\nSubject: s\n\nx\n",
                          "From: alice@x.example,bob@y.example\nTo: join@me.example\n\nx\n"});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].rcptTo, std::vector<std::string>{"v0@victim.example"});
    EXPECT_EQ(got[1].rcptTo, std::vector<std::string>{"alice@x.example"});
    EXPECT_TRUE(db().findMember("NEWS", "alice@x.example"));
    EXPECT_EQ(db().memberCount("NEWS"), 1);
}

TEST_F(Hostile, SendersValuesNeverMakeMarkup) {
    addAutoresponder("plain@me.example", "Hello %name%", "PLAIN");
    addAutoresponder("html@me.example", "<HTML><p>Hello %name%</p>", "HTML");
    const std::string body = "%vorelcode%\nname=<HTML><a href=\"http://evil.example\">x</a>\n";
    const auto got = run({"From: a@x.example\nTo: plain@me.example\nSubject: s\n\n" + body,
                          "From: b@x.example\nTo: html@me.example\nSubject: s\n\n" + body});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].data.find("text/plain"), std::string::npos) << got[0].data;
    EXPECT_EQ(got[0].data.find("<HTML>"), std::string::npos) << got[0].data;
    const std::string html = mime::parseMessage(got[1].data).bodyText;
    EXPECT_NE(html.find("&lt;HTML&gt;&lt;a href=&quot;http://evil.example&quot;&gt;"),
              std::string::npos)
        << html;
}

// A reply that begins with the sender's address, and a sender who names a
// message file waiting in the folder (someone else's forwarded mail).
TEST_F(Hostile, ASendersTextNeverSendsAFile) {
    addAutoresponder("info@me.example", "%email%");
    folder.write("7.msg", "From: boss@me.example\nSubject: secret\n\nThe secret plan.\n");
    const std::string path = messageFilePath(folder.path(), "7");
    const auto got = run({"From: <~" + path + ">\nTo: info@me.example\nSubject: s\n\nx\n"});
    ASSERT_EQ(got.size(), 1u) << host.logText();
    EXPECT_EQ(got[0].data.find("The secret plan."), std::string::npos) << got[0].data;
    EXPECT_NE(mime::parseMessage(got[0].data).bodyText.find("~" + path), std::string::npos);
}

}  // namespace
}  // namespace vorel
