// The base types, the thread's last error, message texts and modules, RPC
// UUIDs and the computer's name.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/tests/helpers.h"
#include "platform/win32.h"
#include "tools/testkit/machine_fixture.h"

using platform_tests::open_file;
using platform_tests::python;

namespace {

std::wstring widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// FormatMessageA into a buffer of the given size; "" on failure.
std::string message(DWORD flags, LPCVOID source, DWORD code, DWORD size = 512) {
    std::string buffer(size, '#');
    DWORD n = FormatMessageA(flags, source, code, 0, buffer.data(), size, nullptr);
    if (n == 0) return "";
    EXPECT_EQ(buffer[n], '\0');
    EXPECT_EQ(std::strlen(buffer.c_str()), n);
    return buffer.substr(0, n);
}

constexpr DWORD kSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

// Sets TOVEL_PROGRAM for the scope (null: unset), then removes it.
class ScopedProgram {
public:
    explicit ScopedProgram(const char* value) {
        if (value)
            setenv("TOVEL_PROGRAM", value, 1);
        else
            unsetenv("TOVEL_PROGRAM");
    }
    ~ScopedProgram() { unsetenv("TOVEL_PROGRAM"); }
    ScopedProgram(const ScopedProgram&) = delete;
    ScopedProgram& operator=(const ScopedProgram&) = delete;
};

// GetModuleFileNameW of the program into a buffer of size units, "#"-filled,
// with the result and the last error.
struct FileName {
    DWORD result;
    DWORD error;
    std::wstring buffer;
};
FileName program_file_name(DWORD size, HMODULE module = nullptr) {
    FileName out{0, 0, std::wstring(size + 1, L'#')};
    SetLastError(0);
    out.result = GetModuleFileNameW(module, out.buffer.data(), size);
    out.error = GetLastError();
    return out;
}

}  // namespace

TEST(PlatformTypes, WindowsWidthsAndLayouts) {
    // Widths as a Windows caller counts them, whatever the host's long is.
    std::vector<size_t> widths = {
        sizeof(BYTE), sizeof(WORD),    sizeof(DWORD),      sizeof(LONG),     sizeof(ULONG),
        sizeof(BOOL), sizeof(HRESULT), sizeof(RPC_STATUS), sizeof(LONGLONG), sizeof(ULONGLONG)};
    EXPECT_EQ(widths, (std::vector<size_t>{1, 2, 4, 4, 4, 4, 4, 4, 8, 8}));
    EXPECT_EQ(sizeof(HANDLE), sizeof(void*));
    EXPECT_EQ(sizeof(ULONG_PTR), sizeof(void*));
    EXPECT_TRUE(std::is_signed_v<LONG> && std::is_signed_v<HRESULT> &&
                std::is_signed_v<RPC_STATUS> && std::is_unsigned_v<DWORD> &&
                std::is_unsigned_v<ULONG>);

    // Records that are read and written whole keep their Windows offsets.
    EXPECT_EQ(sizeof(FILETIME), 8u);
    EXPECT_EQ(offsetof(FILETIME, dwHighDateTime), 4u);
    EXPECT_EQ(sizeof(SYSTEMTIME), 16u);
    EXPECT_EQ(offsetof(SYSTEMTIME, wDay), 6u);
    EXPECT_EQ(offsetof(SYSTEMTIME, wMilliseconds), 14u);
    EXPECT_EQ(sizeof(GUID), 16u);
    EXPECT_EQ(offsetof(GUID, Data4), 8u);
    LARGE_INTEGER large;
    large.QuadPart = (LONGLONG{-2} << 32) | 7;
    EXPECT_EQ(large.u.LowPart, 7u);
    EXPECT_EQ(large.u.HighPart, -2);

    EXPECT_EQ(INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), static_cast<HRESULT>(0x80070005u));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), E_INVALIDARG);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
}

