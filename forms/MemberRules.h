#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <utility>
#include <vector>

#include "forms/Outcome.h"
#include "store/Database.h"

namespace vorel {

// The member editor's rules (browsing, the add box, import and export),
// shared by the window, the commands and the tests.

inline constexpr char kNotFound[] = "<NOT FOUND>";

// A member as the editor lists it: the row and its address, no merge data
// (a list of a million members stays small).
struct MemberEntry {
    std::int64_t id = 0;
    std::string email;
    std::int64_t bounces = 0;    // Member::bounces
    std::int64_t bounceDay = 0;  // Member::bounceDay
};

std::vector<MemberEntry> memberEntries(Database& db, const std::string& listName);

// The current member of the member editor: before the first (-1), on one,
// or after the last (size()).
class MemberCursor {
public:
    void reset(std::size_t count);  // first member current (or after the end when none)
    void first();
    void previous();
    void next();
    void last();
    void moveTo(std::size_t index);
    bool onMember() const { return pos_ >= 0 && pos_ < static_cast<std::int64_t>(count_); }
    std::size_t index() const { return static_cast<std::size_t>(pos_); }

private:
    std::size_t count_ = 0;
    std::int64_t pos_ = -1;
};

// Lines of the add box: each ends at a CR, the character after the CR goes
// with it, and the rest after the last CR counts when it is not empty.
std::vector<std::string> splitAddBox(const std::string& text);

// The addresses of one list, compared without regard to letter case as the
// database compares, asked of the database's (list, address) index: rows
// added in an open transaction count at once, and a list of a million
// members costs no memory.
class MemberSet {
public:
    MemberSet(Database& db, std::string listName) : db_(db), listName_(std::move(listName)) {}
    bool contains(const std::string& email) const;

private:
    Database& db_;
    std::string listName_;
};

// "Add Email Addresses": every line, control characters removed, through
// ExtractAddresses, added unless the list has it. Returns how many were
// added. Throws StoreError (rows stored before stay).
std::size_t addAddresses(Database& db, const std::string& listName, const std::string& boxText);

// One status line of an import per line of the file, handed over in
// batches so that a window can show them without repainting per line.
using ImportStatus = std::function<void(const std::vector<std::string>& lines)>;

// The message: kImportDone, or kImportFailed and what failed.
struct ImportResult : Outcome {
    std::size_t added = 0, present = 0, invalid = 0;
};

// Reads address lines (CR LF, LF or CR ends, a missing last end) from `in`
// and stores the new ones. A failure ends the import; rows before it stay.
ImportResult importAddresses(Database& db, const std::string& listName, std::istream& in,
                             const ImportStatus& status);
// The same for a file; an unreadable file is a failure.
ImportResult importFile(Database& db, const std::string& listName, const std::string& path,
                        const ImportStatus& status);

// Writes one address per line (CR LF) to `path` through a temporary file
// that replaces it only when complete. A symbolic link is followed: its
// target is replaced, in the target's folder. A pipe, terminal or device is
// written in place. The message: kExportComplete, or what failed.
Outcome exportMembers(Database& db, const std::string& listName, const std::string& path);
// The same lines written to an open descriptor (standard output).
std::string writeMembers(Database& db, const std::string& listName, int fd);

inline constexpr char kEnterSearch[] = "Please enter an item to search on!";
inline constexpr char kNoRecordShown[] =
    "Error, please add records below or search for a record from the database!";
inline constexpr char kInvalidAddress[] = "Error, Invalid Email address!";
inline constexpr char kAddBoxEmpty[] = "Add each address to the box line by line!";
inline constexpr char kAddComplete[] = "complete";
inline constexpr char kImportTitle[] = "Vorel Email Software - Import File";
inline constexpr char kExportTitle[] = "Vorel Email Software - Export File";
inline constexpr char kImportCancelled[] = "Import Cancelled!";
inline constexpr char kImportFailed[] = "There was an error importing your list - ";
inline constexpr char kImportDone[] =
    "Your list has been imported, don't forget that it is automatically checked and DE-DUPED!";
inline constexpr char kNothingToExport[] = "Sorry, you need some entries in the list to export it!";
inline constexpr char kExportComplete[] = "Export Complete";

}  // namespace vorel
