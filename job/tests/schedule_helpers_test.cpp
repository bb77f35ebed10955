#include "scheduler/schedule_helpers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "plandeck/schedule.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"

namespace {

using tovel::testing::run_command;

// Switches the process's time zone for one test and back.
class ZoneFixture : public tovel::testing::LoggedTest {
protected:
    void useZone(const std::string& zone) {
        if (zone != "UTC" && access(("/usr/share/zoneinfo/" + zone).c_str(), R_OK) != 0)
            GTEST_SKIP() << "no zone data for " << zone;
        const char* old = getenv("TZ");
        hadTz_ = old != nullptr;
        if (old) savedTz_ = old;
        setenv("TZ", zone.c_str(), 1);
        tzset();
        zone_ = zone;
        switched_ = true;
    }
    void TearDown() override {
        if (switched_) {
            if (hadTz_)
                setenv("TZ", savedTz_.c_str(), 1);
            else
                unsetenv("TZ");
            tzset();
        }
        LoggedTest::TearDown();
    }

    std::string zone_;

private:
    bool switched_ = false;
    bool hadTz_ = false;
    std::string savedTz_;
};

int64_t at(int year, int month, int day, int hour, int minute, int second = 0) {
    return ScheduleHelper::FromLocal(year, month, day, hour, minute, second);
}

FILETIME fileTime(int year, int month, int day, int hour, int minute) {
    SYSTEMTIME st = {};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    FILETIME out = {0, 0};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &out));
    return out;
}

std::string text(const SYSTEMTIME& st) {
    char buf[64];
    snprintf(buf, sizeof buf, "%d-%.2d-%.2d %.2d:%.2d:%.2d", st.wYear, st.wMonth, st.wDay, st.wHour,
             st.wMinute, st.wSecond);
    return buf;
}

// A time in seconds as local calendar text.
std::string local(int64_t time) {
    if (time == -1) return "none";
    SYSTEMTIME st;
    if (!ScheduleHelper::ToLocal(time, st)) return "bad";
    return text(st);
}

std::string local(const FILETIME& time) {
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&time, &st)) return "bad";
    return text(st);
}

ScheduleHelper::Clock fixedAt(int64_t now) {
    return [now] { return now; };
}

// The seconds since 1970 of a local wall-clock time of a zone, as python's
// zoneinfo computes them (fold 0: the earlier of two, the later zone for a gap).
int64_t pythonEpoch(const std::string& zone, const std::string& when) {
    std::string out;
    int status = run_command(
        "python3 -c 'import datetime, zoneinfo; print(int(datetime.datetime."
        "fromisoformat(\"" +
            when + "\").replace(tzinfo=zoneinfo.ZoneInfo(\"" + zone + "\")).timestamp()))'",
        &out);
    EXPECT_EQ(status, 0) << out;
    return std::strtoll(out.c_str(), nullptr, 10);
}

Schedule makeSchedule(int type, int value, int hour, int minute) {
    static const char* kNames[] = {"", "once", "daily", "weekly", "monthly", "manual"};
    json_spirit::Object object;
    object["type"] = kNames[type];
    object["startTime"] = std::to_string(hour) + ":" + std::to_string(minute);
    object["day"] = value;
    Schedule schedule;
    EXPECT_TRUE(schedule.fromJSON(json_spirit::Value(object)));
    EXPECT_EQ(schedule.type(), type);
    return schedule;
}

std::unique_ptr<ScheduleHelper> helperFor(int type, int value, int hour, int minute,
                                          const FILETIME& base, int64_t now) {
    std::unique_ptr<ScheduleHelper> helper(
        createScheduleHelper(base, makeSchedule(type, value, hour, minute)));
    if (helper) helper->SetClock(fixedAt(now));
    return helper;
}

// ---- every zone

class JobScheduleHelperZones : public ZoneFixture,
                               public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        ZoneFixture::SetUp();
        useZone(GetParam());
    }
};

