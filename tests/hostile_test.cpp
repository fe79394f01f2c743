// Mail written by an attacker or a careless program: the autoresponder is no
// amplifier, a sender's values are text, a sender's text never becomes a file
// to send, what is forwarded can be sent, and no text is lost or shown raw.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "net/Mime.h"
#include "store/Queue.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

using namespace std::string_literals;

std::vector<test::SmtpServer::Received> runIn(test::RunFolder& f,
                                              const std::vector<std::string>& messages,
                                              const test::SmtpServer::Options& options = {}) {
    test::PopServer pop;
    test::SmtpServer smtp(options);
    for (const auto& m : messages) {
        pop.addMessage(m);
    }
    f.pointAt(pop);
    f.pointAt(smtp);
    EXPECT_TRUE(f.run()) << f.host.logText();
    return smtp.received();
}

struct Hostile : ::testing::Test, test::RunFolder {
    void SetUp() override { VOREL_SKIP_UNLESS_ROOT(); }
    std::vector<test::SmtpServer::Received> run(const std::vector<std::string>& messages) {
        return runIn(*this, messages);
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

// The copy of message "row<i>" sent to rcpt, or null.
const test::SmtpServer::Received* findSent(const std::vector<test::SmtpServer::Received>& got,
                                           const std::string& rcpt, std::size_t i) {
    for (const auto& m : got) {
        if (m.rcptTo == std::vector<std::string>{rcpt} &&
            m.data.find("row" + std::to_string(i)) != std::string::npos) {
            return &m;
        }
    }
    return nullptr;
}

const std::string kGruss = "Gr\u00FC\u00DFe aus K\u00F6ln";

// The test server refuses lines over 998 octets, and 8-bit data unless it
// offers 8BITMIME: a copy that arrives was sendable.
TEST_F(Hostile, ForwardedMailIsEncodedWhereAServerWouldRefuseIt) {
    struct Row {
        bool eightBitMime;
        std::string content;  // fields, a blank line, the content
        std::string text;     // what the copy reads as
        bool asReceived;      // the content goes byte for byte
    };
    const std::string eightBit = "charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n" + kGruss;
    const std::vector<Row> rows = {
        {true, "Content-Type: text/html\n\n" + std::string(5000, 'x'), std::string(5000, 'x'),
         false},
        {false, "Content-Type: text/plain; " + eightBit, kGruss, false},
        {true, "Content-Type: text/plain; " + eightBit, kGruss, true},
        {false,
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n\nSee attached.\n--b\n"
         "Content-Type: application/octet-stream\n\n\x89PNG\xFF\xFE\x80\n--b--",
         "See attached.", false},
    };
    for (const bool eightBitMime : {true, false}) {
        test::RunFolder f;
        Autoresponder a;
        a.To = "fwd@me.example";
        a.msgfrom = "robot@me.example";
        a.mailto = "boss@me.example";
        f.db().addAutoresponder(a);
        std::vector<std::string> messages;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].eightBitMime == eightBitMime) {
                messages.push_back("From: s@x.example\nTo: fwd@me.example\nSubject: row" +
                                   std::to_string(i) + " \nMIME-Version: 1.0\n" + rows[i].content +
                                   "\n");
            }
        }
        test::SmtpServer::Options options;
        options.eightBitMime = eightBitMime;
        const auto got = runIn(f, messages, options);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].eightBitMime == eightBitMime) {
                SCOPED_TRACE(i);
                const auto* sent = findSent(got, "boss@me.example", i);
                ASSERT_NE(sent, nullptr) << f.host.logText();
                const std::string& data = sent->data;
                EXPECT_NE(mime::parseMessage(data).bodyText.find(rows[i].text), std::string::npos);
                const std::string content = rows[i].content.substr(rows[i].content.find("\n\n"));
                EXPECT_EQ(data.find(mime::toCrlf(content)) != std::string::npos, rows[i].asReceived)
                    << data;
                // 8-bit data is declared as such.
                const bool eightBitData = std::any_of(data.begin(), data.end(), [](char c) {
                    return static_cast<unsigned char>(c) > 127;
                });
                EXPECT_EQ(sent->mailOptions.find("BODY=8BITMIME") != std::string::npos,
                          eightBitData)
                    << sent->mailOptions;
            }
        }
    }
}

