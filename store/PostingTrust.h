#pragma once

#include <string>

namespace vorel {

inline constexpr char kPostingFile[] = "posting.ini";

// posting.ini: whose Authentication-Results fields a run believes when it
// judges a post. "key=value" lines; unknown keys are ignored.
struct PostingTrust {
    // The user's provider's authserv-id (authserv-id=ID); empty trusts none.
    std::string authservId;
    // topmost-is-provider=1: the top-most field is the provider's, whatever
    // id it names (for providers that write none).
    bool topmostIsProvider = false;
};

// Missing or unreadable: trusts nothing.
PostingTrust readPostingTrust(const std::string& folder);
// Written whole, 0600. Throws std::runtime_error.
void writePostingTrust(const std::string& folder, const PostingTrust& trust);

}  // namespace vorel