TEST_P(JobScheduleHelperZones, DailyMissedRunStartsAtOnceUnlessRunOrDefinedToday) {
    FILETIME yesterday = fileTime(2024, 5, 9, 12, 0);
    int64_t now = at(2024, 5, 10, 9, 0);
    DailyScheduleHelper daily(yesterday, 8, 0, 0);
    daily.SetClock(fixedAt(now));
    EXPECT_EQ(daily.TimeOfNextScheduleImpl(-1), now);
    EXPECT_EQ(daily.SecondsToNextSchedule(-1), 0);
    EXPECT_EQ(local(daily.TimeOfNextScheduleImpl(at(2024, 5, 10, 8, 0))), "2024-05-11 08:00:00");
    // A run yesterday does not count for today.
    EXPECT_EQ(daily.TimeOfNextScheduleImpl(at(2024, 5, 9, 8, 0)), now);

    DailyScheduleHelper today(fileTime(2024, 5, 10, 8, 30), 8, 0, 0);
    today.SetClock(fixedAt(now));
    EXPECT_EQ(local(today.TimeOfNextScheduleImpl(-1)), "2024-05-11 08:00:00");
    EXPECT_EQ(today.SecondsToNextSchedule(-1), at(2024, 5, 11, 8, 0) - now);
}

TEST_P(JobScheduleHelperZones, DailyBeforeRunTimeIsTodayWhateverTheLastRun) {
    DailyScheduleHelper daily(fileTime(2024, 5, 1, 0, 0), 8, 0, 0);
    daily.SetClock(fixedAt(at(2024, 5, 10, 7, 0)));
    EXPECT_EQ(local(daily.TimeOfNextScheduleImpl(-1)), "2024-05-10 08:00:00");
    EXPECT_EQ(local(daily.TimeOfNextScheduleImpl(at(2024, 5, 9, 8, 0))), "2024-05-10 08:00:00");
    EXPECT_EQ(daily.SecondsToNextSchedule(-1), 3600);
    // Exactly at the run time, the run is due.
    daily.SetClock(fixedAt(at(2024, 5, 10, 8, 0)));
    EXPECT_EQ(daily.TimeOfNextScheduleImpl(-1), at(2024, 5, 10, 8, 0));
}

TEST_P(JobScheduleHelperZones, DailyAcrossMonthAndYearEnds) {
    DailyScheduleHelper daily(fileTime(2024, 1, 1, 0, 0), 0, 0, 0);
    daily.SetClock(fixedAt(at(2024, 12, 31, 23, 59, 59)));
    EXPECT_EQ(local(daily.TimeOfNextScheduleImpl(at(2024, 12, 31, 0, 0))), "2025-01-01 00:00:00");
    DailyScheduleHelper late(fileTime(2024, 1, 1, 0, 0), 23, 30, 0);
    late.SetClock(fixedAt(at(2024, 2, 28, 23, 45)));
    EXPECT_EQ(local(late.TimeOfNextScheduleImpl(at(2024, 2, 28, 23, 30))), "2024-02-29 23:30:00");
    late.SetClock(fixedAt(at(2023, 2, 28, 23, 45)));
    EXPECT_EQ(local(late.TimeOfNextScheduleImpl(at(2023, 2, 28, 23, 30))), "2023-03-01 23:30:00");
    EXPECT_EQ(late.Period(), 86400);
    EXPECT_EQ(local(late.PeriodStart()), "2023-02-28 00:00:00");
}

