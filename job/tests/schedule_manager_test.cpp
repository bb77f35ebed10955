#include "scheduler/schedule_manager.h"

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "common/json.h"
#include "job/core/iocp_dispatcher.h"
#include "plandeck/schedule.h"
#include "scheduler/schedule_helpers.h"
#include "tools/testkit/log_capture.h"

using namespace std::chrono_literals;

namespace {

constexpr uint64_t kMs = 10000;  // FILETIME ticks

uint64_t now() { return Io_Completion_Port_Ex::localFileTime(); }
uint64_t ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}
FILETIME fileTime(uint64_t time) {
    return FILETIME{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
}

::Schedule schedule(const std::string& json) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(json, value)) << json;
    ::Schedule out;
    EXPECT_TRUE(out.fromJSON(value)) << json;
    return out;
}

// A daily schedule whose run is some two hours away, clear of the test.
::Schedule dailyLater() {
    SYSTEMTIME local;
    GetLocalTime(&local);
    char json[64];
    std::snprintf(json, sizeof json, R"({"type":"daily","startTime":"%d:%d"})",
                  (local.wHour + 2) % 24, local.wMinute);
    return schedule(json);
}

std::string start(const std::string& id) { return "Add command start of job " + id + " to"; }
std::string rescan(const std::string& id) { return "Add command do_schedule of job " + id + " to"; }

// Points the dispatcher thread's log at the test's log as its first timer.
class LogTap : public Io_Completion_Port_Ex::Timeout_Handler {
public:
    explicit LogTap(std::ostream& stream) : stream_(stream) {}
    void handle_timeout(uint64_t) override {
        ACE_Log_Msg::instance()->msg_ostream(&stream_, false);
        tapped = true;
    }
    std::atomic<bool> tapped{false};

private:
    std::ostream& stream_;
};

// The process's dispatcher running, its thread's log read with the test's.
class ScheduleManagerTimers : public tovel::testing::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        Iocp_Dispatcher* dispatcher = Iocp_Dispatcher::instance();
        ASSERT_TRUE(dispatcher->open());
        ASSERT_TRUE(dispatcher->activate());
        dispatcher->schedule_timer(&tap_, 0);
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!tap_.tapped && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        ASSERT_TRUE(tap_.tapped);
    }
    void TearDown() override {
        Iocp_Dispatcher::instance()->stop();
        LoggedTest::TearDown();
    }

    // The log so far; the dispatcher thread writes it under ACE's log lock.
    std::string text() {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        log->acquire();
        std::string out = peek_log();
        log->release();
        return out;
    }
    int count(const std::string& needle) {
        std::string log = text();
        int found = 0;
        for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
            ++found;
        return found;
    }
    bool wait_for(const std::string& needle, int times = 1) {
        auto deadline = std::chrono::steady_clock::now() + 8s;
        while (count(needle) < times) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    // Arms a job under the manager's lock, as callers do.
    static bool arm(ScheduleManagerImpl* manager, const std::string& id, uint64_t when) {
        manager->Lock();
        bool armed = manager->ScheduleImpl(fileTime(when), id);
        manager->Unlock();
        return armed;
    }
    static bool disarm(ScheduleManagerImpl* manager, const std::string& id) {
        manager->Lock();
        bool done = manager->UnscheduleImpl(id);
        manager->Unlock();
        return done;
    }

    ScheduleManagerImpl* manager_ = ScheduleManagerImpl::instance();

private:
    LogTap tap_{log_stream()};
};

}  // namespace

TEST_F(ScheduleManagerTimers, ExpiredTimerQueuesOneStartAndWaitsToBeArmedAgain) {
    ASSERT_TRUE(arm(manager_, "a", now() + 200 * kMs));
    ASSERT_TRUE(wait_for(start("a")));
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(count(start("a")), 1) << text();
    EXPECT_EQ(count("do_schedule"), 0) << text();

    // The job arms its known handler again after the run.
    ScheduleHandler* handler = manager_->FindSchedule("a");
    ASSERT_NE(handler, nullptr);
    ASSERT_TRUE(arm(manager_, "a", now() + 100 * kMs));
    EXPECT_EQ(manager_->FindSchedule("a"), handler);
    EXPECT_TRUE(wait_for(start("a"), 2)) << text();
}

