#pragma once

#include <string>

namespace vorel {

struct RunContext;
struct MailingList;
class MailComponent;

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
// bare addresses the handling starts from.
bool mayReadWholeMessage(const RunContext& ctx);

// True for a message that was itself sent automatically (Auto-Submitted other
// than "no", a mailer daemon or postmaster sender, or our own X-Mailer line);
// such messages are never answered, so two responders cannot loop.
bool isAutomaticMessage(const MailComponent& mail, const std::string& fromAddress);
// Mail that no autoresponder answers (RFC 3834): list mail, bulk mail and
// other robots' replies. Unsubscribe requests in it are still honoured.
bool isBulkOrAutoReply(const MailComponent& mail);

// Mail sent by a program, for `list`: never a post to it, a subscribe request
// or a confirmation, so that lists, relays and responders cannot feed each
// other (a copy of ours that comes back without our X-Mailer, a vacation
// reply to a confirmation). isAutomaticMessage, our own List-Id for the list,
// Precedence bulk, list or junk, a null Return-Path and auto-reply markers.
// Delivery reports (bounces) belong here too.
bool isAutomaticMail(const MailComponent& mail, const std::string& fromAddress,
                     const MailingList& list);

// A delivery report by its header: multipart/report with report-type
// delivery-status, or a mailer daemon or postmaster with a null Return-Path
// (whose message must still hold a report).
bool looksLikeDeliveryReport(const MailComponent& mail, const std::string& fromAddress);
// A status that says the address is dead: 5.1.x or 5.2.1 (not 5.7.x, which
// is policy or spam filtering, nor any 4.x.x).
bool isHardBounce(const std::string& status);

}  // namespace vorel
