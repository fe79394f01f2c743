#include "net/ImapMailbox.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string_view>
#include <utility>

#include "net/Session.h"

namespace vorel {
namespace {

constexpr std::size_t kLineLimit = 1u << 16;
constexpr std::size_t kLiteralLimit = std::size_t{1} << 30;
constexpr long kMaxWindow = 256;
// Dovecot takes lines up to 64 kB; sets of UIDs go in commands well below.
constexpr std::size_t kMaxSetLength = 4000;

std::string upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

// The number after `item` ("UID 7" -> 7), -1 when absent.
long numberAfter(const std::string& upperText, const std::string& item) {
    std::size_t at = 0;
    while ((at = upperText.find(item, at)) != std::string::npos) {
        // A whole word: "UID" must not match inside "UIDNEXT".
        const bool start = at == 0 || upperText[at - 1] == ' ' || upperText[at - 1] == '(' ||
                           upperText[at - 1] == '[';
        const std::size_t digits = at + item.size();
        if (start && digits < upperText.size() &&
            std::isdigit(static_cast<unsigned char>(upperText[digits]))) {
            long n = 0;
            for (std::size_t k = digits;
                 k < upperText.size() && std::isdigit(static_cast<unsigned char>(upperText[k])) &&
                 n < 1000000000000L;
                 ++k) {
                n = n * 10 + (upperText[k] - '0');
            }
            return n;
        }
        at += item.size();
    }
    return -1;
}

// "* 12 FETCH" -> 12; -1 for any other untagged response.
long untaggedNumber(const std::string& upperText, const std::string& kind) {
    if (upperText.rfind("* ", 0) != 0) {
        return -1;
    }
    std::size_t k = 2;
    long n = 0;
    while (k < upperText.size() && std::isdigit(static_cast<unsigned char>(upperText[k])) &&
           n < 1000000000L) {
        n = n * 10 + (upperText[k++] - '0');
    }
    if (k == 2 || upperText.compare(k, kind.size() + 1, " " + kind) != 0) {
        return -1;
    }
    return n;
}

}  // namespace

struct ImapMailbox::Response {
    std::string text;  // the response's lines without line ends, literals left as {n}
    std::string upperText;
    std::vector<std::string> literals;
};

ImapMailbox::ImapMailbox(std::unique_ptr<Session> session) : s_(std::move(session)) {}

ImapMailbox::~ImapMailbox() = default;

void ImapMailbox::check() const {
    if (broken()) {
        throw MailError(mailcode::kNotConnected, host() + ": the IMAP session was lost");
    }
}

bool ImapMailbox::broken() const {
    return s_->broken || s_->curl == nullptr;
}

const std::string& ImapMailbox::host() const {
    return s_->address.host;
}

// Exactly n bytes of a literal; what comes after stays buffered for the
// next line.
std::string ImapMailbox::readBytes(std::size_t n) {
    Session& s = *s_;
    std::string out;
    out.reserve(n);
    const std::size_t buffered = std::min(n, s.in.size() - s.inPos);
    out.append(s.in, s.inPos, buffered);
    s.inPos += buffered;
    if (s.inPos == s.in.size()) {
        s.in.clear();
        s.inPos = 0;
    }
    while (out.size() < n) {
        // No more than the literal: what follows is read as lines.
        char buffer[64 * 1024];
        out.append(buffer, s.receive(buffer, std::min(sizeof buffer, n - out.size())));
    }
    return out;
}

// One response: its lines and the literals between them.
ImapMailbox::Response ImapMailbox::readResponse(std::size_t literalLimit) {
    Response r;
    while (true) {
        const std::string_view line = s_->readLine(kLineLimit);
        s_->emit(line, TranscriptDirection::Received);
        std::string_view piece = line;
        while (!piece.empty() && (piece.back() == '\n' || piece.back() == '\r')) {
            piece.remove_suffix(1);
        }
        r.text += piece;
        const std::size_t open = piece.rfind('{');
        if (piece.empty() || piece.back() != '}' || open == std::string_view::npos) {
            break;
        }
        std::size_t n = 0;
        bool digits = open + 2 < piece.size() && piece.size() - open <= 14;
        for (std::size_t k = open + 1; digits && k + 1 < piece.size(); ++k) {
            digits = std::isdigit(static_cast<unsigned char>(piece[k])) != 0;
            n = n * 10 + static_cast<std::size_t>(piece[k] - '0');
        }
        if (!digits) {
            break;  // text that merely ends in braces
        }
        if (n > literalLimit) {
            s_->lost("literal of " + std::to_string(n) + " bytes");
        }
        r.literals.push_back(readBytes(n));
    }
    r.upperText = upper(r.text);
    return r;
}

void ImapMailbox::noteUntagged(const Response& r) {
    if (const long n = untaggedNumber(r.upperText, "EXISTS"); n >= 0) {
        exists_ = n;
    } else if (untaggedNumber(r.upperText, "EXPUNGE") >= 0 && exists_ > 0) {
        --exists_;
    }
}

// Sends one tagged command and reads up to its completion; untagged
// responses go to `untagged`. NO and BAD are a refused command (the session
// goes on); anything unreadable ends the session.
ImapMailbox::Response ImapMailbox::command(const std::string& text,
                                           const std::function<void(Response&)>& untagged) {
    check();
    const std::string tag = send(text);
    return readUntil(tag, text, untagged);
}

std::string ImapMailbox::send(const std::string& text) {
    const std::string tag = "V" + std::to_string(++tag_);
    s_->sendLines(tag + " " + text + "\r\n");
    return tag;
}

// Headers asked for ahead arrive before the replies of later commands: they
// are kept whichever command is being read.
ImapMailbox::Response ImapMailbox::readUntil(const std::string& tag, const std::string& text,
                                             const std::function<void(Response&)>& untagged) {
    while (true) {
        Response r = readResponse(kLiteralLimit);
        if (!ahead_.empty() && tag != ahead_ && r.text.rfind(ahead_ + " ", 0) == 0) {
            ahead_.clear();  // a refused range leaves its headers missing
            continue;
        }
        if (r.text.rfind(tag + " ", 0) == 0) {
            if (tag == ahead_) {
                ahead_.clear();
            }
            const std::string status = r.upperText.substr(tag.size() + 1, 3);
            if (status.rfind("OK", 0) == 0) {
                return r;
            }
            if (status.rfind("NO", 0) == 0 || status.rfind("BAD", 0) == 0) {
                throw MailError(
                    mailErrorCodeFor(CURLE_WEIRD_SERVER_REPLY, 0, MailPhase::PopCommand),
                    host() + ": " + text.substr(0, text.find(' ', 4)) + ": " + r.text);
            }
            s_->lost("not an IMAP reply: " + r.text.substr(0, 80));
        }
        if (r.text.rfind("* ", 0) != 0) {
            s_->lost("not an IMAP reply: " + r.text.substr(0, 80));
        }
        noteUntagged(r);
        if (untaggedNumber(r.upperText, "FETCH") >= 0 && !r.literals.empty() &&
            r.upperText.find("BODY[HEADER]") != std::string::npos) {
            if (const long i = numberOfUid(numberAfter(r.upperText, "UID ")); i > 0) {
                headers_[i] = std::move(r.literals.front());
            }
        } else if (untagged) {
            untagged(r);
        }
    }
}

void ImapMailbox::start() {
    command("CAPABILITY", [this](Response& r) {
        if (r.upperText.rfind("* CAPABILITY ", 0) == 0) {
            const std::string caps = r.upperText + " ";
            idle_ = caps.find(" IDLE ") != std::string::npos;
            uidplus_ = caps.find(" UIDPLUS ") != std::string::npos;
        }
    });
    command("SELECT INBOX", [this](Response& r) {
        if (const long v = numberAfter(r.upperText, "[UIDVALIDITY "); v >= 0) {
            uidValidity_ = std::to_string(v);
        }
    });
    const long n = exists_;
    uids_.assign(static_cast<std::size_t>(n), 0);
    sizes_.assign(static_cast<std::size_t>(n), 0);
    if (n == 0) {
        return;
    }
    // The numbers are fixed here: the UID of each, and its size.
    command("FETCH 1:" + std::to_string(n) + " (UID RFC822.SIZE)", [this, n](Response& r) {
        const long seq = untaggedNumber(r.upperText, "FETCH");
        if (seq >= 1 && seq <= n) {
            const long uid = numberAfter(r.upperText, "UID ");
            const long size = numberAfter(r.upperText, "RFC822.SIZE ");
            uids_[static_cast<std::size_t>(seq - 1)] = std::max(uid, 0L);
            sizes_[static_cast<std::size_t>(seq - 1)] = std::max(size, 0L);
        }
    });
}

std::vector<std::string> ImapMailbox::uniqueIds() {
    if (uidValidity_.empty()) {
        return {};
    }
    std::vector<std::string> ids;
    ids.reserve(uids_.size());
    for (const long uid : uids_) {
        if (uid <= 0) {
            return {};  // a listing with holes names no message for sure
        }
        ids.push_back(uidValidity_ + "." + std::to_string(uid));
    }
    return ids;
}

long ImapMailbox::numberOfUid(long uid) const {
    // UIDs grow with the sequence numbers.
    const auto it = std::lower_bound(uids_.begin(), uids_.end(), uid);
    return it != uids_.end() && *it == uid ? static_cast<long>(it - uids_.begin()) + 1 : 0;
}

// The next range of a scan goes out before the headers asked for are read,
// so that the server is never waiting for us.
void ImapMailbox::askAhead() {
    const long n = static_cast<long>(uids_.size());
    if (!ahead_.empty() || nextAhead_ < 1 || nextAhead_ > n || uidOf(nextAhead_) == 0) {
        return;
    }
    long last = nextAhead_;
    while (last < n && last - nextAhead_ + 1 < window_ && uidOf(last + 1) != 0) {
        ++last;
    }
    aheadFirst_ = nextAhead_;
    aheadLast_ = last;
    ahead_ = send("UID FETCH " + std::to_string(uidOf(nextAhead_)) + ":" +
                  std::to_string(uidOf(last)) + " (UID BODY.PEEK[HEADER])");
    nextAhead_ = last + 1;
    window_ = std::min(window_ * 2, kMaxWindow);
}

long ImapMailbox::uidOf(long number) const {
    return uids_[static_cast<std::size_t>(number - 1)];
}

std::string ImapMailbox::header(long number) {
    const long n = static_cast<long>(uids_.size());
    if (number < 1 || number > n || uidOf(number) == 0) {
        throw MailError(mailErrorCodeFor(CURLE_WEIRD_SERVER_REPLY, 0, MailPhase::PopCommand),
                        host() + ": no message " + std::to_string(number));
    }
    check();
    const bool inFlight = !ahead_.empty() && number >= aheadFirst_ && number <= aheadLast_;
    if (headers_.count(number) == 0 && inFlight) {
        const std::string tag = ahead_;
        readUntil(tag, "UID FETCH", {});
    } else if (headers_.count(number) == 0) {
        if (!ahead_.empty()) {
            const std::string tag = ahead_;
            readUntil(tag, "UID FETCH", {});
        }
        // A scan in order asks for ever larger ranges; going elsewhere starts over.
        headers_.clear();
        window_ = number == nextAhead_ ? window_ : 1;
        nextAhead_ = number;
        askAhead();
        if (!ahead_.empty()) {
            const std::string tag = ahead_;
            readUntil(tag, "UID FETCH", {});
        }
    }
    // Keep one range in flight while the scan goes on.
    askAhead();
    const auto it = headers_.find(number);
    if (it == headers_.end()) {
        // Gone meanwhile (another client expunged it), or an empty header.
        throw MailError(mailErrorCodeFor(CURLE_WEIRD_SERVER_REPLY, 0, MailPhase::PopCommand),
                        host() + ": no header for message " + std::to_string(number));
    }
    std::string text = std::move(it->second);
    headers_.erase(headers_.begin(), std::next(it));
    return text;
}

std::string ImapMailbox::message(long number) {
    const long uid = number >= 1 && number <= static_cast<long>(uids_.size())
                         ? uids_[static_cast<std::size_t>(number - 1)]
                         : 0;
    std::string raw;
    bool found = false;
    if (uid > 0) {
        command("UID FETCH " + std::to_string(uid) + " (UID BODY.PEEK[])", [&](Response& r) {
            if (untaggedNumber(r.upperText, "FETCH") >= 0 && !r.literals.empty() &&
                numberAfter(r.upperText, "UID ") == uid) {
                raw = std::move(r.literals.front());
                found = true;
            }
        });
    }
    if (!found) {
        throw MailError(mailErrorCodeFor(CURLE_WEIRD_SERVER_REPLY, 0, MailPhase::PopCommand),
                        host() + ": no message " + std::to_string(number));
    }
    return raw;
}

void ImapMailbox::finish() {
    // A message the server never gave a UID for cannot be named.
    std::set<long> deleted;
    for (const long i : deleted_) {
        if (i >= 1 && i <= static_cast<long>(uids_.size()) && uidOf(i) > 0) {
            deleted.insert(i);
        }
    }
    // Runs of consecutive message numbers are UID ranges: a message that
    // arrived meanwhile has a UID above every one of them.
    std::vector<std::string> sets(1);
    for (auto it = deleted.begin(); it != deleted.end();) {
        const long first = *it;
        long last = first;
        while (++it != deleted.end() && *it == last + 1) {
            last = *it;
        }
        const long a = uids_[static_cast<std::size_t>(first - 1)];
        const long b = uids_[static_cast<std::size_t>(last - 1)];
        std::string range =
            a == b ? std::to_string(a) : std::to_string(a) + ":" + std::to_string(b);
        if (sets.back().size() + range.size() > kMaxSetLength) {
            sets.emplace_back();
        }
        sets.back() += (sets.back().empty() ? "" : ",") + range;
    }
    if (!deleted.empty()) {
        for (const std::string& set : sets) {
            command("UID STORE " + set + " +FLAGS.SILENT (\\Deleted)", {});
        }
        if (uidplus_) {
            for (const std::string& set : sets) {
                command("UID EXPUNGE " + set, {});
            }
        } else {
            command("EXPUNGE", {});
        }
    }
    try {
        command("LOGOUT", {});
    } catch (const MailError&) {
        // The deletions are done; a lost goodbye loses nothing.
    }
    s_->abandon();
}

bool ImapMailbox::waitForNewMail(int seconds, const std::function<bool()>& stop) {
    using Clock = std::chrono::steady_clock;
    Session& s = *s_;
    long known = exists_;
    const std::string tag = "V" + std::to_string(++tag_);
    s.sendLines(tag + " IDLE\r\n");
    bool idling = false;
    bool newMail = false;
    bool doneSent = false;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (true) {
        // A line already buffered (TLS may hold one the socket no longer shows).
        if (s.in.find('\n', s.inPos) == std::string::npos) {
            if (!doneSent && idling && (newMail || Clock::now() >= deadline || (stop && stop()))) {
                s.sendLines("DONE\r\n");
                doneSent = true;
                continue;
            }
            char buffer[16 * 1024];
            // Waiting in IDLE has no time-out; a reply that is due has the session's.
            s.in.append(buffer, s.receive(buffer, sizeof buffer, idling && !doneSent));
            continue;
        }
        Response r = readResponse(kLineLimit);
        if (r.text.rfind(tag + " ", 0) == 0) {
            if (r.upperText.compare(tag.size() + 1, 2, "OK") != 0) {
                throw MailError(
                    mailErrorCodeFor(CURLE_WEIRD_SERVER_REPLY, 0, MailPhase::PopCommand),
                    host() + ": IDLE: " + r.text);
            }
            return newMail;
        }
        if (r.text.rfind("+", 0) == 0) {
            idling = true;
            continue;
        }
        if (r.text.rfind("* ", 0) != 0) {
            s.lost("not an IMAP reply: " + r.text.substr(0, 80));
        }
        noteUntagged(r);
        newMail = newMail || exists_ > known;
        known = std::min(known, exists_);
    }
}

}  // namespace vorel