TEST_P(JobScheduleHelperZones, WeeklySundayAndSaturday) {
    // 2024-05-12 is a Sunday.
    FILETIME base = fileTime(2024, 4, 1, 0, 0);
    WeeklyScheduleHelper sunday(base, 0, 23, 0, 0);
    sunday.SetClock(fixedAt(at(2024, 5, 12, 22, 0)));
    EXPECT_EQ(local(sunday.PeriodStart()), "2024-05-12 00:00:00");
    EXPECT_EQ(local(sunday.TimeOfNextScheduleImpl(-1)), "2024-05-12 23:00:00");
    EXPECT_EQ(local(sunday.TimeOfNextScheduleImpl(at(2024, 5, 5, 23, 0))), "2024-05-12 23:00:00");
    sunday.SetClock(fixedAt(at(2024, 5, 12, 23, 30)));
    EXPECT_EQ(local(sunday.TimeOfNextScheduleImpl(at(2024, 5, 12, 23, 0))), "2024-05-19 23:00:00");

    WeeklyScheduleHelper saturday(base, 6, 10, 15, 0);
    saturday.SetClock(fixedAt(at(2024, 5, 15, 9, 0)));  // a Wednesday
    EXPECT_EQ(local(saturday.PeriodStart()), "2024-05-12 00:00:00");
    EXPECT_EQ(local(saturday.TimeOfNextScheduleImpl(-1)), "2024-05-18 10:15:00");
    // A week that crosses a month end and a year end.
    saturday.SetClock(fixedAt(at(2024, 12, 28, 11, 0)));
    EXPECT_EQ(local(saturday.TimeOfNextScheduleImpl(at(2024, 12, 28, 10, 15))),
              "2025-01-04 10:15:00");
    EXPECT_EQ(local(saturday.PeriodStart()), "2024-12-22 00:00:00");
    EXPECT_EQ(saturday.Period(), 604800);
}

TEST_P(JobScheduleHelperZones, MonthlyDay31MeansTheLastDay) {
    FILETIME base = fileTime(2010, 12, 1, 0, 0);
    MonthlyScheduleHelper monthly(base, 31, 8, 0, 0);
    monthly.SetClock(fixedAt(at(2011, 2, 1, 9, 0)));
    EXPECT_EQ(local(monthly.TimeOfNextScheduleImpl(at(2011, 1, 31, 8, 0))), "2011-02-28 08:00:00");
    EXPECT_EQ(monthly.Period(), 28 * 86400);
    monthly.SetClock(fixedAt(at(2011, 4, 10, 9, 0)));
    EXPECT_EQ(local(monthly.TimeOfNextScheduleImpl(at(2011, 3, 31, 8, 0))), "2011-04-30 08:00:00");
    // After the run of the 30-day month: the 31st of the next.
    monthly.SetClock(fixedAt(at(2011, 4, 30, 9, 0)));
    EXPECT_EQ(local(monthly.TimeOfNextScheduleImpl(at(2011, 4, 30, 8, 0))), "2011-05-31 08:00:00");
    // From January's run to February: 28 days in 2011, 29 in 2024.
    monthly.SetClock(fixedAt(at(2011, 1, 31, 9, 0)));
    EXPECT_EQ(local(monthly.TimeOfNextScheduleImpl(at(2011, 1, 31, 8, 0))), "2011-02-28 08:00:00");
    monthly.SetClock(fixedAt(at(2024, 1, 31, 9, 0)));
    EXPECT_EQ(local(monthly.TimeOfNextScheduleImpl(at(2024, 1, 31, 8, 0))), "2024-02-29 08:00:00");
    // December's run leads into January of the next year.
    monthly.SetClock(fixedAt(at(2024, 12, 31, 9, 0)));
    EXPECT_EQ(local(monthly.TimeOfNextScheduleImpl(at(2024, 12, 31, 8, 0))), "2025-01-31 08:00:00");
}

TEST_P(JobScheduleHelperZones, MonthlyDay29InLeapAndOtherYears) {
    MonthlyScheduleHelper monthly(fileTime(2020, 1, 1, 0, 0), 29, 6, 30, 0);
    monthly.SetClock(fixedAt(at(2024, 2, 10, 0, 0)));
    EXPECT_EQ(local(monthly.TimeOfNextScheduleImpl(-1)), "2024-02-29 06:30:00");
    EXPECT_EQ(monthly.Period(), 29 * 86400);
    EXPECT_EQ(local(monthly.PeriodStart()), "2024-02-01 00:00:00");
    monthly.SetClock(fixedAt(at(2023, 2, 10, 0, 0)));
    EXPECT_EQ(local(monthly.TimeOfNextScheduleImpl(-1)), "2023-02-28 06:30:00");
    monthly.SetClock(fixedAt(at(2100, 2, 10, 0, 0)));  // not a leap year
    EXPECT_EQ(local(monthly.TimeOfNextScheduleImpl(-1)), "2100-02-28 06:30:00");
    monthly.SetClock(fixedAt(at(2000, 2, 10, 0, 0)));  // a leap year
    EXPECT_EQ(local(monthly.TimeOfNextScheduleImpl(-1)), "2000-02-29 06:30:00");
    // After January's run on the 29th, the next is February's last day.
    monthly.SetClock(fixedAt(at(2023, 1, 29, 7, 0)));
    EXPECT_EQ(local(monthly.TimeOfNextScheduleImpl(at(2023, 1, 29, 6, 30))), "2023-02-28 06:30:00");
}

