// Tick counts, sleeping, wall-clock times and their formatting.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include <sched.h>
#include <unistd.h>

#include "platform/win32.h"

namespace {

// The C library guards its time zone with a lock of its own that a race
// detector cannot see. Its first reading of the zone, which any of its time
// functions may make, is done here before any thread exists; every later one
// that reads it afresh takes our lock, which orders them for everyone.
[[maybe_unused]] const bool zoneReadAtStart = (tzset(), true);
std::mutex zoneLock;

// The local time of a moment, following a change of the zone as Windows does.
bool localTimeOf(time_t seconds, struct tm* local)
{
    std::lock_guard<std::mutex> guard(zoneLock);
    tzset();
    return localtime_r(&seconds, local) != nullptr;
}

void systemTimeFromTm(const struct tm& tm, long nanoseconds, LPSYSTEMTIME out)
{
    out->wYear = (WORD)(tm.tm_year + 1900);
    out->wMonth = (WORD)(tm.tm_mon + 1);
    out->wDayOfWeek = (WORD)tm.tm_wday;
    out->wDay = (WORD)tm.tm_mday;
    out->wHour = (WORD)tm.tm_hour;
    out->wMinute = (WORD)tm.tm_min;
    out->wSecond = (WORD)tm.tm_sec;
    out->wMilliseconds = (WORD)(nanoseconds / 1000000);
}

bool isLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// The range Windows accepts for a SYSTEMTIME's date (the FILETIME epoch onwards).
bool isValidDate(const SYSTEMTIME& st)
{
    static const unsigned daysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1) return false;
    unsigned days = daysInMonth[st.wMonth - 1] + (st.wMonth == 2 && isLeapYear(st.wYear) ? 1 : 0);
    return st.wDay <= days;
}

bool isValidTime(const SYSTEMTIME& st)
{
    return st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 && st.wMilliseconds < 1000;
}

enum class PictureKind { Date, Time };

void appendNumber(std::string& out, unsigned value, int minDigits)
{
    std::string digits = std::to_string(value);
    if ((int)digits.size() < minDigits) out.append(minDigits - digits.size(), '0');
    out += digits;
}

// Expands one picture element (a run of the same letter); false when the
// element is not one this layer knows for the kind of picture.
bool expandElement(PictureKind kind, char letter, int count, const SYSTEMTIME& st, std::string& out)
{
    if (kind == PictureKind::Date) {
        switch (letter) {
        case 'y':
            if (count == 1) appendNumber(out, st.wYear % 100, 1);
            else if (count == 2) appendNumber(out, st.wYear % 100, 2);
            else appendNumber(out, st.wYear, 4);
            return true;
        case 'M':
            if (count > 2) return false;  // month names
            appendNumber(out, st.wMonth, count);
            return true;
        case 'd':
            if (count > 2) return false;  // day names
            appendNumber(out, st.wDay, count);
            return true;
        default: return false;
        }
    }
    int digits = count >= 2 ? 2 : 1;
    switch (letter) {
    case 'h': appendNumber(out, st.wHour % 12 == 0 ? 12 : st.wHour % 12, digits); return true;
    case 'H': appendNumber(out, st.wHour, digits); return true;
    case 'm': appendNumber(out, st.wMinute, digits); return true;
    case 's': appendNumber(out, st.wSecond, digits); return true;
    default: return false;
    }
}

// Expands a picture: elements, quoted literals ('' is a quote) and
// punctuation copied as it is. False for an element it does not know.
bool expandPicture(PictureKind kind, const char* picture, const SYSTEMTIME& st, std::string& out)
{
    const char* p = picture;
    while (*p) {
        if (*p == '\'') {
            ++p;
            while (*p) {
                if (*p == '\'') {
                    if (p[1] != '\'') break;
                    ++p;
                }
                out += *p++;
            }
            if (*p == '\'') ++p;
        } else if ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z')) {
            char letter = *p;
            int count = 0;
            while (*p == letter) {
                ++p;
                ++count;
            }
            if (!expandElement(kind, letter, count, st, out)) return false;
        } else {
            out += *p++;
        }
    }
    return true;
}

// The common body of GetDateFormatA and GetTimeFormatA, with their return
// contract: characters written including the terminator, or the size needed
// when cch is 0; 0 and the last error on failure.
int formatSystemTime(PictureKind kind, const SYSTEMTIME* when, const char* picture, char* out, int cch)
{
    if (cch < 0 || (cch > 0 && !out) || !picture) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    SYSTEMTIME now;
    if (!when) {
        GetLocalTime(&now);
        when = &now;
    }
    if (kind == PictureKind::Date ? !isValidDate(*when) : !isValidTime(*when)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string text;
    if (!expandPicture(kind, picture, *when, text)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int needed = (int)text.size() + 1;
    if (cch == 0) return needed;
    if (cch < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(out, text.c_str(), (size_t)needed);
    return needed;
}

}  // namespace

DWORD GetTickCount(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    unsigned long long ms = (unsigned long long)ts.tv_sec * 1000ull + (unsigned long long)ts.tv_nsec / 1000000ull;
    return (DWORD)ms;
}

void Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) pause();
    }
    struct timespec remaining;
    remaining.tv_sec = dwMilliseconds / 1000;
    remaining.tv_nsec = (long)(dwMilliseconds % 1000) * 1000000L;
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    localTimeOf(ts.tv_sec, &tm);
    systemTimeFromTm(tm, ts.tv_nsec, lpSystemTime);
}

void GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    systemTimeFromTm(tm, ts.tv_nsec, lpSystemTime);
}

BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZone, const SYSTEMTIME* lpUniversalTime,
                                     LPSYSTEMTIME lpLocalTime)
{
    if (lpTimeZone) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (!lpUniversalTime || !lpLocalTime || !isValidDate(*lpUniversalTime) || !isValidTime(*lpUniversalTime)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct tm utc = {};
    utc.tm_year = lpUniversalTime->wYear - 1900;
    utc.tm_mon = lpUniversalTime->wMonth - 1;
    utc.tm_mday = lpUniversalTime->wDay;
    utc.tm_hour = lpUniversalTime->wHour;
    utc.tm_min = lpUniversalTime->wMinute;
    utc.tm_sec = lpUniversalTime->wSecond;
    time_t seconds = timegm(&utc);
    struct tm local;
    if (!localTimeOf(seconds, &local)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    systemTimeFromTm(local, (long)lpUniversalTime->wMilliseconds * 1000000L, lpLocalTime);
    return TRUE;
}

int GetDateFormatA(LCID, DWORD dwFlags, const SYSTEMTIME* lpDate, LPCSTR lpFormat, LPSTR lpDateStr, int cchDate)
{
    if (dwFlags != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    return formatSystemTime(PictureKind::Date, lpDate, lpFormat, lpDateStr, cchDate);
}

int GetTimeFormatA(LCID, DWORD dwFlags, const SYSTEMTIME* lpTime, LPCSTR lpFormat, LPSTR lpTimeStr, int cchTime)
{
    if ((dwFlags & ~(DWORD)TIME_NOTIMEMARKER) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    return formatSystemTime(PictureKind::Time, lpTime, lpFormat, lpTimeStr, cchTime);
}
