// What receivers, filters and other robots read in the run's mail: automatic
// replies and list copies say what they are; robots' mail is not answered.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "net/Mime.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

using Fields = std::map<std::string, std::string>;

// The fields that tell mail apart, as a mail library reads them.
Fields markFields(const std::string& raw) {
    Fields out;
    for (const auto& f : mime::parseHeader(raw).fields) {
        for (const char* name :
             {"Auto-Submitted", "List-Id", "List-Unsubscribe", "List-Post", "Precedence"}) {
            if (f.name == name) {
                out[f.name] = mime::decodeHeaderValue(f.value);
            }
        }
    }
    return out;
}

struct OutboundRun : ::testing::Test, test::RunFolder {
    void SetUp() override {
        VOREL_SKIP_UNLESS_ROOT();
        addAutoresponder("info@me.example");
        Database db = RunFolder::db();
        MailingList l;
        l.Name = "NEWS";
        l.Type = 1;
        l.subscribefrom = "news@shop.example";
        l.subscribesubject = "Welcome";
        l.subscribemessage = "Welcome aboard";
        l.unsubscribefrom = "news@shop.example";
        l.unsubscribesubject = "Bye";
        l.unsubscribemessage = "Goodbye";
        l.sendtolistfrom = "news@shop.example";
        l.onsubscribeto = "news-on@shop.example";
        l.onunsubscribeto = "news-off@shop.example";
        l.onunsubscribesubject = "leave news";
        db.addList(l);
        db.addMember(Member{0, "NEWS", "carol@x.example", ""});
        db.addMember(Member{0, "NEWS", "dave@x.example", ""});
        s.chkLEAVE = "0";
    }
    void run(const test::PopServer& pop, const test::SmtpServer& smtp) {
        pointAt(pop);
        pointAt(smtp);
        ASSERT_TRUE(RunFolder::run()) << host.logText();
    }
};

std::string message(const std::string& from, const std::string& to, const std::string& extra,
                    const std::string& subject = "hello") {
    return "From: " + from + "\nTo: " + to + "\nSubject: " + subject + "\n" + extra + "\nHi.\n";
}

TEST_F(OutboundRun, EachKindCarriesItsFieldsAndTheUnsubscribeLinkWorks) {
    test::PopServer pop;
    test::SmtpServer smtp;
    s.txtEMAILLOG = "owner@me.example";
    pop.addMessage(message("ann@x.example", "info@me.example", ""));
    pop.addMessage(message("bob@x.example", "news-on@shop.example", ""));
    pop.addMessage(message("carol@x.example", "news@shop.example", ""));
    pop.addMessage(message("dave@x.example", "news-off@shop.example", ""));
    run(pop, smtp);

    const Fields reply = {{"Auto-Submitted", "auto-replied"}};
    const Fields copy = {
        {"List-Id", "NEWS <news.shop.example>"},
        {"List-Unsubscribe", "<mailto:news-off@shop.example?subject=leave%20news>"},
        {"List-Post", "<mailto:news@shop.example>"},
        {"Precedence", "list"}};
    std::map<std::string, std::vector<Fields>> byRecipient;
    for (const auto& m : smtp.received()) {
        byRecipient[m.rcptTo.at(0)].push_back(markFields(m.data));
    }
    EXPECT_EQ(byRecipient["ann@x.example"], std::vector<Fields>{reply});           // autoresponder
    EXPECT_EQ(byRecipient["dave@x.example"], (std::vector<Fields>{copy, reply}));  // copy, farewell
    EXPECT_EQ(byRecipient["bob@x.example"], (std::vector<Fields>{reply, copy}));   // welcome, copy
    EXPECT_EQ(byRecipient["carol@x.example"], std::vector<Fields>{copy});
    ASSERT_FALSE(byRecipient["owner@me.example"].empty());
    EXPECT_EQ(byRecipient["owner@me.example"][0], (Fields{{"Auto-Submitted", "auto-generated"}}));

    // Bob's mail program follows the link: a message to the address with the subject.
    pop.addMessage(message("bob@x.example", "news-off@shop.example", "", "leave news"));
    run(pop, smtp);
    EXPECT_FALSE(Database::open(folder.file("data.mdb")).findMember("NEWS", "bob@x.example"));
    // Every note went with the last record queued under it.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(folder.file("data.mdb").c_str(), &db), SQLITE_OK);
    int notes = -1;
    sqlite3_exec(
        db, "SELECT count(*) FROM outbound",
        [](void* n, int, char** v, char**) { return *static_cast<int*>(n) = std::atoi(v[0]), 0; },
        &notes, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(notes, 0);
}

TEST_F(OutboundRun, RobotsMailIsNotAnsweredButAPersonsIs) {
    test::PopServer pop;
    test::SmtpServer smtp;
    const std::vector<std::pair<std::string, std::string>> senders = {
        {"list@x.example", "List-Id: <other.x.example>\n"},
        {"bulk@x.example", "Precedence: bulk\n"},
        {"junk@x.example", "Precedence: junk (spam)\n"},
        {"autoreply@x.example", "X-Autoreply: yes\n"},
        {"autorespond@x.example", "X-Autorespond: yes\n"},
        {"bounce@x.example", "Return-Path: <>\n"},
        {"person@x.example", "Auto-Submitted: no (sent by a person)\n"},
    };
    for (const auto& [from, marker] : senders) {
        pop.addMessage(message(from, "info@me.example", marker));
    }
    // A subscribe request sent as bulk mail is still honoured.
    pop.addMessage(message("eve@x.example", "news-on@shop.example", "Precedence: bulk\n"));
    run(pop, smtp);

    std::vector<std::string> answered;
    for (const auto& m : smtp.received()) {
        answered.push_back(m.rcptTo.at(0));
    }
    EXPECT_EQ(answered, (std::vector<std::string>{"person@x.example", "eve@x.example"}));
}

}  // namespace
}  // namespace vorel
