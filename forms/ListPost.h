#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "base/Clock.h"
#include "store/Database.h"

namespace vorel {

// Posting a message to a list: one personalised copy per member goes into
// the outbound queue for the next run. Shared by the post window and
// `vorel post`.
struct ListPost {
    std::string listName;
    std::string from;
    std::string subject;
    std::string message;  // with merge codes
    std::string footer;
};

// The body queued for one member: the message with the date, the time and
// the member's merge fields, two line breaks, the footer.
std::string personalisedBody(const ListPost& post, const LocalTime& now,
                             const std::string& memberData);

// Called after each queued copy with the member's address and the count so
// far (the window repaints its status line every so many copies).
using PostProgress = std::function<void(const std::string& email, std::size_t done)>;

// Queues the copies in the members' stored order and returns how many were
// queued (0: the list has no members). Throws on a failure of the queue or
// the database; copies queued before it stay queued.
std::size_t postToList(Database& db, const std::string& folder, const ListPost& post,
                       const Clock& clock, const PostProgress& progress = {});

// Said before a post is queued: how many recipients it has and, under a daily
// sending limit, on how many days it goes out.
std::string postReach(std::int64_t recipients, long dailyLimit);

inline constexpr char kPostQuestion[] = "Are you sure you wish to send this message?";
inline constexpr char kSystemError[] = "System Error";
inline constexpr char kNoMessagesToSend[] =
    "No Messages to Send\r\nThere are no email addresses set up in this mailing list to send a "
    "message to!";
inline constexpr char kPostComplete[] =
    "Complete, email has been queued, to send the email, you need to use the RUN MAILER option "
    "from the main menu, make sure your system is set up first though!";
inline constexpr char kPostStatusStart[] = "Enter your message then click POST MESSAGE";
inline constexpr char kPostingTo[] = "Posting Message to ";

}  // namespace vorel
