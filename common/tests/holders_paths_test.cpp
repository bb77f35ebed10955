// Scope holders (common/holders.h), shared folder searches
// (common/find_file_handle.h) and the data-folder paths (common/appdata_path.h).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/find_file_handle.h"
#include "common/holders.h"
#include "platform/win32.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::write_host_file;

namespace {

HANDLE open_new_file(const wchar_t* path) {
    HANDLE handle =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    return handle;
}

// True when the handle no longer names an object of the layer.
bool is_closed(HANDLE handle) {
    SetLastError(0);
    return !CloseHandle(handle) && GetLastError() == ERROR_INVALID_HANDLE;
}

bool host_folder_exists(const std::wstring& path) {
    struct stat st;
    return ::stat(host_of(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool host_entry_exists(const std::wstring& path) {
    struct stat st;
    return ::lstat(host_of(path).c_str(), &st) == 0;
}

}  // namespace

TEST(ScopedHandle, ClosesAtTheEndOfItsScope) {
    HANDLE handle = open_new_file(L"C:\\a.txt");
    {
        scoped_handle holder(handle);
        EXPECT_TRUE(holder.valid());
        EXPECT_EQ(holder.get(), handle);
    }
    EXPECT_TRUE(is_closed(handle));
}

TEST(ScopedHandle, EmptyAndInvalidAreNotValidAndNotClosed) {
    scoped_handle empty;
    EXPECT_FALSE(empty.valid());
    EXPECT_EQ(empty.get(), nullptr);
    scoped_handle invalid(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(invalid.valid());
    SetLastError(0);
    invalid.close();  // must not ask the layer to close -1
    EXPECT_EQ(invalid.get(), nullptr);
    EXPECT_EQ(GetLastError(), 0u);
}

TEST(ScopedHandle, ResetCloseAndRelease) {
    HANDLE first = open_new_file(L"C:\\a.txt");
    HANDLE second = open_new_file(L"C:\\b.txt");
    scoped_handle holder(first);
    holder.reset(second);
    EXPECT_TRUE(is_closed(first));
    EXPECT_EQ(holder.get(), second);
    EXPECT_EQ(holder.release(), second);
    EXPECT_EQ(holder.get(), nullptr);
    EXPECT_FALSE(is_closed(second));  // released, not closed: this closes it
    HANDLE third = open_new_file(L"C:\\c.txt");
    holder.reset(third);
    holder.close();
    EXPECT_EQ(holder.get(), nullptr);
    EXPECT_TRUE(is_closed(third));
}

TEST(ScopedHandle, MoveHandsOverOwnership) {
    HANDLE first = open_new_file(L"C:\\a.txt");
    HANDLE second = open_new_file(L"C:\\b.txt");
    scoped_handle a(first);
    scoped_handle b(std::move(a));
    EXPECT_EQ(a.get(), nullptr);
    EXPECT_EQ(b.get(), first);

    scoped_handle c(second);
    c = std::move(b);  // c's own handle is closed, b's moves over
    EXPECT_TRUE(is_closed(second));
    EXPECT_EQ(b.get(), nullptr);
    EXPECT_EQ(c.get(), first);

    scoped_handle& same = c;
    c = std::move(same);  // moving onto itself keeps the handle open
    EXPECT_EQ(c.get(), first);
    c.reset();
    EXPECT_TRUE(is_closed(first));
}

TEST(LastErrorRestorer, RestoresUnlessDismissed) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    {
        last_error_restorer keep;
        EXPECT_EQ(keep.saved(), ERROR_FILE_NOT_FOUND);
        SetLastError(ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    {
        last_error_restorer keep;
        SetLastError(ERROR_ACCESS_DENIED);
        keep.dismiss();
    }
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    {
        last_error_restorer keep(ERROR_DISK_FULL);
        EXPECT_EQ(keep.saved(), ERROR_DISK_FULL);
    }
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
}

TEST(RpcStringHolder, HoldsTheTextAndFreesIt) {
    // A leak of the text would fail the leak check at the end of the process.
    rpc_string_holder empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.c_str(), nullptr);

    UUID uuid;
    ASSERT_EQ(UuidCreate(&uuid), RPC_S_OK);
    rpc_string_holder text;
    ASSERT_EQ(UuidToStringA(&uuid, text.out()), RPC_S_OK);
    EXPECT_FALSE(text.empty());
    ASSERT_NE(text.c_str(), nullptr);
    EXPECT_EQ(std::strlen(text.c_str()), 36u);
    UUID back;
    EXPECT_EQ(UuidFromStringA(*text.out(), &back), RPC_S_OK);
    EXPECT_EQ(std::memcmp(&back, &uuid, sizeof uuid), 0);
}

TEST(FindFileHandle, ListsEntriesInNameOrder) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\list", nullptr));
    for (const char* name : {"beta", "Zeta", "alpha2", "Alpha", "gamma"})
        write_host_file(host_of(L"C:\\list") + "/" + name, "x");
    ASSERT_TRUE(CreateDirectoryW(L"C:\\list\\delta", nullptr));

    find_file_handle search;
    ASSERT_TRUE(search.first(L"C:\\list\\*"));
    EXPECT_EQ(search.last_error(), 0u);
    std::vector<std::wstring> names;
    do names.push_back(search.data().cFileName);
    while (search.next());
    EXPECT_EQ(search.last_error(), ERROR_NO_MORE_FILES);
    EXPECT_EQ(names, (std::vector<std::wstring>{L".", L"..", L"Alpha", L"alpha2", L"beta", L"delta",
                                                L"gamma", L"Zeta"}));
}

TEST(FindFileHandle, FailedStartsKeepTheirError) {
    find_file_handle missing;
    EXPECT_FALSE(missing.first(L"C:\\missing\\*"));
    EXPECT_EQ(missing.last_error(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    SetLastError(0);
    EXPECT_FALSE(missing.next());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    find_file_handle none;
    EXPECT_FALSE(none.first(L"C:\\ProgramData\\*.nothing"));
    EXPECT_EQ(none.last_error(), ERROR_FILE_NOT_FOUND);

    // A failed start after a running one ends the running search.
    find_file_handle again;
    ASSERT_TRUE(again.first(L"C:\\*"));
    HANDLE running = again.get()->search;
    EXPECT_FALSE(again.first(L"C:\\missing\\*"));
    WIN32_FIND_DATAW data;
    EXPECT_FALSE(FindNextFileW(running, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(FindFileHandle, SharedRecordClosesAtTheLastRelease) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\shared", nullptr));
    for (const char* name : {"a", "b", "c"})
        write_host_file(host_of(L"C:\\shared") + "/" + name, "");
    find_file_handle first;
    ASSERT_TRUE(first.first(L"C:\\shared\\*"));
    HANDLE search = first.get()->search;
    find_file_handle copy(first);
    EXPECT_EQ(copy.get(), first.get());
    EXPECT_EQ(first.get()->references, 2);

    first.release();
    EXPECT_EQ(first.get(), nullptr);
    EXPECT_EQ(first.last_error(), ERROR_INVALID_HANDLE);
    ASSERT_NE(copy.get(), nullptr);
    EXPECT_EQ(copy.get()->references, 1);
    EXPECT_TRUE(copy.next());  // the search goes on through the copy
    EXPECT_STREQ(copy.data().cFileName, L"..");

    copy.release();
    EXPECT_EQ(copy.get(), nullptr);
    WIN32_FIND_DATAW data;
    EXPECT_FALSE(FindNextFileW(search, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(FindFileHandle, AssignmentSharesAndDropsTheOldRecord) {
    find_file_handle a;
    ASSERT_TRUE(a.first(L"C:\\*"));
    find_file_handle b;
    ASSERT_TRUE(b.first(L"C:\\ProgramData\\..\\*"));
    HANDLE b_search = b.get()->search;
    b = a;
    EXPECT_EQ(b.get(), a.get());
    EXPECT_EQ(a.get()->references, 2);
    WIN32_FIND_DATAW data;
    EXPECT_FALSE(FindNextFileW(b_search, &data));  // b's own search was its last holder's
    find_file_handle& same = b;
    b = same;  // assigned to itself
    EXPECT_EQ(a.get()->references, 2);
}

TEST(FindFileHandle, ReleaseOfANeverStartedSearch) {
    find_file_handle never;
    EXPECT_EQ(never.last_error(), 0u);
    SetLastError(0);
    never.release();  // FindClose fails on the unstarted search; nothing crashes
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(never.get(), nullptr);
    never.release();  // an empty holder releases nothing
    EXPECT_EQ(never.last_error(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(never.first(L"C:\\*"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(FindFileHandle, NegativeCountIsSetToZeroAndKept) {
    find_file_handle holder;
    find_file_handle::record* record = holder.get();
    record->references = -3;
    holder.release();
    EXPECT_EQ(holder.get(), nullptr);
    EXPECT_EQ(record->references, 0);  // still there: the test frees it
    delete record;
}

TEST(AppdataPath, CommonFolderPlusSubPathIsCreated) {
    std::wstring out = L"stale";
    ASSERT_TRUE(common_appdata_path(out, L"\\one\\two"));
    EXPECT_EQ(out, L"C:\\ProgramData\\one\\two");
    EXPECT_TRUE(host_folder_exists(out));
    EXPECT_EQ(host_of(out), tovel::testing::machine_root() + "/drives/c/ProgramData/one/two");
    ASSERT_TRUE(common_appdata_path(out, L"\\one\\two"));  // existing folders are fine
    EXPECT_EQ(out, L"C:\\ProgramData\\one\\two");
    ASSERT_TRUE(common_appdata_path(out, nullptr));
    EXPECT_EQ(out, L"C:\\ProgramData");
}

TEST(AppdataPath, UnmakeableFolderIsNotReported) {
    write_host_file(host_of(L"C:\\ProgramData\\file"), "x");
    std::wstring out;
    EXPECT_TRUE(common_appdata_path(out, L"\\file\\below"));
    EXPECT_EQ(out, L"C:\\ProgramData\\file\\below");
    EXPECT_FALSE(host_entry_exists(out));
}

TEST(AppdataPath, JobFoldersAreCreated) {
    const std::wstring jobs = std::wstring(L"C:\\ProgramData") + tovel::kJobsSubFolder;
    std::wstring out;
    ASSERT_TRUE(job_activity_path(out, "j1"));
    EXPECT_EQ(out, jobs + L"\\j1\\act");
    EXPECT_TRUE(host_folder_exists(out));
    ASSERT_TRUE(job_volume_path(out, "j1"));
    EXPECT_EQ(out, jobs + L"\\j1\\act\\vol");
    EXPECT_TRUE(host_folder_exists(out));
    ASSERT_TRUE(job_temp_path(out, "j1"));
    EXPECT_EQ(out, jobs + L"\\j1\\tmp");
    EXPECT_TRUE(host_folder_exists(out));
    EXPECT_EQ(job_temp_path("j2"), jobs + L"\\j2\\tmp");
    EXPECT_TRUE(host_folder_exists(jobs + L"\\j2\\tmp"));
}

TEST(AppdataPath, NullJobIdCountsAsEmpty) {
    std::wstring out;
    ASSERT_TRUE(job_activity_path(out, nullptr));
    EXPECT_EQ(out, L"C:\\ProgramData\\morvask\\Tovel\\job\\\\act");
    EXPECT_TRUE(host_folder_exists(out));
    EXPECT_TRUE(host_folder_exists(L"C:\\ProgramData\\morvask\\Tovel\\job\\act"));
}

TEST(AppdataPath, HistoryPathCreatesTheRunsOwnFolder) {
    std::wstring out;
    ASSERT_TRUE(job_history_path(out, "j1", "run-7"));
    EXPECT_EQ(out, L"C:\\ProgramData\\morvask\\Tovel\\job\\j1\\hist\\run-7");
    EXPECT_TRUE(host_folder_exists(out));
    // A non-ASCII job id and run name reach the host as UTF-8.
    ASSERT_TRUE(job_history_path(out, "j\xc3\xa9", "r\xe2\x82\xac"));
    EXPECT_EQ(out, L"C:\\ProgramData\\morvask\\Tovel\\job\\j\u00e9\\hist\\r\u20ac");
    EXPECT_TRUE(host_folder_exists(out));
    ASSERT_TRUE(job_history_path(out, "j1", nullptr));
    EXPECT_EQ(out, L"C:\\ProgramData\\morvask\\Tovel\\job\\j1\\hist\\");
}

TEST(AppdataPath, SourcePathIsAFileNameInTheActivityFolder) {
    std::wstring source = job_source_path("j1");
    EXPECT_EQ(source, L"C:\\ProgramData\\morvask\\Tovel\\job\\j1\\act\\src");
    EXPECT_TRUE(host_folder_exists(L"C:\\ProgramData\\morvask\\Tovel\\job\\j1\\act"));
    EXPECT_FALSE(host_entry_exists(source));
}

TEST(PathJoin, OneBackSlashBetween) {
    std::wstring out;
    EXPECT_EQ(path_join(L"C:\\a\\", L"b", out), L"C:\\a\\b");
    EXPECT_EQ(&path_join(L"C:\\a", L"b", out), &out);
    EXPECT_EQ(out, L"C:\\a\\b");
    EXPECT_EQ(path_join(L"", L"b", out), L"\\b");
    EXPECT_EQ(path_join(nullptr, L"b", out), L"\\b");
    EXPECT_EQ(path_join(L"C:\\a", nullptr, out), L"C:\\a\\");
    EXPECT_EQ(path_join(L"C:\\", L"b", out), L"C:\\b");
}

TEST(PathJoin, OutputMayBeTheFolder) {
    std::wstring path = L"C:\\a";  // short: joining must not read it after it grows
    path_join(path.c_str(), L"b", path);
    EXPECT_EQ(path, L"C:\\a\\b");
    std::wstring name = L"n";
    path_join(L"C:\\d", name.c_str(), name);
    EXPECT_EQ(name, L"C:\\d\\n");
    path_join_number(path.c_str(), 12, path);
    EXPECT_EQ(path, L"C:\\a\\b\\12");
}

TEST(PathJoin, NumberAsDecimalText) {
    std::wstring out;
    EXPECT_EQ(path_join_number(L"C:\\runs", UINT64_MAX, out), L"C:\\runs\\18446744073709551615");
    EXPECT_EQ(path_join_number(L"C:\\runs\\", 0, out), L"C:\\runs\\0");
}
