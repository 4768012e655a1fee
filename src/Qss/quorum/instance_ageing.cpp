// The queue is a binary min-heap of the records that can age, keyed by the
// extended tick from which both AMs have been silent. Candidates keep their
// ticks (only an armed timer changes them, and an armed timer ends the
// candidacy), so the front of the heap is always the first record due. The
// due test itself is the table's rule: both tick differences, unsigned 32-bit,
// strictly greater than the retain time.
#include <algorithm>
#include <cstring>

#include "Qss/config/parameters.h"
#include "Qss/config/pvm_id.h"
#include "Qss/diag/diag.h"
#include "Qss/quorum/instance_ageing.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/instance_table.h"
#include "Qss/quorum/instance_timer.h"

static QSS_INSTANCE** qssAgeingHeap; // qssAgeingHeap[0 .. qssAgeingCapacity)
static DWORD qssAgeingCount;
static DWORD qssAgeingCapacity;

static DWORD qssLastTick;
static ULONGLONG qssTickEpoch;

ULONGLONG qssExtendedTick(DWORD now)
{
    if (now < qssLastTick) {
        qssTickEpoch += 0x100000000ull;
    }
    qssLastTick = now;
    return qssTickEpoch | now;
}

static BOOL qssInstanceCanAge(const QSS_INSTANCE* record)
{
    for (const QSS_AM_INFO& slot : record->am) {
        if (slot.bOnline || slot.bHold || slot.hInstanceTimeout != NULL) {
            return FALSE;
        }
    }
    return record->hQuorumTimeout == NULL && !qssInstanceTimersPending(record) && !record->bCommitQueued;
}

static void qssPlace(QSS_INSTANCE* record, DWORD index)
{
    qssAgeingHeap[index] = record;
    record->ageingPosition = index + 1;
}

static void qssSiftUp(DWORD index)
{
    QSS_INSTANCE* record = qssAgeingHeap[index];
    while (index > 0) {
        DWORD parent = (index - 1) / 2;
        if (qssAgeingHeap[parent]->quietSince <= record->quietSince) {
            break;
        }
        qssPlace(qssAgeingHeap[parent], index);
        index = parent;
    }
    qssPlace(record, index);
}

static void qssSiftDown(DWORD index)
{
    QSS_INSTANCE* record = qssAgeingHeap[index];
    for (;;) {
        DWORD child = 2 * index + 1;
        if (child >= qssAgeingCount) {
            break;
        }
        if (child + 1 < qssAgeingCount && qssAgeingHeap[child + 1]->quietSince < qssAgeingHeap[child]->quietSince) {
            child++;
        }
        if (record->quietSince <= qssAgeingHeap[child]->quietSince) {
            break;
        }
        qssPlace(qssAgeingHeap[child], index);
        index = child;
    }
    qssPlace(record, index);
}

// Moves the record at index to the end of the heap's storage, just past the
// heap, and shrinks the heap by one.
static void qssRemoveAt(DWORD index)
{
    QSS_INSTANCE* record = qssAgeingHeap[index];
    DWORD last = --qssAgeingCount;
    if (index != last) {
        QSS_INSTANCE* moved = qssAgeingHeap[last];
        qssPlace(moved, index);
        qssSiftDown(index);
        qssSiftUp(moved->ageingPosition - 1);
    }
    qssAgeingHeap[last] = record;
    record->ageingPosition = 0;
}

static BOOL qssReserveAgeingSlot(void)
{
    if (qssAgeingCount < qssAgeingCapacity) {
        return TRUE;
    }
    HANDLE heap = GetProcessHeap();
    DWORD capacity = qssAgeingCapacity ? qssAgeingCapacity * 2 : 64;
    QSS_INSTANCE** grown =
        heap ? static_cast<QSS_INSTANCE**>(HeapAlloc(heap, 0, capacity * sizeof(QSS_INSTANCE*))) : NULL;
    if (grown == NULL) {
        return FALSE;
    }
    if (qssAgeingHeap != NULL) {
        memcpy(grown, qssAgeingHeap, qssAgeingCount * sizeof(QSS_INSTANCE*));
        HeapFree(heap, 0, qssAgeingHeap);
    }
    qssAgeingHeap = grown;
    qssAgeingCapacity = capacity;
    return TRUE;
}

