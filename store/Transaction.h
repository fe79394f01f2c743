#pragma once

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

}  // namespace vorel
