#include "net/Mime.h"

#include <string_view>

#include "net/MimeInternal.h"

// A saved message re-encoded where an SMTP server would refuse it as it
// stands.
namespace vorel::mime {

using namespace detail;

namespace {

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

}  // namespace vorel::mime
