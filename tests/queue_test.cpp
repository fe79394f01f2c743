// The outbound queue, its send cursor, its journal, and message files.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "store/FileLock.h"
#include "store/Queue.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

using test::TempFolder;

const std::string kSep = "\xFF\r\n";

std::string joined(const QueueRecord& r) {
    return r.to + "|" + r.from + "|" + r.subject + "|" + r.body;
}

QueueRecord rec(const std::string& to) {
    return {to, "f", "s", "b"};
}

std::string bytesOf(const std::string& to) {
    return to + "\r\n" + kSep + "f\r\n" + kSep + "s\r\n" + kSep + "b\r\n" + kSep;
}

TEST(QueueFile, BytesOnDiskAndRoundTrips) {
    TempFolder f;
    appendQueueRecord(f.path(), {"to@x", "", "Hi", "a\r\nb"});
    EXPECT_EQ(f.read(kQueueFile),
              "to@x\r\n" + kSep + "\r\n" + kSep + "Hi\r\n" + kSep + "a\r\nb\r\n" + kSep);
    appendQueueRecord(f.path(), {"t", "f", "s", "one\n\ntwo\n"});
    appendQueueRecord(f.path(), {"\xFF", "f", "\xFF\xFF", "a\r\n\xFF\r\nb\n\xFF"});
    // Each field reads back with one CR LF; a line of only the separator byte gets a blank.
    const std::vector<std::string> expected = {
        "to@x\r\n|\r\n|Hi\r\n|a\r\nb\r\n", "t\r\n|f\r\n|s\r\n|one\r\n\r\ntwo\r\n\r\n",
        "\xFF \r\n|f\r\n|\xFF\xFF\r\n|a\r\n\xFF \r\nb\r\n\xFF \r\n"};
    for (int pass = 0; pass < 3; ++pass) {  // re-queued, they read back the same
        std::vector<std::string> got;
        QueueReader reader(f.file(kQueueFile));
        while (!reader.atEnd()) {
            const QueueRecord r = reader.readRecord();
            got.push_back(joined(r));
            requeueRecord(f.path(), r);
        }
        EXPECT_EQ(got, expected) << "pass " << pass;
        replaceQueue(f.path(), reader.consumed());
    }
    // A writer stopped inside the second field: the missing fields are empty.
    f.write(kQueueFile, "a@b\r\n" + kSep + "from\r\nmore");
    QueueReader reader(f.file(kQueueFile));
    EXPECT_EQ(joined(reader.readRecord()), "a@b\r\n|from\r\nmore\r\n||");
    EXPECT_TRUE(reader.atEnd());
}

// The new queue: re-queued records, the unread rest byte for byte, then records queued late.
TEST(QueueFile, ReplacementKeepsTheRestAndLateRecords) {
    TempFolder f;
    appendQueueRecord(f.path(), rec("sent"));
    const std::string rest = "x\r\n" + kSep + "lf only\n\r\n\xFF\r\nno end";
    f.write(kQueueFile, f.read(kQueueFile) + rest);
    QueueReader reader(f.file(kQueueFile), queueSizeNow(f.path()));
    appendQueueRecord(f.path(), rec("late"));
    EXPECT_EQ(reader.readRecord().to, "sent\r\n");
    requeueRecord(f.path(), {"failed\r\n", "f\r\n", "s\r\n", "b\r\n"});
    std::string seen;  // the status line counts from 0
    EXPECT_EQ(reader.carryOverTo(f.file(kQueueNewFile), [&](auto n) { seen += std::to_string(n); }),
              6u);
    EXPECT_EQ(seen, "012345");
    replaceQueue(f.path(), reader.consumed());
    EXPECT_EQ(f.read(kQueueFile), bytesOf("failed") + rest + bytesOf("late"));
    EXPECT_FALSE(f.exists(kQueueNewFile));

    replaceQueue(f.path(), f.read(kQueueFile).size());  // all sent, nothing kept
    EXPECT_FALSE(f.exists(kQueueFile));
    EXPECT_THROW(QueueReader(f.file("nothing.txt")), std::runtime_error);
    EXPECT_THROW(appendQueueRecord(f.file("no/such/folder"), {}), std::runtime_error);
}

