#pragma once

#include <string>

namespace vorel {

struct RunContext;
class MailComponent;

// Handling of one message that passed the anti-spam test: the autoresponder
// pass, the mailing-list pass and the deletion of a message acted on. Errors
// end the message's handling with one "Error Processing " log line.
// The rows of the try (ctx.state.autoresponderRows and listRows) must be
// loaded, as the run driver loads them when it opens the database.
void processMessage(RunContext& ctx, long messageNumber);

// True for a message that was itself sent automatically (Auto-Submitted other
// than "no", a mailer daemon or postmaster sender, or our own X-Mailer line);
// such messages are never answered, so two responders cannot loop.
bool isAutomaticMessage(const MailComponent& mail, const std::string& fromAddress);

}  // namespace vorel
