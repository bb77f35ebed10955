// The shared SQLite helpers and scope holders on files of a fresh simulated machine, read back by
// the sqlite3 command line; and the safe file-name component of run and check ids.
#include "portvane/db/sqlite_helpers.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/win32.h"
#include "portvane/db/transaction_guard.h"
#include "portvane/safe_name.h"
#include "tools/testkit/machine_fixture.h"

namespace portvane::testing {
namespace {

using tovel::testing::host_of;
using tovel::testing::run_command;
using tovel::testing::shell_quote;

const char kPath[] = "C:\\ProgramData\\t\xc3\xa9st\\a.db";
const wchar_t kWidePath[] = L"C:\\ProgramData\\t\u00e9st\\a.db";

std::string sqliteCli(const std::string& sql) {
    std::string out;
    run_command("sqlite3 -readonly " + shell_quote(host_of(kWidePath)) + " " + shell_quote(sql),
                &out);
    return out;
}

TEST(SqliteHelpers, OpensByWindowsPathAndRunsStatementsScriptsAndFormats) {
    CreateDirectoryW(L"C:\\ProgramData\\t\u00e9st", nullptr);
    Sqlite3Connection db;
    // An existing file only: nothing is made.
    EXPECT_EQ(sqlite_open(kPath, SqliteOpen::read, db.out()), SQLITE_CANTOPEN);
    EXPECT_EQ(db.get(), nullptr);
    EXPECT_EQ(GetFileAttributesW(kWidePath), INVALID_FILE_ATTRIBUTES);
    ASSERT_EQ(sqlite_open(kPath, SqliteOpen::create, db.out()), SQLITE_OK);

    // A script whose statements all complete is 0, PRAGMA rows and all.
    EXPECT_EQ(sqlite3_script_exec(db.get(), "PRAGMA journal_mode=MEMORY;PRAGMA synchronous=OFF;"),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_script_exec(db.get(), "create table t(a, b INTEGER); "), SQLITE_OK);
    // The first failing statement ends the script: the insert after it is not run.
    EXPECT_EQ(sqlite3_script_exec(db.get(),
                                  "insert into nothing values(1);insert into t "
                                  "values('x',1);"),
              SQLITE_ERROR);
    EXPECT_EQ(sqlite3_direct_exec(db.get(), "insert into t values('one', 1)"), SQLITE_OK);
    // One statement only: a second one in the text is refused, and nothing of it runs.
    EXPECT_NE(sqlite3_direct_exec(db.get(), "insert into t values('x',2); delete from t"),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_direct_exec(db.get(), "select * from t"), SQLITE_OK);
    // Quoting and 64-bit values.
    const long long big = 0x123456789abLL;
    EXPECT_EQ(sqlite3_direct_execf(db.get(), "insert into t values(%Q, '%lld')", "it's \"q\"", big),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_direct_execf(db.get(), "insert into t values(%Q, %lld)", nullptr, -1LL),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_direct_execf(db.get(), "insert into t values('%q%%', 3)", "a'b"), SQLITE_OK);

    Sqlite3Statement statement;
    ASSERT_EQ(sqlite3_preparef(db.get(), statement.out(), "select a, b from t where b = %lld", big),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement.get()), SQLITE_ROW);
    EXPECT_STREQ(sqlite_text(statement.get(), 0), "it's \"q\"");
    EXPECT_EQ(sqlite3_column_int64(statement.get(), 1), big);
    EXPECT_EQ(sqlite3_step(statement.get()), SQLITE_DONE);
    ASSERT_EQ(sqlite3_preparef(db.get(), statement.out(), "select a from t where b = -1"),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement.get()), SQLITE_ROW);
    EXPECT_STREQ(sqlite_text(statement.get(), 0), "");  // NULL reads as ""
    sqlite3_stmt* bad = reinterpret_cast<sqlite3_stmt*>(1);
    EXPECT_NE(sqlite3_preparef(db.get(), &bad, "select nothing from %s", "t"), SQLITE_OK);
    EXPECT_EQ(bad, nullptr);
    statement.finalize();
    db.close();

    // An independent reader finds the rows on the host file that the Windows path names.
    EXPECT_EQ(sqliteCli("select quote(a), b from t order by rowid"),
              "'one'|1\n'it''s \"q\"'|1250999896491\nNULL|-1\n'a''b%'|3\n");
}

TEST(SqliteHelpers, AWriterOfAnotherConnectionIsWaitedFor) {
    CreateDirectoryW(L"C:\\ProgramData\\t\u00e9st", nullptr);
    Sqlite3Connection first, second;
    ASSERT_EQ(sqlite_open(kPath, SqliteOpen::create, first.out()), SQLITE_OK);
    ASSERT_EQ(sqlite3_direct_exec(first.get(), "create table t(a)"), SQLITE_OK);
    ASSERT_EQ(sqlite_open(kPath, SqliteOpen::read, second.out()), SQLITE_OK);
    ASSERT_EQ(sqlite3_direct_exec(first.get(), "BEGIN IMMEDIATE"), SQLITE_OK);
    std::thread writer([&] {
        Sleep(100);  // the second connection is already waiting on the lock
        sqlite3_direct_exec(first.get(), "insert into t values(1)");
        sqlite3_direct_exec(first.get(), "END");
    });
    EXPECT_EQ(sqlite3_direct_exec(second.get(), "insert into t values(2)"), SQLITE_OK);
    writer.join();
    EXPECT_EQ(sqliteCli("select a from t order by a"), "1\n2\n");
}

