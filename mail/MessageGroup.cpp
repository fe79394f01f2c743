#include "mail/MessageGroup.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/MailComponent.h"
#include "core/Reporter.h"
#include "mail/AutomaticMail.h"
#include "mail/MessageHandler.h"
#include "mail/Processing.h"
#include "store/Database.h"

namespace vorel {

namespace {

// A group is committed after this many messages or this long, whichever
// comes first: the database's write lock is never held much longer than one
// message's handling, and a killed run redoes at most this much.
constexpr std::size_t kGroupMessages = 100;
constexpr auto kGroupTime = std::chrono::milliseconds(50);

}  // namespace

bool processMessage(RunContext& ctx, long messageNumber, const std::string& ledgerKey) {
    MessageGroup group(ctx);
    const bool changed = group.handle(messageNumber, ledgerKey);
    group.finish();
    return changed;
}

MessageGroup::MessageGroup(RunContext& ctx) : ctx_(ctx), files_(ctx.folder) {}

MessageGroup::~MessageGroup() {
    try {
        commit(false);
    } catch (...) {
        // Nothing more can be done here; the journal settles it next run.
    }
}

void MessageGroup::logError(const std::string& number, const std::string& what) {
    ctx_.report.addLogLine("Error Processing " + number + " " + what +
                           " Please email this error to " + kSupportAddress);
}

MessageGroup::Snapshot MessageGroup::snapshot() const {
    Snapshot s{ctx_.state.counters, {}};
    for (const Autoresponder& a : *ctx_.state.autoresponderRows) {
        s.rowCounters.push_back(a.Counter);
    }
    return s;
}

void MessageGroup::restore(const Snapshot& s) {
    ctx_.state.counters = s.counters;
    for (std::size_t i = 0; i < s.rowCounters.size(); ++i) {
        (*ctx_.state.autoresponderRows)[i].Counter = s.rowCounters[i];
    }
}

bool MessageGroup::begin(const std::string& number) {
    if (!db() || transaction_.isOpen()) {
        return true;
    }
    try {
        transaction_.open(*db());
    } catch (const StoreBusy&) {
        ctx_.state.databaseLocked = true;
        return false;
    } catch (const std::exception& e) {
        logError(number, e.what());
        return false;
    }
    started_ = std::chrono::steady_clock::now();
    atStart_ = snapshot();
    return true;
}

bool MessageGroup::handle(long messageNumber, const std::string& ledgerKey) {
    const std::string number = std::to_string(messageNumber);
    // The message's database changes, the notes of its records and its
    // ledger entry are committed together with the group's, right after the
    // group's records are appended to the queue. A message whose transaction
    // cannot start is not handled: it stays on the server for the next run.
    if (!ctx_.state.autoresponderRows || !ctx_.state.listRows) {
        throw std::logic_error("the rows of the try were not loaded");
    }
    if (!begin(number)) {
        return false;
    }
    // What the handling raises in memory goes back with its changes.
    const Snapshot before = snapshot();
    // The ledger key also names the message's appends to the queue, so that
    // a run killed before the commit has them taken out by the next run.
    MessageHandler handler(ctx_, messageNumber, db() ? ledgerKey : std::string(), &files_);
    std::optional<Savepoint> mark;
    bool completed = false;
    bool failed = false;
    try {
        if (db()) {
            mark.emplace(*db());
        }
        completed = runHandler(handler);
        noteInLedger(handler, ledgerKey);
        if (mark) {
            mark->release();
        }
    } catch (const std::exception& e) {
        logFailure(number, e);
        failed = true;
    }
    if (failed) {
        undoMessage(handler, before, mark, ledgerKey);
        return false;
    }
    if (!ledgerKey.empty()) {
        keys_.push_back(ledgerKey);
    }
    if (!takeRecords(handler, number, ledgerKey, before)) {
        return false;
    }
    handler.settled();
    numbers_.push_back(messageNumber);
    if (completed && handler.deletes()) {
        toDelete_.push_back(messageNumber);
    }
    if (!db()) {
        commit();  // nothing to group: appended at once, as without a ledger
    }
    return handler.changed();
}

Database* MessageGroup::db() const {
    return ctx_.state.db ? &*ctx_.state.db : nullptr;
}

bool MessageGroup::runHandler(MessageHandler& handler) {
    if (handler.readDeliveryReport()) {
        return true;
    }
    if (isAutomaticMessage(ctx_.mail, ctx_.mail.from())) {
        ctx_.report.addLogLine("Message from:" + ctx_.mail.from() + " Subject: " +
                               ctx_.mail.subject() + " is an automatic message, not answered");
        return false;
    }
    handler.run();
    return true;
}

void MessageGroup::noteInLedger(const MessageHandler& handler, const std::string& ledgerKey) {
    if (!db() || !handler.changed() || ledgerKey.empty()) {
        return;
    }
    if (handler.leftOnServer()) {
        db()->markLeft(ledgerKey);
    } else {
        db()->markHandled(ledgerKey);
    }
}

void MessageGroup::logFailure(const std::string& number, const std::exception& e) {
    if (dynamic_cast<const StoreBusy*>(&e) != nullptr) {
        ctx_.state.databaseLocked = true;  // the run says so, once
    } else if (const auto* m = dynamic_cast<const MailError*>(&e)) {
        // A message file's failure names the file and why (a refused link, a full disk).
        logError(number,
                 mailErrorText(m->code()) +
                     (m->code() == mailcode::kFile ? " " + std::string(e.what()) : std::string()));
    } else {
        logError(number, e.what());
    }
}

void MessageGroup::undoMessage(const MessageHandler& handler, const Snapshot& before,
                               std::optional<Savepoint>& mark, const std::string& ledgerKey) {
    // Nothing of the message is kept, queued or counted: a handling cut
    // short must not send half its mail, nor all of it again next time.
    restore(before);
    if (db() && !db()->inTransaction()) {
        // SQLite undid the whole transaction: the group goes with it.
        undoGroup(std::runtime_error("the transaction was ended by the database"));
    } else if (mark) {
        mark->rollback();
    }
    if (handler.journaled()) {
        // Records of the message went to the queue already: the group is
        // committed first, so that every other note is of committed work.
        const std::string own = db() ? ledgerKey : std::string();
        commit();
        try {
            files_.settle([&own](const std::string& key) { return key != own; });
        } catch (const std::exception&) {
            // Left for the next run to settle.
        }
    }
}

bool MessageGroup::takeRecords(MessageHandler& handler, const std::string& number,
                               const std::string& ledgerKey, const Snapshot& before) {
    if (handler.journaled()) {
        // Its first records are in the queue under its own note: the rest follow them.
        try {
            handler.flushQueue();
        } catch (const std::exception& e) {
            restore(before);
            logFailure(number, e);
            undoGroup(e);
            return false;
        }
        return true;
    }
    const std::string queued = handler.takeQueued();
    if (!queued.empty()) {
        bytes_ += queued;
        if (noteKey_.empty() && db()) {
            noteKey_ = ledgerKey;
        }
    }
    return true;
}

void MessageGroup::commitIfDue() {
    if (numbers_.size() >= kGroupMessages || bytes_.size() > 4 * 1024 * 1024 ||
        (transaction_.isOpen() && std::chrono::steady_clock::now() - started_ >= kGroupTime)) {
        commit();
    }
}

void MessageGroup::undoGroup(const std::exception& e) {
    transaction_.rollback();
    if (!numbers_.empty()) {
        restore(atStart_);
        if (dynamic_cast<const StoreBusy*>(&e) != nullptr) {
            ctx_.state.databaseLocked = true;
        } else {
            for (long n : numbers_) {
                logError(std::to_string(n), e.what());
            }
        }
    }
    // The group's records that reached the queue are taken out again.
    const std::vector<std::string> undone = keys_;
    try {
        files_.settle([&undone](const std::string& key) {
            return std::find(undone.begin(), undone.end(), key) == undone.end();
        });
    } catch (const std::exception&) {
        // Left for the next run to settle.
    }
    bytes_.clear();
    noteKey_.clear();
    keys_.clear();
    numbers_.clear();
    toDelete_.clear();
}

bool MessageGroup::commit(bool deleteMessages) {
    try {
        files_.append(bytes_, noteKey_);
        bytes_.clear();
        transaction_.commit();
    } catch (const std::exception& e) {
        undoGroup(e);
        return false;
    }
    noteKey_.clear();
    keys_.clear();
    numbers_.clear();
    const std::vector<long> acted = std::exchange(toDelete_, {});
    if (deleteMessages) {
        // Only now: a message deleted while its handling could still be
        // undone would never be answered.
        for (long n : acted) {
            try {
                ctx_.mail.selectMessage(n);
                ctx_.mail.deleteMessage();
            } catch (const std::exception&) {
                // Left on the server; the ledger has the next run delete it.
            }
        }
    }
    return true;
}

void MessageGroup::finish() {
    if (commit()) {
        files_.finish();
    }
}

}  // namespace vorel
