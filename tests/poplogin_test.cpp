// GNU mailutils pop3d greets with an APOP timestamp even for accounts that take USER/PASS: APOP
// only when PASS was refused.
#include <gtest/gtest.h>

#include <string>

#include "net/CurlMailComponent.h"
#include "support/TestServers.h"

namespace vorel {

TEST(MailutilsLogin, UserPassFirstThenApop) {
    VOREL_SKIP_UNLESS_ROOT();
    test::PopServer pop({.kind = test::PopServer::Kind::Mailutils, .apopSecret = true});
    pop.addMessage("From: a@x.example\nSubject: s\n\nbody\n");
    pop.addMessage("Subject: t\n\nbody\n");
    std::string sent;  // the command words
    CurlMailComponent mail;
    mail.setTranscriptOn(true);
    mail.setTranscriptHandler([&](const std::string& l, TranscriptDirection d) {
        sent += d == TranscriptDirection::Sent ? l.substr(0, l.find_first_of(" \r")) + " " : "";
    });
    const std::string host = pop.host() + ":" + std::to_string(pop.port());
    try {
        mail.popConnect(host, pop.user(), "wrong");
        ADD_FAILURE() << "a wrong password logged in";
    } catch (const MailError& e) {
        EXPECT_EQ(e.code(), mailcode::kBadPassword) << e.what();
    }
    EXPECT_EQ(sent, "CAPA USER PASS APOP ");
    sent.clear();
    mail.popConnect(host, pop.user(), pop.password());
    EXPECT_EQ(mail.messageCount(), 2);
    mail.selectMessage(1);
    mail.fetchHeader();
    EXPECT_EQ(mail.subject() + "|" + mail.bodyText(), "s|body\r\n");
    mail.deleteMessage();
    mail.disconnect();
    EXPECT_EQ(sent.substr(0, 20), "CAPA USER PASS LIST ");
    ASSERT_EQ(pop.messageCount(), 1u);
    EXPECT_NE(pop.messages()[0].find("Subject: t"), std::string::npos);
}

}  // namespace vorel
