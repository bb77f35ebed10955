// Shared helpers of the service control tests: service handles closed on
// scope exit, the program that plays the service, and waiting on its log.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/kernel/machine.h"
#include "platform/win32.h"
#include "tools/testkit/machine_fixture.h"

namespace platform_tests {

constexpr char kServiceName[] = "TovelTestService";

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE h = nullptr) : h_(h) {}
    ~ScHandle() {
        if (h_) CloseServiceHandle(h_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    SC_HANDLE h_;
};

// The Windows path of the test's service program (on drive Z:).
inline std::string service_program() {
    std::wstring wide = tovel::platform::windows_path(TOVEL_TEST_SERVICE_PROGRAM);
    return std::string(wide.begin(), wide.end());
}

inline SC_HANDLE create_service(SC_HANDLE manager, const char* name, const std::string& binary,
                                DWORD startType = SERVICE_AUTO_START,
                                const char* display = "Tovel Test Service") {
    return CreateServiceA(manager, name, display, SERVICE_ALL_ACCESS,
                          SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, startType,
                          SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr, nullptr,
                          nullptr);
}

// Polls until done() holds; false after 30 seconds.
inline bool wait_until(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

inline std::string service_log() {
    return tovel::testing::read_host_file(tovel::testing::machine_root() + "/service.log");
}

inline DWORD state_of(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

// Kills a service process that is still there at the end of a test (one
// that a failing test left behind); waits for it when it is this test's own
// child, else the layer reaps it.
class KillAtEnd {
public:
    explicit KillAtEnd(pid_t pid, bool ownChild = false) : pid_(pid), ownChild_(ownChild) {}
    ~KillAtEnd() {
        if (pid_ <= 0 || ::kill(pid_, SIGKILL) != 0) return;
        if (ownChild_) ::waitpid(pid_, nullptr, 0);
    }
    KillAtEnd(const KillAtEnd&) = delete;
    KillAtEnd& operator=(const KillAtEnd&) = delete;
    void release() { pid_ = -1; }

private:
    pid_t pid_;
    bool ownChild_;
};

// The service process named by a service's status file, 0 when none.
inline pid_t service_process_id(const char* folded) {
    std::string text = tovel::testing::read_host_file(tovel::testing::machine_root() +
                                                      "/services/" + folded + "/status");
    size_t at = text.find("process ");
    return at == std::string::npos ? 0 : static_cast<pid_t>(std::stol(text.substr(at + 8)));
}

}  // namespace platform_tests
