#include "net/Mime.h"

#include <gmime/gmime.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "base/TextCompare.h"

namespace vorel::mime {
namespace {

struct GObjectUnref {
    void operator()(void* p) const {
        if (p != nullptr) {
            g_object_unref(p);
        }
    }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

struct GFree {
    void operator()(void* p) const { g_free(p); }
};
using GString_ = std::unique_ptr<char, GFree>;

struct FormatFree {
    void operator()(GMimeFormatOptions* p) const { g_mime_format_options_free(p); }
};
struct ParserOptionsFree {
    void operator()(GMimeParserOptions* p) const { g_mime_parser_options_free(p); }
};

std::string take(char* s) {
    GString_ owned(s);
    return s != nullptr ? std::string(s) : std::string();
}

// CR LF output for everything written.
GMimeFormatOptions* dosFormat() {
    static std::unique_ptr<GMimeFormatOptions, FormatFree> options = [] {
        std::unique_ptr<GMimeFormatOptions, FormatFree> o(g_mime_format_options_new());
        g_mime_format_options_set_newline_format(o.get(), GMIME_NEWLINE_FORMAT_DOS);
        return o;
    }();
    return options.get();
}

// Undeclared 8-bit text in received headers is most often Windows-1252.
GMimeParserOptions* parserOptions() {
    static std::unique_ptr<GMimeParserOptions, ParserOptionsFree> options = [] {
        std::unique_ptr<GMimeParserOptions, ParserOptionsFree> o(g_mime_parser_options_new());
        const char* charsets[] = {"UTF-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(o.get(), charsets);
        return o;
    }();
    return options.get();
}

unsigned char uc(char c) {
    return static_cast<unsigned char>(c);
}

bool ascii(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x80; });
}

// One line of header text: no line breaks (they would start a new header
// field), no NULs, valid UTF-8.
std::string headerText(const std::string& value) {
    const std::string utf8 = toUtf8(value);
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        if (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') {
            continue;  // CR LF becomes the one blank of its LF
        }
        out += (c == '\r' || c == '\n' || c == '\t') ? ' ' : c;
    }
    return trimSpace(out);
}

bool startsNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char a, char b) { return std::tolower(uc(a)) == std::tolower(uc(b)); });
}

// Parts of one message that are parsed at most. GMime builds an object for
// every part, whatever its size (7 MB of empty parts took 1.7 GB): merge
// fields and the body text come from the first parts, and the message is
// still answered and forwarded whole.
constexpr std::size_t kPartLimit = 1000;

// How much of `raw` GMime is given: all of it, or what comes before the line
// that would open one part too many. A part opens with a boundary line ("--")
// or, for a message inside a message, with a Content-Type field; one part can
// have both, so twice the limit of such lines is read. A message whose own
// type is neither multipart nor message is one part, whatever its lines.
std::size_t parsedLength(const std::string& raw) {
    std::size_t pos = 0;
    bool container = false;
    bool inType = false;  // continuation lines of a Content-Type field
    while (pos < raw.size()) {
        std::size_t nl = raw.find('\n', pos);
        const std::size_t end = nl == std::string::npos ? raw.size() : nl;
        std::string_view line(raw.data() + pos, end - pos);
        pos = nl == std::string::npos ? raw.size() : nl + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            break;
        }
        const bool continued = line[0] == ' ' || line[0] == '\t';
        inType = continued ? inType : startsNoCase(line, "content-type:");
        if (inType) {
            const std::string lower = lowerCase(std::string(line));
            container = container || lower.find("multipart") != std::string::npos ||
                        lower.find("message") != std::string::npos;
        }
    }
    if (!container) {
        return raw.size();
    }
    std::size_t marks = 0;
    while (pos < raw.size()) {
        const std::string_view rest(raw.data() + pos, raw.size() - pos);
        if ((rest.starts_with("--") || startsNoCase(rest, "content-type:")) &&
            ++marks > 2 * kPartLimit) {
            return pos;
        }
        const std::size_t nl = raw.find('\n', pos);
        pos = nl == std::string::npos ? raw.size() : nl + 1;
    }
    return raw.size();
}

std::string_view firstAddresses(std::string_view value);

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

