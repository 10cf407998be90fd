// Frame checksum and CRC-32 throughput beside memcpy and zlib's adler32 over the
// same buffers; bytes/s in the counters is the figure to compare.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <vector>

#include "lumo/blob.h"

namespace {

CL_Blob MakeBlob(size_t size) {
    std::vector<uint8> bytes(size);
    uint32 x = 12345;
    for (auto& b : bytes)
        b = static_cast<uint8>(x = x * 1103515245u + 12345u);
    return CL_Blob(bytes.data(), static_cast<uint32>(size));
}

void BM_CheckSum(benchmark::State& state) {
    CL_Blob blob = MakeBlob(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(blob.CheckSum());
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_CRC32(benchmark::State& state) {
    CL_Blob blob = MakeBlob(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(blob.CRC32());
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_Memcpy(benchmark::State& state) {
    CL_Blob blob = MakeBlob(state.range(0));
    std::vector<uint8> dst(state.range(0));
    for (auto _ : state) {
        memcpy(dst.data(), blob.GetDataForRead(), dst.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_Adler32(benchmark::State& state) {
    CL_Blob blob = MakeBlob(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(adler32(1, blob.GetDataForRead(), blob.GetSize()));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_CheckSum)->Arg(64 << 10)->Arg(16 << 20);
BENCHMARK(BM_CRC32)->Arg(64 << 10)->Arg(16 << 20);
BENCHMARK(BM_Memcpy)->Arg(64 << 10)->Arg(16 << 20);
BENCHMARK(BM_Adler32)->Arg(64 << 10)->Arg(16 << 20);
