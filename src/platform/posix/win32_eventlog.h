// The Application event log: event sources and event reports.
//
// Each record is one JSON object on its own line of
// $DORVANE_STATE_DIR/eventlog/Application.jsonl, written with a single write()
// so that concurrent writers never interleave, and is also sent to the
// systemd journal under the source's name, with the event's text from the
// message file registered as the source's EventMessageFile (its identifier and
// strings when none is).
#pragma once

#include "win32_types.h"

typedef void* PSID;

#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
#define EVENTLOG_AUDIT_SUCCESS 0x0008
#define EVENTLOG_AUDIT_FAILURE 0x0010

// Only the local machine (a null or empty server name) is supported. Opens the
// log file, creating its folders; fails with the error code of that.
HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName);
// Valid UTF-8 in the strings is kept; other bytes become U+FFFD in the file.
// Fails with the error code of a failed write.
BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid, WORD wNumStrings,
                  DWORD dwDataSize, LPCSTR* lpStrings, LPVOID lpRawData);
BOOL DeregisterEventSource(HANDLE hEventLog);
