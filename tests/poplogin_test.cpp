// Logging in to a second, independent POP3 server (GNU mailutils pop3d),
// whose greeting always carries an APOP timestamp.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/RunFolder.h"

namespace vorel {
namespace {

using test::PopServer;

PopServer::Options mailutils(bool apopSecret) {
    PopServer::Options o;
    o.kind = PopServer::Kind::Mailutils;
    o.apopSecret = apopSecret;
    return o;
}

struct LoginCase {
    const char* name;
    bool apopSecret;
    bool rightPassword;
};

class MailutilsLogin : public ::testing::TestWithParam<LoginCase> {};

TEST_P(MailutilsLogin, RightPasswordLogsInWrongOneIsRefused) {
    VOREL_SKIP_UNLESS_ROOT();
    const LoginCase& c = GetParam();
    PopServer pop(mailutils(c.apopSecret));
    pop.addMessage("From: a@x.example\nTo: b@y.example\nSubject: s\n\nbody\n");
    CurlMailComponent mail;
    const std::string host = pop.host() + ":" + std::to_string(pop.port());
    const std::string password = c.rightPassword ? pop.password() : "wrong";
    if (c.rightPassword) {
        mail.popConnect(host, pop.user(), password);
        EXPECT_EQ(mail.messageCount(), 1);
        mail.selectMessage(1);
        mail.fetchHeader();
        EXPECT_EQ(mail.subject(), "s");
        mail.disconnect();
    } else {
        try {
            mail.popConnect(host, pop.user(), password);
            ADD_FAILURE() << "a wrong password logged in";
        } catch (const MailError& e) {
            EXPECT_EQ(e.code(), mailcode::kBadPassword) << e.what();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Accounts, MailutilsLogin,
                         ::testing::Values(LoginCase{"NoApopSecret", false, true},
                                           LoginCase{"ApopSecret", true, true},
                                           LoginCase{"NoApopSecretWrong", false, false},
                                           LoginCase{"ApopSecretWrong", true, false}),
                         [](const auto& p) { return std::string(p.param.name); });

struct MailutilsRun : ::testing::Test, test::RunFolder {
    void SetUp() override {
        VOREL_SKIP_UNLESS_ROOT();
        addAutoresponder("info@me.example");
        s.chkDEBUG = "1";
    }
    bool run(const PopServer& pop, const test::SmtpServer& smtp, const std::string& password) {
        pointAt(pop);
        pointAt(smtp);
        s.txtPASSWORD = password;
        return RunFolder::run();
    }
};

TEST_F(MailutilsRun, AnswersAndDeletesWithUserPass) {
    PopServer pop(mailutils(false));
    test::SmtpServer smtp;
    pop.addMessage("From: ann@x.example\nTo: info@me.example\nSubject: q\n\nhello\n");
    pop.addMessage("From: bob@x.example\nTo: else@me.example\nSubject: q\n\nhello\n");
    ASSERT_TRUE(run(pop, smtp, pop.password())) << host.logText();
    ASSERT_EQ(smtp.received().size(), 1u);
    EXPECT_EQ(smtp.received()[0].rcptTo, std::vector<std::string>{"ann@x.example"});
    ASSERT_EQ(pop.messageCount(), 1u);
    EXPECT_NE(pop.messages()[0].find("bob@x.example"), std::string::npos);
    const std::string d = folder.read("debug.log");
    EXPECT_NE(d.find("PASS ********"), std::string::npos) << d;
    EXPECT_EQ(d.find(pop.password()), std::string::npos) << d;
}

TEST_F(MailutilsRun, WrongPasswordFailsEveryTryWithTheTranscriptMasked) {
    PopServer pop(mailutils(true));
    test::SmtpServer smtp;
    EXPECT_FALSE(run(pop, smtp, "Wrong-Pw-1"));
    EXPECT_EQ(host.countLogContaining("Invalid password."), 10);
    const std::string d = folder.read("debug.log");
    EXPECT_NE(d.find("APOP " + pop.user() + " ********"), std::string::npos) << d;
    EXPECT_EQ(d.find("Wrong-Pw-1"), std::string::npos) << d;
}

}  // namespace
}  // namespace vorel