// The header block as GMime is given it, with every address field cut after
// its first addresses (as fillHeader reads them): GMime builds an object of
// about 600 bytes for each address (300,000 in a To took 190 MB), and no
// rule reads more than the first. Empty when no field is cut; `headerEnd`
// is where the header block's blank line (or the end) begins.
std::string shortenedHeader(const std::string& raw, std::size_t& headerEnd) {
    std::string out;
    std::size_t copied = 0;  // raw is in `out` up to here, once a field is cut
    bool cut = false;
    std::size_t pos = 0;
    while (pos < raw.size() && raw[pos] != '\n' && raw.compare(pos, 2, "\r\n") != 0) {
        // One field: its first line and the continuation lines after it.
        const std::size_t start = pos;
        do {
            const std::size_t nl = raw.find('\n', pos);
            pos = nl == std::string::npos ? raw.size() : nl + 1;
        } while (pos < raw.size() && (raw[pos] == ' ' || raw[pos] == '\t'));
        const std::string_view field(raw.data() + start, pos - start);
        const std::size_t colon = field.find(':');
        std::string_view name = field.substr(0, colon == std::string_view::npos ? 0 : colon);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
            name.remove_suffix(1);
        }
        const std::string_view kept =
            parsedAsAddresses(name) ? firstAddresses(field.substr(colon + 1)) : field;
        if (parsedAsAddresses(name) && kept.size() < field.size() - colon - 1) {
            cut = true;
            out.append(raw, copied, start - copied);
            out.append(field.substr(0, colon + 1)).append(kept).append("\r\n");
            copied = pos;
        }
    }
    headerEnd = pos;
    if (cut) {
        out.append(raw, copied, pos - copied);
    }
    return out;
}

// GMime reads the message where it lies rather than from a copy: a memory
// stream that does not own its byte array only reads it (and so do the
// substreams the parser gives the parts). `view` points into `raw`; both must
// outlive the message returned. Only the first kPartLimit parts or so are
// parsed (see parsedLength), and only the first addresses of each address
// field (see shortenedHeader).
GPtr<GMimeMessage> parse(const std::string& raw, GByteArray& view) {
    ensureInit();
    const std::size_t length = parsedLength(raw);
    GPtr<GMimeStream> stream;
    if (length <= G_MAXUINT) {
        view.data = reinterpret_cast<guint8*>(const_cast<char*>(raw.data()));
        view.len = static_cast<guint>(length);
        stream.reset(g_mime_stream_mem_new_with_byte_array(&view));
        g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(stream.get()), FALSE);
    } else {
        stream.reset(g_mime_stream_mem_new_with_buffer(raw.data(), length));
    }
    std::size_t headerEnd = 0;
    if (const std::string head = shortenedHeader(raw, headerEnd);
        !head.empty() && headerEnd <= length) {
        // The short header, then the rest where it lies.
        GPtr<GMimeStream> front(g_mime_stream_mem_new_with_buffer(head.data(), head.size()));
        GPtr<GMimeStream> rest(g_mime_stream_substream(stream.get(), static_cast<gint64>(headerEnd),
                                                       static_cast<gint64>(length)));
        GPtr<GMimeStream> joined(g_mime_stream_cat_new());
        g_mime_stream_cat_add_source(GMIME_STREAM_CAT(joined.get()), front.get());
        g_mime_stream_cat_add_source(GMIME_STREAM_CAT(joined.get()), rest.get());
        stream = std::move(joined);
    }
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    return GPtr<GMimeMessage>(g_mime_parser_construct_message(parser.get(), parserOptions()));
}

// The header block is read here rather than by GMime's parser: the run
// reads every waiting message's header, and building a whole GMimeMessage
// for each costs several times the network round trip.
struct RawField {
    std::string name;
    std::string value;  // unfolded, still encoded
};

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

// A leaf part with the chain of multiparts above it.
struct Leaf {
    GMimeObject* part;
    std::vector<GMimeObject*> ancestors;
    bool signature;  // the second part of multipart/signed
};

