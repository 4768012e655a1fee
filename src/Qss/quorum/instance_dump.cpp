#include "Qss/config/pvm_id.h"
#include "Qss/diag/diag.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/instance_table.h"

static void qssFormatAmDump(const QSS_AM_INFO* slot, DWORD now, char* out, size_t outSize)
{
    const BYTE* ip = reinterpret_cast<const BYTE*>(&slot->ipAddress);
    StringCbPrintfA(out, outSize,
                    "\t** AM%u %.36s (%s, %s) (%u.%u.%u.%u:%u)\n\t** Health %016llX KA Interval %dms Since last KA %dms\n",
                    qssAmNumber(slot), slot->amId, slot->bOnline ? "ONLINE" : "OFFLINE",
                    slot->bHold ? "HOLD" : "RELEASE", ip[0], ip[1], ip[2], ip[3], slot->port, slot->health,
                    (int)slot->keepaliveInterval, (int)(now - slot->lastKeepaliveTick));
}

void qssDumpInstance(const QSS_INSTANCE* record)
{
    if ((qssTraceFlags & (QSS_TRACE_CONSOLE | QSS_TRACE_INFO)) != (QSS_TRACE_CONSOLE | QSS_TRACE_INFO)) {
        return;
    }
    EnterCriticalSection(&qssInstanceLock);
    DWORD now = qssGetTick();
    char guid[QSS_GUID_STRING_SIZE];
    Qss_PvmIdToGuidString(record->pvmId, sizeof(guid), guid);
    char head[QSS_MAX_MESSAGE];
    StringCbPrintfA(head, sizeof(head), "\t** PVM ID {%s}\n\t** Protocol Rev: 0x%03X : instanceTimeout: %dms\n", guid,
                    record->protocolRevision, (int)record->instanceTimeout);
    char am1[QSS_MAX_MESSAGE];
    char am2[QSS_MAX_MESSAGE];
    qssFormatAmDump(&record->am[0], now, am1, sizeof(am1));
    qssFormatAmDump(&record->am[1], now, am2, sizeof(am2));
    char text[QSS_MAX_MESSAGE];
    StringCbPrintfA(text, sizeof(text), "%s%s%s", head, am1, am2);
    Qss_TraceLog(text, sizeof(QSS_INSTANCE), record);
    LeaveCriticalSection(&qssInstanceLock);
}
