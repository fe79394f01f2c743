// List rules the windows' tests leave out, and init, try, post, import, export as a user runs them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <ranges>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "forms/ListPost.h"
#include "forms/ListRules.h"
#include "forms/MemberRules.h"
#include "mail/ImportLineReader.h"
#include "store/AntiSpam.h"
#include "store/Database.h"
#include "store/Queue.h"
#include "store/Transaction.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

using Lines = std::vector<std::string>;

struct ListsTest : ::testing::Test {
    test::TempFolder f, io;
    Database db = [this] {
        Database::createIfMissing(f.file("data.mdb"));
        Database::upgradeSchema(f.file("data.mdb"));
        return Database::open(f.file("data.mdb"));
    }();
};

// The add box splits at CR eating the next byte; blanks and repeats stored once, names dropped.
TEST_F(ListsTest, AddBox) {
    const std::pair<const char*, Lines> boxes[] = {{"a\r\nb\r\n", {"a", "b"}},
                                                   {"a\r\n\r\nb", {"a", "", "b"}},
                                                   {"a\rxb", {"a", "b"}},
                                                   {"", {}}};
    for (const auto& [text, lines] : boxes) {
        EXPECT_EQ(splitAddBox(text), lines) << text;
    }
    db.addMember({0, "L", "Ann@x.example", ""});
    EXPECT_EQ(addAddresses(db, "L", "b@x.example\r\n\r\nB@x.example\r\nann@X.example\r\n\t\r\n"),
              2u);
    addAddresses(db, "L",
                 "no at sign\r\nCarl <carl@x.example>\r\nd@xn--mller-kva.example\r\nd@M\u00DCLLER."
                 "example");
    const std::vector<Member> members = db.members("L");
    const auto emails = std::views::transform(members, &Member::Email);
    EXPECT_EQ(Lines(emails.begin(), emails.end()),
              (Lines{"Ann@x.example", "b@x.example", "", "no at sign", "carl@x.example",
                     "d@m\u00FCller.example"}));
}

// An import line keeps at most the limit and is read to its end; NULs go, every line end counts.
TEST(ImportLines, BoundedReaderCutsLongLinesAndFindsTheNext) {
    using Got = std::vector<std::pair<std::string, bool>>;
    const std::pair<std::string, Got> cases[] = {
        {"ab\r\ncd\ref\ngh", {{"ab", false}, {"cd", false}, {"ef", false}, {"gh", false}}},
        {"abcdefg\nxy", {{"abcd", true}, {"xy", false}}},
        {"abcd\n\n", {{"abcd", false}, {"", false}}},
        {"abcde\r\n\r", {{"abcd", true}, {"", false}}},
        {std::string("a\0bcd\0\n", 7), {{"abcd", false}}},
        {std::string(100000, 'x') + "\r", {{"xxxx", true}}},
        {"", {}}};
    for (const auto& [text, want] : cases) {
        std::istringstream in(text);
        ImportLineReader reader(in, 4);
        Got got;
        std::string line;
        for (bool cut = false; reader.next(line, cut);) {
            got.emplace_back(line, cut);
        }
        EXPECT_EQ(got, want) << text.substr(0, 20);
    }
}

