// The mailing-list rules shared by the list windows and the commands: names,
// save and delete, the member cursor, the add box, import, export and the
// post loop; and vorel post, import and export as the built binary.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "mail/ListPost.h"
#include "mail/ListRules.h"
#include "mail/MemberRules.h"
#include "store/Database.h"
#include "store/Queue.h"
#include "support/FixedClock.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

using test::TempFolder;
using Lines = std::vector<std::string>;

struct ListsTest : ::testing::Test {
    TempFolder f;
    Database db = openFresh(f.file("data.mdb"));

    static Database openFresh(const std::string& path) {
        Database::createIfMissing(path);
        Database::upgradeSchema(path);
        return Database::open(path);
    }

    void member(const std::string& list, const std::string& email, const std::string& data = "") {
        db.addMember({0, list, email, data});
    }
    Lines emails(const std::string& list) {
        Lines out;
        for (const Member& m : db.members(list)) {
            out.push_back(m.Email);
        }
        return out;
    }
    std::vector<QueueRecord> queued() {
        std::vector<QueueRecord> out;
        QueueReader r(f.file(kQueueFile));
        while (!r.atEnd()) {
            QueueRecord rec = r.readRecord();
            for (std::string* field : {&rec.to, &rec.from, &rec.subject, &rec.body}) {
                if (field->ends_with("\r\n")) {
                    field->resize(field->size() - 2);
                }
            }
            out.push_back(rec);
        }
        return out;
    }
    Lines import(const std::string& text, ImportResult* result = nullptr) {
        std::istringstream in(text);
        Lines status;
        ImportResult r = importAddresses(db, "L", in, [&](const Lines& batch) {
            status.insert(status.end(), batch.begin(), batch.end());
        });
        if (result) {
            *result = r;
        }
        return status;
    }
};

TEST(ListName, IsUpperCaseWithoutSpacesAndApostrophes) {
    const std::pair<const char*, const char*> cases[] = {
        {"my list's", "MYLISTS"},
        {" News  Letter ", "NEWSLETTER"},
        {"a-b_c.1", "A-B_C.1"},
        {"''", ""},
    };
    for (const auto& [typed, stored] : cases) {
        EXPECT_EQ(normaliseListName(typed), stored) << typed;
    }
}

TEST_F(ListsTest, SavingUnderAnExistingNameReplacesThatList) {
    MailingList a;
    a.Name = "NEWS";
    a.textTOADD = "old";
    EXPECT_EQ(saveList(db, a).message, kRecordSaved);
    MailingList b;
    b.Name = "news";
    b.Type = 1;
    b.textTOADD = "new";
    EXPECT_TRUE(saveList(db, b).saved);
    ASSERT_EQ(db.lists().size(), 1u);
    EXPECT_EQ(db.lists()[0].textTOADD, "new");
    EXPECT_EQ(db.lists()[0].Type, 1);

    MailingList unnamed;
    const ListSaveResult r = saveList(db, unnamed);
    EXPECT_FALSE(r.saved);
    EXPECT_EQ(r.message, kListNameMissing);
}

TEST_F(ListsTest, DeleteTakesTheMembersAndSaysSoOnlyWhenThereWereAny) {
    MailingList l;
    l.Name = "EMPTY";
    saveList(db, l);
    l.Name = "FULL";
    saveList(db, l);
    member("FULL", "a@x.example");
    member("full", "b@x.example");
    member("OTHER", "c@x.example");

    EXPECT_EQ(deleteList(db, "EMPTY").message, "");
    EXPECT_EQ(deleteList(db, "FULL").message, kDeleteComplete);
    EXPECT_TRUE(db.lists().empty());
    EXPECT_EQ(db.memberCount("FULL"), 0);
    EXPECT_EQ(db.memberCount("OTHER"), 1);
    EXPECT_EQ(deleteList(db, "").message, kSelectListToDelete);
}

TEST(MemberCursorTest, ShowsNotFoundPastEitherEndAndComesBack) {
    MemberCursor c;
    c.reset(3);
    EXPECT_TRUE(c.onMember());
    EXPECT_EQ(c.index(), 0u);
    c.last();
    c.next();
    EXPECT_FALSE(c.onMember());
    c.next();
    EXPECT_FALSE(c.onMember());
    c.previous();
    ASSERT_TRUE(c.onMember());
    EXPECT_EQ(c.index(), 2u);
    c.first();
    c.previous();
    EXPECT_FALSE(c.onMember());
    c.next();
    EXPECT_EQ(c.index(), 0u);

    c.reset(0);
    EXPECT_FALSE(c.onMember());
    c.last();
    EXPECT_FALSE(c.onMember());
}