void collectLeaves(GMimeObject* obj, std::vector<GMimeObject*>& path, std::vector<Leaf>& out,
                   bool signature, int depth) {
    if (obj == nullptr) {
        return;
    }
    // Deeper nesting than any mail program writes: treat it as one part.
    if (GMIME_IS_MULTIPART(obj) && depth < 64) {
        GMimeMultipart* mp = GMIME_MULTIPART(obj);
        const bool signedPart =
            g_mime_content_type_is_type(g_mime_object_get_content_type(obj), "multipart", "signed");
        path.push_back(obj);
        const int n = g_mime_multipart_get_count(mp);
        for (int i = 0; i < n; ++i) {
            collectLeaves(g_mime_multipart_get_part(mp, i), path, out, signedPart && i == 1,
                          depth + 1);
        }
        path.pop_back();
        return;
    }
    out.push_back(Leaf{obj, path, signature});
}

bool isMainTextCandidate(GMimeObject* part) {
    return GMIME_IS_TEXT_PART(part) && !g_mime_part_is_attachment(GMIME_PART(part));
}

// A GMime stream that appends what is written to a std::string: a part's
// text is decoded straight into the string that keeps it, with no buffer of
// GMime's in between (which would hold a large text a second time).
struct StringSink {
    GMimeStream parent;
    std::string* out;
};
struct StringSinkClass {
    GMimeStreamClass parent;
};

ssize_t sinkWrite(GMimeStream* stream, const char* buf, size_t len) {
    reinterpret_cast<StringSink*>(stream)->out->append(buf, len);
    return static_cast<ssize_t>(len);
}

int sinkFlush(GMimeStream*) {
    return 0;
}

GType stringSinkType() {
    static const GType type = [] {
        GTypeInfo info{};
        info.class_size = sizeof(StringSinkClass);
        info.class_init = [](gpointer klass, gpointer) {
            auto* c = static_cast<GMimeStreamClass*>(klass);
            c->write = sinkWrite;
            c->flush = sinkFlush;
        };
        info.instance_size = sizeof(StringSink);
        return g_type_register_static(GMIME_TYPE_STREAM, "VorelStringSink", &info, GTypeFlags{});
    }();
    return type;
}

GPtr<GMimeStream> stringSink(std::string& out) {
    auto* sink = static_cast<StringSink*>(g_object_new(stringSinkType(), nullptr));
    sink->out = &out;
    g_mime_stream_construct(&sink->parent, 0, -1);
    return GPtr<GMimeStream>(&sink->parent);
}

// The part's content with its transfer encoding undone, NUL bytes and all
// (GMime's text getter returns a C string, which ends at the first NUL).
std::string decodedContent(GMimePart* part) {
    std::string bytes;
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (content == nullptr) {
        return bytes;
    }
    const gint64 encoded = g_mime_stream_length(g_mime_data_wrapper_get_stream(content));
    if (encoded > 0) {
        bytes.reserve(static_cast<std::size_t>(std::min<gint64>(encoded, gint64{1} << 30)));
    }
    GPtr<GMimeStream> sink = stringSink(bytes);
    g_mime_data_wrapper_write_to_stream(content, sink.get());
    return bytes;
}

// Text in its declared charset; text that does not decode in it (a UTF-8
// label on Windows-1252 text is common) is read as toUtf8 reads bytes,
// rather than losing the letters that do not fit. An unlabelled body that
// starts with a UTF-16 byte-order mark is UTF-16.
std::string bodyTextOf(std::string bytes, const char* declared) {
    std::optional<std::string> text;
    const char* iconvName =
        declared != nullptr && *declared != '\0' ? g_mime_charset_iconv_name(declared) : nullptr;
    // UTF-8 as labelled (or UTF-8 under an ASCII label, read so anyway) is
    // kept as it is: no second copy of a large text.
    const bool utf8Label =
        iconvName != nullptr && (g_ascii_strcasecmp(iconvName, "UTF-8") == 0 ||
                                 g_ascii_strcasecmp(iconvName, "us-ascii") == 0 ||
                                 g_ascii_strcasecmp(iconvName, "ascii") == 0);
    if (utf8Label && g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr)) {
        text = std::move(bytes);
    } else if (iconvName != nullptr) {
        text = convertStrictly(bytes, iconvName);
    } else if (bytes.size() >= 2 && bytes.compare(0, 2, "\xFF\xFE") == 0) {
        text = convertStrictly(std::string_view(bytes).substr(2), "UTF-16LE");
    } else if (bytes.size() >= 2 && bytes.compare(0, 2, "\xFE\xFF") == 0) {
        text = convertStrictly(std::string_view(bytes).substr(2), "UTF-16BE");
    }
    std::string out = text ? std::move(*text) : toUtf8(std::move(bytes));
    // A NUL would end the text for every C string it passes through.
    out.erase(std::remove(out.begin(), out.end(), '\0'), out.end());
    return out;
}

