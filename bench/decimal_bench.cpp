// CL_Decimal arithmetic, comparison, parsing and printing, beside GCC's built-in 128-bit
// decimal floating point (34 digits) on the same operands.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "lumo/decimal.h"

namespace {

typedef float Dec128 __attribute__((mode(TD)));

constexpr int kCount = 64;

// Prices and quantities of the sizes business data carries.
struct Operands {
    std::vector<std::string> texts;
    std::vector<CL_Decimal> cl;
    std::vector<Dec128> d128;
    Operands() {
        unsigned seed = 12345;
        for (int i = 0; i < kCount; ++i) {
            seed = seed * 1103515245u + 12345u;
            long long cents = static_cast<long long>(seed % 100000000u) + 1;
            int scale = static_cast<int>(seed >> 28) % 5;
            long long div = 1;
            for (int k = 0; k < scale; ++k)
                div *= 10;
            std::string t = std::to_string(cents / div);
            if (scale) {
                std::string frac = std::to_string(cents % div);
                t += "." + std::string(static_cast<size_t>(scale) - frac.size(), '0') + frac;
            }
            texts.push_back(t);
            cl.push_back(CL_Decimal(t));
            d128.push_back(static_cast<Dec128>(cents) / static_cast<Dec128>(div));
        }
    }
};

const Operands& Ops() {
    static const Operands ops;
    return ops;
}

// Both sides run the same plain loop over arrays: read two operands, store the result.
// Nothing is forced through memory per element beyond what the loop itself does.
constexpr int kLoop = 1024;

template <class T, class Op>
void RunLoop(benchmark::State& state, const std::vector<T>& v, Op op) {
    std::vector<T> a(kLoop), b(kLoop), out(kLoop);
    for (int i = 0; i < kLoop; ++i) {
        a[i] = v[i & (kCount - 1)];
        b[i] = v[(i * 7 + 3) & (kCount - 1)];
    }
    for (auto _ : state) {
        for (int i = 0; i < kLoop; ++i)
            out[i] = op(a[i], b[i]);
        benchmark::ClobberMemory();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kLoop);
}

void BM_Add_CL(benchmark::State& s) {
    RunLoop(s, Ops().cl, [](const CL_Decimal& a, const CL_Decimal& b) {
        CL_Decimal r = a;
        r += b;
        return r;
    });
}
void BM_Add_D128(benchmark::State& s) {
    RunLoop(s, Ops().d128, [](Dec128 a, Dec128 b) { return a + b; });
}
void BM_Multiply_CL(benchmark::State& s) {
    RunLoop(s, Ops().cl, [](const CL_Decimal& a, const CL_Decimal& b) {
        CL_Decimal r = a;
        r *= b;
        return r;
    });
}
void BM_Multiply_D128(benchmark::State& s) {
    RunLoop(s, Ops().d128, [](Dec128 a, Dec128 b) { return a * b; });
}
void BM_Divide_CL(benchmark::State& s) {
    RunLoop(s, Ops().cl, [](const CL_Decimal& a, const CL_Decimal& b) {
        CL_Decimal r = a;
        r /= b;
        return r;
    });
}
void BM_Divide_D128(benchmark::State& s) {
    RunLoop(s, Ops().d128, [](Dec128 a, Dec128 b) { return a / b; });
}

template <class T, class Cmp>
void RunCompare(benchmark::State& state, const std::vector<T>& v, Cmp cmp) {
    std::vector<T> a(kLoop), b(kLoop);
    std::vector<int> out(kLoop);
    for (int i = 0; i < kLoop; ++i) {
        a[i] = v[i & (kCount - 1)];
        b[i] = v[(i * 7 + 3) & (kCount - 1)];
    }
    for (auto _ : state) {
        for (int i = 0; i < kLoop; ++i)
            out[i] = cmp(a[i], b[i]);
        benchmark::ClobberMemory();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kLoop);
}

void BM_Compare_CL(benchmark::State& s) {
    RunCompare(s, Ops().cl, [](const CL_Decimal& a, const CL_Decimal& b) { return a.Compare(b); });
}
void BM_Compare_D128(benchmark::State& s) {
    RunCompare(s, Ops().d128, [](Dec128 a, Dec128 b) { return a < b ? -1 : (a > b ? 1 : 0); });
}

void BM_Parse_CL(benchmark::State& state) {
    const auto& t = Ops().texts;
    int i = 0;
    for (auto _ : state) {
        CL_Decimal d;
        bool ok = d.FromString(t[i & (kCount - 1)]);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(d);
        ++i;
    }
}

void BM_ToString_CL(benchmark::State& state) {
    const auto& v = Ops().cl;
    int i = 0;
    for (auto _ : state) {
        std::string s = v[i & (kCount - 1)].ToString(-1, false);
        benchmark::DoNotOptimize(s);
        ++i;
    }
}

void BM_ToString2_CL(benchmark::State& state) {
    const auto& v = Ops().cl;
    int i = 0;
    for (auto _ : state) {
        std::string s = v[i & (kCount - 1)].ToString(2, false);
        benchmark::DoNotOptimize(s);
        ++i;
    }
}

BENCHMARK(BM_Add_CL);
BENCHMARK(BM_Add_D128);
BENCHMARK(BM_Multiply_CL);
BENCHMARK(BM_Multiply_D128);
BENCHMARK(BM_Divide_CL);
BENCHMARK(BM_Divide_D128);
BENCHMARK(BM_Compare_CL);
BENCHMARK(BM_Compare_D128);
BENCHMARK(BM_Parse_CL);
BENCHMARK(BM_ToString_CL);
BENCHMARK(BM_ToString2_CL);

}  // namespace