TEST(AddBox, SplitsAtCarriageReturnsDroppingTheCharacterAfter) {
    const std::pair<const char*, Lines> cases[] = {
        {"a\r\nb", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\r\n\r\nb", {"a", "", "b"}},
        {"a\rxb", {"a", "b"}},
        {"", {}},
        {"\r\n", {""}},
    };
    for (const auto& [text, lines] : cases) {
        EXPECT_EQ(splitAddBox(text), lines) << text;
    }
}

TEST_F(ListsTest, AddBoxStoresAnEmptyLineOnceAndARepeatOnce) {
    member("L", "Ann@x.example");
    EXPECT_EQ(
        addAddresses(db, "L", "bob@x.example\r\n\r\nBOB@x.example\r\nann@X.example\r\n\t\r\n"), 2u);
    EXPECT_EQ(emails("L"), (Lines{"Ann@x.example", "bob@x.example", ""}));
    // No validity test, display names reduced to the address.
    addAddresses(db, "L", "no at sign\r\nCarl <carl@x.example>");
    EXPECT_EQ(emails("L"),
              (Lines{"Ann@x.example", "bob@x.example", "", "no at sign", "carl@x.example"}));
}

TEST_F(ListsTest, ImportGivesOneStatusLinePerLineWhateverTheLineEnds) {
    member("L", "old@x.example");
    ImportResult r;
    const Lines status = import(
        "Ann <ann@x.example>\r\n"
        "\n"
        "ANN@x.example\r" +
            std::string("bob@\0x.example\n", 15) + "OLD@x.example\r\n" + std::string(3000, 'a') +
            "@x.example\n" + "bad\xff@x.example\n" + "carl@x.example",
        &r);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(status.size(), 8u);
    EXPECT_EQ(status[0], "Import Added ann@x.example to list L");
    EXPECT_EQ(status[1], "Invalid email  NOT ADDED");
    EXPECT_EQ(status[2], "Email Addresss ANN@x.example already in list L");
    EXPECT_EQ(status[3], "Import Added bob@x.example to list L");  // NUL dropped
    EXPECT_EQ(status[4], "Email Addresss OLD@x.example already in list L");
    EXPECT_EQ(status[5], "Invalid email " + std::string(100, 'a') + "... NOT ADDED");
    EXPECT_EQ(status[6], "Import Added bad\xff@x.example to list L");
    EXPECT_EQ(status[7], "Import Added carl@x.example to list L");
    EXPECT_EQ(r.added, 4u);
    EXPECT_EQ(r.present, 2u);
    EXPECT_EQ(r.invalid, 2u);
}

TEST_F(ListsTest, ExportThenReimportFindsEveryLineInTheList) {
    for (const char* a : {"a@x.example", "b@x.example", "c@x.example"}) {
        member("L", a);
    }
    ASSERT_EQ(exportMembers(db, "L", f.file("out.txt")), "");
    EXPECT_EQ(f.read("out.txt"), "a@x.example\r\nb@x.example\r\nc@x.example\r\n");
    ImportResult r;
    std::istringstream in(f.read("out.txt"));
    Lines status;
    r = importAddresses(db, "L", in, [&](const Lines& b) { status = b; });
    EXPECT_EQ(r.added, 0u);
    EXPECT_EQ(status, (Lines{"Email Addresss a@x.example already in list L",
                             "Email Addresss b@x.example already in list L",
                             "Email Addresss c@x.example already in list L"}));
}

TEST_F(ListsTest, AnExportThatCannotBeWrittenLeavesNothingBehind) {
    member("L", "a@x.example");
    f.write("old.txt", "kept\r\n");
    EXPECT_NE(exportMembers(db, "L", f.file("old.txt/out.txt")), "");
    EXPECT_EQ(f.read("old.txt"), "kept\r\n");
    EXPECT_NE(exportMembers(db, "L", f.file("missing/out.txt")), "");
    // A file written in full replaces the old one.
    EXPECT_EQ(exportMembers(db, "L", f.file("old.txt")), "");
    EXPECT_EQ(f.read("old.txt"), "a@x.example\r\n");
}

TEST_F(ListsTest, AnUnreadableImportFileIsAFailureAndAddsNothing) {
    const ImportResult r = importFile(db, "L", f.file("none.txt"), {});
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("none.txt"), std::string::npos);
    EXPECT_EQ(db.memberCount("L"), 0);
}

TEST(PostBody, MergesDateTimeAndTheMembersFields) {
    const LocalTime t{2026, 12, 5, 9, 4, 3};
    const std::string fields = "%vorelcode%~Name=John~email=j@x.example~telephone=0938~";
    struct Case {
        const char* name;
        std::string message, data, footer, body;
    };
    const Case cases[] = {
        {"capitalised field name", "Dear %name%", fields, "f", "Dear John\r\n\r\nf"},
        {"last field", "Call %telephone%, %email%", fields, "", "Call 0938, j@x.example\r\n\r\n"},
        {"no merge data", "Dear %name% on %date% at %time%", "", "",
         "Dear %name% on 05 December 2026 at 09:04:03\r\n\r\n"},
        {"data without marker", "Dear %name%", "name=John~", "", "Dear %name%\r\n\r\n"},
        {"codes in capitals stay", "%Date% %date% %date%", "", "",
         "%Date% 05 December 2026 05 December 2026\r\n\r\n"},
    };
    for (const Case& c : cases) {
        ListPost p;
        p.message = c.message;
        p.footer = c.footer;
        EXPECT_EQ(personalisedBody(p, t, c.data), c.body) << c.name;
    }
}

