// The cost of arming a timer and of re-arming one (delete, then create) in a
// queue that holds n armed timers, as the server does for every keepalive of
// every online peer. Both must grow no faster than log n.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "platform/win32.h"

namespace {

// Far enough ahead that no timer comes due while the benchmark runs.
constexpr DWORD kBaseDue = 600000;
constexpr DWORD kSpread = 60000;

VOID CALLBACK NeverCalled(PVOID, BOOLEAN) {}

HANDLE Arm(HANDLE queue, DWORD due)
{
    HANDLE timer = NULL;
    CreateTimerQueueTimer(&timer, queue, NeverCalled, NULL, due, 0, WT_EXECUTELONGFUNCTION);
    return timer;
}

// Arms n timers with spread due times into a fresh queue.
void ArmTimers(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    std::mt19937 random(1);
    for (auto _ : state) {
        state.PauseTiming();
        HANDLE queue = CreateTimerQueue();
        state.ResumeTiming();
        for (int i = 0; i < n; i++) {
            benchmark::DoNotOptimize(Arm(queue, kBaseDue + random() % kSpread));
        }
        state.PauseTiming();
        DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE);
        state.ResumeTiming();
    }
    state.SetComplexityN(n);
    // Seconds per arm, shown with an SI prefix (n for nanoseconds).
    state.counters["per_arm"] = benchmark::Counter(
        static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Re-arms timers of a queue that holds n of them, round robin; each
// iteration is one re-arm. sameTimeout: every new due time is the latest, as
// with one keepalive timeout for all peers; otherwise due times are spread.
void RearmTimers(benchmark::State& state, bool sameTimeout)
{
    const int n = static_cast<int>(state.range(0));
    std::mt19937 random(2);
    HANDLE queue = CreateTimerQueue();
    std::vector<HANDLE> timers(n);
    for (int i = 0; i < n; i++) {
        timers[i] = Arm(queue, kBaseDue + random() % kSpread);
    }
    int next = 0;
    for (auto _ : state) {
        DeleteTimerQueueTimer(queue, timers[next], NULL);
        timers[next] = Arm(queue, sameTimeout ? kBaseDue + kSpread : kBaseDue + random() % kSpread);
        next = next + 1 == n ? 0 : next + 1;
    }
    DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE);
    state.SetComplexityN(n);
}

void RearmSpreadTimeouts(benchmark::State& state) { RearmTimers(state, false); }
void RearmSameTimeout(benchmark::State& state) { RearmTimers(state, true); }

}  // namespace

BENCHMARK(ArmTimers)->Arg(1000)->Arg(10000)->Arg(100000)->Complexity(benchmark::oNLogN)->Unit(benchmark::kMillisecond);
BENCHMARK(RearmSpreadTimeouts)->Arg(1000)->Arg(10000)->Arg(100000)->Complexity(benchmark::oLogN);
BENCHMARK(RearmSameTimeout)->Arg(1000)->Arg(10000)->Arg(100000)->Complexity(benchmark::oLogN);

BENCHMARK_MAIN();
