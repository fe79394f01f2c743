// data.mdb through the store API, against real SQLite files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ranges>
#include <string>
#include <vector>

#include "store/Database.h"
#include "store/Transaction.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

using test::TempFolder;
using Lines = std::vector<std::string>;

Lines emails(const std::vector<Member>& members) {
    auto e = std::views::transform(members, &Member::Email);
    return {e.begin(), e.end()};
}

TEST(Database, SchemaBadFilesRowsAndTransactions) {
    TempFolder f;
    const std::string path = f.file("data.mdb");
    Database::upgradeSchema(path);
    EXPECT_FALSE(f.exists("data.mdb"));
    Database::createIfMissing(path);
    Database::upgradeSchema(path);
    Database::upgradeSchema(path);
    EXPECT_EQ(test::sqlRows(path, "SELECT name FROM pragma_table_info('emails')"),
              (Lines{"name", "Email", "Data", "bounces", "bounceday"}));
    EXPECT_EQ(test::sqlRows(path, "SELECT name FROM pragma_table_info('mailling') WHERE cid > 14"),
              (Lines{"confirm", "fromstyle", "postcheck", "holdnonmembers"}));
    // A database one piece short is upgraded whole, whichever piece it lacks.
    const std::string old = f.file("old.mdb");
    Database::createIfMissing(old);
    Database::upgradeSchema(old);
    for (const char* drop :
         {"ALTER TABLE emails DROP COLUMN bounceday", "DROP TABLE handled",
          "DROP INDEX emails_by_list", "DROP TABLE copies", "DROP TRIGGER autoresponder_gone"}) {
        SCOPED_TRACE(drop);
        test::sqlRows(old, drop);
        Database::upgradeSchema(old);
        EXPECT_EQ(test::sqlRows(old,
                                "SELECT count(*) FROM pragma_table_info('emails') WHERE name IN"
                                " ('bounceday') UNION ALL SELECT count(*) FROM sqlite_master"
                                " WHERE name IN ('handled', 'emails_by_list', 'copies',"
                                " 'autoresponder_gone')"),
                  (Lines{"1", "4"}));
    }
    // Old members with an ASCII-form domain are rewritten once to the readable form.
    test::sqlRows(old, "PRAGMA user_version = 0");
    test::sqlRows(old,
                  "INSERT INTO emails (name, Email) VALUES ('NEWS', 'ann@xn--mller-kva.example'),"
                  " ('NEWS', 'Bob@Example.org')");
    Database::upgradeSchema(old);
    EXPECT_EQ(test::sqlRows(old, "SELECT Email FROM emails ORDER BY rowid"),
              (Lines{"ann@m\u00fcller.example", "Bob@Example.org"}));
    EXPECT_EQ(test::sqlRows(old, "PRAGMA user_version"), (Lines{"1"}));
    EXPECT_EQ(
        test::sqlRows(path, "SELECT name FROM pragma_table_info('autoresponders') WHERE cid > 7"),
        (Lines{"activefrom", "activeuntil", "replydays"}));
    // The users' three tables, then outbound notes, ledger, pending, copies, answered, held.
    EXPECT_EQ(test::sqlRows(path, "SELECT lower(name) FROM sqlite_master WHERE type = 'table'"),
              (Lines{"autoresponders", "mailling", "emails", "outbound", "handled", "pending",
                     "copies", "answered", "held"}));

    const std::string good = f.read("data.mdb");
    f.write("damaged.mdb", good.substr(0, 100) + std::string(good.size() - 100, '\x5A'));
    f.write("text.mdb", "Standard Jet DB, or so it says\r\n");
    f.write("empty.mdb", "");
    f.write("notables.mdb", "");
    test::sqlRows(f.file("notables.mdb"), "CREATE TABLE something (x)");
    for (const char* name : {"text.mdb", "empty.mdb", "notables.mdb", "damaged.mdb"}) {
        const std::string before = f.read(name);
        Database::upgradeSchema(f.file(name));
        EXPECT_THAT([&] { Database::open(f.file(name)); },
                    ::testing::ThrowsMessage<StoreError>(::testing::HasSubstr(f.file(name))));
        Database::createIfMissing(f.file(name));
        EXPECT_EQ(f.read(name), before) << name;
    }
    EXPECT_THROW(Database::open(f.file("missing.mdb")), StoreError);
    EXPECT_FALSE(f.exists("missing.mdb"));

    // Names in any case; quotes and wildcards are data; NULLs read empty; two connections coexist.
    test::sqlRows(
        path,
        "INSERT INTO emails (name) VALUES ('NULLS'); INSERT INTO mailling (Name) VALUES ('L');"
        "INSERT INTO autoresponders (Name, Counter) VALUES ('A', NULL)");
    Database db = Database::open(path);
    Database editor = Database::open(path);
    db.incrementCounter(db.findAutoresponder("a")->id);
    EXPECT_EQ(db.findAutoresponder("a")->Counter, 1);
    // Open periods are stored NULL; who was answered goes after the longest period or with its row.
    Autoresponder limited = *db.findAutoresponder("a");
    EXPECT_EQ(limited.activefrom + limited.activeuntil + std::to_string(limited.replydays), "0");
    db.updateAutoresponder(limited);
    Autoresponder week = limited;
    week.Name = "WEEK";
    week.replydays = 7;
    week.activefrom = "2026-12-01 00:00:00";
    week.id = db.addAutoresponder(week);
    EXPECT_EQ(test::sqlRows(path,
                            "SELECT typeof(activefrom) || typeof(activeuntil) || typeof(replydays)"
                            " FROM autoresponders"),
              (Lines{"nullnullnull", "textnullinteger"}));
    db.noteAnswered(week.id, "ann@x", 100);
    db.noteAnswered(week.id, "Ann@X", 200);  // one entry per sender: the last reply
    db.noteAnswered(week.id, "bob@x", 300);
    db.noteAnswered(limited.id, "ann@x", 300);  // a row without the limit keeps none
    EXPECT_EQ(db.answeredAt(week.id, "ANN@x"), 200);
    db.pruneAnswered(200 + 7 * 86400);
    EXPECT_EQ(test::sqlRows(path, "SELECT Email || Sent FROM answered"), Lines{"bob@x300"});
    db.deleteAutoresponder(week.id);
    EXPECT_EQ(test::sqlRows(path, "SELECT count(*) FROM answered"), Lines{"0"});
    EXPECT_EQ(db.findList("l")->textTOADD, "");
    EXPECT_EQ(emails(db.members("nulls")), Lines{""});

    const Lines names = {"O'BRIEN", "100%", "A_B", "X'); DROP TABLE emails;--"};
    const Lines addresses = {"o'brien@x.ie", "a%b@x", "a_b@x", "*@x", "axb@x"};
    db.begin();
    for (const auto& n : names) {
        MailingList l;
        l.Name = n;
        db.addList(l);
        for (const auto& address : addresses) {
            db.addMember({0, n, address, ""});
        }
    }
    EXPECT_EQ(editor.memberCount("A_B"), 0);
    db.commit();
    for (const auto& n : names) {
        EXPECT_EQ(db.findList(n)->Name, n);
        EXPECT_EQ(emails(editor.members(n)), addresses);
        EXPECT_EQ(db.findMember(n, "A%B@X")->Email, "a%b@x");
        EXPECT_EQ(emails(db.searchMembers(n, "%")), Lines{"a%b@x"});
        EXPECT_EQ(emails(db.searchMembers(n, "_B@")), Lines{"a_b@x"});
        EXPECT_EQ(emails(db.searchMembers(n, "'brien")), Lines{"o'brien@x.ie"});
    }
    EXPECT_EQ(db.memberCount("a_b") + db.memberCount("AXB"), 5);
    EXPECT_FALSE(db.findMember("A_B", "a%b@y") || db.findList("100"));
    std::size_t inner = 0;  // nested use while streaming
    db.forEachMember("A_B", [&](const Member& m) {
        EXPECT_TRUE(db.findMember("A_B", m.Email));
        inner += db.members("A_B").size();
    });
    EXPECT_EQ(inner, 25u);
    db.deleteMembersOf("a_b");
    EXPECT_EQ(db.memberCount("A_B") + db.memberCount("100%"), 5);
    db.begin();
    db.addMember({0, "L", "gone@x", ""});
    db.rollback();
    db.rollback();  // outside a transaction: nothing happens
    EXPECT_FALSE(db.findMember("L", "gone@x"));
    EXPECT_EQ(test::sqlRows(path, "PRAGMA journal_mode"), Lines{"wal"});
}

// The guard keeps only what reaches commit(); an inner guard joins the outer one.
TEST(Database, TransactionGuardKeepsOnlyWhatIsCommitted) {
    TempFolder f;
    const std::string path = f.file("data.mdb");
    Database::createIfMissing(path);
    Database::upgradeSchema(path);
    Database db = Database::open(path);
    const auto add = [&db](const char* name) {
        Autoresponder row;
        row.Name = name;
        db.addAutoresponder(row);
    };
    {
        Transaction t(db);
        add("KEPT");
        t.commit();
    }
    {
        Transaction t(db);  // left without commit(), as by an early return
        add("RETURNED");
    }
    {
        Transaction outer(db);
        {
            Transaction inner(db);
            add("INNER");
            inner.commit();
        }
        add("OUTER");
    }
    EXPECT_EQ(test::sqlRows(path, "SELECT Name FROM autoresponders"), Lines{"KEPT"});
}

}  // namespace
}  // namespace vorel
