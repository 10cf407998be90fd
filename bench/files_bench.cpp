// Whole-file reads, copies through the library's buffer and wildcard listings.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "lumo/blob.h"
#include "lumo/files.h"

namespace {

struct Scratch {
    std::string dir;
    Scratch() {
        char name[] = "/tmp/zelmo-bench-XXXXXX";
        if (mkdtemp(name)) dir = name;
    }
    ~Scratch() { CL_DeleteTree(dir, true, true); }
};

void BM_ReadFile(benchmark::State& state) {
    Scratch scratch;
    std::string path = scratch.dir + "/data";
    CL_Blob data(std::string((size_t)state.range(0), 'r'));
    CL_WriteFile(path, data);
    CL_Blob in;
    for (auto _ : state) {
        CL_ReadFile(path, &in);
        benchmark::DoNotOptimize(in.GetSize());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadFile)->Arg(4096)->Arg(1 << 20)->Arg(8 << 20);

void BM_CopyFile(benchmark::State& state) {
    Scratch scratch;
    std::string from = scratch.dir + "/from", to = scratch.dir + "/to";
    CL_WriteFile(from, CL_Blob(std::string((size_t)state.range(0), 'c')));
    for (auto _ : state)
        benchmark::DoNotOptimize(CL_CopyFile(from, to));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CopyFile)->Arg(4096)->Arg(8 << 20);

void BM_WalkFolder(benchmark::State& state) {
    Scratch scratch;
    for (int i = 0; i < 1000; i++) {
        std::string name = scratch.dir + "/f" + std::to_string(i) + (i % 2 ? ".txt" : ".log");
        CL_WriteFile(name, CL_Blob());
    }
    for (auto _ : state) {
        CL_DirectoryWalker walker(scratch.dir, "*.txt");
        int count = 0;
        while (!walker.Fetch().empty())
            count++;
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_WalkFolder);

}  // namespace
