#include "platform/win/time.h"

#include <time.h>

#include <cerrno>

#include "platform/desktop/window_core.h"
#include "platform/kernel/file_times.h"
#include "platform/win/errors.h"

namespace {

using tovel::platform::filetime_from_u64;
using tovel::platform::kUnixEpochInFileTime;
using tovel::platform::u64_from_filetime;

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kTicksPerDay = kTicksPerSecond * 86400;

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap(year) ? 29 : days[month - 1];
}

// Days from 1601-01-01 to the given date (proleptic Gregorian).
int64_t days_from_civil(int year, int month, int day) {
    int64_t y = year - 1601;
    int64_t days = y * 365 + y / 4 - y / 100 + y / 400;
    for (int m = 1; m < month; ++m) days += days_in_month(year, m);
    return days + day - 1;
}

void civil_from_days(int64_t days, int& year, int& month, int& day) {
    // 400-year cycles of 146097 days, starting at 1601 (a cycle's first year).
    int64_t cycles = days / 146097;
    days %= 146097;
    year = 1601 + static_cast<int>(cycles * 400);
    for (;;) {
        int in_year = leap(year) ? 366 : 365;
        if (days < in_year) break;
        days -= in_year;
        ++year;
    }
    month = 1;
    while (days >= days_in_month(year, month)) days -= days_in_month(year, month++);
    day = static_cast<int>(days) + 1;
}

SYSTEMTIME system_time_from_tm(const struct tm& t, long nanoseconds) {
    SYSTEMTIME st;
    st.wYear = static_cast<WORD>(t.tm_year + 1900);
    st.wMonth = static_cast<WORD>(t.tm_mon + 1);
    st.wDayOfWeek = static_cast<WORD>(t.tm_wday);
    st.wDay = static_cast<WORD>(t.tm_mday);
    st.wHour = static_cast<WORD>(t.tm_hour);
    st.wMinute = static_cast<WORD>(t.tm_min);
    st.wSecond = static_cast<WORD>(t.tm_sec > 59 ? 59 : t.tm_sec);
    st.wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
    return st;
}

// Seconds east of UTC of the host's zone at the given moment.
long utc_offset_at(int64_t unix_seconds) {
    time_t t = static_cast<time_t>(unix_seconds);
    struct tm local;
    if (!localtime_r(&t, &local)) return 0;
    return local.tm_gmtoff;
}

int64_t unix_seconds_of(uint64_t ticks) {
    return (static_cast<int64_t>(ticks) - static_cast<int64_t>(kUnixEpochInFileTime)) /
           static_cast<int64_t>(kTicksPerSecond);
}

}  // namespace

void GetSystemTime(LPSYSTEMTIME out) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm t;
    gmtime_r(&now.tv_sec, &t);
    *out = system_time_from_tm(t, now.tv_nsec);
}

void GetLocalTime(LPSYSTEMTIME out) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm t;
    localtime_r(&now.tv_sec, &t);
    *out = system_time_from_tm(t, now.tv_nsec);
}

void GetSystemTimeAsFileTime(LPFILETIME out) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    *out = tovel::platform::filetime_from_timespec(now);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* in, LPFILETIME out) {
    if (!in || !out || in->wYear < 1601 || in->wYear > 30827 || in->wMonth < 1 || in->wMonth > 12 ||
        in->wDay < 1 || in->wDay > days_in_month(in->wYear, in->wMonth) || in->wHour > 23 ||
        in->wMinute > 59 || in->wSecond > 59 || in->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t ticks =
        static_cast<uint64_t>(days_from_civil(in->wYear, in->wMonth, in->wDay)) * kTicksPerDay +
        (static_cast<uint64_t>(in->wHour) * 3600 + in->wMinute * 60u + in->wSecond) *
            kTicksPerSecond +
        static_cast<uint64_t>(in->wMilliseconds) * 10000;
    *out = filetime_from_u64(ticks);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* in, LPSYSTEMTIME out) {
    if (!in || !out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t ticks = u64_from_filetime(*in);
    if (ticks >= 0x8000000000000000ull) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t days = static_cast<int64_t>(ticks / kTicksPerDay);
    uint64_t rest = ticks % kTicksPerDay;
    int year, month, day;
    civil_from_days(days, year, month, day);
    out->wYear = static_cast<WORD>(year);
    out->wMonth = static_cast<WORD>(month);
    out->wDay = static_cast<WORD>(day);
    out->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    out->wHour = static_cast<WORD>(rest / (3600 * kTicksPerSecond));
    out->wMinute = static_cast<WORD>(rest / (60 * kTicksPerSecond) % 60);
    out->wSecond = static_cast<WORD>(rest / kTicksPerSecond % 60);
    out->wMilliseconds = static_cast<WORD>(rest / 10000 % 1000);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, LPFILETIME local) {
    if (!utc || !local) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t ticks = u64_from_filetime(*utc);
    int64_t shifted =
        static_cast<int64_t>(ticks) + static_cast<int64_t>(utc_offset_at(unix_seconds_of(ticks))) *
                                          static_cast<int64_t>(kTicksPerSecond);
    if (shifted < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *local = filetime_from_u64(static_cast<uint64_t>(shifted));
    return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, LPFILETIME utc) {
    if (!local || !utc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t ticks = u64_from_filetime(*local);
    int64_t local_seconds = unix_seconds_of(ticks);
    long offset = utc_offset_at(local_seconds);
    long corrected = utc_offset_at(local_seconds - offset);
    if (corrected != offset) offset = corrected;
    int64_t shifted = static_cast<int64_t>(ticks) -
                      static_cast<int64_t>(offset) * static_cast<int64_t>(kTicksPerSecond);
    if (shifted < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *utc = filetime_from_u64(static_cast<uint64_t>(shifted));
    return TRUE;
}

LONG CompareFileTime(const FILETIME* a, const FILETIME* b) {
    uint64_t x = u64_from_filetime(*a), y = u64_from_filetime(*b);
    return x < y ? -1 : x > y ? 1 : 0;
}

ULONGLONG GetTickCount64() {
    if (tovel::platform::virtual_clock_on()) return tovel::platform::timer_clock_now();
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000 +
           static_cast<ULONGLONG>(now.tv_nsec) / 1000000;
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

void Sleep(DWORD milliseconds) {
    struct timespec wait = {static_cast<time_t>(milliseconds / 1000),
                            static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}
