// One PVM's persistent quorum state: the sixteen values written as a grant
// writes them (each opening and closing its keys), with and without the flush
// that makes them durable, many grants in one transaction as the commit of
// grants writes them, and the read-back of a restart. The state folder is a fresh one
// under $TMPDIR (default /tmp), so the numbers are those of that file system.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"

namespace {

const char kSubKey[] = "{00112233445566778899aabbccddeeff}";
const char kGuid[] = "5f0c1e2a-8b7d-4c3e-9a10-0123456789ab";

struct StateFolder {
    std::string path;
    StateFolder()
    {
        const char* base = std::getenv("TMPDIR");
        path = std::string(base && *base ? base : "/tmp") + "/dorvane-bench-XXXXXX";
        if (!mkdtemp(path.data())) std::abort();
        setenv("DORVANE_STATE_DIR", path.c_str(), 1);
        qssTraceFlags = 0;
    }
    ~StateFolder() { std::filesystem::remove_all(path); }
};

bool WriteState(const char* subKey = kSubKey, HANDLE transaction = NULL)
{
    const BYTE systemTime[16] = {0xE8, 0x07, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0};
    LONG failed = Qss_RegSetPersistentStateDWORD(subKey, "Revision", 1, transaction) |
                  Qss_RegSetPersistentStateDWORD(subKey, "Quorum Holder", 1, transaction) |
                  Qss_RegSetPersistentStateDWORD(subKey, "Protocol Revision", 1, transaction) |
                  Qss_RegSetPersistentStateSTRING(subKey, "Protected VM Id", kGuid, 37, transaction) |
                  Qss_RegSetPersistentStateSTRING(subKey, "Time Acquired", "2024-01-02 03:04:05", 20, transaction) |
                  Qss_RegSetPersistentStateBINARY(subKey, "System Time Acquired", systemTime, sizeof systemTime,
                                                  transaction) |
                  Qss_RegSetPersistentStateSTRING(subKey, "AM1 Id", kGuid, 37, transaction) |
                  Qss_RegSetPersistentStateSTRING(subKey, "AM1 IP Address Sz", "127.0.0.1", 22, transaction) |
                  Qss_RegSetPersistentStateDWORD(subKey, "AM1 IP Address Dw", 0x0100007F, transaction) |
                  Qss_RegSetPersistentStateDWORD(subKey, "AM1 Port", 4558, transaction) |
                  Qss_RegSetPersistentStateDWORD(subKey, "AM1 Keepalive Interval", 1000, transaction) |
                  Qss_RegSetPersistentStateSTRING(subKey, "AM2 Id", kGuid, 37, transaction) |
                  Qss_RegSetPersistentStateSTRING(subKey, "AM2 IP Address Sz", "127.0.0.2", 22, transaction) |
                  Qss_RegSetPersistentStateDWORD(subKey, "AM2 IP Address Dw", 0x0200007F, transaction) |
                  Qss_RegSetPersistentStateDWORD(subKey, "AM2 Port", 4558, transaction) |
                  Qss_RegSetPersistentStateDWORD(subKey, "AM2 Keepalive Interval", 1000, transaction);
    return failed == ERROR_SUCCESS;
}

bool ReadState()
{
    DWORD dword;
    char text[37];
    BYTE systemTime[16];
    LONG failed = 0;
    for (const char* name : {"Revision", "Quorum Holder", "Protocol Revision", "AM1 IP Address Dw", "AM1 Port",
                             "AM1 Keepalive Interval", "AM2 IP Address Dw", "AM2 Port", "AM2 Keepalive Interval"}) {
        failed |= Qss_RegGetPersistentStateDWORD(kSubKey, name, &dword);
    }
    for (const char* name : {"Protected VM Id", "Time Acquired", "AM1 Id", "AM1 IP Address Sz", "AM2 Id",
                             "AM2 IP Address Sz"}) {
        failed |= Qss_RegGetPersistentStateSTRING(kSubKey, name, text, sizeof text);
    }
    failed |= Qss_RegGetPersistentStateBINARY(kSubKey, "System Time Acquired", systemTime, sizeof systemTime);
    return failed == ERROR_SUCCESS;
}

void BM_WriteSixteenValuesAndFlush(benchmark::State& state)
{
    StateFolder folder;
    for (auto _ : state) {
        if (!WriteState() || Qss_RegFlushPersistentStates() != ERROR_SUCCESS) state.SkipWithError("write");
    }
}
BENCHMARK(BM_WriteSixteenValuesAndFlush)->Unit(benchmark::kMillisecond);

// As grants of ever new PVMs: each makes its subkey.
void BM_WriteSixteenValuesOfANewPvm(benchmark::State& state)
{
    StateFolder folder;
    unsigned long long pvm = 0;
    for (auto _ : state) {
        char subKey[40];
        std::snprintf(subKey, sizeof subKey, "{%032llx}", ++pvm);
        if (!WriteState(subKey)) state.SkipWithError("write");
    }
}
BENCHMARK(BM_WriteSixteenValuesOfANewPvm)->Unit(benchmark::kMicrosecond);

// As a commit round writes them: the grants of many new PVMs in one transaction.
void BM_WriteSixteenValuesOfNewPvmsInATransaction(benchmark::State& state)
{
    StateFolder folder;
    unsigned long long pvm = 0;
    for (auto _ : state) {
        HANDLE transaction = Qss_RegBeginStateWrites();
        for (int64_t i = 0; i < state.range(0); ++i) {
            char subKey[40];
            std::snprintf(subKey, sizeof subKey, "{%032llx}", ++pvm);
            if (!WriteState(subKey, transaction)) state.SkipWithError("write");
        }
        if (Qss_RegCommitStateWrites(transaction) != ERROR_SUCCESS) state.SkipWithError("commit");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WriteSixteenValuesOfNewPvmsInATransaction)->Arg(256)->Unit(benchmark::kMillisecond);

void BM_FlushAlone(benchmark::State& state)
{
    StateFolder folder;
    WriteState();
    for (auto _ : state) {
        if (Qss_RegFlushPersistentStates() != ERROR_SUCCESS) state.SkipWithError("flush");
    }
}
BENCHMARK(BM_FlushAlone)->Unit(benchmark::kMicrosecond);

void BM_ReadSixteenValues(benchmark::State& state)
{
    StateFolder folder;
    WriteState();
    for (auto _ : state) {
        if (!ReadState()) state.SkipWithError("read");
    }
}
BENCHMARK(BM_ReadSixteenValues)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
