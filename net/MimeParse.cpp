#include "net/Mime.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "base/TextCompare.h"
#include "net/MimeInternal.h"

// Parsing a whole message: its parts (no more than kPartLimit), its main
// text and the work file made of it.
namespace vorel::mime {

using namespace detail;

namespace {

// Parts of one message that are parsed at most. GMime builds an object for
// every part, whatever its size (7 MB of empty parts took 1.7 GB): merge
// fields and the body text come from the first parts, and the message is
// still answered and forwarded whole.
constexpr std::size_t kPartLimit = 1000;

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

bool isMainTextCandidate(GMimeObject* part) {
    return GMIME_IS_TEXT_PART(part) && !g_mime_part_is_attachment(GMIME_PART(part));
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

}  // namespace

namespace detail {

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

}  // namespace detail

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

}  // namespace vorel::mime
