#include "Qss/quorum/instance_table.h"

#include <cstring>

#include "Qss/config/parameters.h"
#include "Qss/config/pvm_id.h"
#include "Qss/diag/diag.h"
#include "Qss/quorum/instance_ageing.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/instance_timer.h"

DWORD(WINAPI* qssGetTick)(void) = GetTickCount;

QSS_INSTANCE* qssInstanceList;
DWORD qssInstanceCount;

// The index by PVM ID: chained buckets, a power of two of them, doubled when
// the records outnumber them. The first buckets are static, so the index
// always exists; when a larger array cannot be had the index stays as it is
// and only gets slower.
constexpr DWORD QSS_INITIAL_BUCKETS = 64;
static QSS_INSTANCE* qssInitialBuckets[QSS_INITIAL_BUCKETS];
static QSS_INSTANCE** qssBuckets = qssInitialBuckets;
static DWORD qssBucketCount = QSS_INITIAL_BUCKETS;

static ULONGLONG qssNextCreationSerial;

// PVM IDs are usually random, but nothing makes them so: mix every bit.
static DWORD qssPvmIdHash(const BYTE* pvmId)
{
    ULONGLONG low;
    ULONGLONG high;
    memcpy(&low, pvmId, sizeof(low));
    memcpy(&high, pvmId + sizeof(low), sizeof(high));
    ULONGLONG h = low * 0x9E3779B97F4A7C15ull ^ high;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return (DWORD)h;
}

static QSS_INSTANCE** qssBucketOf(const BYTE* pvmId)
{
    return &qssBuckets[qssPvmIdHash(pvmId) & (qssBucketCount - 1)];
}

static void qssGrowIndex(void)
{
    if (qssInstanceCount <= qssBucketCount || qssBucketCount > 0x40000000u) {
        return;
    }
    HANDLE heap = GetProcessHeap();
    DWORD newCount = qssBucketCount * 2;
    QSS_INSTANCE** newBuckets =
        heap ? static_cast<QSS_INSTANCE**>(HeapAlloc(heap, HEAP_ZERO_MEMORY, newCount * sizeof(QSS_INSTANCE*))) : NULL;
    if (newBuckets == NULL) {
        return;
    }
    for (DWORD i = 0; i < qssBucketCount; i++) {
        QSS_INSTANCE* record = qssBuckets[i];
        while (record != NULL) {
            QSS_INSTANCE* next = record->pHashNext;
            QSS_INSTANCE** bucket = &newBuckets[qssPvmIdHash(record->pvmId) & (newCount - 1)];
            record->pHashNext = *bucket;
            *bucket = record;
            record = next;
        }
    }
    if (qssBuckets != qssInitialBuckets) {
        HeapFree(heap, 0, qssBuckets);
    }
    qssBuckets = newBuckets;
    qssBucketCount = newCount;
}

static void qssResetIndex(void)
{
    if (qssBuckets != qssInitialBuckets) {
        HANDLE heap = GetProcessHeap();
        if (heap != NULL) {
            HeapFree(heap, 0, qssBuckets);
        }
    }
    memset(qssInitialBuckets, 0, sizeof(qssInitialBuckets));
    qssBuckets = qssInitialBuckets;
    qssBucketCount = QSS_INITIAL_BUCKETS;
}

static void qssLinkInstance(QSS_INSTANCE* record)
{
    record->pNext = qssInstanceList;
    if (qssInstanceList != NULL) {
        qssInstanceList->pPrev = record;
    }
    qssInstanceList = record;
    QSS_INSTANCE** bucket = qssBucketOf(record->pvmId);
    record->pHashNext = *bucket;
    *bucket = record;
    qssInstanceCount++;
    qssGrowIndex();
}

static void qssUnlinkInstance(QSS_INSTANCE* record)
{
    if (record->pPrev != NULL) {
        record->pPrev->pNext = record->pNext;
    } else {
        qssInstanceList = record->pNext;
    }
    if (record->pNext != NULL) {
        record->pNext->pPrev = record->pPrev;
    }
    QSS_INSTANCE** link = qssBucketOf(record->pvmId);
    while (*link != record) {
        link = &(*link)->pHashNext;
    }
    *link = record->pHashNext;
    qssInstanceCount--;
    qssForgetInstanceAgeing(record);
}

static QSS_INSTANCE* qssLookUp(const BYTE* pvmId)
{
    for (QSS_INSTANCE* record = *qssBucketOf(pvmId); record != NULL; record = record->pHashNext) {
        if (memcmp(record->pvmId, pvmId, QSS_PVM_ID_SIZE) == 0) {
            return record;
        }
    }
    return NULL;
}

static void qssTraceNewInstance(const BYTE* pvmId)
{
    ULONGLONG low;
    ULONGLONG high;
    memcpy(&low, pvmId, sizeof(low));
    memcpy(&high, pvmId + sizeof(low), sizeof(high));
    Qss_TracePrintf(QSS_TRACE_INFO, "Creating instance for binary PVM uuid: %16llx%16llx", high, low);
    char subkey[QSS_PERSISTENT_SUBKEY_SIZE];
    if (Qss_PvmIdToPersistentStateSubKey(pvmId, sizeof(subkey), subkey)) {
        Qss_TracePrintf(QSS_TRACE_INFO, "Persistent state subkey: %s", subkey);
    } else {
        Qss_LogInternalError("qssNewInstance", 6368);
    }
}

