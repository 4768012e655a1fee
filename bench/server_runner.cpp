// The quorum server in a process of its own for the load generator, until the
// program's service host can be installed: the start sequence of a service
// (parameters, restore, first address scan, server thread) with its state in
// $DORVANE_STATE_DIR, the host's one address pinned to 127.0.0.1, no trace.
// Stops on SIGTERM or SIGINT, or by itself after the given seconds.
//
// Usage: server_runner PORT MAX_INSTANCES [SECONDS]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "Qss/config/parameters.h"
#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"
#include "Qss/net/server_thread.h"
#include "Qss/service/lifecycle.h"

// The server thread calls this when its wait fails; here it only stops the server.
void Qss_ServiceStop(DWORD bTerminateThread) { Qss_StopServerThread(bTerminateThread); }

int main(int argc, char** argv)
{
    const char* stateDir = std::getenv("DORVANE_STATE_DIR");
    if (argc < 3 || argc > 4 || !stateDir || !*stateDir) {
        std::fprintf(stderr, "usage: DORVANE_STATE_DIR=FOLDER server_runner PORT MAX_INSTANCES [SECONDS]\n");
        return 2;
    }
    DWORD port = (DWORD)std::strtoul(argv[1], NULL, 10);
    DWORD maxInstances = (DWORD)std::strtoul(argv[2], NULL, 10);
    long seconds = argc == 4 ? std::atol(argv[3]) : 3600;
    const char kHostName[] = "DVLOAD";
    const char kServerId[] = "3e0f6a2b-9c14-4d7e-a5b8-61c2d3e4f5a6";
    std::string hosts = std::string(stateDir) + "/hosts";
    std::ofstream(hosts) << "127.0.0.1 " << kHostName << "\n";
    setenv("DORVANE_HOSTS", hosts.c_str(), 1);
    setenv("COMPUTERNAME", kHostName, 1);
    qssTraceFlags = 0;

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, NULL);

    bool ready = Qss_RegSetSTRING("QSServerID", kServerId, sizeof(kServerId)) &&
                 Qss_RegSetDWORD("QSServerPortForReceive", port) && Qss_RegSetDWORD("MaxInstanceNum", maxInstances) &&
                 Qss_Initialize() && Qss_RetrieveParameters() && Qss_StartServerThread();
    if (!ready) {
        std::fprintf(stderr, "server_runner: the server did not start\n");
        return 1;
    }
    std::printf("server_runner: 127.0.0.1:%u, pid %d\n", (unsigned)port, (int)getpid());
    std::fflush(stdout);
    timespec limit = {seconds, 0};
    sigtimedwait(&stop, NULL, &limit);
    Qss_StopServerThread(1);
    return 0;
}