std::string partText(GMimeObject* part) {
    return toCrlf(bodyTextOf(decodedContent(GMIME_PART(part)),
                             g_mime_object_get_content_type_parameter(part, "charset")));
}

std::size_t longestLine(const std::string& s) {
    std::size_t longest = 0;
    std::size_t start = 0;
    while (start <= s.size()) {
        std::size_t nl = s.find('\n', start);
        std::size_t end = nl == std::string::npos ? s.size() : nl;
        longest = std::max(longest, end - start);
        if (nl == std::string::npos) {
            break;
        }
        start = nl + 1;
    }
    return longest;
}

// In place: a line end never grows, so a large text is not held twice.
std::string toLf(std::string text) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            text[out++] = '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else {
            text[out++] = text[i];
        }
    }
    text.resize(out);
    return text;
}

constexpr std::size_t kLongestNamedAddress = 900;

void addAddresses(GMimeMessage* msg, GMimeAddressType type, const std::string& text) {
    const std::string clean = headerText(text);
    if (clean.empty()) {
        return;
    }
    GPtr<InternetAddressList> list(internet_address_list_parse(parserOptions(), clean.c_str()));
    InternetAddressList* target = g_mime_message_get_addresses(msg, type);
    if (list && internet_address_list_length(list.get()) > 0) {
        // GMime does not fold inside a display name: one written as a long
        // run of encoded words would make a line a server refuses. The
        // address alone still reaches its owner.
        for (int i = 0; i < internet_address_list_length(list.get()); ++i) {
            InternetAddress* a = internet_address_list_get_address(list.get(), i);
            GString_ encoded(internet_address_to_string(a, nullptr, TRUE));
            if (encoded && std::strlen(encoded.get()) > kLongestNamedAddress) {
                internet_address_set_name(a, nullptr);
            }
        }
        internet_address_list_append(target, list.get());
    } else {
        GPtr<InternetAddress> mailbox(internet_address_mailbox_new(nullptr, clean.c_str()));
        internet_address_list_add(target, mailbox.get());
    }
}

bool validFieldName(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return c > 32 && c < 127 && c != ':';
    });
}

// From, Sender, To, Cc, Subject, Date, Message-ID and the extra lines: what
// every message we send carries, whatever its body.
GPtr<GMimeMessage> addressedMessage(const OutgoingMessage& m, const std::string& messageId) {
    ensureInit();
    GPtr<GMimeMessage> msg(g_mime_message_new(TRUE));
    GDateTime* now = g_date_time_new_now_local();
    g_mime_message_set_date(msg.get(), now);
    g_date_time_unref(now);
    addAddresses(msg.get(), GMIME_ADDRESS_TYPE_FROM, m.from);
    // A Sender field only says something when it differs from From.
    const auto from = mailboxes(m.from);
    const auto sender = mailboxes(m.sender);
    if (!sender.empty() && (from.empty() || lowerCase(from[0]) != lowerCase(sender[0]))) {
        addAddresses(msg.get(), GMIME_ADDRESS_TYPE_SENDER, m.sender);
    }
    addAddresses(msg.get(), GMIME_ADDRESS_TYPE_TO, m.to);
    addAddresses(msg.get(), GMIME_ADDRESS_TYPE_CC, m.copyTo);
    g_mime_message_set_subject(msg.get(), headerText(m.subject).c_str(), "utf-8");
    g_mime_message_set_message_id(msg.get(), messageId.c_str());
    for (const auto& line : m.extraHeaders) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string name = trimSpace(line.substr(0, colon));
        if (!validFieldName(name)) {
            continue;
        }
        g_mime_object_append_header(GMIME_OBJECT(msg.get()), name.c_str(),
                                    headerText(line.substr(colon + 1)).c_str(), "utf-8");
    }
    return msg;
}

