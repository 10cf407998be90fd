// The decimal engine behind CL_Decimal: general decimal arithmetic on numbers with a
// coefficient of at most 38 digits, correctly rounded in a context with fixed precision,
// selectable rounding and exponent limits. Operations are quiet: they report conditions
// as status bits and never trap.
#pragma once

#include <cstddef>
#include <cstring>

#include "lumo/base_types.h"

namespace decnum {

typedef unsigned __int128 uint128;
// Eight-byte aligned so that a number embedded in other records keeps their alignment.
typedef unsigned __int128 uint128_a8 __attribute__((aligned(8)));

constexpr int32 kPrecision = 38;
constexpr int64 kDefaultEmax = 999999999999999999LL;
constexpr int64 kDefaultEmin = -999999999999999999LL;

// Status bits; the values are those of the widely used decimal status words, so masks
// written against them keep their meaning.
enum : uint32 {
    kClamped = 0x0001,
    kConversionSyntax = 0x0002,
    kDivisionByZero = 0x0004,
    kDivisionImpossible = 0x0008,
    kDivisionUndefined = 0x0010,
    kInexact = 0x0040,
    kInvalidOperation = 0x0100,
    kOverflow = 0x0800,
    kRounded = 0x1000,
    kSubnormal = 0x2000,
    kUnderflow = 0x4000,
};
// Every condition that the arithmetic reports as an invalid operation.
constexpr uint32 kInvalidMask =
    kConversionSyntax | kDivisionImpossible | kDivisionUndefined | kInvalidOperation;

enum Rounding : uint8 {
    kRoundHalfUp,
    kRoundHalfEven,
    kRoundDown,
    kRoundUp,
    kRoundFloor,
    kRoundCeiling,
};

// Exponent limits and rounding of a computation; the precision is always kPrecision.
struct Context {
    int64 emax = kDefaultEmax;
    int64 emin = kDefaultEmin;
    Rounding round = kRoundHalfUp;

    int64 Etiny() const { return emin - (kPrecision - 1); }
};

enum Kind : uint8 { kFinite = 0, kInfinity = 1, kNaN = 2, kSNaN = 3 };

// One decimal: (-1)^neg * coef * 10^exp when finite; a NaN keeps its payload in coef.
struct Number {
    uint128_a8 coef;
    int64 exp;
    uint8 kind;
    uint8 neg;

