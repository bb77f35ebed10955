// Next run times of daily, weekly and monthly schedules. Times inside the
// helpers are signed 64-bit seconds since 1970 (-1 = no time), converted to and
// from the local calendar; times at the interface are local FILETIMEs.
//
// Run times are built from calendar fields, so a run keeps its local wall-clock
// time across daylight-saving changes: a daily run at 09:00 is at 09:00 local on
// the day after a change too, and a monthly run steps whole calendar months.
#pragma once

#include <cstdint>
#include <functional>

#include "plandeck/schedule.h"
#include "platform/win32.h"

class ScheduleHelper {
public:
    // Gives the current time in seconds since 1970, or -1 when the clock cannot
    // be read. An empty clock reads the system clock.
    using Clock = std::function<int64_t()>;

    virtual ~ScheduleHelper() = default;
    // A new copy (the clock included); the caller deletes it.
    virtual ScheduleHelper* Clone() const = 0;
    // The schedule type served (Schedule::Daily, Weekly or Monthly).
    virtual int Type() const = 0;
    // The next run time for a job whose last run was at `last` (-1: none). A
    // last run later than now is ignored. When this period's run time has come
    // and the job neither ran since nor was defined during this period, the
    // result is now: the missed run starts at once.
    virtual int64_t TimeOfNextScheduleImpl(int64_t last);
    // Seconds from now to TimeOfNextScheduleImpl(last); 0 when that is not in
    // the future; -1 when the clock or the computation gives -1.
    virtual int64_t SecondsToNextSchedule(int64_t last);
    // The nominal length of the current period in seconds.
    virtual int64_t Period() = 0;
    // The local midnight that starts the current period.
    virtual int64_t PeriodStart() = 0;
    // The run time within the current period.
    virtual int64_t TimeInPeriod() = 0;
    // The run time within the next period.
    virtual int64_t TimeInNextPeriod() = 0;
    // The base time given at construction (the definition's creation time).
    virtual int64_t BaseTime() = 0;

    void SetClock(Clock clock) { clock_ = std::move(clock); }
    // The current time from the clock.
    int64_t Now() const;

    // Local calendar fields to seconds; out-of-range fields are carried over
    // (day 32 of January is February 1) and the C library decides daylight
    // saving. -1 when the time cannot be represented.
    static int64_t FromLocal(int year, int month, int day, int hour, int minute, int second);
    // Seconds to the local calendar (milliseconds 0); false when out of range.
    static bool ToLocal(int64_t time, SYSTEMTIME& out);
    // A local FILETIME to seconds, -1 when it cannot be converted.
    static int64_t FromLocalFileTime(const FILETIME& time);
    // The days of a month (1..12) of a year from 1900 on; -1 otherwise.
    static int DaysOfMonth(int year, int month);

private:
    Clock clock_;
};

class DailyScheduleHelper : public ScheduleHelper {
public:
    DailyScheduleHelper(const FILETIME& base, int hour, int minute, int second);
    ScheduleHelper* Clone() const override { return new DailyScheduleHelper(*this); }
    int Type() const override { return Schedule::Daily; }
    int64_t Period() override { return 86400; }
    int64_t PeriodStart() override;
    int64_t TimeInPeriod() override;
    int64_t TimeInNextPeriod() override;
    int64_t BaseTime() override { return base_; }

private:
    int64_t AtDay(int dayOffset);

    int hour_;
    int minute_;
    int second_;
    int64_t base_;
};

// day: 0 Sunday .. 6 Saturday.
class WeeklyScheduleHelper : public ScheduleHelper {
public:
    WeeklyScheduleHelper(const FILETIME& base, int day, int hour, int minute, int second);
    ScheduleHelper* Clone() const override { return new WeeklyScheduleHelper(*this); }
    int Type() const override { return Schedule::Weekly; }
    int64_t Period() override { return 604800; }
    int64_t PeriodStart() override;
    int64_t TimeInPeriod() override;
    int64_t TimeInNextPeriod() override;
    int64_t BaseTime() override { return base_; }

private:
    int64_t AtWeek(int weekOffset);

    int day_;
    int hour_;
    int minute_;
    int second_;
    int64_t base_;
};

// day: the day of the month; a day past the month's end means its last day,
// a day below 1 its first.
class MonthlyScheduleHelper : public ScheduleHelper {
public:
    MonthlyScheduleHelper(const FILETIME& base, int day, int hour, int minute, int second);
    ScheduleHelper* Clone() const override { return new MonthlyScheduleHelper(*this); }
    int Type() const override { return Schedule::Monthly; }
    // Days of the current month times 86400; -86400 when the clock cannot be read.
    int64_t Period() override;
    int64_t PeriodStart() override;
    int64_t TimeInPeriod() override;
    int64_t TimeInNextPeriod() override;
    int64_t BaseTime() override { return base_; }

private:
    int64_t AtMonth(int monthOffset);

    int day_;
    int hour_;
    int minute_;
    int second_;
    int64_t base_;
};

// A helper for a daily, weekly or monthly schedule (second 0), or null for any
// other type. The caller deletes it.
ScheduleHelper* createScheduleHelper(const FILETIME& base, const Schedule& schedule);

// The next run time of a schedule as a local FILETIME. base: the definition's
// creation time; last: the job's last run time, or null. False, with `next`
// untouched, when the schedule has no helper or no time can be given.
bool nextScheduleTime(const FILETIME& base, const Schedule& schedule, const FILETIME* last,
                      FILETIME& next, const ScheduleHelper::Clock& clock = ScheduleHelper::Clock());
