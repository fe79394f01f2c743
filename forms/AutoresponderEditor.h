#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "forms/Outcome.h"
#include "store/Database.h"

namespace vorel {

// What frmAUTORESPONDERS does to data.mdb, without the window: which row a
// name finds, how Save stores what was typed, which rows Delete removes.
// Failures of data.mdb (missing, damaged, locked past the busy time-out)
// are thrown as StoreError and change nothing; the connection opens at first
// use and, after a failed open, again at the next.
class AutoresponderEditor {
public:
    explicit AutoresponderEditor(std::string dbPath);

    // The Name of every row in stored order; a row without one gives "".
    std::vector<std::string> names();
    // The list's entries: each row's Name, whether it answers at `now`
    // (seconds since the epoch) and, when not, why ("not active until ...").
    struct Entry {
        std::string name;
        bool activeNow = true;
        std::string why;
    };
    std::vector<Entry> entries(std::int64_t now);
    // The first row of that name, letter case ignored.
    std::optional<Autoresponder> find(const std::string& name);
    // Save: `typed` as the user left the fields (id and Counter unused). A
    // name that exists in any letter case changes that row, keeping its
    // count; any other adds a row counting 0. Not ok without a name, with a
    // side of the active period that is not a date (YYYY-MM-DD HH:MM:SS, or
    // empty for open), with a period that ends before it starts, or with
    // fewer than 0 days between replies to one sender.
    Outcome save(const Autoresponder& typed);
    // Delete: every row whose Name is exactly `name`; returns how many went.
    std::size_t remove(const std::string& name);

    // To as stored: its first 49 characters (never half a character).
    static std::string storedTo(const std::string& to);
    // The message as stored: one space appended, as every save does.
    static std::string storedMessage(const std::string& message) { return message + " "; }
    static constexpr std::size_t kToCharacters = 49;
    // HELP: the autoresponder help text, line by line.
    static std::vector<std::string> helpLines();

    // "Try with a message...": what the run would do with the saved message
    // `raw` if `typed` (unsaved edits included, stored as Save would) were the
    // only autoresponder. Nothing in `folder` changes.
    struct Trial {
        bool replies = false;
        std::string reply;   // the merged reply body, when it replies
        std::string report;  // otherwise: why not, in words
    };
    static Trial tryMessage(const std::string& folder, const std::string& raw,
                            const Autoresponder& typed);

    static constexpr char kNameMissing[] = "Please enter a name to save this autoresponder under!";
    static constexpr char kSaved[] = "Your Autoresponder is Saved!";
    static constexpr char kPeriodUnreadable[] =
        "Please enter \"Active from\" and \"until\" as YYYY-MM-DD HH:MM:SS, or leave them "
        "empty!";
    static constexpr char kPeriodEmpty[] =
        "This autoresponder would never answer: \"until\" must come after \"Active from\"!";
    static constexpr char kReplyDaysNegative[] =
        "Please enter 0 or more days between replies to the same sender!";

private:
    Database& db();

    std::string path_;
    std::optional<Database> db_;
};

}  // namespace vorel
