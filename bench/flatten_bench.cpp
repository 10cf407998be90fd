// Flattening and reading back a query result set (10,000 rows of 8 mixed columns:
// integers, texts, decimals, timestamps, a float, a bool and a nested list), with
// msgpack-c packing and unpacking the same data in the same run for comparison. Every
// benchmark reports the heap calls it made per row.
#define MSGPACK_NO_BOOST 1
#include <benchmark/benchmark.h>
#include <msgpack.hpp>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "lumo/entry.h"

// Heap calls counted for the whole process: the library's blocks come from malloc.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
static std::atomic<uint64_t> sHeapCalls{0};
extern "C" void* malloc(size_t size) {
    sHeapCalls.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    sHeapCalls.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* ptr, size_t size) {
    sHeapCalls.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(ptr, size);
}

namespace {

// Heap calls per row of the result set over the benchmark's iterations.
struct HeapCount {
    uint64_t fStart = sHeapCalls.load();
    void Report(benchmark::State& state, int rows) {
        uint64_t calls = sHeapCalls.load() - fStart;
        state.counters["allocs_per_row"] =
            static_cast<double>(calls) / (static_cast<double>(state.iterations()) * rows);
    }
};

constexpr int kRows = 10000;

struct Row {
    int64 id;
    std::string name;
    std::string amount;  // decimal text
    int64 stamp;
    double ratio;
    bool active;
    std::string code;
    std::vector<int64> tags;
};

const std::vector<Row>& Rows() {
    static std::vector<Row> rows = [] {
        std::vector<Row> out;
        out.reserve(kRows);
        for (int i = 0; i < kRows; i++) {
            Row r;
            r.id = 100000 + i;
            r.name = "Customer " + std::to_string(i * 7919 % 100000) + " S.p.A.";
            r.amount = std::to_string(i * 37 % 1000000) + "." + std::to_string(10 + i % 90);
            r.stamp = 212000000000000LL + static_cast<int64>(i) * 61000;
            r.ratio = i / 7.0;
            r.active = (i % 3) != 0;
            r.code = "ART-" + std::to_string(i % 1000);
            r.tags = {i % 5, i % 11, i % 13};
            out.push_back(std::move(r));
        }
        return out;
    }();
    return rows;
}

const CLU_Table& ResultSet() {
    static CLU_Table table = [] {
        CLU_List columns;
        for (const char* c : {"id", "name", "amount", "stamp", "ratio", "active", "code", "tags"})
            columns.Append(c);
        CLU_List rows;
        rows.SetCapacity(kRows);
        for (const Row& r : Rows()) {
            CLU_List tags;
            for (int64 t : r.tags)
                tags.Append(t);
            CLU_List row;
            row.Append(r.id)
                .Append(r.name)
                .Append(CL_Decimal(r.amount))
                .Append(CL_TimeStamp(static_cast<long long>(r.stamp)))
                .Append(r.ratio)
                .Append(r.active)
                .Append(r.code)
                .Append(tags);
            rows.Append(row);
        }
        CLU_Table t;
        t.Set("columns", columns).Set("rows", rows).Set("ERRNO", 0);
        return t;
    }();
    return table;
}

void PackMsgpack(msgpack::sbuffer& buffer) {
    msgpack::packer<msgpack::sbuffer> pk(buffer);
    pk.pack_map(3);
    pk.pack(std::string("ERRNO"));
    pk.pack(0);
    pk.pack(std::string("columns"));
    pk.pack_array(8);
    for (const char* c : {"id", "name", "amount", "stamp", "ratio", "active", "code", "tags"})
        pk.pack(std::string(c));
    pk.pack(std::string("rows"));
    pk.pack_array(kRows);
    for (const Row& r : Rows()) {
        pk.pack_array(8);
        pk.pack(r.id);
        pk.pack(r.name);
        pk.pack(r.amount);
        pk.pack(r.stamp);
        pk.pack(r.ratio);
        pk.pack(r.active);
        pk.pack(r.code);
        pk.pack(r.tags);
    }
}

void BM_FlattenResultSet(benchmark::State& state) {
    const CLU_Table& table = ResultSet();
    size_t bytes = 0;
    HeapCount heap;
    for (auto _ : state) {
        CL_Blob blob;
        table.Flatten(blob);
        bytes = blob.GetSize();
        benchmark::DoNotOptimize(blob.GetDataForRead());
    }
    heap.Report(state, kRows);
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["payload"] = static_cast<double>(bytes);
}
BENCHMARK(BM_FlattenResultSet)->Unit(benchmark::kMillisecond);

void BM_UnflattenResultSet(benchmark::State& state) {
    CL_Blob blob;
    ResultSet().Flatten(blob);
    HeapCount heap;
    for (auto _ : state) {
        blob.Rewind();
        CLU_Table table;
        bool ok = table.Unflatten(blob);
        benchmark::DoNotOptimize(ok);
    }
    heap.Report(state, kRows);
    state.SetBytesProcessed(static_cast<int64_t>(blob.GetSize()) * state.iterations());
}
BENCHMARK(BM_UnflattenResultSet)->Unit(benchmark::kMillisecond);

// The table as read back: its values lie in one arena, in the order written.
void BM_FlattenReadResultSet(benchmark::State& state) {
    CL_Blob blob;
    ResultSet().Flatten(blob);
    blob.Rewind();
    CLU_Table table;
    table.Unflatten(blob);
    size_t bytes = 0;
    HeapCount heap;
    for (auto _ : state) {
        CL_Blob out;
        table.Flatten(out);
        bytes = out.GetSize();
        benchmark::DoNotOptimize(out.GetDataForRead());
    }
    heap.Report(state, kRows);
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
}
BENCHMARK(BM_FlattenReadResultSet)->Unit(benchmark::kMillisecond);

// Reading back and visiting every value as a converter to another language would:
// rows, their items, texts through TextView and keys through KeyRef.
void BM_UnflattenWalkResultSet(benchmark::State& state) {
    CL_Blob blob;
    ResultSet().Flatten(blob);
    HeapCount heap;
    for (auto _ : state) {
        blob.Rewind();
        CLU_Table table;
        table.Unflatten(blob);
        uint64 sum = 0;
        for (CLU_Table::iterator it = table.begin(); it != table.end(); ++it) {
            sum += it.KeyRef().size();
            if (it->fType != CLU_LIST) continue;
            for (const CLU_Entry& row : it->fList) {
                if (row.fType != CLU_LIST) continue;
                for (const CLU_Entry& value : row.fList) {
                    if (value.fType == CLU_TEXT)
                        sum += value.TextView().size();
                    else if (value.fType == CLU_INTEGER)
                        sum += static_cast<uint64>(value.fInteger);
                    else if (value.fType == CLU_LIST)
                        sum += value.fList.Count();
                }
            }
        }
        benchmark::DoNotOptimize(sum);
    }
    heap.Report(state, kRows);
    state.SetBytesProcessed(static_cast<int64_t>(blob.GetSize()) * state.iterations());
}
BENCHMARK(BM_UnflattenWalkResultSet)->Unit(benchmark::kMillisecond);

void BM_MsgpackPackResultSet(benchmark::State& state) {
    Rows();
    size_t bytes = 0;
    HeapCount heap;
    for (auto _ : state) {
        msgpack::sbuffer buffer;
        PackMsgpack(buffer);
        bytes = buffer.size();
        benchmark::DoNotOptimize(buffer.data());
    }
    heap.Report(state, kRows);
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["payload"] = static_cast<double>(bytes);
}
BENCHMARK(BM_MsgpackPackResultSet)->Unit(benchmark::kMillisecond);

void BM_MsgpackUnpackResultSet(benchmark::State& state) {
    msgpack::sbuffer buffer;
    PackMsgpack(buffer);
    HeapCount heap;
    for (auto _ : state) {
        msgpack::object_handle handle = msgpack::unpack(buffer.data(), buffer.size());
        benchmark::DoNotOptimize(handle.get().type);
    }
    heap.Report(state, kRows);
    state.SetBytesProcessed(static_cast<int64_t>(buffer.size()) * state.iterations());
}
BENCHMARK(BM_MsgpackUnpackResultSet)->Unit(benchmark::kMillisecond);

}  // namespace
