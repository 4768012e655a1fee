// Lookups and keepalives against a table of 4,000 and of 100,000 attached
// records: the cost of one request should not grow with the table.
// Run by hand: build/native/bench/quorum_table_bench
#include <cstdlib>
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>

#include "Qss/config/parameters.h"
#include "Qss/net/reply.h"
#include "Qss/net/server_thread.h"
#include "Qss/quorum/handlers.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/instance_table.h"
#include "Qss/quorum/keepalive.h"
#include "Qss/service/lifecycle.h"

// The server library leaves the service stop to the program; the benchmark has no service.
void Qss_ServiceStop(DWORD bTerminateThread) { Qss_StopServerThread(bTerminateThread); }

namespace {

constexpr char kHost[] = "BENCHHOST";
constexpr char kServerId[] = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

void PvmIdOf(DWORD n, BYTE* pvmId)
{
    for (int i = 0; i < 16; ++i) pvmId[i] = (BYTE)((n * 2654435761u) >> (i % 4 * 8)) ^ (BYTE)i;
    memcpy(pvmId, &n, sizeof(n));
}

// The server's state with records attached ONLINE, each with an armed timer.
struct Table {
    SOCKET sock = INVALID_SOCKET;
    SOCKET sink = INVALID_SOCKET;
    SOCKADDR_IN peer = {};
    DWORD records = 0;

    void Fill(DWORD count)
    {
        if (records == count) return;
        Clear();
        static char stateDir[] = "/tmp/dorvane-bench-XXXXXX";
        if (getenv("DORVANE_STATE_DIR") == nullptr) setenv("DORVANE_STATE_DIR", mkdtemp(stateDir), 1);
        Qss_Initialize();
        StringCbCopyA(qssServerInfo.hostName, sizeof(qssServerInfo.hostName), kHost);
        StringCbCopyA(qssServerInfo.serverId, sizeof(qssServerInfo.serverId), kServerId);
        qssMaxInstanceNum = count;
        sock = socket(AF_INET, SOCK_DGRAM, 0);
        // Replies go to a bound socket nobody reads; the kernel drops what does not fit.
        sink = socket(AF_INET, SOCK_DGRAM, 0);
        peer = {};
        peer.sin_family = AF_INET;
        peer.sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(sink, (sockaddr*)&peer, sizeof(peer));
        int size = sizeof(peer);
        getsockname(sink, (sockaddr*)&peer, &size);
        EnterCriticalSection(&qssInstanceLock);
        for (DWORD i = 0; i < count; ++i) {
            BYTE pvmId[16];
            PvmIdOf(i, pvmId);
            DWORD status;
            QSS_INSTANCE* record = qssNewInstance(pvmId, &status);
            record->instanceTimeout = 3600000;
            record->protocolRevision = QSS_PROTOCOL_REVISION;
            record->am[0].bOnline = 1;
            qssResetKeepaliveTimeoutTimer(&record->am[0]);
        }
        LeaveCriticalSection(&qssInstanceLock);
        records = count;
    }

    void Clear()
    {
        if (records == 0) return;
        closesocket(sock);
        closesocket(sink);
        Qss_StopServerThread(0);
        records = 0;
    }
};

Table table;

void BM_Lookup(benchmark::State& state)
{
    table.Fill((DWORD)state.range(0));
    DWORD n = 0;
    BYTE pvmId[16];
    for (auto _ : state) {
        PvmIdOf(n++ % table.records, pvmId);
        EnterCriticalSection(&qssInstanceLock);
        benchmark::DoNotOptimize(qssFindInstance(pvmId));
        qssUnusedInstanceCollection();
        LeaveCriticalSection(&qssInstanceLock);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Keepalive(benchmark::State& state)
{
    table.Fill((DWORD)state.range(0));
    QSS_AM_REQUEST request = {};
    request.header.protocolRevision = QSS_PROTOCOL_REVISION;
    request.header.length = sizeof(request);
    request.header.packetType = ZEL_K_QS_PACKET_TYPE_KEEPALIVE;
    request.amNumber = 1;
    StringCbCopyA(request.serverIdentity.hostName, sizeof(request.serverIdentity.hostName), kHost);
    StringCbCopyA(request.serverIdentity.serverId, sizeof(request.serverIdentity.serverId), kServerId);
    BYTE buffer[QSS_MAX_PACKET_SIZE] = {};
    DWORD n = 0;
    for (auto _ : state) {
        PvmIdOf(n % table.records, request.pvmId);
        request.header.sequence = ++n;
        memcpy(buffer, &request, sizeof(request));
        qssUnusedInstanceCollection();
        qssProcessKeepalive((const QSS_PACKET_HEADER*)buffer, &table.peer, table.sock);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Lookup)->Arg(4000)->Arg(100000);
BENCHMARK(BM_Keepalive)->Arg(4000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
