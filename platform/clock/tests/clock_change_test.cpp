#include "platform/clock/clock_change.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;

TEST(PlatformClockChange, StartsAndStopsWithoutAChange) {
    std::atomic<int> changes{0};
    {
        tovel::platform::ClockChangeWatcher watcher([&] { ++changes; });
    }
    EXPECT_EQ(changes, 0);
}

TEST(PlatformClockChange, SettingTheClockIsReported) {
    std::atomic<int> changes{0};
    tovel::platform::ClockChangeWatcher watcher([&] { ++changes; });
    std::this_thread::sleep_for(20ms);
    // Setting the clock to what it reads is a setting all the same.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (clock_settime(CLOCK_REALTIME, &now) != 0) GTEST_SKIP() << "the clock cannot be set here";
    for (int i = 0; i < 200 && changes == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(changes, 1);
    clock_gettime(CLOCK_REALTIME, &now);
    ASSERT_EQ(clock_settime(CLOCK_REALTIME, &now), 0);
    for (int i = 0; i < 200 && changes == 1; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(changes, 2);  // re-armed after each report
}
