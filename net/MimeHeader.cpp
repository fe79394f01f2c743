#include "net/Mime.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>

#include "base/TextCompare.h"
#include "net/MimeInternal.h"

// Reading a header block: fields split and unfolded, encoded words and
// undeclared 8-bit text decoded, address lists read.
namespace vorel::mime {

namespace detail {

// Bytes in a charset as UTF-8; nothing when they do not decode in it whole.
std::optional<std::string> convertStrictly(std::string_view bytes, const char* charset) {
    gsize written = 0;
    GError* error = nullptr;
    GString_ converted(g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8", charset,
                                 nullptr, &written, &error));
    if (error != nullptr) {
        g_error_free(error);
    }
    if (!converted) {
        return std::nullopt;
    }
    return std::string(converted.get(), written);
}

// The fields GMime reads into a list of address objects when it parses a
// message.
bool parsedAsAddresses(std::string_view name) {
    for (const char* field : {"from", "sender", "reply-to", "to", "cc", "bcc"}) {
        if (name.size() == std::strlen(field) && startsNoCase(name, field)) {
            return true;
        }
    }
    return false;
}

// Address fields keep their first addresses only (see firstAddresses): a
// field of a million is never held whole, here or in what is made of it.
std::vector<RawField> splitHeader(const std::string& raw) {
    std::vector<RawField> fields;
    const auto lineEnd = [&raw](std::size_t from) {
        const std::size_t nl = raw.find('\n', from);
        return nl == std::string::npos ? raw.size() : nl + 1;
    };
    std::size_t pos = 0;
    while (pos < raw.size() && raw[pos] != '\n' && raw.compare(pos, 2, "\r\n") != 0) {
        // One field: its first line and the continuation lines after it.
        const std::size_t start = pos;
        pos = lineEnd(pos);
        while (pos < raw.size() && (raw[pos] == ' ' || raw[pos] == '\t')) {
            pos = lineEnd(pos);
        }
        const std::string_view field(raw.data() + start, pos - start);
        const std::size_t colon = field.find(':');
        const std::size_t firstEnd = field.find('\n');
        if (colon == std::string_view::npos || colon == 0 || colon > firstEnd || field[0] == ' ' ||
            field[0] == '\t') {
            continue;  // not a field: it and its continuation lines are skipped
        }
        std::string name(field.substr(0, colon));
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
            name.pop_back();
        }
        std::string_view folded = field.substr(colon + 1);
        if (parsedAsAddresses(name)) {
            folded = firstAddresses(folded);
        }
        // Unfolded: the line ends go, the blanks that open the next lines stay.
        std::string value;
        value.reserve(folded.size());
        for (std::size_t i = 0; i < folded.size(); ++i) {
            const char c = folded[i];
            if (c == '\n' || (c == '\r' && (i + 1 == folded.size() || folded[i + 1] == '\n'))) {
                continue;
            }
            value += c;
        }
        fields.push_back(RawField{std::move(name), std::move(value)});
    }
    return fields;
}

}  // namespace detail

using namespace detail;