TEST(PlatformLastError, IsThirtyTwoBitsAndPerThread) {
    SetLastError(0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), 0xFFFFFFFFu);
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD at_start = 99, after_failure = 0;
    std::thread other([&] {
        at_start = GetLastError();
        SetLastError(1234);
        CloseHandle(nullptr);
        after_failure = GetLastError();
    });
    other.join();
    EXPECT_EQ(at_start, 0u);
    EXPECT_EQ(after_failure, ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    // Failures in two threads at once each see their own code.
    int wrong[2] = {0, 0};
    std::thread closer([&] {
        for (int i = 0; i < 2000; ++i)
            if (CloseHandle(nullptr) || GetLastError() != ERROR_INVALID_HANDLE) ++wrong[0];
    });
    std::thread opener([&] {
        for (int i = 0; i < 2000; ++i)
            if (open_file(L"C:\\nope\\x", GENERIC_READ, OPEN_EXISTING) != INVALID_HANDLE_VALUE ||
                GetLastError() != ERROR_PATH_NOT_FOUND)
                ++wrong[1];
    });
    closer.join();
    opener.join();
    EXPECT_EQ(wrong[0], 0);
    EXPECT_EQ(wrong[1], 0);
}

TEST(PlatformMessages, EveryCodeTheLayerGivesHasAText) {
    for (DWORD code : {ERROR_SUCCESS,          ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND,
                       ERROR_PATH_NOT_FOUND,   ERROR_ACCESS_DENIED,    ERROR_INVALID_HANDLE,
                       ERROR_NO_MORE_FILES,    ERROR_FILE_EXISTS,      ERROR_INVALID_PARAMETER,
                       ERROR_BUFFER_OVERFLOW,  ERROR_DISK_FULL,        ERROR_INSUFFICIENT_BUFFER,
                       ERROR_MOD_NOT_FOUND,    ERROR_NEGATIVE_SEEK,    ERROR_DIR_NOT_EMPTY,
                       ERROR_BAD_PATHNAME,     ERROR_ALREADY_EXISTS,   ERROR_DIRECTORY,
                       ERROR_MR_MID_NOT_FOUND, ERROR_INVALID_FLAGS,    ERROR_NO_UNICODE_TRANSLATION,
                       ERROR_CANCELLED,        ERROR_BAD_NETPATH,      ERROR_GEN_FAILURE}) {
        std::string text = message(kSystem, nullptr, code);
        EXPECT_GT(text.size(), 2u) << code;
        // One line, ended by the line break that a width of 0 asks for.
        EXPECT_EQ(text.find("\r\n"), text.size() - 2) << code;
        EXPECT_EQ(text.find('\n'), text.size() - 1) << code;
    }
}

