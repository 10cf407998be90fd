// UTF-8 checking and conversion, case mapping and case-insensitive comparison.
#include <atomic>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "lumo/blob.h"
#include "lumo/utf8.h"
#include "lumo/base/utf8_internal.h"

// Generated tables (case_table.cpp): sorted {code point, mapping} pairs.
extern const uint16 gLowerCaseMap[][2];
extern const uint32 gLowerCaseMapSize;
extern const uint16 gUpperCaseMap[][2];
extern const uint32 gUpperCaseMapSize;

namespace {

// ---------------------------------------------------------------------------
// Strict decoder (the Unicode reference conversion, strict mode only)

const uint8 trailingBytesForUTF8[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};

const uint32 offsetsFromUTF8[6] = {0x00000000, 0x00003080, 0x000E2080,
                                   0x03C82080, 0xFA082080, 0x82082080};

bool IsLegalUTF8(const uint8* source, int length) {
    if (length > 4) return false;
    const uint8* p = source + length;
    uint8 a;
    switch (length) {
        default:
            return false;
        case 4:
            if ((a = *--p) < 0x80 || a > 0xBF) return false;
            [[fallthrough]];
        case 3:
            if ((a = *--p) < 0x80 || a > 0xBF) return false;
            [[fallthrough]];
        case 2:
            // Every continuation byte lies in 0x80-0xBF; the reference code skipped
            // the lower bound after 0xED and 0xF4 and let ASCII bytes through.
            if ((a = *--p) > 0xBF || a < 0x80) return false;
            switch (*source) {
                case 0xE0:
                    if (a < 0xA0) return false;
                    break;
                case 0xED:
                    if (a > 0x9F) return false;
                    break;
                case 0xF0:
                    if (a < 0x90) return false;
                    break;
                case 0xF4:
                    if (a > 0x8F) return false;
                    break;
                default:
                    if (a < 0x80) return false;
            }
            [[fallthrough]];
        case 1:
            if (*source >= 0x80 && *source < 0xC2) return false;
    }
    return *source <= 0xF4;
}

// Decodes strictly; with a null target it only validates. Both pointers are written
// back on every exit, the source left at the lead byte of a sequence that failed.
template <class Unit>
ConversionResult ConvertUTF8toUTF32(const uint8** sourceStart, const uint8* sourceEnd,
                                    Unit** targetStart, Unit* targetEnd) {
    ConversionResult result = conversionOK;
    const uint8* source = *sourceStart;
    Unit* target = targetStart ? *targetStart : nullptr;
    while (source < sourceEnd) {
        int extra = trailingBytesForUTF8[*source];
        if (extra >= sourceEnd - source) {
            result = sourceExhausted;
            break;
        }
        if (!IsLegalUTF8(source, extra + 1)) {
            result = sourceIllegal;
            break;
        }
        uint32 ch = 0;
        for (int i = extra; i > 0; --i)
            ch = (ch + *source++) << 6;
        ch += *source++;
        ch -= offsetsFromUTF8[extra];
        if (!targetStart) continue;
        if (target >= targetEnd) {
            source -= extra + 1;
            result = targetExhausted;
            break;
        }
        if (ch > 0x10FFFF) {
            *target++ = static_cast<Unit>(0xFFFD);
            result = sourceIllegal;
        } else if (ch >= 0xD800 && ch <= 0xDFFF) {
            source -= extra + 1;
            result = sourceIllegal;
            break;
        } else {
            *target++ = static_cast<Unit>(ch);
        }
    }
    *sourceStart = source;
    if (targetStart) *targetStart = target;
    return result;
}

// ---------------------------------------------------------------------------
// Whole-text checking and decoding: runs of ASCII are skipped a word or a vector at a
// time, and each other sequence is checked against Unicode's table of well-formed byte
// sequences (the second byte's range depends on the lead byte).

constexpr uint64 kHighBits = 0x8080808080808080ull;

inline uint64 Load64(const uint8* p) {
    uint64 v;
    memcpy(&v, p, sizeof v);
    return v;
}

// Number of leading ASCII bytes among p..end, at most up to the first other byte.
template <bool kVector>
inline const uint8* SkipAscii(const uint8* p, const uint8* end) {
#if defined(__SSE2__)
    if (kVector) {
        while (end - p >= 16) {
            uint32 high = static_cast<uint32>(
                _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
            if (high) return p + __builtin_ctz(high);
            p += 16;
        }
    }
#endif
    while (end - p >= 8) {
        uint64 high = Load64(p) & kHighBits;
        if (high) return p + (__builtin_ctzll(high) >> 3);
        p += 8;
    }
    while (p < end && *p < 0x80)
        p++;
    return p;
}

inline bool IsTrail(uint8 byte) {
    return static_cast<int8>(byte) < -0x40;  // 0x80-0xBF
}

// Checks the non-ASCII sequence at p and decodes it into `cp`; the length, 0 when it
// is ill-formed or cut short.
inline uint32 DecodeSequence(const uint8* p, const uint8* end, uint32* cp) {
    const uint8 lead = p[0];
    const size_t avail = static_cast<size_t>(end - p);
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) {
        if (avail < 2 || !IsTrail(p[1])) return 0;
        *cp = (uint32(lead & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (lead < 0xF0) {
        if (avail < 3) return 0;
        const uint8 second = p[1];
        const uint8 low = lead == 0xE0 ? 0xA0 : 0x80;
        const uint8 high = lead == 0xED ? 0x9F : 0xBF;
        if (second < low || second > high || !IsTrail(p[2])) return 0;
        *cp = (uint32(lead & 0x0F) << 12) | (uint32(second & 0x3F) << 6) | (p[2] & 0x3F);
        return 3;
    }
    if (lead < 0xF5) {
        if (avail < 4) return 0;
        const uint8 second = p[1];
        const uint8 low = lead == 0xF0 ? 0x90 : 0x80;
        const uint8 high = lead == 0xF4 ? 0x8F : 0xBF;
        if (second < low || second > high || !IsTrail(p[2]) || !IsTrail(p[3])) return 0;
        *cp = (uint32(lead & 0x07) << 18) | (uint32(second & 0x3F) << 12) |
              (uint32(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
        return 4;
    }
    return 0;
}

template <bool kVector>
bool CheckText(const uint8* p, const uint8* end) {
    for (;;) {
        p = SkipAscii<kVector>(p, end);
        if (p == end) return true;
        // Non-ASCII text tends to stay non-ASCII: go on without the vector test.
        do {
            uint32 cp;
            uint32 length = DecodeSequence(p, end, &cp);
            if (length == 0) return false;
            p += length;
        } while (p < end && *p >= 0x80);
    }
}

#if defined(__x86_64__)
// AVX2 check of 32 bytes at a time: three nibble lookups classify each pair of adjacent
// bytes against the ill-formed patterns (too short, too long, overlong, surrogate, past
// U+10FFFF, stray continuation), and the bytes two and three after a 3- or 4-byte lead
// must be continuations. Flags of the classes:
enum : uint8 {
    kTooShort = 1 << 0,      // lead or ASCII where a continuation must follow a lead
    kTooLong = 1 << 1,       // continuation after ASCII
    kOverlong3 = 1 << 2,     // E0 80-9F
    kTooLarge = 1 << 3,      // F4 90-BF, F5-FF
    kSurrogate = 1 << 4,     // ED A0-BF
    kOverlong2 = 1 << 5,     // C0-C1
    kTooLarge1000 = 1 << 6,  // F5-FF 80-8F
    kOverlong4 = 1 << 6,     // F0 80-8F
    kTwoConts = 1 << 7,      // continuation after continuation
};
constexpr uint8 kCarry = kTooShort | kTooLong | kTwoConts;

__attribute__((target("avx2"))) inline __m256i Table16(uint8 a0, uint8 a1, uint8 a2, uint8 a3,
                                                       uint8 a4, uint8 a5, uint8 a6, uint8 a7,
                                                       uint8 a8, uint8 a9, uint8 a10, uint8 a11,
                                                       uint8 a12, uint8 a13, uint8 a14, uint8 a15) {
    return _mm256_setr_epi8(a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15,
                            a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15);
}

// The 32 bytes ending N bytes before `input`'s, taking the first N from `previous`.
template <int N>
__attribute__((target("avx2"))) inline __m256i Prev(__m256i input, __m256i previous) {
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - N);
}

struct Avx2Checker {
    __m256i fError;
    __m256i fPrevious;
    __m256i fIncomplete;  // a lead at the end of the previous block that wants more

    __attribute__((target("avx2"))) void Block(__m256i input) {
        if (_mm256_movemask_epi8(input) == 0) {
            fError = _mm256_or_si256(fError, fIncomplete);
            fIncomplete = _mm256_setzero_si256();
            fPrevious = input;
            return;
        }
        const __m256i low4 = _mm256_set1_epi8(0x0F);
        const __m256i prev1 = Prev<1>(input, fPrevious);
        const __m256i byte1High = _mm256_shuffle_epi8(
            Table16(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                    kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
                    kTooShort | kOverlong3 | kSurrogate,
                    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4),
            _mm256_and_si256(_mm256_srli_epi16(prev1, 4), low4));
        const uint8 large = kCarry | kTooLarge | kTooLarge1000;
        const __m256i byte1Low = _mm256_shuffle_epi8(
            Table16(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry,
                    kCarry, kCarry | kTooLarge, large, large, large, large, large, large, large,
                    large, large | kSurrogate, large, large),
            _mm256_and_si256(prev1, low4));
        const uint8 cont = kTooLong | kOverlong2 | kTwoConts;
        const __m256i byte2High = _mm256_shuffle_epi8(
            Table16(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                    kTooShort, cont | kOverlong3 | kTooLarge1000 | kOverlong4,
                    cont | kOverlong3 | kTooLarge, cont | kSurrogate | kTooLarge,
                    cont | kSurrogate | kTooLarge, kTooShort, kTooShort, kTooShort, kTooShort),
            _mm256_and_si256(_mm256_srli_epi16(input, 4), low4));
        const __m256i special = _mm256_and_si256(_mm256_and_si256(byte1High, byte1Low), byte2High);
        // Bytes two and three after a 3- or 4-byte lead: continuations, which the pair
        // table marked as two continuations in a row.
        const __m256i prev2 = Prev<2>(input, fPrevious);
        const __m256i prev3 = Prev<3>(input, fPrevious);
        const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(char(0xE0 - 0x80)));
        const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(char(0xF0 - 0x80)));
        const __m256i must =
            _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(char(0x80)));
        fError = _mm256_or_si256(fError, _mm256_xor_si256(must, special));
        // Leads in the last three bytes that need more bytes than the block holds.
        const __m256i limits = _mm256_setr_epi8(
            char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF),
            char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF),
            char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF),
            char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF),
            char(0xFF), char(0xF0 - 1), char(0xE0 - 1), char(0xC0 - 1));
        fIncomplete = _mm256_subs_epu8(input, limits);
        fPrevious = input;
    }
};

