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

namespace {

// Runs SQL on its own connection; returns the first column of every row.
std::vector<std::string> rawQuery(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::vector<std::string> out;
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

std::vector<std::string> emails(const std::vector<Member>& members) {
    std::vector<std::string> out;
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
    EXPECT_EQ(rawQuery(path, columns), (std::vector<std::string>{"name", "Email"}));
    Database::upgradeSchema(path);
    Database::upgradeSchema(path);
    EXPECT_EQ(rawQuery(path, columns), (std::vector<std::string>{"name", "Email", "Data"}));
    // The three tables users know, the sending step's notes, the run's ledger.
    EXPECT_EQ(
        rawQuery(path, "SELECT lower(name) FROM sqlite_master WHERE type = 'table'"),
        (std::vector<std::string>{"autoresponders", "mailling", "emails", "outbound", "handled"}));

    // An existing file is left alone.
    Database::createIfMissing(path);
    EXPECT_EQ(rawQuery(path, columns).size(), 3u);
}

TEST(DatabaseSchema, BadFilesAreReportedAndLeftAsTheyAre) {
    TempFolder f;
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(f.file("notables.mdb").c_str(), &other), SQLITE_OK);
    sqlite3_exec(other, "CREATE TABLE something (x)", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    Database::createIfMissing(f.file("good.mdb"));
    std::string good = f.read("good.mdb");
    f.write("damaged.mdb", good.substr(0, 100) + std::string(good.size() - 100, '\x5A'));
    f.write("text.mdb", "Standard Jet DB, or so it says\r\n");
    f.write("empty.mdb", "");

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
    a.To = "info@example.com";
    a.message = "Thanks ";
    const auto infoId = db.addAutoresponder(a);
    a.Name = "Sales";
    db.addAutoresponder(a);

    auto found = db.findAutoresponder("INFO");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, infoId);
    EXPECT_EQ(found->message, "Thanks ");
    EXPECT_EQ(found->Counter, 0);
    db.incrementCounter(infoId);
    db.incrementCounter(infoId);
    found->To = "new@example.com";
    found->Counter = db.findAutoresponder("info")->Counter;
    db.updateAutoresponder(*found);

    auto all = db.autoresponders();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].Name, "Info");
    EXPECT_EQ(all[0].To, "new@example.com");
    EXPECT_EQ(all[0].Counter, 2);
    EXPECT_EQ(all[1].Name, "Sales");
    db.deleteAutoresponder(infoId);
    EXPECT_FALSE(db.findAutoresponder("Info"));
    EXPECT_EQ(db.autoresponders().size(), 1u);
}

// Quotes and the wildcard characters of SQL and Jet are plain data everywhere.
TEST_F(DatabaseTest, QuotesAndWildcardsArePlainData) {
    Database db = Database::open(path_);
    const std::vector<std::string> names = {"O'BRIEN", "100%", "A_B",
                                            "*",       "?",    "X'); DROP TABLE emails;--"};
    const std::vector<std::string> addresses = {"o'brien@x.ie", "a%b@x", "a_b@x",
                                                "*@x",          "?@x",   "axb@x"};
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
        EXPECT_EQ(emails(db.searchMembers(n, "%")), (std::vector<std::string>{"a%b@x"}));
        EXPECT_EQ(emails(db.searchMembers(n, "_b@")), (std::vector<std::string>{"a_b@x"}));
        EXPECT_EQ(emails(db.searchMembers(n, "*")), (std::vector<std::string>{"*@x"}));
        EXPECT_EQ(emails(db.searchMembers(n, "'BRIEN")),
                  (std::vector<std::string>{"o'brien@x.ie"}));
        EXPECT_EQ(db.searchMembers(n, "").size(), 6u);
    }
    EXPECT_FALSE(db.findMember("A_B", "a%b@y"));
    EXPECT_FALSE(db.findMember("AXB", "a_b@x"));
    EXPECT_FALSE(db.findList("100"));
    EXPECT_EQ(db.lists().size(), names.size());
}

