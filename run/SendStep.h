#pragma once

namespace vorel {

struct RunContext;

// The closing steps of a try after the POP3 session, in the run's order.
void RunSendingStep(RunContext& ctx);       // sends msgqueue.txt, re-queues failures
void LogStatistics(RunContext& ctx);        // the STATISTICS block
void SendLogEmail(RunContext& ctx);         // log.txt to txtEMAILLOG in pieces
void CleanUpMessageFiles(RunContext& ctx);  // *.msg unless records may name them
void StartEndProgram(RunContext& ctx);      // txtRUNPROGRAM, detached

}  // namespace vorel