__attribute__((target("avx2"))) bool CheckTextAvx2(const uint8* p, const uint8* end) {
    // Leading ASCII: one test per 64 bytes.
    while (end - p >= 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        if (_mm256_movemask_epi8(_mm256_or_si256(a, b))) break;
        p += 64;
    }
    Avx2Checker checker{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
    for (; end - p >= 32; p += 32)
        checker.Block(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    if (p < end) {
        // The tail padded with NULs: a sequence cut short meets a NUL and fails.
        alignas(32) uint8 tail[32] = {};
        memcpy(tail, p, static_cast<size_t>(end - p));
        checker.Block(_mm256_load_si256(reinterpret_cast<const __m256i*>(tail)));
    }
    const __m256i error = _mm256_or_si256(checker.fError, checker.fIncomplete);
    return _mm256_testz_si256(error, error) != 0;
}

bool HaveAvx2() {
    static const bool sHave = __builtin_cpu_supports("avx2");
    return sHave;
}
#endif

// Widens the ASCII run at p into `out`; returns where the run ends.
template <bool kVector>
inline const uint8* WidenAscii(const uint8* p, const uint8* end, wchar_t*& out) {
#if defined(__SSE2__)
    if (kVector) {
        const __m128i zero = _mm_setzero_si128();
        while (end - p >= 16) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            if (_mm_movemask_epi8(bytes)) break;
            __m128i low = _mm_unpacklo_epi8(bytes, zero);
            __m128i high = _mm_unpackhi_epi8(bytes, zero);
            __m128i* to = reinterpret_cast<__m128i*>(out);
            _mm_storeu_si128(to, _mm_unpacklo_epi16(low, zero));
            _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(low, zero));
            _mm_storeu_si128(to + 2, _mm_unpacklo_epi16(high, zero));
            _mm_storeu_si128(to + 3, _mm_unpackhi_epi16(high, zero));
            p += 16;
            out += 16;
        }
    }
#endif
    while (end - p >= 8 && (Load64(p) & kHighBits) == 0) {
        for (int i = 0; i < 8; i++)
            out[i] = p[i];
        p += 8;
        out += 8;
    }
    while (p < end && *p < 0x80)
        *out++ = *p++;
    return p;
}

