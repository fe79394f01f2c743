#include "mail/Subscriptions.h"

#include <sys/random.h>

#include <cerrno>
#include <ctime>
#include <stdexcept>

#include "base/TextCompare.h"
#include "mail/Address.h"
#include "mail/MergeCodes.h"
#include "mail/Outbound.h"
#include "store/Transaction.h"

namespace vorel {

namespace {

constexpr std::size_t kTokenDigits = 32;

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Where a message reaches the list's subscribe rule by its address.
std::string subscribeAddress(const MailingList& list) {
    const std::string to = extractAddresses(list.onsubscribeto);
    return isValidEmail(to) ? to : "";
}

}  // namespace

std::string newConfirmToken() {
    unsigned char bytes[kTokenDigits / 2];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error("no random numbers for a confirmation token");
        }
        got += static_cast<std::size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    return token;
}

std::string confirmTokenIn(const std::string& subject) {
    const std::string lower = lowerCase(subject);
    constexpr std::string_view kWord = "confirm ";
    for (std::size_t at = lower.find(kWord); at != std::string::npos;
         at = lower.find(kWord, at + 1)) {
        const std::size_t start = at + kWord.size();
        std::size_t end = start;
        while (end < lower.size() && isHexDigit(lower[end])) {
            ++end;
        }
        if (end - start == kTokenDigits) {
            return lower.substr(start, kTokenDigits);
        }
    }
    return "";
}

std::int64_t epochSeconds(const LocalTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm));
}

QueueRecord confirmationRecord(const MailingList& list, const std::string& address,
                               const std::string& token) {
    std::string how = "reply to this message";
    const std::string join = subscribeAddress(list);
    if (!join.empty()) {
        how += ", or send a message to " + join + " with \"confirm " + token + "\" in its Subject";
    }
    const std::string body =
        "Someone asked to subscribe the address " + address + " to the mailing list " + list.Name +
        ".\r\n\r\n"
        "If it was you, " +
        how +
        ". That confirms the subscription.\r\n\r\n"
        "If it was not you, do nothing: the address is not subscribed, and you will not hear "
        "from this list again. The request expires in 72 hours.\r\n";
    return QueueRecord{address, list.subscribefrom,
                       list.subscribesubject + " [confirm " + token + "]", body};
}

QueueRecord welcomeRecord(const MailingList& list, const PendingRequest& request,
                          const LocalTime& now) {
    return QueueRecord{
        request.Email, list.subscribefrom, list.subscribesubject,
        mergeTemplate(list.subscribemessage, now, request.Email, parseMergeFields(request.Data))};
}

std::string farewellText(const MailingList& list) {
    std::string hint;
    if (const std::string join = subscribeAddress(list); !join.empty()) {
        hint = "To subscribe again, send a message to " + join + ".";
    } else if (!trimBlanks(list.onsubscribesubject).empty()) {
        hint = "To subscribe again, reply to this message with the Subject \"" +
               list.onsubscribesubject + "\".";
    }
    if (hint.empty()) {
        return list.unsubscribemessage;
    }
    return list.unsubscribemessage.empty() ? hint : list.unsubscribemessage + "\r\n\r\n" + hint;
}

void confirmByHand(Database& db, const std::string& folder, const MailingList& list,
                   const PendingRequest& request, const LocalTime& now) {
    if (!isOneAddress(request.Email)) {
        // Stored before requests were held to one address: the welcome would
        // mail every address in it.
        throw std::runtime_error("The request of " + request.Email +
                                 " is not of one address: drop it.");
    }
    Transaction t(db);
    const bool member = db.findMember(list.Name, request.Email).has_value();
    if (!member) {
        db.addMember(Member{0, list.Name, request.Email, request.Data});
    }
    db.deletePending(request.id);
    t.commit();
    // Queued once the member is stored, as a run queues: a commit that fails
    // must not leave a welcome to someone who is not a member.
    if (!member && !list.subscribemessage.empty()) {
        queueNoted(db, folder, welcomeRecord(list, request, now), OutboundKind::AutoReply);
    }
}

std::string addedCountText(std::size_t added) {
    return std::to_string(added) + (added == 1 ? " address added" : " addresses added");
}

}  // namespace vorel
