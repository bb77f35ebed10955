// Child processes: what a started program inherits, the errors of a start
// that cannot be made, and that the layer reaps its own children only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tools/testkit/host_processes.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::wait_for_lines;
using tovel::testing::wait_reaped;
using tovel::testing::write_host_file;

extern char** environ;

namespace {

// Writes a file at a Windows path of the machine with the given mode.
std::string write_program(const std::wstring& path, const std::string& text, mode_t mode = 0755) {
    std::string host = host_of(path);
    std::filesystem::create_directories(std::filesystem::path(host).parent_path());
    write_host_file(host, text);
    EXPECT_EQ(chmod(host.c_str(), mode), 0);
    return host;
}

BOOL start(const wchar_t* path, PROCESS_INFORMATION& info, DWORD flags = CREATE_NO_WINDOW) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    return CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                          &info);
}

// The arguments of one CreateProcessW call, and the last error it fails with.
struct Call {
    const wchar_t* app = L"C:\\bin\\ok.exe";
    LPWSTR line = nullptr;
    LPSECURITY_ATTRIBUTES security = nullptr;
    BOOL inherit = FALSE;
    DWORD flags = 0;
    LPVOID environment = nullptr;
    LPCWSTR folder = nullptr;
    DWORD startFlags = 0;
    bool noStartup = false, noInformation = false;
};
DWORD error_of(const Call& c) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = c.startFlags;
    PROCESS_INFORMATION info = {};
    SetLastError(0);
    EXPECT_FALSE(CreateProcessW(c.app, c.line, c.security, nullptr, c.inherit, c.flags,
                                c.environment, c.folder, c.noStartup ? nullptr : &startup,
                                c.noInformation ? nullptr : &info));
    return GetLastError();
}

}  // namespace

TEST(PlatformProcess, ChildStartsCleanAndIsReapedWhileItsHandlesAreOpen) {
    std::string marker = machine_root() + "/marker";
    write_host_file(marker, "x");
    int inherited =
        ::open(marker.c_str(), O_RDONLY);  // close-on-exec or not: neither reaches the child
    int closeOnExec = ::open(marker.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(inherited, 3);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, nullptr), 0);
    auto previous = signal(SIGTERM, SIG_IGN);

    std::string out = machine_root() + "/out";
    write_program(L"C:\\bin\\child.exe",
                  "#!/bin/sh\nout=" + out +
                      "\n"
                      "ls -l /proc/self/fd > \"$out.fds\"\n"
                      "grep -E '^Sig(Blk|Ign):' /proc/self/status > \"$out.sig\"\n"
                      "echo \"$$ $(cut -d' ' -f6 /proc/self/stat)\" >> \"$out\"\n");
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(start(L"C:\\bin\\child.exe", info));
    pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
    signal(SIGTERM, previous);
    ::close(inherited);
    ::close(closeOnExec);
    pid_t pid = static_cast<pid_t>(info.dwProcessId);

    // Its own session; reaped with both handles still open.
    EXPECT_EQ(wait_for_lines(out, 1), std::to_string(pid) + " " + std::to_string(pid) + "\n");
    EXPECT_NE(getsid(0), pid);
    EXPECT_TRUE(wait_reaped(pid));
    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_TRUE(CloseHandle(info.hProcess));
    EXPECT_FALSE(CloseHandle(info.hProcess));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    auto fds = tovel::testing::listed_descriptors(read_host_file(out + ".fds"));
    std::vector<int> numbers;
    for (const auto& fd : fds) numbers.push_back(fd.first);
    EXPECT_EQ(numbers, (std::vector<int>{0, 1, 2})) << read_host_file(out + ".fds");
    EXPECT_EQ(read_host_file(out + ".sig"),
              "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST(PlatformProcess, FailedStartsGiveTheWindowsErrors) {
    write_program(L"C:\\bin\\plain.exe", "#!/bin/sh\nexit 0\n", 0644);
    write_program(L"C:\\bin\\data.exe", std::string("\x7f\x01garbage\0\n", 11));
    write_program(L"C:\\bin\\ok.exe", "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(error_of({.app = L"C:\\bin\\missing.exe"}), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(error_of({.app = L"C:\\none\\missing.exe"}), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(error_of({.app = L"Q:\\missing.exe"}), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(error_of({.app = L"C:\\bin"}), ERROR_ACCESS_DENIED);
    EXPECT_EQ(error_of({.app = L"C:\\bin\\plain.exe"}), ERROR_ACCESS_DENIED);
    EXPECT_EQ(error_of({.app = L"C:\\bin\\data.exe"}), ERROR_BAD_EXE_FORMAT);
    EXPECT_EQ(error_of({.app = nullptr}), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(error_of({.noStartup = true}), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(error_of({.noInformation = true}), ERROR_INVALID_PARAMETER);

    wchar_t line[] = L"ok.exe -x";
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
    char block[] = "A=1\0";
    EXPECT_EQ(error_of({.line = line}), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(error_of({.security = &security}), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(error_of({.inherit = TRUE}), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(error_of({.flags = CREATE_SUSPENDED}), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(error_of({.environment = block}), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(error_of({.folder = L"C:\\bin"}), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(error_of({.startFlags = 0x100}), ERROR_NOT_SUPPORTED);
}

// A reaper that waited for any child would take these others' exit status.
TEST(PlatformProcess, ReapsOnlyItsOwnChildren) {
    pid_t other = 0;
    const char* argv[] = {"/bin/sh", "-c", "exit 7", nullptr};
    ASSERT_EQ(posix_spawn(&other, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ),
              0);
    while (!tovel::testing::is_zombie(other)) usleep(1000);

    write_program(L"C:\\bin\\quick.exe", "#!/bin/sh\nexit 0\n");
    std::vector<pid_t> ours;
    for (int i = 0; i < 4; ++i) {
        PROCESS_INFORMATION info = {};
        ASSERT_TRUE(start(L"C:\\bin\\quick.exe", info, i % 2 ? CREATE_NO_WINDOW : 0));
        ours.push_back(static_cast<pid_t>(info.dwProcessId));
        EXPECT_TRUE(CloseHandle(info.hProcess));
        EXPECT_TRUE(CloseHandle(info.hThread));
        EXPECT_EQ(run_command("exit 3"), 3);
    }
    for (pid_t pid : ours) EXPECT_TRUE(wait_reaped(pid)) << pid;
    int status = 0;
    ASSERT_EQ(waitpid(other, &status, 0), other);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
}