    bool IsFinite() const { return kind == kFinite; }
    bool IsNaN() const { return kind >= kNaN; }
    bool IsInfinite() const { return kind == kInfinity; }
    bool IsZero() const { return kind == kFinite && coef == 0; }
};
static_assert(sizeof(Number) == 32 && alignof(Number) == 8, "number layout");

inline Number MakeFinite(bool neg, uint128 coef, int64 exp) {
    Number n;
    n.coef = coef;
    n.exp = exp;
    n.kind = kFinite;
    n.neg = neg;
    return n;
}
inline Number MakeSpecial(Kind kind, bool neg, uint128 payload = 0) {
    Number n;
    n.coef = payload;
    n.exp = 0;
    n.kind = kind;
    n.neg = neg;
    return n;
}

// Number of decimal digits of v (1 for zero).
int32 Digits(uint128 v);
// 10^k for 0 <= k <= 38.
uint128 Pow10(int32 k);

// Conversions in. FromString accepts the general decimal syntax: sign, digits with at
// most one point, exponent, and Infinity, Inf, NaN, sNaN (with payload) in any case.
void FromString(Number* r, const char* text, size_t length, const Context& ctx, uint32* status);
Number FromInt64(int64 v);
Number FromUInt64(uint64 v);

// Conversions out. ToSci writes the scientific string form into buf (at least
// kSciBufferSize bytes) and returns its length.
constexpr size_t kSciBufferSize = 96;
size_t ToSci(const Number& v, char* buf);

// Fixed-point text rounded to `decimals` places with `round`, never an exponent.
// `point` is the decimal separator, `sep` the thousands separator (null or empty: no
// grouping). Writes at most `cap` bytes (no terminator) and returns the full length
// the text needs, so a result above `cap` means the buffer was too small.
size_t FormatFixed(const Number& v, int32 decimals, Rounding round, const char* point,
                   const char* sep, char* out, size_t cap);

// Floor of v * 10^scale as a signed 64-bit integer; false when v is not finite or the
// result does not fit.
bool FloorToInt64(const Number& v, int32 scale, int64* out);

// Arithmetic. Results are rounded to the context; conditions are or-ed into *status.
void Add(Number* r, const Number& a, const Number& b, const Context& ctx, uint32* status);
void Subtract(Number* r, const Number& a, const Number& b, const Context& ctx, uint32* status);
void Multiply(Number* r, const Number& a, const Number& b, const Context& ctx, uint32* status);
void Divide(Number* r, const Number& a, const Number& b, const Context& ctx, uint32* status);
// Truncated remainder: the sign of the dividend; NaN when the integer quotient needs more
// than kPrecision digits or the divisor is zero.
void Remainder(Number* r, const Number& a, const Number& b, const Context& ctx, uint32* status);
void Power(Number* r, const Number& base, const Number& exponent, const Context& ctx,
           uint32* status);
// The value with trailing zeros removed (zero becomes 0 with exponent 0).
void Reduce(Number* r, const Number& a, const Context& ctx, uint32* status);
// Arithmetic absolute value and negation (rounded, NaN rules apply).
void Abs(Number* r, const Number& a, const Context& ctx, uint32* status);
void Minus(Number* r, const Number& a, const Context& ctx, uint32* status);
// Plain sign flip, for every value and without status.
inline Number CopyNegate(const Number& a) {
    Number r = a;
    r.neg = !r.neg;
    return r;
}
// The value with exponent exp, rounded with the context's rounding; NaN when the
// coefficient would need more than kPrecision digits.
void Rescale(Number* r, const Number& a, int64 exp, const Context& ctx, uint32* status);
// Numeric comparison: -1, 0 or 1; false (and *result untouched) when either is a NaN.
bool Compare(const Number& a, const Number& b, int32* result);

// 10^k for 0 <= k <= 19, the powers that fit a machine word.
struct Pow10Words {
    uint64 v[20];
};
inline constexpr Pow10Words kPow10Words = [] {
    Pow10Words t{};
    uint64 p = 1;
    for (int k = 0; k < 20; k++, p *= 10)
        t.v[k] = p;
    return t;
}();

// The common sum of a + b (b's sign given as bneg) in machine words: both finite and
// nonzero with coefficients below 2^64, exponents at most 19 apart, an exact nonzero
// result of at most kPrecision digits at an exponent the context keeps as it is. Writes
// the result, which is exactly what Add gives, and returns true; false otherwise with
// nothing written.
inline bool AddQuick(Number* r, const Number& a, const Number& b, bool bneg, const Context& ctx) {
    constexpr uint128 kMax = static_cast<uint128>(kPow10Words.v[19]) * kPow10Words.v[19] - 1;
    if ((a.kind | b.kind) != kFinite) return false;
    const uint128 ca = a.coef, cb = b.coef;
    if ((ca >> 64) != 0 || (cb >> 64) != 0 || ca == 0 || cb == 0) return false;
    const bool aHigher = a.exp >= b.exp;
    const Number& hi = aHigher ? a : b;
    const Number& lo = aHigher ? b : a;
    const bool hineg = aHigher ? a.neg : bneg;
    const bool loneg = aHigher ? bneg : a.neg;
    const int64 d = hi.exp - lo.exp;
    if (d >= 20 || lo.exp < ctx.emin || lo.exp > ctx.emax - (kPrecision - 1)) return false;
    const uint128 big = static_cast<uint128>(static_cast<uint64>(hi.coef)) * kPow10Words.v[d];
    if (big > kMax) return false;
    const uint128 small = lo.coef;
    uint128 c;
    bool neg;
    if (hineg == loneg) {
        c = big + small;
        neg = hineg;
        if (c > kMax) return false;
    } else if (big > small) {
        c = big - small;
        neg = hineg;
    } else if (small > big) {
        c = small - big;
        neg = loneg;
    } else {
        return false;  // the zero sum takes its sign from the rounding
    }
    r->coef = c;
    r->exp = lo.exp;
    r->kind = kFinite;
    r->neg = neg;
    return true;
}

// Rounds an exact value held as a multi-word magnitude into r (used by the power code).
// `limbs` holds `n` little-endian 64-bit words; sticky tells that nonzero digits follow
// below the last one. When sticky is set the magnitude must have more than kPrecision
// digits.
void FinishLimbs(Number* r, bool neg, const uint64* limbs, int32 n, int64 exp, bool sticky,
                 const Context& ctx, uint32* status);

// Result of an operation with a NaN operand: the quiet form of the first signalling NaN
// (with kInvalidOperation), else the first quiet NaN. False when neither is a NaN.
bool HandleNaNs(Number* r, const Number& a, const Number& b, uint32* status);
bool HandleNaN(Number* r, const Number& a, uint32* status);

// Saturating exponent clamp used where exponent sums may leave the limits far behind.
constexpr int64 kExpSaturation = 4000000000000000000LL;
inline int64 ClampExp(__int128 e) {
    if (e > kExpSaturation) return kExpSaturation;
    if (e < -kExpSaturation) return -kExpSaturation;
    return static_cast<int64>(e);
}

}  // namespace decnum
