// The admission check every datagram passes: no list, and lists of 16 to
// 4,096 disjoint ranges, for a source that is listed and one that is not.
// Run by hand: build/native/bench/peer_filter_bench (a release build for figures).
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "Qss/net/peer_admission.h"
#include "Qss/net/peer_filter.h"

namespace {

// 127.0.0.1 among single addresses in 10.0.0.0/8, none adjacent to another.
void UseList(int entries)
{
    std::string list = "127.0.0.1";
    list.push_back('\0');
    for (int i = 1; i < entries; ++i) {
        list += "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "." + std::to_string(2 * (i % 100));
        list.push_back('\0');
    }
    list.push_back('\0');
    QSS_PEER_FILTER filter = {NULL, 0, 0};
    char bad[QSS_PEER_ENTRY_TEXT_SIZE];
    if (entries > 0 && !qssBuildPeerFilter(list.data(), (DWORD)list.size(), &filter, bad, sizeof(bad))) std::abort();
    qssSetAllowedPeers(&filter);
}

void BM_AdmitListed(benchmark::State& state)
{
    UseList((int)state.range(0));
    SOCKADDR_IN source = {};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(0x7F000001);
    for (auto _ : state) benchmark::DoNotOptimize(qssAdmitSource(&source));
    state.counters["ranges"] = qssAllowedPeers.count;
}
BENCHMARK(BM_AdmitListed)->Arg(0)->Arg(16)->Arg(256)->Arg(4096);

void BM_LookupUnlisted(benchmark::State& state)
{
    UseList((int)state.range(0));
    uint32_t address = 0x0B000000;
    for (auto _ : state) benchmark::DoNotOptimize(qssPeerFilterContains(&qssAllowedPeers, address++));
}
BENCHMARK(BM_LookupUnlisted)->Arg(16)->Arg(256)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
