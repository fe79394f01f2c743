#include "forms/HeldPostsForm.h"

#include <stdexcept>

#include "base/TextCompare.h"
#include "core/Reporter.h"
#include "mail/PostCheck.h"
#include "store/HeldPosts.h"

namespace vorel {

namespace {

std::string oneField(const std::string& text) {
    return replaceAll(shownText(text), "\t", " ");
}

}  // namespace

std::vector<HeldRow> heldRows(Database& db, const std::string& listName, std::int64_t now) {
    std::vector<HeldRow> rows;
    for (const HeldPost& p : HeldPosts(db).of(listName)) {
        rows.push_back({p.id, oneField(p.copyFrom.empty() ? p.Email : p.copyFrom),
                        oneField(p.Subject), heldDateText(p.Kept), heldWhyText(p, now)});
    }
    return rows;
}

std::string heldLine(const HeldRow& row) {
    return std::to_string(row.id) + "\t" + row.from + "\t" + row.subject + "\t" + row.date + "\t" +
           row.why;
}

Outcome approveHeld(Database& db, const std::string& folder, const std::string& listName,
                    std::int64_t id, const Clock& clock) {
    try {
        const std::size_t n = approveHeldPost(db, folder, listName, id, clock);
        return Outcome::done("Post " + std::to_string(id) + " approved: " + std::to_string(n) +
                             (n == 1 ? " copy" : " copies") + " queued for the next run");
    } catch (const std::exception& e) {
        return Outcome::failed(e.what());
    }
}

Outcome rejectHeld(Database& db, const std::string& folder, const std::string& listName,
                   std::int64_t id, const Clock& clock) {
    try {
        rejectHeldPost(db, folder, listName, id, clock);
        return Outcome::done("Post " + std::to_string(id) + " rejected and deleted");
    } catch (const std::exception& e) {
        return Outcome::failed(e.what());
    }
}

}  // namespace vorel
