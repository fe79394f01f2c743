// Automatic replies and list copies say what they are, to receivers and robots.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/Mime.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

using Lines = std::vector<std::string>;

TEST(Outbound, EachKindCarriesItsFieldsAndTheUnsubscribeLinkWorks) {
    VOREL_SKIP_UNLESS_ROOT();
    test::RunFolder f;
    f.addAutoresponder("info@me.example", "Dear %name%, from %email%. ");
    const std::string news = "news@shop.example";
    f.db().addList({0, "NEWS", 1, "", news, "", "Welcome aboard", news, "", "Goodbye", news, "",
                    "news-on@shop.example", "", "news-off@shop.example", "leave news",
                    false});  // bob is a member at once
    for (const char* m : {"carol@x.example", "dave@x.example"}) {
        f.db().addMember(Member{0, "NEWS", m, ""});
    }
    test::PopServer pop;
    test::SmtpServer smtp;
    f.pointAt(pop);
    f.pointAt(smtp);
    f.s.chkLEAVE = "0";
    f.s.txtEMAILLOG = "owner@me.example";
    for (const char* m :
         {"ann@x.example\nTo: info@me.example", "bob@x.example\nTo: news-on@shop.example",
          "carol@x.example\nTo: news@shop.example", "dave@x.example\nTo: news-off@shop.example"}) {
        pop.addMessage("From: " + std::string(m) + "\nSubject: hello\n\n%vorelcode%\nname=Ann\n");
    }
    ASSERT_TRUE(f.run()) << f.host.logText();

    // Recipient and the fields that tell mail apart, as a mail library reads them.
    Lines got;
    for (const auto& m : smtp.received()) {
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
    pop.addMessage("From: bob@x.example\nTo: news-off@shop.example\nSubject: leave news\n\nHi.\n");
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

}  // namespace
}  // namespace vorel
