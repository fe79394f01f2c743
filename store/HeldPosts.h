#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/Database.h"

namespace vorel {

// Why a post is kept instead of copied.
enum class HeldWhy : std::int64_t {
    Member = 1,     // waiting for its member's confirmation
    Owner = 2,      // held for the owner
    NonMember = 3,  // from a non-member, held for the owner
};

// A post kept for its member's confirmation or the owner's approval: the copy
// every member would get (From, Subject and text with the list's footer, as
// the post would have gone), who sent it, when it came and why it waits.
struct HeldPost {
    std::int64_t id = 0;
    std::string list;   // the list's Name
    std::string Email;  // the poster's address
    std::string copyFrom;
    std::string Subject;
    std::string Body;
    std::int64_t Kept = 0;  // seconds since the epoch
    HeldWhy why = HeldWhy::Owner;
    // The confirmation asked of the member (HeldWhy::Member): its token and
    // when it was mailed; empty and 0 while the post waits behind another.
    std::string Token;
    std::int64_t Asked = 0;
};

// A held post's copy text is bounded as any message the run reads; a longer
// one is not kept.
inline constexpr std::size_t kHeldPostLimit = 32 * 1024 * 1024;
// Days a held post waits for the owner before the next run drops it.
inline constexpr std::int64_t kHeldDays = 7;

// The held posts of data.mdb (table held, made by upgradeSchema), in the
// database's own file: private as it is, and kept or dropped in the same
// transaction as the handling of the message that brought them.
class HeldPosts {
public:
    explicit HeldPosts(Database& db) : db_(db) {}
    std::vector<HeldPost> of(const std::string& listName);
    std::optional<HeldPost> find(const std::string& listName, std::int64_t id);
    std::optional<HeldPost> findToken(const std::string& token);
    // The posts of one member of a list waiting for a confirmation, oldest first.
    std::vector<HeldPost> waitingOf(const std::string& listName, const std::string& email);
    // The waiting posts that were never asked about, oldest first, at most `most`.
    std::vector<HeldPost> notAsked(std::size_t most);
    std::int64_t add(const HeldPost& post);
    void asked(std::int64_t id, const std::string& token, std::int64_t when);
    void remove(std::int64_t id);
    void removeOf(const std::string& listName);
    // Drops the posts kept before `kept`; returns how many.
    std::int64_t removeBefore(std::int64_t kept);

private:
    std::vector<HeldPost> query(const char* sql, const std::vector<Database::PendingValue>& values);
    Database& db_;
};

}  // namespace vorel
