// Diagnostics: the trace mask, console trace lines, event-log records and
// Win32 error texts. Every part of the program reports through these.
#pragma once

#include "Qss/diag/events.h"
#include "platform/win32.h"

// Bits of qssTraceFlags.
#define QSS_TRACE_CONSOLE 0x01u      // console mode: lines and events are printed
#define QSS_TRACE_ERRORS 0x02u
#define QSS_TRACE_WARNINGS 0x04u
#define QSS_TRACE_INFO 0x08u
#define QSS_TRACE_LOUD 0x10u
#define QSS_TRACE_VERBOSE 0x20u
#define QSS_TRACE_PACKET_DUMP 0x40u  // with QSS_TRACE_CONSOLE and the dump's level
#define QSS_TRACE_EVENTLOG 0x80u     // without QSS_TRACE_CONSOLE, lines become events

// The size of every message buffer, terminator included; longer text is cut.
#define QSS_MAX_MESSAGE 1024

// Written once on the main thread before any other thread exists.
extern DWORD qssTraceFlags;

// The server's counters, attached whole (40 bytes) as event data.
typedef struct QSS_STATS {
    DWORD recvErrors;
    DWORD invalidPackets;
    DWORD checksumErrors;
    DWORD versionErrors;
    DWORD componentIdErrors;
    DWORD socketErrors;
    DWORD sendErrors;
    DWORD shortSends;
    DWORD wrongServerErrors;
    DWORD unrecognizedTypeErrors;
} QSS_STATS;
static_assert(sizeof(QSS_STATS) == 40, "the counters are attached as 40 bytes");

// Zeroed at every service start, while no other thread runs.
extern QSS_STATS qssStats;

// Counters kept beside the ten of the statistics event, whose data stays as
// it is: datagrams refused for their source address (AllowedPeers) and
// requests dropped as stale (RequireIncreasingSequences).
typedef struct QSS_GUARD_STATS {
    DWORD refusedDatagrams;
    DWORD staleRequests;
} QSS_GUARD_STATS;

// Zeroed with qssStats.
extern QSS_GUARD_STATS qssGuardStats;

// Adds one to a counter of qssStats (wrapping); safe from any thread.
void Qss_IncrementStat(DWORD* counter);
// The counters as they are now, read safely while other threads count.
void Qss_SnapshotStats(QSS_STATS* snapshot);
// One info-level trace line with every counter, the ten and the guards' two.
void Qss_TraceStatistics(void);

// "dorvane.dll", loaded in console mode only; event texts come from it.
extern HMODULE qssMessageDll;

// Writes one trace line the caller has accepted at its level: printed with the
// date and time in console mode, else an event when QSS_TRACE_EVENTLOG is set.
void Qss_TraceLog(const char* text, DWORD dataSize, const void* data);
// Formats and writes a trace line when qssTraceFlags has the level bit.
void Qss_TracePrintf(DWORD level, const char* format, ...) DV_PRINTF_FORMAT(2, 3);

// Writes one event record under the source "Dorvane"; in console mode its
// text is printed first. Failures are printed, never returned.
void Qss_LogEvent(DWORD eventId, WORD stringCount, LPCSTR* strings, DWORD dataSize, const void* data);
// Prints the event's text from qssMessageDll with its insertion strings.
void qssTraceEvent(DWORD eventId, LPCSTR* strings);
// The internal-error event, its one string "<function> (<line>)", no data.
void Qss_LogInternalError(const char* function, DWORD line);

// "<function> (<line>): <what> (<code>): \n" followed by the system's text for
// the code, if it has one.
void Qss_GetWin32ErrorText(const char* function, DWORD line, const char* what, int code, char* out, size_t outSize);
// The error text as the Win32-error event with the counters as data; printed
// first when printFlag is exactly 1.
void Qss_LogWin32Error(const char* function, DWORD line, const char* what, int code, int printFlag);
// "<function> (<line>): <what> (Err:<code>)[ <extra>]" as the error event with
// the counters as data; for Winsock and C-runtime codes.
void Qss_LogError(const char* function, DWORD line, const char* what, int code, const char* extra);

// Prints "Dorvane: <text>\n" on standard output.
void Qss_ConsolePrint(const char* text);
