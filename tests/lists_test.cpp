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
    // The queue, one "to|from|subject|body" per record.
    Lines queued() {
        Lines out;
        for (QueueReader r(f.file(kQueueFile)); !r.atEnd();) {
            QueueRecord rec = r.readRecord();
            std::string line;
            for (std::string* field : {&rec.to, &rec.from, &rec.subject, &rec.body}) {
                line += (line.empty() ? "" : "|") + field->substr(0, field->size() - 2);
            }
            out.push_back(line);
        }
        return out;
    }
    Lines import(const std::string& text, ImportResult& result) {
        std::istringstream in(text);
        Lines status;
        result = importAddresses(db, "L", in, [&](const Lines& batch) {
            status.insert(status.end(), batch.begin(), batch.end());
        });
        return status;
    }
};

TEST(ListName, IsUpperCaseWithoutSpacesAndApostrophes) {
    const std::pair<const char*, const char*> cases[] = {{"my list's", "MYLISTS"},
                                                         {" News  Letter ", "NEWSLETTER"},
                                                         {"a-b_c.1", "A-B_C.1"},
                                                         {"''", ""}};
    for (const auto& [typed, stored] : cases) {
        EXPECT_EQ(normaliseListName(typed), stored) << typed;
    }
}

// Saving under an existing name (any case) replaces that list; deleting takes
// the list's members and says so only when there were any.
TEST_F(ListsTest, SaveReplacesTheSameNameDeleteTakesTheMembers) {
    MailingList a;
    a.Name = "NEWS";
    EXPECT_EQ(saveList(db, a).message, kRecordSaved);
    a.Name = "news";
    a.textTOADD = "new";
    EXPECT_TRUE(saveList(db, a).saved);
    ASSERT_EQ(db.lists().size(), 1u);
    EXPECT_EQ(db.lists()[0].textTOADD, "new");
    const ListSaveResult unnamed = saveList(db, MailingList{});
    EXPECT_FALSE(unnamed.saved);
    EXPECT_EQ(unnamed.message, kListNameMissing);

    a.Name = "EMPTY";
    saveList(db, a);
    member("NEWS", "a@x.example");
    member("news", "b@x.example");
    member("OTHER", "c@x.example");
    EXPECT_EQ(deleteList(db, "EMPTY").message, "");
    EXPECT_EQ(deleteList(db, "NEWS").message, kDeleteComplete);
    EXPECT_TRUE(db.lists().empty());
    EXPECT_EQ(db.memberCount("NEWS"), 0);
    EXPECT_EQ(db.memberCount("OTHER"), 1);
    EXPECT_EQ(deleteList(db, "").message, kSelectListToDelete);
}

TEST(MemberCursorTest, ShowsNotFoundPastEitherEndAndComesBack) {
    MemberCursor c;
    c.reset(3);
    ASSERT_TRUE(c.onMember());
    EXPECT_EQ(c.index(), 0u);
    c.last();
    c.next();
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
    c.last();
    EXPECT_FALSE(c.onMember());
}

// The add box splits at carriage returns dropping the character after; an
// empty line and a repeat are stored once, without a validity test, display
// names reduced to the address.
TEST_F(ListsTest, AddBox) {
    const std::pair<const char*, Lines> cases[] = {{"a\r\nb", {"a", "b"}},
                                                   {"a\r\nb\r\n", {"a", "b"}},
                                                   {"a\r\n\r\nb", {"a", "", "b"}},
                                                   {"a\rxb", {"a", "b"}},
                                                   {"", {}},
                                                   {"\r\n", {""}}};
    for (const auto& [text, lines] : cases) {
        EXPECT_EQ(splitAddBox(text), lines) << text;
    }
    member("L", "Ann@x.example");
    EXPECT_EQ(
        addAddresses(db, "L", "bob@x.example\r\n\r\nBOB@x.example\r\nann@X.example\r\n\t\r\n"), 2u);
    addAddresses(db, "L", "no at sign\r\nCarl <carl@x.example>");
    EXPECT_EQ(emails("L"),
              (Lines{"Ann@x.example", "bob@x.example", "", "no at sign", "carl@x.example"}));
}

TEST_F(ListsTest, ImportGivesOneStatusLinePerLineWhateverTheLineEnds) {
    member("L", "old@x.example");
    ImportResult r;
    const Lines status =
        import("Ann <ann@x.example>\r\n\nANN@x.example\r" + std::string("bob@\0x.example\n", 15) +
                   "OLD@x.example\r\n" + std::string(3000, 'a') + "@x.example\n" +
                   "bad\xff@x.example\ncarl@x.example",
               r);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(status, (Lines{"Import Added ann@x.example to list L", "Invalid email  NOT ADDED",
                             "Email Addresss ANN@x.example already in list L",
                             "Import Added bob@x.example to list L",  // NUL dropped
                             "Email Addresss OLD@x.example already in list L",
                             "Invalid email " + std::string(100, 'a') + "... NOT ADDED",
                             "Import Added bad\xff@x.example to list L",
                             "Import Added carl@x.example to list L"}));
    EXPECT_EQ((std::vector<std::size_t>{r.added, r.present, r.invalid}),
              (std::vector<std::size_t>{4, 2, 2}));
}

