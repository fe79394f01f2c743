#pragma once

#include <cstdint>
#include <string>

#include "base/Clock.h"
#include "store/Database.h"
#include "store/Queue.h"

namespace vorel {

// Confirmed subscriptions: a subscribe request to a list that asks for
// confirmation stores a pending request and mails its address a token; the
// member is added only when that address sends the token back. From is
// trivial to forge, so without this anyone could subscribe a stranger and
// have the list mail them.

inline constexpr std::int64_t kConfirmSeconds = 72 * 3600;  // a token's life
inline constexpr int kConfirmationsPerRun = 50;             // all lists together

// 128 random bits as 32 lower-case hex digits. Throws when the system has no
// randomness to give.
std::string newConfirmToken();

// The token of "confirm <token>" in a Subject (any letter case, any text
// around it); empty when there is none.
std::string confirmTokenIn(const std::string& subject);

// Seconds since the epoch of a local time (what PendingRequest::Asked holds).
std::int64_t epochSeconds(const LocalTime& t);
// A pending request asked at `asked` may still be confirmed at `now`.
inline bool stillPending(std::int64_t asked, std::int64_t now) {
    return now - asked <= kConfirmSeconds;
}

// The confirmation: From and Subject of the list's welcome, the token after
// the Subject, and a fixed text. Nothing of the request goes into it.
QueueRecord confirmationRecord(const MailingList& list, const std::string& address,
                               const std::string& token);

// The welcome of a confirmed request, merged with the request's data as the
// welcome of an immediate subscription is.
QueueRecord welcomeRecord(const MailingList& list, const PendingRequest& request,
                          const LocalTime& now);

// The farewell: the list's text as stored, then how to subscribe again.
std::string farewellText(const MailingList& list);

// Confirmed by the user in the member editor: the member is added with the
// request's data (unless already there) and the request removed, then the
// welcome is queued in `folder`. Throws std::runtime_error for a request not
// of one address (nothing done), StoreError (nothing kept) or, once the
// member is stored, QueueError (the member stays, without a welcome).
void confirmByHand(Database& db, const std::string& folder, const MailingList& list,
                   const PendingRequest& request, const LocalTime& now);

// "3 addresses added": what the add box and an import say at the end.
std::string addedCountText(std::size_t added);

}  // namespace vorel
