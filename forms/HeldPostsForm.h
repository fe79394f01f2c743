#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "forms/Outcome.h"
#include "store/Database.h"

namespace vorel {

class Clock;

// The list editor's held posts and `vorel held/approve/reject`: what the
// owner sees of a kept post and what Approve and Reject do.

// One held post as shown: every text on one line with no tab (From and
// Subject are a sender's words).
struct HeldRow {
    std::int64_t id = 0;
    std::string from, subject, date, why;
};
std::vector<HeldRow> heldRows(Database& db, const std::string& listName, std::int64_t now);
// "ID<TAB>From<TAB>Subject<TAB>date<TAB>why".
std::string heldLine(const HeldRow& row);

// Approve: the copies are queued as the post would have gone. Reject: the
// post is dropped. Either is logged; an unknown list or ID fails with why.
Outcome approveHeld(Database& db, const std::string& folder, const std::string& listName,
                    std::int64_t id, const Clock& clock);
Outcome rejectHeld(Database& db, const std::string& folder, const std::string& listName,
                   std::int64_t id, const Clock& clock);

}  // namespace vorel
