// Mail written by an attacker: the autoresponder is no amplifier, a sender's
// values are text, and a sender's text never becomes a file to send.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/Clock.h"
#include "net/CurlMailComponent.h"
#include "net/Mime.h"
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

struct Hostile : ::testing::Test {
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
        s.txtTIMEOUT = "5";
        s.txtRUNPROGRAM = "";
    }
    void responder(const std::string& to, const std::string& message) {
        Autoresponder a;
        a.Name = to;
        a.To = to;
        a.msgfrom = "robot@me.example";
        a.msgsubject = "Re";
        a.message = message;
        Database::open(folder.file("data.mdb")).addAutoresponder(a);
    }
    std::vector<test::SmtpServer::Received> run(const std::vector<std::string>& messages) {
        test::PopServer pop;
        test::SmtpServer smtp;
        for (const auto& m : messages) {
            pop.addMessage(m);
        }
        s.txtPOP = pop.host() + ":" + std::to_string(pop.port());
        s.txtUSERID = pop.user();
        s.txtPASSWORD = pop.password();
        s.txtSMTP = smtp.host() + ":" + std::to_string(smtp.port());
        writeSettings(folder.path(), s);
        CurlMailComponent mail;
        MailRun r(folder.path(), host, mail, clock);
        EXPECT_TRUE(r.doRunMail()) << host.logText();
        return smtp.received();
    }
};

TEST_F(Hostile, OneReplyToTheFirstAddressOfFromOnly) {
    responder("info@me.example", "Thanks");
    MailingList l;
    l.Name = "NEWS";
    l.subscribefrom = "news@me.example";
    l.subscribemessage = "Welcome";
    l.onsubscribeto = "join@me.example";
    Database::open(folder.file("data.mdb")).addList(l);
    std::string many;
    for (int i = 0; i < 2000; ++i) {
        many += (i ? ", " : "") + std::string("v") + std::to_string(i) + "@victim.example";
    }
    const auto got = run({"From: " + many + "\nTo: info@me.example\nSubject: s\n\nx\n",
                          "From: alice@x.example,bob@y.example\nTo: join@me.example\n\nx\n"});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].rcptTo, std::vector<std::string>{"v0@victim.example"});
    EXPECT_EQ(got[1].rcptTo, std::vector<std::string>{"alice@x.example"});
    Database db = Database::open(folder.file("data.mdb"));
    EXPECT_TRUE(db.findMember("NEWS", "alice@x.example"));
    EXPECT_EQ(db.memberCount("NEWS"), 1);
}

TEST_F(Hostile, SendersValuesNeverMakeMarkup) {
    responder("plain@me.example", "Hello %name%");
    responder("html@me.example", "<HTML><p>Hello %name%</p>");
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
    responder("info@me.example", "%email%");
    folder.write("7.msg", "From: boss@me.example\nSubject: secret\n\nThe secret plan.\n");
    const std::string path = messageFilePath(folder.path(), "7");
    const auto got = run({"From: <~" + path + ">\nTo: info@me.example\nSubject: s\n\nx\n"});
    ASSERT_EQ(got.size(), 1u) << host.logText();
    EXPECT_EQ(got[0].data.find("The secret plan."), std::string::npos) << got[0].data;
    EXPECT_NE(mime::parseMessage(got[0].data).bodyText.find("~" + path), std::string::npos);
}

}  // namespace
}  // namespace vorel
