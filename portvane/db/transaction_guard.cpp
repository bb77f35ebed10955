#include "portvane/db/transaction_guard.h"

#include "portvane/db/sqlite_helpers.h"

namespace portvane {

Sqlite3Transactor::Sqlite3Transactor(sqlite3* db) : db_(db) {
    result_ = sqlite3_direct_exec(db_, "BEGIN");
    state_ = result_ == SQLITE_OK ? open : failed;
}

Sqlite3Transactor::~Sqlite3Transactor() {
    if (state_ != open) return;
    if (abort_) {
        rollback();
    } else {
        commit();
    }
}

bool Sqlite3Transactor::end(const char* sql, State done) {
    if (state_ != open) return false;
    result_ = sqlite3_direct_exec(db_, sql);
    state_ = result_ == SQLITE_OK ? done : failed;
    return state_ == done;
}

bool Sqlite3Transactor::commit() { return end("END", committed); }

bool Sqlite3Transactor::rollback() { return end("ROLLBACK", rolledBack); }

}  // namespace portvane
