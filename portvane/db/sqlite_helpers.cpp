#include "portvane/db/sqlite_helpers.h"

#include <cstdarg>
#include <cstring>

#include "platform/sqlite/sqlite_vfs.h"
#include "portvane/db/transaction_guard.h"

namespace portvane {

int sqlite_open(const char* path, SqliteOpen mode, sqlite3** db, int busyMs) {
    *db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (mode == SqliteOpen::create) flags |= SQLITE_OPEN_CREATE;
    sqlite3* handle = nullptr;
    int rc = sqlite3_open_v2(path ? path : "", &handle, flags, tovel::platform::sqlite_vfs_name());
    if (rc == SQLITE_OK) rc = sqlite3_busy_timeout(handle, busyMs);
    if (rc != SQLITE_OK) {
        sqlite3_close(handle);
        return rc;
    }
    *db = handle;
    return SQLITE_OK;
}

const char* sqlite_text(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text ? reinterpret_cast<const char*>(text) : "";
}

bool sqlite_owned_by(const char* path, const std::string& user) {
    Sqlite3Connection db;
    if (sqlite_open(path, SqliteOpen::read, db.out()) != SQLITE_OK) return false;
    Sqlite3Statement owner;
    if (sqlite3_prepare_v2(db.get(), "select 1 from owner where user = ?1;", -1, owner.out(),
                           nullptr) != SQLITE_OK)
        return false;
    sqlite3_bind_text(owner.get(), 1, user.data(), static_cast<int>(user.size()), SQLITE_TRANSIENT);
    return sqlite3_step(owner.get()) == SQLITE_ROW;
}

}  // namespace portvane

namespace {

bool onlySpace(const char* text) {
    for (; text && *text; ++text) {
        if (!std::strchr(" \t\r\n;", *text)) return false;
    }
    return true;
}

// Steps a prepared statement to its end: SQLITE_OK when it completed, else the error code.
int runToEnd(sqlite3_stmt* statement) {
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

}  // namespace

int sqlite3_direct_exec(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &statement, &tail);
    if (rc != SQLITE_OK) return rc;
    if (!statement) return SQLITE_OK;  // nothing but white space or a comment
    rc = onlySpace(tail) ? runToEnd(statement) : SQLITE_MISUSE;
    sqlite3_finalize(statement);
    return rc;
}

int sqlite3_direct_execf(sqlite3* db, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* sql = sqlite3_vmprintf(format, args);
    va_end(args);
    if (!sql) return SQLITE_NOMEM;
    int rc = sqlite3_direct_exec(db, sql);
    sqlite3_free(sql);
    return rc;
}

int sqlite3_preparef(sqlite3* db, sqlite3_stmt** statement, const char* format, ...) {
    *statement = nullptr;
    va_list args;
    va_start(args, format);
    char* sql = sqlite3_vmprintf(format, args);
    va_end(args);
    if (!sql) return SQLITE_NOMEM;
    int rc = sqlite3_prepare_v2(db, sql, -1, statement, nullptr);
    sqlite3_free(sql);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    } else if (!*statement) {
        rc = SQLITE_MISUSE;  // an empty statement gives nothing to step
    }
    return rc;
}

int sqlite3_script_exec(sqlite3* db, const char* script) {
    const char* next = script;
    while (next && *next) {
        sqlite3_stmt* statement = nullptr;
        const char* tail = nullptr;
        int rc = sqlite3_prepare_v2(db, next, -1, &statement, &tail);
        if (rc != SQLITE_OK) return rc;
        if (!statement) break;  // only white space or comments are left
        rc = runToEnd(statement);
        sqlite3_finalize(statement);
        if (rc != SQLITE_OK) return rc;
        next = tail;
    }
    return SQLITE_OK;
}
