// UTF-8 checking and conversion, case mapping and case-insensitive comparison.
#include <atomic>
#include <cstring>

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

bool CL_CheckUTF8(CL_Blob* blob) {
    if (!blob) return false;
    const uint8* p = blob->GetDataForRead();
    const uint8* end = p + blob->GetSize();
    return ConvertUTF8toUTF32<uint32>(&p, end, nullptr, nullptr) == conversionOK;
}

std::wstring CL_FromUTF8(const std::string& text) {
    static_assert(sizeof(wchar_t) == 4, "wide strings hold code points");
    std::wstring out(text.size(), L'\0');
    const uint8* p = reinterpret_cast<const uint8*>(text.data());
    wchar_t* target = out.data();
    if (ConvertUTF8toUTF32<wchar_t>(&p, p + text.size(), &target, out.data() + out.size()) !=
        conversionOK)
        return std::wstring();
    out.resize(target - out.data());
    return out;
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
