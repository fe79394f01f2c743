#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "forms/MemberRules.h"
#include "forms/Outcome.h"
#include "store/Database.h"

namespace vorel {

// The member editor's buttons: Save, Delete, Release and Search on the
// members of one list, Drop of a pending request. The window keeps what it
// lists (the entries, the current one) and asks the questions; these change
// data.mdb and say what to show. Failures of data.mdb are thrown as
// StoreError.

// What Save in the member editor does with the address box: a box that
// shows no member (or a member's own address) changes nobody, and a change
// is said in words, so that no member is replaced unnoticed.
struct MemberSaveCheck {
    enum Step { NoMember, Invalid, Unchanged, Change } step;
    std::string message;  // what to tell the user; empty for nothing
};

// `onMember`: a member is current, with address `current`; `typed`: the box.
MemberSaveCheck checkMemberSave(bool onMember, const std::string& current,
                                const std::string& typed);

// Save: the member `shown` (nullptr: none is shown) takes the address
// `typed`, its merge data kept. ok only when the row changed ("Changed A to
// B."): `stored` is then the address as kept. `gone`: the row has left the
// list meanwhile and nothing changed.
struct MemberSaved : Outcome {
    std::string stored;
    bool gone = false;
};
MemberSaved saveMember(Database& db, const std::string& listName, const MemberEntry* shown,
                       const std::string& typed);

// Delete: the member shown, if one is.
void removeMember(Database& db, const MemberEntry* shown);

// Whether the member is held after hard bounces on `today` (days since the
// epoch): it gets no copies until released.
bool isHeld(const MemberEntry& entry, std::int64_t today);

// Release: the member's count of hard bounces starts again, and it gets the
// list's copies.
Outcome releaseHeld(Database& db, const std::string& listName, const std::string& email);

// Search: where in `entries` (what the editor lists) the first member stands
// whose address holds `text`, letter case ignored; entries.size() when none
// is listed. Not ok for an empty text.
struct MemberFound : Outcome {
    std::size_t index = 0;
};
MemberFound searchMembers(Database& db, const std::string& listName,
                          const std::vector<MemberEntry>& entries, const std::string& text);

// Drop: the pending request goes; the window has asked.
void dropPending(Database& db, const PendingRequest& request);

inline constexpr char kNoMemberToSave[] =
    "No member is shown, so there is nothing to save. To add a member, type the address on the "
    "\"Add Email Addresses\" tab and click \"Add Email Addresses\"; to change one, choose it "
    "first.";
inline constexpr char kExportCancelled[] = "Export Cancelled!";
inline constexpr char kMemberUnchanged[] = "The address is unchanged; nothing to save.";
inline constexpr char kMemberGone[] = "This member is no longer in the list; nothing was changed.";

}  // namespace vorel