TEST_P(JobScheduleHelperZones, MonthlyMissedRunStartsAtOnce) {
    MonthlyScheduleHelper monthly(fileTime(2024, 3, 1, 0, 0), 15, 8, 0, 0);
    int64_t now = at(2024, 4, 20, 9, 0);
    monthly.SetClock(fixedAt(now));
    EXPECT_EQ(monthly.TimeOfNextScheduleImpl(at(2024, 3, 15, 8, 0)), now);
    MonthlyScheduleHelper made(fileTime(2024, 4, 16, 0, 0), 15, 8, 0, 0);
    made.SetClock(fixedAt(now));
    EXPECT_EQ(local(made.TimeOfNextScheduleImpl(-1)), "2024-05-15 08:00:00");
}

TEST_P(JobScheduleHelperZones, LastRunLaterThanNowIsIgnored) {
    DailyScheduleHelper daily(fileTime(2024, 5, 1, 0, 0), 8, 0, 0);
    int64_t now = at(2024, 5, 10, 9, 0);
    daily.SetClock(fixedAt(now));
    // The clock was set back after a run at 10:00: that run does not count.
    EXPECT_EQ(daily.TimeOfNextScheduleImpl(at(2024, 5, 10, 10, 0)), now);
}

TEST_P(JobScheduleHelperZones, UnreadableClockGivesNoTime) {
    DailyScheduleHelper daily(fileTime(2024, 5, 1, 0, 0), 8, 0, 0);
    daily.SetClock(fixedAt(-1));
    EXPECT_EQ(daily.PeriodStart(), -1);
    EXPECT_EQ(daily.TimeOfNextScheduleImpl(-1), -1);
    EXPECT_EQ(daily.SecondsToNextSchedule(-1), -1);
    MonthlyScheduleHelper monthly(fileTime(2024, 5, 1, 0, 0), 1, 8, 0, 0);
    monthly.SetClock(fixedAt(-1));
    EXPECT_EQ(monthly.Period(), -86400);
    Schedule schedule = makeSchedule(Schedule::Daily, 0, 8, 0);
    FILETIME next = {1, 2};
    EXPECT_FALSE(
        nextScheduleTime(fileTime(2024, 5, 1, 0, 0), schedule, nullptr, next, fixedAt(-1)));
    EXPECT_EQ(next.dwLowDateTime, 1u);
    EXPECT_EQ(next.dwHighDateTime, 2u);
}

