// The library's hash map against std::unordered_map and abseil's flat_hash_map on the
// same keys: insertion, lookup of present keys, lookup of absent keys and a full walk,
// for string and integer keys, plus key patterns that collapse a table whose slot is
// taken straight from the key (consecutive integers, integers stepping by 1024).
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>
#include <vector>

#ifdef ZELMO_BENCH_ABSL
#include <absl/container/flat_hash_map.h>
#endif

#include "lumo/containers.h"

namespace {

// Key sets: scattered (a multiplicative sequence), consecutive, and stepping by 1024.
enum Pattern { kScattered, kConsecutive, kStep1024 };

uint32 IntKey(size_t i, Pattern pattern) {
    switch (pattern) {
        case kConsecutive:
            return static_cast<uint32>(i);
        case kStep1024:
            return static_cast<uint32>(i * 1024);
        default:
            return static_cast<uint32>(i * 2654435761u);
    }
}

template <class K>
struct KeySet;

template <>
struct KeySet<uint32> {
    // Present keys and absent keys of the same pattern.
    static std::vector<uint32> Present(size_t count, Pattern pattern) {
        std::vector<uint32> keys;
        for (size_t i = 0; i < count; i++)
            keys.push_back(IntKey(i, pattern));
        return keys;
    }
    static std::vector<uint32> Absent(size_t count, Pattern pattern) {
        std::vector<uint32> keys;
        for (size_t i = 0; i < count; i++)
            keys.push_back(IntKey(i + count, pattern));
        return keys;
    }
};

template <>
struct KeySet<std::string> {
    static std::vector<std::string> Present(size_t count, Pattern) {
        std::vector<std::string> keys;
        for (size_t i = 0; i < count; i++)
            keys.push_back("column_" + std::to_string(i * 7919));
        return keys;
    }
    static std::vector<std::string> Absent(size_t count, Pattern) {
        std::vector<std::string> keys;
        for (size_t i = 0; i < count; i++)
            keys.push_back("column_" + std::to_string((i + count) * 7919));
        return keys;
    }
};

// One interface over the three maps.
template <class K>
struct Lumo {
    CL_HashMap<K, uint64> fMap;
    void Put(const K& key, uint64 value) { fMap.Set(key, value); }
    uint64 Find(const K& key) const { return fMap.Get(key); }
    uint64 Sum() const {
        uint64 sum = 0;
        for (uint64 value : fMap)
            sum += value;
        return sum;
    }
};

template <class K>
struct Std {
    std::unordered_map<K, uint64> fMap;
    void Put(const K& key, uint64 value) { fMap[key] = value; }
    uint64 Find(const K& key) const {
        auto it = fMap.find(key);
        return it == fMap.end() ? 0 : it->second;
    }
    uint64 Sum() const {
        uint64 sum = 0;
        for (const auto& entry : fMap)
            sum += entry.second;
        return sum;
    }
};

#ifdef ZELMO_BENCH_ABSL
template <class K>
struct Absl {
    absl::flat_hash_map<K, uint64> fMap;
    void Put(const K& key, uint64 value) { fMap[key] = value; }
    uint64 Find(const K& key) const {
        auto it = fMap.find(key);
        return it == fMap.end() ? 0 : it->second;
    }
    uint64 Sum() const {
        uint64 sum = 0;
        for (const auto& entry : fMap)
            sum += entry.second;
        return sum;
    }
};
#endif

template <template <class> class M, class K>
void Insert(benchmark::State& state, Pattern pattern) {
    auto keys = KeySet<K>::Present(state.range(0), pattern);
    for (auto _ : state) {
        M<K> map;
        for (size_t i = 0; i < keys.size(); i++)
            map.Put(keys[i], i);
        benchmark::DoNotOptimize(map.Find(keys[0]));
    }
    state.SetItemsProcessed(state.iterations() * keys.size());
}

template <template <class> class M, class K>
void Hit(benchmark::State& state, Pattern pattern) {
    auto keys = KeySet<K>::Present(state.range(0), pattern);
    M<K> map;
    for (size_t i = 0; i < keys.size(); i++)
        map.Put(keys[i], i + 1);
    for (auto _ : state) {
        uint64 sum = 0;
        for (const K& key : keys)
            sum += map.Find(key);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * keys.size());
}

template <template <class> class M, class K>
void Miss(benchmark::State& state, Pattern pattern) {
    auto keys = KeySet<K>::Present(state.range(0), pattern);
    auto absent = KeySet<K>::Absent(state.range(0), pattern);
    M<K> map;
    for (size_t i = 0; i < keys.size(); i++)
        map.Put(keys[i], i + 1);
    for (auto _ : state) {
        uint64 sum = 0;
        for (const K& key : absent)
            sum += map.Find(key);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * absent.size());
}

template <template <class> class M, class K>
void Walk(benchmark::State& state, Pattern pattern) {
    auto keys = KeySet<K>::Present(state.range(0), pattern);
    M<K> map;
    for (size_t i = 0; i < keys.size(); i++)
        map.Put(keys[i], i);
    for (auto _ : state)
        benchmark::DoNotOptimize(map.Sum());
    state.SetItemsProcessed(state.iterations() * keys.size());
}

typedef void (*Runner)(benchmark::State&, Pattern);

struct Op {
    const char* fName;
    Runner fLumo;
    Runner fStd;
    Runner fAbsl;
};

template <class K>
Op MakeOp(const char* name, int which) {
    Op op{name, nullptr, nullptr, nullptr};
    switch (which) {
        case 0:
            op = {name, Insert<Lumo, K>, Insert<Std, K>, nullptr};
            break;
        case 1:
            op = {name, Hit<Lumo, K>, Hit<Std, K>, nullptr};
            break;
        case 2:
            op = {name, Miss<Lumo, K>, Miss<Std, K>, nullptr};
            break;
        default:
            op = {name, Walk<Lumo, K>, Walk<Std, K>, nullptr};
            break;
    }
#ifdef ZELMO_BENCH_ABSL
    Runner absl[] = {Insert<Absl, K>, Hit<Absl, K>, Miss<Absl, K>, Walk<Absl, K>};
    op.fAbsl = absl[which];
#endif
    return op;
}

// Each case runs the three maps one after the other, so they share the machine's state.
template <class K>
void Register(const char* key) {
    const char* names[] = {"Insert", "Hit", "Miss", "Walk"};
    const std::pair<Pattern, const char*> patterns[] = {
        {kScattered, "scattered"}, {kConsecutive, "consecutive"}, {kStep1024, "step1024"}};
    for (int which = 0; which < 4; which++) {
        Op op = MakeOp<K>(names[which], which);
        for (const auto& [pattern, patternName] : patterns) {
            // Text keys have one pattern only.
            if (std::is_same_v<K, std::string> && pattern != kScattered) continue;
            const std::pair<const char*, Runner> maps[] = {
                {"lumo", op.fLumo}, {"std", op.fStd}, {"absl", op.fAbsl}};
            std::vector<int64_t> sizes = {64, 1000, 100000};
            if (!std::is_same_v<K, std::string>) sizes.push_back(1 << 20);
            for (int64_t size : sizes) {
                for (const auto& [mapName, run] : maps) {
                    if (!run) continue;
                    std::string name =
                        std::string(op.fName) + "/" + key + "/" + patternName + "/" + mapName;
                    Pattern p = pattern;
                    Runner r = run;
                    benchmark::RegisterBenchmark(name.c_str(), [r, p](benchmark::State& state) {
                        r(state, p);
                    })->Arg(size);
                }
            }
        }
    }
}

const bool sRegistered = [] {
    Register<uint32>("u32");
    Register<std::string>("str");
    return true;
}();

}  // namespace
