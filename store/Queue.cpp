#include "store/Queue.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/FileIo.h"
#include "base/WriteAll.h"
#include "store/AppFolder.h"
#include "store/FileLock.h"

namespace vorel {

namespace {

constexpr char kSeparator = '\xFF';
constexpr char kSeparatorLine[] = "\xFF\r\n";

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    throw std::runtime_error(what + " " + path + ": " + fileErrorText(errno));
}

// Set by tests while a run may be reading it on another thread.
std::atomic<std::chrono::milliseconds::rep> queueLockWaitMs{30000};

std::chrono::milliseconds queueLockWait() {
    return std::chrono::milliseconds(queueLockWaitMs.load());
}

// msgqueue.lock, waited for a bounded time: a program that holds it for good
// must not keep a run (which holds run.lock) waiting for ever.
class QueueLock {
public:
    explicit QueueLock(const std::string& folder)
        : lock_(joinPath(folder, kQueueLockFile), queueLockWait()) {
        if (!lock_.held()) {
            throw QueueLocked(joinPath(folder, kQueueLockFile));
        }
    }

private:
    FileLock lock_;
};

// One open, one write and one close per call, so that a record is never held
// half-written in a buffer between calls.
void appendBytes(const std::string& path, const std::string& bytes) {
    // Records hold people's addresses and mail: the owner's alone.
    int fd = openNoFollow(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd < 0) {
        fail("cannot open", path);
    }
    if (const int err = writeAll(fd, bytes); err != 0) {
        ::close(fd);
        errno = err;
        fail("cannot write", path);
    }
    if (::close(fd) != 0) {
        fail("cannot write", path);
    }
}

// A field line that is exactly the separator byte would end the field early and
// shift every later field and record. Such a line is written with one blank
// after the byte: it then reads back as that two-byte line, and stays so when
// the record is queued again.
void appendField(std::string& out, const std::string& text) {
    std::size_t start = 0;
    while (true) {
        std::size_t nl = text.find('\n', start);
        std::size_t end = (nl == std::string::npos) ? text.size() : nl;
        std::size_t len = end - start;
        // The reader drops one CR before the LF; the last piece gets our CR LF.
        bool isSeparator =
            len > 0 && text[start] == kSeparator &&
            (len == 1 || (nl != std::string::npos && len == 2 && text[start + 1] == '\r'));
        if (isSeparator) {
            out += kSeparator;
            out += ' ';
            out.append(text, start + 1, len - 1);
        } else {
            out.append(text, start, len);
        }
        if (nl == std::string::npos) {
            break;
        }
        out += '\n';
        start = nl + 1;
    }
    out += "\r\n";
    out += kSeparatorLine;
}

std::string encodeRecord(const QueueRecord& r) {
    std::string out;
    out.reserve(r.to.size() + r.from.size() + r.subject.size() + r.body.size() + 24);
    appendField(out, r.to);
    appendField(out, r.from);
    appendField(out, r.subject);
    appendField(out, r.body);
    return out;
}

std::optional<struct stat> statOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return st;
}

// 0 for a missing file or one that is not a regular file.
std::uint64_t sizeOf(const std::string& path) {
    const auto st = statOf(path);
    return st && S_ISREG(st->st_mode) ? static_cast<std::uint64_t>(st->st_size) : 0;
}

void syncFile(const std::string& path) {
    const int fd = openNoFollow(path, O_WRONLY);
    if (fd < 0 || ::fsync(fd) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        fail("cannot write", path);
    }
    ::close(fd);
}

std::uint64_t digestOf(const std::string& bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        h = (h ^ c) * 0x100000001b3ULL;
    }
    return h;
}

