#include "forms/ListRules.h"

#include <optional>

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
    if (std::optional<MailingList> existing = db.findList(fields.Name)) {
        row.id = existing->id;
        db.updateList(row);
    } else {
        row.id = 0;
        db.addList(row);
    }
    return {true, kRecordSaved};
}

Outcome deleteList(Database& db, const std::string& name) {
    if (name.empty()) {
        return {false, kSelectListToDelete};
    }
    // Rows written by older versions may share a name: none stays behind.
    while (std::optional<MailingList> row = db.findList(name)) {
        db.deleteList(row->id);
    }
    db.deletePendingOf(name);
    if (db.memberCount(name) == 0) {
        return {true, ""};
    }
    db.deleteMembersOf(name);
    return {true, kDeleteComplete};
}

}  // namespace vorel
