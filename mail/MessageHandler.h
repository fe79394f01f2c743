#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/TextCompare.h"
#include "core/RunState.h"
#include "mail/Outbound.h"
#include "store/Queue.h"

// Inside the mail layer only: processMessage and MessageGroup (mail/Processing.h)
// are the interface.
namespace vorel {

struct Autoresponder;
struct MailingList;

// The handling of one message. From, To and Subject are the values the run
// driver left on the component when the handling began; fetching the whole
// message later replaces the component's values with the raw header's.
class MessageHandler {
public:
    MessageHandler(RunContext& ctx, long number, const std::string& ledgerKey, QueueFiles* files)
        : ctx_(ctx),
          autoresponders_(loaded(ctx.state.autoresponderRows)),
          lists_(loaded(ctx.state.listRows)),
          number_(std::to_string(number)),
          from_(ctx.mail.from()),
          to_(ctx.mail.to()),
          subject_(ctx.mail.subject()),
          batch_(ctx.folder, ledgerKey, files) {}

    void run();
    // Reads a delivery report: logged, hard bounces counted, never answered;
    // false when the message is not one.
    bool readDeliveryReport();
    // Something was queued or stored for this message.
    bool changed() const { return changed_; }
    // Judged once and left on the server on purpose: later runs pass over it.
    bool leftOnServer() const { return leftOnServer_; }
    // Appends the records queued for the message (throws when it cannot).
    void flushQueue() { batch_.flush(); }
    // Some of its records were appended already (a message of very many).
    bool journaled() const { return batch_.journaled(); }
    // The records held, for the group to append.
    std::string takeQueued() { return batch_.take(); }
    // The message is to be deleted once its handling is committed.
    bool deletes() const { return leaveIsOff() && actedOn_; }
    // The message's changes are committed: its records stay queued.
    void settled() { batch_.settled(); }

private:
    Database& db();
    void queue(const QueueRecord& record, OutboundKind kind, const std::string& listName = "") {
        queueNoted(ctx_.state.db ? &*ctx_.state.db : nullptr, batch_, record, kind, listName);
    }
    bool leaveIsOff() const { return !lineIsOnUnlessZero(ctx_.state.settings.chkLEAVE); }
    // Replies, welcomes and farewells go to one address only (logged once).
    bool senderIsOneAddress();
    void autoresponderPass();
    void carryOut(const Autoresponder& row);
    void forward(const Autoresponder& row);
    void listPass();
    void subscribe(const MailingList& list);
    bool subscribeRequest(const MailingList& list) const;
    // Confirmed subscriptions (mail/Subscriptions.h).
    bool asksToConfirm(const MailingList& list);
    void askToConfirm(const MailingList& list);
    void confirm(const std::string& token);
    bool waitsForNextRun();
    // Nothing to queue or store, but the message is dealt with: the ledger
    // keeps the next run from logging it again.
    void dealtWith() {
        changed_ = true;
        actedOn_ = actedOn_ || leaveIsOff();
    }
    bool automatic(const MailingList& list, const char* what, bool confirmation = false);
    void unsubscribe(const MailingList& list);
    void post(const MailingList& list);
    void fetchWholeMessage();
    // Puts back the values the driver left, so that later merges and rules
    // see the bare addresses again.
    void restoreHeaderValues();

    template <typename Rows>
    static Rows& loaded(std::optional<Rows>& rows) {
        if (!rows) {
            throw std::logic_error("the rows of the try were not loaded");
        }
        return *rows;
    }

    RunContext& ctx_;
    // The try's rows; counters raised here are seen by the next message.
    std::vector<Autoresponder>& autoresponders_;
    const std::vector<MailingList>& lists_;
    std::string number_;
    std::string from_, to_, subject_;
    QueueBatch batch_;
    bool actedOn_ = false;
    bool changed_ = false;
    bool leftOnServer_ = false;
    bool toldNotOne_ = false;
};

}  // namespace vorel
