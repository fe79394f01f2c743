#include "mail/CopyProof.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "base/FileIo.h"
#include "base/TextCompare.h"
#include "core/RunState.h"
#include "mail/Address.h"
#include "mail/Subscriptions.h"
#include "store/AppFolder.h"

namespace vorel {

namespace {

constexpr std::size_t kKeyDigits = 64;
constexpr std::size_t kTagDigits = 32;

bool isKey(const std::string& text) {
    return text.size() == kKeyDigits &&
           text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The file's key; empty when it is missing or holds none. Never through a
// link, and never more than a few bytes.
std::string readKey(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return {};
        }
        throw std::runtime_error(path + ": cannot be read: " + std::strerror(errno));
    }
    struct stat st {};
    std::string text(kKeyDigits + 2, '\0');
    ssize_t got = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        got = ::read(fd, text.data(), text.size());
    }
    ::close(fd);
    if (got < 0) {
        throw std::runtime_error(path + ": not a readable file");
    }
    text.resize(static_cast<std::size_t>(got));
    text = trimSpace(text);
    return isKey(text) ? text : std::string();
}

}  // namespace

std::string copyKey(const std::string& folder) {
    const std::string path = joinPath(folder, kCopyKeyFile);
    std::string key = readKey(path);
    if (!key.empty()) {
        return key;
    }
    key = newConfirmToken() + newConfirmToken();
    // Replaces only a file that holds no key; copies tagged with it would
    // prove nothing anyway.
    if (const int err = writeFileAtomically(path, key + "\n", 0600); err != 0) {
        throw std::runtime_error(path + ": cannot be written: " + std::strerror(err));
    }
    return key;
}

std::string runCopyKey(RunContext& ctx) {
    if (!ctx.state.copyKey) {
        try {
            ctx.state.copyKey = copyKey(ctx.folder);
        } catch (const std::exception&) {
            ctx.state.copyKey = std::string();
        }
    }
    return *ctx.state.copyKey;
}

std::string copyTag(const std::string& key, const std::string& list, const std::string& member,
                    const std::string& messageId) {
    const std::string data = lowerCase(list) + '\n' + lowerCase(member) + '\n' + messageId;
    gchar* hex = g_compute_hmac_for_data(G_CHECKSUM_SHA256,
                                         reinterpret_cast<const guchar*>(key.data()), key.size(),
                                         reinterpret_cast<const guchar*>(data.data()), data.size());
    std::string out(hex);
    g_free(hex);
    return out.substr(0, kTagDigits);
}

std::string newCopyMessageId(const std::string& fromAddress) {
    std::string domain;
    for (const char c : textAfter(extractAddresses(fromAddress), "@")) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (plain) {
            domain += c;
        }
    }
    while (!domain.empty() && (domain.front() == '.' || domain.back() == '.')) {
        domain.erase(domain.front() == '.' ? 0 : domain.size() - 1, 1);
    }
    return "vorel." + newConfirmToken() + "@" + (domain.empty() ? "localhost" : domain);
}

namespace {

// Compared in time that does not depend on where they differ.
bool sameTag(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return diff == 0;
}

}  // namespace

std::optional<ProvenCopy> provenCopy(RunContext& ctx, const DeliveryStatus& d) {
    std::optional<ProvenCopy> copy;
    if (!d.messageId.empty() && ctx.state.db && !ctx.state.databaseLocked) {
        try {
            if (const std::optional<SentCopy> sent = ctx.state.db->findCopy(d.messageId)) {
                copy = ProvenCopy{sent->list, sent->email};
            }
        } catch (const StoreBusy&) {
            ctx.state.databaseLocked = true;
        } catch (const std::exception&) {
            // The tag may still prove it.
        }
    }
    if (!copy && !d.tag.empty() && !d.messageId.empty() && !d.list.empty() && !d.member.empty()) {
        const std::string key = runCopyKey(ctx);
        if (!key.empty() &&
            sameTag(copyTag(key, d.list, d.member, d.messageId), lowerCase(trimSpace(d.tag)))) {
            copy = ProvenCopy{d.list, d.member};
        }
    }
    if (!copy) {
        return std::nullopt;
    }
    const bool named = isValidEmail(d.recipient) || isValidEmail(d.original);
    if (named && !sameText(d.recipient, copy->member) && !sameText(d.original, copy->member)) {
        return std::nullopt;
    }
    return copy;
}

}  // namespace vorel
