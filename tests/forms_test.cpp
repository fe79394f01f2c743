// The forms' outcomes: what each rule behind a window's button (and its
// headless command) says happened, and the connection test's threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "forms/AutoresponderEditor.h"
#include "forms/ConnectionCheck.h"
#include "forms/ListRules.h"
#include "forms/MemberRules.h"
#include "forms/SetupForm.h"
#include "store/Database.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;

struct FormsTest : ::testing::Test {
    test::TempFolder f;
    Database db = [this] {
        Database::createIfMissing(f.file("data.mdb"));
        Database::upgradeSchema(f.file("data.mdb"));
        return Database::open(f.file("data.mdb"));
    }();
};

void expectOutcome(const Outcome& got, bool ok, const std::string& message) {
    EXPECT_EQ(got.ok, ok) << got.message;
    EXPECT_EQ(got.message, message);
}

// Save and Delete of the list editor: refused without a name, otherwise done
// with the text the window shows ("" when it shows none).
TEST_F(FormsTest, ListSaveAndDeleteSayWhatHappened) {
    MailingList list;
    expectOutcome(saveList(db, list), false, kListNameMissing);
    list.Name = "NEWS";
    expectOutcome(saveList(db, list), true, kRecordSaved);
    expectOutcome(deleteList(db, ""), false, kSelectListToDelete);
    expectOutcome(deleteList(db, "NEWS"), true, "");
    saveList(db, list);
    db.addMember({0, "NEWS", "ann@x.example", ""});
    expectOutcome(deleteList(db, "NEWS"), true, kDeleteComplete);
    EXPECT_EQ(db.memberCount("NEWS"), 0);
}

// Import and export: done with the closing text, or refused with the reason
// under the text the user reads.
TEST_F(FormsTest, ImportAndExportSayWhatHappened) {
    const std::string missing = f.file("missing.txt");
    const ImportResult notRead = importFile(db, "NEWS", missing, {});
    EXPECT_FALSE(notRead.ok);
    EXPECT_EQ(notRead.message.rfind(std::string(kImportFailed) + "cannot open " + missing, 0), 0u)
        << notRead.message;
    f.write("list.txt", "ann@x.example\r\nbob@x.example\r\n");
    const ImportResult read = importFile(db, "NEWS", f.file("list.txt"), {});
    expectOutcome(read, true, kImportDone);
    EXPECT_EQ(read.added, 2u);

    expectOutcome(exportMembers(db, "NEWS", f.file("out.txt")), true, kExportComplete);
    EXPECT_EQ(f.read("out.txt"), "ann@x.example\r\nbob@x.example\r\n");
    fs::create_directories(f.file("folder"));
    expectOutcome(exportMembers(db, "NEWS", f.file("folder")), false,
                  "cannot write " + f.file("folder") + ": it is a folder");
}

// Save of the autoresponder editor: refused without a name, the row untouched.
TEST_F(FormsTest, AutoresponderSaveSaysWhatHappened) {
    AutoresponderEditor editor(f.file("data.mdb"));
    Autoresponder typed;
    expectOutcome(editor.save(typed), false, AutoresponderEditor::kNameMissing);
    typed.Name = "info";
    expectOutcome(editor.save(typed), true, AutoresponderEditor::kSaved);
    EXPECT_EQ(editor.names(), std::vector<std::string>{"info"});
}

// Delete Log: a missing log is no failure; one that cannot go is named.
TEST_F(FormsTest, DeleteLogSaysWhatHappened) {
    expectOutcome(deleteRunLog(f.path()), true, "");
    f.write("log.txt", "a run\r\n");
    expectOutcome(deleteRunLog(f.path()), true, "");
    EXPECT_FALSE(f.exists("log.txt"));
    fs::create_directories(f.file("log.txt/x"));
    const Outcome kept = deleteRunLog(f.path());
    EXPECT_FALSE(kept.ok);
    EXPECT_EQ(kept.message.rfind("Could not delete " + f.file("log.txt") + ": ", 0), 0u)
        << kept.message;
}

// A connection test outlives its window but not the program: joinAll waits
// for every thread started, the finished ones are joined as new ones start.
TEST(BackgroundWork, JoinAllWaitsForEveryThread) {
    BackgroundWork work;
    std::atomic<int> done{0};
    for (int i = 0; i < 4; ++i) {
        work.start([&done, i] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20 * i));
            ++done;
        });
    }
    work.joinAll();
    EXPECT_EQ(done, 4);
    work.start([&done] { ++done; });
    work.joinAll();
    EXPECT_EQ(done, 5);
}

}  // namespace
}  // namespace vorel