TEST(PlatformMessages, WidthMaskWideTextAndAllocatedBuffers) {
    std::string text = message(kSystem, nullptr, ERROR_ACCESS_DENIED);
    ASSERT_GT(text.size(), 2u);
    std::string bare =
        message(kSystem | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr, ERROR_ACCESS_DENIED);
    EXPECT_EQ(bare + "\r\n", text);

    WCHAR wide[512];
    DWORD n = FormatMessageW(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, wide, 512, nullptr);
    EXPECT_EQ(n, text.size());
    EXPECT_EQ(std::wstring(wide), widen(text));

    LPSTR allocated = nullptr;
    n = FormatMessageA(kSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, ERROR_ACCESS_DENIED, 0,
                       reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(std::string(allocated), text);
    EXPECT_EQ(n, text.size());
    EXPECT_EQ(LocalFree(allocated), nullptr);
    LPWSTR allocated_wide = nullptr;
    n = FormatMessageW(kSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, ERROR_ACCESS_DENIED, 0,
                       reinterpret_cast<LPWSTR>(&allocated_wide), 0, nullptr);
    ASSERT_NE(allocated_wide, nullptr);
    EXPECT_EQ(std::wstring(allocated_wide), widen(text));
    EXPECT_EQ(LocalFree(allocated_wide), nullptr);

    // The buffer must hold the NUL too.
    DWORD exact = static_cast<DWORD>(text.size());
    EXPECT_EQ(message(kSystem, nullptr, ERROR_ACCESS_DENIED, exact), "");
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(message(kSystem, nullptr, ERROR_ACCESS_DENIED, exact + 1), text);
}

TEST(PlatformMessages, UnknownCodeGives0And317) {
    char buffer[64] = "untouched";
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(kSystem, nullptr, 0xDEAD, 0, buffer, sizeof buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    WCHAR wide[64];
    EXPECT_EQ(FormatMessageW(kSystem, nullptr, 0xDEAD, 0, wide, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    LPSTR allocated = nullptr;
    EXPECT_EQ(FormatMessageA(kSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 0xDEAD, 0,
                             reinterpret_cast<LPSTR>(&allocated), 0, nullptr),
              0u);
    EXPECT_EQ(allocated, nullptr);
}

TEST(PlatformMessages, ATextWithAnInsertNeedsIgnoreInserts) {
    // No arguments are ever passed, so the insert cannot be filled.
    char buffer[256];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_BAD_EXE_FORMAT, 0, buffer,
                             sizeof buffer, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    std::string kept = message(kSystem, nullptr, ERROR_BAD_EXE_FORMAT);
    EXPECT_NE(kept.find("%1"), std::string::npos) << kept;
    // A text without inserts needs no such flag.
    EXPECT_FALSE(message(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_FILE_NOT_FOUND).empty());
}

// The only case that loads the module, so that "not loaded yet" holds at its start.
TEST(PlatformModules, WinHttpTextsComeOnlyFromItsLoadedModule) {
    EXPECT_NE(GetModuleHandleW(nullptr), nullptr);
    EXPECT_EQ(GetModuleHandleW(L"winhttp"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(message(kSystem, nullptr, ERROR_WINHTTP_TIMEOUT), "");
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);

    HMODULE winhttp = LoadLibraryExW(L"winhttp", nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(winhttp, nullptr);
    EXPECT_EQ(GetModuleHandleW(L"winhttp"), winhttp);
    EXPECT_EQ(GetModuleHandleW(L"WinHttp.DLL"), winhttp);
    EXPECT_NE(winhttp, GetModuleHandleW(nullptr));

    constexpr DWORD kModule = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS;
    for (DWORD code : {ERROR_WINHTTP_TIMEOUT, ERROR_WINHTTP_NAME_NOT_RESOLVED,
                       ERROR_WINHTTP_CANNOT_CONNECT, ERROR_WINHTTP_CONNECTION_ERROR,
                       ERROR_WINHTTP_INVALID_SERVER_RESPONSE, ERROR_WINHTTP_SECURE_FAILURE}) {
        std::string text = message(kModule, winhttp, code);
        EXPECT_GT(text.size(), 2u) << code;
        EXPECT_EQ(message(kModule | FORMAT_MESSAGE_FROM_SYSTEM, winhttp, code), text);
        // Not from the system's table, loaded or not, nor from another module.
        EXPECT_EQ(message(kSystem, nullptr, code), "") << code;
        EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
        EXPECT_EQ(message(kModule, nullptr, code), "") << code;
    }
    // A system code is not in the module, but the system table is asked after it.
    EXPECT_EQ(message(kModule, winhttp, ERROR_FILE_NOT_FOUND), "");
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(message(kModule | FORMAT_MESSAGE_FROM_SYSTEM, winhttp, ERROR_FILE_NOT_FOUND),
              message(kSystem, nullptr, ERROR_FILE_NOT_FOUND));

    EXPECT_EQ(LoadLibraryExW(L"nosuch", nullptr, DONT_RESOLVE_DLL_REFERENCES), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(winhttp));
}

TEST(PlatformModules, ProgramFileIsTheExecutableOnZ) {
    ScopedProgram none(nullptr);
    std::string expected = python("import os; print('Z:' + os.readlink('/proc/" +
                                  std::to_string(getpid()) + "/exe').replace('/', '\\\\'))");
    ASSERT_GT(expected.size(), 3u);
    FileName name = program_file_name(4096);
    EXPECT_EQ(name.result, expected.size());
    EXPECT_EQ(name.buffer.c_str(), widen(expected));
    EXPECT_EQ(program_file_name(4096, GetModuleHandleW(nullptr)).buffer, name.buffer);

    // An empty variable counts as unset.
    ScopedProgram empty("");
    EXPECT_EQ(program_file_name(4096).buffer, name.buffer);
}

TEST(PlatformModules, ProgramFileFromTovelProgramWithTheBufferRules) {
    ScopedProgram program("C:\\Programme\\Grüße\\agent.exe");
    const std::wstring path = L"C:\\Programme\\Grüße\\agent.exe";
    const DWORD length = static_cast<DWORD>(path.size());

    FileName exact = program_file_name(length + 1);
    EXPECT_EQ(exact.result, length);
    EXPECT_EQ(exact.buffer, path + L'\0' + L'#');

    // No room for the NUL: cut to size - 1 units and a NUL, the result is size.
    FileName cut = program_file_name(length);
    EXPECT_EQ(cut.result, length);
    EXPECT_EQ(cut.error, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(cut.buffer, path.substr(0, length - 1) + L'\0' + L'#');
    FileName one = program_file_name(1);
    EXPECT_EQ(one.result, 1u);
    EXPECT_EQ(one.error, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(one.buffer, std::wstring(L"\0#", 2));
    FileName none = program_file_name(0);
    EXPECT_EQ(none.result, 0u);
    EXPECT_EQ(none.error, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(none.buffer, L"#");

    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, nullptr, 8), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    int unknown = 0;
    FileName other = program_file_name(64, reinterpret_cast<HMODULE>(&unknown));
    EXPECT_EQ(other.result, 0u);
    EXPECT_EQ(other.error, ERROR_MOD_NOT_FOUND);

    ScopedProgram broken("C:\\bad\xff.exe");
    FileName bad = program_file_name(64);
    EXPECT_EQ(bad.result, 0u);
    EXPECT_EQ(bad.error, ERROR_FILE_NOT_FOUND);
}

TEST(PlatformUuid, ManyAreUniqueLowerCaseAndVersion4) {
    std::set<std::string> seen;
    std::string last;
    for (int i = 0; i < 2000; ++i) {
        UUID uuid;
        ASSERT_EQ(UuidCreate(&uuid), RPC_S_OK);
        RPC_CSTR text = nullptr;
        ASSERT_EQ(UuidToStringA(&uuid, &text), RPC_S_OK);
        ASSERT_NE(text, nullptr);
        std::string s(reinterpret_cast<char*>(text));
        EXPECT_EQ(RpcStringFreeA(&text), RPC_S_OK);
        EXPECT_EQ(text, nullptr);
        ASSERT_EQ(s.size(), 36u) << s;
        for (size_t j = 0; j < s.size(); ++j) {
            bool dash = j == 8 || j == 13 || j == 18 || j == 23;
            EXPECT_TRUE(dash ? s[j] == '-' : std::strchr("0123456789abcdef", s[j]) != nullptr) << s;
        }
        EXPECT_EQ(s[14], '4') << s;
        EXPECT_NE(std::strchr("89ab", s[19]), nullptr) << s;
        EXPECT_EQ(uuid.Data3 >> 12, 4) << s;
        seen.insert(s);
        last = s;
    }
    EXPECT_EQ(seen.size(), 2000u);
    EXPECT_EQ(python("import uuid; u = uuid.UUID('" + last +
                     "'); print(u.version, u.variant == uuid.RFC_4122, u)"),
              "4 True " + last);
}

// A child of fork draws identifiers of its own, never the ones its parent
// would make next (the identifiers come from a pool of random bytes).
TEST(PlatformUuid, ParentAndChildOfForkMakeDifferentOnes) {
    auto text_of = [](const UUID& uuid) {
        RPC_CSTR text = nullptr;
        if (UuidToStringA(&uuid, &text) != RPC_S_OK) return std::string();
        std::string s(reinterpret_cast<char*>(text));
        RpcStringFreeA(&text);
        return s;
    };
    UUID first;
    ASSERT_EQ(UuidCreate(&first), RPC_S_OK);  // the pool is drawn
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        UUID made;
        std::string text = UuidCreate(&made) == RPC_S_OK ? text_of(made) : std::string();
        ssize_t written = ::write(pipe_ends[1], text.data(), text.size());
        ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    ::close(pipe_ends[1]);
    UUID made;
    ASSERT_EQ(UuidCreate(&made), RPC_S_OK);
    char buffer[64] = {};
    ssize_t got = ::read(pipe_ends[0], buffer, sizeof buffer - 1);
    ::close(pipe_ends[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(got, 36) << buffer;
    EXPECT_NE(std::string(buffer), text_of(made));
    EXPECT_NE(std::string(buffer), text_of(first));
}

TEST(PlatformUuid, TextFollowsTheFieldsAndReadsBack) {
    UUID known = {0x12345678, 0x9abc, 0xdef0, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xf8}};
    RPC_CSTR text = nullptr;
    ASSERT_EQ(UuidToStringA(&known, &text), RPC_S_OK);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "12345678-9abc-def0-0102-0304050607f8");
    UUID back{};
    ASSERT_EQ(UuidFromStringA(text, &back), RPC_S_OK);
    EXPECT_EQ(std::memcmp(&back, &known, sizeof known), 0);
    RpcStringFreeA(&text);

    unsigned char upper[] = "12345678-9ABC-DEF0-0102-0304050607F8";
    ASSERT_EQ(UuidFromStringA(upper, &back), RPC_S_OK);
    EXPECT_EQ(std::memcmp(&back, &known, sizeof known), 0);

    for (const char* bad :
         {"12345678-9abc-def0-0102-0304050607f", "12345678-9abc-def0-0102-0304050607f89",
          "12345678-9abc-def0-01020-304050607f8", "12345678x9abc-def0-0102-0304050607f8",
          "1234567g-9abc-def0-0102-0304050607f8", "{2345678-9abc-def0-0102-0304050607f}", ""}) {
        std::string copy = bad;
        EXPECT_EQ(UuidFromStringA(reinterpret_cast<RPC_CSTR>(copy.data()), &back),
                  RPC_S_INVALID_STRING_UUID)
            << bad;
    }
    // No text is the nil UUID.
    ASSERT_EQ(UuidFromStringA(nullptr, &back), RPC_S_OK);
    UUID nil{};
    EXPECT_EQ(std::memcmp(&back, &nil, sizeof nil), 0);
}

TEST(PlatformComputerName, HostNameUpToItsFirstDotInCapitals) {
    std::string expected =
        python("import socket; print(socket.gethostname().split('.')[0].upper()[:15])");
    ASSERT_FALSE(expected.empty());
    WCHAR name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(name, &size));
    EXPECT_EQ(size, expected.size());
    EXPECT_EQ(std::wstring(name), widen(expected));

    // No room for the NUL: 111, and the size needed with it.
    DWORD small = static_cast<DWORD>(expected.size());
    EXPECT_FALSE(GetComputerNameW(name, &small));
    EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(small, expected.size() + 1);
    DWORD none = 0;
    EXPECT_FALSE(GetComputerNameW(nullptr, &none));
    EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(none, expected.size() + 1);
}

namespace {

// The resident memory of this process, in KiB.
long residentKiB() {
    FILE* status = fopen("/proc/self/status", "r");
    char line[256];
    long kib = -1;
    while (status && fgets(line, sizeof line, status)) {
        if (strncmp(line, "VmRSS:", 6) == 0) kib = atol(line + 6);
    }
    if (status) fclose(status);
    return kib;
}

}  // namespace

TEST(PlatformHeap, CompactionGivesBackWhatAnotherThreadFreed) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TOVEL_SANITIZED_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TOVEL_SANITIZED_HEAP 1
#endif
#endif
#ifdef TOVEL_SANITIZED_HEAP
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory in its own quarantine; the "
                    "compaction is shown by the Release build (tools/bench/web_bench.sh)";
#endif
    // 96 MiB in small pieces, made and freed on a thread of its own (which allocates from an
    // arena of its own), then given back by a compaction on this thread.
    long before = residentKiB();
    std::thread([] {
        std::vector<char*> pieces;
        for (int i = 0; i < 96 * 1024; ++i) {
            char* piece = static_cast<char*>(malloc(1000));
            memset(piece, i, 1000);
            pieces.push_back(piece);
        }
        // One piece stays, so that the arena's top is held and only a compaction that looks
        // inside the arena can give the rest back.
        for (size_t i = 0; i + 1 < pieces.size(); ++i) free(pieces[i]);
        static char* kept;
        kept = pieces.back();
    }).join();
    long freed = residentKiB();
    ASSERT_GT(freed - before, 64 * 1024) << "the pieces were not resident";
    SetLastError(5);
    HeapCompact(GetProcessHeap(), 0);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_LT(residentKiB() - before, 32 * 1024);
    EXPECT_EQ(HeapCompact(reinterpret_cast<HANDLE>(0x1234), 0), 0u);
    EXPECT_EQ(GetLastError(), 6u);
}
