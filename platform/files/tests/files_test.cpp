// Files and folders on the test machine: CreateFileW's dispositions and
// access, reads and writes, handles, sizes and pointers, removal and renames,
// times set through a handle, each failure with the code a Windows caller
// sees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/tests/helpers.h"
#include "platform/win32.h"
#include "tools/testkit/machine_fixture.h"

using platform_tests::Handle;
using platform_tests::open_file;
using tovel::testing::host_of;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

namespace {

bool write_text(HANDLE file, const std::string& text, DWORD* written = nullptr) {
    DWORD done = 12345;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    if (written) *written = done;
    return ok == TRUE;
}

std::string read_text(HANDLE file, DWORD chunk = 4096) {
    std::string out;
    std::vector<char> buffer(chunk);
    DWORD got = 0;
    while (ReadFile(file, buffer.data(), chunk, &got, nullptr) && got > 0)
        out.append(buffer.data(), got);
    return out;
}

LONGLONG size_of(HANDLE file) {
    LARGE_INTEGER size{};
    EXPECT_TRUE(GetFileSizeEx(file, &size));
    return size.QuadPart;
}

LONGLONG seek(HANDLE file, LONGLONG distance, DWORD method) {
    LARGE_INTEGER to{}, now{};
    to.QuadPart = distance;
    if (!SetFilePointerEx(file, to, &now, method)) return -1;
    return now.QuadPart;
}

// This process's descriptors that are open on the given host file.
std::vector<int> descriptors_on(const std::string& host_path) {
    std::vector<int> out;
    auto wanted = std::filesystem::canonical(host_path);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        auto target = std::filesystem::read_symlink(entry.path(), error);
        if (!error && target == wanted) out.push_back(std::stoi(entry.path().filename().string()));
    }
    return out;
}

}  // namespace

