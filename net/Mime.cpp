#include "net/Mime.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include "base/TextCompare.h"
#include "net/MimeInternal.h"

// What every part of the MIME code shares: GMime's set-up and options, the
// text conversions, and the string stream GMime writes into.
namespace vorel::mime {

namespace {

struct FormatFree {
    void operator()(GMimeFormatOptions* p) const { g_mime_format_options_free(p); }
};
struct ParserOptionsFree {
    void operator()(GMimeParserOptions* p) const { g_mime_parser_options_free(p); }
};

}  // namespace

namespace detail {

std::string take(char* s) {
    GString_ owned(s);
    return s != nullptr ? std::string(s) : std::string();
}

GMimeFormatOptions* dosFormat() {
    static std::unique_ptr<GMimeFormatOptions, FormatFree> options = [] {
        std::unique_ptr<GMimeFormatOptions, FormatFree> o(g_mime_format_options_new());
        g_mime_format_options_set_newline_format(o.get(), GMIME_NEWLINE_FORMAT_DOS);
        return o;
    }();
    return options.get();
}

GMimeParserOptions* parserOptions() {
    static std::unique_ptr<GMimeParserOptions, ParserOptionsFree> options = [] {
        std::unique_ptr<GMimeParserOptions, ParserOptionsFree> o(g_mime_parser_options_new());
        const char* charsets[] = {"UTF-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(o.get(), charsets);
        return o;
    }();
    return options.get();
}

bool ascii(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x80; });
}

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

}  // namespace detail

using namespace detail;

namespace {

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

}  // namespace

namespace detail {

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

}  // namespace detail

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

}  // namespace vorel::mime
