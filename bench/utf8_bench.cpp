// UTF-8 checking and decoding of 1 MiB of ASCII, Italian and CJK text beside a plain
// validator that skips ASCII 16 bytes at a time, a byte-at-a-time one and glibc iconv
// decoding into a wide string of the same size.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstring>
#include <string>

#include "lumo/blob.h"
#include "lumo/utf8.h"

namespace {

constexpr size_t kSize = 1 << 20;

std::string Fill(const std::string& sample) {
    std::string text;
    while (text.size() + sample.size() <= kSize)
        text += sample;
    return text;
}

const std::string& Text(int kind) {
    static const std::string ascii =
        Fill("The quick brown fox jumps over the lazy dog; 0123456789 SELECT * FROM t. ");
    static const std::string italian = Fill(
        "Perch\xC3\xA8 la citt\xC3\xA0 \xC3\xA8 gi\xC3\xA0 cos\xC3\xAC pi\xC3\xB9 "
        "bella, disse l'et\xC3\xA0 della virt\xC3\xB9. ");
    static const std::string cjk = Fill(
        "\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87\xE6\x9C\xAC\xE7\x9A\x84\xE4\xBE\x8B\xE5\xAD\x90"
        "\xE3\x80\x82\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE6\x96\x87\xE7\xAB\xA0"
        "\xEF\xBC\x8C");
    return kind == 0 ? ascii : kind == 1 ? italian : cjk;
}

const char* KindName(int kind) {
    return kind == 0 ? "ascii" : kind == 1 ? "italian" : "cjk";
}

// A plain strict validator: 16-byte ASCII skip with two 64-bit words, then one
// sequence at a time with the well-formed ranges.
bool PlainValidate(const unsigned char* p, size_t n) {
    const unsigned char* end = p + n;
    while (p < end) {
        if (end - p >= 16) {
            uint64_t a, b;
            memcpy(&a, p, 8);
            memcpy(&b, p + 8, 8);
            if (((a | b) & 0x8080808080808080ull) == 0) {
                p += 16;
                continue;
            }
        }
        unsigned char c = *p;
        if (c < 0x80) {
            p++;
            continue;
        }
        size_t left = static_cast<size_t>(end - p);
        if (c >= 0xC2 && c <= 0xDF) {
            if (left < 2 || (p[1] & 0xC0) != 0x80) return false;
            p += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (left < 3 || (p[2] & 0xC0) != 0x80) return false;
            unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
            if (p[1] < lo || p[1] > hi) return false;
            p += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (left < 4 || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) return false;
            unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
            if (p[1] < lo || p[1] > hi) return false;
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

// The same without the ASCII skip.
bool BytewiseValidate(const unsigned char* p, size_t n) {
    const unsigned char* end = p + n;
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            p++;
            continue;
        }
        size_t left = static_cast<size_t>(end - p);
        if (c >= 0xC2 && c <= 0xDF) {
            if (left < 2 || (p[1] & 0xC0) != 0x80) return false;
            p += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (left < 3 || (p[2] & 0xC0) != 0x80) return false;
            unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
            if (p[1] < lo || p[1] > hi) return false;
            p += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (left < 4 || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) return false;
            unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
            if (p[1] < lo || p[1] > hi) return false;
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

void Check(benchmark::State& state) {
    CL_Blob blob(Text(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(CL_CheckUTF8(&blob));
    state.SetBytesProcessed(state.iterations() * blob.GetSize());
    state.SetLabel(KindName(state.range(0)));
}

void Plain(benchmark::State& state) {
    const std::string& text = Text(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(
            PlainValidate(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
    state.SetBytesProcessed(state.iterations() * text.size());
    state.SetLabel(KindName(state.range(0)));
}

void Bytewise(benchmark::State& state) {
    const std::string& text = Text(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(
            BytewiseValidate(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
    state.SetBytesProcessed(state.iterations() * text.size());
    state.SetLabel(KindName(state.range(0)));
}

void FromUTF8(benchmark::State& state) {
    const std::string& text = Text(state.range(0));
    for (auto _ : state) {
        std::wstring wide = CL_FromUTF8(text);
        benchmark::DoNotOptimize(wide.data());
    }
    state.SetBytesProcessed(state.iterations() * text.size());
    state.SetLabel(KindName(state.range(0)));
}

// iconv into a wide string sized as CL_FromUTF8 sizes its own, cut to the result.
void Iconv(benchmark::State& state) {
    const std::string& text = Text(state.range(0));
    iconv_t cd = iconv_open("WCHAR_T", "UTF-8");
    for (auto _ : state) {
        std::wstring wide(text.size(), L'\0');
        char* in = const_cast<char*>(text.data());
        size_t inLeft = text.size();
        char* out = reinterpret_cast<char*>(wide.data());
        size_t outLeft = wide.size() * sizeof(wchar_t);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) wide.clear();
        wide.resize(wide.size() - outLeft / sizeof(wchar_t));
        benchmark::DoNotOptimize(wide.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(state.iterations() * text.size());
    state.SetLabel(KindName(state.range(0)));
}

BENCHMARK(Check)->DenseRange(0, 2);
BENCHMARK(Plain)->DenseRange(0, 2);
BENCHMARK(Bytewise)->DenseRange(0, 2);
BENCHMARK(FromUTF8)->DenseRange(0, 2);
BENCHMARK(Iconv)->DenseRange(0, 2);

}  // namespace
