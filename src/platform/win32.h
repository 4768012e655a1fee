// The one door from program code to the operating system.
//
// On Windows this is the SDK. Elsewhere it declares the subset of Win32 that
// Dorvane and Kelbrook use, with the same names, types, constants and error
// codes, implemented over POSIX in src/platform/posix/.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <ktmw32.h>
#include <rpc.h>
#include <strsafe.h>
#include <tlhelp32.h>
#else
#include "posix/win32_types.h"
#include "posix/win32_strsafe.h"
#include "posix/win32_time.h"
#include "posix/win32_heap.h"
#include "posix/win32_rpc.h"
#include "posix/win32_sysinfo.h"
#include "posix/win32_winsock.h"
#include "posix/win32_sync.h"
#include "posix/win32_timerqueue.h"
#include "posix/win32_message.h"
#include "posix/win32_eventlog.h"
#include "posix/win32_registry.h"
#include "posix/win32_service.h"
#include "posix/win32_console.h"
#include "posix/win32_toolhelp.h"
#endif

#include "portable.h"
