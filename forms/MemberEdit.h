#pragma once

#include <string>

namespace vorel {

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

inline constexpr char kNoMemberToSave[] =
    "No member is shown, so there is nothing to save. To add a member, type the address on the "
    "\"Add Email Addresses\" tab and click \"Add Email Addresses\"; to change one, choose it "
    "first.";
inline constexpr char kExportCancelled[] = "Export Cancelled!";
inline constexpr char kMemberUnchanged[] = "The address is unchanged; nothing to save.";

}  // namespace vorel