TEST_F(ListsTest, PostQueuesOneCopyPerMemberInStoredOrder) {
    member("L", "a@x.example", "%vorelcode%~name=Ann~");
    member("l", "b@x.example", "%vorelcode%~name=Bob~");
    member("L", "c@x.example");
    member("OTHER", "d@x.example");
    ListPost p;
    p.listName = "L";
    p.from = "me@x.example";
    p.subject = "News for %name%";
    p.message = "~Hi %name%";
    p.footer = "--\r\nfooter";
    test::FixedClock clock;
    Lines progress;
    EXPECT_EQ(postToList(db, f.path(), p, clock,
                         [&](const std::string& e, std::size_t) { progress.push_back(e); }),
              3u);
    EXPECT_EQ(progress, (Lines{"a@x.example", "b@x.example", "c@x.example"}));
    const std::vector<QueueRecord> q = queued();
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[0].to, "a@x.example");
    EXPECT_EQ(q[1].to, "b@x.example");
    EXPECT_EQ(q[2].to, "c@x.example");
    for (const QueueRecord& r : q) {
        EXPECT_EQ(r.from, "me@x.example");
        EXPECT_EQ(r.subject, "News for %name%");
    }
    // A body starting with "~" reads back as text, not as a message file.
    EXPECT_EQ(q[0].body, " ~Hi Ann\r\n\r\n--\r\nfooter");
    EXPECT_EQ(q[2].body, " ~Hi %name%\r\n\r\n--\r\nfooter");

    p.listName = "NOBODY";
    EXPECT_EQ(postToList(db, f.path(), p, clock), 0u);
    EXPECT_EQ(queued().size(), 3u);
}

// The commands as the built binary.
struct Result {
    int exitCode;
    std::string out;
    std::string err;
};

Result runVorel(const TempFolder& f, const std::string& args) {
    TempFolder io;
    const std::string cmd = std::string("VOREL_FOLDER= '") + VOREL_BINARY + "' --folder '" +
                            f.path() + "' " + args + " >'" + io.file("out") + "' 2>'" +
                            io.file("err") + "'";
    const int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, io.read("out"), io.read("err")};
}

TEST_F(ListsTest, ImportAndExportCommands) {
    f.write("in.txt", "a@x.example\r\nA@x.example\r\nnope\r\n");
    Result r = runVorel(f, "import L '" + f.file("in.txt") + "'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "Import Added a@x.example to list L\n"
              "Email Addresss A@x.example already in list L\n"
              "Invalid email nope NOT ADDED\n" +
                  std::string(kImportDone) + "\n");
    r = runVorel(f, "export \"l '\" '" + f.file("out.txt") + "'");  // the name as stored
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(f.read("out.txt"), "a@x.example\r\n");

    r = runVorel(f, "import L '" + f.file("missing.txt") + "'");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(kImportFailed), std::string::npos);
    r = runVorel(f, "export EMPTY '" + f.file("e.txt") + "'");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(kNothingToExport), std::string::npos);
    EXPECT_FALSE(f.exists("e.txt"));
    EXPECT_EQ(runVorel(f, "export L").exitCode, 2);
}

TEST_F(ListsTest, PostCommandUsesTheStoredFooterUnlessGiven) {
    MailingList l;
    l.Name = "NEWS";
    l.textTOADD = "stored footer";
    saveList(db, l);
    member("NEWS", "a@x.example", "%vorelcode%~name=Ann~");
    member("NEWS", "b@x.example");
    f.write("msg.txt", "Hello %name%");

    Result r = runVorel(
        f, "post news --from me@x.example --subject S --message-file '" + f.file("msg.txt") + "'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = runVorel(f, "post NEWS --from me@x.example --subject S --message Hi --footer ''");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::vector<QueueRecord> q = queued();
    ASSERT_EQ(q.size(), 4u);
    EXPECT_EQ(q[0].body, "Hello Ann\r\n\r\nstored footer");
    EXPECT_EQ(q[1].body, "Hello %name%\r\n\r\nstored footer");
    EXPECT_EQ(q[3].body, "Hi\r\n\r\n");

    r = runVorel(f, "post NOSUCH --from me@x.example --subject S --message Hi");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("NOSUCH"), std::string::npos);
    EXPECT_EQ(runVorel(f, "post NEWS --from me@x.example --subject S").exitCode, 2);
    EXPECT_EQ(queued().size(), 4u);
}

}  // namespace
}  // namespace vorel
