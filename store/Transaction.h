#pragma once

#include <exception>
#include <memory>

#include "store/Database.h"

namespace vorel {

// One change that spans several statements: begun on construction,
// committed by commit(), rolled back when the guard goes out of scope
// without it (an exception or an early return), so a failure half way
// leaves the rows as they were. Inside another transaction it joins that
// one (Database::begin), and a rollback ends the outer one too.
class Transaction {
public:
    explicit Transaction(Database& db) : db_(&db) { db_->begin(); }
    ~Transaction() {
        if (open_) {
            db_->rollback();
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit() {
        db_->commit();
        open_ = false;
    }
    void rollback() noexcept {
        if (open_) {
            open_ = false;
            db_->rollback();
        }
    }

private:
    Database* db_;
    bool open_ = true;
};

// Changes committed in batches (an import, the notes of a post's copies, a
// run's groups of messages): open() begins the batch's transaction when none
// is open, commit() commits it, and whatever is open when the batch is
// dropped, or at rollback(), is rolled back.
class TransactionBatch {
public:
    void open(Database& db) {
        if (!open_) {
            open_ = std::make_unique<Transaction>(db);
        }
    }
    bool isOpen() const { return open_ != nullptr; }
    // Nothing to do when no transaction is open; when the commit throws, the
    // transaction stays open until the batch rolls it back.
    void commit() {
        if (open_) {
            open_->commit();
            open_.reset();
        }
    }
    void rollback() noexcept { open_.reset(); }

private:
    // On the heap: GCC takes a Transaction inside std::optional for
    // uninitialised in some callers (-Wmaybe-uninitialized).
    std::unique_ptr<Transaction> open_;
};

// Part of the open transaction that can be undone alone (Database::mark):
// release() keeps it, and it is rolled back when the guard goes without
// release(), or at rollback(). The rest of the transaction stays.
class Savepoint {
public:
    explicit Savepoint(Database& db) : db_(&db) { db_->mark(); }
    ~Savepoint() { rollback(); }
    Savepoint(const Savepoint&) = delete;
    Savepoint& operator=(const Savepoint&) = delete;

    void release() {
        db_->releaseMark();
        open_ = false;
    }
    void rollback() noexcept {
        if (open_) {
            open_ = false;
            db_->rollbackToMark();
        }
    }

private:
    Database* db_;
    bool open_ = true;
};

// A bulk job that touches each page about once (an import, a post to every
// member) bounds the page cache while it runs: the default would grow to
// 64 MiB on a big list for no gain in speed.
class SmallCache {
public:
    SmallCache(Database& db, int kb) : db_(db) { db_.setCacheKb(kb); }
    ~SmallCache() {
        try {
            db_.setCacheKb(Database::kDefaultCacheKb);
        } catch (const std::exception&) {
            // Only the speed of later work on this connection suffers.
        }
    }
    SmallCache(const SmallCache&) = delete;
    SmallCache& operator=(const SmallCache&) = delete;

private:
    Database& db_;
};

}  // namespace vorel