TEST(PlatformFileErrors, MissingFileGives2AndMissingFolderGives3) {
    write_host_file(host_of(L"C:\\file.txt"), "x");
    struct Case {
        const wchar_t* path;
        DWORD code;
    } cases[] = {
        {L"C:\\missing.txt", ERROR_FILE_NOT_FOUND},
        {L"C:\\nope\\missing.txt", ERROR_PATH_NOT_FOUND},
        {L"C:\\nope\\deeper\\missing.txt", ERROR_PATH_NOT_FOUND},
        {L"C:\\file.txt\\inside", ERROR_PATH_NOT_FOUND},  // a file on the way is no folder
        {L"Q:\\missing.txt", ERROR_PATH_NOT_FOUND},       // a drive the machine does not have
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        SetLastError(0);
        EXPECT_EQ(open_file(c.path, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.code);
        SetLastError(0);
        EXPECT_EQ(GetFileAttributesW(c.path), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), c.code);
        SetLastError(0);
        EXPECT_FALSE(DeleteFileW(c.path));
        EXPECT_EQ(GetLastError(), c.code);
    }
    // Creating in a missing folder cannot help either.
    EXPECT_EQ(open_file(L"C:\\nope\\new.txt", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\nope")));
}

TEST(PlatformFileErrors, FolderOpensOnlyForItsAttributes) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    EXPECT_EQ(open_file(L"C:\\dir", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(open_file(L"C:\\dir", GENERIC_WRITE, OPEN_ALWAYS, FILE_FLAG_BACKUP_SEMANTICS),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileW(L"C:\\dir"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    Handle folder(open_file(L"C:\\dir", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    ASSERT_TRUE(folder.valid());
    char byte;
    DWORD got = 7;
    EXPECT_FALSE(ReadFile(folder.get(), &byte, 1, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(std::filesystem::is_directory(host_of(L"C:\\dir")));
}

TEST(PlatformFileErrors, FullDiskGives112) {
    // Drive z is the host's root, so Z:\dev\full is the device that is always full.
    Handle full(open_file(L"Z:\\dev\\full", GENERIC_WRITE, OPEN_EXISTING));
    ASSERT_TRUE(full.valid()) << GetLastError();
    DWORD written = 99;
    EXPECT_FALSE(write_text(full.get(), "some bytes", &written));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(written, 0u);
}

TEST(PlatformFileErrors, FileWithoutPermissionIsDenied) {
    if (geteuid() == 0) GTEST_SKIP() << "root is never refused by file permissions";
    std::string host = host_of(L"C:\\locked.txt");
    write_host_file(host, "secret");
    ASSERT_EQ(::chmod(host.c_str(), 0444), 0);
    EXPECT_EQ(open_file(L"C:\\locked.txt", GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    Handle readable(open_file(L"C:\\locked.txt", GENERIC_READ, OPEN_EXISTING));
    EXPECT_TRUE(readable.valid());
    ASSERT_EQ(::chmod(host.c_str(), 0), 0);
    EXPECT_EQ(open_file(L"C:\\locked.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(PlatformCreateFile, CreateNewFailsWith80WhenTheFileExists) {
    SetLastError(77);
    Handle first(open_file(L"C:\\new.txt", GENERIC_WRITE, CREATE_NEW));
    ASSERT_TRUE(first.valid());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    ASSERT_TRUE(write_text(first.get(), "first"));
    EXPECT_EQ(open_file(L"C:\\new.txt", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(read_host_file(host_of(L"C:\\new.txt")), "first");
}

TEST(PlatformCreateFile, CreateAlwaysTruncatesAndReports183) {
    write_host_file(host_of(L"C:\\f.txt"), "old content");
    SetLastError(77);
    Handle existing(open_file(L"C:\\f.txt", GENERIC_WRITE, CREATE_ALWAYS));
    ASSERT_TRUE(existing.valid());
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(size_of(existing.get()), 0);
    EXPECT_EQ(read_host_file(host_of(L"C:\\f.txt")), "");

    SetLastError(77);
    Handle fresh(open_file(L"C:\\g.txt", GENERIC_WRITE, CREATE_ALWAYS));
    ASSERT_TRUE(fresh.valid());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
}

TEST(PlatformCreateFile, OpenAlwaysKeepsTheContentAndReports183) {
    write_host_file(host_of(L"C:\\f.txt"), "kept");
    SetLastError(77);
    Handle existing(open_file(L"C:\\f.txt", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS));
    ASSERT_TRUE(existing.valid());
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(read_text(existing.get()), "kept");

    SetLastError(77);
    Handle fresh(open_file(L"C:\\g.txt", GENERIC_READ, OPEN_ALWAYS));
    ASSERT_TRUE(fresh.valid());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_regular_file(host_of(L"C:\\g.txt")));
}

TEST(PlatformCreateFile, OpenAndTruncateExistingNeverCreate) {
    EXPECT_EQ(open_file(L"C:\\f.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open_file(L"C:\\f.txt", GENERIC_WRITE, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\f.txt")));

    write_host_file(host_of(L"C:\\f.txt"), "0123456789");
    Handle truncated(open_file(L"C:\\f.txt", GENERIC_WRITE, TRUNCATE_EXISTING));
    ASSERT_TRUE(truncated.valid());
    EXPECT_EQ(size_of(truncated.get()), 0);
}

TEST(PlatformCreateFile, AccessDecidesWhatTheHandleMayDo) {
    write_host_file(host_of(L"C:\\f.txt"), "abc");
    Handle reader(open_file(L"C:\\f.txt", GENERIC_READ, OPEN_EXISTING));
    ASSERT_TRUE(reader.valid());
    EXPECT_FALSE(write_text(reader.get(), "x"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetEndOfFile(reader.get()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(FlushFileBuffers(reader.get()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(read_text(reader.get()), "abc");

    Handle writer(open_file(L"C:\\f.txt", GENERIC_WRITE, OPEN_EXISTING));
    ASSERT_TRUE(writer.valid());
    char byte;
    DWORD got = 7;
    EXPECT_FALSE(ReadFile(writer.get(), &byte, 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(write_text(writer.get(), "X"));
    EXPECT_TRUE(FlushFileBuffers(writer.get()));
    EXPECT_EQ(read_host_file(host_of(L"C:\\f.txt")), "Xbc");

    // Append-only access writes at the end wherever the pointer stands.
    Handle appender(open_file(L"C:\\f.txt", FILE_APPEND_DATA, OPEN_EXISTING));
    ASSERT_TRUE(appender.valid());
    EXPECT_EQ(seek(appender.get(), 0, FILE_BEGIN), 0);
    EXPECT_TRUE(write_text(appender.get(), "++"));
    EXPECT_EQ(read_host_file(host_of(L"C:\\f.txt")), "Xbc++");
}

TEST(PlatformCreateFile, DeleteOnCloseRemovesTheFileAtTheLastClose) {
    HANDLE file = open_file(L"C:\\temp.bin", GENERIC_WRITE, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(write_text(file, "scratch"));
    EXPECT_TRUE(std::filesystem::exists(host_of(L"C:\\temp.bin")));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\temp.bin")));
}

TEST(PlatformReadWrite, WholeWritesAndZeroBytesAtTheEnd) {
    std::string data(10000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
    {
        Handle writer(open_file(L"C:\\data.bin", GENERIC_WRITE, CREATE_NEW));
        ASSERT_TRUE(writer.valid());
        DWORD written = 0;
        EXPECT_TRUE(write_text(writer.get(), data, &written));
        EXPECT_EQ(written, data.size());
        EXPECT_TRUE(write_text(writer.get(), "", &written));
        EXPECT_EQ(written, 0u);
    }
    EXPECT_EQ(read_host_file(host_of(L"C:\\data.bin")), data);

    Handle reader(open_file(L"C:\\data.bin", GENERIC_READ, OPEN_EXISTING));
    ASSERT_TRUE(reader.valid());
    std::vector<char> buffer(4096);
    std::vector<DWORD> counts;
    std::string back;
    for (int i = 0; i < 5; ++i) {
        DWORD got = 99;
        ASSERT_TRUE(ReadFile(reader.get(), buffer.data(), 4096, &got, nullptr));
        counts.push_back(got);
        back.append(buffer.data(), got);
    }
    // The end of the file is a success with nothing read, as often as asked.
    EXPECT_EQ(counts, (std::vector<DWORD>{4096, 4096, 1808, 0, 0}));
    EXPECT_EQ(back, data);
}

TEST(PlatformReadWrite, PointerSizeAndEndOfFile) {
    Handle file(open_file(L"C:\\f.bin", GENERIC_READ | GENERIC_WRITE, CREATE_NEW));
    ASSERT_TRUE(file.valid());
    ASSERT_TRUE(write_text(file.get(), "0123456789"));
    EXPECT_EQ(size_of(file.get()), 10);
    EXPECT_EQ(seek(file.get(), 0, FILE_CURRENT), 10);

    EXPECT_EQ(seek(file.get(), 4, FILE_BEGIN), 4);
    ASSERT_TRUE(SetEndOfFile(file.get()));
    EXPECT_EQ(size_of(file.get()), 4);
    EXPECT_EQ(read_host_file(host_of(L"C:\\f.bin")), "0123");
    EXPECT_EQ(seek(file.get(), 0, FILE_END), 4);
    EXPECT_EQ(seek(file.get(), -2, FILE_CURRENT), 2);
    EXPECT_EQ(read_text(file.get()), "23");

    // Before the start fails with 131 and leaves the pointer; a bad method is 87.
    EXPECT_EQ(seek(file.get(), -5, FILE_BEGIN), -1);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(seek(file.get(), -5, FILE_END), -1);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(seek(file.get(), 0, FILE_CURRENT), 4);
    EXPECT_EQ(seek(file.get(), 0, 3), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // Past the end is allowed; a write there fills the gap with zeros.
    EXPECT_EQ(seek(file.get(), 8, FILE_BEGIN), 8);
    EXPECT_EQ(size_of(file.get()), 4);
    ASSERT_TRUE(write_text(file.get(), "x"));
    EXPECT_EQ(read_host_file(host_of(L"C:\\f.bin")), std::string("0123\0\0\0\0x", 9));
    // SetEndOfFile extends as well as it cuts.
    EXPECT_EQ(seek(file.get(), 1 << 20, FILE_BEGIN), 1 << 20);
    ASSERT_TRUE(SetEndOfFile(file.get()));
    EXPECT_EQ(size_of(file.get()), 1 << 20);
}

TEST(PlatformHandles, ASecondCloseFailsWith6) {
    HANDLE file = open_file(L"C:\\f.txt", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(CloseHandle(file));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD written = 5;
    EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(written, 0u);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // A closed handle's value is not handed out again.
    Handle next(open_file(L"C:\\f.txt", GENERIC_READ, OPEN_EXISTING));
    ASSERT_TRUE(next.valid());
    EXPECT_NE(next.get(), file);
}

TEST(PlatformHandles, AHandleIsNeverARawDescriptor) {
    std::string host = host_of(L"C:\\f.txt");
    write_host_file(host, "abc");
    Handle file(open_file(L"C:\\f.txt", GENERIC_READ, OPEN_EXISTING));
    ASSERT_TRUE(file.valid());
    auto descriptors = descriptors_on(host);
    ASSERT_EQ(descriptors.size(), 1u);
    int fd = descriptors[0];
    EXPECT_NE(reinterpret_cast<intptr_t>(file.get()), fd);
    // Close-on-exec, so that no child inherits it.
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);

    // The descriptor's number is no handle: the layer refuses it and leaves it open.
    HANDLE as_handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
    char byte;
    DWORD got = 0;
    EXPECT_FALSE(ReadFile(as_handle, &byte, 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(as_handle));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_NE(::fcntl(fd, F_GETFD), -1);

    EXPECT_TRUE(CloseHandle(file.release()));
    EXPECT_TRUE(descriptors_on(host).empty());
}

TEST(PlatformFolders, CreateAndRemoveFolders) {
    EXPECT_TRUE(CreateDirectoryW(L"C:\\a", nullptr));
    EXPECT_FALSE(CreateDirectoryW(L"C:\\a", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryW(L"C:\\x\\y", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\x")));
    write_host_file(host_of(L"C:\\a\\f"), "x");
    EXPECT_FALSE(CreateDirectoryW(L"C:\\a\\f", nullptr));  // a file holds the name
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

    EXPECT_FALSE(RemoveDirectoryW(L"C:\\a"));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(RemoveDirectoryW(L"C:\\a\\f"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_TRUE(std::filesystem::exists(host_of(L"C:\\a\\f")));
    EXPECT_TRUE(DeleteFileW(L"C:\\a\\f"));
    EXPECT_TRUE(RemoveDirectoryW(L"C:\\a"));
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\a")));
    EXPECT_FALSE(RemoveDirectoryW(L"C:\\a"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(PlatformFolders, RemovingALinkToAFolderKeepsTheFolder) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\target", nullptr));
    write_host_file(host_of(L"C:\\target\\inside.txt"), "kept");
    ASSERT_EQ(::symlink(host_of(L"C:\\target").c_str(), host_of(L"C:\\link").c_str()), 0);
    EXPECT_TRUE(RemoveDirectoryW(L"C:\\link"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(host_of(L"C:\\link"))));
    EXPECT_EQ(read_host_file(host_of(L"C:\\target\\inside.txt")), "kept");
}

TEST(PlatformMove, WithoutReplaceAnExistingTargetFailsWith183) {
    write_host_file(host_of(L"C:\\a.txt"), "A");
    write_host_file(host_of(L"C:\\b.txt"), "B");
    EXPECT_FALSE(MoveFileExW(L"C:\\a.txt", L"C:\\b.txt", 0));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(read_host_file(host_of(L"C:\\a.txt")), "A");
    EXPECT_EQ(read_host_file(host_of(L"C:\\b.txt")), "B");

    EXPECT_TRUE(MoveFileExW(L"C:\\a.txt", L"C:\\c.txt", 0));
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\a.txt")));
    EXPECT_EQ(read_host_file(host_of(L"C:\\c.txt")), "A");

    EXPECT_FALSE(MoveFileExW(L"C:\\a.txt", L"C:\\d.txt", 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(MoveFileExW(L"C:\\c.txt", L"C:\\nope\\c.txt", 0));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(read_host_file(host_of(L"C:\\c.txt")), "A");

    // Folders move whole.
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    write_host_file(host_of(L"C:\\dir\\in.txt"), "in");
    EXPECT_TRUE(MoveFileExW(L"C:\\dir", L"C:\\moved", 0));
    EXPECT_EQ(read_host_file(host_of(L"C:\\moved\\in.txt")), "in");
}

TEST(PlatformMove, ReplaceExistingReplacesAFileButNeverAFolder) {
    write_host_file(host_of(L"C:\\a.txt"), "A");
    write_host_file(host_of(L"C:\\b.txt"), "B");
    EXPECT_TRUE(MoveFileExW(L"C:\\a.txt", L"C:\\b.txt",
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\a.txt")));
    EXPECT_EQ(read_host_file(host_of(L"C:\\b.txt")), "A");
    // With the flag a missing target is no failure either.
    EXPECT_TRUE(MoveFileExW(L"C:\\b.txt", L"C:\\c.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(read_host_file(host_of(L"C:\\c.txt")), "A");

    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    EXPECT_FALSE(MoveFileExW(L"C:\\c.txt", L"C:\\dir", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(std::filesystem::is_directory(host_of(L"C:\\dir")));
    EXPECT_EQ(read_host_file(host_of(L"C:\\c.txt")), "A");
}

namespace {

FILETIME filetime_of_unix_ns(int64_t ns) {
    uint64_t ticks = static_cast<uint64_t>(116444736000000000ll + ns / 100);
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// "<atime ns> <mtime ns>" of a host file, as python3 sees it.
std::string stat_times(const std::wstring& path) {
    return platform_tests::python("import os; s = os.stat('" + host_of(path) +
                                  "'); print(s.st_atime_ns, s.st_mtime_ns)");
}

}  // namespace

TEST(PlatformFileTimes, AccessAndWriteTimesAreSetExactlyTheCreationTimeIsDropped) {
    write_host_file(host_of(L"C:\\t.txt"), "data");
    Handle file(open_file(L"C:\\t.txt", GENERIC_WRITE, OPEN_EXISTING));
    // 2019-03-04 05:06:07.1234567 and 1965-01-03 03:04:05.9876543 (before 1970
    // the seconds round down and the fraction stays positive).
    const int64_t access_ns = 1551675967123456700ll, write_ns = -157582554012345700ll;
    FILETIME access = filetime_of_unix_ns(access_ns), write = filetime_of_unix_ns(write_ns);
    FILETIME creation = filetime_of_unix_ns(1000000000000000000ll);
    ASSERT_TRUE(SetFileTime(file.get(), &creation, &access, &write)) << GetLastError();
    EXPECT_EQ(stat_times(L"C:\\t.txt"), std::to_string(access_ns) + " " + std::to_string(write_ns));

    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(L"C:\\t.txt", GetFileExInfoStandard, &data));
    EXPECT_EQ(CompareFileTime(&data.ftLastAccessTime, &access), 0);
    EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &write), 0);
    FILETIME minute_ago = filetime_of_unix_ns((time(nullptr) - 60) * 1000000000ll);
    EXPECT_EQ(CompareFileTime(&data.ftCreationTime, &minute_ago), 1);  // the status change: now

    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    Handle folder(
        open_file(L"C:\\dir", FILE_WRITE_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    ASSERT_TRUE(SetFileTime(folder.get(), nullptr, &access, &access)) << GetLastError();
    EXPECT_EQ(stat_times(L"C:\\dir"), std::to_string(access_ns) + " " + std::to_string(access_ns));
}

TEST(PlatformFileTimes, NullZeroAndTheSpecialValuesLeaveATime) {
    write_host_file(host_of(L"C:\\t.txt"), "data");
    Handle file(open_file(L"C:\\t.txt", GENERIC_READ, OPEN_EXISTING));
    FILETIME early = filetime_of_unix_ns(1400000000000000000ll);
    FILETIME late = filetime_of_unix_ns(1600000000000000000ll);
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, &early, &early));
    FILETIME zero{0, 0}, suspend{0xFFFFFFFFu, 0xFFFFFFFFu}, resume{0xFFFFFFFEu, 0xFFFFFFFFu};
    EXPECT_TRUE(SetFileTime(file.get(), nullptr, nullptr, nullptr));
    EXPECT_TRUE(SetFileTime(file.get(), &zero, &zero, &zero));
    EXPECT_TRUE(SetFileTime(file.get(), nullptr, &suspend, &resume));
    EXPECT_EQ(stat_times(L"C:\\t.txt"), "1400000000000000000 1400000000000000000");
    EXPECT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &late));
    EXPECT_EQ(stat_times(L"C:\\t.txt"), "1400000000000000000 1600000000000000000");
    EXPECT_TRUE(SetFileTime(file.get(), nullptr, &late, nullptr));
    EXPECT_EQ(stat_times(L"C:\\t.txt"), "1600000000000000000 1600000000000000000");
}

TEST(PlatformFileTimes, BadHandlesGive6AndOutOfRangeTimesGive87) {
    FILETIME time = filetime_of_unix_ns(1300000000000000000ll), huge{0, 0x80000000u};
    write_host_file(host_of(L"C:\\t.txt"), "data");
    HANDLE closed = open_file(L"C:\\t.txt", GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (HANDLE bad : {INVALID_HANDLE_VALUE, closed, event}) {
        SetLastError(0);
        EXPECT_FALSE(SetFileTime(bad, nullptr, &time, &time));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    CloseHandle(event);

    Handle file(open_file(L"C:\\t.txt", GENERIC_WRITE, OPEN_EXISTING));
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, &time, &time));
    EXPECT_FALSE(SetFileTime(file.get(), nullptr, &time, &huge));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SetFileTime(file.get(), nullptr, &huge, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(stat_times(L"C:\\t.txt"), "1300000000000000000 1300000000000000000");
}