TEST_P(JobScheduleHelperZones, FactoryKindsAndNoHelperForOtherTypes) {
    FILETIME base = fileTime(2024, 5, 1, 12, 34);
    int64_t now = at(2024, 5, 10, 9, 0);
    auto daily = helperFor(Schedule::Daily, 0, 7, 5, base, now);
    ASSERT_TRUE(daily);
    EXPECT_EQ(daily->Type(), Schedule::Daily);
    EXPECT_EQ(local(daily->TimeInPeriod()), "2024-05-10 07:05:00");
    EXPECT_EQ(daily->BaseTime(), at(2024, 5, 1, 12, 34));
    auto weekly = helperFor(Schedule::Weekly, 3, 7, 5, base, now);
    ASSERT_TRUE(weekly);
    EXPECT_EQ(weekly->Type(), Schedule::Weekly);
    EXPECT_EQ(local(weekly->TimeInPeriod()), "2024-05-08 07:05:00");  // Wednesday
    auto monthly = helperFor(Schedule::Monthly, 20, 7, 5, base, now);
    ASSERT_TRUE(monthly);
    EXPECT_EQ(monthly->Type(), Schedule::Monthly);
    EXPECT_EQ(local(monthly->TimeInNextPeriod()), "2024-06-20 07:05:00");
    std::unique_ptr<ScheduleHelper> copy(monthly->Clone());
    EXPECT_EQ(copy->Type(), Schedule::Monthly);
    EXPECT_EQ(copy->TimeInNextPeriod(), monthly->TimeInNextPeriod());  // the clock is copied
    EXPECT_EQ(copy->BaseTime(), monthly->BaseTime());

    EXPECT_FALSE(helperFor(Schedule::Once, 0, 7, 5, base, now));
    EXPECT_FALSE(helperFor(Schedule::Manual, 0, 7, 5, base, now));
    Schedule once;  // the default schedule runs once
    FILETIME next = {1, 2};
    EXPECT_FALSE(nextScheduleTime(base, once, nullptr, next, fixedAt(now)));
    EXPECT_EQ(next.dwLowDateTime, 1u);
    EXPECT_EQ(next.dwHighDateTime, 2u);
}

TEST_P(JobScheduleHelperZones, NextScheduleTimeGivesALocalFileTime) {
    Schedule schedule = makeSchedule(Schedule::Daily, 0, 8, 0);
    FILETIME base = fileTime(2024, 5, 1, 0, 0);
    ScheduleHelper::Clock clock = fixedAt(at(2024, 5, 10, 9, 0));
    FILETIME next = {0, 0};
    FILETIME last = fileTime(2024, 5, 10, 8, 0);
    ASSERT_TRUE(nextScheduleTime(base, schedule, &last, next, clock));
    EXPECT_EQ(local(next), "2024-05-11 08:00:00");
    ASSERT_TRUE(nextScheduleTime(base, schedule, nullptr, next, clock));
    EXPECT_EQ(local(next), "2024-05-10 09:00:00");  // missed today's run: at once
    // Without a clock the system's is used: the result is not in the past.
    ASSERT_TRUE(nextScheduleTime(base, schedule, nullptr, next));
    uint64_t ticks = (static_cast<uint64_t>(next.dwHighDateTime) << 32) | next.dwLowDateTime;
    SYSTEMTIME nowLocal;
    GetLocalTime(&nowLocal);
    nowLocal.wMilliseconds = 0;
    nowLocal.wSecond = 0;
    FILETIME nowFile;
    ASSERT_TRUE(SystemTimeToFileTime(&nowLocal, &nowFile));
    uint64_t nowTicks =
        (static_cast<uint64_t>(nowFile.dwHighDateTime) << 32) | nowFile.dwLowDateTime;
    EXPECT_GE(ticks, nowTicks);
    EXPECT_LE(ticks, nowTicks + 86400ull * 10000000ull * 2);
}

TEST_P(JobScheduleHelperZones, LogsTheNextTime) {
    DailyScheduleHelper daily(fileTime(2024, 5, 1, 0, 0), 8, 0, 0);
    daily.SetClock(fixedAt(at(2024, 5, 10, 7, 0)));
    logged();
    daily.TimeOfNextScheduleImpl(-1);
    std::string log = logged();
    EXPECT_NE(log.find("Next schedule time: month = 5 day = 10 weekday = 5 hour = 8 minute = 0"),
              std::string::npos)
        << log;
}

INSTANTIATE_TEST_SUITE_P(JobScheduleHelper, JobScheduleHelperZones,
                         ::testing::Values("UTC", "Europe/Berlin"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return info.index == 0 ? std::string("Utc") : std::string("Berlin");
                         });

// ---- daylight saving in Berlin (changes on 2025-03-30 and 2025-10-26)

class JobScheduleHelperBerlin : public ZoneFixture {
protected:
    void SetUp() override {
        ZoneFixture::SetUp();
        useZone("Europe/Berlin");
    }
};

