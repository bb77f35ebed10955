// Folder searches and attributes: the order NTFS gives, wildcards without
// regard to case, the end and failure codes, the attributes of each kind of
// entry, and host names that are not UTF-8.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
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

struct Entry {
    std::wstring name;
    DWORD attributes;
    uint64_t size;
};

// Every entry of a search, in the order given; the search's last error
// afterwards (18 at a proper end) goes to *end.
std::vector<Entry> search(const std::wstring& pattern, DWORD* end = nullptr) {
    std::vector<Entry> out;
    WIN32_FIND_DATAW data;
    HANDLE found = FindFirstFileW(pattern.c_str(), &data);
    if (found == INVALID_HANDLE_VALUE) {
        if (end) *end = GetLastError();
        return out;
    }
    do {
        out.push_back({data.cFileName, data.dwFileAttributes,
                       (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
    } while (FindNextFileW(found, &data));
    if (end) *end = GetLastError();
    EXPECT_TRUE(FindClose(found));
    return out;
}

std::vector<std::wstring> names(const std::vector<Entry>& entries) {
    std::vector<std::wstring> out;
    for (const auto& e : entries) out.push_back(e.name);
    return out;
}

void make_file(const std::wstring& path, const std::string& content = "") {
    Handle file(open_file(path, GENERIC_WRITE, CREATE_NEW));
    ASSERT_TRUE(file.valid()) << GetLastError();
    DWORD written;
    ASSERT_TRUE(WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written,
                          nullptr));
}

uint64_t ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

size_t open_descriptors() {
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
         it != std::filesystem::directory_iterator(); ++it)
        ++n;
    return n;
}

}  // namespace

TEST(PlatformFind, EntriesComeSortedByUpperCasedNameAfterDotAndDotDot) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    // Byte order, lower-case order and code-point order would each differ:
    // "_" sorts after letters once they are upper-cased, "a." before "ab",
    // "\u00e4" before "\u00d6" as "\u00c4", and a character beyond the BMP
    // (two UTF-16 units from 0xD800) before U+FF21.
    const wchar_t* created[] = {L"b",   L"_x", L"a",      L"C",      L"a.txt",  L"ab",
                                L"a_b", L"z",  L"\u00d6", L"\u00e4", L"\uff21", L"\U0001F600"};
    for (const wchar_t* name : created) make_file(std::wstring(L"C:\\dir\\") + name);
    DWORD end = 0;
    auto found = names(search(L"C:\\dir\\*", &end));
    EXPECT_EQ(end, ERROR_NO_MORE_FILES);
    std::vector<std::wstring> expected = {L".",      L"..",     L"a",          L"a.txt", L"ab",
                                          L"a_b",    L"b",      L"C",          L"z",     L"_x",
                                          L"\u00e4", L"\u00d6", L"\U0001F600", L"\uff21"};
    EXPECT_EQ(found, expected);
}

TEST(PlatformFind, OrderDoesNotDependOnTheProcessLocale) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    for (const wchar_t* name : {L"\u00e9b", L"\u00c9a", L"\u00e9c"})
        make_file(std::wstring(L"C:\\dir\\") + name);
    auto in_c_locale = names(search(L"C:\\dir\\\u00c9*"));
    const char* before = setlocale(LC_CTYPE, nullptr);
    std::string saved = before ? before : "C";
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    auto in_utf8_locale = names(search(L"C:\\dir\\\u00c9*"));
    setlocale(LC_CTYPE, saved.c_str());
    std::vector<std::wstring> expected = {L"\u00c9a", L"\u00e9b", L"\u00e9c"};
    EXPECT_EQ(in_c_locale, expected);
    EXPECT_EQ(in_utf8_locale, expected);
}

TEST(PlatformFind, DriveRootHasNoDotEntriesAndAnEmptyFolderHasOnlyThem) {
    auto root = names(search(L"C:\\*"));
    EXPECT_EQ(root, (std::vector<std::wstring>{L"ProgramData"}));
    auto lower = names(search(L"c:/*"));
    EXPECT_EQ(lower, root);

    ASSERT_TRUE(CreateDirectoryW(L"C:\\empty", nullptr));
    DWORD end = 0;
    EXPECT_EQ(names(search(L"C:\\empty\\*", &end)), (std::vector<std::wstring>{L".", L".."}));
    EXPECT_EQ(end, ERROR_NO_MORE_FILES);
}

