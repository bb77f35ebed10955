// Clocks and the SYSTEMTIME/FILETIME conversions: Windows' field checks (no
// normalisation), the calendar against python3's datetime, and local time in
// time zones set by the test.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/tests/helpers.h"
#include "platform/win32.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"

using platform_tests::python;
using platform_tests::ScopedTimeZone;

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kUnixEpoch = 116444736000000000ull;

uint64_t ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}
FILETIME filetime(uint64_t value) {
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

SYSTEMTIME make_time(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                     int ms = 0) {
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(month);
    t.wDay = static_cast<WORD>(day);
    t.wHour = static_cast<WORD>(hour);
    t.wMinute = static_cast<WORD>(minute);
    t.wSecond = static_cast<WORD>(second);
    t.wMilliseconds = static_cast<WORD>(ms);
    return t;
}

// "2021-07-15 12:00:00.000 (4)": the fields and the day of the week.
std::string describe(const SYSTEMTIME& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u (%u)", t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, t.wDayOfWeek);
    return text;
}

uint64_t to_ticks(const SYSTEMTIME& t) {
    FILETIME out{};
    EXPECT_TRUE(SystemTimeToFileTime(&t, &out)) << describe(t);
    return ticks(out);
}

SYSTEMTIME to_fields(uint64_t value) {
    FILETIME in = filetime(value);
    SYSTEMTIME out{};
    EXPECT_TRUE(FileTimeToSystemTime(&in, &out)) << value;
    return out;
}

}  // namespace

