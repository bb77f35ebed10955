// The narrow calls of the service host: UTF-8 paths reaching the same files as
// the wide calls, the data folder made on demand, whole debug lines on
// standard error from many threads, and the counted socket start-ups.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/tests/helpers.h"
#include "platform/win32.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;

namespace {

TEST(PlatformNarrow, Utf8PathsReachTheFilesOfTheWideCalls) {
    // "C:\Données\ü.txt" in UTF-8, with a byte that is no UTF-8 in the folder's name.
    const std::string folder =
        "C:\\Donn\xC3\xA9"
        "es\xFF";
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Donn\u00E9es\xDCFF", nullptr));
    const std::string file = folder + "\\\xC3\xBC.txt";
    EXPECT_FALSE(PathFileExistsA(file.c_str()));
    HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &written, nullptr));
    CloseHandle(h);
    EXPECT_EQ(read_host_file(machine_root() + "/drives/c/Donn\xC3\xA9"
                                              "es\xFF/\xC3\xBC.txt"),
              "abc");
    EXPECT_TRUE(PathFileExistsA(file.c_str()));
    EXPECT_TRUE(PathFileExistsA(folder.c_str()));
    EXPECT_FALSE(PathFileExistsA("Q:\\nowhere"));
    EXPECT_FALSE(PathFileExistsA(nullptr));
    EXPECT_EQ(CreateFileA("C:\\missing\\x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    // The program's path in bytes, cut as the wide call cuts it.
    setenv("TOVEL_PROGRAM", "C:\\Program Files\\T\xC3\xB6vel\\agent.exe", 1);
    char name[MAX_PATH];
    const std::string whole = "C:\\Program Files\\T\xC3\xB6vel\\agent.exe";
    EXPECT_EQ(GetModuleFileNameA(nullptr, name, MAX_PATH), whole.size());
    EXPECT_EQ(std::string(name), whole);
    EXPECT_EQ(GetModuleFileNameA(nullptr, name, 6), 6u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(name), "C:\\Pr");
    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(name), name, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(PlatformNarrow, TheDataFolderIsMadeOnlyWhenAskedFor) {
    ASSERT_TRUE(PathFileExistsA("C:\\ProgramData"));  // the machine is laid out
    std::filesystem::remove_all(machine_root() + "/drives/c/ProgramData");
    char path[MAX_PATH] = "untouched";
    EXPECT_FALSE(SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_APPDATA, FALSE));
    EXPECT_STREQ(path, "untouched");
    EXPECT_FALSE(std::filesystem::exists(machine_root() + "/drives/c/ProgramData"));
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_APPDATA, TRUE));
    EXPECT_STREQ(path, "C:\\ProgramData");
    EXPECT_TRUE(std::filesystem::is_directory(machine_root() + "/drives/c/ProgramData"));
    EXPECT_TRUE(PathFileExistsA(path));
    EXPECT_FALSE(SHGetSpecialFolderPathA(nullptr, path, 0x1A /* the user's */, TRUE));
}

TEST(PlatformNarrow, DebugTextsReachStandardErrorAsWholeLines) {
    const std::string file = machine_root() + "/stderr";
    int capture = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(capture, 0);
    fflush(stderr);
    int saved = ::dup(STDERR_FILENO);
    ASSERT_GE(::dup2(capture, STDERR_FILENO), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                std::string text = "thread " + std::to_string(t) + " says " + std::string(300, 'x');
                OutputDebugStringA(i % 2 ? text.c_str() : (text + "\n").c_str());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    OutputDebugStringA(nullptr);
    OutputDebugStringA("");
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(capture);
    std::istringstream lines(read_host_file(file));
    std::string line;
    int count = 0, empty = 0;
    while (std::getline(lines, line)) {
        if (line.empty()) {
            ++empty;
            continue;
        }
        EXPECT_EQ(line.size(), 314u) << line.substr(0, 40);
        ++count;
    }
    EXPECT_EQ(count, 800);
    EXPECT_EQ(empty, 1);  // the empty text, as a line of its own
}

TEST(PlatformNarrow, SocketStartUpsAreCountedAndTheThreadIsAPseudoHandle) {
    WSADATA data;
    EXPECT_EQ(WSAStartup(MAKEWORD(1, 0), &data), WSAVERNOTSUPPORTED);
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), nullptr), WSAEFAULT);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);  // neither counted
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSANOTINITIALISED));
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
    EXPECT_EQ(data.wHighVersion, MAKEWORD(2, 2));
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);

    HANDLE here = GetCurrentThread();
    HANDLE there = nullptr;
    std::thread([&] { there = GetCurrentThread(); }).join();
    EXPECT_EQ(here, there);
    EXPECT_NE(here, nullptr);
    EXPECT_NE(here, INVALID_HANDLE_VALUE);
}

}  // namespace
