// Text forms of the decimal engine: parsing the general decimal syntax, the scientific
// string, and fixed-point formatting with optional grouping.
#include "lumo/base/decnum/decnum.h"

#include "lumo/base/decnum/decnum_wide.h"

namespace decnum {

namespace {

// Significant digits kept exactly while parsing; later digits only count as sticky.
// More than twice the precision, so rounding the kept part decides correctly.
constexpr int32 kKeptDigits = 80;

inline char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool EqualsNoCase(const char* s, size_t n, const char* word) {
    size_t i = 0;
    for (; i < n; ++i) {
        if (word[i] == 0 || Lower(s[i]) != word[i]) return false;
    }
    return word[i] == 0;
}

bool StartsNoCase(const char* s, size_t n, const char* word, size_t* used) {
    size_t i = 0;
    for (; word[i]; ++i) {
        if (i >= n || Lower(s[i]) != word[i]) return false;
    }
    *used = i;
    return true;
}

void SyntaxError(Number* r, uint32* status) {
    *r = MakeSpecial(kNaN, false);
    *status |= kConversionSyntax;
}

// Writes the decimal digits of v at the end of buf; returns the start.
char* U128Digits(uint128 v, char* end) {
    char* p = end;
    do {
        uint64 chunk;
        if (v >= 10000000000000000000ULL) {
            chunk = static_cast<uint64>(v % 10000000000000000000ULL);
            v /= 10000000000000000000ULL;
            for (int i = 0; i < 19; ++i) {
                *--p = static_cast<char>('0' + chunk % 10);
                chunk /= 10;
            }
        } else {
            chunk = static_cast<uint64>(v);
            v = 0;
            do {
                *--p = static_cast<char>('0' + chunk % 10);
                chunk /= 10;
            } while (chunk);
        }
    } while (v);
    return p;
}

size_t CopyText(char* out, size_t pos, size_t cap, const char* s) {
    for (; *s; ++s, ++pos)
        if (pos < cap) out[pos] = *s;
    return pos;
}

}  // namespace

void FromString(Number* r, const char* s, size_t n, const Context& ctx, uint32* status) {
    size_t i = 0;
    bool neg = false;
    if (n > 0 && (s[0] == '+' || s[0] == '-')) {
        neg = s[0] == '-';
        i = 1;
    }
    const char* p = s + i;
    const size_t m = n - i;
    if (m == 0) {
        SyntaxError(r, status);
        return;
    }
    if (!(p[0] >= '0' && p[0] <= '9') && p[0] != '.') {
        if (EqualsNoCase(p, m, "inf") || EqualsNoCase(p, m, "infinity")) {
            *r = MakeSpecial(kInfinity, neg);
            return;
        }
        size_t used;
        Kind kind;
        if (StartsNoCase(p, m, "snan", &used))
            kind = kSNaN;
        else if (StartsNoCase(p, m, "nan", &used))
            kind = kNaN;
        else {
            SyntaxError(r, status);
            return;
        }
        uint128 payload = 0;
        int32 digits = 0;
        for (size_t j = used; j < m; ++j) {
            char c = p[j];
            if (c < '0' || c > '9') {
                SyntaxError(r, status);
                return;
            }
            if (digits == 0 && c == '0') continue;
            if (++digits > kPrecision) {
                SyntaxError(r, status);
                return;
            }
            payload = payload * 10 + static_cast<uint32>(c - '0');
        }
        *r = MakeSpecial(kind, neg, payload);
        return;
    }

    // Coefficient: digits with at most one point, at least one digit.
    uint128 fast = 0;  // the first significant digits while they fit kPrecision
    int32 kept = 0;    // significant digits held exactly
    int64 fracDigits = 0;
    int64 dropped = 0;  // significant digits past kKeptDigits
    bool sticky = false;
    bool anyDigit = false, point = false;
    char keptDigits[kKeptDigits];
    size_t j = 0;
    for (; j < m; ++j) {
        char c = p[j];
        if (c == '.') {
            if (point) break;
            point = true;
            continue;
        }
        if (c < '0' || c > '9') break;
        anyDigit = true;
        if (point) ++fracDigits;
        if (kept == 0 && c == '0') continue;
        if (kept < kKeptDigits) {
            keptDigits[kept++] = static_cast<char>(c - '0');
            if (kept <= kPrecision) fast = fast * 10 + static_cast<uint32>(c - '0');
        } else {
            ++dropped;
            if (c != '0') sticky = true;
        }
    }
    if (!anyDigit) {
        SyntaxError(r, status);
        return;
    }
    // Exponent: saturated far beyond every limit, which keeps its meaning.
    __int128 expValue = 0;
    if (j < m) {
        if (p[j] != 'e' && p[j] != 'E') {
            SyntaxError(r, status);
            return;
        }
        ++j;
        bool eneg = false;
        if (j < m && (p[j] == '+' || p[j] == '-')) {
            eneg = p[j] == '-';
            ++j;
        }
        if (j >= m) {
            SyntaxError(r, status);
            return;
        }
        for (; j < m; ++j) {
            char c = p[j];
            if (c < '0' || c > '9') {
                SyntaxError(r, status);
                return;
            }
            if (expValue < static_cast<__int128>(kExpSaturation) * 4)
                expValue = expValue * 10 + (c - '0');
        }
        if (eneg) expValue = -expValue;
    }
    int64 exp = ClampExp(expValue - fracDigits + dropped);
    if (kept <= kPrecision) {
        if (fast <= Pow10(kPrecision) - 1 && exp >= ctx.emin &&
            exp <= ctx.emax - (kPrecision - 1)) {
            *r = MakeFinite(neg, fast, exp);
            return;
        }
        Wide w(fast);
        FinishLimbs(r, neg, w.l, w.n, exp, false, ctx, status);
        return;
    }
    Wide w;
    for (int32 k = 0; k < kept; k += 19) {
        int32 take = kept - k < 19 ? kept - k : 19;
        uint64 chunk = 0;
        for (int32 t = 0; t < take; ++t)
            chunk = chunk * 10 + keptDigits[k + t];
        MulPow10(&w, take);
        Wide c(chunk);
        AddTo(&w, c);
    }
    FinishLimbs(r, neg, w.l, w.n, exp, sticky, ctx, status);
}

size_t ToSci(const Number& v, char* buf) {
    char* out = buf;
    if (v.neg) *out++ = '-';
    if (v.kind == kInfinity) {
        memcpy(out, "Infinity", 8);
        return static_cast<size_t>(out + 8 - buf);
    }
    if (v.IsNaN()) {
        if (v.kind == kSNaN) *out++ = 's';
        memcpy(out, "NaN", 3);
        out += 3;
        if (v.coef != 0) {
            char tmp[48];
            char* d = U128Digits(v.coef, tmp + sizeof(tmp));
            size_t len = static_cast<size_t>(tmp + sizeof(tmp) - d);
            memcpy(out, d, len);
            out += len;
        }
        return static_cast<size_t>(out - buf);
    }
    char tmp[48];
    char* d = U128Digits(v.coef, tmp + sizeof(tmp));
    const int64 len = tmp + sizeof(tmp) - d;
    const int64 adjusted = v.exp + len - 1;
    if (v.exp <= 0 && adjusted >= -6) {
        if (v.exp == 0) {
            memcpy(out, d, static_cast<size_t>(len));
            out += len;
        } else if (len > -v.exp) {
            int64 intLen = len + v.exp;
            memcpy(out, d, static_cast<size_t>(intLen));
            out += intLen;
            *out++ = '.';
            memcpy(out, d + intLen, static_cast<size_t>(-v.exp));
            out += -v.exp;
        } else {
            *out++ = '0';
            *out++ = '.';
            for (int64 z = 0; z < -v.exp - len; ++z)
                *out++ = '0';
            memcpy(out, d, static_cast<size_t>(len));
            out += len;
        }
        return static_cast<size_t>(out - buf);
    }
    *out++ = d[0];
    if (len > 1) {
        *out++ = '.';
        memcpy(out, d + 1, static_cast<size_t>(len - 1));
        out += len - 1;
    }
    *out++ = 'E';
    *out++ = adjusted < 0 ? '-' : '+';
    uint64 mag = adjusted < 0 ? 0 - static_cast<uint64>(adjusted) : static_cast<uint64>(adjusted);
    char* e = U128Digits(mag, tmp + sizeof(tmp));
    size_t elen = static_cast<size_t>(tmp + sizeof(tmp) - e);
    memcpy(out, e, elen);
    out += elen;
    return static_cast<size_t>(out - buf);
}

size_t FormatFixed(const Number& v, int32 decimals, Rounding round, const char* point,
                   const char* sep, char* out, size_t cap) {
    if (v.kind == kInfinity) return CopyText(out, 0, cap, v.neg ? "-Infinity" : "Infinity");
    if (v.IsNaN()) return CopyText(out, 0, cap, "NaN");
    if (decimals < 0) decimals = 0;

    // Round to `decimals` places without any precision limit: the digits are the
    // coefficient followed by `zeros` zero digits.
    uint128 q = v.coef;
    uint64 zeros = 0;
    const int64 target = -static_cast<int64>(decimals);
    if (v.coef == 0) {
        q = 0;
    } else if (v.exp >= target) {
        zeros = static_cast<uint64>(v.exp - target);
    } else {
        const int64 drop = target - v.exp;
        const int32 digits = Digits(v.coef);
        int32 tail;
        if (drop > digits) {
            q = 0;
            tail = 1;
        } else {
            uint128 p = Pow10(static_cast<int32>(drop));
            q = v.coef / p;
            uint128 rem = v.coef % p;
            tail = rem == 0 ? 0 : (2 * rem < p ? 1 : (2 * rem == p ? 2 : 3));
        }
        bool up;
        switch (round) {
            case kRoundHalfUp:
                up = tail >= 2;
                break;
            case kRoundHalfEven:
                up = tail == 3 || (tail == 2 && (q & 1));
                break;
            case kRoundUp:
                up = tail != 0;
                break;
            case kRoundFloor:
                up = v.neg && tail != 0;
                break;
            case kRoundCeiling:
                up = !v.neg && tail != 0;
                break;
            default:
                up = false;
        }
        // q stays below 10^38 + 1, well inside 128 bits.
        if (up) ++q;
    }
    char tmp[48];
    char* d = U128Digits(q, tmp + sizeof(tmp));
    const uint64 dlen = static_cast<uint64>(tmp + sizeof(tmp) - d);
    const uint64 total = dlen + zeros;  // digits of the scaled integer
    const uint64 frac = static_cast<uint64>(decimals);
    const uint64 intDigits = total > frac ? total - frac : 1;
    const uint64 leadZeros = total > frac ? 0 : frac - total;  // after the point
    const size_t sepLen = sep ? strlen(sep) : 0;
    const size_t pointLen = point ? strlen(point) : 0;
    const uint64 groups = sepLen ? (intDigits - 1) / 3 : 0;
    const uint64 need =
        (v.neg ? 1 : 0) + intDigits + groups * sepLen + (frac ? pointLen + frac : 0);
    if (need > cap) return static_cast<size_t>(need);

    // Digit k of the scaled integer, counted from its most significant one.
    auto digitAt = [&](uint64 k) -> char { return k < dlen ? d[k] : '0'; };
    size_t pos = 0;
    if (v.neg) out[pos++] = '-';
    if (total > frac) {
        for (uint64 k = 0; k < intDigits; ++k) {
            if (sepLen && k > 0 && (intDigits - k) % 3 == 0) {
                memcpy(out + pos, sep, sepLen);
                pos += sepLen;
            }
            out[pos++] = digitAt(k);
        }
    } else {
        out[pos++] = '0';
    }
    if (frac) {
        memcpy(out + pos, point, pointLen);
        pos += pointLen;
        for (uint64 k = 0; k < leadZeros; ++k)
            out[pos++] = '0';
        uint64 start = total > frac ? intDigits : 0;
        for (uint64 k = start; k < total; ++k)
            out[pos++] = digitAt(k);
    }
    return pos;
}

}  // namespace decnum