namespace {

// The bytes of an encoded word's text ("Q" or "B" encoding).
std::optional<std::string> encodedWordBytes(char mode, const std::string& text) {
    if (mode == 'B' || mode == 'b') {
        gsize length = 0;
        GString_ decoded(reinterpret_cast<char*>(g_base64_decode(text.c_str(), &length)));
        return std::string(decoded.get() != nullptr ? decoded.get() : "", length);
    }
    if (mode != 'Q' && mode != 'q') {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_') {
            out += ' ';
        } else if (text[i] == '=' && i + 2 < text.size() && std::isxdigit(uc(text[i + 1])) &&
                   std::isxdigit(uc(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// An encoded word whose text does not decode in the charset it names (a
// UTF-8 label on Windows-1252 text is common) is relabelled as UTF-8 when
// it is that, else as Windows-1252: GMime would put "?" for every letter
// that does not fit. Unknown charsets are left to GMime.
std::string relabelUndecodableWords(const std::string& text) {
    std::string out;
    std::size_t pos = 0;  // copied up to here
    for (std::size_t start = text.find("=?"); start != std::string::npos;
         start = text.find("=?", std::max(pos, start + 2))) {
        const std::size_t mark = text.find('?', start + 2);
        if (mark == std::string::npos || mark + 2 >= text.size() || text[mark + 2] != '?') {
            continue;
        }
        const std::size_t end = text.find("?=", mark + 3);
        if (end == std::string::npos) {
            break;
        }
        out.append(text, pos, start - pos);
        pos = end + 2;
        const std::string label = text.substr(start + 2, mark - start - 2);
        const std::string charset = label.substr(0, label.find('*'));  // RFC 2231 language
        const std::string payload = text.substr(mark + 3, end - mark - 3);
        const char* iconvName = g_mime_charset_iconv_name(charset.c_str());
        const auto bytes = encodedWordBytes(text[mark + 1], payload);
        bool undecodable = bytes && !convertStrictly(*bytes, iconvName);
        if (undecodable) {
            GIConv probe = g_iconv_open("UTF-8", iconvName);
            undecodable = probe != reinterpret_cast<GIConv>(static_cast<std::intptr_t>(-1));
            if (undecodable) {
                g_iconv_close(probe);
            }
        }
        if (undecodable) {
            const bool utf8 =
                g_utf8_validate(bytes->data(), static_cast<gssize>(bytes->size()), nullptr);
            out += std::string("=?") + (utf8 ? "utf-8" : "windows-1252") + "?" + text[mark + 1] +
                   "?" + payload + "?=";
        } else {
            out.append(text, start, pos - start);
        }
    }
    out.append(text, pos);
    return out;
}

// "Name <addr>" with the name quoted when it holds specials, as RFC 5322
// writes it (GMime's own formatting also converts IDN domains, which costs
// more than the rest of the header together).
void appendAddresses(InternetAddressList* list, std::string& out) {
    const int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress* a = internet_address_list_get_address(list, i);
        if (!out.empty() && out.back() != ' ' && out.back() != ':') {
            out += ", ";
        }
        const char* rawName = internet_address_get_name(a);
        std::string name = rawName != nullptr ? headerText(rawName) : std::string();
        if (!name.empty() && name.find_first_of("()<>[]:;@\\,.\"") != std::string::npos) {
            std::string quoted = "\"";
            for (char c : name) {
                if (c == '"' || c == '\\') {
                    quoted += '\\';
                }
                quoted += c;
            }
            name = quoted + "\"";
        }
        if (INTERNET_ADDRESS_IS_GROUP(a)) {
            out += name + ": ";
            appendAddresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)), out);
            out += ";";
        } else if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
            const std::string addrText = addr != nullptr ? headerText(addr) : std::string();
            out += name.empty() ? addrText : name + " <" + addrText + ">";
        }
    }
}

// Addresses of one field that are read at most: GMime builds an object for
// each (a To of a million took 460 MB), and no rule compares more than one.
constexpr std::size_t kAddressLimit = 1000;

}  // namespace

namespace detail {

// The field up to its kAddressLimit-th separating comma (quoted names and
// comments may hold commas of their own).
std::string_view firstAddresses(std::string_view value) {
    std::size_t commas = 0;
    bool quoted = false;
    int comment = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\') {
            ++i;
        } else if (c == '"' && comment == 0) {
            quoted = !quoted;
        } else if (!quoted && c == '(') {
            ++comment;
        } else if (!quoted && c == ')' && comment > 0) {
            --comment;
        } else if (!quoted && comment == 0 && c == ',' && ++commas >= kAddressLimit) {
            return value.substr(0, i);
        }
    }
    return value;
}

std::string decodeText(const std::string& value) {
    // Most values are plain ASCII without encoded words: nothing to decode.
    if (value.find("=?") == std::string::npos && ascii(value)) {
        return headerText(value);
    }
    // Undeclared 8-bit text first becomes UTF-8 (as Windows-1252), so that
    // the decoder sees only encoded words and UTF-8.
    const std::string utf8 = relabelUndecodableWords(toUtf8(value));
    return headerText(take(g_mime_utils_header_decode_text(parserOptions(), utf8.c_str())));
}

}  // namespace detail

namespace {

std::string addressText(const std::string& whole) {
    const std::string value(firstAddresses(whole));
    const std::string utf8 = relabelUndecodableWords(toUtf8(value));
    GPtr<InternetAddressList> list(internet_address_list_parse(parserOptions(), utf8.c_str()));
    if (list && internet_address_list_length(list.get()) > 0) {
        std::string text;
        appendAddresses(list.get(), text);
        text = headerText(text);
        if (!text.empty()) {
            return text;
        }
    }
    // Not an address list GMime understands: the decoded text as it stands.
    return decodeText(value);
}

}  // namespace