TEST(PlatformFind, WildcardsMatchWithoutRegardToCase) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    for (const wchar_t* name : {L"Report.TXT", L"report2.txt", L"notes.md", L"\u00c9clair.txt",
                                L"data", L"archive.tar.gz"})
        make_file(std::wstring(L"C:\\dir\\") + name);
    auto match = [](const wchar_t* pattern) {
        return names(search(std::wstring(L"C:\\dir\\") + pattern));
    };
    using Names = std::vector<std::wstring>;
    EXPECT_EQ(match(L"*.txt"), (Names{L"Report.TXT", L"report2.txt", L"\u00c9clair.txt"}));
    EXPECT_EQ(match(L"REPORT*"), (Names{L"Report.TXT", L"report2.txt"}));
    EXPECT_EQ(match(L"?EPORT?.TXT"), (Names{L"report2.txt"}));
    EXPECT_EQ(match(L"\u00e9CLAIR.*"), (Names{L"\u00c9clair.txt"}));
    EXPECT_EQ(match(L"d?t?"), (Names{L"data"}));
    EXPECT_EQ(match(L"DATA"), (Names{L"data"}));
    EXPECT_EQ(match(L"*.gz"), (Names{L"archive.tar.gz"}));
    EXPECT_EQ(match(L"*a*e*"), (Names{L"archive.tar.gz"}));
    // "*.*" takes names without a dot too, and "." and "..".
    EXPECT_EQ(match(L"*.*").size(), 8u);
    EXPECT_EQ(match(L"*").size(), 8u);
}