// An export reads back as the same members; one that cannot be written leaves
// the old file as it was; an unreadable import adds nothing.
TEST_F(ListsTest, ExportAndImportFiles) {
    for (const char* a : {"a@x.example", "b@x.example"}) {
        member("L", a);
    }
    ASSERT_EQ(exportMembers(db, "L", f.file("out.txt")), "");
    EXPECT_EQ(f.read("out.txt"), "a@x.example\r\nb@x.example\r\n");
    ImportResult r;
    EXPECT_EQ(import(f.read("out.txt"), r),
              (Lines{"Email Addresss a@x.example already in list L",
                     "Email Addresss b@x.example already in list L"}));

    f.write("old.txt", "kept\r\n");
    EXPECT_NE(exportMembers(db, "L", f.file("old.txt/out.txt")), "");
    EXPECT_NE(exportMembers(db, "L", f.file("missing/out.txt")), "");
    EXPECT_EQ(f.read("old.txt"), "kept\r\n");
    EXPECT_EQ(exportMembers(db, "L", f.file("old.txt")), "");  // written in full: replaces it
    EXPECT_EQ(f.read("old.txt"), f.read("out.txt"));

    r = importFile(db, "M", f.file("none.txt"), {});
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("none.txt"), std::string::npos);
    EXPECT_EQ(db.memberCount("M"), 0);
}

TEST(PostBody, MergesDateTimeAndTheMembersFields) {
    const LocalTime t{2026, 12, 5, 9, 4, 3};
    const std::string fields = "%vorelcode%~Name=John~email=j@x.example~telephone=0938~";
    struct Case {
        std::string message, data, footer, body;
    };
    const Case cases[] = {
        {"Dear %name%", fields, "f", "Dear John\r\n\r\nf"},  // field name capitalised
        {"Call %telephone%, %email%", fields, "", "Call 0938, j@x.example\r\n\r\n"},
        {"Dear %name% on %date% at %time%", "", "",
         "Dear %name% on 05 December 2026 at 09:04:03\r\n\r\n"},
        {"Dear %name%", "name=John~", "", "Dear %name%\r\n\r\n"},  // data without the marker
        {"%Date% %date%", "", "", "%Date% 05 December 2026\r\n\r\n"}};
    for (const Case& c : cases) {
        ListPost p;
        p.message = c.message;
        p.footer = c.footer;
        EXPECT_EQ(personalisedBody(p, t, c.data), c.body) << c.message;
    }
}

TEST_F(ListsTest, PostQueuesOneCopyPerMemberInStoredOrder) {
    member("L", "a@x.example", "%vorelcode%~name=Ann~");
    member("l", "b@x.example");
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
              2u);
    EXPECT_EQ(progress, (Lines{"a@x.example", "b@x.example"}));
    // A body starting with "~" reads back as text, not as a message file.
    EXPECT_EQ(queued(),
              (Lines{"a@x.example|me@x.example|News for %name%| ~Hi Ann\r\n\r\n--\r\nfooter",
                     "b@x.example|me@x.example|News for %name%| ~Hi "
                     "%name%\r\n\r\n--\r\nfooter"}));
    p.listName = "NOBODY";
    EXPECT_EQ(postToList(db, f.path(), p, clock), 0u);
    EXPECT_EQ(queued().size(), 2u);
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

TEST_F(ListsTest, ImportExportAndPostCommands) {
    f.write("in.txt", "a@x.example\r\nA@x.example\r\nnope\r\n");
    Result r = runVorel(f, "import NEWS '" + f.file("in.txt") + "'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "Import Added a@x.example to list NEWS\n"
              "Email Addresss A@x.example already in list NEWS\n"
              "Invalid email nope NOT ADDED\n" +
                  std::string(kImportDone) + "\n");
    r = runVorel(f, "export \"news '\" '" + f.file("out.txt") + "'");  // the name as stored
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

    // vorel post takes the stored footer unless one is given.
    MailingList l;
    l.Name = "NEWS";
    l.textTOADD = "stored footer";
    saveList(db, l);
    member("NEWS", "b@x.example", "%vorelcode%~name=Bob~");
    f.write("msg.txt", "Hello %name%");
    r = runVorel(
        f, "post news --from me@x.example --subject S --message-file '" + f.file("msg.txt") + "'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = runVorel(f, "post NEWS --from me@x.example --subject S --message Hi --footer ''");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const Lines q = queued();
    ASSERT_EQ(q.size(), 4u);
    EXPECT_EQ(q[0], "a@x.example|me@x.example|S|Hello %name%\r\n\r\nstored footer");
    EXPECT_EQ(q[1], "b@x.example|me@x.example|S|Hello Bob\r\n\r\nstored footer");
    EXPECT_EQ(q[3], "b@x.example|me@x.example|S|Hi\r\n\r\n");

    r = runVorel(f, "post NOSUCH --from me@x.example --subject S --message Hi");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("NOSUCH"), std::string::npos);
    EXPECT_EQ(runVorel(f, "post NEWS --from me@x.example --subject S").exitCode, 2);
    EXPECT_EQ(queued().size(), 4u);
}

}  // namespace
}  // namespace vorel
