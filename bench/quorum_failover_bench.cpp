// A whole site failing over: for every one of N PVMs both AMs ask for the
// quorum at once, over loopback UDP, against the in-process server with its
// state in a fresh folder under $TMPDIR (default /tmp). Every grant is written
// and made durable before it is answered, so the time is mostly the file
// system's. Reported: the time until the last grant is answered, and
// decisions per second.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "Qss/config/parameters.h"
#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"
#include "Qss/net/server_thread.h"
#include "Qss/service/lifecycle.h"
#include "qsclient.h"
#include "qsquorum.h"

// The server thread calls this when its wait fails; here it only stops the server.
void Qss_ServiceStop(DWORD bTerminateThread) { Qss_StopServerThread(bTerminateThread); }

namespace {

const char kHostName[] = "DVBENCH";
const char kServerId[] = "7d3e1c55-0b9a-4f2e-8c61-5a4b3c2d1e0f";
constexpr int kWindow = 64;         // requests an AM keeps outstanding
constexpr DWORD kRetransmitMs = 300; // an AM resends what is unanswered after this

struct Server {
    std::string folder;
    WORD port = 0;

    Server()
    {
        const char* base = std::getenv("TMPDIR");
        folder = std::string(base && *base ? base : "/tmp") + "/dorvane-bench-XXXXXX";
        if (!mkdtemp(folder.data())) std::abort();
        setenv("DORVANE_STATE_DIR", folder.c_str(), 1);
        std::ofstream(folder + "/hosts") << "127.0.0.1 " << kHostName << "\n";
        setenv("DORVANE_HOSTS", (folder + "/hosts").c_str(), 1);
        setenv("COMPUTERNAME", kHostName, 1);
        qssTraceFlags = 0;

        SOCKET probe = QsOpenSocket("127.0.0.1");
        SOCKADDR_IN local = {};
        socklen_t size = sizeof(local);
        getsockname(probe, (SOCKADDR*)&local, &size);
        port = ntohs(local.sin_port);
        closesocket(probe);

        bool ready = Qss_RegSetSTRING("QSServerID", kServerId, sizeof(kServerId)) &&
                     Qss_RegSetDWORD("QSServerPortForReceive", port) &&
                     Qss_RegSetDWORD("RescanIpAddressInterval", 2000) &&
                     Qss_RegSetDWORD("InstanceRetainTimeAfterDetach", 300000) &&
                     Qss_RegSetDWORD("MaxInstanceNum", 100000) && Qss_Initialize() && Qss_RetrieveParameters() &&
                     Qss_StartServerThread();
        if (!ready) std::abort();
    }
    ~Server()
    {
        Qss_StopServerThread(1);
        std::filesystem::remove_all(folder);
    }
};

QS_TARGET Target()
{
    QS_TARGET target = {};
    StringCbCopyA(target.hostName, sizeof(target.hostName), kHostName);
    StringCbCopyA(target.serverId, sizeof(target.serverId), kServerId);
    return target;
}

void MakePvmId(unsigned n, BYTE* pvmId)
{
    memset(pvmId, 0xB5, QSS_PVM_ID_SIZE);
    memcpy(pvmId, &n, sizeof(n));
}

// One AM: sends a request per PVM, at most kWindow unanswered, resending the
// unanswered ones when nothing arrives for a while. Returns when all are answered.
struct Am {
    uint32_t amNumber;
    SOCKET sock;
    SOCKADDR_IN server = {};

    Am(uint32_t number, WORD port) : amNumber(number), sock(QsOpenSocket("127.0.0.1"))
    {
        server.sin_family = AF_INET;
        server.sin_port = htons(port);
        server.sin_addr.s_addr = inet_addr("127.0.0.1");
        int buffer = 4 << 20;
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, (const char*)&buffer, sizeof(buffer));
    }
    ~Am() { closesocket(sock); }

    template <typename Build>
    void Run(unsigned first, unsigned count, uint32_t expectedType, Build build)
    {
        std::vector<bool> answered(count, false);
        unsigned sent = 0;
        unsigned done = 0;
        unsigned resendFrom = 0;
        BYTE request[QSS_MAX_PACKET_SIZE];
        BYTE reply[QSS_MAX_PACKET_SIZE];
        while (done < count) {
            while (sent < count && sent - done < (unsigned)kWindow) {
                int length = build(first + sent, request);
                QsSend(sock, &server, request, length);
                ++sent;
            }
            int received = QsReceive(sock, reply, sizeof(reply), kRetransmitMs, NULL);
            if (received <= 0) {
                for (unsigned i = resendFrom; i < sent; ++i) {
                    if (answered[i]) continue;
                    int length = build(first + i, request);
                    QsSend(sock, &server, request, length);
                }
                continue;
            }
            const QSS_PACKET_HEADER* header = (const QSS_PACKET_HEADER*)reply;
            unsigned index = (unsigned)(header->sequence & 0xFFFFFFFF) - first;
            if (header->packetType != expectedType || index >= count || answered[index]) continue;
            answered[index] = true;
            ++done;
            while (resendFrom < count && answered[resendFrom]) ++resendFrom;
        }
    }
};

void BM_SiteFailover(benchmark::State& state)
{
    static Server server;
    static unsigned nextPvm = 0;
    const unsigned count = (unsigned)state.range(0);
    const QS_TARGET target = Target();
    Am am1(1, server.port);
    Am am2(2, server.port);

    for (auto _ : state) {
        state.PauseTiming();
        unsigned first = nextPvm;
        nextPvm += count;
        for (Am* am : {&am1, &am2}) {
            am->Run(first, count, ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE_ACK, [&](unsigned n, BYTE* request) {
                BYTE pvmId[QSS_PVM_ID_SIZE];
                MakePvmId(n, pvmId);
                QsBuildAttachInstance((QSS_ATTACH_INSTANCE_REQUEST*)request, n, pvmId, am->amNumber, 1000, 600000,
                                      &target, am->amNumber == 1 ? "am-one" : "am-two");
                return (int)sizeof(QSS_ATTACH_INSTANCE_REQUEST);
            });
        }
        state.ResumeTiming();

        // Both AMs at once, with a window long enough that every PVM is
        // decided by its second request; odd PVMs go to AM2 by health.
        auto acquire = [&](Am* am) {
            am->Run(first, count, ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK, [&](unsigned n, BYTE* request) {
                BYTE pvmId[QSS_PVM_ID_SIZE];
                MakePvmId(n, pvmId);
                ULONGLONG health = am->amNumber == 1 ? 100 : (n % 2 ? 200 : 50);
                QsBuildAcquireQuorum((QSS_ACQUIRE_QUORUM_REQUEST*)request, ((ULONGLONG)1 << 32) | n, pvmId,
                                     am->amNumber, 600000, health, &target, am->amNumber == 1 ? "am-one" : "am-two");
                return (int)sizeof(QSS_ACQUIRE_QUORUM_REQUEST);
            });
        };
        std::thread second(acquire, &am2);
        acquire(&am1);
        second.join();
    }
    state.counters["decisions_per_s"] =
        benchmark::Counter((double)count * (double)state.iterations(), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_SiteFailover)->Arg(400)->Arg(4000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