QSS_INSTANCE* qssNewInstance(const BYTE* pvmId, DWORD* status)
{
    if (pvmId == NULL) {
        Qss_LogInternalError("qssNewInstance", 6276);
        *status = 1;
        return NULL;
    }
    EnterCriticalSection(&qssInstanceLock);
    if (qssInstanceCount >= qssMaxInstanceNum) {
        qssUnusedInstanceCollection();
        if (qssInstanceCount >= qssMaxInstanceNum) {
            char limit[16];
            StringCbPrintfA(limit, sizeof(limit), "%u", qssMaxInstanceNum);
            LPCSTR strings[] = {limit};
            Qss_LogEvent(QSS_EVENT_INSTANCE_TABLE_FULL, 1, strings, 0, NULL);
            *status = ZEL_K_QS_STATUS_TOO_MANY_INSTANCES;
            LeaveCriticalSection(&qssInstanceLock);
            return NULL;
        }
    }
    HANDLE heap = GetProcessHeap();
    if (heap == NULL) {
        Qss_LogWin32Error("qssNewInstance", 6308, "GetProcessHeap", (int)GetLastError(), 0);
        *status = ZEL_K_QS_STATUS_NO_RESOURCES;
        LeaveCriticalSection(&qssInstanceLock);
        return NULL;
    }
    QSS_INSTANCE* record = static_cast<QSS_INSTANCE*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(QSS_INSTANCE)));
    if (record == NULL) {
        Qss_LogWin32Error("qssNewInstance", 6320, "HeapAlloc", (int)0xC0000017, 0);
        *status = ZEL_K_QS_STATUS_NO_RESOURCES;
        LeaveCriticalSection(&qssInstanceLock);
        return NULL;
    }
    memcpy(record->pvmId, pvmId, QSS_PVM_ID_SIZE);
    QSS_AM_INFO& am1 = record->am[0];
    am1.pInstance = record;
    am1.sock = INVALID_SOCKET;
    am1.lastKeepaliveTick = qssGetTick();
    record->am[1] = am1;
    record->creationSerial = ++qssNextCreationSerial;

    if (qssTraceFlags != 0) {
        qssTraceNewInstance(pvmId);
    }
    qssLinkInstance(record);
    qssReviewInstanceAgeing(record);
    *status = 0;
    LeaveCriticalSection(&qssInstanceLock);
    return record;
}

QSS_INSTANCE* qssFindInstance(const BYTE* pvmId)
{
    if (pvmId == NULL) {
        Qss_LogInternalError("qssFindInstance", 6190);
        return NULL;
    }
    EnterCriticalSection(&qssInstanceLock);
    QSS_INSTANCE* record = qssLookUp(pvmId);
    LeaveCriticalSection(&qssInstanceLock);
    return record;
}

void qssDeleteInstance(const BYTE* pvmId)
{
    if (pvmId == NULL || qssInstanceList == NULL) {
        return;
    }
    EnterCriticalSection(&qssInstanceLock);
    QSS_INSTANCE* record = qssLookUp(pvmId);
    if (record != NULL) {
        qssUnlinkInstance(record);
    }
    LeaveCriticalSection(&qssInstanceLock);
    if (record == NULL) {
        return;
    }
    HANDLE heap = GetProcessHeap();
    if (heap == NULL) {
        Qss_LogWin32Error("qssDeleteInstance", 6508, "GetProcessHeap", (int)GetLastError(), 0);
    } else if (!HeapFree(heap, 0, record)) {
        Qss_LogWin32Error("qssDeleteInstance", 6501, "HeapFree", (int)GetLastError(), 0);
    }
}

void qssDeleteAllInstances(void)
{
    HANDLE heap = GetProcessHeap();
    if (heap == NULL) {
        Qss_LogWin32Error("qssDeleteAllInstances", 6645, "GetProcessHeap", (int)GetLastError(), 0);
        return;
    }
    EnterCriticalSection(&qssInstanceLock);
    while (qssInstanceList != NULL) {
        QSS_INSTANCE* record = qssInstanceList;
        qssInstanceList = record->pNext;
        qssFreeInstanceTimers(record);
        if (!HeapFree(heap, 0, record)) {
            Qss_LogWin32Error("qssDeleteAllInstances", 6667, "HeapFree", (int)GetLastError(), 0);
        }
    }
    qssFreeSpareTimerTicket();
    qssInstanceCount = 0;
    qssResetIndex();
    qssResetInstanceAgeing();
    LeaveCriticalSection(&qssInstanceLock);
}

DWORD qssGetAmState(const QSS_AM_INFO* slot, ULONGLONG sequence, DWORD replyType)
{
    const QSS_PACKET_HEADER* saved = reinterpret_cast<const QSS_PACKET_HEADER*>(slot->lastReply);
    if (saved->sequence == sequence && saved->packetType == replyType) {
        return QSS_AM_STATE_RESEND;
    }
    if (!slot->bOnline) {
        return slot->bHold ? QSS_AM_STATE_OFFLINE_HOLDING : QSS_AM_STATE_OFFLINE;
    }
    if (!slot->bHold) {
        return slot->bVoting ? QSS_AM_STATE_ONLINE_VOTING : QSS_AM_STATE_ONLINE;
    }
    return slot->bVoting ? QSS_AM_STATE_INVALID : QSS_AM_STATE_ONLINE_HOLDING;
}

BOOL qssAnyAmOnline(const QSS_INSTANCE* record)
{
    return record->am[0].bOnline || record->am[1].bOnline;
}

DWORD qssAmNumber(const QSS_AM_INFO* slot)
{
    return slot == &slot->pInstance->am[0] ? 1 : 2;
}
