#include "forms/MemberRules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "base/FileIo.h"
#include "base/TextCompare.h"
#include "base/WriteAll.h"
#include "core/Reporter.h"
#include "mail/Address.h"
#include "mail/ImportLineReader.h"
#include "store/Transaction.h"

namespace vorel {

namespace {

// Transactions this size keep a big import near the speed of a bulk insert.
constexpr std::size_t kRowsPerTransaction = 20000;
// The database's page cache during an import, in KiB.
constexpr int kImportCacheKb = 16384;
// Status lines per hand-over: the window repaints once per batch.
constexpr std::size_t kStatusBatch = 2000;
// No mail system takes a longer address (RFC 5321 path limit).
constexpr std::size_t kLongestAddress = 254;
// What a status line shows of an overlong line.
constexpr std::size_t kShownOfLongLine = 100;

std::string cutShort(const std::string& text) {
    if (text.size() <= kShownOfLongLine) {
        return text;
    }
    return text.substr(0, kShownOfLongLine) + "...";
}

// Commits the rows of a batch; on failure those rows are lost, so it throws.
class Batch {
public:
    explicit Batch(Database& db) : db_(db) {}
    void add(const std::string& listName, const std::string& email) {
        open_.open(db_);
        Member m;
        m.name = listName;
        m.Email = email;
        db_.addMember(m);
        if (++rows_ >= kRowsPerTransaction) {
            commit();
        }
    }
    void commit() {
        if (open_.isOpen()) {
            rows_ = 0;
            open_.commit();
        }
    }

private:
    Database& db_;
    TransactionBatch open_;  // rolled back when the batch is dropped
    std::size_t rows_ = 0;
};

}  // namespace

std::vector<MemberEntry> memberEntries(Database& db, const std::string& listName) {
    std::vector<MemberEntry> out;
    db.forEachMember(listName, [&out](const Member& m) {
        out.push_back({m.id, m.Email, m.bounces, m.bounceDay});
    });
    return out;
}

void MemberCursor::reset(std::size_t count) {
    count_ = count;
    pos_ = 0;
}

void MemberCursor::first() {
    pos_ = 0;
}

void MemberCursor::previous() {
    if (pos_ >= 0) {
        --pos_;
    }
}

void MemberCursor::next() {
    if (pos_ < static_cast<std::int64_t>(count_)) {
        ++pos_;
    }
}

void MemberCursor::last() {
    pos_ = static_cast<std::int64_t>(count_) - 1;
}

void MemberCursor::moveTo(std::size_t index) {
    pos_ = static_cast<std::int64_t>(index);
}

std::vector<std::string> splitAddBox(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t cr = text.find('\r', start);
        if (cr == std::string::npos) {
            break;
        }
        lines.push_back(text.substr(start, cr - start));
        start = cr + 2;  // the character after the CR goes with it
        if (start >= text.size()) {
            return lines;
        }
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

bool MemberSet::contains(const std::string& email) const {
    return db_.findMember(listName_, email).has_value();
}

std::size_t addAddresses(Database& db, const std::string& listName, const std::string& boxText) {
    MemberSet present(db, listName);
    Batch batch(db);
    std::size_t added = 0;
    for (std::string line : splitAddBox(boxText)) {
        std::erase_if(line, [](char c) { return static_cast<unsigned char>(c) < 32; });
        // A line of several addresses adds each: one row never holds two.
        for (const std::string& address : lineAddresses(line)) {
            if (!present.contains(address)) {
                batch.add(listName, address);
                ++added;
            }
        }
    }
    batch.commit();
    return added;
}

ImportResult importAddresses(Database& db, const std::string& listName, std::istream& in,
                             const ImportStatus& status) {
    ImportResult result;
    std::vector<std::string> lines;
    const auto flush = [&] {
        if (!lines.empty() && status) {
            // A file's terminal escapes and line breaks are shown as the log shows them.
            for (std::string& l : lines) {
                l = vorel::shownText(l);
            }
            status(lines);
        }
        lines.clear();
    };
    try {
        // Each page of a big import is touched about once: a small cache
        // keeps its memory flat at little cost in time.
        SmallCache smallCache(db, kImportCacheKb);
        MemberSet present(db, listName);
        Batch batch(db);
        ImportLineReader reader(in, kLongestImportLine);
        std::string line;
        bool cut = false;
        try {
            while (reader.next(line, cut)) {
                if (cut) {
                    lines.push_back("Invalid email " + cutShort(line) + " NOT ADDED");
                    ++result.invalid;
                }
                // A line of several addresses ("A <a@x>, B <b@y>") adds each
                // with its own status line: one row never holds two.
                for (const std::string& address :
                     cut ? std::vector<std::string>() : lineAddresses(line)) {
                    if (!isValidEmail(address) || address.size() > kLongestAddress ||
                        !isOneAddress(address)) {
                        lines.push_back("Invalid email " + cutShort(address) + " NOT ADDED");
                        ++result.invalid;
                    } else if (present.contains(address)) {
                        lines.push_back("Email Addresss " + address + " already in list " +
                                        listName);
                        ++result.present;
                    } else {
                        batch.add(listName, address);
                        lines.push_back("Import Added " + address + " to list " + listName);
                        ++result.added;
                    }
                }
                if (lines.size() >= kStatusBatch) {
                    flush();
                }
            }
            if (in.bad()) {
                throw std::runtime_error("the file could not be read to its end");
            }
        } catch (...) {
            // The rows before the failure stay.
            batch.commit();
            throw;
        }
        batch.commit();
    } catch (const std::exception& e) {
        result.ok = false;
        result.message = kImportFailed + std::string(e.what());
    }
    if (result.ok) {
        result.message = kImportDone;
    }
    flush();
    return result;
}

ImportResult importFile(Database& db, const std::string& listName, const std::string& path,
                        const ImportStatus& status) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ImportResult r;
        r.ok = false;
        r.message = kImportFailed + ("cannot open " + path + ": " + std::strerror(errno));
        return r;
    }
    return importAddresses(db, listName, in, status);
}