// The commands as the built binary: exit status, standard output, errors.
TEST_F(ListsTest, ImportExportAndPostCommands) {
    MailingList l;
    l.Name = "NEWS";
    l.textTOADD = "stored footer";
    saveList(db, l);
    db.addMember({0, "NEWS", "b@x.example", "%vorelcode%~name=Bob~"});
    // One status line per line whatever the line ends; a NUL is dropped.
    f.write("in.txt", "Ann <ann@x.example>\r\n\nANN@x.example\r" +
                          std::string("bob@\0x.example\n", 15) + "B@x.example\r\n" +
                          std::string(3000, 'a') + "@x.example\nbad\xff@x.example\nnope");
    io.write("old.txt", "kept\r\n");
    f.write("msg.txt", "Hello %name%");
    // A file's terminal controls are shown as the log shows them.
    f.write("esc.txt", "\x1b]0;owned\x07\r\nx\x1b[2J\n");
    io.write("target.txt", "old\r\n");
    // A line far over the reader's bound: one status line, and the next line still counts.
    f.write("long.txt", std::string(kLongestImportLine * 3, 'a') + "\r\nlong@x.example\n");
    l.Name = "LONG";
    saveList(db, l);
    std::filesystem::create_symlink(io.file("target.txt"), io.file("link.txt"));
    std::filesystem::create_directory(f.file("msgdir"));
    // The folder's own files, also through a link from elsewhere, are never export targets.
    appendQueueRecord(f.path(), {"q@x.example", "me@x.example", "S", "B"});
    f.write("setup.ini", "[settings]\r\n");
    std::filesystem::create_symlink(f.file(kQueueFile), io.file("queue.txt"));
    // Another user's link in a sticky folder anyone may write to (/tmp) is not followed.
    std::filesystem::create_directory(io.file("sticky"));
    ::chmod(io.file("sticky").c_str(), 01777);
    io.write("victim.txt", "mine\r\n");
    std::filesystem::create_symlink(io.file("victim.txt"), io.file("sticky/theirs.txt"));
    const bool asRoot = ::lchown(io.file("sticky/theirs.txt").c_str(), 65534, 65534) == 0;
    struct Case {
        std::string args, status, part;  // part: in the output or the errors
    };
    const Case cases[] = {
        {"import NEWS '" + f.file("in.txt") + "'", "0",
         " Import Added ann@x.example to list NEWS\nInvalid email  NOT ADDED\nEmail Addresss "
         "ANN@x.example already in list NEWS\nImport Added bob@x.example to list NEWS\nEmail "
         "Addresss B@x.example already in list NEWS\nInvalid email " +
             std::string(100, 'a') +
             "... NOT ADDED\nInvalid email bad\uFFFD@x.example NOT ADDED\nInvalid email nope NOT "
             "ADDED\n2 addresses added to list NEWS\n" +
             kImportDone + "\n"},
        {"export \"news '\" '" + io.file("all.txt") + "'", "0", ""},  // the name as stored
        {"import NEWS '" + f.file("missing.txt") + "'", "1", kImportFailed},
        {"import LONG '" + f.file("long.txt") + "'", "0",
         "0 Invalid email " + std::string(100, 'a') +
             "... NOT ADDED\nImport Added long@x.example to list LONG\n1 address added to list "
             "LONG\n" +
             kImportDone},
        {"import NOSUCH '" + f.file("in.txt") + "'", "1",
         "vorel import: there is no mailing list NOSUCH\n"},
        {"import NEWS '" + f.file("esc.txt") + "'", "0",
         "Invalid email \uFFFD]0;owned\uFFFD NOT ADDED\nInvalid email x\uFFFD[2J NOT ADDED\n"},
        {"export NEWS -", "0", "0 b@x.example\r\nann@x.example\r\nbob@x.example\r\n"},
        {"export NEWS '" + io.file("link.txt") + "'", "0", kExportComplete},
        {"export EMPTY '" + io.file("e.txt") + "'", "1", kNothingToExport},
        {"export L", "2", ""},
        {"export NEWS '" + io.file("old.txt/out.txt") + "'", "1", ""},  // leaves old.txt as it was
        {"export NEWS '" + f.file("data.mdb") + "'", "1",
         "vorel export: cannot write " + f.file("data.mdb") +
             ": it is a file of the application folder; choose a file elsewhere\n"},
        {"export NEWS '" + f.file("setup.ini") + "'", "1", "a file of the application folder"},
        {"export NEWS '" + io.file("queue.txt") + "'", "1", "a file of the application folder"},
        {"export NEWS '" + io.file("sticky/theirs.txt") + "'", "1",
         asRoot ? "the link " + io.file("sticky/theirs.txt") +
                      " belongs to another user (uid 65534); Vorel follows only your own links"
                : ""},
        {"post news --from me@x.example --subject S --message-file '" + f.file("msg.txt") + "'",
         "0", ""},
        {"post NEWS --from me@x.example --subject S --message '~Hi' --footer ''", "0", ""},
        {"post NOSUCH --from me@x.example --subject S --message Hi", "1", "NOSUCH"},
        {"post NEWS --from me@x.example --subject S", "2", ""},
        // Nothing queued from a folder or a missing file.
        {"post NEWS --from me@x.example --subject S --message-file '" + f.file("msgdir") + "'", "1",
         "vorel post: cannot read " + f.file("msgdir") + ": it is a folder"},
        {"post NEWS --from me@x.example --subject S --message-file '" + f.file("nofile") + "'", "1",
         "No such file or directory"}};
    for (const Case& c : cases) {
        const std::string got = test::runVorel("--folder '" + f.path() + "' " + c.args);
        EXPECT_EQ(got.substr(0, 2), c.status + " ") << c.args;
        EXPECT_NE(got.find(c.part), std::string::npos) << c.args << got;
    }
    EXPECT_EQ(io.read("all.txt"), "b@x.example\r\nann@x.example\r\nbob@x.example\r\n");
    EXPECT_FALSE(io.exists("e.txt"));
    EXPECT_EQ(io.read("old.txt"), "kept\r\n");
    EXPECT_EQ(f.read("setup.ini"), "[settings]\r\n");
    EXPECT_EQ(db.memberCount("NEWS"), 3);  // still a database
    EXPECT_EQ(io.read("victim.txt"), "mine\r\n");
    // The link's target is replaced; the link stays a link.
    EXPECT_TRUE(std::filesystem::is_symlink(io.file("link.txt")));
    EXPECT_EQ(io.read("target.txt"), io.read("all.txt"));
    EXPECT_EQ(db.memberCount("NOSUCH"), 0);
    // A pipe is written in place.
    ASSERT_EQ(::mkfifo(io.file("pipe").c_str(), 0600), 0);
    EXPECT_EQ(std::system(("cat '" + io.file("pipe") + "' >'" + io.file("got") + "' & '" +
                           VOREL_BINARY + "' --folder '" + f.path() + "' export NEWS '" +
                           io.file("pipe") + "' >/dev/null && wait")
                              .c_str()),
              0);
    EXPECT_EQ(io.read("got"), io.read("all.txt"));
    EXPECT_FALSE(std::filesystem::is_regular_file(io.file("pipe")));
    // The stored footer unless one is given; a leading "~" is text, not a file.
    Lines queued;
    for (QueueReader r(f.file(kQueueFile)); !r.atEnd();) {
        QueueRecord rec = r.readRecord();
        queued.push_back(rec.to + rec.from + rec.subject + rec.body);
    }
    ASSERT_EQ(queued.size(), 7u);
    EXPECT_EQ(queued[0], "q@x.example\r\nme@x.example\r\nS\r\nB\r\n");  // the queue kept
    EXPECT_EQ(queued[1], "b@x.example\r\nme@x.example\r\nS\r\nHello Bob\r\n\r\nstored footer\r\n");
    EXPECT_EQ(queued[2],
              "ann@x.example\r\nme@x.example\r\nS\r\nHello %name%\r\n\r\nstored footer\r\n");
    EXPECT_EQ(queued[4], "b@x.example\r\nme@x.example\r\nS\r\n ~Hi\r\n\r\n\r\n");
}

