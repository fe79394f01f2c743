#include "forms/ListOverlap.h"

#include "mail/MessageRules.h"

namespace vorel {

std::string requestOverlapWarning(const MailingList& list) {
    // A message to the subscribe address, or with the subscribe Subject, as
    // the unsubscribe rule sees it.
    const RuleMatch both = asksToLeave(list, list.onsubscribeto, list.onsubscribesubject);
    std::string shared;
    if (both.to && !list.onsubscribeto.empty()) {
        shared = "the To address \"" + list.onsubscribeto + "\"";
    }
    if (both.subject && !list.onsubscribesubject.empty()) {
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
