// The update schedule with short settings and a stand-in updater (a shell
// script that notes its pid and lists its descriptors): first and later
// starts, a clock change, a period of 0, a missing updater, a long program
// path, and that every updater is reaped and holds none of the service's
// descriptors.
#include "scheduler/update_scheduler.h"

#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "job/core/iocp_dispatcher.h"
#include "tools/testkit/host_processes.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

namespace {

const wchar_t kUpdater[] = L"C:\\Program Files\\Tovel\\updater.exe";

// Polls until done() holds; false after ten seconds.
bool eventually(const std::function<bool()>& done) {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10); !done();) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Notes that it fired; given a stream, it points the dispatcher thread's log at it.
class Mark : public Io_Completion_Port_Ex::Timeout_Handler {
public:
    explicit Mark(std::ostream* stream = nullptr) : stream_(stream) {}
    void handle_timeout(uint64_t) override {
        if (stream_) ACE_Log_Msg::instance()->msg_ostream(stream_, false);
        fired = true;
    }
    std::atomic<bool> fired{false};

private:
    std::ostream* stream_;
};

class Probe : public Update_Scheduler {
public:
    unsigned period() const { return m_period; }
};

class UpdateSchedule : public tovel::testing::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_TRUE(Iocp_Dispatcher::instance()->open());
        ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
        Mark tap(&log_stream());
        Iocp_Dispatcher::instance()->schedule_timer(&tap, 0);
        ASSERT_TRUE(eventually([&] { return tap.fired.load(); }));
    }
    void TearDown() override {
        Iocp_Dispatcher::instance()->stop();
        LoggedTest::TearDown();
    }

    // The settings file, written before the store is first used.
    static void settings(int startAt, int againAt) {
        std::string folder = host_of(L"C:\\ProgramData\\morvask\\Tovel");
        std::filesystem::create_directories(folder);
        write_host_file(folder + "/options",
                        "{\"update_start_at\": " + std::to_string(startAt) +
                            ", \"update_again_at\": " + std::to_string(againAt) + "}");
    }
    // The stand-in updater: appends its pid to out() and lists its descriptors beside it.
    static void updater(const std::wstring& path = kUpdater) {
        std::string host = host_of(path);
        std::filesystem::create_directories(std::filesystem::path(host).parent_path());
        write_host_file(
            host, "#!/bin/sh\nls -l /proc/self/fd > " + out() + ".$$\necho $$ >> " + out() + "\n");
        ASSERT_EQ(chmod(host.c_str(), 0755), 0);
    }
    static std::string out() { return machine_root() + "/started"; }
    static std::vector<pid_t> started(size_t atLeast) {
        std::istringstream lines(tovel::testing::wait_for_lines(out(), atLeast));
        std::vector<pid_t> pids;
        for (pid_t pid; lines >> pid;) pids.push_back(pid);
        return pids;
    }
    // The log so far; the dispatcher thread writes it under ACE's log lock.
    int count(const std::string& needle) {
        ACE_Log_Msg::instance()->acquire();
        std::string log = peek_log();
        ACE_Log_Msg::instance()->release();
        int found = 0;
        for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
            ++found;
        return found;
    }
    // Returns once a timer armed now for ms has fired: every earlier due time has passed.
    static void pass(unsigned ms) {
        Mark mark;
        Iocp_Dispatcher::instance()->schedule_after_ms(&mark, ms);
        ASSERT_TRUE(eventually([&] { return mark.fired.load(); }));
    }
};

}  // namespace

TEST_F(UpdateSchedule, StartsAfterTheDelayThenEveryPeriodCleanAndReaped) {
    settings(100, 200);
    updater();
    std::string marker = machine_root() + "/marker";
    write_host_file(marker, "x");
    int inherited = ::open(marker.c_str(), O_RDONLY);  // no close-on-exec
    ASSERT_GE(inherited, 3);

    Update_Scheduler scheduler;
    ASSERT_TRUE(scheduler.schedule());
    std::vector<pid_t> pids = started(3);
    EXPECT_TRUE(scheduler.unschedule());
    ::close(inherited);
    ASSERT_GE(pids.size(), 3u);
    for (pid_t pid : pids) {
        EXPECT_TRUE(tovel::testing::wait_reaped(pid)) << pid;
        std::string listing = read_host_file(out() + "." + std::to_string(pid));
        EXPECT_EQ(tovel::testing::listed_descriptors(listing).size(), 3u) << listing;
    }
    EXPECT_EQ(count("Failed"), 0);
}

// A period of 0 would start the updater on every turn of the dispatcher.
TEST_F(UpdateSchedule, PeriodOfZeroCountsAsMissing) {
    settings(50, 0);
    updater();
    Probe scheduler;
    EXPECT_EQ(scheduler.period(), 14400000u);
    ASSERT_TRUE(scheduler.schedule());
    ASSERT_EQ(started(1).size(), 1u);
    pass(300);
    EXPECT_EQ(started(1).size(), 1u);
    EXPECT_TRUE(scheduler.unschedule());
}

TEST_F(UpdateSchedule, ClockChangeOnlyMovesTheNextStartToOnePeriodAhead) {
    settings(3600000, 400);
    updater();
    Update_Scheduler scheduler;
    ASSERT_TRUE(scheduler.schedule());
    ASSERT_TRUE(IocpDispatherWrapper::notifyTimeChange());
    ASSERT_TRUE(eventually([&] { return count("Update Scheduler: Reschedule.\n") == 1; }));
    EXPECT_FALSE(std::filesystem::exists(out()));  // nothing started by the change itself
    EXPECT_EQ(started(1).size(), 1u);              // an hour early: one period after the change
    EXPECT_TRUE(scheduler.unschedule());
}

TEST_F(UpdateSchedule, MissingUpdaterIsLoggedAtEachExpiryAndStaysArmed) {
    settings(50, 100);
    std::filesystem::create_directories(host_of(L"C:\\Program Files\\Tovel"));
    Update_Scheduler scheduler;
    ASSERT_TRUE(scheduler.schedule());
    EXPECT_TRUE(
        eventually([&] { return count("Failed to execute the updater, error-code = 2, ") >= 2; }));
    EXPECT_TRUE(scheduler.unschedule());
    EXPECT_FALSE(scheduler.unschedule());
    EXPECT_EQ(count("Failed to unschedule the Update_Scheduler."), 1);
}

// The program's path once went into a fixed buffer whose overflow ended the service.
TEST_F(UpdateSchedule, ProgramPathOfAnyLengthFindsTheUpdater) {
    std::wstring folder = L"C:";
    for (int i = 0; i < 4; ++i) folder += L"\\" + std::wstring(160, L"abcd"[i]);
    std::string program = "C:" + std::string(folder.begin() + 2, folder.end()) + "\\agent.exe";
    setenv("TOVEL_PROGRAM", program.c_str(), 1);
    EXPECT_EQ(Update_Scheduler::updater_path(), folder + L"\\updater.exe");
    settings(50, 3600000);
    updater(folder + L"\\updater.exe");
    Update_Scheduler scheduler;
    ASSERT_TRUE(scheduler.schedule());
    EXPECT_EQ(started(1).size(), 1u);
    EXPECT_TRUE(scheduler.unschedule());
}