// init makes, keeps, or refuses a data.mdb; a try changes nothing in the folder.
TEST_F(ListsTest, InitAndTry) {
    const std::string app = io.file("app");
    EXPECT_EQ(test::runVorel("init --folder '" + app + "'"), "0 " + app + "\n");
    {
        Database d = Database::open(app + "/data.mdb");
        d.addAutoresponder({0, "Info", "info@me.example", "", "r@me.example", "",
                            "Thanks, %email%. ", "boss@me.example", 5});
        MailingList l;
        l.Name = "NEWS";
        l.sendtolistfrom = "info@me.example";
        l.postcheck = 0;  // any member by From (who may post: posts_test)
        d.addList(l);
        d.addMember(Member{0, "NEWS", "reader@x.example", "data"});
        d.addMember(Member{0, "NEWS", "ann@y.example", ""});
    }
    EXPECT_EQ(test::runVorel("init --folder '" + app + "'"), "0 " + app + "\n");
    // A queue and a log from earlier runs, which must stay as they are.
    io.write("app/msgqueue.txt", "earlier@x.example\r\n\xff\r\n");
    io.write("app/log.txt", "05/12/2026 10:00:00 Mail Run Complete\r\n");
    auto snapshot = [&] {
        std::string files;
        for (const auto& e : std::filesystem::directory_iterator(app)) {
            files += e.path().string() + "\n" + test::readFile(e.path().string()) + "\n";
        }
        return files;
    };
    const std::string before = snapshot();
    io.write("m.eml",
             "From: Reader <reader@x.example>\r\nTo: info@me.example\r\n"
             "Subject: Hello \x1b]0;owned\x07\r\n\r\nHi.\r\n");
    const std::string tryIt = "try '" + io.file("m.eml") + "' --folder '" + app + "'";
    std::string out = test::runVorel(tryIt);
    for (const char* part :
         {"0 ", "Info: matches (To)", "Thanks, reader@x.example. ",
          "Forward (the whole message)\n    To: boss@me.example",
          "Email Address reader@x.example Sent Message into NEWS",
          "List copy\n    To: reader@x.example", "List copy\n    To: ann@y.example"}) {
        EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
    }
    // A subject cannot drive the terminal that shows the report.
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    io.write("app/antispam.lst", composeAntiSpamLine("reader@x.example", "", "") + "\r\n");
    out = test::runVorel(tryIt);
    EXPECT_NE(out.find("Anti-spam: the message would be DELETED"), std::string::npos) << out;
    EXPECT_EQ(out.find("Reply"), std::string::npos) << out;
    std::filesystem::remove(app + "/antispam.lst");
    EXPECT_EQ(snapshot(), before);  // data.mdb too: no count, no member's Data changed

    for (const char* args : {"try --x", "try a b"}) {  // one message file, no options
        EXPECT_EQ(test::runVorel(std::string(args) + " --folder '" + app + "'").substr(0, 2), "2 ")
            << args;
    }
    for (const std::string& file : {io.file("missing.eml"), io.path()}) {
        out = test::runVorel("try '" + file + "' --folder '" + app + "'");
        EXPECT_EQ(out.rfind("1 ", 0), 0u);
        EXPECT_NE(out.find(file == io.path() ? "is a folder" : "cannot read the message file"),
                  std::string::npos)
            << out;
    }
    const std::string junk("Standard Jet DB\0\x01\x02 not SQLite", 29);
    io.write("data.mdb", junk);
    out = test::runVorel("init --folder '" + io.path() + "'");
    EXPECT_EQ(out.rfind("1 ", 0), 0u);
    EXPECT_NE(out.find(io.file("data.mdb")), std::string::npos) << out;
    EXPECT_EQ(io.read("data.mdb"), junk);
}

