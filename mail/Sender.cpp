#include "mail/Sender.h"

#include "base/Clock.h"
#include "base/TextCompare.h"
#include "core/Reporter.h"
#include "core/RunState.h"
#include "mail/Address.h"
#include "store/Queue.h"
#include "store/Settings.h"

namespace vorel {

namespace {

std::string messageRef(const LocalTime& t) {
    int seconds = t.hour * 3600 + t.minute * 60 + t.second;
    return std::to_string(t.year) + std::to_string(t.month) + std::to_string(t.day) +
           std::to_string(seconds) + "_KESO";
}

}  // namespace

OutgoingMessage composeMessage(const RunContext& ctx, std::string to, std::string from,
                               std::string body, std::string subject,
                               const std::vector<std::string>& fields,
                               const std::string& envelope) {
    OutgoingMessage message;
    std::string file = messageFileOfBody(ctx.folder, body);
    if (!file.empty()) {
        message.sourceFile = file;
    } else {
        message.contentType = "text";
        message.contentSubtype = body.find("<HTML>") != std::string::npos ? "html" : "plain";
        message.charset = "charset=us-ascii";
        message.transferEncoding = "8bit";
        message.body = std::move(body);
    }
    message.to = tidyAddress(checkchr255(to));
    message.copyTo = tidyAddress(ctx.state.settings.txtAUTOFORWARD);
    message.from = tidyAddress(checkchr255(from));
    message.sender = envelope.empty() ? message.from : envelope;
    message.subject = replaceAll(checkchr255(subject), "\r\n", " ");
    message.extraHeaders.push_back(std::string("X-Mailer: VOREL MAIL ") + kProductWebAddress +
                                   " GET YOURS FREE - This software must NOT be used for "
                                   "spamming");
    for (const std::string& field : fields) {
        // A list copy's own Message-ID, which its delivery reports return.
        if (field.rfind("Message-ID: <", 0) == 0 && field.back() == '>') {
            message.messageId = field.substr(13, field.size() - 14);
        } else {
            message.extraHeaders.push_back(field);
        }
    }
    message.messageRef = messageRef(ctx.clock.now());
    return message;
}

}  // namespace vorel