// A post reaches members whole, whatever its text holds or claims to be.
TEST_F(Hostile, NoTextIsLostOnTheWayToMembers) {
    struct Row {
        std::string subject;
        std::string content;  // fields, a blank line, the content
        std::string text;     // in the copy's subject or text
    };
    const std::string base64 = "Content-Transfer-Encoding: base64\n\n";
    const std::vector<Row> rows = {
        {"NUL", "\nfirst line\0 and more\nsecond line"s, "first line and more\r\nsecond line"},
        // "first\0line\r\nsecond line\r\n"
        {"",
         "Content-Type: text/plain; charset=utf-8\n" + base64 +
             "Zmlyc3QAbGluZQ0Kc2Vjb25kIGxpbmUNCg==",
         "firstline\r\nsecond line"},
        {"",
         "Content-Type: text/plain; charset=utf-8\n\nGr\xFC\xDF"
         "e aus K\xF6ln, 5 \x80",
         kGruss + ", 5 \u20AC"},
        {"=?utf-8?q?Gr=FC=DFe_aus_K=F6ln?=", "\nx", kGruss},
        // Unlabelled UTF-16LE with its byte-order mark: kGruss and CR LF.
        {"",
         "Content-Type: text/plain\n" + base64 + "//5HAHIA/ADfAGUAIABhAHUAcwAgAEsA9gBsAG4ADQAKAA==",
         kGruss},
    };
    MailingList l;
    l.Name = "NEWS";
    l.sendtolistfrom = "news@me.example";
    db().addList(l);
    for (const char* address : {"p@x.example", "m@x.example"}) {
        db().addMember(Member{0, "NEWS", address, ""});
    }
    std::vector<std::string> messages;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        messages.push_back("From: p@x.example\nTo: news@me.example\nSubject: row" +
                           std::to_string(i) + " " + rows[i].subject + "\n" + rows[i].content +
                           "\n");
    }
    const auto got = run(messages);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        const auto* copy = findSent(got, "m@x.example", i);
        ASSERT_NE(copy, nullptr) << host.logText();
        const auto parsed = mime::parseMessage(copy->data);
        EXPECT_NE((parsed.subject + "\n" + parsed.bodyText).find(rows[i].text), std::string::npos)
            << parsed.bodyText;
    }
}

// A subject cannot retitle, clear or recolour a terminal, nor break a line.
TEST_F(Hostile, ControlCharactersAreShownAsPlaceholders) {
    const std::string x = "\uFFFD";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"a\x1B]0;owned\x07z", "a" + x + "]0;owned" + x + "z"},
        {"=?utf-8?q?b=1B[2Jz?=", "b" + x + "[2Jz"},
        {"=?utf-8?q?c=C2=9B31mz?=", "c" + x + "31mz"},
        {"d\x7Fz", "d" + x + "z"},
        {"=?utf-8?q?e=08z=E2=80=A8f=E2=80=A9z?=", "e" + x + "z" + x + "f" + x + "z"},
    };
    std::vector<std::string> messages;
    for (const auto& [subject, shown] : rows) {
        messages.push_back("From: a@x.example\nTo: info@me.example\nPrecedence: bulk\nSubject: " +
                           subject + "\n\nx\n");
    }
    run(messages);
    const std::string logTxt = folder.read("log.txt");
    for (const auto& [subject, shown] : rows) {
        SCOPED_TRACE(shown);
        EXPECT_NE(logTxt.find("Subject: " + shown + " is"), std::string::npos) << logTxt;
        EXPECT_EQ(host.countLogContaining("Subject: " + shown + " is"), 1) << host.logText();
    }
    const auto control = [](const std::string& line) {
        return std::any_of(line.begin(), line.end(), [](char c) {
            return (c >= 0 && c < 0x20 && c != '\r' && c != '\n') || c == 0x7F;
        });
    };
    EXPECT_FALSE(control(logTxt));
    EXPECT_TRUE(std::none_of(host.logEntries().begin(), host.logEntries().end(), control));
}

}  // namespace
}  // namespace vorel
