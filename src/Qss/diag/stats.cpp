// The server's counters. They are counted from the server thread and the
// timer threads at once, so each is read and written as an atomic word.
#include <atomic>

#include "Qss/diag/diag.h"

QSS_STATS qssStats;

void Qss_IncrementStat(DWORD* counter)
{
    std::atomic_ref<DWORD>(*counter).fetch_add(1, std::memory_order_relaxed);
}

void Qss_SnapshotStats(QSS_STATS* snapshot)
{
    static DWORD QSS_STATS::* const counters[] = {
        &QSS_STATS::recvErrors,        &QSS_STATS::invalidPackets, &QSS_STATS::checksumErrors,
        &QSS_STATS::versionErrors,     &QSS_STATS::componentIdErrors, &QSS_STATS::socketErrors,
        &QSS_STATS::sendErrors,        &QSS_STATS::shortSends,     &QSS_STATS::wrongServerErrors,
        &QSS_STATS::unrecognizedTypeErrors,
    };
    for (DWORD QSS_STATS::* counter : counters) {
        snapshot->*counter = std::atomic_ref<DWORD>(qssStats.*counter).load(std::memory_order_relaxed);
    }
}

QSS_GUARD_STATS qssGuardStats;

void Qss_TraceStatistics(void)
{
    QSS_STATS s;
    Qss_SnapshotStats(&s);
    DWORD refused = std::atomic_ref<DWORD>(qssGuardStats.refusedDatagrams).load(std::memory_order_relaxed);
    DWORD stale = std::atomic_ref<DWORD>(qssGuardStats.staleRequests).load(std::memory_order_relaxed);
    Qss_TracePrintf(QSS_TRACE_INFO,
                    "Statistics: receive errors %u, invalid packets %u, checksum errors %u, version errors %u, "
                    "component ID errors %u, socket errors %u, send errors %u, short sends %u, wrong server %u, "
                    "unrecognized types %u, refused peers %u, stale requests %u",
                    s.recvErrors, s.invalidPackets, s.checksumErrors, s.versionErrors, s.componentIdErrors,
                    s.socketErrors, s.sendErrors, s.shortSends, s.wrongServerErrors, s.unrecognizedTypeErrors,
                    refused, stale);
}
