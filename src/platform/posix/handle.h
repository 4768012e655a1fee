// The objects behind the layer's HANDLEs. Each begins with a 32-bit kind tag,
// so that the generic calls (CloseHandle, WaitForSingleObject) can tell what a
// handle is and refuse the wrong kind with ERROR_INVALID_HANDLE. A handle is
// the object's address and stays valid until the call that frees it.
#pragma once

#include "platform/win32.h"

#define DV_HANDLE_KIND_EVENT 0x544E5645u
#define DV_HANDLE_KIND_THREAD 0x44524854u
#define DV_HANDLE_KIND_TIMER_QUEUE 0x51524D54u
#define DV_HANDLE_KIND_TIMER 0x524D4954u
#define DV_HANDLE_KIND_TOOLHELP_SNAPSHOT 0x50485448u
#define DV_HANDLE_KIND_TRANSACTION 0x4E585254u

// The kind of the object behind a handle, 0 for the null and invalid values.
inline DWORD DvHandleKind(HANDLE h)
{
    if (h == NULL || h == INVALID_HANDLE_VALUE) {
        return 0;
    }
    return *static_cast<const DWORD*>(h);
}

// CloseHandle's work for a Tool Help snapshot.
BOOL DvToolhelpCloseSnapshot(HANDLE hSnapshot);
// CloseHandle's work for a registry transaction; one not committed is dropped.
BOOL DvRegistryCloseTransaction(HANDLE hTransaction);