namespace detail {

void fillHeader(const std::string& raw, ParsedHeader& out) {
    ensureInit();
    // Repeated address fields (malformed, but seen) are read as one list.
    std::string from;
    std::string to;
    bool haveSubject = false;
    for (auto& f : splitHeader(raw)) {
        if (sameText(f.name, "From")) {
            from += (from.empty() ? "" : ",");
            from += f.value;
        } else if (sameText(f.name, "To")) {
            to += (to.empty() ? "" : ",");
            to += f.value;
        } else if (!haveSubject && sameText(f.name, "Subject")) {
            out.subject = decodeText(f.value);
            haveSubject = true;
        }
        out.fields.push_back(HeaderField{headerText(f.name), std::move(f.value)});
    }
    out.from = from.empty() ? std::string() : addressText(from);
    out.to = to.empty() ? std::string() : addressText(to);
}

}  // namespace detail

std::vector<std::string> fieldValues(const std::vector<HeaderField>& fields,
                                     const std::string& name, std::size_t most) {
    std::vector<std::string> out;
    for (const HeaderField& f : fields) {
        if (out.size() == most) {
            break;
        }
        if (sameText(f.name, name)) {
            out.push_back(f.value);
        }
    }
    return out;
}

ParsedHeader parseHeader(const std::string& raw) {
    ParsedHeader out;
    fillHeader(raw, out);
    return out;
}

std::string decodeHeaderValue(const std::string& raw) {
    return decodeText(raw);
}

std::optional<std::int64_t> arrivalTime(const std::vector<HeaderField>& fields) {
    const auto dateIn = [](const std::string& text) -> std::optional<std::int64_t> {
        GDateTime* t = g_mime_utils_header_decode_date(text.c_str());
        if (!t) {
            return std::nullopt;
        }
        const std::int64_t seconds = g_date_time_to_unix(t);
        g_date_time_unref(t);
        return seconds;
    };
    const auto first = [&fields](const char* name) {
        return std::find_if(fields.begin(), fields.end(),
                            [name](const HeaderField& f) { return sameText(f.name, name); });
    };
    // A Received field's date follows its last semicolon.
    if (auto received = first("Received"); received != fields.end()) {
        const std::size_t semicolon = received->value.rfind(';');
        if (semicolon != std::string::npos) {
            if (auto t = dateIn(received->value.substr(semicolon + 1))) {
                return t;
            }
        }
    }
    if (auto date = first("Date"); date != fields.end()) {
        return dateIn(date->value);
    }
    return std::nullopt;
}

std::vector<std::string> mailboxes(const std::string& list, bool asciiDomains) {
    ensureInit();
    std::vector<std::string> out;
    const std::string clean = headerText(list);
    if (clean.empty()) {
        return out;
    }
    auto add = [&out](std::string addr) {
        // Nothing that could end or bend an SMTP command line.
        addr.erase(std::remove_if(
                       addr.begin(), addr.end(),
                       [](unsigned char c) { return c < 33 || c == 127 || c == '<' || c == '>'; }),
                   addr.end());
        if (!addr.empty()) {
            out.push_back(addr);
        }
    };
    GPtr<InternetAddressList> parsed(internet_address_list_parse(parserOptions(), clean.c_str()));
    // Groups are read where they stand, members in order.
    std::function<void(InternetAddressList*, int)> walk = [&](InternetAddressList* l, int depth) {
        const int n = internet_address_list_length(l);
        for (int i = 0; i < n; ++i) {
            InternetAddress* a = internet_address_list_get_address(l, i);
            if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
                InternetAddressMailbox* box = INTERNET_ADDRESS_MAILBOX(a);
                const char* addr = asciiDomains ? internet_address_mailbox_get_idn_addr(box)
                                                : internet_address_mailbox_get_addr(box);
                add(addr != nullptr ? addr : "");
            } else if (INTERNET_ADDRESS_IS_GROUP(a) && depth < 8) {
                walk(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)), depth + 1);
            }
        }
    };
    if (parsed) {
        walk(parsed.get(), 0);
    }
    if (out.empty()) {
        add(clean);
    }
    return out;
}

}  // namespace vorel::mime