TEST(PlatformTime, KnownInstants) {
    EXPECT_EQ(to_ticks(make_time(1970, 1, 1)), kUnixEpoch);
    EXPECT_EQ(to_ticks(make_time(1601, 1, 1)), 0u);
    EXPECT_EQ(describe(to_fields(0)), "1601-01-01 00:00:00.000 (1)");  // a Monday
    EXPECT_EQ(describe(to_fields(kUnixEpoch)), "1970-01-01 00:00:00.000 (4)");

    // The largest FILETIME there is; the next one is refused.
    EXPECT_EQ(describe(to_fields(0x7FFFFFFFFFFFFFFFull)), "30828-09-14 02:48:05.477 (4)");
    FILETIME beyond = filetime(0x8000000000000000ull);
    SYSTEMTIME out;
    EXPECT_FALSE(FileTimeToSystemTime(&beyond, &out));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(PlatformTime, FieldsAreCheckedAndNeverNormalised) {
    struct Case {
        SYSTEMTIME time;
        bool valid;
    } cases[] = {
        {make_time(2010, 2, 30), false},
        {make_time(2012, 2, 29), true},
        {make_time(2011, 2, 29), false},
        {make_time(1900, 2, 29), false},
        {make_time(2000, 2, 29), true},
        {make_time(2021, 4, 31), false},
        {make_time(2021, 12, 31), true},
        {make_time(2021, 13, 1), false},
        {make_time(2021, 0, 1), false},
        {make_time(2021, 1, 0), false},
        {make_time(2021, 1, 1, 24), false},
        {make_time(2021, 1, 1, 23, 60), false},
        {make_time(2021, 1, 1, 23, 59, 60), false},
        {make_time(2021, 1, 1, 23, 59, 59, 1000), false},
        {make_time(2021, 1, 1, 23, 59, 59, 999), true},
        {make_time(1600, 12, 31, 23, 59, 59, 999), false},
        {make_time(30827, 12, 31, 23, 59, 59, 999), true},
        {make_time(30828, 1, 1), false},
    };
    for (const auto& c : cases) {
        FILETIME out = filetime(0x1234);
        SetLastError(0);
        EXPECT_EQ(SystemTimeToFileTime(&c.time, &out), c.valid ? TRUE : FALSE) << describe(c.time);
        if (!c.valid) {
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << describe(c.time);
        }
    }
    // The day of the week given is not looked at.
    SYSTEMTIME wrong_day = make_time(2021, 7, 15);
    wrong_day.wDayOfWeek = 6;
    EXPECT_EQ(to_ticks(wrong_day), to_ticks(make_time(2021, 7, 15)));
}

TEST(PlatformTime, CalendarAgreesWithPython) {
    std::vector<SYSTEMTIME> times = {
        make_time(1601, 1, 1),   make_time(1601, 12, 31, 23, 59, 59, 999),
        make_time(1700, 2, 28),  make_time(1899, 12, 31, 23, 59, 59, 999),
        make_time(1900, 3, 1),   make_time(2000, 2, 29, 12),
        make_time(2000, 12, 31), make_time(2038, 1, 19, 3, 14, 8),
        make_time(2100, 2, 28),  make_time(2100, 3, 1),
        make_time(2400, 2, 29),  make_time(9999, 12, 31, 23, 59, 59, 999),
        make_time(10000, 1, 1),  make_time(30827, 12, 31, 23, 59, 59, 999),
    };
    std::mt19937 random(1601);
    for (int i = 0; i < 300; ++i)
        times.push_back(
            make_time(1601 + static_cast<int>(random() % 29227),
                      1 + static_cast<int>(random() % 12), 1 + static_cast<int>(random() % 28),
                      static_cast<int>(random() % 24), static_cast<int>(random() % 60),
                      static_cast<int>(random() % 60), static_cast<int>(random() % 1000)));
    std::string input;
    for (const auto& t : times)
        input += std::to_string(t.wYear) + " " + std::to_string(t.wMonth) + " " +
                 std::to_string(t.wDay) + " " + std::to_string(t.wHour) + " " +
                 std::to_string(t.wMinute) + " " + std::to_string(t.wSecond) + " " +
                 std::to_string(t.wMilliseconds) + "\n";
    // datetime stops at 9999: later years are moved back by whole 400-year
    // cycles, which repeat the calendar and the days of the week exactly.
    std::string program =
        "import sys, datetime\n"
        "base = datetime.datetime(1601, 1, 1)\n"
        "for line in sys.stdin:\n"
        "    y, mo, d, h, mi, s, ms = map(int, line.split())\n"
        "    c = (y - 1601) // 400\n"
        "    t = datetime.datetime(y - 400 * c, mo, d, h, mi, s, ms * 1000)\n"
        "    us = (t - base) // datetime.timedelta(microseconds=1)\n"
        "    print(us * 10 + c * 146097 * 864000000000, t.isoweekday() % 7)";
    std::string output = tovel::testing::python_with_input(program, input);
    ASSERT_FALSE(output.empty());
    std::istringstream lines(output);
    for (auto t : times) {
        uint64_t expected_ticks = 0;
        unsigned expected_day = 9;
        ASSERT_TRUE(lines >> expected_ticks >> expected_day);
        EXPECT_EQ(to_ticks(t), expected_ticks) << describe(t);
        t.wDayOfWeek = static_cast<WORD>(expected_day);
        EXPECT_EQ(describe(to_fields(expected_ticks)), describe(t));
    }
}

TEST(PlatformTime, RoundTripsKeepMillisecondsAndDropFinerTicks) {
    uint64_t base = to_ticks(make_time(2021, 7, 15, 12, 34, 56, 789));
    SYSTEMTIME fields = to_fields(base + 9999);  // less than a millisecond more
    EXPECT_EQ(fields.wMilliseconds, 789);
    EXPECT_EQ(to_ticks(fields), base);

    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t back = to_ticks(to_fields(ticks(now)));
    EXPECT_LE(back, ticks(now));
    EXPECT_LT(ticks(now) - back, 10000u);
}

TEST(PlatformLocalTime, FixedOffsetZonesAgreeWithPython) {
    struct Zone {
        const char* tz;
        int offset_minutes;  // east of UTC
    } zones[] = {{"<+0530>-5:30", 330}, {"<-03>3", -180}, {"<-0945>9:45", -585}, {"UTC0", 0}};
    const int64_t instants[] = {0, 951782400, 1626352200, 4102444799};  // unix seconds

    // python's local fields for every zone and instant, one line each, in loop order.
    std::string program =
        "import datetime as d\n"
        "for m in (330, -180, -585, 0):\n"
        "    for s in (0, 951782400, 1626352200, 4102444799):\n"
        "        t = d.datetime.fromtimestamp(s, d.timezone(d.timedelta(minutes=m)))\n"
        "        print('%04d-%02d-%02d %02d:%02d:%02d.000 (%d)' % (t.year, t.month, t.day,\n"
        "              t.hour, t.minute, t.second, t.isoweekday() % 7))";
    std::istringstream expected(python(program));
    for (const auto& zone : zones) {
        ScopedTimeZone tz(zone.tz);
        for (int64_t unix_seconds : instants) {
            SCOPED_TRACE(testing::Message() << zone.tz << " at " << unix_seconds);
            uint64_t utc_ticks = kUnixEpoch + static_cast<uint64_t>(unix_seconds) * kTicksPerSecond;
            FILETIME utc = filetime(utc_ticks), local{}, again{};
            ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
            EXPECT_EQ(static_cast<int64_t>(ticks(local) - utc_ticks),
                      int64_t{zone.offset_minutes} * 60 * static_cast<int64_t>(kTicksPerSecond));
            ASSERT_TRUE(LocalFileTimeToFileTime(&local, &again));
            EXPECT_EQ(ticks(again), utc_ticks);
            std::string line;
            ASSERT_TRUE(std::getline(expected, line));
            EXPECT_EQ(describe(to_fields(ticks(local))), line);
        }
    }
}

TEST(PlatformLocalTime, SummerTimeFollowsTheZoneAtThatInstant) {
    ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
    uint64_t winter = to_ticks(make_time(2021, 1, 15, 12));
    uint64_t summer = to_ticks(make_time(2021, 7, 15, 12));
    for (auto [utc_ticks, hours] : {std::pair{winter, 1u}, std::pair{summer, 2u}}) {
        FILETIME utc = filetime(utc_ticks), local{}, again{};
        ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
        EXPECT_EQ(ticks(local) - utc_ticks, hours * 3600 * kTicksPerSecond);
        ASSERT_TRUE(LocalFileTimeToFileTime(&local, &again));
        EXPECT_EQ(ticks(again), utc_ticks);
    }
}

TEST(PlatformLocalTime, GetLocalTimeIsTheHostsLocalTime) {
    for (const char* zone : {"<+0530>-5:30", "<-0945>9:45", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
        SCOPED_TRACE(zone);
        ScopedTimeZone tz(zone);
        time_t before = time(nullptr);
        SYSTEMTIME local, utc;
        GetLocalTime(&local);
        GetSystemTime(&utc);
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        time_t after = time(nullptr);

        struct tm host;
        ASSERT_NE(localtime_r(&before, &host), nullptr);
        int64_t offset = host.tm_gmtoff;
        int64_t local_ticks = static_cast<int64_t>(to_ticks(local));
        int64_t utc_ticks = static_cast<int64_t>(to_ticks(utc));
        // The two readings are microseconds apart; allow for the milliseconds.
        EXPECT_NEAR(static_cast<double>(local_ticks - utc_ticks) / kTicksPerSecond,
                    static_cast<double>(offset), 1.0);
        int64_t utc_seconds = (utc_ticks - static_cast<int64_t>(kUnixEpoch)) / 10000000;
        EXPECT_GE(utc_seconds, before);
        EXPECT_LE(utc_seconds, after);
        int64_t now_seconds = static_cast<int64_t>((ticks(now) - kUnixEpoch) / kTicksPerSecond);
        EXPECT_GE(now_seconds, before);
        EXPECT_LE(now_seconds, after);
        // The day of the week GetLocalTime gives is the local date's.
        EXPECT_EQ(local.wDayOfWeek, to_fields(static_cast<uint64_t>(local_ticks)).wDayOfWeek);
    }
}
