// Inflating 1 MiB: CL_Blob::Uncompress and a CL_Compressor loop beside zlib's
// uncompress into a buffer of the known size, allocated per call as a caller would.
// The heap keeps glibc's default trim and mmap thresholds.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "lumo/blob.h"
#include "lumo/compress.h"

namespace {

constexpr uLong kPlainSize = 1 << 20;

// Text-like rows that compress about 4:1, like a flattened result set.
const std::vector<uint8>& Plain() {
    static std::vector<uint8> plain = [] {
        std::string text;
        uint32 x = 7;
        while (text.size() < kPlainSize) {
            x = x * 1103515245u + 12345u;
            text += "row " + std::to_string(x % 100000) + " name_" + std::to_string(x >> 20) +
                    " amount " + std::to_string((x >> 8) % 9999) + ".25;";
        }
        text.resize(kPlainSize);
        return std::vector<uint8>(text.begin(), text.end());
    }();
    return plain;
}

const std::vector<uint8>& Packed() {
    static std::vector<uint8> packed = [] {
        uLongf size = compressBound(kPlainSize);
        std::vector<uint8> out(size);
        compress(out.data(), &size, Plain().data(), kPlainSize);
        out.resize(size);
        return out;
    }();
    return packed;
}

void ZlibUncompress(benchmark::State& state) {
    const auto& packed = Packed();
    for (auto _ : state) {
        uLongf size = kPlainSize;
        uint8* out = static_cast<uint8*>(malloc(size));
        uncompress(out, &size, packed.data(), packed.size());
        benchmark::DoNotOptimize(out[size - 1]);
        free(out);
    }
    state.SetBytesProcessed(state.iterations() * kPlainSize);
    state.counters["ratio"] = double(kPlainSize) / packed.size();
}

void BlobUncompress(benchmark::State& state) {
    const auto& packed = Packed();
    for (auto _ : state) {
        CL_Blob blob(packed.data(), static_cast<uint32>(packed.size()));
        if (!blob.Uncompress(false) || blob.GetSize() != kPlainSize) state.SkipWithError("size");
        benchmark::DoNotOptimize(blob.GetDataForRead()[kPlainSize - 1]);
    }
    state.SetBytesProcessed(state.iterations() * kPlainSize);
}

// The client's way: chunks of 64 KiB fed to one compressor.
void CompressorChunks(benchmark::State& state) {
    const auto& packed = Packed();
    CL_Compressor compressor;
    for (auto _ : state) {
        compressor.Reset();
        CL_Blob out;
        for (size_t at = 0; at < packed.size(); at += 65536) {
            size_t n = packed.size() - at < 65536 ? packed.size() - at : 65536;
            CL_Blob chunk(packed.data() + at, static_cast<uint32>(n));
            chunk.Seek(0, CL_SEEK_SET);
            compressor.Uncompress(chunk, out, 0x7FFFFFFF);
        }
        if (out.GetSize() != kPlainSize) state.SkipWithError("size");
        benchmark::DoNotOptimize(out.GetDataForRead()[kPlainSize - 1]);
    }
    state.SetBytesProcessed(state.iterations() * kPlainSize);
}

BENCHMARK(ZlibUncompress);
BENCHMARK(BlobUncompress);
BENCHMARK(CompressorChunks);
BENCHMARK(ZlibUncompress);

}  // namespace