// Written twice, first only to count: the text is then made at its size
// once, rather than grown (a large message would be held about three times).
std::string serialize(GMimeObject* obj) {
    GPtr<GMimeStream> counter(g_mime_stream_null_new());
    g_mime_object_write_to_stream(obj, dosFormat(), counter.get());
    std::string out;
    // With room for the end of data that SMTP adds ("\r\n.\r\n").
    out.reserve(static_cast<std::size_t>(GMIME_STREAM_NULL(counter.get())->written) + 8);
    g_mime_object_write_to_stream(obj, dosFormat(), stringSink(out).get());
    return out;
}

// What a server would refuse in the data: a line over SMTP's 998 octets, a
// NUL, or (without 8BITMIME) an octet over 127.
bool refusedBySmtp(std::string_view bytes, bool eightBitMime) {
    std::size_t line = 0;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r' || c == '\n') {
            line = 0;
        } else if (c == 0 || (c >= 0x80 && !eightBitMime) || ++line > 998) {
            return true;
        }
    }
    return false;
}

// Gives each leaf part that a server would refuse as it stands the
// encoding GMime finds best for it (quoted-printable for mostly text,
// base64 otherwise); true when one changed.
bool encodeRefusedParts(GMimeObject* obj, bool eightBitMime, int depth) {
    if (obj == nullptr || depth > 64) {
        return false;
    }
    if (GMIME_IS_MULTIPART(obj)) {
        bool changed = false;
        GMimeMultipart* mp = GMIME_MULTIPART(obj);
        const int n = g_mime_multipart_get_count(mp);
        for (int i = 0; i < n; ++i) {
            changed |=
                encodeRefusedParts(g_mime_multipart_get_part(mp, i), eightBitMime, depth + 1);
        }
        return changed;
    }
    if (GMIME_IS_MESSAGE_PART(obj)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj));
        return inner != nullptr &&
               encodeRefusedParts(g_mime_message_get_mime_part(inner), eightBitMime, depth + 1);
    }
    if (!GMIME_IS_PART(obj)) {
        return false;
    }
    GMimePart* part = GMIME_PART(obj);
    GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
    if (wrapper == nullptr) {
        return false;
    }
    // The content as it would go out: still in its transfer encoding.
    GMimeStream* source = g_mime_data_wrapper_get_stream(wrapper);
    GPtr<GMimeStream> copy(g_mime_stream_mem_new());
    g_mime_stream_reset(source);
    g_mime_stream_write_to_stream(source, copy.get());
    g_mime_stream_reset(source);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(copy.get()));
    if (!refusedBySmtp(std::string_view(reinterpret_cast<const char*>(bytes->data), bytes->len),
                       eightBitMime)) {
        return false;
    }
    g_mime_part_set_content_encoding(
        part,
        g_mime_part_get_best_content_encoding(
            part, eightBitMime ? GMIME_ENCODING_CONSTRAINT_8BIT : GMIME_ENCODING_CONSTRAINT_7BIT));
    return true;
}

}  // namespace

std::string encodeForSmtp(std::string raw, bool eightBitMime) {
    if (!refusedBySmtp(raw, eightBitMime)) {
        return raw;
    }
    if (parsedLength(raw) < raw.size()) {
        return raw;  // too many parts to re-encode one by one: the server decides
    }
    GByteArray view{};  // the parsed message reads raw in place
    auto msg = parse(raw, view);
    if (!msg || !encodeRefusedParts(g_mime_message_get_mime_part(msg.get()), eightBitMime, 0)) {
        return raw;  // nothing we can re-encode (a header, say): the server decides
    }
    return serialize(GMIME_OBJECT(msg.get()));
}

void ensureInit() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

std::string toUtf8(std::string clean) {
    clean.erase(std::remove(clean.begin(), clean.end(), '\0'), clean.end());
    if (g_utf8_validate(clean.data(), static_cast<gssize>(clean.size()), nullptr)) {
        return clean;
    }
    for (const char* charset : {"WINDOWS-1252", "ISO-8859-1"}) {
        gsize written = 0;
        GString_ converted(g_convert(clean.data(), static_cast<gssize>(clean.size()), "UTF-8",
                                     charset, nullptr, &written, nullptr));
        if (converted) {
            return std::string(converted.get(), written);
        }
    }
    return std::string();
}

