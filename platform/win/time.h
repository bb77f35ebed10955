// Clocks and the conversions between SYSTEMTIME and FILETIME. FILETIME counts
// 100-nanosecond intervals since 1601-01-01; local conversions follow the
// host's time zone.
#pragma once

#include "platform/win/types.h"

void GetSystemTime(LPSYSTEMTIME out);
void GetLocalTime(LPSYSTEMTIME out);
void GetSystemTimeAsFileTime(LPFILETIME out);

// Fails with 87 when a field is out of its range as Windows checks it (month
// 1-12, day within the month, hour < 24, ...); never normalises.
BOOL SystemTimeToFileTime(const SYSTEMTIME* in, LPFILETIME out);
// Fails with 87 for times at or above 0x8000000000000000.
BOOL FileTimeToSystemTime(const FILETIME* in, LPSYSTEMTIME out);
BOOL FileTimeToLocalFileTime(const FILETIME* utc, LPFILETIME local);
BOOL LocalFileTimeToFileTime(const FILETIME* local, LPFILETIME utc);
LONG CompareFileTime(const FILETIME* a, const FILETIME* b);

DWORD GetTickCount();
ULONGLONG GetTickCount64();
void Sleep(DWORD milliseconds);
