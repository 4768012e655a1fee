// The registry's own calls: one value written, and the flush that makes every
// change before it durable, after one change and after a thousand. The state
// folder is a fresh one under $TMPDIR (default /tmp), so the numbers are those
// of that file system.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/win32.h"

namespace {

struct StateFolder {
    std::string path;
    HKEY key = nullptr;
    StateFolder()
    {
        const char* base = std::getenv("TMPDIR");
        path = std::string(base && *base ? base : "/tmp") + "/dorvane-bench-XXXXXX";
        if (!mkdtemp(path.data())) std::abort();
        setenv("DORVANE_STATE_DIR", path.c_str(), 1);
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Dorvane\\Persistent States", 0,
                            nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            std::abort();
    }
    ~StateFolder()
    {
        RegCloseKey(key);
        std::filesystem::remove_all(path);
    }
    bool Set(DWORD value)
    {
        return RegSetValueExA(key, "Quorum Holder", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                              sizeof value) == ERROR_SUCCESS;
    }
};

void BM_SetValue(benchmark::State& state)
{
    StateFolder folder;
    DWORD n = 0;
    for (auto _ : state) {
        if (!folder.Set(++n)) state.SkipWithError("set");
    }
}
BENCHMARK(BM_SetValue)->Unit(benchmark::kMicrosecond);

// The flush alone, after the given number of changes (not timed).
void BM_FlushAfterChanges(benchmark::State& state)
{
    StateFolder folder;
    DWORD n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int64_t i = 0; i < state.range(0); ++i) {
            if (!folder.Set(++n)) state.SkipWithError("set");
        }
        state.ResumeTiming();
        if (RegFlushKey(folder.key) != ERROR_SUCCESS) state.SkipWithError("flush");
    }
}
BENCHMARK(BM_FlushAfterChanges)->Arg(1)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