TEST_F(JobScheduleHelperBerlin, SummerDailyRunJustFinishedIsNotStartedAgain) {
    Schedule schedule = makeSchedule(Schedule::Daily, 0, 8, 0);
    FILETIME base = fileTime(2025, 6, 1, 12, 0);
    FILETIME last = fileTime(2025, 7, 15, 8, 0);
    int64_t now = pythonEpoch("Europe/Berlin", "2025-07-15 08:05");
    EXPECT_EQ(now, at(2025, 7, 15, 8, 5));
    EXPECT_EQ(ScheduleHelper::FromLocalFileTime(last),
              pythonEpoch("Europe/Berlin", "2025-07-15 08:00"));
    FILETIME next = {0, 0};
    ASSERT_TRUE(nextScheduleTime(base, schedule, &last, next, fixedAt(now)));
    EXPECT_EQ(local(next), "2025-07-16 08:00:00");
    // The same for a definition made in summer today, before the run.
    FILETIME madeToday = fileTime(2025, 7, 15, 7, 30);
    ASSERT_TRUE(nextScheduleTime(madeToday, schedule, nullptr, next, fixedAt(now)));
    EXPECT_EQ(local(next), "2025-07-16 08:00:00");
}

TEST_F(JobScheduleHelperBerlin, DailyKeepsItsLocalTimeAcrossBothChanges) {
    DailyScheduleHelper daily(fileTime(2025, 1, 1, 0, 0), 9, 0, 0);
    daily.SetClock(fixedAt(at(2025, 3, 29, 9, 30)));
    int64_t next = daily.TimeOfNextScheduleImpl(at(2025, 3, 29, 9, 0));
    EXPECT_EQ(local(next), "2025-03-30 09:00:00");
    EXPECT_EQ(next, pythonEpoch("Europe/Berlin", "2025-03-30 09:00"));
    EXPECT_EQ(next - at(2025, 3, 29, 9, 0), 23 * 3600);  // the short day

    daily.SetClock(fixedAt(at(2025, 10, 25, 9, 30)));
    next = daily.TimeOfNextScheduleImpl(at(2025, 10, 25, 9, 0));
    EXPECT_EQ(local(next), "2025-10-26 09:00:00");
    EXPECT_EQ(next, pythonEpoch("Europe/Berlin", "2025-10-26 09:00"));
    EXPECT_EQ(next - at(2025, 10, 25, 9, 0), 25 * 3600);  // the long day

    // On the day of the change itself, midnight and the run time are local.
    daily.SetClock(fixedAt(pythonEpoch("Europe/Berlin", "2025-03-30 04:00")));
    EXPECT_EQ(daily.PeriodStart(), pythonEpoch("Europe/Berlin", "2025-03-30 00:00"));
    EXPECT_EQ(daily.TimeInPeriod(), pythonEpoch("Europe/Berlin", "2025-03-30 09:00"));
}

TEST_F(JobScheduleHelperBerlin, RunTimeInsideTheChangeHours) {
    // 02:30 does not exist on 2025-03-30: the run is at 03:30 summer time.
    DailyScheduleHelper gap(fileTime(2025, 1, 1, 0, 0), 2, 30, 0);
    gap.SetClock(fixedAt(at(2025, 3, 29, 3, 0)));
    int64_t next = gap.TimeOfNextScheduleImpl(at(2025, 3, 29, 2, 30));
    EXPECT_EQ(local(next), "2025-03-30 03:30:00");
    EXPECT_EQ(next, pythonEpoch("Europe/Berlin", "2025-03-30 02:30"));
    // 02:30 happens twice on 2025-10-26: the run is at one of them, once.
    gap.SetClock(fixedAt(at(2025, 10, 25, 3, 0)));
    next = gap.TimeOfNextScheduleImpl(at(2025, 10, 25, 2, 30));
    EXPECT_EQ(local(next), "2025-10-26 02:30:00");
    int64_t first = pythonEpoch("Europe/Berlin", "2025-10-26 02:30");
    EXPECT_TRUE(next == first || next == first + 3600) << next;
}

