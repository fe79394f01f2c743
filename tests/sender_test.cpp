// Composition and sending of one message through the scripted mail component.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "core/Reporter.h"
#include "core/RunState.h"
#include "mail/Sender.h"
#include "store/Queue.h"
#include "support/FakeMailComponent.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

using test::FakeMailComponent;
using test::RecordingHost;
using test::TempFolder;

using test::FixedClock;

const char kHost[] = "smtp.example";

class SenderTest : public ::testing::Test {
protected:
    bool send(const std::string& to, const std::string& body = "Hello",
              const std::string& subject = "Hi", const std::string& from = "me@vorel.example") {
        return sendOneMessage(ctx, to, from, kHost, body, subject);
    }
    const OutgoingMessage& last() const { return mail.sent().back(); }

    TempFolder folder;
    RecordingHost host;
    FixedClock clock;
    Reporter report{folder.path(), host, clock};
    FakeMailComponent mail;
    RunState state;
    RunContext ctx{folder.path(), state, report, mail, clock, host};
};

TEST_F(SenderTest, ConnectionIsRenewedOnThe31stAnd62ndMessage) {
    for (int i = 1; i <= 65; ++i) {
        ASSERT_TRUE(send("r" + std::to_string(i) + "@x.example"));
    }
    EXPECT_EQ(mail.sent().size(), 65u);
    EXPECT_EQ(host.countLogContaining("Connecting to STMP server smtp.example"), 3);
    EXPECT_EQ(mail.disconnects(), 2);

    // Messages sent between the renewals: 30, then 31, then the rest.
    std::vector<int> runs{0};
    for (const auto& line : host.logEntries()) {
        if (line == "Safety check, disconnecting from server") {
            runs.push_back(0);
        } else if (line.rfind("Message Sent From: ", 0) == 0) {
            ++runs.back();
        }
    }
    EXPECT_EQ(runs, (std::vector<int>{30, 31, 4}));
    // The renewal comes right before its message is sent, on the new connection.
    const auto& calls = mail.calls();
    auto it = std::find(calls.begin(), calls.end(), "disconnect");
    ASSERT_NE(it, calls.end());
    EXPECT_EQ(*(it + 1), "smtpConnect smtp.example 0 ");
    EXPECT_EQ(*(it + 2), "send r31@x.example");
}

TEST_F(SenderTest, EsmtpLogsInWithTheMailboxAccount) {
    state.settings.chkESMTP = "1";
    state.settings.txtUSERID = "alice";
    state.settings.txtPASSWORD = "pw";
    ASSERT_TRUE(send("a@x.example"));
    ASSERT_TRUE(send("b@x.example"));
    EXPECT_TRUE(host.hasLogEntry("Connecting to ESTMP server smtp.example"));
    EXPECT_EQ(mail.callCount("smtpConnect"), 1);
    EXPECT_EQ(mail.calls().front(), "smtpConnect smtp.example 2 alice");
    EXPECT_TRUE(state.smtpConnected);
}

TEST_F(SenderTest, ComposesTextMessages) {
    struct Case {
        const char* body;
        const char* subtype;
    };
    const Case cases[] = {
        {"<HTML><BODY>Hi</BODY></HTML>", "html"},
        {"Intro text <HTML> later", "html"},
        {"<html><body>lower case</body></html>", "plain"},
        {"", "plain"},
    };
    state.settings.txtAUTOFORWARD = "Boss <boss@x.example";
    for (const auto& c : cases) {
        ASSERT_TRUE(send("a@x.example", c.body));
        EXPECT_EQ(last().contentType + "/" + last().contentSubtype,
                  std::string("text/") + c.subtype)
            << c.body;
        EXPECT_EQ(last().body, c.body);
    }
    EXPECT_EQ(last().copyTo, "Boss <boss@x.example>");
    EXPECT_EQ(last().sender, "me@vorel.example");
    EXPECT_EQ(last().messageRef, "202612545296_KESO");
    EXPECT_EQ(last().extraHeaders,
              (std::vector<std::string>{"X-Mailer: VOREL MAIL http://www.vorel.example GET YOURS "
                                        "FREE - This software must NOT be used for spamming"}));
    EXPECT_TRUE(host.hasLogEntry(
        "Message Sent From: me@vorel.example to: a@x.example: Host smtp.example Subject Hi"));

    state.settings.txtAUTOFORWARD = "";
    ASSERT_TRUE(send("a@x.example"));
    EXPECT_EQ(last().copyTo, "");
}

