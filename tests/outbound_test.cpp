// Automatic replies and list copies say what they are, to receivers and robots.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "net/Mime.h"
#include "support/HeaderFields.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

using Lines = std::vector<std::string>;

TEST(Outbound, EachKindCarriesItsFieldsAndTheUnsubscribeLinkWorks) {
    VOREL_SKIP_UNLESS_ROOT();
    test::ServedFolder f;
    f.addAutoresponder("info@me.example", "Dear %name%, from %email%. ");
    const std::string news = "news@shop.example";
    f.db().addList({0, "NEWS", 1, "", news, "", "Welcome aboard", news, "", "Goodbye", news, "",
                    "news-on@shop.example", "", "news-off@shop.example", "leave news",
                    false});  // bob is a member at once
    for (const char* m : {"carol@x.example", "dave@x.example"}) {
        f.db().addMember(Member{0, "NEWS", m, ""});
    }
    for (MailingList l : f.db().lists()) {  // any member by From: who may post is posts_test's
        l.postcheck = 0;
        f.db().updateList(l);
    }
    f.s.chkLEAVE = "0";
    f.s.txtEMAILLOG = "owner@me.example";
    for (const char* m :
         {"ann@x.example\nTo: info@me.example", "bob@x.example\nTo: news-on@shop.example",
          "carol@x.example\nTo: news@shop.example", "dave@x.example\nTo: news-off@shop.example"}) {
        f.pop.addMessage("From: " + std::string(m) + "\nSubject: hello\n\n%vorelcode%\nname=Ann\n");
    }
    ASSERT_TRUE(f.run()) << f.host.logText();

    // Recipient and the fields that tell mail apart, as a mail library reads them.
    Lines got;
    for (const auto& m : f.smtp.received()) {
        got.push_back(m.rcptTo.at(0));
        for (const auto& field : mime::parseHeader(m.data).fields) {
            for (const char* name :
                 {"Auto-Submitted", "List-Id", "List-Unsubscribe", "List-Post", "Precedence"}) {
                got.back() += field.name == name
                                  ? " | " + field.name + ": " + mime::decodeHeaderValue(field.value)
                                  : "";
            }
        }
        if (m.rcptTo.at(0) == "ann@x.example") {  // merged from the fetched message
            EXPECT_NE(m.data.find("\r\n\r\nDear Ann, from ann@x.example. "), std::string::npos);
        }
    }
    std::sort(got.begin(), got.end());
    const std::string reply = " | Auto-Submitted: auto-replied";
    const std::string copy =
        " | List-Id: NEWS <news.shop.example> | List-Unsubscribe: "
        "<mailto:news-off@shop.example?subject=leave%20news> | List-Post: "
        "<mailto:news@shop.example> | Precedence: list";
    EXPECT_EQ(got,
              (Lines{"ann@x.example" + reply, "bob@x.example" + reply, "bob@x.example" + copy,
                     "carol@x.example" + copy, "dave@x.example" + reply, "dave@x.example" + copy,
                     "owner@me.example | Auto-Submitted: auto-generated"}));

    // Bob follows the unsubscribe link; every note went with its last record.
    f.pop.addMessage(
        "From: bob@x.example\nTo: news-off@shop.example\nSubject: leave news\n\nHi.\n");
    ASSERT_TRUE(f.run()) << f.host.logText();
    EXPECT_FALSE(f.db().findMember("NEWS", "bob@x.example"));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(f.folder.file("data.mdb").c_str(), &db), SQLITE_OK);
    int notes = -1;
    sqlite3_exec(
        db, "SELECT count(*) FROM outbound",
        [](void* n, int, char** v, char**) { return *static_cast<int*>(n) = std::atoi(v[0]), 0; },
        &notes, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(notes, 0);
}

// The message as the receiver reads it, without the fields that differ on every send.
std::string withoutDateAndId(const std::string& data) {
    return std::regex_replace(data, std::regex("(^|\n)(Date|Message-Id): [^\r]*\r\n"), "$1");
}