TEST_F(JobScheduleHelperBerlin, WeeklyAcrossTheChanges) {
    WeeklyScheduleHelper sunday(fileTime(2025, 1, 1, 0, 0), 0, 10, 0, 0);
    sunday.SetClock(fixedAt(at(2025, 3, 23, 11, 0)));
    int64_t next = sunday.TimeOfNextScheduleImpl(at(2025, 3, 23, 10, 0));
    EXPECT_EQ(local(next), "2025-03-30 10:00:00");
    EXPECT_EQ(next, pythonEpoch("Europe/Berlin", "2025-03-30 10:00"));
    sunday.SetClock(fixedAt(at(2025, 10, 26, 11, 0)));
    EXPECT_EQ(local(sunday.PeriodStart()), "2025-10-26 00:00:00");
    next = sunday.TimeOfNextScheduleImpl(at(2025, 10, 26, 10, 0));
    EXPECT_EQ(next, pythonEpoch("Europe/Berlin", "2025-11-02 10:00"));
    // Saturday of the week in which summer time starts.
    WeeklyScheduleHelper saturday(fileTime(2025, 1, 1, 0, 0), 6, 10, 0, 0);
    saturday.SetClock(fixedAt(at(2025, 3, 24, 9, 0)));
    EXPECT_EQ(saturday.TimeOfNextScheduleImpl(-1),
              pythonEpoch("Europe/Berlin", "2025-03-29 10:00"));
    saturday.SetClock(fixedAt(at(2025, 3, 31, 9, 0)));
    EXPECT_EQ(saturday.TimeOfNextScheduleImpl(at(2025, 3, 29, 10, 0)),
              pythonEpoch("Europe/Berlin", "2025-04-05 10:00"));
}

TEST_F(JobScheduleHelperBerlin, MonthlyDay31DoesNotSkipAMonthAcrossTheChanges) {
    MonthlyScheduleHelper monthly(fileTime(2025, 1, 1, 0, 0), 31, 8, 0, 0);
    // Winter time ends in October: November's run is on the 30th.
    monthly.SetClock(fixedAt(at(2025, 10, 31, 9, 0)));
    int64_t next = monthly.TimeOfNextScheduleImpl(at(2025, 10, 31, 8, 0));
    EXPECT_EQ(local(next), "2025-11-30 08:00:00");
    EXPECT_EQ(next, pythonEpoch("Europe/Berlin", "2025-11-30 08:00"));
    // Summer time starts in March: April's run stays at 08:00.
    monthly.SetClock(fixedAt(at(2025, 3, 31, 9, 0)));
    next = monthly.TimeOfNextScheduleImpl(at(2025, 3, 31, 8, 0));
    EXPECT_EQ(local(next), "2025-04-30 08:00:00");
    EXPECT_EQ(next, pythonEpoch("Europe/Berlin", "2025-04-30 08:00"));
    // Before October's run, on a day after the change.
    monthly.SetClock(fixedAt(at(2025, 10, 27, 9, 0)));
    EXPECT_EQ(monthly.TimeOfNextScheduleImpl(at(2025, 9, 30, 8, 0)),
              pythonEpoch("Europe/Berlin", "2025-10-31 08:00"));
    EXPECT_EQ(monthly.PeriodStart(), pythonEpoch("Europe/Berlin", "2025-10-01 00:00"));
}

TEST_F(JobScheduleHelperBerlin, SummerLastRunAndBaseKeepTheirLocalTime) {
    FILETIME summer = fileTime(2025, 8, 1, 12, 0);
    FILETIME winter = fileTime(2025, 12, 1, 12, 0);
    EXPECT_EQ(ScheduleHelper::FromLocalFileTime(summer),
              pythonEpoch("Europe/Berlin", "2025-08-01 12:00"));
    EXPECT_EQ(ScheduleHelper::FromLocalFileTime(winter),
              pythonEpoch("Europe/Berlin", "2025-12-01 12:00"));
    DailyScheduleHelper daily(summer, 8, 0, 0);
    EXPECT_EQ(daily.BaseTime(), pythonEpoch("Europe/Berlin", "2025-08-01 12:00"));
    FILETIME beyond = {0xFFFFFFFFu, 0xFFFFFFFFu};
    EXPECT_EQ(ScheduleHelper::FromLocalFileTime(beyond), -1);
}

}  // namespace
