#pragma once

#include <string>

#include "core/MailComponent.h"

namespace vorel {

struct RunContext;

// The closing steps of a try after the POP3 session, in the run's order.
void runSendingStep(RunContext& ctx);       // sends msgqueue.txt, re-queues failures
void logStatistics(RunContext& ctx);        // the STATISTICS block
void sendLogEmail(RunContext& ctx);         // log.txt to txtEMAILLOG in pieces
void cleanUpMessageFiles(RunContext& ctx);  // *.msg unless records may name them
void startEndProgram(RunContext& ctx);      // txtRUNPROGRAM, detached

// A 4xx or 5xx reply that says the account, not this message or recipient,
// reached a sending limit, so that the step stops. By the enhanced status
// code first (RFC 3463): X.1.x, X.2.2, X.2.3 and X.3.4 are about the message
// or a recipient, and so is any refusal of one RCPT; X.4.5 (congestion, a
// daily quota) is the account's wherever it comes, and so is a 421 with a
// policy code (4.7.x). At MAIL FROM, after the data or as a 421: 4.7.x/5.7.x
// naming a limit or a rate, 5.5.3, or a reply without an enhanced code that
// names one.
bool isAccountLimitReply(const std::string& reply, SmtpStep step);

}  // namespace vorel
