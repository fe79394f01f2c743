// Hostile or careless mail: no amplifier, values stay text, and no text is lost or shown raw.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "mail/Subscriptions.h"
#include "net/Mime.h"
#include "store/Queue.h"
#include "support/Rows.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

using namespace std::string_literals;

const std::string kGruss = "Gr\u00FC\u00DFe aus K\u00F6ln";

// One run: a From of 2,000 addresses, markup values, a sender naming a waiting message file,
// terminal controls in subjects, posts behind NULs and false charsets, a subscription from two
// addresses, and one by a domain's ASCII form that its readable form ends.
TEST(Hostile, OneRunOfHostileMail) {
    VOREL_SKIP_UNLESS_ROOT();
    test::ServedFolder f;
    f.addAutoresponder("info@me.example", "%email%");
    f.addAutoresponder("plain@me.example", "Hello %name%", "PLAIN");
    f.addAutoresponder("html@me.example", "<HTML><p>Hello %name%</p>", "HTML");
    MailingList l;
    l.Name = "NEWS";
    l.sendtolistfrom = "news@me.example";
    l.postcheck = 0;  // any member by From (who may post: posts_test)
    l.subscribefrom = "welcome@me.example";
    l.subscribemessage = "Welcome";
    l.onsubscribeto = "join@me.example";
    l.onunsubscribeto = "leave@me.example";
    l.confirm = false;  // members at once: the addresses stored are what is checked
    f.db().addList(l);
    for (const char* address : {"p@x.example", "m@x.example"}) {
        f.db().addMember(Member{0, "NEWS", address, ""});
    }
    f.folder.write("77.msg", "From: boss@me.example\nSubject: secret\n\nThe secret plan.\n");
    const std::string path = messageFilePath(f.folder.path(), "77");
    std::string many;
    for (int i = 0; i < 2000; ++i) {
        many += (i ? ", v" : "v") + std::to_string(i) + "@victim.example";
    }
    const std::string markup = "%vorelcode%\nname=<HTML><a href=\"http://evil.example\">x</a>\n";
    std::vector<std::string> messages = {
        "From: " + many + "\nTo: info@me.example\nSubject: s\n\nx\n",
        "From: a@x.example\nTo: plain@me.example\nSubject: s\n\n" + markup,
        "From: b@x.example\nTo: html@me.example\nSubject: s\n\n" + markup,
        "From: <~" + path + ">\nTo: info@me.example\nSubject: s\n\nx\n"};
    // A subject cannot retitle, clear or recolour a terminal, nor break a line.
    const std::string x = "\uFFFD";
    const std::vector<std::pair<std::string, std::string>> subjects = {
        {"a\x1B]0;owned\x07z", "a" + x + "]0;owned" + x + "z"},
        {"=?utf-8?q?b=1B[2Jz?=", "b" + x + "[2Jz"},
        {"=?utf-8?q?c=C2=9B31mz?=", "c" + x + "31mz"},
        {"d\x7Fz", "d" + x + "z"},
        {"=?utf-8?q?e=08z=E2=80=A8f=E2=80=A9z?=", "e" + x + "z" + x + "f" + x + "z"}};
    for (const auto& [subject, shown] : subjects) {
        messages.push_back("From: c@x.example\nTo: info@me.example\nPrecedence: bulk\nSubject: " +
                           subject + "\n\nx\n");
    }
    // Posts: subject, content (fields, blank line, text), and what the members' copy reads.
    const std::string base64 = "Content-Transfer-Encoding: base64\n\n";
    const std::vector<std::vector<std::string>> posts = {
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
        {"=?utf-8?q?Gr=FC=DFe_aus_K=F6ln?=", "\nx", "row3 " + kGruss},
        // Unlabelled UTF-16LE with its byte-order mark.
        {"",
         "Content-Type: text/plain\n" + base64 + "//5HAHIA/ADfAGUAIABhAHUAcwAgAEsA9gBsAG4ADQAKAA==",
         kGruss + "\r\n"}};
    for (std::size_t i = 0; i < posts.size(); ++i) {
        messages.push_back("From: p@x.example\nTo: news@me.example\nSubject: row" +
                           std::to_string(i) + " " + posts[i][0] + "\n" + posts[i][1] + "\n");
    }
    messages.push_back("From: alice@x.example,bob@y.example\nTo: join@me.example\n\nx\n");
    // Either form of a domain is one member.
    messages.push_back("From: user@xn--mller-kva.example\nTo: join@me.example\n\nx\n");
    messages.push_back("From: user@m\u00FCller.example\nTo: leave@me.example\n\nx\n");
    std::ranges::for_each(messages, [&](const std::string& m) { f.pop.addMessage(m); });
    ASSERT_TRUE(f.run()) << f.host.logText();
    // The decoded subject and text of every message sent, by recipient.
    std::map<std::string, std::string> sent;
    std::string plain;
    for (const auto& r : f.smtp.received()) {
        ASSERT_EQ(r.rcptTo.size(), 1u);
        EXPECT_EQ(r.data.find("The secret plan."), std::string::npos) << r.data;
        const auto parsed = mime::parseMessage(r.data);
        sent[r.rcptTo[0]] += parsed.subject + "\n" + parsed.bodyText + "\n";
        plain += r.rcptTo[0] == "a@x.example" ? r.data : "";
    }
    // One reply, to the first address of From only; values never make markup.
    EXPECT_TRUE(sent.count("v0@victim.example") && sent.count("alice@x.example") &&
                !sent.count("v1@victim.example") && !sent.count("bob@y.example"));
    EXPECT_TRUE(f.db().findMember("NEWS", "alice@x.example"));
    EXPECT_EQ(f.db().memberCount("NEWS"), 3) << "p, m and alice";
    EXPECT_TRUE(plain.find("text/plain") != std::string::npos &&
                plain.find("<HTML>") == std::string::npos)
        << plain;
    EXPECT_NE(
        sent["b@x.example"].find("&lt;HTML&gt;&lt;a href=&quot;http://evil.example&quot;&gt;"),
        std::string::npos)
        << sent["b@x.example"];
    EXPECT_NE(sent["~" + path].find("~" + path), std::string::npos) << sent["~" + path];
    // A post reaches members whole, whatever its text holds or claims to be.
    for (const auto& post : posts) {
        EXPECT_NE(sent["m@x.example"].find(post[2]), std::string::npos) << post[2];
    }
    const std::string logTxt = f.folder.read("log.txt");
    for (const auto& [subject, shown] : subjects) {
        SCOPED_TRACE(shown);
        EXPECT_NE(logTxt.find("Subject: " + shown + " is"), std::string::npos) << logTxt;
        EXPECT_EQ(f.host.countLogContaining("Subject: " + shown + " is"), 1);
    }
    const auto control = [](const std::string& line) {
        return std::any_of(line.begin(), line.end(), [](char c) {
            return (c >= 0 && c < 0x20 && c != '\r' && c != '\n') || c == 0x7F;
        });
    };
    EXPECT_FALSE(control(logTxt));
    EXPECT_TRUE(std::none_of(f.host.logEntries().begin(), f.host.logEntries().end(), control));
}