// A killed step: the next goes on after its cursor and cuts what was written past it.
TEST(SendCursor, ResumesWhereAKilledStepStopped) {
    TempFolder f;
    for (const char* to : {"one", "two", "three"}) {
        appendQueueRecord(f.path(), rec(to));
    }
    std::uint64_t afterTwo = 0;
    {
        SendCursor cursor(f.path());
        QueueReader reader(f.file(kQueueFile));
        reader.readRecord();  // sent
        cursor.advance(reader.consumed());
        requeueRecord(f.path(), reader.readRecord());  // failed, kept
        cursor.advance(afterTwo = reader.consumed(), true);
        moveToFailed(f.path(), reader.readRecord());  // killed before the cursor moved
        requeueRecord(f.path(), {"half", "written", "", ""});
    }
    EXPECT_EQ(SendCursor(f.path()).offset(), afterTwo);
    EXPECT_EQ(f.read(kQueueNewFile), bytesOf("two"));
    EXPECT_EQ(f.read(kFailedQueueFile), "");
    const std::string stale = f.read(kQueueCursorFile);
    f.write(kQueueCursorFile,
            stale.substr(0, 40) + (stale[40] == '9' ? '8' : '9') + stale.substr(41));
    EXPECT_EQ(SendCursor(f.path()).offset(), 0u) << "a torn cursor counts for nothing";

    replaceQueue(f.path(), f.read(kQueueFile).size());
    EXPECT_FALSE(f.exists(kQueueCursorFile));
    f.write(kQueueCursorFile, stale);  // nor does the cursor of a replaced queue
    EXPECT_EQ(SendCursor(f.path()).offset(), 0u);
}

// Records of a handling a killed run never committed are taken out; other writers' stay.
TEST(QueueJournal, UncommittedRecordsAreTakenOutAgain) {
    struct Case {
        const char* name;
        bool settled, committed, otherWriterAfter, appendHappened;
        std::string left;
    };
    const std::string before = bytesOf("before"), reply = bytesOf("reply"), post = bytesOf("post");
    const Case cases[] = {
        {"uncommitted, at the end", false, false, false, true, before},
        {"uncommitted, another writer after", false, false, true, true, before + post},
        {"committed", false, true, true, true, before + reply + post},
        {"settled", true, false, false, true, before + reply},
        {"killed before the append", false, false, true, false, before + post},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder f;
        appendQueueRecord(f.path(), rec("before"));
        QueueBatch batch(f.path(), "pop:key|uidl:7");
        batch.add(rec("reply"));
        batch.flush();
        if (!c.appendHappened) {  // the note stays, the bytes never came
            f.write(kQueueFile, f.read(kQueueFile).substr(0, 29));
        }
        if (c.settled) {
            batch.settled();
        }
        if (c.otherWriterAfter) {
            appendQueueRecord(f.path(), rec("post"));
        }
        std::vector<std::string> asked;
        settleQueueJournal(f.path(), [&](const std::string& key) {
            asked.push_back(key);
            return c.committed;
        });
        EXPECT_EQ(asked, std::vector<std::string>(c.settled ? 0 : 1, "pop:key|uidl:7"));
        EXPECT_EQ(f.read(kQueueFile), c.left);
        EXPECT_FALSE(f.exists(kQueueJournalFile));
    }
}

// Each journal line stands alone: only a whole, checked note counts.
TEST(QueueJournal, ReaderTakesOnlyNotesThatCheckOut) {
    TempFolder f;
    QueueBatch batch(f.path(), "pop:k|uidl:1");
    batch.add(rec("reply"));
    batch.flush();
    std::string note = f.read(kQueueJournalFile);
    ASSERT_EQ(note.back(), '\n');
    note.pop_back();
    const auto key = readJournalNote(note, true);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->key, "pop:k|uidl:1");
    EXPECT_EQ(key->length, bytesOf("reply").size());
    std::string wrongCheck = note;
    wrongCheck.back() = wrongCheck.back() == '1' ? '2' : '1';
    const std::string oldForm = note.substr(0, note.rfind(' '));
    const struct {
        std::string line;
        bool ended, counts;
    } cases[] = {{note, false, true},      // the last line, its end lost: the check still holds
                 {oldForm, true, true},    // the form without a check
                 {oldForm, false, false},  // ... cut short by a kill
                 {note.substr(0, note.size() - 2), false, false},             // torn in its check
                 {note.substr(0, 20) + std::string(30, '\0'), false, false},  // a NUL tail
                 {std::string(40, '\0'), true, false},
                 {wrongCheck, true, false},
                 {note + " 7", true, false},
                 {"1 2 3 4 6k 5", true, false},
                 {"99999999999999999999999 0 1 2 61", true, false},
                 {"", true, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(readJournalNote(c.line, c.ended).has_value(), c.counts) << c.line;
    }
}

