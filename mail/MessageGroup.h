#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "core/RunState.h"
#include "store/Queue.h"
#include "store/Transaction.h"

namespace vorel {

struct RunContext;
class MessageHandler;

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
    Database* db() const;
    bool begin(const std::string& number);
    // The steps of handle: the handler's passes (true when the handling
    // completed), the ledger entry, the undoing of a failed message, and the
    // message's queue records joining the group's (false when that failed
    // and the group was undone).
    bool runHandler(MessageHandler& handler);
    void noteInLedger(const MessageHandler& handler, const std::string& ledgerKey);
    void logFailure(const std::string& number, const std::exception& e);
    void undoGroup(const std::exception& e);
    void logError(const std::string& number, const std::string& what);
    struct Snapshot {
        RunCounters counters;
        std::vector<std::int64_t> rowCounters;
    };
    Snapshot snapshot() const;
    void restore(const Snapshot& s);
    void undoMessage(const MessageHandler& handler, const Snapshot& before,
                     std::optional<Savepoint>& mark, const std::string& ledgerKey);
    bool takeRecords(MessageHandler& handler, const std::string& number,
                     const std::string& ledgerKey, const Snapshot& before);

    RunContext& ctx_;
    QueueFiles files_;
    TransactionBatch transaction_;  // the group's, while one is open
    std::chrono::steady_clock::time_point started_;
    Snapshot atStart_;
    std::string bytes_;              // the group's queue records, encoded
    std::string noteKey_;            // their note's key: a ledger key of the group
    std::vector<std::string> keys_;  // the ledger keys of the group's messages
    std::vector<long> numbers_;      // the group's messages
    std::vector<long> toDelete_;     // those acted on, deleted after the commit
};

}  // namespace vorel