// Look-alike separators in From, and messages built to take memory: many parts, deep nesting,
// messages inside messages, a long To, one line of megabytes to a subscribe address. Each is
// answered or refused as a row says; nothing reaches a second address.
TEST(Hostile, LookAlikeAddressesAndMessagesBuiltToTakeMemory) {
    VOREL_SKIP_UNLESS_ROOT();
    test::ServedFolder f;
    Autoresponder rule = test::replyRule("INFO", "info@me.example", "Hello %name%");
    rule.mailto = "boss@me.example";
    f.db().addAutoresponder(rule);
    MailingList l;
    l.Name = "NEWS";
    l.subscribefrom = l.unsubscribefrom = "news@me.example";
    l.subscribemessage = "Welcome";
    l.unsubscribemessage = "Bye";
    l.onsubscribeto = "join@me.example";
    l.onunsubscribeto = "leave@me.example";
    l.confirm = false;  // subscribed at once: what a row would hold is the point
    f.db().addList(l);
    l.Name = "ASK";
    l.onsubscribeto = "ask@me.example";
    l.onunsubscribeto = "";
    l.confirm = true;
    f.db().addList(l);
    std::string lookAlike = "v000@victim.example";
    for (int i = 1; i < 20; ++i) {
        lookAlike += "\uFF0Cv" + std::to_string(i) + "\uFF20victim.example";
    }
    // Rows written before look-alikes were refused: a member cannot take a farewell either,
    // and a request is confirmed neither by mail nor by hand.
    Database db = f.db();
    db.addMember(Member{0, "NEWS", lookAlike, ""});
    const std::string token(32, 'c');
    db.addPending({0, "ASK", lookAlike, "", token, epochSeconds(f.clock.now())});
    EXPECT_THROW(confirmByHand(db, f.folder.path(), l, db.pendingOf("ASK").at(0), f.clock.now()),
                 std::runtime_error);
    const std::string mime = "MIME-Version: 1.0\nContent-Type: ";
    std::string manyParts =
        mime + "multipart/mixed; boundary=b\n\n--b\n\n%vorelcode%\nname=Parts\n";
    for (int i = 0; i < 200000; ++i) {
        manyParts += "--b\n\n";
    }
    std::string deep = mime + "multipart/mixed; boundary=d0\n\n";
    std::string nested = mime + "message/rfc822\n\n";
    for (int i = 0; i < 20000; ++i) {
        deep += "--d" + std::to_string(i) + "\nContent-Type: multipart/mixed; boundary=d" +
                std::to_string(i + 1) + "\n\n";
        nested += "Content-Type: message/rfc822\n\n";
    }
    std::string manyTo = "To: info@me.example";
    for (int i = 0; i < 100000; ++i) {
        manyTo += ",\n t" + std::to_string(i) + "@victim.example";
    }
    struct Row {
        std::string from, head, body;
        int replies, forwards;  // to the sender, to boss@me.example
    };
    const Row rows[] = {
        {lookAlike, "To: info@me.example\nSubject: a\n", "hi\n", 0, 0},
        {lookAlike, "To: join@me.example\nSubject: b\n", "hi\n", 0, 0},
        {lookAlike, "To: leave@me.example\nSubject: c\n", "hi\n", 0, 0},
        {lookAlike, "To: ask@me.example\nSubject: i\n", "hi\n", 0, 0},
        {lookAlike, "To: me@me.example\nSubject: confirm " + token + "\n", "hi\n", 0, 0},
        {"parts@x.example", "To: info@me.example\nSubject: d\n" + manyParts, "--b--\n", 1, 1},
        {"deep@x.example", "To: info@me.example\nSubject: e\n" + deep, "x\n", 1, 1},
        {"nested@x.example", "To: info@me.example\nSubject: f\n" + nested, "x\n", 1, 1},
        {"to@x.example", manyTo + "\nSubject: g\n", "hi\n", 0, 0},
        {"line@x.example", "To: join@me.example\nSubject: h\n",
         "%vorelcode%~name=Line\n" + std::string(9 << 20, 'z') + "\n", 1, 0},
    };
    for (const Row& r : rows) {
        f.pop.addMessage("From: " + r.from + "\n" + r.head + "\n" + r.body);
    }
    ASSERT_TRUE(f.run()) << f.host.logText();
    std::map<std::string, int> sent;
    std::size_t forwarded = 0;
    for (const auto& r : f.smtp.received()) {
        ASSERT_EQ(r.rcptTo.size(), 1u);
        ++sent[r.rcptTo[0]];
        forwarded = std::max(forwarded, r.rcptTo[0] == "boss@me.example" ? r.data.size() : 0);
    }
    for (const auto& [to, n] : sent) {
        EXPECT_EQ(to.find("victim"), std::string::npos) << to;
    }
    for (const Row& r : rows) {
        SCOPED_TRACE(r.head.substr(0, 40));
        EXPECT_EQ(sent[r.from], r.replies);
    }
    EXPECT_EQ(sent["boss@me.example"], 3);
    EXPECT_GT(forwarded, manyParts.size()) << "the message of many parts goes on whole";
    EXPECT_EQ(f.host.countLogContaining("is not from one address"), 2);
    for (const char* list : {"NEWS", "ASK"}) {
        EXPECT_TRUE(f.host.hasLogEntry("Email Address " + lookAlike +
                                       " Not permitted to subscribe to  " + list +
                                       " invalid email address"));
    }
    EXPECT_TRUE(f.host.hasLogEntry("Email Address " + lookAlike +
                                   " Confirmation refused: the request is not of one address"));
    EXPECT_EQ(f.db().memberCount("ASK"), 0);
    EXPECT_EQ(f.db().pendingOf("ASK").size(), 1u);
    EXPECT_EQ(f.db().memberCount("NEWS"), 2);
    EXPECT_EQ(f.db().findMember("NEWS", "line@x.example")->Data.size(), kMemberDataLimit);
    EXPECT_EQ(f.pop.messageCount(), 6u) << "the look-alikes' and the long To's are kept";
}

}  // namespace
}  // namespace vorel