// Decodes a whole text into `out` (room for one unit per byte); the end of the units
// written, or null when the text is not well-formed.
template <bool kVector>
wchar_t* DecodeText(const uint8* p, const uint8* end, wchar_t* out) {
    for (;;) {
        p = WidenAscii<kVector>(p, end, out);
        if (p == end) return out;
        do {
            uint32 cp;
            uint32 length = DecodeSequence(p, end, &cp);
            if (length == 0) return nullptr;
            *out++ = static_cast<wchar_t>(cp);
            p += length;
        } while (p < end && *p >= 0x80);
    }
}

// ---------------------------------------------------------------------------
// One-code-point automaton used by case mapping and comparison

enum : uint8 { kAccept = 0, kReject = 1, kStart = 9 };

// Byte classes: the high nibble is the transition column, the low nibble the lead
// marker that the XOR step strips. Columns: 0 ASCII, 1 80-8F, 2 90-9F, 3 A0-BF,
// 4 C2-DF, 5 E0, 6 E1-EC/EE-EF, 7 ED, 8 F0, 9 F1-F3, 10 F4, 11 C0/C1/F5-FF.
// States: 0 done, 1 rejected, 2 one more, 3 two more, 4 after E0, 5 after ED,
// 6 after F0, 7 after F1-F3, 8 after F4, 9 start.
constexpr auto MakeDecodeTable() {
    struct Table {
        uint8 fBytes[416];
    } t{};
    for (int b = 0; b < 256; ++b) {
        uint8 cls;
        if (b < 0x80)
            cls = 0x00;
        else if (b < 0x90)
            cls = 0x18;
        else if (b < 0xA0)
            cls = 0x28;
        else if (b < 0xC0)
            cls = 0x38;
        else if (b < 0xC2)
            cls = 0xB0;
        else if (b < 0xE0)
            cls = 0x4C;
        else if (b == 0xE0)
            cls = 0x5E;
        else if (b == 0xED)
            cls = 0x7E;
        else if (b < 0xF0)
            cls = 0x6E;
        else if (b == 0xF0)
            cls = 0x8F;
        else if (b < 0xF4)
            cls = 0x9F;
        else if (b == 0xF4)
            cls = 0xAF;
        else
            cls = 0xB0;
        t.fBytes[b] = cls;
    }
    uint8* next = t.fBytes + 256;
    for (int i = 0; i < 160; ++i)
        next[i] = kReject;
    const uint8 fromStart[12] = {kAccept, kReject, kReject, kReject, 2, 4, 3, 5, 6, 7, 8, kReject};
    for (int c = 0; c < 12; ++c) {
        next[kStart * 16 + c] = fromStart[c];
        next[kAccept * 16 + c] = fromStart[c];
    }
    for (int c = 1; c <= 3; ++c) {
        next[2 * 16 + c] = kAccept;
        next[3 * 16 + c] = 2;
        next[7 * 16 + c] = 3;
    }
    next[4 * 16 + 3] = 2;
    next[5 * 16 + 1] = next[5 * 16 + 2] = 2;
    next[6 * 16 + 2] = next[6 * 16 + 3] = 3;
    next[8 * 16 + 1] = 3;
    return t;
}

