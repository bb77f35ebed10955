#include "job/core/speed_sampler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "tools/testkit/log_capture.h"

namespace {

using namespace std::chrono_literals;

constexpr uint64_t kSecond = 10000000;

// A port whose timers never fire by themselves (no thread waits on it); the
// test looks at what is armed.
class QuietPort : public Io_Completion_Port_Ex {
public:
    size_t armed() const { return heap_.size(); }
    uint64_t earliestDue() const { return heap_.empty() ? 0 : heap_.front().due; }
};

// A clock the test sets.
std::atomic<uint64_t> fakeNow{0};
uint64_t fakeClock() { return fakeNow.load(); }

// The real clock, counting its readings and keeping the first and the last.
std::atomic<int> readings{0};
std::atomic<uint64_t> firstReading{0}, lastReading{0};
uint64_t countingClock() {
    uint64_t now = Io_Completion_Port_Ex::localFileTime();
    if (readings++ == 0) firstReading = now;
    lastReading = now;
    return now;
}

std::unique_ptr<JobActivity> newRecord() {
    std::unique_ptr<JobActivity> record(new JobActivity);
    std::memset(static_cast<void*>(record.get()), 0, sizeof(JobActivity));
    return record;
}

class JobSpeedSampler : public tovel::testing::LoggedTest {};

TEST_F(JobSpeedSampler, TwoTimeoutsAddTheirTwoSecondStepsAndTheEndAddsTheRest) {
    ASSERT_TRUE(IocpDispatherWrapper::open());
    ASSERT_TRUE(IocpDispatherWrapper::activate());
    auto record = newRecord();
    record->elapsedTime = 7 * kSecond;  // time of earlier runs stays counted
    readings = 0;
    uint64_t start = Io_Completion_Port_Ex::localFileTime();
    auto sampler = std::make_unique<SpeedCalc>(record.get(), nullptr, &countingClock);
    EXPECT_NE(sampler->timer_id, -1);
    EXPECT_EQ(readings.load(), 2);  // sample, arm
    EXPECT_EQ(record->elapsedTime, 7 * kSecond);
    // Each timeout samples and re-arms; the machine may be slow, so the test
    // waits for them instead of sleeping a fixed time.
    auto waitReadings = [](int count) {
        auto deadline = std::chrono::steady_clock::now() + 60s;
        while (readings.load() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return readings.load() >= count;
    };
    ASSERT_TRUE(waitReadings(4));
    uint64_t first = Io_Completion_Port_Ex::localFileTime();
    EXPECT_GE(first - start, 2 * kSecond - 20000);  // never before its 2 seconds
    EXPECT_GE(record->elapsedTime, 9 * kSecond - 20000);
    EXPECT_LE(record->elapsedTime, 7 * kSecond + (first - start));
    ASSERT_TRUE(waitReadings(6));
    sampler.reset();
    uint64_t end = Io_Completion_Port_Ex::localFileTime();
    uint64_t added = record->elapsedTime - 7 * kSecond;
    EXPECT_LE(added, end - start);
    // Every interval between the sampler's first and last reading is counted
    // once; how long the test took to read `end` after that does not matter.
    EXPECT_EQ(added, lastReading - firstReading);
    EXPECT_GE(added, 4 * kSecond - 20000);
    // Construction (sample, arm), two timeouts (sample, re-arm each),
    // destruction (sample); a third timeout comes 2 seconds after the second.
    EXPECT_EQ(readings.load(), 2 + 2 * 2 + 1);
    EXPECT_TRUE(IocpDispatherWrapper::close());
}

TEST_F(JobSpeedSampler, DestroyedAtOnceAddsAlmostNothingAndLeavesNoTimer) {
    QuietPort port;
    ASSERT_TRUE(port.open());
    auto record = newRecord();
    {
        SpeedCalc sampler(record.get(), &port);
        EXPECT_EQ(port.armed(), 1u);
        uint64_t now = Io_Completion_Port_Ex::localFileTime();
        EXPECT_GE(port.earliestDue(), now + SpeedCalc::kPeriod - 20000);
        EXPECT_LE(port.earliestDue(), now + SpeedCalc::kPeriod);
    }
    EXPECT_EQ(port.armed(), 0u);
    EXPECT_LT(record->elapsedTime, 5000000u);
}

TEST_F(JobSpeedSampler, TimeoutAddsTheIntervalAndRearmsOnePeriodLater) {
    QuietPort port;
    ASSERT_TRUE(port.open());
    auto record = newRecord();
    fakeNow = 1000 * kSecond;
    SpeedCalc sampler(record.get(), &port, &fakeClock);
    EXPECT_EQ(port.earliestDue(), 1000 * kSecond + SpeedCalc::kPeriod);
    fakeNow = 1002 * kSecond + 123;
    sampler.handle_timeout(1002 * kSecond);
    EXPECT_EQ(record->elapsedTime, 2 * kSecond + 123);
    EXPECT_EQ(port.armed(), 1u);  // the old arming is gone, one new one
    EXPECT_EQ(port.earliestDue(), 1004 * kSecond + 123);
    record->bytesTransferred = 99;
    fakeNow = 1004 * kSecond + 123;
    sampler.handle_timeout(1004 * kSecond + 123);
    EXPECT_EQ(record->elapsedTime, 4 * kSecond + 123);
    EXPECT_EQ(record->bytesTransferred, 99u);  // only the elapsed time is touched
}

TEST_F(JobSpeedSampler, ClockSetBackCountsNothingAndRestartsFromTheNewTime) {
    QuietPort port;
    ASSERT_TRUE(port.open());
    auto record = newRecord();
    fakeNow = 5000 * kSecond;
    {
        SpeedCalc sampler(record.get(), &port, &fakeClock);
        fakeNow = 5002 * kSecond;
        sampler.handle_timeout(5002 * kSecond);
        EXPECT_EQ(record->elapsedTime, 2 * kSecond);
        // The clock goes back an hour: the change notice counts nothing, and the
        // sampler is re-armed for one period after the new time.
        fakeNow = 1402 * kSecond;
        sampler.handle_timeout(~0ull);
        EXPECT_EQ(record->elapsedTime, 2 * kSecond);
        EXPECT_EQ(port.armed(), 1u);
        EXPECT_EQ(port.earliestDue(), 1404 * kSecond);
        // Set back with no notice (a plain timeout): still nothing negative.
        fakeNow = 1300 * kSecond;
        sampler.handle_timeout(1404 * kSecond);
        EXPECT_EQ(record->elapsedTime, 2 * kSecond);
        // Later intervals count from the new time.
        fakeNow = 1302 * kSecond;
        sampler.handle_timeout(1302 * kSecond);
        EXPECT_EQ(record->elapsedTime, 4 * kSecond);
        // Destruction after a setting back adds nothing either.
        fakeNow = 1200 * kSecond;
    }
    EXPECT_EQ(record->elapsedTime, 4 * kSecond);
    EXPECT_EQ(port.armed(), 0u);
}

TEST_F(JobSpeedSampler, ClockChangeNoticeFromTheDispatcherRearms) {
    ASSERT_TRUE(IocpDispatherWrapper::open());
    ASSERT_TRUE(IocpDispatherWrapper::activate());
    auto record = newRecord();
    readings = 0;
    {
        SpeedCalc sampler(record.get(), nullptr, &countingClock);
        int32_t first = sampler.timer_id;
        std::this_thread::sleep_for(300ms);
        ASSERT_TRUE(IocpDispatherWrapper::notifyTimeChange());
        for (int i = 0; i < 100 && readings.load() < 4; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_EQ(readings.load(), 4);  // the notice sampled and re-armed
        EXPECT_NE(sampler.timer_id, first);
        EXPECT_GE(record->elapsedTime, 2500000u);
        EXPECT_LT(record->elapsedTime, 15000000u);
    }
    EXPECT_TRUE(IocpDispatherWrapper::close());
}

}  // namespace
