#include "mail/MergeCodes.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "base/TextCompare.h"
#include "core/MailComponent.h"
#include "core/RunState.h"
#include "store/Database.h"

namespace vorel {

namespace {

constexpr std::size_t kMessageTextLimit = 32000;

const char* const kMonths[] = {"January",   "February", "March",    "April",
                               "May",       "June",     "July",     "August",
                               "September", "October",  "November", "December"};

std::string twoDigits(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", v);
    return buf;
}

// The length of the longest start of `text` of at most `limit` bytes that
// does not end inside a UTF-8 sequence.
std::size_t utf8Prefix(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text.size();
    }
    std::size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    return n;
}

}  // namespace

namespace {

// Message text from the work text given in pieces of any size: the same
// text whatever the pieces' bounds.
class MessageTextBuilder {
public:
    // False once the text is long enough: nothing more is needed.
    bool add(std::string_view chunk) {
        std::size_t pos = 0;
        while (text_.size() < kMessageTextLimit) {
            const std::size_t nl = chunk.find('\n', pos);
            if (nl == std::string_view::npos) {
                // Only what can still be kept of a line that goes on.
                const std::size_t wanted = room() + 4;  // a sequence cut at the end goes
                const std::size_t keep = std::min(
                    chunk.size() - pos, wanted > partial_.size() ? wanted - partial_.size() : 0);
                partial_.append(chunk.substr(pos, keep));
                break;
            }
            if (partial_.empty()) {
                addLine(chunk.substr(pos, nl - pos));
            } else {
                partial_.append(chunk.substr(pos, nl - pos));
                addLine(partial_);
                partial_.clear();
            }
            pos = nl + 1;
        }
        return text_.size() < kMessageTextLimit;
    }
    // The end of the work text: its last line may have no line end.
    std::string finish() {
        if (text_.size() < kMessageTextLimit && !partial_.empty()) {
            addLine(partial_);
        }
        return std::move(text_);
    }

private:
    // A line may take the text past the limit, but not past kMemberDataLimit:
    // one line of megabytes would otherwise be stored whole as a member's Data.
    std::size_t room() const {
        return kMemberDataLimit - 1 - std::min(text_.size(), kMemberDataLimit - 1);
    }
    void addLine(std::string_view line) {
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        text_.append(line.substr(0, utf8Prefix(line, room())));
        text_ += '~';
    }
    std::string text_;
    std::string partial_;  // the start of a line that goes on in the next chunk
};

}  // namespace

std::string readMessageTextPieces(const WorkTextSource& source) {
    MessageTextBuilder builder;
    bool more = true;
    source([&](std::string_view piece) {
        if (more) {
            more = builder.add(piece);
        }
    });
    return builder.finish();
}

std::string readMessageText(RunContext& ctx) {
    // From memory: the message is never written to disk and read back for
    // every merge.
    return readMessageTextPieces([&ctx](const std::function<void(std::string_view)>& piece) {
        ctx.mail.workTextPieces(piece);
    });
}

MergeFields parseMergeFields(const std::string& messageText) {
    MergeFields fields;
    std::size_t first = messageText.find(kMergeMarker);
    if (first == std::string::npos) {
        return fields;
    }
    std::string text = replaceAll(messageText.substr(first), kMergeMarker, "");
    std::size_t pos = 0;
    if (!text.empty() && text[0] == '~') {
        pos = 1;
    }
    // pos marks the start of the remaining text.
    while (pos < text.size()) {
        std::size_t eq = text.find('=', pos);
        if (eq == std::string::npos) {
            break;  // no further line can give a field
        }
        std::size_t valueEnd = text.find('~', eq + 1);
        fields.emplace_back(text.substr(pos, eq - pos),
                            text.substr(eq + 1, valueEnd == std::string::npos ? std::string::npos
                                                                              : valueEnd - eq - 1));
        // The rest after "=" becomes the remaining text, then its first line
        // is dropped: the field's own line.
        pos = valueEnd == std::string::npos ? text.size() : valueEnd + 1;
    }
    return fields;
}

std::string formatMergeDate(const LocalTime& t) {
    const char* month = (t.month >= 1 && t.month <= 12) ? kMonths[t.month - 1] : "";
    return twoDigits(t.day) + " " + month + " " + std::to_string(t.year);
}

std::string formatClockTime(const LocalTime& t) {
    return twoDigits(t.hour) + ":" + twoDigits(t.minute) + ":" + twoDigits(t.second);
}

namespace {

// The sender's values never change what kind of text the reply is: in plain
// text their "<HTML>" becomes lower case (which the sending step reads as
// plain), in HTML they are text, not markup.
std::string senderValue(const std::string& value, bool html) {
    if (!html) {
        return replaceAll(value, "<HTML>", "<html>");
    }
    std::string out;
    for (char c : value) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

std::string mergeTemplate(const std::string& tmpl, const LocalTime& now, const std::string& email,
                          const MergeFields& fields) {
    const bool html = tmpl.find("<HTML>") != std::string::npos;
    std::string out = replaceAll(tmpl, "%date%", formatMergeDate(now));
    out = replaceAll(out, "%time%", formatClockTime(now));
    out = replaceAll(out, "%email%", senderValue(email, html));
    for (const auto& [name, value] : fields) {
        out = replaceAll(out, "%" + lowerCase(name) + "%", senderValue(value, html));
    }
    return out;
}

std::string mergeListPost(const std::string& tmpl, const LocalTime& now,
                          const MergeFields& fields) {
    const bool html = tmpl.find("<HTML>") != std::string::npos;
    std::string out = replaceAll(tmpl, "%date%", formatMergeDate(now));
    out = replaceAll(out, "%time%", formatClockTime(now));
    for (const auto& [name, value] : fields) {
        out = replaceAll(out, "%" + lowerCase(name) + "%", senderValue(value, html));
    }
    return out;
}

std::string applyMergeCodes(RunContext& ctx, const std::string& tmpl) {
    LocalTime now = ctx.clock.now();
    std::string email = ctx.mail.from();
    return mergeTemplate(tmpl, now, email, parseMergeFields(readMessageText(ctx)));
}

}  // namespace vorel