constexpr auto kDecodeUTF8 = MakeDecodeTable();
static_assert(sizeof(kDecodeUTF8.fBytes) == 416);

// Reads one code point; a rejected or truncated sequence, the rejecting byte
// included, reads as '^'.
inline uint32 DecodeOne(const uint8*& p, const uint8* end) {
    uint32 state = kStart;
    uint32 cp = 0;
    while (p < end) {
        uint8 byte = *p++;
        uint8 cls = kDecodeUTF8.fBytes[byte];
        state = kDecodeUTF8.fBytes[256 + state * 16 + (cls >> 4)];
        cp = uint32(uint8(byte ^ uint8(cls << 4))) | cp << 6;
        if (state == kAccept) return cp;
        if (state == kReject) return '^';
    }
    return '^';
}

// ---------------------------------------------------------------------------
// Case caches: each entry is a pure function of its index, so racing fills store
// the same value; 0 means not computed yet.

constexpr uint32 kCacheSize = 16384;
std::atomic<uint32> sLowerMap[kCacheSize];
std::atomic<uint32> sUpperMap[kCacheSize];

uint32 LookUp(const uint16 (*table)[2], uint32 count, uint32 cp) {
    uint32 lo = 0, hi = count;
    while (lo < hi) {
        uint32 mid = (lo + hi) / 2;
        if (table[mid][0] < cp)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < count && table[lo][0] == cp ? table[lo][1] : cp;
}

inline uint32 MapCode(uint32 cp, std::atomic<uint32>* cache, const uint16 (*table)[2],
                      uint32 count) {
    if (cp >= kCacheSize) return cp;
    uint32 v = cache[cp].load(std::memory_order_relaxed);
    if (v) return v;
    v = LookUp(table, count, cp);
    cache[cp].store(v, std::memory_order_relaxed);
    return v;
}

inline uint32 ToUpper(uint32 cp) {
    return MapCode(cp, sUpperMap, gUpperCaseMap, gUpperCaseMapSize);
}
inline uint32 ToLower(uint32 cp) {
    return MapCode(cp, sLowerMap, gLowerCaseMap, gLowerCaseMapSize);
}

using lumo_utf8::AppendUTF8;

template <uint32 (*Map)(uint32)>
std::string MapString(const std::string& text) {
    std::string out;
    if (text.empty() || text.size() > 0x7FFFFFFFu) return out;
    out.reserve(text.size());
    const uint8* p = reinterpret_cast<const uint8*>(text.data());
    const uint8* end = p + text.size();
    while (p < end) {
        uint32 cp = Map(DecodeOne(p, end));
        if (cp == 0) break;
        AppendUTF8(out, cp);
    }
    return out;
}

}  // namespace

