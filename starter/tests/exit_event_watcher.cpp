#include "starter/tests/exit_event_watcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include "platform/win32.h"
#include "starter/exit_event.h"
#include "tools/testkit/machine_fixture.h"

namespace tovel::starter::testing {

using tovel::testing::machine_root;

ExitEventWatcher::ExitEventWatcher(bool early, bool asNobody)
    : process_("ExitEventWatcher.DISABLED_Watch",
               {"TOVEL_WATCH_ROOT=" + machine_root(),
                std::string("TOVEL_WATCH_EARLY=") + (early ? "1" : "0"),
                std::string("TOVEL_WATCH_NOBODY=") + (asNobody ? "1" : "0")}) {}

std::string ExitEventWatcher::refused() {
    std::string line =
        process_.next([](const std::string& text) { return text.rfind("set ", 0) == 0; }, 60000);
    return line;
}

bool ExitEventWatcher::opened() { return next("opened", 60000); }

bool ExitEventWatcher::set(int timeoutMs) { return next("set", timeoutMs); }

bool ExitEventWatcher::next(const std::string& word, int timeoutMs) {
    return process_.next([&](const std::string& line) { return line == word; }, timeoutMs) == word;
}

}  // namespace tovel::starter::testing

// The watcher: opens the event by name once the agent has made it (or, with
// TOVEL_WATCH_EARLY=1, makes it itself), prints "opened", and prints "set"
// when the event is set.
TEST(ExitEventWatcher, DISABLED_Watch) {
    const char* root = std::getenv("TOVEL_WATCH_ROOT");
    if (!root) GTEST_SKIP() << "run by the console and service tests";
    std::error_code ignored;
    std::filesystem::remove_all(tovel::testing::machine_root(),
                                ignored);  // its own root is not used
    setenv("TOVEL_ROOT", root, 1);
    const char* nobody = std::getenv("TOVEL_WATCH_NOBODY");
    bool asNobody = nobody && std::string(nobody) == "1";
    if (asNobody)
        ASSERT_TRUE(setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0);
    const char* early = std::getenv("TOVEL_WATCH_EARLY");
    HANDLE event = nullptr;
    if (early && std::string(early) == "1")
        event = CreateEventA(nullptr, TRUE, FALSE, tovel::starter::kExitEventName);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!event && !(event = OpenEventA(SYNCHRONIZE, FALSE, tovel::starter::kExitEventName))) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no exit event";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::cout << "\nopened" << std::endl;
    if (asNobody) {
        BOOL setting = SetEvent(event);
        DWORD setError = GetLastError();
        HANDLE modify = OpenEventA(EVENT_MODIFY_STATE, FALSE, tovel::starter::kExitEventName);
        DWORD openError = GetLastError();
        if (modify) CloseHandle(modify);
        std::cout << "set " << (setting ? 0u : setError) << " open " << (modify ? 0u : openError)
                  << std::endl;
    }
    ASSERT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    std::cout << "set" << std::endl;
    CloseHandle(event);
    _exit(0);
}
