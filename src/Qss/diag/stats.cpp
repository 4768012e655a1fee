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
