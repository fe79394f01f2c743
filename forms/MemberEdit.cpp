#include "forms/MemberEdit.h"

#include <optional>

#include "base/Idn.h"
#include "mail/Address.h"

namespace vorel {

MemberSaveCheck checkMemberSave(bool onMember, const std::string& current,
                                const std::string& typed) {
    if (!onMember) {
        return {MemberSaveCheck::NoMember, kNoMemberToSave};
    }
    if (typed.empty() || typed == kNotFound) {
        return {MemberSaveCheck::Invalid, kNoRecordShown};
    }
    // One row never holds two addresses (the add box and an import split them).
    if (!isValidEmail(typed) || !isOneAddress(typed)) {
        return {MemberSaveCheck::Invalid, kInvalidAddress};
    }
    // Said as it will be stored: the other form of a domain changes nothing.
    const std::string stored = memberAddress(typed);
    if (stored == current) {
        return {MemberSaveCheck::Unchanged, kMemberUnchanged};
    }
    return {MemberSaveCheck::Change, "Changed " + current + " to " + stored + "."};
}

MemberSaved saveMember(Database& db, const std::string& listName, const MemberEntry* shown,
                       const std::string& typed) {
    MemberSaved saved;
    const MemberSaveCheck check =
        checkMemberSave(shown != nullptr, shown != nullptr ? shown->email : "", typed);
    saved.message = check.message;
    if (check.step != MemberSaveCheck::Change) {
        saved.ok = false;
        return saved;
    }
    // By its row: several members may share an address.
    std::optional<Member> row = db.findMemberById(listName, shown->id);
    if (!row) {
        saved.ok = false;
        saved.gone = true;
        saved.message = kMemberGone;
        return saved;
    }
    row->Email = typed;
    db.updateMember(*row);
    saved.stored = memberAddress(typed);
    return saved;
}

void removeMember(Database& db, const MemberEntry* shown) {
    if (shown != nullptr) {
        db.deleteMember(shown->id);
    }
}

bool isHeld(const MemberEntry& entry, std::int64_t today) {
    Member m;
    m.bounces = entry.bounces;
    m.bounceDay = entry.bounceDay;
    return isHeld(m, today);
}

Outcome releaseHeld(Database& db, const std::string& listName, const std::string& email) {
    db.releaseMember(listName, email);
    return Outcome::done(email + " is released and gets the list's copies again.");
}

MemberFound searchMembers(Database& db, const std::string& listName,
                          const std::vector<MemberEntry>& entries, const std::string& text) {
    MemberFound found;
    if (text.empty()) {
        found.ok = false;
        found.message = kEnterSearch;
        return found;
    }
    found.index = entries.size();
    const std::vector<Member> rows = db.searchMembers(listName, text);
    if (!rows.empty()) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].id == rows.front().id) {
                found.index = i;
                break;
            }
        }
    }
    return found;
}

void dropPending(Database& db, const PendingRequest& request) {
    db.deletePending(request.id);
}

}  // namespace vorel
