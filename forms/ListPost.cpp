#include "forms/ListPost.h"

#include "mail/MergeCodes.h"
#include "mail/Outbound.h"
#include "mail/Subscriptions.h"
#include "store/SendLimits.h"
#include "store/Transaction.h"

namespace vorel {

namespace {

// Notes of this many copies share one transaction (one per copy would make
// a big list wait on the disk).
constexpr std::size_t kNotesPerTransaction = 5000;
// The page cache during a post, in KiB: each member is read once.
constexpr int kPostCacheKb = 2048;

}  // namespace

std::string personalisedBody(const ListPost& post, const LocalTime& now,
                             const std::string& memberData) {
    return mergeListPost(post.message, now, parseMergeFields(memberData)) + "\r\n\r\n" +
           post.footer;
}

std::string postReach(std::int64_t recipients, long dailyLimit) {
    std::string text = "This post goes to " + std::to_string(recipients) +
                       (recipients == 1 ? " recipient." : " recipients.");
    if (dailyLimit > 0) {
        const long days = daysToSend(recipients, dailyLimit);
        text +=
            " With the daily sending limit of " + std::to_string(dailyLimit) + ", it goes out " +
            (days == 1 ? std::string("within a day.") : "over " + std::to_string(days) + " days.");
    }
    return text;
}

std::size_t postToList(Database& db, const std::string& folder, const ListPost& post,
                       const Clock& clock, const PostProgress& progress) {
    // Members are read as the copies are queued, one at a time: a list's
    // stored Data may be large. The copies go to the queue in batches through
    // files held open (one lock and one write per batch, not per copy), each
    // batch right before the transaction of its notes is committed.
    SmallCache smallCache(db, kPostCacheKb);
    QueueFiles files(folder);
    QueueBatch batch(folder, {}, &files);
    std::size_t done = 0;
    TransactionBatch notes;
    const auto commit = [&] {
        try {
            batch.flush();
        } catch (...) {
            notes.rollback();  // copies that never reached the queue keep no notes
            throw;
        }
        notes.commit();
    };
    try {
        const std::int64_t today = epochSeconds(clock.now()) / 86400;
        db.forEachMember(post.listName, [&](const Member& m) {
            if (isHeld(m, today)) {
                return;  // held after hard bounces: no copies until released
            }
            notes.open(db);
            QueueRecord r;
            r.to = m.Email;
            r.from = post.from;
            r.subject = post.subject;
            r.body = personalisedBody(post, clock.now(), m.Data);
            queueNoted(&db, batch, r, OutboundKind::ListCopy, post.listName);
            ++done;
            if (done % kNotesPerTransaction == 0) {
                commit();
            }
            if (progress) {
                progress(m.Email, done);
            }
        });
        commit();
    } catch (...) {
        // The copies queued so far go out: keep their notes.
        try {
            commit();
        } catch (const std::exception&) {
            notes.rollback();
        }
        throw;
    }
    return done;
}

}  // namespace vorel
