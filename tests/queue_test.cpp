// The outbound queue file: exact bytes, round trips through reading and
// re-queueing, carry-over, replacement and message file names.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "store/Queue.h"
#include "support/TempFolder.h"

using vorel::QueueReader;
using vorel::QueueRecord;
using vorel::test::TempFolder;

namespace {

const std::string kSep = "\xFF\r\n";

std::vector<QueueRecord> readAll(const std::string& path) {
    std::vector<QueueRecord> records;
    QueueReader reader(path);
    while (!reader.atEnd()) {
        records.push_back(reader.readRecord());
    }
    return records;
}

void expectSame(const QueueRecord& a, const QueueRecord& b) {
    EXPECT_EQ(a.to, b.to);
    EXPECT_EQ(a.from, b.from);
    EXPECT_EQ(a.subject, b.subject);
    EXPECT_EQ(a.body, b.body);
}

TEST(QueueFile, OneLineFieldsMakeEightLines) {
    TempFolder f;
    vorel::appendQueueRecord(f.path(), {"to@x", "from@y", "Hi", "Body"});
    EXPECT_EQ(f.read("msgqueue.txt"),
              "to@x\r\n" + kSep + "from@y\r\n" + kSep + "Hi\r\n" + kSep + "Body\r\n" + kSep);
    vorel::appendQueueRecord(f.path(), {"", "", "", "a\r\nb\r\nc"});
    EXPECT_EQ(f.read("msgqueue.txt").substr(36),
              "\r\n" + kSep + "\r\n" + kSep + "\r\n" + kSep + "a\r\nb\r\nc\r\n" + kSep);
}

struct RoundTrip {
    const char* name;
    QueueRecord written;
    QueueRecord readBack;
};

class QueueRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

// Reading gives each field plus one CR LF; re-queueing that and reading again
// gives the same values, however often it is done.
TEST_P(QueueRoundTrip, ReadRequeueRead) {
    const RoundTrip& c = GetParam();
    TempFolder f;
    vorel::appendQueueRecord(f.path(), c.written);
    vorel::appendQueueRecord(f.path(), {"next", "record", "stays", "intact"});
    for (int pass = 0; pass < 3; ++pass) {
        auto records = readAll(f.file("msgqueue.txt"));
        ASSERT_EQ(records.size(), 2u) << "pass " << pass;
        expectSame(records[0], c.readBack);
        expectSame(records[1], {"next\r\n", "record\r\n", "stays\r\n", "intact\r\n"});
        for (const auto& r : records) {
            vorel::requeueRecord(f.path(), r);
        }
        vorel::replaceQueue(f.path(), f.read("msgqueue.txt").size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Records, QueueRoundTrip,
    ::testing::Values(RoundTrip{"OneLine",
                                {"a@b", "c@d", "Subj", "Hello"},
                                {"a@b\r\n", "c@d\r\n", "Subj\r\n", "Hello\r\n"}},
                      RoundTrip{"Empty", {"", "", "", ""}, {"\r\n", "\r\n", "\r\n", "\r\n"}},
                      RoundTrip{"ThreeLineBody",
                                {"t", "f", "s", "one\r\ntwo\r\nthree"},
                                {"t\r\n", "f\r\n", "s\r\n", "one\r\ntwo\r\nthree\r\n"}},
                      RoundTrip{"LfOnlyBodyAndBlankLines",
                                {"t", "f", "s", "one\n\ntwo\n"},
                                {"t\r\n", "f\r\n", "s\r\n", "one\r\n\r\ntwo\r\n\r\n"}},
                      RoundTrip{"FileReference",
                                {"t", "f", "s", "~/app/3.msg"},
                                {"t\r\n", "f\r\n", "s\r\n", "~/app/3.msg\r\n"}},
                      // A line that is only the separator byte would end the field early;
                      // it is stored with one blank after it.
                      RoundTrip{"SeparatorByteLines",
                                {"\xFF", "f", "s", "a\r\n\xFF\r\nb\n\xFF"},
                                {"\xFF \r\n", "f\r\n", "s\r\n", "a\r\n\xFF \r\nb\r\n\xFF \r\n"}},
                      RoundTrip{"SeparatorByteInsideText",
                                {"t", "f", "\xFF\xFF", "x\xFF"},
                                {"t\r\n", "f\r\n", "\xFF\xFF\r\n", "x\xFF\r\n"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(QueueFile, RecordCutShortByEndOfFile) {
    TempFolder f;
    // A writer stopped inside the second field; the last line has no line end.
    f.write("msgqueue.txt", "a@b\r\n" + kSep + "from\r\nmore");
    auto records = readAll(f.file("msgqueue.txt"));
    ASSERT_EQ(records.size(), 1u);
    expectSame(records[0], {"a@b\r\n", "from\r\nmore\r\n", "", ""});
}

TEST(QueueFile, ReaderSurvivesJunk) {
    std::mt19937 rng(7);
    const char alphabet[] = {'a', '\r', '\n', '\xFF', '\0', '~'};
    TempFolder f;
    for (int i = 0; i < 200; ++i) {
        std::string junk(rng() % 300, 'a');
        for (char& c : junk) {
            c = alphabet[rng() % sizeof alphabet];
        }
        f.write("msgqueue.txt", junk);
        QueueReader reader(f.file("msgqueue.txt"));
        std::size_t records = 0;
        while (!reader.atEnd()) {
            reader.readRecord();
            ASSERT_LE(++records, junk.size());
        }
    }
}

TEST(QueueFile, CarryOverCopiesUnreadBytesExactly) {
    TempFolder f;
    vorel::appendQueueRecord(f.path(), {"first", "f", "s", "b"});
    const std::string before = f.read("msgqueue.txt");
    // The rest holds odd line ends and no final line end; all of it is copied.
    const std::string rest = "x\r\n" + kSep + "lf only\n\r\n\xFF\r\nno end";
    f.write("msgqueue.txt", before + rest);
    f.write("msgqueue.new", "failed record\r\n");

    QueueReader reader(f.file("msgqueue.txt"));
    vorel::QueueRecord first = reader.readRecord();
    EXPECT_EQ(first.to, "first\r\n");
    std::vector<std::uint64_t> seen;
    EXPECT_EQ(
        reader.carryOverTo(f.file("msgqueue.new"), [&](std::uint64_t n) { seen.push_back(n); }),
        6u);
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_TRUE(reader.atEnd());
    const std::uint64_t consumed = reader.consumed();
    EXPECT_EQ(consumed, (before + rest).size());
    reader.close();
    vorel::replaceQueue(f.path(), consumed);
    EXPECT_EQ(f.read("msgqueue.txt"), "failed record\r\n" + rest);
    EXPECT_FALSE(f.exists("msgqueue.new"));
}

TEST(QueueFile, replaceQueue) {
    TempFolder f;
    f.write("msgqueue.txt", "old");
    vorel::replaceQueue(f.path(), 3);  // all sent, no carry-over: the queue is emptied
    EXPECT_FALSE(f.exists("msgqueue.txt"));
    vorel::replaceQueue(f.path(), 0);  // nothing at all is fine
    f.write("msgqueue.new", "left from an interrupted run");
    vorel::replaceQueue(f.path(), 0);
    EXPECT_EQ(f.read("msgqueue.txt"), "left from an interrupted run");
    EXPECT_FALSE(f.exists("msgqueue.new"));
    EXPECT_THROW(QueueReader(f.file("nothing.txt")), std::runtime_error);
    EXPECT_THROW(vorel::appendQueueRecord(f.file("no/such/folder"), {}), std::runtime_error);
}

// A post queued from a window while the step sends: not this step's to send,
// and never lost by its replacement of the queue.
TEST(QueueFile, RecordsWrittenWhileSendingAreKept) {
    TempFolder f;
    vorel::appendQueueRecord(f.path(), {"sent", "f", "s", "b"});
    QueueReader reader(f.file("msgqueue.txt"), vorel::queueSizeNow(f.path()));
    vorel::appendQueueRecord(f.path(), {"late", "f", "s", "b"});
    EXPECT_EQ(reader.readRecord().to, "sent\r\n");
    EXPECT_TRUE(reader.atEnd());
    const std::uint64_t consumed = reader.consumed();
    reader.close();
    vorel::requeueRecord(f.path(), {"failed\r\n", "f\r\n", "s\r\n", "b\r\n"});
    vorel::replaceQueue(f.path(), consumed);
    auto records = readAll(f.file("msgqueue.txt"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].to, "failed\r\n");
    EXPECT_EQ(records[1].to, "late\r\n");
}

// A sending step killed after dealing with two records: the next one goes
// on after them, and what it wrote past its last cursor is cut off again.
TEST(SendCursor, ResumesWhereAKilledStepStopped) {
    TempFolder f;
    for (const char* to : {"one", "two", "three"}) {
        vorel::appendQueueRecord(f.path(), {to, "f", "s", "b"});
    }
    std::uint64_t afterTwo = 0;
    {
        vorel::SendCursor cursor(f.path());
        QueueReader reader(f.file("msgqueue.txt"));
        reader.readRecord();  // sent
        cursor.advance(reader.consumed());
        vorel::requeueRecord(f.path(), reader.readRecord());  // failed, kept
        cursor.advance(afterTwo = reader.consumed(), true);
        vorel::moveToFailed(f.path(), reader.readRecord());  // killed before the cursor moved
        vorel::requeueRecord(f.path(), {"half", "written", "", ""});
    }
    vorel::SendCursor resumed(f.path());
    EXPECT_EQ(resumed.offset(), afterTwo);
    ASSERT_EQ(readAll(f.file("msgqueue.new")).size(), 1u);
    EXPECT_EQ(readAll(f.file("msgqueue.new"))[0].to, "two\r\n");
    EXPECT_EQ(f.read("msgqueue.failed"), "");
    std::string torn = f.read("msgqueue.pos");
    const std::string stale = torn;
    torn[30] = torn[30] == '9' ? '8' : '9';
    f.write("msgqueue.pos", torn);
    EXPECT_EQ(vorel::SendCursor(f.path()).offset(), 0u) << "a torn cursor counts for nothing";

    vorel::replaceQueue(f.path(), f.read("msgqueue.txt").size());
    EXPECT_FALSE(f.exists("msgqueue.pos"));
    // Nor does the cursor of a queue file that was since replaced.
    f.write("msgqueue.pos", stale);
    EXPECT_EQ(vorel::SendCursor(f.path()).offset(), 0u);
}

// A run killed between appending a message's records and committing its
// handling: the next run takes those records out (the message is handled
// again), unless the handling did commit; what other writers queued stays.
TEST(QueueJournal, UncommittedRecordsAreTakenOutAgain) {
    struct Case {
        const char* name;
        bool committed;
        bool otherWriterAfter;
        bool appendHappened;
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {"uncommitted, at the end", false, false, true, {"before"}},
        {"uncommitted, another writer after", false, true, true, {"before", "post"}},
        {"committed", true, true, true, {"before", "reply", "post"}},
        {"killed before the append", false, true, false, {"before", "post"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder f;
        vorel::appendQueueRecord(f.path(), {"before", "f", "s", "b"});
        vorel::QueueBatch batch(f.path(), "pop:key|uidl:7");
        batch.add({"reply", "f", "s", "b"});
        batch.flush();
        if (!c.appendHappened) {  // the note stays, the bytes never came
            f.write("msgqueue.txt", f.read("msgqueue.txt").substr(0, 29));
        }
        if (c.otherWriterAfter) {
            vorel::appendQueueRecord(f.path(), {"post", "f", "s", "b"});
        }
        std::vector<std::string> asked;
        vorel::settleQueueJournal(f.path(), [&](const std::string& key) {
            asked.push_back(key);
            return c.committed;
        });
        EXPECT_EQ(asked, std::vector<std::string>{"pop:key|uidl:7"});
        std::vector<std::string> left;
        for (const auto& r : readAll(f.file("msgqueue.txt"))) {
            left.push_back(r.to.substr(0, r.to.size() - 2));
        }
        EXPECT_EQ(left, c.left);
        EXPECT_FALSE(f.exists("msgqueue.pending"));
    }
}

TEST(MessageFiles, NextNameIsTheFirstGap) {
    TempFolder f;
    EXPECT_EQ(vorel::nextMessageFileName(f.path()), "1");
    f.write("1.msg", "");
    f.write("2.msg", "");
    EXPECT_EQ(vorel::nextMessageFileName(f.path()), "3");
    f.write("1.msg.bak", "");
    std::remove(f.file("1.msg").c_str());
    EXPECT_EQ(vorel::nextMessageFileName(f.path()), "1");
    EXPECT_EQ(vorel::messageFilePath(f.path(), "12"), f.path() + "/12.msg");
}

TEST(MessageFiles, OnlyNumberedFilesOfTheFolderCount) {
    const std::string dir = "/home/u/app";
    EXPECT_TRUE(vorel::isMessageFileOf(dir, "/home/u/app/1.msg"));
    EXPECT_TRUE(vorel::isMessageFileOf(dir, "/home/u/app/0042.msg"));
    EXPECT_TRUE(vorel::isMessageFileOf(dir + "/", "/home/u/app/7.msg"));
    for (const char* bad :
         {"/home/u/app/.msg", "/home/u/app/1.msg\r\n", "/home/u/app/../1.msg", "/home/u/app/a.msg",
          "/home/u/app/sub/1.msg", "/home/u/app//1.msg", "/home/u/app1/1.msg", "/etc/passwd",
          "~/etc/passwd", "/home/u/app/1.MSG", "/home/u/app/-1.msg", ""}) {
        EXPECT_FALSE(vorel::isMessageFileOf(dir, bad)) << bad;
    }
}

}  // namespace
