// Named events: one event behind every handle of a name, in this process and
// in others (real child processes), set and reset across processes, waits
// that mix named and local objects, auto-reset events that release one
// waiter of all the processes, names that go with their last holder (a
// killed one too), and the null access list that lets another user in.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "tools/testkit/child_process.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::machine_root;

namespace {

std::vector<std::string> event_files() {
    std::vector<std::string> names;
    // The machine's names, and the user's session's.
    const std::string session = machine_root() + "/sessions/" + std::to_string(geteuid());
    for (const std::string& folder : {machine_root() + "/objects", session + "/objects"}) {
        if (!std::filesystem::exists(folder)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            std::string name = entry.path().filename().string();
            if (name.rfind("event.", 0) == 0 && name != "event.lock") names.push_back(name);
        }
    }
    return names;
}

// A null access list, as the service host gives its exit event.
struct OpenToAll {
    OpenToAll() {
        EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
        attributes = {12, &sd, FALSE};
    }
    SECURITY_DESCRIPTOR sd;
    SECURITY_ATTRIBUTES attributes;
};

TEST(PlatformNamedEvent, OneEventBehindEveryHandleOfTheNameUntilTheLastCloses) {
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, L"Global\\ev");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE second = CreateEventA(nullptr, FALSE, TRUE, "Global\\ev");  // kinds ignored
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    HANDLE opened = OpenEventA(SYNCHRONIZE, FALSE, "Global\\ev");
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_TIMEOUT);  // not set, as made first
    EXPECT_TRUE(SetEvent(second));
    EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);  // manual: stays set
    EXPECT_FALSE(ResetEvent(opened));                         // it may only wait
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(ResetEvent(second));
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);

    HANDLE local = CreateEventW(nullptr, TRUE, FALSE, L"ev");
    EXPECT_EQ(GetLastError(), 0u);  // "Local\ev", another name
    HANDLE same = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\ev");
    ASSERT_NE(same, nullptr);
    HANDLE unnamed = CreateEventW(nullptr, FALSE, FALSE, L"");
    EXPECT_EQ(event_files().size(), 2u);

    // A wait that mixes local and named objects wakes on a set in another thread.
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SetEvent(same);
    });
    HANDLE both[] = {unnamed, local};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_OBJECT_0 + 1);
    setter.join();
    SetEvent(unnamed);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(unnamed, 0), WAIT_TIMEOUT);  // taken by the wait for all

    for (HANDLE h : {first, second, opened, local, same, unnamed}) EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(event_files().empty());
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"Global\\ev"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenEventW(0x1, FALSE, L"Global\\ev"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SECURITY_DESCRIPTOR not_a_descriptor = {};
    SECURITY_ATTRIBUTES wrong = {12, &not_a_descriptor, FALSE};
    EXPECT_EQ(CreateEventW(&wrong, TRUE, FALSE, L"Global\\ev"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// The other process of the cross-process tests: reads commands on stdin.
TEST(PlatformNamedEventProcess, DISABLED_Child) {
    const char* root = getenv("TOVEL_EVENT_CHILD_ROOT");
    if (!root) GTEST_SKIP();
    rmdir(machine_root().c_str());  // this run's own fresh root is not used
    setenv("TOVEL_ROOT", root, 1);
    HANDLE event = nullptr;
    std::string command;
    std::cout << "\nready" << std::endl;
    while (std::getline(std::cin, command)) {
        if (command == "become nobody") {
            bool done = setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0;
            std::cout << (done ? "nobody" : "still root") << std::endl;
        } else if (command.rfind("create ", 0) ==
                   0) {  // create <manual 0|1> <open to all 0|1> name
            OpenToAll all;
            bool manual = command[7] == '1';
            bool open = command[9] == '1';
            event = CreateEventA(open ? &all.attributes : nullptr, manual, FALSE, &command[11]);
            std::cout << (event ? "made " + std::to_string(GetLastError()) : "failed") << std::endl;
        } else if (command.rfind("open ", 0) == 0) {
            event = OpenEventA(EVENT_ALL_ACCESS, FALSE, &command[5]);
            std::cout << (event ? std::string("opened")
                                : "failed " + std::to_string(GetLastError()))
                      << std::endl;
        } else if (command.rfind("wait ", 0) == 0) {
            DWORD ms = static_cast<DWORD>(std::stoul(command.substr(5)));
            std::cout << "waited " << WaitForSingleObject(event, ms) << std::endl;
        } else if (command == "set") {
            std::cout << "set " << SetEvent(event) << std::endl;
        } else if (command == "reset") {
            std::cout << "reset " << ResetEvent(event) << std::endl;
        }
    }
    _exit(0);
}

class Child {
public:
    Child()
        : process_("PlatformNamedEventProcess.DISABLED_Child",
                   {"TOVEL_EVENT_CHILD_ROOT=" + machine_root()}) {
        EXPECT_EQ(line(), "ready");
    }
    std::string ask(const std::string& command, int timeoutMs = 60000) {
        process_.send(command);
        return line(timeoutMs);
    }
    void send(const std::string& command) { process_.send(command); }
    std::string line(int timeoutMs = 60000) {
        return process_.next(
            [](const std::string& text) {
                return !text.empty() && text[0] != '[' &&
                       text.find("filter") == std::string::npos &&
                       text.find("Running main") == std::string::npos;
            },
            timeoutMs);
    }
    void kill_and_reap() { process_.kill_and_reap(); }

private:
    tovel::testing::ChildProcess process_;
};

TEST(PlatformNamedEventProcess, ASetInOneProcessIsSeenByTheWaitsOfOthers) {
    Child maker, waiter;
    ASSERT_EQ(maker.ask("create 1 1 Global\\{exit}"), "made 0");
    ASSERT_EQ(waiter.ask("open Global\\{exit}"), "opened");
    EXPECT_EQ(waiter.ask("wait 100"), "waited 258");
    HANDLE mine = OpenEventW(SYNCHRONIZE, FALSE, L"Global\\{exit}");
    ASSERT_NE(mine, nullptr);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> seen{WAIT_FAILED};
    std::thread watcher([&] {
        HANDLE both[] = {mine, stop};
        seen = WaitForMultipleObjects(2, both, FALSE, 60000);
    });
    waiter.send("wait 60000");
    EXPECT_EQ(waiter.line(200), "<timeout>");  // still waiting
    EXPECT_EQ(seen.load(), WAIT_FAILED);
    EXPECT_EQ(maker.ask("set"), "set 1");
    EXPECT_EQ(waiter.line(), "waited 0");
    watcher.join();
    EXPECT_EQ(seen.load(), WAIT_OBJECT_0);
    EXPECT_EQ(waiter.ask("wait 0"), "waited 0");  // manual: stays set for all
    EXPECT_EQ(waiter.ask("reset"), "reset 1");
    EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_TIMEOUT);
    CloseHandle(stop);
    CloseHandle(mine);
}

TEST(PlatformNamedEventProcess, AnAutoResetSetReleasesOneWaiterOfAllTheProcesses) {
    Child a, b;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, L"Global\\one");
    ASSERT_NE(event, nullptr);
    ASSERT_EQ(a.ask("open Global\\one"), "opened");
    ASSERT_EQ(b.ask("open Global\\one"), "opened");
    a.send("wait 60000");
    b.send("wait 60000");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(SetEvent(event));
    // One of the two wakes; the other goes on waiting until the second set.
    std::string first_a = a.line(500), first_b = b.line(500);
    EXPECT_EQ((first_a == "waited 0") + (first_b == "waited 0"), 1) << first_a << " " << first_b;
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // taken
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(first_a == "waited 0" ? b.line() : a.line(), "waited 0");
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(PlatformNamedEventProcess, TheNameGoesWithItsLastHolderEvenAKilledOne) {
    Child a, b;
    ASSERT_EQ(a.ask("create 1 0 Global\\kept"), "made 0");
    ASSERT_EQ(b.ask("create 0 0 Global\\kept"), "made 183");
    a.kill_and_reap();
    ASSERT_EQ(b.ask("set"), "set 1");
    HANDLE seen = OpenEventW(SYNCHRONIZE, FALSE, L"Global\\kept");
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(WaitForSingleObject(seen, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(seen, 0), WAIT_OBJECT_0);  // still the manual event of a
    CloseHandle(seen);
    b.kill_and_reap();
    EXPECT_EQ(event_files().size(), 1u);  // no clean-up ran
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"Global\\kept"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    HANDLE fresh = CreateEventW(nullptr, FALSE, FALSE, L"Global\\kept");
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);
    CloseHandle(fresh);
}

TEST(PlatformNamedEventProcess, ANullAccessListLetsAnotherUserOpenAndSetIt) {
    // The other user must reach the machine's objects folder.
    ASSERT_EQ(chmod(machine_root().c_str(), 0755), 0);
    OpenToAll all;
    HANDLE open = CreateEventA(&all.attributes, TRUE, FALSE, "Global\\open");
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, "Global\\closed");
    ASSERT_NE(open, nullptr);
    ASSERT_NE(closed, nullptr);
    Child other;
    ASSERT_EQ(other.ask("become nobody"), "nobody");
    EXPECT_EQ(other.ask("open Global\\closed"), "failed 5");
    ASSERT_EQ(other.ask("open Global\\open"), "opened");
    EXPECT_EQ(other.ask("set"), "set 1");
    EXPECT_EQ(WaitForSingleObject(open, 10000), WAIT_OBJECT_0);
    CloseHandle(open);
    CloseHandle(closed);
}

}  // namespace
