#pragma once

#include <string>

// The automatic-mail checks and the commit grouping live in their own files;
// callers of the message handling see them through this header.
#include "mail/AutomaticMail.h"
#include "mail/MessageGroup.h"

namespace vorel {

struct RunContext;

// Handling of one message that passed the anti-spam test: the autoresponder
// pass, the mailing-list pass and the deletion of a message acted on. Errors
// end the message's handling with one "Error Processing " log line and undo
// all of it (nothing queued, counted or stored; the message stays on the
// server); a database locked by another program sets
// ctx.state.databaseLocked instead of logging. Returns
// true when something was queued or stored for the message (then it must not
// be handled again, and `ledgerKey`, when given, is entered in the ledger in
// the same transaction as the message's other changes). The rows of the try
// (ctx.state.autoresponderRows and listRows) must be loaded, as the run driver loads them when it
// opens the database.
bool processMessage(RunContext& ctx, long messageNumber, const std::string& ledgerKey = {});

// Whether processMessage will read the current message whole (a merge of its
// text, a forward, a post, a delivery report), judged from its header and the
// try's rows as the run driver left them; a guess that errs towards yes, for
// MailComponent::willFetch. The component's from, to and subject are the
// bare addresses the handling starts from. `requestsAhead` counts the
// subscribe requests to lists that ask to confirm said yes to in the run
// (from 0): no more than the run may confirm are read ahead.
bool mayReadWholeMessage(const RunContext& ctx, int& requestsAhead);

// Lines that one delivery report, or the subscribe requests a run leaves for
// the next, write to the log; the rest are counted in one more line.
inline constexpr int kReportLogLines = 20;

// What the handling of a run's messages leaves to its end: the requests left
// for the next run beyond those logged are counted, and expired pending
// requests and records of copies older than kCopyDays are dropped.
void afterMessages(RunContext& ctx);

}  // namespace vorel
