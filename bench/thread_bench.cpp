// Cost of the uncontended synchronisation primitives, the clock and per-thread variables.
#include <benchmark/benchmark.h>

#include "lumo/clock.h"
#include "lumo/thread.h"

static void BM_MutexLockUnlock(benchmark::State& state) {
    CL_Mutex mutex;
    for (auto _ : state) {
        mutex.Lock();
        mutex.Unlock();
    }
}
BENCHMARK(BM_MutexLockUnlock);

static void BM_SpinLockLockUnlock(benchmark::State& state) {
    CL_SpinLock lock;
    for (auto _ : state) {
        lock.Lock();
        lock.Unlock();
    }
}
BENCHMARK(BM_SpinLockLockUnlock);

static void BM_AtomicVarIncrement(benchmark::State& state) {
    CL_AtomicVar counter;
    for (auto _ : state)
        benchmark::DoNotOptimize(++counter);
}
BENCHMARK(BM_AtomicVarIncrement);

static void BM_GetTime(benchmark::State& state) {
    CL_StartClock();
    for (auto _ : state)
        benchmark::DoNotOptimize(CL_GetTime());
}
BENCHMARK(BM_GetTime);

static void BM_ThreadVarRead(benchmark::State& state) {
    CL_ThreadVar<uint32> var;
    var = 2;
    for (auto _ : state)
        benchmark::DoNotOptimize(var.Get());
}
BENCHMARK(BM_ThreadVarRead);

static void BM_ThreadVarWrite(benchmark::State& state) {
    CL_ThreadVar<uint32> var;
    uint32 i = 0;
    for (auto _ : state)
        var = ++i;
}
BENCHMARK(BM_ThreadVarWrite);

static int32 Nothing(void*) {
    return 0;
}

static void BM_SpawnAndWait(benchmark::State& state) {
    for (auto _ : state)
        CL_Thread::Wait(CL_Thread::Spawn("bench", 1, 1, Nothing, nullptr));
}
BENCHMARK(BM_SpawnAndWait);
