#include "scheduler/schedule_helpers.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <ctime>

#include "common/ace_log_wrapper.h"

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr int64_t kEpochDifference = 11644473600;

// The schedule's day of the month within a month of `days` days.
int dayInMonth(int day, int days) { return day < 1 ? 1 : day > days ? days : day; }

}  // namespace

// ---- ScheduleHelper

int64_t ScheduleHelper::Now() const {
    if (clock_) return clock_();
    return static_cast<int64_t>(std::time(nullptr));
}

int64_t ScheduleHelper::FromLocal(int year, int month, int day, int hour, int minute, int second) {
    struct tm fields = {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;  // whatever is in force at that local time
    time_t time = std::mktime(&fields);
    return time == static_cast<time_t>(-1) ? -1 : static_cast<int64_t>(time);
}

bool ScheduleHelper::ToLocal(int64_t time, SYSTEMTIME& out) {
    if (time < -kEpochDifference || time > INT64_MAX / kTicksPerSecond - kEpochDifference)
        return false;
    uint64_t ticks = static_cast<uint64_t>((time + kEpochDifference) * kTicksPerSecond);
    FILETIME utc = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    FILETIME local;
    if (!FileTimeToLocalFileTime(&utc, &local)) return false;
    return FileTimeToSystemTime(&local, &out) != FALSE;
}

int64_t ScheduleHelper::FromLocalFileTime(const FILETIME& time) {
    SYSTEMTIME local;
    if (!FileTimeToSystemTime(&time, &local)) return -1;
    return FromLocal(local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute,
                     local.wSecond);
}

int ScheduleHelper::DaysOfMonth(int year, int month) {
    if (year < 1900 || month < 1 || month > 12) return -1;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

int64_t ScheduleHelper::TimeOfNextScheduleImpl(int64_t last) {
    ACE_TRACE("ScheduleHelper::TimeOfNextScheduleImpl");
    int64_t now = Now();
    int64_t start = PeriodStart();
    if (now == -1 || start == -1) return -1;
    int64_t base = BaseTime();
    int64_t run = TimeInPeriod();
    if (run == -1) return -1;
    if (last > now) last = -1;  // the clock was set back since that run

    int64_t next;
    if (run > now)
        next = run;
    else if ((last != -1 && last >= run) || (base != -1 && base >= start))
        next = TimeInNextPeriod();  // ran already, or defined during this period
    else
        next = now;  // this period's run was missed: start at once

    SYSTEMTIME local;
    if (next != -1 && ToLocal(next, local))
        log_message(LM_TRACE,
                    "Next schedule time: month = %d day = %d weekday = %d hour = %d minute = %d\n",
                    local.wMonth, local.wDay, local.wDayOfWeek, local.wHour, local.wMinute);
    return next;
}

int64_t ScheduleHelper::SecondsToNextSchedule(int64_t last) {
    int64_t now = Now();
    if (now == -1) return -1;
    int64_t next = TimeOfNextScheduleImpl(last);
    if (next == -1) return -1;
    return next > now ? next - now : 0;
}

// ---- DailyScheduleHelper

DailyScheduleHelper::DailyScheduleHelper(const FILETIME& base, int hour, int minute, int second)
    : hour_(hour), minute_(minute), second_(second), base_(FromLocalFileTime(base)) {}

int64_t DailyScheduleHelper::AtDay(int dayOffset) {
    SYSTEMTIME today;
    int64_t now = Now();
    if (now == -1 || !ToLocal(now, today)) return -1;
    return FromLocal(today.wYear, today.wMonth, today.wDay + dayOffset, hour_, minute_, second_);
}

int64_t DailyScheduleHelper::PeriodStart() {
    SYSTEMTIME today;
    int64_t now = Now();
    if (now == -1 || !ToLocal(now, today)) return -1;
    return FromLocal(today.wYear, today.wMonth, today.wDay, 0, 0, 0);
}

int64_t DailyScheduleHelper::TimeInPeriod() { return AtDay(0); }

int64_t DailyScheduleHelper::TimeInNextPeriod() { return AtDay(1); }

// ---- WeeklyScheduleHelper

WeeklyScheduleHelper::WeeklyScheduleHelper(const FILETIME& base, int day, int hour, int minute,
                                           int second)
    : day_(day), hour_(hour), minute_(minute), second_(second), base_(FromLocalFileTime(base)) {}

int64_t WeeklyScheduleHelper::AtWeek(int weekOffset) {
    SYSTEMTIME today;
    int64_t now = Now();
    if (now == -1 || !ToLocal(now, today)) return -1;
    int sunday = today.wDay - today.wDayOfWeek;
    return FromLocal(today.wYear, today.wMonth, sunday + weekOffset * 7 + day_, hour_, minute_,
                     second_);
}

int64_t WeeklyScheduleHelper::PeriodStart() {
    SYSTEMTIME today;
    int64_t now = Now();
    if (now == -1 || !ToLocal(now, today)) return -1;
    return FromLocal(today.wYear, today.wMonth, today.wDay - today.wDayOfWeek, 0, 0, 0);
}

int64_t WeeklyScheduleHelper::TimeInPeriod() { return AtWeek(0); }

int64_t WeeklyScheduleHelper::TimeInNextPeriod() { return AtWeek(1); }

// ---- MonthlyScheduleHelper

MonthlyScheduleHelper::MonthlyScheduleHelper(const FILETIME& base, int day, int hour, int minute,
                                             int second)
    : day_(day), hour_(hour), minute_(minute), second_(second), base_(FromLocalFileTime(base)) {}

int64_t MonthlyScheduleHelper::AtMonth(int monthOffset) {
    SYSTEMTIME today;
    int64_t now = Now();
    if (now == -1 || !ToLocal(now, today)) return -1;
    int months = today.wMonth - 1 + monthOffset;
    int year = today.wYear + months / 12;
    int month = months % 12 + 1;
    int days = DaysOfMonth(year, month);
    if (days < 0) return -1;
    return FromLocal(year, month, dayInMonth(day_, days), hour_, minute_, second_);
}

int64_t MonthlyScheduleHelper::Period() {
    SYSTEMTIME today;
    int64_t now = Now();
    if (now == -1 || !ToLocal(now, today)) return -86400;
    return static_cast<int64_t>(DaysOfMonth(today.wYear, today.wMonth)) * 86400;
}

int64_t MonthlyScheduleHelper::PeriodStart() {
    SYSTEMTIME today;
    int64_t now = Now();
    if (now == -1 || !ToLocal(now, today)) return -1;
    return FromLocal(today.wYear, today.wMonth, 1, 0, 0, 0);
}

int64_t MonthlyScheduleHelper::TimeInPeriod() { return AtMonth(0); }

int64_t MonthlyScheduleHelper::TimeInNextPeriod() { return AtMonth(1); }

// ---- free functions

ScheduleHelper* createScheduleHelper(const FILETIME& base, const Schedule& schedule) {
    switch (schedule.type()) {
        case Schedule::Daily:
            return new DailyScheduleHelper(base, schedule.startHour(), schedule.startMinute(), 0);
        case Schedule::Weekly:
            return new WeeklyScheduleHelper(base, schedule.value(), schedule.startHour(),
                                            schedule.startMinute(), 0);
        case Schedule::Monthly:
            return new MonthlyScheduleHelper(base, schedule.value(), schedule.startHour(),
                                             schedule.startMinute(), 0);
        default:
            return nullptr;
    }
}

bool nextScheduleTime(const FILETIME& base, const Schedule& schedule, const FILETIME* last,
                      FILETIME& next, const ScheduleHelper::Clock& clock) {
    ScheduleHelper* helper = createScheduleHelper(base, schedule);
    if (!helper) return false;
    helper->SetClock(clock);
    int64_t lastRun = last ? ScheduleHelper::FromLocalFileTime(*last) : -1;
    int64_t time = helper->TimeOfNextScheduleImpl(lastRun);
    delete helper;

    SYSTEMTIME local;
    if (time == -1 || !ScheduleHelper::ToLocal(time, local)) return false;
    local.wMilliseconds = 0;
    FILETIME result;
    if (!SystemTimeToFileTime(&local, &result)) return false;
    next = result;
    return true;
}
