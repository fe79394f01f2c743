#include "forms/PostingTrustForm.h"

#include <exception>

#include "core/MailComponent.h"
#include "mail/AuthResults.h"

namespace vorel {

namespace {

constexpr char kSaid[] = " The newest message's Authentication-Results come from ";
constexpr std::size_t kIdLimit = 253;  // a host name's longest

bool plainId(const std::string& id) {
    if (id.empty() || id.size() > kIdLimit) {
        return false;
    }
    for (char c : id) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string newestAuthservIdText(MailComponent& mail) {
    try {
        const long n = mail.messageCount();
        if (n < 1) {
            return {};
        }
        mail.selectMessage(n);
        mail.fetchHeader();
        const auto fields = mail.headerFields("Authentication-Results", 1);
        const std::string id = fields.empty() ? "" : parseAuthResults(fields[0]).authservId;
        return plainId(id) ? kSaid + id + "." : std::string();
    } catch (const std::exception&) {
        return {};
    }
}

std::string offeredAuthservId(const std::string& testResult) {
    const std::size_t at = testResult.find(kSaid);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t start = at + sizeof kSaid - 1;
    const std::size_t end = testResult.find(". ", start);
    std::string id =
        testResult.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!id.empty() && id.back() == '.') {
        id.pop_back();
    }
    return plainId(id) ? id : std::string();
}

}  // namespace vorel
