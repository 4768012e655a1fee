// Console mode: the server in the foreground until Ctrl+C or Ctrl+Break.
#pragma once

#include "platform/win32.h"

void qssCmdDebugService(void);
BOOL WINAPI qssConsoleCtrlHandler(DWORD controlEvent);
