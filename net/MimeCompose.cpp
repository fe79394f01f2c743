#include "net/Mime.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>

#include "base/TextCompare.h"
#include "net/MimeInternal.h"

// Composing what we send: a text message, or a saved message under new
// addressing, with the Message-ID we give it.
namespace vorel::mime {

using namespace detail;

namespace {

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

}  // namespace

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