std::string toCrlf(std::string text) {
    // Most text arrives with CR LF already: nothing to copy then.
    bool crlfOnly = true;
    for (std::size_t i = 0; i < text.size() && crlfOnly; ++i) {
        if (text[i] == '\r') {
            crlfOnly = i + 1 < text.size() && text[i + 1] == '\n';
            ++i;
        } else if (text[i] == '\n') {
            crlfOnly = false;
        }
    }
    if (crlfOnly) {
        return text;
    }
    std::string out;
    out.reserve(text.size() + text.size() / 40 + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

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

namespace {

std::string objectText(GMimeObject* obj) {
    if (GMIME_IS_PART(obj)) {
        return decodedContent(GMIME_PART(obj));
    }
    if (GMIME_IS_MESSAGE_PART(obj)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj));
        return inner == nullptr ? std::string() : serialize(GMIME_OBJECT(inner));
    }
    return {};
}

std::string fieldOf(const std::vector<RawField>& block, const char* name) {
    for (const RawField& f : block) {
        if (lowerCase(f.name) == name) {
            return trimSpace(f.value);
        }
    }
    return {};
}

// "rfc822; user@host" -> "user@host"
std::string typedAddress(const std::string& value) {
    const std::size_t semi = value.find(';');
    std::string a = trimSpace(semi == std::string::npos ? value : value.substr(semi + 1));
    if (a.size() >= 2 && a.front() == '<' && a.back() == '>') {
        a = a.substr(1, a.size() - 2);
    }
    return a;
}

// The per-recipient blocks of a message/delivery-status body (RFC 3464):
// header-like blocks split by blank lines, the first one per message.
std::vector<DeliveryStatus> deliveryStatusOf(const std::string& text) {
    std::vector<DeliveryStatus> out;
    const std::string lf = toLf(text);
    std::size_t pos = 0;
    bool first = true;
    while (pos < lf.size()) {
        std::size_t end = lf.find("\n\n", pos);
        end = end == std::string::npos ? lf.size() : end;
        const std::string block = lf.substr(pos, end - pos);
        pos = end + 2;
        while (pos < lf.size() && lf[pos] == '\n') {
            ++pos;
        }
        if (trimSpace(block).empty()) {
            continue;
        }
        const auto fields = splitHeader(toCrlf(block) + "\r\n\r\n");
        const std::string final = fieldOf(fields, "final-recipient");
        const std::string original = fieldOf(fields, "original-recipient");
        const std::string status = fieldOf(fields, "status");
        if (first && final.empty() && status.empty()) {
            first = false;
            continue;  // the per-message block
        }
        first = false;
        DeliveryStatus d;
        d.recipient = typedAddress(final.empty() ? original : final);
        d.original = typedAddress(original);
        d.action = lowerCase(fieldOf(fields, "action"));
        d.status = status.substr(0, status.find(' '));
        out.push_back(d);
    }
    return out;
}

std::vector<DeliveryStatus> deliveryReportOf(GMimeMessage* msg) {
    std::vector<Leaf> leaves;
    std::vector<GMimeObject*> path;
    collectLeaves(g_mime_message_get_mime_part(msg), path, leaves, false, 0);
    std::vector<DeliveryStatus> report;
    std::string list, member, messageId, tag;
    for (const Leaf& leaf : leaves) {
        GMimeContentType* type = g_mime_object_get_content_type(leaf.part);
        if (g_mime_content_type_is_type(type, "message", "delivery-status")) {
            const auto found = deliveryStatusOf(objectText(leaf.part));
            report.insert(report.end(), found.begin(), found.end());
        } else if (g_mime_content_type_is_type(type, "text", "rfc822-headers") ||
                   g_mime_content_type_is_type(type, "message", "rfc822")) {
            // The returned copy (or its header) names the list and member.
            const auto fields = splitHeader(objectText(leaf.part));
            list = fieldOf(fields, "x-vorel-list");
            member = fieldOf(fields, "x-vorel-member");
            messageId = typedAddress(fieldOf(fields, "message-id"));
            tag = fieldOf(fields, "x-vorel-tag");
        }
    }
    for (DeliveryStatus& d : report) {
        d.list = list;
        d.member = member;
        d.messageId = messageId;
        d.tag = tag;
    }
    return report;
}

}  // namespace