TEST(PlatformFind, FailuresAndTheEndOfASearch) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    make_file(L"C:\\dir\\only.txt");
    WIN32_FIND_DATAW data;
    EXPECT_EQ(FindFirstFileW(L"C:\\missing\\*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(FindFirstFileW(L"Q:\\*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(FindFirstFileW(L"C:\\dir\\*.none", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FindFirstFileW(L"C:\\dir\\", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // Without a wildcard the pattern finds the one entry, a folder as well.
    EXPECT_EQ(names(search(L"C:\\dir")), (std::vector<std::wstring>{L"dir"}));

    HANDLE found = FindFirstFileW(L"C:\\dir\\*.txt", &data);
    ASSERT_NE(found, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::wstring(data.cFileName), L"only.txt");
    EXPECT_FALSE(FindNextFileW(found, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_FALSE(FindNextFileW(found, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(found));
    EXPECT_FALSE(FindClose(found));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FindNextFileW(found, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(PlatformFind, FindCloseOfWhatIsNoSearchFailsCleanly) {
    SetLastError(0);
    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FindClose(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // A file handle is no search: it is refused and stays open.
    Handle file(open_file(L"C:\\f.txt", GENERIC_WRITE, CREATE_NEW));
    ASSERT_TRUE(file.valid());
    EXPECT_FALSE(FindClose(file.get()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file.get(), "x", 1, &written, nullptr));
    EXPECT_EQ(written, 1u);
}

TEST(PlatformFind, ASearchHoldsNoDescriptor) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    make_file(L"C:\\dir\\a");
    make_file(L"C:\\dir\\b");
    size_t before = open_descriptors();
    WIN32_FIND_DATAW data;
    HANDLE found = FindFirstFileW(L"C:\\dir\\*", &data);
    ASSERT_NE(found, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_TRUE(FindClose(found));
}

TEST(PlatformAttributes, EachKindOfEntry) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir\\folder", nullptr));
    make_file(L"C:\\dir\\file.txt", "12345");
    make_file(L"C:\\dir\\readonly.txt");
    ASSERT_EQ(::chmod(host_of(L"C:\\dir\\readonly.txt").c_str(), 0444), 0);
    ASSERT_EQ(::symlink("folder", host_of(L"C:\\dir\\to-folder").c_str()), 0);
    ASSERT_EQ(::symlink("file.txt", host_of(L"C:\\dir\\to-file").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", host_of(L"C:\\dir\\dangling").c_str()), 0);

    struct Expected {
        const wchar_t* name;
        DWORD attributes;
        uint64_t size;
    } expected[] = {
        {L"dangling", FILE_ATTRIBUTE_REPARSE_POINT, 0},
        {L"file.txt", FILE_ATTRIBUTE_ARCHIVE, 5},
        {L"folder", FILE_ATTRIBUTE_DIRECTORY, 0},
        {L"readonly.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE, 0},
        {L"to-file", FILE_ATTRIBUTE_REPARSE_POINT, 0},
        {L"to-folder", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, 0},
    };
    auto found = search(L"C:\\dir\\*");
    ASSERT_EQ(found.size(), 2 + std::size(expected));
    EXPECT_EQ(found[0].attributes, FILE_ATTRIBUTE_DIRECTORY);  // "."
    EXPECT_EQ(found[1].attributes, FILE_ATTRIBUTE_DIRECTORY);  // ".."
    for (size_t i = 0; i < std::size(expected); ++i) {
        const auto& e = expected[i];
        SCOPED_TRACE(testing::Message() << "entry " << i);
        EXPECT_EQ(found[i + 2].name, e.name);
        EXPECT_EQ(found[i + 2].attributes, e.attributes);
        EXPECT_EQ(found[i + 2].size, e.size);
        EXPECT_EQ(GetFileAttributesW((std::wstring(L"C:\\dir\\") + e.name).c_str()), e.attributes);
    }
    EXPECT_EQ(GetFileAttributesW(L"Z:\\dev\\null"), FILE_ATTRIBUTE_DEVICE);
}

TEST(PlatformAttributes, TimesAndSizeOfAFile) {
    make_file(L"C:\\f.txt", std::string(70000, 'x'));
    // 2001-02-03 04:05:06.5 UTC as the host's modification time.
    struct timespec times[2] = {{981173106, 0}, {981173106, 500000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, host_of(L"C:\\f.txt").c_str(), times, 0), 0);

    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(L"C:\\f.txt", GetFileExInfoStandard, &data));
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.nFileSizeLow, 70000u);
    SYSTEMTIME written{};
    ASSERT_TRUE(FileTimeToSystemTime(&data.ftLastWriteTime, &written));
    EXPECT_EQ(written.wYear, 2001);
    EXPECT_EQ(written.wMonth, 2);
    EXPECT_EQ(written.wDay, 3);
    EXPECT_EQ(written.wHour, 4);
    EXPECT_EQ(written.wMinute, 5);
    EXPECT_EQ(written.wSecond, 6);
    EXPECT_EQ(written.wMilliseconds, 500);
    EXPECT_EQ(ticks(data.ftLastAccessTime) + 5000000u, ticks(data.ftLastWriteTime));

    WIN32_FIND_DATAW found;
    HANDLE search_handle = FindFirstFileW(L"C:\\f.txt", &found);
    ASSERT_NE(search_handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ticks(found.ftLastWriteTime), ticks(data.ftLastWriteTime));
    EXPECT_TRUE(FindClose(search_handle));

    EXPECT_FALSE(GetFileAttributesExW(L"C:\\missing", GetFileExInfoStandard, &data));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(PlatformFind, NamesThatAreNotUtf8SurviveListingAndOpening) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    // Latin-1 "café" and a stray 0xFF: no valid UTF-8.
    std::string host_name = "caf\xe9-\xff.bin";
    write_host_file(host_of(L"C:\\dir") + "/" + host_name, "latin1");

    auto found = search(L"C:\\dir\\*");
    ASSERT_EQ(found.size(), 3u);
    std::wstring name = found[2].name;
    EXPECT_EQ(name.substr(0, 3), L"caf");
    EXPECT_EQ(found[2].size, 6u);

    std::wstring path = L"C:\\dir\\" + name;
    {
        Handle file(open_file(path, GENERIC_READ, OPEN_EXISTING));
        ASSERT_TRUE(file.valid()) << GetLastError();
        char buffer[16];
        DWORD got = 0;
        ASSERT_TRUE(ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr));
        EXPECT_EQ(std::string(buffer, got), "latin1");
    }
    EXPECT_EQ(names(search(path)), (std::vector<std::wstring>{name}));
    EXPECT_TRUE(MoveFileExW(path.c_str(), L"C:\\dir\\caf\u00e9.bin", 0));
    EXPECT_EQ(read_host_file(host_of(L"C:\\dir") + "/caf\xc3\xa9.bin"), "latin1");
    EXPECT_TRUE(MoveFileExW(L"C:\\dir\\caf\u00e9.bin", path.c_str(), 0));
    EXPECT_TRUE(DeleteFileW(path.c_str()));
    EXPECT_TRUE(std::filesystem::is_empty(host_of(L"C:\\dir")));
}

// Every name of a folder is listed, as Windows lists it, also one whose
// status cannot be read (its path is too long for the host): it comes with
// the kind the folder gives it, and the caller meets the error (206) when it
// uses it. A folder beyond the host's limit cannot be listed (206).
TEST(PlatformFind, EntriesOutOfReachAreListedAndTheirUseFailsWith206) {
    std::string name(200, 'n');
    std::wstring wide_name(200, L'n');
    std::wstring folder = L"C:\\deep";
    std::string host = host_of(folder);
    std::filesystem::create_directories(host);
    int fd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // Down by relative paths until the next name would pass the host's limit.
    while (host.size() + 1 + name.size() < PATH_MAX) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
        ASSERT_GE(fd, 0);
        host += "/" + name;
        folder += L"\\" + wide_name;
    }
    ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
    ::close(fd);
    struct RemoveDeep {
        ~RemoveDeep() {
            tovel::testing::run_command("rm -rf " +
                                        tovel::testing::shell_quote(host_of(L"C:\\deep")));
        }
    } remove_deep;

    DWORD end = 0;
    std::vector<Entry> entries = search(folder + L"\\*", &end);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(end, static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_EQ(entries[2].name, wide_name);
    EXPECT_EQ(entries[2].attributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    std::wstring beyond = folder + L"\\" + wide_name;
    WIN32_FILE_ATTRIBUTE_DATA data;
    EXPECT_FALSE(GetFileAttributesExW(beyond.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    search(beyond + L"\\*", &end);
    EXPECT_EQ(end, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}
