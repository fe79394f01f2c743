#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mail/AuthResults.h"
#include "store/Database.h"
#include "store/HeldPosts.h"
#include "store/Queue.h"

namespace vorel {

class Clock;
class MailComponent;
struct RunContext;

// Who may post to a list (MailingList::postcheck): From is whatever a sender
// writes, so at the default a member's post goes out at once only when the
// user's provider vouches for its From; otherwise it is kept, and goes out
// when its member answers a confirmation (which a forger never sees) or the
// owner approves it.

// Requests for posts mailed per run, all lists together (beside the
// subscriptions' kConfirmationsPerRun).
inline constexpr int kPostConfirmationsPerRun = 50;

enum class PostRoute {
    Copy,       // copied to every member now
    AskMember,  // kept until its member confirms
    Owner,      // kept for the owner, the poster is told nothing
    NonMember,  // from a non-member, kept for the owner
    Ignore,     // from a non-member, passed over without a word
};

// The provider's verdict on the current message's From, by posting.ini of
// the run's folder.
PostVerdict providerVerdict(const std::string& folder, const MailComponent& mail,
                            const std::string& fromAddress);

// Where a post to `list` from `fromAddress` goes. The verdict is read (and
// logged) only where it decides.
PostRoute routePost(RunContext& ctx, const MailingList& list, const std::string& fromAddress,
                    bool member);

// Keeps the post whose copy (as every member would get it) is `copy`.
void keepPost(RunContext& ctx, const MailingList& list, const std::string& fromAddress,
              const QueueRecord& copy, PostRoute route);

// A member's reply with the token of `post`: queues its copies through
// `queue` and drops it. Empty when done, else why it was refused.
std::string confirmHeldPost(RunContext& ctx, const MailingList& list, const HeldPost& post,
                            const std::string& fromAddress,
                            const std::function<void(const QueueRecord&)>& queue);

// The end of a run's messages: held posts older than kHeldDays go (one log
// line), and members with a waiting post and no request out are asked.
void afterPosts(RunContext& ctx);

// The request mailed to the member: from the list's posting address, the
// token after the Subject, and nothing of the post but its time and size.
QueueRecord postConfirmationRecord(const MailingList& list, const HeldPost& post);

// Why a held post waits, in words ("waiting for the member", "held for the
// owner", "from a non-member"); a request not answered in 72 hours leaves
// the post to the owner.
std::string heldWhyText(const HeldPost& post, std::int64_t now);
// "2026-12-07 10:05" in local time.
std::string heldDateText(std::int64_t when);

// The owner's decision (the list editor, `vorel approve` and `vorel
// reject`). Approving queues the copies as the post would have gone;
// rejecting drops it. Both log one line in the folder's run log. Throw
// std::runtime_error with the reason for an unknown list or ID.
std::size_t approveHeldPost(Database& db, const std::string& folder, const std::string& listName,
                            std::int64_t id, const Clock& clock);
void rejectHeldPost(Database& db, const std::string& folder, const std::string& listName,
                    std::int64_t id, const Clock& clock);

}  // namespace vorel