std::string writeMembers(Database& db, const std::string& listName, int fd) {
    std::string failure;
    try {
        std::string chunk;
        db.forEachMember(listName, [&](const Member& m) {
            if (!failure.empty()) {
                return;
            }
            chunk += m.Email;
            chunk += "\r\n";
            if (chunk.size() >= (1U << 20)) {
                if (int err = writeAll(fd, chunk)) {
                    failure = std::strerror(err);
                }
                chunk.clear();
            }
        });
        if (failure.empty()) {
            if (int err = writeAll(fd, chunk)) {
                failure = std::strerror(err);
            }
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }
    return failure;
}

namespace {
std::string exportToFile(Database& db, const std::string& listName, const std::string& path);
}  // namespace

Outcome exportMembers(Database& db, const std::string& listName, const std::string& path) {
    const std::string failure = exportToFile(db, listName, path);
    if (!failure.empty()) {
        return Outcome::failed(failure);
    }
    return Outcome::done(kExportComplete);
}

namespace {

// The file a path names when its last part is a link, followed link by link
// (the folders on the way are left to the kernel). A link is followed only
// when it is the user's own or root's: in a folder others may write to (/tmp)
// anyone may plant one, and the kernel's guard for such folders does not
// apply to a link the program resolves itself. Empty `why` when followed.
std::string followOwnLinks(const std::string& path, std::string& why) {
    namespace fs = std::filesystem;
    fs::path p = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return p.string();
        }
        if (st.st_uid != ::geteuid() && st.st_uid != 0) {
            why = "the link " + p.string() + " belongs to another user (uid " +
                  std::to_string(st.st_uid) + "); Vorel follows only your own links";
            return "";
        }
        std::error_code ec;
        const fs::path next = fs::read_symlink(p, ec);
        if (ec) {
            why = "cannot follow the link " + p.string() + ": " + ec.message();
            return "";
        }
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    why = "cannot follow the link " + path + ": too many links";
    return "";
}

// Whether `target` is a file of the application folder (the folder of the
// database), by the identity of its folder: through links and other names too.
bool inApplicationFolder(const std::string& target, const std::string& databasePath) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path parent = fs::absolute(target, ec).parent_path();
    struct stat dir {
    }, app{};
    return !ec && ::stat(parent.c_str(), &dir) == 0 &&
           ::stat(fs::path(databasePath).parent_path().c_str(), &app) == 0 &&
           dir.st_dev == app.st_dev && dir.st_ino == app.st_ino;
}

// exportMembers' work: an empty text, or what failed.
std::string exportToFile(Database& db, const std::string& listName, const std::string& path) {
    std::string why;
    // The file the link names is the one replaced; the link stays a link.
    const std::string target = followOwnLinks(path, why);
    if (!why.empty()) {
        return "cannot write " + path + ": " + why;
    }
    // The database, the queue, the settings: an export there destroys them.
    if (inApplicationFolder(target, db.path())) {
        return "cannot write " + path + ": it is a file of the application folder; " +
               "choose a file elsewhere";
    }
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) {
            return "cannot write " + path + ": it is a folder";
        }
        // A pipe, a terminal or a device cannot be replaced: written as it is.
        const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            return "cannot write " + path + ": " + std::strerror(errno);
        }
        std::string failure = writeMembers(db, listName, fd);
        if (::close(fd) != 0 && failure.empty()) {
            failure = std::strerror(errno);
        }
        return failure.empty() ? "" : "cannot write " + path + ": " + failure;
    }
    std::string failure;
    WriteStep failedStep = WriteStep::Write;
    const int err = writeFileAtomically(
        target, 0600,
        [&](int out, const std::string&) {
            failure = writeMembers(db, listName, out);
            return failure.empty() ? 0 : EIO;
        },
        ExistingFile::Replace, &failedStep);
    if (err != 0 && failedStep == WriteStep::Create) {
        return "cannot create a file beside " + target + ": " + std::strerror(err);
    }
    if (err != 0) {
        return "cannot write " + path + ": " + (failure.empty() ? std::strerror(err) : failure);
    }
    return "";
}

}  // namespace

}  // namespace vorel