// Files held open follow a renamed queue, settle by key, and still honour the lock per append.
TEST(QueueJournal, FilesHeldOpenFollowTheQueueAndSettleByKey) {
    TempFolder f;
    {
        QueueFiles files(f.path());
        files.append(bytesOf("a"), "k1");
        files.append(bytesOf("b"), "k2");
        files.append(bytesOf("c"), "");  // no note
        EXPECT_EQ(f.read(kQueueFile), bytesOf("a") + bytesOf("b") + bytesOf("c"));
        // The sending step's rename: later records go to the new file.
        f.write(kQueueNewFile, bytesOf("new"));
        std::filesystem::rename(f.file(kQueueNewFile), f.file(kQueueFile));
        files.append(bytesOf("d"), "k3");
        EXPECT_EQ(f.read(kQueueFile), bytesOf("new") + bytesOf("d"));
        // k3 was never committed: only its records go.
        files.settle([](const std::string& key) { return key != "k3"; });
        EXPECT_EQ(f.read(kQueueFile), bytesOf("new"));
        files.append(bytesOf("e"), "k4");  // a journal of its own again
        EXPECT_TRUE(f.exists(kQueueJournalFile));
        files.finish();
        EXPECT_EQ(f.read(kQueueJournalFile), "");
        EXPECT_EQ(f.read(kQueueFile), bytesOf("new") + bytesOf("e"));

        setQueueLockWait(std::chrono::milliseconds(50));
        {
            FileLock other(f.file(kQueueLockFile), false);
            EXPECT_THROW(files.append(bytesOf("f"), "k5"), QueueLocked);
        }
        files.append(bytesOf("f"), "k5");
        setQueueLockWait(std::chrono::seconds(30));
    }
    // Closed without finish (a run cut short): the note stays for the next settling.
    EXPECT_TRUE(f.exists(kQueueJournalFile));
    settleQueueJournal(f.path(), [](const std::string&) { return false; });
    EXPECT_EQ(f.read(kQueueFile), bytesOf("new") + bytesOf("e"));
}

TEST(QueueLock, WaitIsBounded) {
    TempFolder f;
    appendQueueRecord(f.path(), rec("before"));
    setQueueLockWait(std::chrono::milliseconds(100));
    {
        FileLock held(f.file(kQueueLockFile), false);
        ASSERT_TRUE(held.held());
        EXPECT_FALSE(queueLockFree(f.path()));
        EXPECT_THROW(appendQueueRecord(f.path(), rec("late")), QueueLocked);
        QueueBatch batch(f.path());
        batch.add(rec("late"));
        EXPECT_THROW(batch.flush(), QueueLocked);
        EXPECT_THROW(replaceQueue(f.path(), 0), QueueLocked);
    }
    EXPECT_TRUE(queueLockFree(f.path()));
    setQueueLockWait(std::chrono::seconds(30));
    EXPECT_EQ(f.read(kQueueFile), bytesOf("before"));
}

TEST(MessageFiles, NamesAreTheFirstGapAndOnlyNumberedFilesOfTheFolderCount) {
    TempFolder f;
    f.write("2.msg", "");
    f.write("1.msg.bak", "");
    EXPECT_EQ(nextMessageFileName(f.path()), "1");
    f.write("1.msg", "");
    EXPECT_EQ(nextMessageFileName(f.path()), "3");
    EXPECT_EQ(messageFilePath(f.path(), "12"), f.path() + "/12.msg");

    EXPECT_TRUE(isMessageFileOf("/a", "/a/0042.msg") && isMessageFileOf("/a/", "/a/7.msg"));
    for (const char* bad : {"/a/.msg", "/a/1.msg\r\n", "/a/../1.msg", "/a/x.msg", "/a/b/1.msg",
                            "/a//1.msg", "/a1/1.msg", "/a/1.MSG", "/a/-1.msg", ""}) {
        EXPECT_FALSE(isMessageFileOf("/a", bad)) << bad;
    }
}

}  // namespace
}  // namespace vorel
