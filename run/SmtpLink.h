#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/MailComponent.h"

namespace vorel {

struct RunContext;

// The run's one SMTP connection, kept in the run state between sends: opened
// by the first message of a try, renewed before the 31st message and then
// before every 31st, made anew by the sending step after a failed message.

// What became of one message: handed over, or failed with the component's
// code (0 for a failure that is not the component's) and the server's
// refusing reply line, if any.
struct MessageOutcome {
    bool sent = false;
    int error = 0;
    std::string reply;
    SmtpStep step = SmtpStep::Unknown;  // the command the reply answered
};

// Sends the messages in order, opening or renewing the connection first as
// needed, and logs each outcome. One outcome per message whose fate is known,
// in order (see MailComponent::sendBatch); the messages past
// messagesBeforeRenewal() get none. Only a failing log throws.
std::vector<MessageOutcome> sendMessages(RunContext& ctx, const std::string& host,
                                         const std::vector<OutgoingMessage>& messages);

// Composes (mail/Sender.h) and sends one message; true when it was handed over.
bool sendOneMessage(RunContext& ctx, const std::string& to, const std::string& from,
                    const std::string& host, const std::string& body, const std::string& subject,
                    const std::vector<std::string>& fields = {}, const std::string& envelope = "");

// How many messages the next sendMessages can take without crossing a
// renewal of the connection.
std::size_t messagesBeforeRenewal(const RunContext& ctx);

// After a failed message: closes the connection and opens it again on
// txtSMTP; the count of messages on the connection goes on. Throws as the
// component's connect does.
void reconnectAfterFailure(RunContext& ctx);

}  // namespace vorel