// Several addresses on a line add each or none, look-alikes too; Data is capped, old Data read.
TEST_F(ListsTest, SeveralAddressesOnALineAndDataOfAnySize) {
    MailingList l;
    l.Name = "NEWS";
    saveList(db, l);
    const std::string lookAlike = "v0@victim.example\uFF0Cv1\uFF20victim.example";
    struct Row {
        std::string line;
        std::vector<std::string> status;  // in order, each within its line
        Lines members;                    // added by the line
    };
    const Row rows[] = {
        {"A <a@x.example>, B <b@y.example>",
         {"Import Added a@x.example", "Import Added b@y.example"},
         {"a@x.example", "b@y.example"}},
        {"c@x.example, , C@x.example",
         {"Import Added c@x.example", "C@x.example already"},
         {"c@x.example"}},
        {lookAlike, {"Invalid email " + lookAlike + " NOT ADDED"}, {}},
        {"d e@x.example", {"Invalid email d e@x.example NOT ADDED"}, {}},
        {"f@b\u00FCcher.example",
         {"Import Added f@b\u00FCcher.example"},
         {"f@b\u00FCcher.example"}},
        // One member in either form of a domain, stored as the run reads senders.
        {"g@xn--bcher-kva.example, G@B\u00DCCHER.example, f@XN--BCHER-KVA.example",
         {"Import Added g@xn--bcher-kva.example", "G@B\u00DCCHER.example already",
          "f@XN--BCHER-KVA.example already"},
         {"g@b\u00FCcher.example"}},
        {"\xE9t\xE9@x.example", {"Invalid email \uFFFDt\uFFFD@x.example NOT ADDED"}, {}},
    };
    for (const Row& row : rows) {
        const std::int64_t before = db.memberCount("NEWS");
        std::istringstream in(row.line + "\r\n");
        Lines status;
        importAddresses(db, "NEWS", in, [&](const Lines& lines) {
            status.insert(status.end(), lines.begin(), lines.end());
        });
        ASSERT_EQ(status.size(), row.status.size()) << row.line;
        for (std::size_t i = 0; i < status.size(); ++i) {
            EXPECT_NE(status[i].find(row.status[i]), std::string::npos) << status[i];
        }
        EXPECT_EQ(db.memberCount("NEWS"), before + static_cast<std::int64_t>(row.members.size()))
            << row.line;
        for (const std::string& m : row.members) {
            EXPECT_TRUE(db.findMember("NEWS", m)) << m;
        }
    }
    EXPECT_EQ(addAddresses(db, "NEWS", "G <g@x.example>, H <h@x.example>\r\n"), 2u);

    // 9 MB of Data is stored as its first kMemberDataLimit characters.
    const std::int64_t big = db.addMember({0, "NEWS", "big@x.example", std::string(9 << 20, 'x')});
    db.updateMember(
        {big, "NEWS", "big@x.example", "%vorelcode%~name=Big~" + std::string(9 << 20, 'y')});
    EXPECT_EQ(db.findMember("NEWS", "big@x.example")->Data.size(), kMemberDataLimit);
    // Rows a program without the cap wrote; members enough to commit notes mid-read.
    test::sqlRows(
        f.file("data.mdb"),
        "UPDATE emails SET Data = '%vorelcode%~name=Old~' || printf('%.*c', 4000000, 'z')");
    std::string box;
    for (int i = 0; i < 5100; ++i) {
        box += "m" + std::to_string(i) + "@x.example\r\n";
    }
    addAddresses(db, "NEWS", box);
    const std::int64_t members = db.memberCount("NEWS");
    test::FixedClock clock;
    const ListPost post{"NEWS", "me@x.example", "S", "Hello %name%", "footer"};
    EXPECT_EQ(postToList(db, f.path(), post, clock), static_cast<std::size_t>(members));
    std::size_t queued = 0, old = 0;
    for (QueueReader r(f.file(kQueueFile)); !r.atEnd(); ++queued) {
        old += r.readRecord().body.rfind("Hello Old\r\n", 0) == 0 ? 1u : 0u;
    }
    EXPECT_EQ(queued, static_cast<std::size_t>(members));
    EXPECT_EQ(old, 8u);  // every member stored before the update
}