int autocommit(sqlite3* db) { return sqlite3_get_autocommit(db); }

int rows(sqlite3* db) {
    Sqlite3Statement statement;
    if (sqlite3_preparef(db, statement.out(), "select count(*) from t") != SQLITE_OK) return -1;
    sqlite3_step(statement.get());
    return sqlite3_column_int(statement.get(), 0);
}

TEST(SqliteTransactor, EndsItsTransactionOnceAndRunsNothingAfterAFailure) {
    CreateDirectoryW(L"C:\\ProgramData\\t\u00e9st", nullptr);
    Sqlite3Connection db;
    ASSERT_EQ(sqlite_open(kPath, SqliteOpen::create, db.out()), SQLITE_OK);
    ASSERT_EQ(sqlite3_script_exec(db.get(),
                                  "PRAGMA foreign_keys=ON;"
                                  "create table p(k primary key);"
                                  "create table t(a references p(k) deferrable "
                                  "initially deferred);"),
              SQLITE_OK);
    {  // Left open: commits.
        Sqlite3Transactor transactor(db.get());
        EXPECT_EQ(transactor.state(), Sqlite3Transactor::open);
        sqlite3_direct_exec(db.get(), "insert into p values(1)");
        sqlite3_direct_exec(db.get(), "insert into t values(1)");
    }
    EXPECT_EQ(rows(db.get()), 1);
    {  // Left open with the abort flag set (as an exception leaves it): rolls back.
        try {
            Sqlite3Transactor transactor(db.get());
            transactor.setAbort(true);
            sqlite3_direct_exec(db.get(), "insert into t values(1)");
            throw std::runtime_error("half-way");
        } catch (const std::runtime_error&) {
        }
    }
    EXPECT_EQ(rows(db.get()), 1);
    EXPECT_TRUE(autocommit(db.get()));
    {  // "BEGIN" fails inside another transaction: failed, and nothing is run.
        ASSERT_EQ(sqlite3_direct_exec(db.get(), "BEGIN"), SQLITE_OK);
        {
            Sqlite3Transactor transactor(db.get());
            EXPECT_EQ(transactor.state(), Sqlite3Transactor::failed);
            EXPECT_EQ(transactor.result(), SQLITE_ERROR);
            EXPECT_FALSE(transactor.commit());
            EXPECT_FALSE(transactor.rollback());
        }
        EXPECT_FALSE(autocommit(db.get()));  // the outer transaction is still open
        ASSERT_EQ(sqlite3_direct_exec(db.get(), "ROLLBACK"), SQLITE_OK);
    }
    {  // A failed "END" (a deferred key is missing) leaves it failed: rollback runs nothing.
        Sqlite3Transactor transactor(db.get());
        sqlite3_direct_exec(db.get(), "insert into t values(2)");
        EXPECT_FALSE(transactor.commit());
        EXPECT_EQ(transactor.state(), Sqlite3Transactor::failed);
        EXPECT_EQ(transactor.result() & 0xff, SQLITE_CONSTRAINT);
        EXPECT_FALSE(transactor.rollback());
        EXPECT_FALSE(autocommit(db.get()));
        EXPECT_EQ(sqlite3_direct_exec(db.get(), "ROLLBACK"), SQLITE_OK);
    }
    {  // Explicit ends: once only.
        Sqlite3Transactor transactor(db.get());
        EXPECT_TRUE(transactor.rollback());
        EXPECT_EQ(transactor.state(), Sqlite3Transactor::rolledBack);
        EXPECT_FALSE(transactor.commit());
    }
    EXPECT_EQ(rows(db.get()), 1);
}

TEST(SafeFileName, TakesOneComponentOfTheDataFolder) {
    for (const char* good : {"7", "42", "0f5c3a2e-1b7d-4c1e-9f1a-2b3c4d5e6f70", "a b", "..a",
                             "r\xc3\xa9sum\xc3\xa9", "#all"}) {
        EXPECT_TRUE(isSafeFileName(good)) << good;
    }
    for (const char* bad : {"", ".", "..", "a/b", "a\\b", "C:", "a*", "a?", "\"", "<", ">", "|",
                            "a\tb", "a\x7f", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xc2\x85"}) {
        EXPECT_FALSE(isSafeFileName(bad)) << bad;
    }
    EXPECT_TRUE(isSafeFileName(std::string(128, 'x')));
    EXPECT_FALSE(isSafeFileName(std::string(129, 'x')));
    std::string wide;
    for (int i = 0; i < 128; ++i) wide += "\xc3\xa9";
    EXPECT_TRUE(isSafeFileName(wide));
    EXPECT_FALSE(isSafeFileName(wide + "x"));
    EXPECT_FALSE(isSafeFileName(std::string("a\0b", 3)));
}

}  // namespace
}  // namespace portvane::testing