ParsedMessage parseMessage(const std::string& raw) {
    ParsedMessage out;
    fillHeader(raw, out);
    GByteArray view{};
    auto msg = parse(raw, view);
    if (!msg) {
        return out;
    }
    std::vector<Leaf> leaves;
    std::vector<GMimeObject*> path;
    collectLeaves(g_mime_message_get_mime_part(msg.get()), path, leaves, false, 0);
    // The main text is the first text part that is not an attachment; the
    // multipart/alternative holding it (if any) holds its other renderings.
    const Leaf* main = nullptr;
    for (const auto& leaf : leaves) {
        if (isMainTextCandidate(leaf.part)) {
            main = &leaf;
            break;
        }
    }
    GMimeObject* alternative = nullptr;
    if (main != nullptr) {
        out.bodyText = partText(main->part);
        for (auto it = main->ancestors.rbegin(); it != main->ancestors.rend(); ++it) {
            if (g_mime_content_type_is_type(g_mime_object_get_content_type(*it), "multipart",
                                            "alternative")) {
                alternative = *it;
                break;
            }
        }
    }
    for (const auto& leaf : leaves) {
        if (&leaf == main || leaf.signature) {
            continue;
        }
        if (alternative != nullptr && std::find(leaf.ancestors.begin(), leaf.ancestors.end(),
                                                alternative) != leaf.ancestors.end()) {
            continue;
        }
        ++out.extraCount;
    }
    out.deliveryReport = deliveryReportOf(msg.get());
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

std::string workFileHead(const ParsedMessage& message) {
    std::string out;
    for (const auto& f : message.fields) {
        out += f.name + ": " + decodeText(f.value) + "\r\n";
    }
    out += "\r\n";
    return out;
}

std::string workFileTail(const ParsedMessage& message) {
    return !message.bodyText.empty() && message.bodyText.back() != '\n' ? "\r\n" : "";
}

std::string workFileText(const ParsedMessage& message) {
    return workFileHead(message) + message.bodyText + workFileTail(message);
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

std::string makeMessageId(const std::string& messageRef, const std::string& fromAddress) {
    static std::atomic<unsigned long> counter{0};
    std::string left;
    for (const char ch : messageRef) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '_' || c == '-') {
            left += static_cast<char>(c);
        } else if (c == '.' && !left.empty() && left.back() != '.') {
            left += '.';
        }
    }
    while (!left.empty() && left.back() == '.') {
        left.pop_back();
    }
    if (left.empty()) {
        left = "vorel";
    }
    std::string domain;
    const auto boxes = mailboxes(fromAddress);
    if (!boxes.empty()) {
        const std::size_t at = boxes[0].rfind('@');
        if (at != std::string::npos) {
            for (const char ch : boxes[0].substr(at + 1)) {
                const auto c = static_cast<unsigned char>(ch);
                if (std::isalnum(c) || c == '-' ||
                    (c == '.' && !domain.empty() && domain.back() != '.')) {
                    domain += static_cast<char>(c);
                }
            }
        }
    }
    while (!domain.empty() && domain.back() == '.') {
        domain.pop_back();
    }
    if (domain.empty()) {
        domain = "localhost";
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    return left + "." + std::to_string(seconds) + "." + std::to_string(::getpid()) + "." +
           std::to_string(++counter) + "@" + domain;
}

std::string composeText(const OutgoingMessage& m, const std::string& messageId) {
    const std::string text = toLf(toUtf8(m.body));  // one copy of the body, changed in place
    GByteArray view{};  // the content reads `text` where it lies; both outlive the message
    auto msg = addressedMessage(m, messageId);
    const bool plain7 = ascii(text);
    // Text that is not pure ASCII is UTF-8 here, whatever label the caller
    // asked for: a us-ascii label would garble every non-English reply.
    std::string charset = "utf-8";
    if (plain7) {
        std::string asked = m.charset;
        const std::size_t eq = asked.find('=');
        if (eq != std::string::npos) {
            asked = asked.substr(eq + 1);
        }
        asked.erase(std::remove(asked.begin(), asked.end(), '"'), asked.end());
        asked = trimSpace(asked);
        charset = asked.empty() ? "us-ascii" : asked;
    }
    GMimeContentEncoding encoding =
        g_mime_content_encoding_from_string(trimSpace(m.transferEncoding).c_str());
    // Lines must stay under SMTP's 998 octets and 8-bit data must survive
    // servers without 8BITMIME: quoted-printable unless base64 was asked for.
    if (!plain7 || longestLine(text) > 998) {
        if (encoding != GMIME_CONTENT_ENCODING_BASE64) {
            encoding = GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
        }
    } else if (encoding == GMIME_CONTENT_ENCODING_DEFAULT) {
        encoding = GMIME_CONTENT_ENCODING_7BIT;
    }
    const std::string type = trimSpace(m.contentType).empty() ? "text" : trimSpace(m.contentType);
    const std::string subtype =
        trimSpace(m.contentSubtype).empty() ? "plain" : trimSpace(m.contentSubtype);
    GPtr<GMimePart> part(g_mime_part_new_with_type(type.c_str(), subtype.c_str()));
    g_mime_object_set_content_type_parameter(GMIME_OBJECT(part.get()), "charset", charset.c_str());
    // Read where it lies (see parse), not copied.
    view.data = reinterpret_cast<guint8*>(const_cast<char*>(text.data()));
    view.len = static_cast<guint>(text.size());
    GPtr<GMimeStream> content(text.size() <= G_MAXUINT
                                  ? g_mime_stream_mem_new_with_byte_array(&view)
                                  : g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
    if (text.size() <= G_MAXUINT) {
        g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(content.get()), FALSE);
    }
    GPtr<GMimeDataWrapper> wrapper(
        g_mime_data_wrapper_new_with_stream(content.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part.get(), wrapper.get());
    g_mime_part_set_content_encoding(part.get(), encoding);
    g_mime_message_set_mime_part(msg.get(), GMIME_OBJECT(part.get()));
    return serialize(GMIME_OBJECT(msg.get()));
}

std::string readdress(std::string raw, const OutgoingMessage& m, const std::string& messageId) {
    // The body stays where it is, in `text`: only the header block is
    // replaced, so a large message is held once (twice when its line ends
    // need mending).
    std::string text = toCrlf(std::move(raw));
    std::string head;
    std::size_t bodyStart = 0;
    if (text.rfind("\r\n", 0) == 0) {
        bodyStart = 2;
    } else {
        const std::size_t end = text.find("\r\n\r\n");
        if (end == std::string::npos) {
            head = text;
            if (!head.empty() && head.back() != '\n') {
                head += "\r\n";
            }
            bodyStart = text.size();
        } else {
            head = text.substr(0, end + 2);
            bodyStart = end + 4;
        }
    }
    // Fields replaced by the new addressing, and trace or signature fields
    // that would be wrong (or fail verification) on the message sent on.
    std::vector<std::string> dropped = {"to",
                                        "cc",
                                        "bcc",
                                        "from",
                                        "sender",
                                        "subject",
                                        "date",
                                        "message-id",
                                        "received",
                                        "return-path",
                                        "delivered-to",
                                        "x-original-to",
                                        "dkim-signature"};
    for (const auto& line : m.extraHeaders) {
        dropped.push_back(lowerCase(trimSpace(line.substr(0, line.find(':')))));
    }
    std::string kept;
    bool keeping = false;
    std::size_t pos = 0;
    while (pos < head.size()) {
        std::size_t nl = head.find("\r\n", pos);
        if (nl == std::string::npos) {
            nl = head.size();
        }
        const std::string line = head.substr(pos, nl - pos);
        pos = nl + 2;
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (keeping) {
                kept += line + "\r\n";
            }
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || !validFieldName(trimSpace(line.substr(0, colon)))) {
            // Not a header field (an mbox "From " line, junk): it would end
            // the header block early.
            keeping = false;
            continue;
        }
        const std::string name = lowerCase(trimSpace(line.substr(0, colon)));
        keeping = std::find(dropped.begin(), dropped.end(), name) == dropped.end() &&
                  name.rfind("arc-", 0) != 0 && name.rfind("resent-", 0) != 0;
        if (keeping) {
            kept += line + "\r\n";
        }
    }
    auto msg = addressedMessage(m, messageId);
    const std::string fresh = take(g_mime_object_get_headers(GMIME_OBJECT(msg.get()), dosFormat()));
    text.replace(0, bodyStart, fresh + kept + "\r\n");
    return text;
}

}  // namespace vorel::mime
