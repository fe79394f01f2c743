#pragma once

#include <exception>

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
