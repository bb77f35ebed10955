// The scope holders of portvane's local databases: a connection, a prepared statement, and the
// guard of one transaction on a connection. An owner declares them in this order:
//
//     Sqlite3Connection db;            // closed last
//     ... open into db.handle ...
//     Sqlite3Transactor transactor(db.get());
//     Sqlite3Statement statement;      // finalised first
//
// so that leaving the scope finalises the statement, then ends the transaction, then closes the
// connection. None of them is copied; each is used on its owner's thread.
#pragma once

#include <sqlite3.h>

namespace portvane {

// Owns one connection (null = none) and closes it on destruction.
class Sqlite3Connection {
public:
    Sqlite3Connection() = default;
    ~Sqlite3Connection() { close(); }
    Sqlite3Connection(const Sqlite3Connection&) = delete;
    Sqlite3Connection& operator=(const Sqlite3Connection&) = delete;

    sqlite3* get() const { return db_; }
    // Where sqlite_open stores the handle; anything held before is closed first.
    sqlite3** out() {
        close();
        return &db_;
    }
    void close() {
        if (db_) sqlite3_close(db_);
        db_ = nullptr;
    }

private:
    sqlite3* db_ = nullptr;
};

// Owns one prepared statement (null = none) and finalises it on destruction.
class Sqlite3Statement {
public:
    Sqlite3Statement() = default;
    ~Sqlite3Statement() { finalize(); }
    Sqlite3Statement(const Sqlite3Statement&) = delete;
    Sqlite3Statement& operator=(const Sqlite3Statement&) = delete;

    sqlite3_stmt* get() const { return statement_; }
    // Where sqlite3_preparef stores the handle; anything held before is finalised first.
    sqlite3_stmt** out() {
        finalize();
        return &statement_;
    }
    void finalize() {
        if (statement_) sqlite3_finalize(statement_);
        statement_ = nullptr;
    }

private:
    sqlite3_stmt* statement_ = nullptr;
};

// One transaction on a connection that the guard does not own. Made, it runs "BEGIN"; while it
// is open, commit runs "END" and rollback "ROLLBACK"; leaving the scope open ends it with
// "ROLLBACK" when the abort flag is set, else with "END". A statement that fails puts the guard
// in the failed state, in which it runs nothing more on the connection.
//
// An owner that fills the transaction in a loop sets the abort flag before the loop and clears
// it only once the loop is through, so that a failure or an exception that leaves the scope
// half-way keeps none of the rows.
class Sqlite3Transactor {
public:
    enum State { none = 0, open = 1, committed = 2, rolledBack = 3, failed = 4 };

    explicit Sqlite3Transactor(sqlite3* db);
    ~Sqlite3Transactor();
    Sqlite3Transactor(const Sqlite3Transactor&) = delete;
    Sqlite3Transactor& operator=(const Sqlite3Transactor&) = delete;

    // "END" while open: true when it succeeded (state committed); false, running nothing, in any
    // other state, and false with the state failed when "END" failed.
    bool commit();
    // "ROLLBACK" while open, as commit.
    bool rollback();

    void setAbort(bool abort) { abort_ = abort; }
    bool aborting() const { return abort_; }
    int state() const { return state_; }
    // The SQLite code of the last statement the guard ran.
    int result() const { return result_; }

private:
    bool end(const char* sql, State done);

    sqlite3* db_;
    int state_ = none;
    int result_ = SQLITE_OK;
    bool abort_ = false;
};

}  // namespace portvane
