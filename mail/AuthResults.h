#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorel {

// Authentication-Results fields (RFC 8601), read as a receiving provider
// writes them. Everything in them may come from a sender, so reading is
// bounded and anything that cannot be read whole vouches for nothing.

// Fields looked at per message, bytes read per field, results and
// properties per field.
inline constexpr std::size_t kAuthFieldsRead = 64;
inline constexpr std::size_t kAuthFieldBytes = 16 * 1024;
inline constexpr std::size_t kAuthResultsPerField = 64;
inline constexpr std::size_t kAuthPropertiesPerResult = 16;

struct AuthResult {
    std::string method;  // lower case, without a version ("dkim")
    std::string result;  // lower case ("pass")
    // "header.d" (lower case) and its value as written.
    std::vector<std::pair<std::string, std::string>> properties;
    std::string property(const std::string& name) const;
};

struct AuthResultsField {
    std::string authservId;  // empty when the field starts with none
    // False when the results could not be read whole (too long, too many,
    // malformed): the field then vouches for nothing.
    bool readable = false;
    std::vector<AuthResult> results;
};

// The field's value (unfolded); comments are dropped, quoted strings read.
AuthResultsField parseAuthResults(std::string_view value);

// Whether the provider vouches for a post's From, and why in words.
struct PostVerdict {
    bool vouched = false;
    std::string why;
};

// `fields`: the message's Authentication-Results values, top-most first.
// Only the top-most field whose authserv-id is `trustedId` (any letter case)
// counts, or with `topmostIsProvider` the top-most field whatever its id.
// Vouched: dmarc=pass with header.from the From domain, or dkim=pass with
// header.d (or header.i's domain) the From domain or a parent of it; a
// dmarc=fail in the same field vouches for nothing, spf alone never does.
PostVerdict judgeAuthResults(const std::vector<std::string>& fields, const std::string& fromAddress,
                             const std::string& trustedId, bool topmostIsProvider);

}  // namespace vorel