TEST_F(SenderTest, CleansAddressesAndSubjects) {
    struct Case {
        std::string to, subject, sentTo, sentSubject;
    };
    const std::vector<Case> cases = {
        {"joe@x.example\r\n", "Hi\r\n", "joe@x.example", "Hi "},
        {"joe@x.example\xFF", "Hi\xFF", "joe@x.example", "Hi"},
        {"Joe <joe@x.example", "two\r\nlines", "Joe <joe@x.example>", "two lines"},
        {"joe@x.example", "a\r\nb\r\nc", "joe@x.example", "a b c"},
        {"joe@x.example", "bare\nLF", "joe@x.example", "bare\nLF"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(send(c.to, "x", c.subject, "Me <me@vorel.example\r\n"));
        EXPECT_EQ(last().to, c.sentTo);
        EXPECT_EQ(last().subject, c.sentSubject);
        EXPECT_EQ(last().from, "Me <me@vorel.example>");
    }
}

TEST_F(SenderTest, OnlyOwnMessageFilesAreSentAsFiles) {
    const std::string own = messageFilePath(folder.path(), "3");
    folder.write("3.msg", "From: a@b\r\n\r\nforwarded\r\n");

    ASSERT_TRUE(send("a@x.example", "~" + own + "\r\n"));
    EXPECT_EQ(last().sourceFile, own);
    EXPECT_TRUE(last().body.empty());
    ASSERT_TRUE(send("a@x.example", "~  " + own + "  \r\n"));
    EXPECT_EQ(last().sourceFile, own);

    TempFolder other;
    const std::vector<std::string> foreign = {
        "~/etc/passwd\r\n",
        "~" + messageFilePath(other.path(), "3") + "\r\n",
        "~" + folder.path() + "/../3.msg\r\n",
        "~" + folder.path() + "/data.mdb\r\n",
        "~" + folder.path() + "/.msg\r\n",
        "~\r\n",
        "~",
    };
    for (const auto& body : foreign) {
        ASSERT_TRUE(send("a@x.example", body));
        EXPECT_TRUE(last().sourceFile.empty()) << body;
        EXPECT_EQ(last().body, body);
    }
}

TEST_F(SenderTest, FailuresAreLoggedAndFlagged) {
    mail.failCall("send", 2, 20002);
    ASSERT_TRUE(send("a@x.example", "x", "s"));
    EXPECT_FALSE(state.sendFailed);
    EXPECT_FALSE(send("b@y.example", "x", "s\r\n"));
    EXPECT_TRUE(state.sendFailed);
    EXPECT_TRUE(state.smtpConnected);  // left as it was; the caller renews
    EXPECT_TRUE(host.hasLogEntry(
        "Message FAILED From: me@vorel.example to: b@y.example: Host smtp.example Subject s "));
    EXPECT_TRUE(
        host.hasLogEntry("Message Failed :  Error:" + mailErrorText(20002) + " message Re-Queued"));
    EXPECT_EQ(host.countLogContaining("Message Sent From: me@vorel.example to: b@y.example"), 0);

    // A refused connection leaves the flag clear, so the next message connects.
    state.smtpConnected = false;
    mail.failCall("smtpConnect", 2, 11001);
    EXPECT_FALSE(send("c@y.example"));
    EXPECT_FALSE(state.smtpConnected);
    EXPECT_TRUE(
        host.hasLogEntry("Message Failed :  Error:Remote host could not be found."
                         " message Re-Queued"));
    EXPECT_TRUE(send("d@y.example"));
    EXPECT_EQ(mail.callCount("smtpConnect"), 3);
}

}  // namespace
}  // namespace vorel
