#pragma once

#include <string>

namespace vorel {

struct RunContext;

// The closing steps of a try after the POP3 session, in the run's order.
void runSendingStep(RunContext& ctx);       // sends msgqueue.txt, re-queues failures
void logStatistics(RunContext& ctx);        // the STATISTICS block
void sendLogEmail(RunContext& ctx);         // log.txt to txtEMAILLOG in pieces
void cleanUpMessageFiles(RunContext& ctx);  // *.msg unless records may name them
void startEndProgram(RunContext& ctx);      // txtRUNPROGRAM, detached

// A 4xx or 5xx reply that says the account reached a sending limit: enhanced
// status 4.7.0, 4.5.3, 5.4.5 or 5.5.3, or a text that names a limit or a rate.
bool isSendingLimitReply(const std::string& reply);

}  // namespace vorel
