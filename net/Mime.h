#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/MailComponent.h"

// Reading and writing of messages for the mail component, on GMime. Every text
// handed out is UTF-8; every text written is CR LF.
namespace vorel::mime {

// g_mime_init, once per process.
void ensureInit();

struct HeaderField {
    std::string name;
    std::string value;  // unfolded, as received: decodeHeaderValue gives the text
};

struct ParsedHeader {
    // Address fields keep display names and angle brackets ("A <a@x>, B <b@y>").
    std::string from;
    std::string to;
    std::string subject;
    std::vector<HeaderField> fields;  // every header field in order
};

struct ParsedMessage : ParsedHeader {
    std::string bodyText;                        // the main text part decoded, CR LF line ends
    int extraCount = 0;                          // parts besides the main text and its alternatives
    std::vector<DeliveryStatus> deliveryReport;  // from a message/delivery-status part
};

// Parses a header block (TOP n 0) or a whole message. Never throws on bad
// input: whatever GMime makes of it is returned.
ParsedHeader parseHeader(const std::string& raw);
ParsedMessage parseMessage(const std::string& raw);

// A header field's text: RFC 2047 words decoded, undeclared 8-bit text read
// as Windows-1252, line breaks gone, trimmed.
std::string decodeHeaderValue(const std::string& raw);

// The values of the fields named `name` (any case), in order, at most `most`.
std::vector<std::string> fieldValues(const std::vector<HeaderField>& fields,
                                     const std::string& name, std::size_t most);

// MailComponent::arrivalTime of a message with these header fields.
std::optional<std::int64_t> arrivalTime(const std::vector<HeaderField>& fields);

// The work file: "Name: value" header lines, a blank line, the body text.
std::string workFileText(const ParsedMessage& message);
// The same in the parts around the body, for writing a large body where it
// lies: the header lines with the blank line, and the line end after a body
// that has none.
std::string workFileHead(const ParsedMessage& message);
std::string workFileTail(const ParsedMessage& message);

// Bytes as UTF-8: valid UTF-8 is kept, anything else is read as Windows-1252.
std::string toUtf8(std::string bytes);

// The addr-specs of an address list text ("A <a@x>, b@y" -> a@x, b@y), with
// readable domains or (asciiDomains) their ASCII form.
std::vector<std::string> mailboxes(const std::string& list, bool asciiDomains = false);

// "<ref.pid.counter@domain>" without the brackets: unique per call within
// the process, syntactically valid whatever messageRef holds.
std::string makeMessageId(const std::string& messageRef, const std::string& fromAddress);

// A text message ready for DATA (CR LF, not dot-stuffed).
std::string composeText(const OutgoingMessage& message, const std::string& messageId);

// A saved message under new addressing: its own header fields except the
// addressing, trace and signature ones, new ones in front, the body byte for
// byte (line ends made CR LF).
std::string readdress(std::string raw, const OutgoingMessage& message,
                      const std::string& messageId);

// A saved message as an SMTP server takes it: each part with a line over
// 998 octets, a NUL, or 8-bit data when the server lacks 8BITMIME gets a
// quoted-printable or base64 encoding; the rest stays as received, and a
// message that needs nothing is returned byte for byte.
std::string encodeForSmtp(std::string raw, bool eightBitMime);

// LF or lone CR line ends become CR LF.
std::string toCrlf(std::string text);

}  // namespace vorel::mime