// A failed delete (a trigger as a full disk) leaves the list whole; a racing save makes no twin.
TEST_F(ListsTest, ListDeleteAndSaveAreOneTransactionEach) {
    const auto exec = [this](const char* sql) { test::sqlRows(f.file("data.mdb"), sql); };
    MailingList news;
    news.Name = "NEWS";
    saveList(db, news);
    db.addMember({0, "NEWS", "a@x.example", ""});
    exec("CREATE TRIGGER full BEFORE DELETE ON emails BEGIN SELECT RAISE(ABORT, 'full'); END");
    EXPECT_THROW(deleteList(db, "NEWS"), StoreError);
    EXPECT_TRUE(db.findList("NEWS"));
    EXPECT_EQ(db.memberCount("NEWS"), 1);
    exec("DROP TRIGGER full");
    EXPECT_EQ(deleteList(db, "NEWS").message, kDeleteComplete);
    EXPECT_FALSE(db.findList("NEWS"));
    EXPECT_EQ(db.memberCount("NEWS"), 0);

    Database other = Database::open(f.file("data.mdb"));
    Transaction adding(other);
    MailingList daily;
    daily.Name = "DAILY";
    other.addList(daily);
    std::thread saving([this, daily]() mutable {
        daily.textTOADD = "-- daily";
        saveList(db, daily);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    adding.commit();
    saving.join();
    const auto rows = db.lists();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].textTOADD, "-- daily");
}

}  // namespace
}  // namespace vorel