// The tick from which the record counts as silent: that of the AM heard last,
// judged by the same unsigned differences as the due test.
static ULONGLONG qssQuietSince(const QSS_INSTANCE* record, DWORD now, ULONGLONG now64)
{
    DWORD since1 = now - record->am[0].lastKeepaliveTick;
    DWORD since2 = now - record->am[1].lastKeepaliveTick;
    return now64 - std::min(since1, since2);
}

void qssReviewInstanceAgeing(QSS_INSTANCE* record)
{
    if (record == NULL) {
        return;
    }
    EnterCriticalSection(&qssInstanceLock);
    if (!qssInstanceCanAge(record)) {
        qssForgetInstanceAgeing(record);
    } else if (record->ageingPosition != 0) {
        DWORD now = qssGetTick();
        record->quietSince = qssQuietSince(record, now, qssExtendedTick(now));
        qssSiftDown(record->ageingPosition - 1);
        qssSiftUp(record->ageingPosition - 1);
    } else if (qssReserveAgeingSlot()) {
        // Without room in the queue the record simply stays: it is never freed early.
        DWORD now = qssGetTick();
        record->quietSince = qssQuietSince(record, now, qssExtendedTick(now));
        qssPlace(record, qssAgeingCount++);
        qssSiftUp(qssAgeingCount - 1);
    }
    LeaveCriticalSection(&qssInstanceLock);
}

void qssForgetInstanceAgeing(QSS_INSTANCE* record)
{
    if (record->ageingPosition != 0) {
        qssRemoveAt(record->ageingPosition - 1);
    }
}

void qssResetInstanceAgeing(void)
{
    if (qssAgeingHeap != NULL) {
        HANDLE heap = GetProcessHeap();
        if (heap != NULL) {
            HeapFree(heap, 0, qssAgeingHeap);
        }
    }
    qssAgeingHeap = NULL;
    qssAgeingCount = 0;
    qssAgeingCapacity = 0;
    qssLastTick = 0;
    qssTickEpoch = 0;
}

void qssUnusedInstanceCollection(void)
{
    EnterCriticalSection(&qssInstanceLock);
    DWORD now = qssGetTick();
    ULONGLONG now64 = qssExtendedTick(now);
    DWORD heapEnd = qssAgeingCount;
    while (qssAgeingCount > 0) {
        QSS_INSTANCE* record = qssAgeingHeap[0];
        if (!qssInstanceCanAge(record)) {
            // Out of the queue, and out of the due records just past the heap.
            qssRemoveAt(0);
            qssAgeingHeap[qssAgeingCount] = qssAgeingHeap[--heapEnd];
            continue;
        }
        if (record->quietSince > now64 || now64 - record->quietSince <= qssInstanceRetainTime) {
            break;
        }
        if (now - record->am[0].lastKeepaliveTick > qssInstanceRetainTime &&
            now - record->am[1].lastKeepaliveTick > qssInstanceRetainTime) {
            qssRemoveAt(0);
        } else {
            // A difference wrapped: the record is due only once both are large again.
            record->quietSince = qssQuietSince(record, now, now64);
            qssSiftDown(0);
        }
    }
    // The records due now lie past the heap, up to where it ended; they go in
    // the table's order, newest first.
    QSS_INSTANCE** due = qssAgeingHeap + qssAgeingCount;
    QSS_INSTANCE** dueEnd = qssAgeingHeap + heapEnd;
    std::sort(due, dueEnd, [](const QSS_INSTANCE* a, const QSS_INSTANCE* b) {
        return a->creationSerial > b->creationSerial;
    });
    for (QSS_INSTANCE** next = due; next != dueEnd; next++) {
        QSS_INSTANCE* record = *next;
        if (qssTraceFlags & QSS_TRACE_INFO) {
            char guid[QSS_GUID_STRING_SIZE];
            Qss_PvmIdToGuidString(record->pvmId, sizeof(guid), guid);
            Qss_TracePrintf(QSS_TRACE_INFO,
                            "qssUnusedInstanceCollection (%u): Deleting old instance with PVM UUID {%s}\n", 6594,
                            guid);
        }
        qssDeleteInstance(record->pvmId);
    }
    LeaveCriticalSection(&qssInstanceLock);
}
