// The library's hash map against std::unordered_map on the same keys: insertion,
// lookup of present keys and a full walk, for string and integer keys.
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "lumo/containers.h"

namespace {

std::vector<std::string> StringKeys(size_t count) {
    std::vector<std::string> keys;
    keys.reserve(count);
    for (size_t i = 0; i < count; i++)
        keys.push_back("column_" + std::to_string(i * 7919));
    return keys;
}

std::vector<uint32> IntKeys(size_t count) {
    std::vector<uint32> keys;
    keys.reserve(count);
    for (size_t i = 0; i < count; i++)
        keys.push_back(static_cast<uint32>(i * 2654435761u));
    return keys;
}

template <class K>
std::vector<K> Keys(size_t count);
template <>
std::vector<std::string> Keys(size_t count) {
    return StringKeys(count);
}
template <>
std::vector<uint32> Keys(size_t count) {
    return IntKeys(count);
}

template <class K>
void LumoInsert(benchmark::State& state) {
    auto keys = Keys<K>(state.range(0));
    for (auto _ : state) {
        CL_HashMap<K, uint64> map;
        for (size_t i = 0; i < keys.size(); i++)
            map.Set(keys[i], i);
        benchmark::DoNotOptimize(map.Count());
    }
    state.SetItemsProcessed(state.iterations() * keys.size());
}

template <class K>
void StdInsert(benchmark::State& state) {
    auto keys = Keys<K>(state.range(0));
    for (auto _ : state) {
        std::unordered_map<K, uint64> map;
        for (size_t i = 0; i < keys.size(); i++)
            map[keys[i]] = i;
        benchmark::DoNotOptimize(map.size());
    }
    state.SetItemsProcessed(state.iterations() * keys.size());
}

template <class K>
void LumoFind(benchmark::State& state) {
    auto keys = Keys<K>(state.range(0));
    CL_HashMap<K, uint64> map;
    for (size_t i = 0; i < keys.size(); i++)
        map.Set(keys[i], i);
    for (auto _ : state) {
        uint64 sum = 0;
        for (const K& key : keys)
            sum += map.Get(key);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * keys.size());
}

template <class K>
void StdFind(benchmark::State& state) {
    auto keys = Keys<K>(state.range(0));
    std::unordered_map<K, uint64> map;
    for (size_t i = 0; i < keys.size(); i++)
        map[keys[i]] = i;
    for (auto _ : state) {
        uint64 sum = 0;
        for (const K& key : keys) {
            auto it = map.find(key);
            sum += it == map.end() ? 0 : it->second;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * keys.size());
}

template <class K>
void LumoIterate(benchmark::State& state) {
    auto keys = Keys<K>(state.range(0));
    CL_HashMap<K, uint64> map;
    for (size_t i = 0; i < keys.size(); i++)
        map.Set(keys[i], i);
    for (auto _ : state) {
        uint64 sum = 0;
        for (uint64 value : map)
            sum += value;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * keys.size());
}

template <class K>
void StdIterate(benchmark::State& state) {
    auto keys = Keys<K>(state.range(0));
    std::unordered_map<K, uint64> map;
    for (size_t i = 0; i < keys.size(); i++)
        map[keys[i]] = i;
    for (auto _ : state) {
        uint64 sum = 0;
        for (const auto& entry : map)
            sum += entry.second;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * keys.size());
}

#define PAIR(name)                                                                \
    BENCHMARK_TEMPLATE(Lumo##name, std::string)->Arg(64)->Arg(1000)->Arg(100000); \
    BENCHMARK_TEMPLATE(Std##name, std::string)->Arg(64)->Arg(1000)->Arg(100000);  \
    BENCHMARK_TEMPLATE(Lumo##name, uint32)->Arg(64)->Arg(1000)->Arg(100000);      \
    BENCHMARK_TEMPLATE(Std##name, uint32)->Arg(64)->Arg(1000)->Arg(100000)

PAIR(Insert);
PAIR(Find);
PAIR(Iterate);

}  // namespace