TEST_F(DatabaseTest, MembersOfOneListCaseInsensitive) {
    Database db = Database::open(path_);
    db.addMember({0, "NEWS", "Ann@Example.com", "line~"});
    db.addMember({0, "OTHER", "ann@example.com", ""});
    db.addMember({0, "news", "bob@example.com", ""});
    db.addMember({0, "NEWS", "cy@example.com", ""});

    EXPECT_EQ(emails(db.members("News")),
              (std::vector<std::string>{"Ann@Example.com", "bob@example.com", "cy@example.com"}));
    auto ann = db.findMember("news", "ANN@EXAMPLE.COM");
    ASSERT_TRUE(ann);
    EXPECT_EQ(ann->Data, "line~");
    EXPECT_EQ(emails(db.searchMembers("NEWS", "EXAMPLE")).size(), 3u);

    ann->Email = "anne@example.com";
    ann->Data.clear();
    db.updateMember(*ann);
    EXPECT_FALSE(db.findMember("NEWS", "ann@example.com"));
    EXPECT_EQ(db.members("NEWS").front().Email, "anne@example.com");
    db.deleteMember(db.findMember("NEWS", "bob@example.com")->id);
    EXPECT_EQ(db.memberCount("NEWS"), 2);
    db.deleteMembersOf("news");
    EXPECT_EQ(db.memberCount("NEWS"), 0);
    EXPECT_EQ(db.memberCount("OTHER"), 1);
}

TEST_F(DatabaseTest, NullFieldsReadAsEmptyText) {
    rawQuery(path_, "INSERT INTO emails (name) VALUES ('L')");
    rawQuery(path_, "INSERT INTO autoresponders (Name, Counter) VALUES ('A', NULL)");
    rawQuery(path_, "INSERT INTO mailling (Name) VALUES ('L')");
    Database db = Database::open(path_);
    auto m = db.members("L");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].Email, "");
    EXPECT_EQ(m[0].Data, "");
    auto a = db.findAutoresponder("a");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Counter, 0);
    db.incrementCounter(a->id);
    EXPECT_EQ(db.findAutoresponder("a")->Counter, 1);
    EXPECT_EQ(db.findList("l")->textTOADD, "");
}

TEST_F(DatabaseTest, NestedUseWhileStreamingAndTransactions) {
    Database db = Database::open(path_);
    db.begin();
    for (int i = 0; i < 5; ++i) {
        db.addMember({0, "L", "m" + std::to_string(i) + "@x", ""});
    }
    db.commit();
    int inner = 0;
    db.forEachMember("L", [&](const Member& m) {
        EXPECT_TRUE(db.findMember("L", m.Email));
        inner += static_cast<int>(db.members("L").size());
    });
    EXPECT_EQ(inner, 25);

    db.begin();
    db.addMember({0, "L", "gone@x", ""});
    db.rollback();
    EXPECT_FALSE(db.findMember("L", "gone@x"));
    db.rollback();  // outside a transaction: nothing happens
}

// An editor and a run hold their own connections: a reader must not fail while
// the other connection is in the middle of a write transaction.
TEST_F(DatabaseTest, SecondConnectionReadsDuringAWrite) {
    Database run = Database::open(path_);
    Database editor = Database::open(path_);
    run.addMember({0, "L", "before@x", ""});
    run.begin();
    run.addMember({0, "L", "pending@x", ""});
    EXPECT_EQ(emails(editor.members("L")), (std::vector<std::string>{"before@x"}));
    run.commit();
    EXPECT_EQ(editor.memberCount("L"), 2);
    EXPECT_EQ(rawQuery(path_, "PRAGMA journal_mode"), (std::vector<std::string>{"wal"}));
}

// The member look-up and the listing of one list must not scan or sort the
// table: lists can hold a million members.
TEST_F(DatabaseTest, LookUpsUseTheIndexes) {
    const auto planOf = [&](const std::string& where) {
        sqlite3* db = nullptr;
        sqlite3_open(path_.c_str(), &db);
        sqlite3_stmt* s = nullptr;
        std::string sql = "EXPLAIN QUERY PLAN SELECT rowid, name, Email, Data FROM emails WHERE " +
                          where + " ORDER BY rowid";
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK);
        std::string detail;
        while (sqlite3_step(s) == SQLITE_ROW) {
            detail += reinterpret_cast<const char*>(sqlite3_column_text(s, 3));
            detail += ";";
        }
        sqlite3_finalize(s);
        sqlite3_close(db);
        return detail;
    };
    std::string byAddress = planOf("name = ?1 COLLATE NOCASE AND Email = ?2 COLLATE NOCASE");
    EXPECT_NE(byAddress.find("INDEX emails_by_list_address (name=? AND Email=?)"),
              std::string::npos)
        << byAddress;
    std::string byList = planOf("name = ?1 COLLATE NOCASE");
    EXPECT_NE(byList.find("INDEX emails_by_list (name=?)"), std::string::npos) << byList;
    for (const std::string& p : {byAddress, byList}) {
        EXPECT_EQ(p.find("TEMP B-TREE"), std::string::npos) << p;
    }
}

}  // namespace
