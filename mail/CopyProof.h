#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/MailComponent.h"

namespace vorel {

struct RunContext;

// Proof that a delivery report is about a list copy this folder sent. Anyone
// can mail a report naming any address, and X-Vorel-List and X-Vorel-Member
// are plain text: trusted alone, a stranger could hold a member or a whole
// list, and the user's own bounces would be taken for ours. So every copy
// gets its own Message-ID, recorded in data.mdb for kCopyDays, and a tag in
// kCopyTagField that only the holder of the folder's key can make: an HMAC
// over list, member and Message-ID.

inline constexpr char kCopyTagField[] = "X-Vorel-Tag";
inline constexpr std::int64_t kCopyDays = 30;
// The key, beside data.mdb, readable by its owner only.
inline constexpr char kCopyKeyFile[] = "copies.key";

// The folder's key, made (256 random bits in hex) when the file is missing
// or holds no key. Throws std::runtime_error when it can be neither read nor
// made (a link or other non-file in its place, a read-only folder).
std::string copyKey(const std::string& folder);
// The run's key, read once per run; empty when there is none to be had
// (copies then go without a tag, proven by their record alone).
std::string runCopyKey(RunContext& ctx);

// 32 hex digits of HMAC-SHA256 over the list's name and the member's
// address (in any letter case) and the Message-ID.
std::string copyTag(const std::string& key, const std::string& list, const std::string& member,
                    const std::string& messageId);

// A new Message-ID (no brackets) for a copy sent from `fromAddress`.
std::string newCopyMessageId(const std::string& fromAddress);

// The list and member of a copy we sent that the report's recipient is
// about: the returned Message-ID is recorded, or the returned tag verifies,
// and Final-Recipient (or Original-Recipient) names that member, or no
// usable address at all. Nothing otherwise: a proof for one member in a
// report about another proves nothing.
struct ProvenCopy {
    std::string list;
    std::string member;
};
std::optional<ProvenCopy> provenCopy(RunContext& ctx, const DeliveryStatus& d);

}  // namespace vorel
