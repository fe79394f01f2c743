#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/RunState.h"
#include "store/Queue.h"
#include "store/Transaction.h"

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

// The messages of a run handled as processMessage handles one, but sharing
// one transaction until the group is committed (by count, or after about
// 50 ms): a run then writes the database a few times a second instead of
// once per message. The group's queue records are appended, noted under one
// of its ledger keys, right before its commit, and the messages acted on are
// deleted from the server only after it. A failing message has its own
// changes undone (a savepoint) and the rest of the group stays; a failing
// commit undoes the whole group, whose messages stay on the server. A run
// killed before a commit has the group handled again, none of it sent.
class MessageGroup {
public:
    explicit MessageGroup(RunContext& ctx);
    // Commits what is open, deleting nothing (the session is ending badly).
    ~MessageGroup();
    MessageGroup(const MessageGroup&) = delete;
    MessageGroup& operator=(const MessageGroup&) = delete;
    // processMessage within the group.
    bool handle(long messageNumber, const std::string& ledgerKey = {});
    // Commits when the group is big or old enough.
    void commitIfDue();
    // Commits the group; then deletes the messages acted on (when asked).
    // False when the commit failed and the group was undone.
    bool commit(bool deleteMessages = true);
    // Commits, then empties the queue's journal: every note's work is settled.
    void finish();

private:
    bool begin(const std::string& number);
    void undoGroup(const std::exception& e);
    void logError(const std::string& number, const std::string& what);
    struct Snapshot {
        RunCounters counters;
        std::vector<std::int64_t> rowCounters;
    };
    Snapshot snapshot() const;
    void restore(const Snapshot& s);

    RunContext& ctx_;
    QueueFiles files_;
    std::optional<Transaction> transaction_;  // the group's, while one is open
    std::chrono::steady_clock::time_point started_;
    Snapshot atStart_;
    std::string bytes_;              // the group's queue records, encoded
    std::string noteKey_;            // their note's key: a ledger key of the group
    std::vector<std::string> keys_;  // the ledger keys of the group's messages
    std::vector<long> numbers_;      // the group's messages
    std::vector<long> toDelete_;     // those acted on, deleted after the commit
};
// Whether processMessage will read the current message whole (a merge of its
// text, a forward, a post, a delivery report), judged from its header and the
// try's rows as the run driver left them; a guess that errs towards yes, for
// MailComponent::willFetch. The component's from, to and subject are the
// bare addresses the handling starts from. `requestsAhead` counts the
// subscribe requests to lists that ask to confirm said yes to in the run
// (from 0): no more than the run may confirm are read ahead.
bool mayReadWholeMessage(const RunContext& ctx, int& requestsAhead);

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

// Lines that one delivery report, or the subscribe requests a run leaves for
// the next, write to the log; the rest are counted in one more line.
inline constexpr int kReportLogLines = 20;

// What the handling of a run's messages leaves to its end: the requests left
// for the next run beyond those logged are counted, and expired pending
// requests and records of copies older than kCopyDays are dropped.
void afterMessages(RunContext& ctx);

// A delivery report by its header: multipart/report with report-type
// delivery-status, or a mailer daemon or postmaster with a null Return-Path
// (whose message must still hold a report).
bool looksLikeDeliveryReport(const MailComponent& mail, const std::string& fromAddress);
// A status that says the address is dead: 5.1.x or 5.2.1 (not 5.7.x, which
// is policy or spam filtering, nor any 4.x.x).
bool isHardBounce(const std::string& status);

}  // namespace vorel
