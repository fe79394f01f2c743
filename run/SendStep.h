#pragma once

namespace vorel {

struct RunContext;

// The closing steps of a try after the POP3 session, in the run's order.
void runSendingStep(RunContext& ctx);       // sends msgqueue.txt, re-queues failures
void logStatistics(RunContext& ctx);        // the STATISTICS block
void sendLogEmail(RunContext& ctx);         // log.txt to txtEMAILLOG in pieces
void cleanUpMessageFiles(RunContext& ctx);  // *.msg unless records may name them
void startEndProgram(RunContext& ctx);      // txtRUNPROGRAM, detached

}  // namespace vorel
