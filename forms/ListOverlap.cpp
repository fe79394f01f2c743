#include "forms/ListOverlap.h"

#include "base/TextCompare.h"

namespace vorel {

namespace {

// An unsubscribe To also matches the address followed by a comma.
bool sameAddress(const std::string& subscribeTo, const std::string& unsubscribeTo) {
    return !subscribeTo.empty() &&
           (sameText(subscribeTo, unsubscribeTo) || sameText(subscribeTo + ",", unsubscribeTo));
}

}  // namespace

std::string requestOverlapWarning(const MailingList& list) {
    std::string shared;
    if (sameAddress(list.onsubscribeto, list.onunsubscribeto)) {
        shared = "the To address \"" + list.onsubscribeto + "\"";
    }
    if (!list.onsubscribesubject.empty() &&
        sameText(list.onsubscribesubject, list.onunsubscribesubject)) {
        shared += (shared.empty() ? "" : " and ") + std::string("the Subject \"") +
                  list.onsubscribesubject + "\"";
    }
    if (shared.empty()) {
        return {};
    }
    return "Warning: subscribe and unsubscribe both match " + shared +
           ". A request matches on To OR Subject, so every such message would add its sender "
           "to " +
           list.Name +
           " and remove them again in the same run.\n\nTo fix it, give the two requests "
           "different To addresses, or match them on different Subjects (for example "
           "\"subscribe\" and \"unsubscribe\") and leave the unsubscribe To empty.";
}

}  // namespace vorel
