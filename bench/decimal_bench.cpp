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

template <class Op>
void RunCL(benchmark::State& state, Op op) {
    const auto& v = Ops().cl;
    int i = 0;
    for (auto _ : state) {
        CL_Decimal a = v[i & (kCount - 1)];
        op(a, v[(i * 7 + 3) & (kCount - 1)]);
        benchmark::DoNotOptimize(a);
        ++i;
    }
}

template <class Op>
void RunD128(benchmark::State& state, Op op) {
    const auto& v = Ops().d128;
    int i = 0;
    for (auto _ : state) {
        Dec128 a = v[i & (kCount - 1)];
        Dec128 b = v[(i * 7 + 3) & (kCount - 1)];
        benchmark::DoNotOptimize(b);
        a = op(a, b);
        benchmark::DoNotOptimize(a);
        ++i;
    }
}

void BM_Add_CL(benchmark::State& s) {
    RunCL(s, [](CL_Decimal& a, const CL_Decimal& b) { a += b; });
}
void BM_Add_D128(benchmark::State& s) {
    RunD128(s, [](Dec128 a, Dec128 b) { return a + b; });
}
void BM_Multiply_CL(benchmark::State& s) {
    RunCL(s, [](CL_Decimal& a, const CL_Decimal& b) { a *= b; });
}
void BM_Multiply_D128(benchmark::State& s) {
    RunD128(s, [](Dec128 a, Dec128 b) { return a * b; });
}
void BM_Divide_CL(benchmark::State& s) {
    RunCL(s, [](CL_Decimal& a, const CL_Decimal& b) { a /= b; });
}
void BM_Divide_D128(benchmark::State& s) {
    RunD128(s, [](Dec128 a, Dec128 b) { return a / b; });
}

void BM_Compare_CL(benchmark::State& state) {
    const auto& v = Ops().cl;
    int i = 0;
    for (auto _ : state) {
        int c = v[i & (kCount - 1)].Compare(v[(i * 7 + 3) & (kCount - 1)]);
        benchmark::DoNotOptimize(c);
        ++i;
    }
}

void BM_Compare_D128(benchmark::State& state) {
    const auto& v = Ops().d128;
    int i = 0;
    for (auto _ : state) {
        Dec128 a = v[i & (kCount - 1)], b = v[(i * 7 + 3) & (kCount - 1)];
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        int c = a < b ? -1 : (a > b ? 1 : 0);
        benchmark::DoNotOptimize(c);
        ++i;
    }
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