uint32 lumo_utf8::SequenceLength(const uint8* s, uint64 avail) {
    int extra = trailingBytesForUTF8[*s];
    if (uint64(extra) >= avail || !IsLegalUTF8(s, extra + 1)) return 0;
    return uint32(extra + 1);
}

bool lumo_utf8::IsWellFormed(const void* text, size_t length) {
    const uint8* p = static_cast<const uint8*>(text);
#if defined(__x86_64__)
    if (length >= 64 && HaveAvx2()) return CheckTextAvx2(p, p + length);
#endif
    return CheckText<true>(p, p + length);
}

bool lumo_utf8::IsWellFormedVector(const void* text, size_t length) {
    const uint8* p = static_cast<const uint8*>(text);
#if defined(__x86_64__)
    if (HaveAvx2()) return CheckTextAvx2(p, p + length);
#endif
    return CheckText<true>(p, p + length);
}

bool lumo_utf8::IsWellFormedPortable(const void* text, size_t length) {
    const uint8* p = static_cast<const uint8*>(text);
    return CheckText<false>(p, p + length);
}

bool lumo_utf8::IsWellFormedReference(const void* text, size_t length) {
    const uint8* p = static_cast<const uint8*>(text);
    return ConvertUTF8toUTF32<uint32>(&p, p + length, nullptr, nullptr) == conversionOK;
}

std::wstring lumo_utf8::Decode(const std::string& text, bool vector) {
    static_assert(sizeof(wchar_t) == 4, "wide strings hold code points");
    std::wstring out(text.size(), L'\0');
    const uint8* p = reinterpret_cast<const uint8*>(text.data());
    wchar_t* last = vector ? DecodeText<true>(p, p + text.size(), out.data())
                           : DecodeText<false>(p, p + text.size(), out.data());
    if (!last) return std::wstring();
    out.resize(static_cast<size_t>(last - out.data()));
    return out;
}

bool CL_CheckUTF8(CL_Blob* blob) {
    if (!blob) return false;
    const uint8* p = blob->GetDataForRead();
    return lumo_utf8::IsWellFormed(p, blob->GetSize());
}

std::wstring CL_FromUTF8(const std::string& text) {
    return lumo_utf8::Decode(text, true);
}

std::string CL_ToUTF8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size() * 4);
    for (wchar_t w : text) {
        uint32 cp = static_cast<uint32>(w);
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return std::string();
        AppendUTF8(out, cp);
    }
    return out;
}

std::string CL_StringToLower(const std::string& text) {
    return MapString<ToLower>(text);
}

std::string CL_StringToUpper(const std::string& text) {
    return MapString<ToUpper>(text);
}

int CL_StringCaseCompare(const char* text1, uint32 length1, const char* text2, uint32 length2) {
    const uint8* p1 = reinterpret_cast<const uint8*>(text1);
    const uint8* p2 = reinterpret_cast<const uint8*>(text2);
    const uint8* e1 = p1 ? p1 + length1 : p1;
    const uint8* e2 = p2 ? p2 + length2 : p2;
    for (;;) {
        int32 c1 = p1 < e1 ? int32(ToUpper(DecodeOne(p1, e1))) : 0;
        int32 c2 = p2 < e2 ? int32(ToUpper(DecodeOne(p2, e2))) : 0;
        if (c1 != c2) return c1 - c2;
        if (c1 == 0) return 0;
    }
}

int CL_StringCaseCompare(const std::string& text1, const std::string& text2) {
    return CL_StringCaseCompare(text1.data(), uint32(text1.size()), text2.data(),
                                uint32(text2.size()));
}
