#include "net/Mime.h"

#include "base/TextCompare.h"
#include "net/MimeInternal.h"

// Reading a delivery report (RFC 3464): the recipients' blocks and the
// fields of the returned copy that say which list and member it was for.
namespace vorel::mime::detail {

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

}  // namespace

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

}  // namespace vorel::mime::detail