TEST_F(ScheduleManagerTimers, ArmingAgainMovesTheJobsOneTimer) {
    ASSERT_TRUE(arm(manager_, "b", now() + 150 * kMs));
    ScheduleHandler* handler = manager_->FindSchedule("b");
    ASSERT_NE(handler, nullptr);
    long first = handler->timer_id;
    EXPECT_EQ(manager_->FindSchedule(first), handler);

    uint64_t later = now() + 2000 * kMs;
    ASSERT_TRUE(arm(manager_, "b", later));
    EXPECT_EQ(manager_->FindSchedule("b"), handler);
    long second = handler->timer_id;
    EXPECT_NE(second, first);
    EXPECT_EQ(manager_->FindSchedule(second), handler);
    EXPECT_EQ(manager_->FindSchedule(first), nullptr);
    EXPECT_EQ(manager_->FindSchedule("unknown"), nullptr);

    std::this_thread::sleep_for(800ms);  // well past the first arming
    EXPECT_EQ(count(start("b")), 0) << text();
    ASSERT_TRUE(wait_for(start("b")));
    EXPECT_GE(now(), later);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(count(start("b")), 1) << text();
}

TEST_F(ScheduleManagerTimers, UnschedulingDisarmsButKeepsTheHandler) {
    EXPECT_TRUE(disarm(manager_, "never"));
    EXPECT_NE(text().find("can't find the timer handler"), std::string::npos) << text();
    EXPECT_EQ(manager_->FindSchedule("never"), nullptr);

    uint64_t due = now() + 200 * kMs;
    ASSERT_TRUE(arm(manager_, "c", due));
    ASSERT_TRUE(arm(manager_, "control", due));
    ScheduleHandler* handler = manager_->FindSchedule("c");
    EXPECT_TRUE(disarm(manager_, "c"));
    ASSERT_TRUE(wait_for(start("control")));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(count(start("c")), 0) << text();

    EXPECT_EQ(manager_->FindSchedule("c"), handler);
    ASSERT_TRUE(arm(manager_, "c", now() + 100 * kMs));
    EXPECT_EQ(manager_->FindSchedule("c"), handler);
    EXPECT_TRUE(wait_for(start("c")));
}

// A job whose timer fired, or was disarmed already, has none left to disarm:
// a schedule turned manual after a run must not be a failure.
TEST_F(ScheduleManagerTimers, UnschedulingAJobWithoutArmedTimerSucceeds) {
    ASSERT_TRUE(arm(manager_, "fired", now() + 100 * kMs));
    ASSERT_TRUE(wait_for(start("fired")));
    EXPECT_TRUE(disarm(manager_, "fired"));

    ASSERT_TRUE(arm(manager_, "twice", now() + 3600 * 1000 * kMs));
    EXPECT_TRUE(disarm(manager_, "twice"));
    EXPECT_TRUE(disarm(manager_, "twice"));
    EXPECT_EQ(text().find("failure"), std::string::npos) << text();
}

TEST_F(ScheduleManagerTimers, ClockChangeAsksArmedJobsOnlyToScheduleAgain) {
    uint64_t hour = now() + 3600 * 1000 * kMs;
    ASSERT_TRUE(arm(manager_, "armed", hour));
    ASSERT_TRUE(arm(manager_, "disarmed", hour));
    ASSERT_TRUE(disarm(manager_, "disarmed"));
    ASSERT_TRUE(IocpDispatherWrapper::notifyTimeChange());
    ASSERT_TRUE(wait_for(rescan("armed")));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(count(rescan("armed")), 1) << text();
    EXPECT_EQ(count(rescan("disarmed")), 0) << text();
    EXPECT_EQ(count("Add command start"), 0) << text();
}

