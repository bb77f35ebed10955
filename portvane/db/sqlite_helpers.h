// The shared SQLite helpers of portvane's local databases: opening a database file by its
// Windows path, and four small functions over SQLite's formatting, execution and preparation
// that the databases' code calls. Each call runs on the caller's thread with the caller's
// connection; a connection is used by one thread at a time.
#pragma once

#include <sqlite3.h>

#include <string>

namespace portvane {

// How sqlite_open treats a missing file.
enum class SqliteOpen {
    read,    // an existing file only, read and written; a missing file fails (nothing is made)
    create,  // made when missing
};

// Opens the database file at path (a Windows path of the machine, UTF-8) and sets a busy
// time-out of busyMs milliseconds, so that a writer of another connection is waited for instead
// of failing at once. The SQLite result: SQLITE_OK with *db set, or an error code with *db null
// (a half-opened handle is closed here). The caller owns *db and closes it with sqlite3_close
// (see Sqlite3Connection).
int sqlite_open(const char* path, SqliteOpen mode, sqlite3** db, int busyMs = 5000);

// A column's text, "" for NULL (never a null pointer). Valid until the statement steps again.
const char* sqlite_text(sqlite3_stmt* statement, int column);

// Whether the existing database at path (as sqlite_open takes it) names user in its table
// owner(user): false when the file is missing, cannot be read or has no such table.
bool sqlite_owned_by(const char* path, const std::string& user);

}  // namespace portvane

// Runs one SQL statement to its end, reading no rows back. SQLITE_OK (0) when it completed,
// else its error code; text after the statement other than white space or ";" is an error and
// nothing is run.
int sqlite3_direct_exec(sqlite3* db, const char* sql);

// sqlite3_direct_exec of the statement that SQLite's printf language makes of format: "%Q" a
// quoted, escaped literal (NULL for a null pointer), "%q" the escaped text alone, "%lld" a 64-bit
// integer, which must be passed as long long (sqlite3_int64). SQLITE_NOMEM when the text cannot
// be made.
int sqlite3_direct_execf(sqlite3* db, const char* format, ...);

// Formats a statement as sqlite3_direct_execf does and prepares it into *statement, which the
// caller finalises (see Sqlite3Statement). SQLITE_OK, or the error code with *statement null.
int sqlite3_preparef(sqlite3* db, sqlite3_stmt** statement, const char* format, ...);

// Runs every statement of script in order, each to its end (rows of a PRAGMA are read and
// dropped). SQLITE_OK (0) when all of them completed, never SQLITE_DONE; else the code of the
// first one that failed, and the statements after it are not run.
int sqlite3_script_exec(sqlite3* db, const char* script);
