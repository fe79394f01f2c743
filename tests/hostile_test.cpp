// Mail written by an attacker or a careless program: the autoresponder is no
// amplifier, a sender's values are text, a sender's text never becomes a file
// to send, what is forwarded can be sent, and no text is lost or shown raw.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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

// Every byte as "=XX": any content, NULs and byte-order marks included.
std::string quotedPrintable(const std::string& bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "=%02X", static_cast<unsigned char>(bytes[i]));
        out += hex;
        if (i % 24 == 23) {
            out += "=\n";
        }
    }
    return out + "\n";
}

std::string utf16(const std::u16string& text, bool bigEndian) {
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t c : text) {
        const char high = static_cast<char>(c >> 8);
        const char low = static_cast<char>(c & 0xFF);
        out += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return out;
}

std::size_t longestLine(const std::string& data) {
    std::size_t longest = 0;
    std::size_t start = 0;
    for (std::size_t nl = data.find('\n'); nl != std::string::npos; nl = data.find('\n', start)) {
        longest = std::max(longest, nl - start);
        start = nl + 1;
    }
    return std::max(longest, data.size() - start);
}

const test::SmtpServer::Received* findSent(const std::vector<test::SmtpServer::Received>& got,
                                           const std::string& rcpt, const std::string& marker) {
    for (const auto& m : got) {
        if (m.rcptTo == std::vector<std::string>{rcpt} &&
            m.data.find(marker) != std::string::npos) {
            return &m;
        }
    }
    return nullptr;
}

const std::string kGruss = "Gr\u00FC\u00DFe aus K\u00F6ln";

// A server refuses lines over 998 octets, and 8-bit data unless it offers
// 8BITMIME (the test server refuses both).
TEST_F(Hostile, ForwardedMailIsEncodedWhereAServerWouldRefuseIt) {
    struct Row {
        const char* name;
        bool eightBitMime;
        std::string body;  // the fields of the content, a blank line, the content
        std::string text;  // what the forwarded copy reads as
        bool asReceived;   // the content goes byte for byte
    };
    const std::string longLine = "<p>" + std::string(5000, 'x') + "</p>";
    const std::string eightBit =
        "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n" + kGruss +
        "\n";
    const std::string attachment =
        "Content-Type: multipart/mixed; boundary=b1\n\n--b1\nContent-Type: text/plain\n\n"
        "See attached.\n--b1\nContent-Type: application/octet-stream\n"
        "Content-Transfer-Encoding: binary\n\n\x89PNG\xFF\xFE\x80\x81\n--b1--\n";
    const std::vector<Row> rows = {
        {"line of 5,007 octets", true, "Content-Type: text/html\n\n" + longLine + "\n", longLine,
         false},
        {"8-bit text, no 8BITMIME", false, eightBit, kGruss, false},
        {"8-bit text, 8BITMIME", true, eightBit, kGruss, true},
        {"8-bit attachment, no 8BITMIME", false, attachment, "See attached.", false},
    };
    for (const bool eightBitMime : {true, false}) {
        test::RunFolder f;
        Autoresponder a;
        a.Name = "FWD";
        a.To = "fwd@me.example";
        a.msgfrom = "robot@me.example";
        a.msgsubject = "Re: your mail";
        a.message = "Thanks";
        a.mailto = "boss@me.example";
        f.db().addAutoresponder(a);
        std::vector<std::string> messages;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].eightBitMime == eightBitMime) {
                messages.push_back("From: s@x.example\nTo: fwd@me.example\nSubject: row" +
                                   std::to_string(i) + "\nMIME-Version: 1.0\n" + rows[i].body);
            }
        }
        test::SmtpServer::Options options;
        options.eightBitMime = eightBitMime;
        const auto got = runIn(f, messages, options);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Row& row = rows[i];
            if (row.eightBitMime != eightBitMime) {
                continue;
            }
            SCOPED_TRACE(row.name);
            const auto* sent = findSent(got, "boss@me.example", "row" + std::to_string(i));
            ASSERT_NE(sent, nullptr) << f.host.logText();
            EXPECT_LE(longestLine(sent->data), 998u);
            EXPECT_TRUE(eightBitMime || std::all_of(sent->data.begin(), sent->data.end(),
                                                    [](char c) { return c >= 0; }));
            EXPECT_NE(mime::parseMessage(sent->data).bodyText.find(row.text), std::string::npos)
                << sent->data;
            const std::string content = mime::toCrlf(row.body.substr(row.body.find("\n\n") + 2));
            EXPECT_EQ(sent->data.find(content) != std::string::npos, row.asReceived) << sent->data;
        }
    }
}

// A post reaches members whole, whatever its text holds or claims to be.
TEST_F(Hostile, NoTextIsLostOnTheWayToMembers) {
    struct Row {
        const char* name;
        std::string subject;
        std::string body;
        std::vector<std::string> texts;
    };
    const std::string qp = "Content-Transfer-Encoding: quoted-printable\n\n";
    const std::vector<Row> rows = {
        {"NUL byte",
         "",
         "Content-Type: text/plain\n\nfirst line\x00 and more\nsecond line\n"s,
         {"first line and more\r\nsecond line"}},
        {"encoded NUL byte",
         "",
         "Content-Type: text/plain; charset=utf-8\n" + qp +
             quotedPrintable("first\0line\r\nsecond line\r\n"s),
         {"firstline\r\nsecond line"}},
        {"Windows-1252 labelled UTF-8",
         "",
         "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n"
         "Gr\xFC\xDF"
         "e aus K\xF6ln, 5 \x80\n",
         {kGruss + ", 5 \u20AC"}},
        {"Windows-1252 in a UTF-8 encoded word",
         "=?utf-8?q?Gr=FC=DFe_aus_K=F6ln?=",
         "Content-Type: text/plain\n\nx\n",
         {kGruss}},
        {"unlabelled UTF-16LE",
         "",
         "Content-Type: text/plain\n" + qp +
             quotedPrintable(utf16(u"Gr\u00FC\u00DFe aus K\u00F6ln\r\n", false)),
         {kGruss}},
        {"unlabelled UTF-16BE",
         "",
         "Content-Type: text/plain\n" + qp +
             quotedPrintable(utf16(u"Gr\u00FC\u00DFe aus K\u00F6ln\r\n", true)),
         {kGruss}},
    };
    MailingList l;
    l.Name = "NEWS";
    l.sendtolistfrom = "news@me.example";
    db().addList(l);
    for (const char* address : {"p@x.example", "m@x.example"}) {
        Member m;
        m.name = "NEWS";
        m.Email = address;
        db().addMember(m);
    }
    std::vector<std::string> messages;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        messages.push_back("From: p@x.example\nTo: news@me.example\nSubject: row" +
                           std::to_string(i) + " " + rows[i].subject + "\nMIME-Version: 1.0\n" +
                           rows[i].body);
    }
    const auto got = run(messages);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        const auto* copy = findSent(got, "m@x.example", "row" + std::to_string(i));
        ASSERT_NE(copy, nullptr) << host.logText();
        const auto parsed = mime::parseMessage(copy->data);
        const std::string text = parsed.subject + "\n" + parsed.bodyText;
        for (const auto& expected : rows[i].texts) {
            EXPECT_NE(text.find(expected), std::string::npos) << text;
        }
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
            return (c >= 0 && c < 0x20 && c != '\r' && c != '\n' && c != '\t') || c == 0x7F;
        });
    };
    EXPECT_FALSE(control(logTxt));
    EXPECT_TRUE(std::none_of(host.logEntries().begin(), host.logEntries().end(), control));
}

}  // namespace
}  // namespace vorel
