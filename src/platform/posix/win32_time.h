// Tick counts, sleeping, wall-clock times and their formatting.
#pragma once

#include "win32_types.h"

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

typedef struct _TIME_ZONE_INFORMATION TIME_ZONE_INFORMATION, *LPTIME_ZONE_INFORMATION;

#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_USER_DEFAULT 0x0400
#define TIME_NOTIMEMARKER 0x00000002

DWORD GetTickCount(void);
void Sleep(DWORD dwMilliseconds);
void GetLocalTime(LPSYSTEMTIME lpSystemTime);
void GetSystemTime(LPSYSTEMTIME lpSystemTime);
// Only a null time-zone pointer (the current zone) is supported.
BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZone, const SYSTEMTIME* lpUniversalTime,
                                     LPSYSTEMTIME lpLocalTime);
// Numeric pictures only: y, yy, yyyy, M, MM, d, dd (date); h, hh (12-hour, no
// marker), H, HH, m, mm, s, ss (time); quoted literals; other characters are
// copied. Any other letter fails with ERROR_INVALID_PARAMETER. A null time
// means now. Returns the characters written including the terminator (the
// size needed when the count is 0); a buffer too small fails with
// ERROR_INSUFFICIENT_BUFFER and leaves it untouched. Date flags must be 0;
// time flags may only hold TIME_NOTIMEMARKER (ERROR_INVALID_FLAGS otherwise).
int GetDateFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME* lpDate, LPCSTR lpFormat, LPSTR lpDateStr, int cchDate);
int GetTimeFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME* lpTime, LPCSTR lpFormat, LPSTR lpTimeStr, int cchTime);
