#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace vorel {

// One outbound message. On disk each field is its text, CR LF, then a line
// holding the single byte 0xFF. Fields read back carry one trailing CR LF.
struct QueueRecord {
    std::string to;
    std::string from;
    std::string subject;
    std::string body;  // or "~" + path of a message file
};

inline constexpr char kQueueFile[] = "msgqueue.txt";
inline constexpr char kQueueNewFile[] = "msgqueue.new";
// Records the SMTP server refused for good (5xx): kept, in the same format,
// for the user to look at; never sent again by a run.
inline constexpr char kFailedQueueFile[] = "msgqueue.failed";
// How far the sending step got through msgqueue.txt (see SendCursor).
inline constexpr char kQueueCursorFile[] = "msgqueue.pos";

// Appends one record to msgqueue.txt (created when missing), opening and
// closing the file for the one record. Throws std::runtime_error on failure.
// Writers and the queue's replacement take msgqueue.lock for a moment each.
void appendQueueRecord(const std::string& folder, const QueueRecord& record);
// Records of one piece of work (the handling of one message), appended to
// msgqueue.txt together with one write under the lock when flushed, so that
// they land right before the work is committed elsewhere. Past a bound they
// are appended early rather than held.
//
// With a key, each append is first noted in msgqueue.pending (the queue file's
// inode, where the append starts, its length, the key), and settled() drops
// the note (empties the file) once the work is committed. A process killed
// in between leaves the note: settleQueueJournal then takes the records out
// again unless the work under the key did commit, so the work is redone whole
// instead of its records going out twice.
class QueueFiles;
class QueueBatch {
public:
    // With `files`, appends go through the files held open there (and the
    // notes stay until QueueFiles::finish empties the journal).
    explicit QueueBatch(std::string folder, std::string key = {}, QueueFiles* files = nullptr)
        : folder_(std::move(folder)), key_(std::move(key)), files_(files) {}
    void add(const QueueRecord& record);
    // Throws std::runtime_error; the records held are then dropped.
    void flush();
    // The work is committed: its records stay for good.
    void settled();
    bool empty() const { return bytes_.empty(); }
    // Whether some records were appended (and noted) before flush().
    bool journaled() const { return journaled_; }
    // The records held, encoded, handed over instead of flushed.
    std::string take() { return std::exchange(bytes_, std::string()); }

private:
    std::string folder_;
    std::string key_;
    QueueFiles* files_;
    std::string bytes_;
    bool journaled_ = false;
};

// msgqueue.txt, msgqueue.pending and msgqueue.lock held open while a run
// handles its messages: an append costs a lock, a check that the queue is
// still the file held, the note and the records, instead of three opens and
// closes. The lock is still taken for each append only, so other writers
// (a post from the command line) wait no longer than today. The notes of
// committed work are harmless (settleQueueJournal keeps their records), so
// the journal is emptied once, by finish(), not once per message.
class QueueFiles {
public:
    explicit QueueFiles(std::string folder) : folder_(std::move(folder)) {}
    ~QueueFiles();
    QueueFiles(const QueueFiles&) = delete;
    QueueFiles& operator=(const QueueFiles&) = delete;
    // Appends encoded records in one write under the lock, first noted under
    // `key` when it is not empty. Throws std::runtime_error (QueueLocked).
    void append(const std::string& bytes, const std::string& key);
    // settleQueueJournal through these files: the journal is let go first,
    // since the settling removes it.
    void settle(const std::function<bool(const std::string&)>& committed);
    // Every note's work is committed or undone: empties the journal and
    // closes the files (opened again by a later append).
    void finish();

private:
    void closeAll() noexcept;
    std::string folder_;
    int lockFd_ = -1;
    int queueFd_ = -1;
    int journalFd_ = -1;
};

inline constexpr char kQueueJournalFile[] = "msgqueue.pending";

// msgqueue.lock stayed held by another process for longer than the wait.
class QueueLocked : public std::runtime_error {
public:
    explicit QueueLocked(const std::string& lockPath);
};
// How long a queue writer waits for msgqueue.lock (30 s; tests shorten it).
void setQueueLockWait(std::chrono::milliseconds wait);
// Whether msgqueue.lock can be taken within that wait (it is let go again).
bool queueLockFree(const std::string& folder);

// One note of msgqueue.pending.
struct JournalNote {
    std::uint64_t inode = 0, offset = 0, length = 0, digest = 0;
    std::string key;
};
// Reads one line of msgqueue.pending (without its line end; `ended`: the line
// had one); std::nullopt for a line that does not check out.
std::optional<JournalNote> readJournalNote(const std::string& line, bool ended);

