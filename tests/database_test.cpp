// data.mdb through the store API, against real SQLite files.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "store/Database.h"
#include "support/TempFolder.h"

using vorel::Database;
using vorel::Member;
using vorel::StoreError;
using vorel::test::TempFolder;
using Lines = std::vector<std::string>;

namespace {

// Runs SQL on its own connection; returns the first column of every row.
Lines rawQuery(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    Lines out;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    while (s && sqlite3_step(s) == SQLITE_ROW) {
        const unsigned char* t = sqlite3_column_text(s, 0);
        out.emplace_back(t ? reinterpret_cast<const char*>(t) : "NULL");
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return out;
}

class DatabaseTest : public ::testing::Test {
protected:
    DatabaseTest() : path_(folder_.file("data.mdb")) {
        Database::createIfMissing(path_);
        Database::upgradeSchema(path_);
    }
    TempFolder folder_;
    std::string path_;
};

Lines emails(const std::vector<Member>& members) {
    Lines out;
    for (const auto& m : members) {
        out.push_back(m.Email);
    }
    return out;
}

TEST(DatabaseSchema, UpgradeAddsDataOnceAndNeverCreatesAFile) {
    TempFolder f;
    const std::string path = f.file("data.mdb");
    Database::upgradeSchema(path);
    EXPECT_FALSE(f.exists("data.mdb"));

    Database::createIfMissing(path);
    const std::string columns = "SELECT name FROM pragma_table_info('emails')";
    EXPECT_EQ(rawQuery(path, columns), (Lines{"name", "Email"}));
    Database::upgradeSchema(path);
    Database::upgradeSchema(path);
    Database::createIfMissing(path);  // an existing file is left alone
    EXPECT_EQ(rawQuery(path, columns), (Lines{"name", "Email", "Data"}));
    // The three tables users know, the sending step's notes, the run's ledger.
    EXPECT_EQ(rawQuery(path, "SELECT lower(name) FROM sqlite_master WHERE type = 'table'"),
              (Lines{"autoresponders", "mailling", "emails", "outbound", "handled"}));
}

TEST(DatabaseSchema, BadFilesAreReportedAndLeftAsTheyAre) {
    TempFolder f;
    Database::createIfMissing(f.file("good.mdb"));
    std::string good = f.read("good.mdb");
    f.write("damaged.mdb", good.substr(0, 100) + std::string(good.size() - 100, '\x5A'));
    f.write("text.mdb", "Standard Jet DB, or so it says\r\n");
    f.write("empty.mdb", "");
    f.write("notables.mdb", "");
    rawQuery(f.file("notables.mdb"), "CREATE TABLE something (x)");

    for (const char* name : {"text.mdb", "empty.mdb", "notables.mdb", "damaged.mdb"}) {
        const std::string before = f.read(name);
        Database::upgradeSchema(f.file(name));
        try {
            Database::open(f.file(name));
            ADD_FAILURE() << name << " opened";
        } catch (const StoreError& e) {
            EXPECT_NE(std::string(e.what()).find(f.file(name)), std::string::npos) << e.what();
        }
        Database::createIfMissing(f.file(name));
        EXPECT_EQ(f.read(name), before) << name;
    }
    EXPECT_THROW(Database::open(f.file("missing.mdb")), StoreError);
    EXPECT_FALSE(f.exists("missing.mdb"));
}

TEST_F(DatabaseTest, AutorespondersInStoredOrderFoundWithoutRegardToCase) {
    Database db = Database::open(path_);
    vorel::Autoresponder a;
    a.Name = "Info";
    a.message = "Thanks ";
    const auto infoId = db.addAutoresponder(a);
    a.Name = "Sales";
    db.addAutoresponder(a);

    auto found = db.findAutoresponder("INFO");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, infoId);
    EXPECT_EQ(found->message + std::to_string(found->Counter), "Thanks 0");
    db.incrementCounter(infoId);
    db.incrementCounter(infoId);
    found->To = "new@example.com";
    found->Counter = db.findAutoresponder("info")->Counter;
    db.updateAutoresponder(*found);

    auto all = db.autoresponders();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].Name + " " + all[0].To + " " + std::to_string(all[0].Counter),
              "Info new@example.com 2");
    EXPECT_EQ(all[1].Name, "Sales");
    db.deleteAutoresponder(infoId);
    EXPECT_FALSE(db.findAutoresponder("Info"));
    EXPECT_EQ(db.autoresponders().size(), 1u);
}