// Copies come from the list's address (the poster's DMARC policy), the poster in Reply-To.
TEST(Outbound, CopiesComeFromTheListUnlessItsSwitchIsOff) {
    VOREL_SKIP_UNLESS_ROOT();
    test::ServedFolder f;
    const std::string news = "news@shop.example";
    // NEWS: the posting address; CHAT: none, so the welcome sender; OLD: the switch off.
    f.db().addList({0, "NEWS", 1, "", "welcome@shop.example", "", "", "", "", "", news, "", "", "",
                    "", "", false});
    f.db().addList({0, "CHAT", 1, "", "chat-owner@shop.example", "", "", "", "", "", "",
                    "chat post", "", "", "", "", false});
    f.db().addList({0, "OLD", 1, "", "old@shop.example", "", "", "", "", "", "old@shop.example", "",
                    "", "", "", "", false, false});
    for (MailingList l : f.db().lists()) {  // any member by From: who may post is posts_test's
        l.postcheck = 0;
        f.db().updateList(l);
    }
    for (const char* list : {"NEWS", "CHAT", "OLD"}) {
        for (const char* m : {"frank@x.example", "dave@x.example", "zoe@x.example"}) {
            f.db().addMember(Member{0, list, m, ""});
        }
    }
    f.s.chkLEAVE = "0";
    f.pop.addMessage(
        "From: Frank Member <frank@x.example>\nTo: news@shop.example\nSubject: a\n\nA\n");
    f.pop.addMessage("From: dave@x.example\nTo: news@shop.example\nSubject: b\n\nB\n");
    f.pop.addMessage(
        "From: =?utf-8?q?Zo=C3=AB_=22Z=22_Ng?= <zoe@x.example>\nTo: nobody@shop.example\n"
        "Subject: chat post\n\nC\n");
    f.pop.addMessage(
        "From: Frank Member <frank@x.example>\nTo: old@shop.example\nSubject: d\n\nD\n");
    ASSERT_TRUE(f.run()) << f.host.logText();

    // Each address field as a mail program shows it (GMime decodes, unquotes).
    auto shown = [](const std::string& data, const char* name) {
        const std::string value = test::headerFields(data, {name});
        return value == "<none>" ? value : mime::parseHeader("From: " + value + "\r\n\r\n").from;
    };
    Lines got;
    std::string oldCopy;
    for (const auto& m : f.smtp.received()) {
        if (m.rcptTo.at(0) != "dave@x.example") {
            continue;
        }
        got.push_back(m.mailFrom + " | " + shown(m.data, "From") + " | " +
                      shown(m.data, "Reply-To") + " | " + shown(m.data, "X-Original-From"));
        if (m.data.find("Subject: d\r\n") != std::string::npos) {
            oldCopy = withoutDateAndId(m.data);
        }
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (Lines{
                       "chat-owner@shop.example | \"Zoë \\\"Z\\\" Ng via CHAT\" "
                       "<chat-owner@shop.example> | \"Zoë \\\"Z\\\" Ng\" <zoe@x.example> | "
                       "\"Zoë \\\"Z\\\" Ng\" <zoe@x.example>",
                       "frank@x.example | Frank Member <frank@x.example> | <none> | <none>",
                       "news@shop.example | \"dave@x.example via NEWS\" <news@shop.example> | "
                       "dave@x.example | dave@x.example",
                       "news@shop.example | Frank Member via NEWS <news@shop.example> | Frank "
                       "Member <frank@x.example> | Frank Member <frank@x.example>",
                   }));
    // The name is sent RFC 2047-encoded.
    for (const auto& m : f.smtp.received()) {
        EXPECT_TRUE(std::all_of(m.data.begin(), m.data.end(),
                                [](char c) { return static_cast<unsigned char>(c) < 128; }));
    }
    // With the switch off a copy is what it always was.
    EXPECT_EQ(oldCopy,
              "From: Frank Member <frank@x.example>\r\nSubject: d\r\nTo: dave@x.example\r\n"
              "X-Mailer: VOREL MAIL http://www.vorel.example GET YOURS FREE - This software\r\n"
              " must NOT be used for spamming\r\nList-Id: OLD <old.shop.example>\r\n"
              "List-Post: <mailto:old@shop.example>\r\nPrecedence: list\r\nMIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=us-ascii\r\nContent-Transfer-Encoding: 8bit\r\n"
              "\r\nD\r\n\r\n\r\n");
}

}  // namespace
}  // namespace vorel