std::string hexOf(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

// A note's check: the digest of its text, so that a line torn anywhere fails.
std::string withNoteCheck(const std::string& note) {
    return note + ' ' + std::to_string(digestOf(note)) + '\n';
}

bool allDigits(const std::string& s) {
    return !s.empty() && s.size() <= 20 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isHex(const std::string& s) {
    return s.size() % 2 == 0 && std::all_of(s.begin(), s.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::string withoutReadLineEnd(const std::string& field) {
    if (field.size() >= 2 && field.compare(field.size() - 2, 2, "\r\n") == 0) {
        return field.substr(0, field.size() - 2);
    }
    return field;
}

}  // namespace

void appendQueueRecord(const std::string& folder, const QueueRecord& record) {
    const std::string bytes = encodeRecord(record);
    // Held for the one write: the sending step must never replace the queue
    // between a writer's open and its write, or the record would be lost.
    QueueLock lock(folder);
    appendBytes(joinPath(folder, kQueueFile), bytes);
}

void QueueBatch::add(const QueueRecord& record) {
    // Encoded where it is held: a large record (a post's copy) is not made twice.
    if (bytes_.empty()) {
        bytes_.reserve(record.to.size() + record.from.size() + record.subject.size() +
                       record.body.size() + 24);
    }
    appendField(bytes_, record.to);
    appendField(bytes_, record.from);
    appendField(bytes_, record.subject);
    appendField(bytes_, record.body);
    if (bytes_.size() > 4 * 1024 * 1024) {
        flush();
    }
}

void QueueBatch::flush() {
    if (bytes_.empty()) {
        return;
    }
    std::string bytes = std::move(bytes_);
    bytes_.clear();
    if (files_) {
        files_->append(bytes, key_);
        journaled_ = journaled_ || !key_.empty();
        return;
    }
    const std::string queue = joinPath(folder_, kQueueFile);
    QueueLock lock(folder_);
    if (!key_.empty()) {
        // Created first, so that the note names the inode the records go to.
        auto st = statOf(queue);
        if (!st) {
            appendBytes(queue, "");
            st = statOf(queue);
        }
        if (!st) {
            fail("cannot read", queue);
        }
        std::ostringstream note;
        note << st->st_ino << ' ' << st->st_size << ' ' << bytes.size() << ' ' << digestOf(bytes)
             << ' ' << hexOf(key_);
        appendBytes(joinPath(folder_, kQueueJournalFile), withNoteCheck(note.str()));
        journaled_ = true;
    }
    appendBytes(queue, bytes);
}

void QueueBatch::settled() {
    if (journaled_ && files_) {
        journaled_ = false;  // the note goes with the others at QueueFiles::finish
    } else if (journaled_) {
        // Emptied rather than removed: creating and removing a file for every
        // message costs more than the rest of its bookkeeping.
        truncateNoFollow(joinPath(folder_, kQueueJournalFile), 0);
        journaled_ = false;
    }
}

QueueFiles::~QueueFiles() {
    closeAll();
}

void QueueFiles::closeAll() noexcept {
    for (int* fd : {&lockFd_, &queueFd_, &journalFd_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void QueueFiles::append(const std::string& bytes, const std::string& key) {
    if (bytes.empty()) {
        return;
    }
    const std::string lockPath = joinPath(folder_, kQueueLockFile);
    if (lockFd_ < 0 && (lockFd_ = openNoFollow(lockPath, O_RDWR | O_CREAT, 0600)) < 0) {
        fail("cannot open", lockPath);
    }
    // As QueueLock waits, on the descriptor held.
    const auto until = std::chrono::steady_clock::now() + queueLockWait();
    while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR && errno != EWOULDBLOCK) {
            fail("cannot lock", lockPath);
        }
        if (std::chrono::steady_clock::now() >= until) {
            throw QueueLocked(lockPath);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    struct Unlock {
        int fd;
        ~Unlock() { ::flock(fd, LOCK_UN); }
    } unlock{lockFd_};

    const std::string queue = joinPath(folder_, kQueueFile);
    struct stat held {};
    if (queueFd_ >= 0) {
        // The sending step and a settling replace the file by a rename (under
        // the lock): the records go to the file that bears the name now.
        struct stat named {};
        if (::lstat(queue.c_str(), &named) != 0 || ::fstat(queueFd_, &held) != 0 ||
            named.st_ino != held.st_ino || named.st_dev != held.st_dev) {
            ::close(queueFd_);
            queueFd_ = -1;
        }
    }
    if (queueFd_ < 0 && (queueFd_ = openNoFollow(queue, O_WRONLY | O_APPEND | O_CREAT, 0600)) < 0) {
        fail("cannot open", queue);
    }
    if (::fstat(queueFd_, &held) != 0) {
        fail("cannot read", queue);
    }
    if (!key.empty()) {
        const std::string journal = joinPath(folder_, kQueueJournalFile);
        if (journalFd_ < 0 &&
            (journalFd_ = openNoFollow(journal, O_WRONLY | O_APPEND | O_CREAT, 0600)) < 0) {
            fail("cannot open", journal);
        }
        std::ostringstream note;
        note << held.st_ino << ' ' << held.st_size << ' ' << bytes.size() << ' ' << digestOf(bytes)
             << ' ' << hexOf(key);
        if (const int err = writeAll(journalFd_, withNoteCheck(note.str())); err != 0) {
            errno = err;
            fail("cannot write", journal);
        }
    }
    if (const int err = writeAll(queueFd_, bytes); err != 0) {
        errno = err;
        fail("cannot write", queue);
    }
}

void QueueFiles::settle(const std::function<bool(const std::string&)>& committed) {
    if (journalFd_ >= 0) {
        ::close(journalFd_);
        journalFd_ = -1;
    }
    settleQueueJournal(folder_, committed);
}

void QueueFiles::finish() {
    if (journalFd_ >= 0) {
        // Emptied, as the per-message settling left it; left as it is when
        // it cannot be: its notes are all of committed work, which the next
        // settling keeps.
        (void)::ftruncate(journalFd_, 0);
    }
    closeAll();
}

QueueLocked::QueueLocked(const std::string& lockPath)
    : std::runtime_error("the queue is locked by another program (" + lockPath + ")") {}

void setQueueLockWait(std::chrono::milliseconds wait) {
    queueLockWaitMs = wait.count();
}

bool queueLockFree(const std::string& folder) {
    return FileLock(joinPath(folder, kQueueLockFile), queueLockWait()).held();
}

std::optional<JournalNote> readJournalNote(const std::string& line, bool ended) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string f; in >> f;) {
        fields.push_back(f);
    }
    if (fields.size() < 5 || fields.size() > 6) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        if (!allDigits(fields[i])) {
            return std::nullopt;
        }
    }
    if (!isHex(fields[4])) {
        return std::nullopt;
    }
    if (fields.size() == 6) {
        const std::string text = line.substr(0, line.rfind(' '));
        if (!allDigits(fields[5]) || withNoteCheck(text) != line + '\n') {
            return std::nullopt;
        }
    } else if (!ended) {
        // A note of the older form, without its check: whole only when its line ended.
        return std::nullopt;
    }
    try {
        return JournalNote{std::stoull(fields[0]), std::stoull(fields[1]), std::stoull(fields[2]),
                           std::stoull(fields[3]), unhex(fields[4])};
    } catch (const std::exception&) {
        return std::nullopt;  // a figure out of range
    }
}

void settleQueueJournal(const std::string& folder,
                        const std::function<bool(const std::string&)>& committed) {
    const std::string journal = joinPath(folder, kQueueJournalFile);
    std::ifstream in(journal, std::ios::binary);
    if (!in) {
        return;
    }
    struct Range {
        std::uint64_t inode, offset, length, digest;
    };
    std::vector<Range> undo;
    std::string line;
    while (std::getline(in, line)) {
        // Each note stands alone: a line torn by a power cut (a NUL tail) or
        // cut short by a kill is skipped, the others still count.
        const std::optional<JournalNote> note = readJournalNote(line, !in.eof());
        if (note && !committed(note->key)) {
            undo.push_back({note->inode, note->offset, note->length, note->digest});
        }
    }
    in.close();
    const std::string queue = joinPath(folder, kQueueFile);
    QueueLock lock(folder);
    const auto st = statOf(queue);
    if (!undo.empty() && st) {
        std::optional<std::string> read = readWholeFile(queue);
        if (!read) {
            fail("cannot read", queue);
        }
        std::string& bytes = *read;
        // Last range first, so that earlier offsets stay true.
        std::sort(undo.begin(), undo.end(),
                  [](const Range& a, const Range& b) { return a.offset > b.offset; });
        const std::size_t before = bytes.size();
        std::size_t lowest = before;
        for (const Range& r : undo) {
            if (r.inode != static_cast<std::uint64_t>(st->st_ino) || r.offset > bytes.size()) {
                continue;
            }
            // Only the batch's own bytes go: a note whose append never
            // happened must not take what another writer put there. A batch
            // cut short at the very end (it stops inside a record) goes too.
            const bool whole = r.offset + r.length <= bytes.size() &&
                               digestOf(bytes.substr(r.offset, r.length)) == r.digest;
            const bool cutShort = r.offset + r.length > bytes.size() &&
                                  bytes.size() > r.offset + 3 &&
                                  bytes.compare(bytes.size() - 3, 3, kSeparatorLine) != 0;
            if (whole || cutShort) {
                bytes.erase(r.offset, std::min<std::uint64_t>(r.length, bytes.size() - r.offset));
                lowest = std::min<std::size_t>(lowest, r.offset);
            }
        }
        if (bytes.size() == lowest && lowest < before) {
            // Only a tail went: cut in place, so a send cursor still fits.
            if (const int err = truncateNoFollow(queue, static_cast<off_t>(lowest)); err != 0) {
                errno = err;
                fail("cannot truncate", queue);
            }
        } else if (bytes.size() != before) {
            if (const int err = writeFileAtomically(queue, bytes, 0600); err != 0) {
                errno = err;
                fail("cannot replace", queue);
            }
        }
    }
    ::unlink(journal.c_str());
}

std::uint64_t queueSizeNow(const std::string& folder) {
    QueueLock lock(folder);
    struct stat st {};
    if (::stat(joinPath(folder, kQueueFile).c_str(), &st) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(st.st_size);
}

std::string nextMessageFileName(const std::string& folder) {
    unsigned long long n = 1;
    while (fileExists(messageFilePath(folder, std::to_string(n)))) {
        ++n;
    }
    return std::to_string(n);
}

std::string messageFilePath(const std::string& folder, const std::string& number) {
    return joinPath(folder, number + ".msg");
}

bool isMessageFileOf(const std::string& folder, const std::string& path) {
    const std::string prefix = joinPath(folder, "");
    const std::string suffix = ".msg";
    if (path.size() <= prefix.size() + suffix.size() ||
        path.compare(0, prefix.size(), prefix) != 0 ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    for (std::size_t i = prefix.size(); i < path.size() - suffix.size(); ++i) {
        if (path[i] < '0' || path[i] > '9') {
            return false;
        }
    }
    return true;
}

QueueReader::QueueReader(const std::string& path, std::uint64_t limit) : limit_(limit) {
    // Records read through a planted link would mail whatever file it names.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        throw std::runtime_error("cannot open " + path + ": " + fileErrorText(ELOOP));
    }
    in_.open(path, std::ios::binary);
    if (!in_) {
        throw std::runtime_error("cannot open " + path);
    }
}

bool QueueReader::atEnd() {
    if (!in_.is_open() || !in_.good() || consumed_ >= limit_) {
        return true;
    }
    return in_.peek() == std::ifstream::traits_type::eof();
}

bool QueueReader::readLine(std::string& line) {
    if (!in_.is_open() || consumed_ >= limit_ || !std::getline(in_, line)) {
        return false;
    }
    consumed_ += line.size() + (in_.eof() ? 0 : 1);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

void QueueReader::skipTo(std::uint64_t offset) {
    if (in_.is_open() && in_.seekg(static_cast<std::streamoff>(offset))) {
        consumed_ = offset;
    }
}

QueueRecord QueueReader::readRecord() {
    QueueRecord r;
    std::string line;
    for (std::string* field : {&r.to, &r.from, &r.subject, &r.body}) {
        while (readLine(line)) {
            if (line.size() == 1 && line[0] == kSeparator) {
                break;
            }
            field->append(line);
            field->append("\r\n");
        }
    }
    return r;
}

std::uint64_t QueueReader::carryOverTo(const std::string& newPath,
                                       const std::function<void(std::uint64_t)>& progress) {
    if (!in_.is_open()) {
        return 0;
    }
    const int fd = openNoFollow(newPath, O_WRONLY | O_APPEND | O_CREAT, 0600);
    std::FILE* out = fd < 0 ? nullptr : ::fdopen(fd, "ab");
    if (!out) {
        if (fd >= 0) {
            ::close(fd);
        }
        fail("cannot open", newPath);
    }
    std::uint64_t count = 0;
    std::string line;
    while (consumed_ < limit_ && std::getline(in_, line)) {
        // getline stops at end of file without a line end; copy what was there.
        if (!in_.eof()) {
            line += '\n';
        }
        consumed_ += line.size();
        if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) {
            int saved = errno;
            std::fclose(out);
            errno = saved;
            fail("cannot write", newPath);
        }
        if (progress) {
            progress(count);
        }
        ++count;
    }
    if (std::fclose(out) != 0) {
        fail("cannot write", newPath);
    }
    return count;
}

void QueueReader::close() {
    if (in_.is_open()) {
        in_.close();
    }
}

void requeueRecord(const std::string& folder, const QueueRecord& asRead) {
    QueueRecord r{withoutReadLineEnd(asRead.to), withoutReadLineEnd(asRead.from),
                  withoutReadLineEnd(asRead.subject), withoutReadLineEnd(asRead.body)};
    appendBytes(joinPath(folder, kQueueNewFile), encodeRecord(r));
}

void moveToFailed(const std::string& folder, const QueueRecord& asRead) {
    QueueRecord r{withoutReadLineEnd(asRead.to), withoutReadLineEnd(asRead.from),
                  withoutReadLineEnd(asRead.subject), withoutReadLineEnd(asRead.body)};
    appendBytes(joinPath(folder, kFailedQueueFile), encodeRecord(r));
}

std::string messageFileOfBody(const std::string& folder, const std::string& body) {
    if (body.empty() || body[0] != '~') {
        return "";
    }
    std::string path = body.substr(1);
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r' || path.back() == ' ')) {
        path.pop_back();
    }
    path.erase(0, path.find_first_not_of(' '));
    return isMessageFileOf(folder, path) ? path : "";
}

void replaceQueue(const std::string& folder, std::uint64_t consumed) {
    const std::string queue = joinPath(folder, kQueueFile);
    const std::string carried = joinPath(folder, kQueueNewFile);
    QueueLock lock(folder);
    // Records appended while the step was sending follow the carried ones.
    std::ifstream in(queue, std::ios::binary);
    const bool queueExists = in.is_open();
    if (in && in.seekg(static_cast<std::streamoff>(consumed)) && in.peek() != EOF) {
        std::string tail((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad()) {
            fail("cannot read", queue);
        }
        appendBytes(carried, tail);
    }
    in.close();
    if (!queueExists && !fileExists(carried)) {
        ::unlink(joinPath(folder, kQueueCursorFile).c_str());
        return;
    }
    // Even an empty queue is replaced by a rename rather than deleted: the
    // cursor names the old file, and a file created later under the name
    // could get its inode back while a stale cursor still names it.
    appendBytes(carried, "");
    syncFile(carried);
    // One rename: there is no moment at which neither file holds the records.
    if (::rename(carried.c_str(), queue.c_str()) != 0) {
        fail("cannot rename " + carried + " to", queue);
    }
    ::unlink(joinPath(folder, kQueueCursorFile).c_str());
    struct stat st {};
    if (::stat(queue.c_str(), &st) == 0 && st.st_size == 0) {
        ::unlink(queue.c_str());
    }
}

namespace {

// One fixed-width line: the four figures and a check of them. Written in
// place with one pwrite, which a killed process finishes or never starts; a
// line torn by a power cut fails the check and counts as no cursor.
constexpr std::size_t kCursorLineSize = 5 * 21;

std::uint64_t cursorCheck(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t d) {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL;
    for (std::uint64_t v : {a, b, c, d}) {
        h = (h ^ v) * 0x100000001B3ULL;
    }
    return h;
}

}  // namespace

SendCursor::SendCursor(const std::string& folder) : folder_(folder) {
    const auto queue = statOf(joinPath(folder, kQueueFile));
    if (!queue) {
        return;
    }
    inode_ = static_cast<std::uint64_t>(queue->st_ino);
    const std::string newPath = joinPath(folder, kQueueNewFile);
    const std::string failedPath = joinPath(folder, kFailedQueueFile);
    newSize_ = sizeOf(newPath);
    failedSize_ = sizeOf(failedPath);

    const std::string path = joinPath(folder, kQueueCursorFile);
    std::ifstream in(path, std::ios::binary);
    std::uint64_t inode = 0;
    std::uint64_t offset = 0;
    std::uint64_t newSize = 0;
    std::uint64_t failedSize = 0;
    std::uint64_t check = 0;
    // A cursor of another queue file, or one the files no longer fit (they
    // lost data a cursor had seen), is ignored: the step then starts over,
    // which may send twice but loses nothing.
    if (in >> inode >> offset >> newSize >> failedSize >> check &&
        check == cursorCheck(inode, offset, newSize, failedSize) && inode == inode_ &&
        offset <= static_cast<std::uint64_t>(queue->st_size) && newSize <= newSize_) {
        offset_ = offset;
        if (newSize < newSize_) {
            if (const int err = truncateNoFollow(newPath, static_cast<off_t>(newSize)); err != 0) {
                errno = err;
                fail("cannot truncate", newPath);
            }
        }
        newSize_ = newSize;
        if (failedSize < failedSize_ &&
            truncateNoFollow(failedPath, static_cast<off_t>(failedSize)) == 0) {
            failedSize_ = failedSize;
        }
    }
    in.close();
    fd_ = openNoFollow(path, O_RDWR | O_CREAT, 0600);
    if (fd_ < 0) {
        fail("cannot open", path);
    }
    save();
}

SendCursor::~SendCursor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void SendCursor::advance(std::uint64_t offset, bool kept) {
    offset_ = offset;
    if (kept) {
        newSize_ = sizeOf(joinPath(folder_, kQueueNewFile));
        failedSize_ = sizeOf(joinPath(folder_, kFailedQueueFile));
    }
    try {
        save();
    } catch (const std::exception&) {
        // The cursor on disk still fits the files, only further back.
    }
}

void SendCursor::save() {
    if (fd_ < 0) {
        return;
    }
    char line[kCursorLineSize + 1];
    std::snprintf(
        line, sizeof line, "%20llu %20llu %20llu %20llu %20llu\n",
        static_cast<unsigned long long>(inode_), static_cast<unsigned long long>(offset_),
        static_cast<unsigned long long>(newSize_), static_cast<unsigned long long>(failedSize_),
        static_cast<unsigned long long>(cursorCheck(inode_, offset_, newSize_, failedSize_)));
    if (::pwrite(fd_, line, kCursorLineSize, 0) != static_cast<ssize_t>(kCursorLineSize)) {
        fail("cannot write", joinPath(folder_, kQueueCursorFile));
    }
}

}  // namespace vorel