// Quotes and the wildcard characters of SQL and Jet are plain data everywhere.
TEST_F(DatabaseTest, QuotesAndWildcardsArePlainData) {
    Database db = Database::open(path_);
    const Lines names = {"O'BRIEN", "100%", "A_B", "*", "?", "X'); DROP TABLE emails;--"};
    const Lines addresses = {"o'brien@x.ie", "a%b@x", "a_b@x", "*@x", "?@x", "axb@x"};
    for (const auto& n : names) {
        vorel::MailingList l;
        l.Name = n;
        db.addList(l);
        for (const auto& a : addresses) {
            db.addMember({0, n, a, ""});
        }
    }
    for (const auto& n : names) {
        ASSERT_TRUE(db.findList(n)) << n;
        EXPECT_EQ(db.findList(n)->Name, n);
        EXPECT_EQ(db.memberCount(n), 6);
        for (const auto& a : addresses) {
            auto m = db.findMember(n, a);
            ASSERT_TRUE(m) << n << " " << a;
            EXPECT_EQ(m->Email, a);
        }
        EXPECT_EQ(emails(db.searchMembers(n, "%")), Lines{"a%b@x"});
        EXPECT_EQ(emails(db.searchMembers(n, "_b@")), Lines{"a_b@x"});
        EXPECT_EQ(emails(db.searchMembers(n, "*")), Lines{"*@x"});
        EXPECT_EQ(emails(db.searchMembers(n, "'BRIEN")), Lines{"o'brien@x.ie"});
        EXPECT_EQ(db.searchMembers(n, "").size(), 6u);
    }
    EXPECT_FALSE(db.findMember("A_B", "a%b@y"));
    EXPECT_FALSE(db.findMember("AXB", "a_b@x"));
    EXPECT_FALSE(db.findList("100"));
    EXPECT_EQ(db.lists().size(), names.size());
}

// Members of one list whatever the case of its name; rows with NULL fields
// (as other programs leave them) read as empty text.
TEST_F(DatabaseTest, MembersOfOneListCaseInsensitive) {
    rawQuery(path_, "INSERT INTO emails (name) VALUES ('NULLS')");
    rawQuery(path_, "INSERT INTO autoresponders (Name, Counter) VALUES ('A', NULL)");
    rawQuery(path_, "INSERT INTO mailling (Name) VALUES ('L')");
    Database db = Database::open(path_);
    db.addMember({0, "NEWS", "Ann@Example.com", "line~"});
    db.addMember({0, "OTHER", "ann@example.com", ""});
    db.addMember({0, "news", "bob@example.com", ""});
    db.addMember({0, "NEWS", "cy@example.com", ""});

    EXPECT_EQ(emails(db.members("News")),
              (Lines{"Ann@Example.com", "bob@example.com", "cy@example.com"}));
    auto ann = db.findMember("news", "ANN@EXAMPLE.COM");
    ASSERT_TRUE(ann);
    EXPECT_EQ(ann->Data, "line~");
    EXPECT_EQ(emails(db.searchMembers("NEWS", "EXAMPLE")).size(), 3u);
    ann->Email = "anne@example.com";
    db.updateMember(*ann);
    EXPECT_FALSE(db.findMember("NEWS", "ann@example.com"));
    EXPECT_EQ(db.members("NEWS").front().Email, "anne@example.com");
    db.deleteMember(db.findMember("NEWS", "bob@example.com")->id);
    EXPECT_EQ(db.memberCount("NEWS"), 2);
    db.deleteMembersOf("news");
    EXPECT_EQ(db.memberCount("NEWS"), 0);
    EXPECT_EQ(db.memberCount("OTHER"), 1);

    auto nulls = db.members("nulls");
    ASSERT_EQ(nulls.size(), 1u);
    EXPECT_EQ(nulls[0].Email + nulls[0].Data, "");
    db.incrementCounter(db.findAutoresponder("a")->id);
    EXPECT_EQ(db.findAutoresponder("a")->Counter, 1);
    EXPECT_EQ(db.findList("l")->textTOADD, "");
}

// Nested use while streaming; an editor and a run hold their own connections:
// a reader must not fail while the other is in the middle of a write.
TEST_F(DatabaseTest, TransactionsNestedUseAndASecondConnection) {
    Database run = Database::open(path_);
    Database editor = Database::open(path_);
    run.begin();
    for (int i = 0; i < 5; ++i) {
        run.addMember({0, "L", "m" + std::to_string(i) + "@x", ""});
    }
    EXPECT_EQ(editor.memberCount("L"), 0);
    run.commit();
    int inner = 0;
    run.forEachMember("L", [&](const Member& m) {
        EXPECT_TRUE(run.findMember("L", m.Email));
        inner += static_cast<int>(run.members("L").size());
    });
    EXPECT_EQ(inner, 25);
    EXPECT_EQ(editor.memberCount("L"), 5);

    run.begin();
    run.addMember({0, "L", "gone@x", ""});
    run.rollback();
    EXPECT_FALSE(run.findMember("L", "gone@x"));
    run.rollback();  // outside a transaction: nothing happens
    EXPECT_EQ(rawQuery(path_, "PRAGMA journal_mode"), Lines{"wal"});
}

}  // namespace
