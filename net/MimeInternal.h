#pragma once

// GMime helpers shared by the files of net/Mime*: not for callers outside
// them (net/Mime.h is the interface).

#include <gmime/gmime.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/MailComponent.h"

namespace vorel::mime::detail {

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

// A string GMime allocated, as a std::string (empty for null), freed.
std::string take(char* s);
// CR LF output for everything written.
GMimeFormatOptions* dosFormat();
// Undeclared 8-bit text in received headers is most often Windows-1252.
GMimeParserOptions* parserOptions();

inline unsigned char uc(char c) {
    return static_cast<unsigned char>(c);
}
bool ascii(const std::string& s);
bool startsNoCase(std::string_view text, std::string_view prefix);
// One line of header text: no line breaks (they would start a new header
// field), no NULs, valid UTF-8.
std::string headerText(const std::string& value);
// LF line ends, in place: a line end never grows, so a large text is not
// held twice.
std::string toLf(std::string text);

// The part's content with its transfer encoding undone, NUL bytes and all
// (GMime's text getter returns a C string, which ends at the first NUL).
std::string decodedContent(GMimePart* part);
// A message or part as written, CR LF, made at its size once.
std::string serialize(GMimeObject* obj);

// Reading a header block (MimeHeader.cpp).
// Bytes in a charset as UTF-8; nothing when they do not decode in it whole.
std::optional<std::string> convertStrictly(std::string_view bytes, const char* charset);
// The header block is read here rather than by GMime's parser: the run
// reads every waiting message's header, and building a whole GMimeMessage
// for each costs several times the network round trip.
struct RawField {
    std::string name;
    std::string value;  // unfolded, still encoded
};
// Address fields keep their first addresses only (see firstAddresses): a
// field of a million is never held whole, here or in what is made of it.
std::vector<RawField> splitHeader(const std::string& raw);
// The fields GMime reads into a list of address objects when it parses a
// message.
bool parsedAsAddresses(std::string_view name);
// The field up to its kAddressLimit-th separating comma (quoted names and
// comments may hold commas of their own).
std::string_view firstAddresses(std::string_view value);
// A header value's text: encoded words decoded, one line.
std::string decodeText(const std::string& value);
// From, To, Subject and every field of a header block.
void fillHeader(const std::string& raw, ParsedHeader& out);

// Parsing a whole message (MimeParse.cpp).
// How much of `raw` GMime is given: all of it, or what comes before the
// line that would open one part too many (see kPartLimit).
std::size_t parsedLength(const std::string& raw);
// GMime's message, read where `raw` lies: `view` points into `raw`; both
// must outlive the message returned.
GPtr<GMimeMessage> parse(const std::string& raw, GByteArray& view);
// A leaf part with the chain of multiparts above it.
struct Leaf {
    GMimeObject* part;
    std::vector<GMimeObject*> ancestors;
    bool signature;  // the second part of multipart/signed
};
void collectLeaves(GMimeObject* obj, std::vector<GMimeObject*>& path, std::vector<Leaf>& out,
                   bool signature, int depth);

// The recipients' blocks of a delivery report (DeliveryReport.cpp), with the
// list, member, Message-ID and tag of the returned copy.
std::vector<DeliveryStatus> deliveryReportOf(GMimeMessage* msg);

}  // namespace vorel::mime::detail
