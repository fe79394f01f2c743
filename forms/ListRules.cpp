#include "forms/ListRules.h"

#include <optional>

#include "store/Transaction.h"

namespace vorel {

std::string normaliseListName(const std::string& typed) {
    std::string out;
    out.reserve(typed.size());
    for (char c : typed) {
        if (c == ' ' || c == '\'') {
            continue;
        }
        out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
    return out;
}

Outcome saveList(Database& db, const MailingList& fields) {
    if (fields.Name.empty()) {
        return {false, kListNameMissing};
    }
    MailingList row = fields;
    // Look-up and write in one transaction: another window or command adding
    // the name in between would otherwise leave two rows of one list.
    Transaction t(db);
    if (std::optional<MailingList> existing = db.findList(fields.Name)) {
        row.id = existing->id;
        db.updateList(row);
    } else {
        row.id = 0;
        db.addList(row);
    }
    t.commit();
    return {true, kRecordSaved};
}

Outcome deleteList(Database& db, const std::string& name) {
    if (name.empty()) {
        return {false, kSelectListToDelete};
    }
    // The list, its requests and its members go together: a failure between
    // them must not leave members of no list.
    Transaction t(db);
    // Rows written by older versions may share a name: none stays behind.
    while (std::optional<MailingList> row = db.findList(name)) {
        db.deleteList(row->id);
    }
    db.deletePendingOf(name);
    const bool hadMembers = db.memberCount(name) != 0;
    if (hadMembers) {
        db.deleteMembersOf(name);
    }
    t.commit();
    return {true, hadMembers ? kDeleteComplete : ""};
}

}  // namespace vorel