TEST_F(ScheduleManagerTimers, DailyScheduleArmsItsNextLocalRunTime) {
    FILETIME base = fileTime(now());
    ::Schedule daily = dailyLater();

    uint64_t next = 0;
    ASSERT_TRUE(manager_->scheduleNextRun("d", base, daily, false, 0, next));
    FILETIME expected;
    ASSERT_TRUE(nextScheduleTime(base, daily, nullptr, expected));
    EXPECT_EQ(next, ticks(expected));
    EXPECT_GT(next, now());
    SYSTEMTIME at;
    ASSERT_TRUE(FileTimeToSystemTime(&expected, &at));
    EXPECT_EQ(at.wHour, daily.startHour());
    EXPECT_EQ(at.wMinute, daily.startMinute());
    EXPECT_EQ(at.wSecond, 0);
    ScheduleHandler* handler = manager_->FindSchedule("d");
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(manager_->FindSchedule(handler->timer_id), handler);
}

TEST_F(ScheduleManagerTimers, OnceManualOrRunOnceDisarmTheOldTimer) {
    FILETIME base = fileTime(now());
    ::Schedule daily = dailyLater();
    ::Schedule once = schedule(R"({"type":"once"})");
    ::Schedule manual = schedule(R"({"type":"manual","startTime":"8:00"})");
    uint64_t next = 0;
    for (const char* id : {"daily", "once", "manual", "run-once"})
        ASSERT_TRUE(manager_->scheduleNextRun(id, base, daily, false, 0, next)) << id;

    // The three are due shortly; changing their schedules disarms them.
    uint64_t soon = now() + 300 * kMs;
    for (const char* id : {"once", "manual", "run-once", "control"})
        ASSERT_TRUE(arm(manager_, id, soon)) << id;
    next = 1;
    EXPECT_FALSE(manager_->scheduleNextRun("once", base, once, false, 0, next));
    EXPECT_EQ(next, 0u);
    next = 1;
    EXPECT_FALSE(manager_->scheduleNextRun("manual", base, manual, false, ticks(base), next));
    EXPECT_EQ(next, 0u);
    next = 1;
    EXPECT_FALSE(manager_->scheduleNextRun("run-once", base, daily, true, 0, next));
    EXPECT_EQ(next, 0u);

    ASSERT_TRUE(wait_for(start("control")));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(count("Add command start"), 1) << text();

    // Nothing of theirs is left armed for later either.
    ASSERT_TRUE(IocpDispatherWrapper::notifyTimeChange());
    ASSERT_TRUE(wait_for(rescan("daily")));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(count("Add command do_schedule"), 1) << text();
}

TEST_F(ScheduleManagerTimers, ScheduleTakesSecondsSince1970) {
    int64_t when = static_cast<int64_t>(time(nullptr)) + 2;
    ASSERT_TRUE(manager_->Schedule(when, "e"));
    ASSERT_TRUE(wait_for(start("e"))) << text();
    // time() reads a coarse clock that may lag the dispatcher's by a tick.
    auto fired = std::chrono::system_clock::now().time_since_epoch();
    EXPECT_GE(std::chrono::duration_cast<std::chrono::seconds>(fired).count(), when);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(count(start("e")), 1) << text();

    EXPECT_FALSE(manager_->Schedule(INT64_MAX, "f"));
    EXPECT_EQ(manager_->FindSchedule("f"), nullptr);
}

TEST_F(ScheduleManagerTimers, DestroyedManagerLeavesNoTimerBehind) {
    {
        ScheduleManagerImpl local;
        ASSERT_TRUE(arm(&local, "gone-1", now() + 200 * kMs));
        ASSERT_TRUE(arm(&local, "gone-2", now() + 3600 * 1000 * kMs));
    }
    // Handlers due at once, destroyed while the dispatcher may be running them.
    for (int round = 0; round < 20; ++round) {
        ScheduleManagerImpl local;
        ASSERT_TRUE(arm(&local, "racing", now()));
        if (round % 2) std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(arm(manager_, "control", now() + 300 * kMs));
    ASSERT_TRUE(wait_for(start("control")));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(count(start("gone-1")), 0) << text();

    ASSERT_TRUE(arm(manager_, "control", now() + 3600 * 1000 * kMs));
    ASSERT_TRUE(IocpDispatherWrapper::notifyTimeChange());
    ASSERT_TRUE(wait_for(rescan("control")));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(count("Add command do_schedule"), 1) << text();
}