// Resolves a msgqueue.pending left by a killed process: keeps the records of
// work that `committed(key)` says was committed, takes the others out of
// msgqueue.txt. Throws std::runtime_error when the queue cannot be rewritten.
void settleQueueJournal(const std::string& folder,
                        const std::function<bool(const std::string&)>& committed);

// The size of msgqueue.txt, taken under the lock: every record before it is whole.
std::uint64_t queueSizeNow(const std::string& folder);

// Smallest n >= 1 for which "<n>.msg" does not exist in `folder`, in decimal.
std::string nextMessageFileName(const std::string& folder);
// folder + separator + name + ".msg"
std::string messageFilePath(const std::string& folder, const std::string& number);
// True when `path` is exactly a message file of `folder`: the folder, a
// separator, one or more digits and ".msg".
bool isMessageFileOf(const std::string& folder, const std::string& path);

// Reads msgqueue.txt record by record (the sending step).
class QueueReader {
public:
    // Throws std::runtime_error when the file cannot be opened. Nothing past
    // `limit` bytes is read (records appended meanwhile are not this
    // reader's; replaceQueue keeps them).
    explicit QueueReader(const std::string& path, std::uint64_t limit = UINT64_MAX);
    // Goes on from byte `offset` (the start of a record), as if what lies
    // before it had been read.
    void skipTo(std::uint64_t offset);
    bool atEnd();
    // Reads four fields; a record cut short by the end of the file gives the
    // missing fields empty. Each field read ends with CR LF.
    QueueRecord readRecord();
    // Copies every line not read yet, unchanged, to the end of `newPath`.
    // `progress` is called after each line with the counter before it is
    // raised (0, 1, 2 ...). Returns the number of lines copied.
    std::uint64_t carryOverTo(const std::string& newPath,
                              const std::function<void(std::uint64_t)>& progress = {});
    void close();
    // Bytes read or carried over so far.
    std::uint64_t consumed() const { return consumed_; }

private:
    bool readLine(std::string& line);  // without its line end; false at end of file
    std::ifstream in_;
    std::uint64_t limit_;
    std::uint64_t consumed_ = 0;
};

// Appends a record as read back (each field with its trailing CR LF) to
// msgqueue.new in the form appendQueueRecord writes, so that it reads back the
// same any number of times.
void requeueRecord(const std::string& folder, const QueueRecord& asRead);

// Appends a record as read back to msgqueue.failed.
void moveToFailed(const std::string& folder, const QueueRecord& asRead);

// The message file a "~" body names, or "" when the body names no message
// file of the folder. Only our own message files may be sent as files: a
// body that came from outside must never make us mail an arbitrary file.
std::string messageFileOfBody(const std::string& folder, const std::string& body);

// Makes msgqueue.new the queue with one atomic rename, after appending to it
// whatever msgqueue.txt holds past `consumed` bytes (records written while
// the step sent); without either the queue is removed. The send cursor goes
// with the old queue.
void replaceQueue(const std::string& folder, std::uint64_t consumed);

// The sending step's progress through msgqueue.txt, kept in msgqueue.pos, so
// that a run killed in the middle of the step starts after the records it
// had dealt with instead of sending them again. The cursor names the queue
// file it belongs to (its inode) and the sizes msgqueue.new and
// msgqueue.failed had at that point: whatever they gained after it is cut
// off again on resuming, since those records are read once more.
class SendCursor {
public:
    // Resumes the cursor of an interrupted step when it still fits the files,
    // else starts at the beginning. Touches nothing when there is no queue.
    explicit SendCursor(const std::string& folder);
    ~SendCursor();
    SendCursor(const SendCursor&) = delete;
    SendCursor& operator=(const SendCursor&) = delete;
    std::uint64_t offset() const { return offset_; }
    // Every record before byte `offset` was sent, re-queued or moved to
    // msgqueue.failed (`kept`: the last one was). A cursor that cannot be
    // saved costs at most a resend.
    void advance(std::uint64_t offset, bool kept = false);

private:
    void save();
    std::string folder_;
    int fd_ = -1;  // msgqueue.pos, rewritten in place by each advance
    std::uint64_t inode_ = 0;
    std::uint64_t offset_ = 0;
    std::uint64_t newSize_ = 0;
    std::uint64_t failedSize_ = 0;
};

}  // namespace vorel
