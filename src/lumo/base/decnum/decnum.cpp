// Core of the decimal engine: rounding into the context, the four operations, remainder,
// comparison, rescaling and reduction.
#include "lumo/base/decnum/decnum.h"

#include "lumo/base/decnum/decnum_wide.h"

namespace decnum {

namespace {

constexpr uint128 MakePow10(int32 k) {
    uint128 v = 1;
    for (int32 i = 0; i < k; ++i)
        v *= 10;
    return v;
}

struct Pow10U {
    uint128 v[39];
    constexpr Pow10U() : v() {
        for (int32 k = 0; k < 39; ++k)
            v[k] = MakePow10(k);
    }
};
constexpr Pow10U kPow10{};
constexpr uint128 kTen38 = MakePow10(38);

inline uint128 MulWide(uint64 a, uint64 b) {
    return static_cast<uint128>(a) * b;
}

// (high:low) / divisor and the remainder, for high < divisor (the quotient fits 64 bits).
inline uint64 DivWide(uint64 high, uint64 low, uint64 divisor, uint64* remainder) {
#if defined(__x86_64__)
    uint64 quotient, rem;
    __asm__("divq %4" : "=a"(quotient), "=d"(rem) : "a"(low), "d"(high), "rm"(divisor));
    *remainder = rem;
    return quotient;
#else
    uint128 n = (static_cast<uint128>(high) << 64) | low;
    *remainder = static_cast<uint64>(n % divisor);
    return static_cast<uint64>(n / divisor);
#endif
}
constexpr uint128 kMaxCoef = kTen38 - 1;

// Where the discarded digits stand against half a unit of the last kept digit.
enum Tail : int32 { kTailZero = 0, kTailBelow = 1, kTailHalf = 2, kTailAbove = 3 };

bool RoundsUp(Rounding mode, bool neg, bool odd, int32 tail) {
    switch (mode) {
        case kRoundHalfUp:
            return tail >= kTailHalf;
        case kRoundHalfEven:
            return tail == kTailAbove || (tail == kTailHalf && odd);
        case kRoundDown:
            return false;
        case kRoundUp:
            return tail != kTailZero;
        case kRoundFloor:
            return neg && tail != kTailZero;
        case kRoundCeiling:
            return !neg && tail != kTailZero;
    }
    return false;
}

// The result of an overflow: infinity, or the largest finite number when the rounding
// goes toward zero for this sign.
void SetOverflow(Number* r, bool neg, const Context& ctx, uint32* status) {
    *status |= kOverflow | kInexact | kRounded;
    bool toInfinity;
    switch (ctx.round) {
        case kRoundDown:
            toInfinity = false;
            break;
        case kRoundFloor:
            toInfinity = neg;
            break;
        case kRoundCeiling:
            toInfinity = !neg;
            break;
        default:
            toInfinity = true;
    }
    if (toInfinity)
        *r = MakeSpecial(kInfinity, neg);
    else
        *r = MakeFinite(neg, kMaxCoef, ctx.emax - (kPrecision - 1));
}

void SetNaN(Number* r, uint32* status, uint32 condition) {
    *r = MakeSpecial(kNaN, false);
    *status |= condition;
}

void FinishZero(Number* r, bool neg, int64 exp, const Context& ctx, uint32* status) {
    if (exp > ctx.emax) {
        exp = ctx.emax;
        *status |= kClamped;
    } else if (exp < ctx.Etiny()) {
        exp = ctx.Etiny();
        *status |= kClamped;
    }
    *r = MakeFinite(neg, 0, exp);
}

// Classifies the remainder rem of a division by 10^drop against half of 10^drop.
int32 ClassifyTail(const Wide& rem, int32 drop, bool sticky) {
    if (rem.IsZero()) return sticky ? kTailBelow : kTailZero;
    Wide twice = rem;
    MulSmall(&twice, 2);
    int32 c = Compare(twice, WidePow10(drop));
    if (c < 0) return kTailBelow;
    if (c > 0) return kTailAbove;
    return sticky ? kTailAbove : kTailHalf;
}

// Rounds the exact value w * 10^exp (plus a nonzero tail below its last digit when sticky)
// to the precision and exponent range of the context.
void FinishWide(Number* r, bool neg, const Wide& w, int64 exp, bool sticky, const Context& ctx,
                uint32* status) {
    if (w.IsZero() && !sticky) {
        FinishZero(r, neg, exp, ctx, status);
        return;
    }
    const int64 etiny = ctx.Etiny();
    const int32 digits = w.IsZero() ? 0 : Digits(w);
    const bool subnormal = exp + digits - 1 < ctx.emin;
    int64 drop = digits > kPrecision ? digits - kPrecision : 0;
    if (exp + drop < etiny) drop = etiny - exp;

    uint128 q;
    int32 tail;
    if (drop == 0) {
        q = w.ToU128();
        tail = sticky ? kTailBelow : kTailZero;
    } else if (drop > digits) {
        q = 0;
        tail = kTailBelow;
    } else {
        int32 d = static_cast<int32>(drop);
        Wide wq, rem;
        DivMod(&wq, &rem, w, WidePow10(d));
        q = wq.ToU128();
        tail = ClassifyTail(rem, d, sticky);
    }
    if (drop > 0) *status |= kRounded;
    if (tail != kTailZero) *status |= kInexact | kRounded;
    exp += drop;
    if (RoundsUp(ctx.round, neg, q & 1, tail)) {
        ++q;
        if (q == kTen38) {
            q = kPow10.v[kPrecision - 1];
            ++exp;
        }
    }
    if (subnormal) {
        *status |= kSubnormal;
        if (tail != kTailZero) *status |= kUnderflow;
        if (q == 0) *status |= kClamped;
    }
    if (q != 0 && exp + Digits(q) - 1 > ctx.emax) {
        SetOverflow(r, neg, ctx, status);
        return;
    }
    *r = MakeFinite(neg, q, exp);
}

inline void Finish(Number* r, bool neg, uint128 c, int64 exp, const Context& ctx, uint32* status) {
    if (c <= kMaxCoef && exp >= ctx.emin && exp <= ctx.emax - (kPrecision - 1)) {
        *r = MakeFinite(neg, c, exp);
        return;
    }
    FinishWide(r, neg, Wide(c), exp, false, ctx, status);
}

// Sign of a zero sum whose operands cancel or are both zero.
bool ZeroSumSign(bool aneg, bool bneg, const Context& ctx) {
    if (aneg == bneg) return aneg;
    return ctx.round == kRoundFloor;
}

// Division of 64-bit coefficients (both nonzero) in machine words: the quotient is
// developed to exactly kPrecision digits, 19 digits per hardware division, and rounded
// by its remainder; an exact quotient is then brought to the exponent nearest the ideal
// one. False, with nothing written, when the result would leave the exponent range
// Finish handles directly.
bool DivideSmall(Number* r, bool neg, uint64 ca, uint64 cb, int64 ideal, const Context& ctx,
                 uint32* status) {
    const int32 dca = Digits(ca), dcb = Digits(cb);
    // E = floor(log10(ca / cb)): dca - dcb, less one when ca's leading digits are below cb's.
    bool atLeast;
    if (dca >= dcb)
        atLeast = ca >= MulWide(cb, kPow10Words.v[dca - dcb]);
    else
        atLeast = MulWide(ca, kPow10Words.v[dcb - dca]) >= cb;
    const int32 e = dca - dcb - (atLeast ? 0 : 1);
    const int32 k = kPrecision - 1 - e;  // 18 to 57: the quotient gets 38 digits
    uint128 q = ca / cb;
    uint64 rem = ca % cb;
    for (int32 left = k; left > 0;) {
        const int32 m = left < 19 ? left : 19;
        const uint128 scaled = MulWide(rem, kPow10Words.v[m]);
        const uint64 chunk =
            DivWide(static_cast<uint64>(scaled >> 64), static_cast<uint64>(scaled), cb, &rem);
        q = q * kPow10Words.v[m] + chunk;
        left -= m;
    }
    int64 exp = ideal - k;
    if (rem == 0) {
        // Exact: trailing zeros go while the exponent is below the ideal one.
        int64 room = ideal - exp;
        uint64 high = static_cast<uint64>(q >> 64), low = static_cast<uint64>(q);
        if (room >= 19 && high < kPow10Words.v[19]) {
            uint64 below;
            const uint64 top = DivWide(high, low, kPow10Words.v[19], &below);
            if (below == 0) {
                q = top;
                exp += 19;
                room -= 19;
            }
        }
        if ((q >> 64) == 0) {
            uint64 small = static_cast<uint64>(q);
            while (room > 0 && small % 10 == 0) {
                small /= 10;
                ++exp;
                --room;
            }
            q = small;
        }
        while (room > 0 && q % 10 == 0) {
            q /= 10;
            ++exp;
            --room;
        }
    } else {
        const uint128 twice = static_cast<uint128>(rem) * 2;
        const int32 tail = twice < cb ? kTailBelow : twice == cb ? kTailHalf : kTailAbove;
        if (RoundsUp(ctx.round, neg, q & 1, tail)) {
            ++q;
            if (q == kTen38) {
                q = kPow10.v[kPrecision - 1];
                ++exp;
            }
        }
    }
    if (exp < ctx.emin || exp > ctx.emax - (kPrecision - 1)) return false;
    if (rem != 0) *status |= kInexact | kRounded;
    *r = MakeFinite(neg, q, exp);
    return true;
}

void AddFinite(Number* r, const Number& a, bool aneg, const Number& b, bool bneg,
               const Context& ctx, uint32* status) {
    const uint128 ca = a.coef, cb = b.coef;
    if (ca == 0 && cb == 0) {
        FinishZero(r, ZeroSumSign(aneg, bneg, ctx), a.exp < b.exp ? a.exp : b.exp, ctx, status);
        return;
    }
    if (ca == 0 || cb == 0) {
        // x + 0: x, written with the smaller exponent as far as the precision allows.
        const Number& x = ca == 0 ? b : a;
        bool xneg = ca == 0 ? bneg : aneg;
        int64 zexp = ca == 0 ? a.exp : b.exp;
        if (zexp >= x.exp) {
            Finish(r, xneg, x.coef, x.exp, ctx, status);
            return;
        }
        int32 room = kPrecision - Digits(x.coef);
        int64 gap = x.exp - zexp;
        int32 shift = gap < room ? static_cast<int32>(gap) : room;
        if (shift < gap) *status |= kRounded;
        Finish(r, xneg, x.coef * kPow10.v[shift], x.exp - shift, ctx, status);
        return;
    }
    // Order so that hi has the larger exponent.
    const Number* hi = &a;
    const Number* lo = &b;
    bool hineg = aneg, loneg = bneg;
    if (a.exp < b.exp) {
        hi = &b;
        lo = &a;
        hineg = bneg;
        loneg = aneg;
    }
    const int64 d = hi->exp - lo->exp;
    // hi aligned to lo's exponent within the precision: with 64-bit coefficients one
    // multiply tells, as big <= kMaxCoef exactly when d plus hi's digits is at most 38.
    bool aligned;
    uint128 scaled;
    if ((hi->coef >> 64) == 0 && d < 20) {
        scaled = MulWide(static_cast<uint64>(hi->coef), kPow10Words.v[d]);
        aligned = scaled <= kMaxCoef;
    } else {
        aligned = d + Digits(hi->coef) <= kPrecision;
        scaled = aligned ? hi->coef * kPow10.v[d] : 0;
    }
    if (aligned) {
        uint128 big = scaled;
        uint128 small = lo->coef;
        if (hineg == loneg) {
            Finish(r, hineg, big + small, lo->exp, ctx, status);
        } else if (big >= small) {
            if (big == small) {
                FinishZero(r, ZeroSumSign(hineg, loneg, ctx), lo->exp, ctx, status);
                return;
            }
            Finish(r, hineg, big - small, lo->exp, ctx, status);
        } else {
            Finish(r, loneg, small - big, lo->exp, ctx, status);
        }
        return;
    }
    // Slow path: align in a wide magnitude. An operand entirely below the rounding digit
    // only decides the direction of rounding, so it is replaced by a unit far enough down.
    const int32 dhi = Digits(hi->coef);
    const int32 dlo = Digits(lo->coef);
    const int64 phi = hi->exp + dhi - 1;
    const int64 plo = lo->exp + dlo - 1;
    uint128 locoef = lo->coef;
    int64 loexp = lo->exp;
    if (plo <= phi - 41) {
        locoef = 1;
        loexp = phi - 41;
    }
    int32 shift = static_cast<int32>(hi->exp - loexp);
    Wide big(hi->coef);
    MulPow10(&big, shift);
    Wide small(locoef);
    if (hineg == loneg) {
        AddTo(&big, small);
        FinishWide(r, hineg, big, loexp, false, ctx, status);
        return;
    }
    int32 c = Compare(big, small);
    if (c == 0) {
        FinishZero(r, ZeroSumSign(hineg, loneg, ctx), loexp, ctx, status);
    } else if (c > 0) {
        SubFrom(&big, small);
        FinishWide(r, hineg, big, loexp, false, ctx, status);
    } else {
        SubFrom(&small, big);
        FinishWide(r, loneg, small, loexp, false, ctx, status);
    }
}

void AddSigned(Number* r, const Number& a, const Number& b, bool bneg, const Context& ctx,
               uint32* status) {
    if (a.kind != kFinite || b.kind != kFinite) {
        if (HandleNaNs(r, a, b, status)) return;
        if (a.kind == kInfinity) {
            if (b.kind == kInfinity && a.neg != bneg) {
                SetNaN(r, status, kInvalidOperation);
                return;
            }
            *r = MakeSpecial(kInfinity, a.neg);
            return;
        }
        *r = MakeSpecial(kInfinity, bneg);
        return;
    }
    AddFinite(r, a, a.neg, b, bneg, ctx, status);
}

}  // namespace

int32 Digits(uint128 v) {
    if (v == 0) return 1;
    int32 bits =
        128 - (static_cast<uint64>(v >> 64) ? __builtin_clzll(static_cast<uint64>(v >> 64))
                                            : 64 + __builtin_clzll(static_cast<uint64>(v)));
    int32 t = (bits * 1233) >> 12;
    return v >= kPow10.v[t] ? t + 1 : t;
}

uint128 Pow10(int32 k) {
    return kPow10.v[k];
}

void FinishLimbs(Number* r, bool neg, const uint64* limbs, int32 n, int64 exp, bool sticky,
                 const Context& ctx, uint32* status) {
    Wide w;
    for (int32 i = 0; i < n && i < Wide::kLimbs; ++i)
        w.l[i] = limbs[i];
    w.n = n < Wide::kLimbs ? n : Wide::kLimbs;
    w.Normalise();
    FinishWide(r, neg, w, exp, sticky, ctx, status);
}

bool HandleNaNs(Number* r, const Number& a, const Number& b, uint32* status) {
    if (a.kind == kSNaN || b.kind == kSNaN) {
        *r = a.kind == kSNaN ? a : b;
        r->kind = kNaN;
        *status |= kInvalidOperation;
        return true;
    }
    if (a.kind == kNaN || b.kind == kNaN) {
        *r = a.kind == kNaN ? a : b;
        return true;
    }
    return false;
}

bool HandleNaN(Number* r, const Number& a, uint32* status) {
    return HandleNaNs(r, a, a, status);
}

Number FromInt64(int64 v) {
    bool neg = v < 0;
    uint64 mag = neg ? 0 - static_cast<uint64>(v) : static_cast<uint64>(v);
    return MakeFinite(neg, mag, 0);
}

Number FromUInt64(uint64 v) {
    return MakeFinite(false, v, 0);
}

void Add(Number* r, const Number& a, const Number& b, const Context& ctx, uint32* status) {
    if (AddQuick(r, a, b, b.neg, ctx)) return;
    AddSigned(r, a, b, b.neg, ctx, status);
}

void Subtract(Number* r, const Number& a, const Number& b, const Context& ctx, uint32* status) {
    if (AddQuick(r, a, b, !b.neg, ctx)) return;
    AddSigned(r, a, b, !b.neg, ctx, status);
}

void Multiply(Number* r, const Number& a, const Number& b, const Context& ctx, uint32* status) {
    const bool neg = a.neg != b.neg;
    if (a.kind != kFinite || b.kind != kFinite) {
        if (HandleNaNs(r, a, b, status)) return;
        if (a.IsZero() || b.IsZero()) {
            SetNaN(r, status, kInvalidOperation);
            return;
        }
        *r = MakeSpecial(kInfinity, neg);
        return;
    }
    const int64 exp = a.exp + b.exp;
    const uint128 ca = a.coef, cb = b.coef;
    if ((ca >> 64) == 0 && (cb >> 64) == 0) {
        Finish(r, neg, ca * cb, exp, ctx, status);
        return;
    }
    Wide p;
    Mul(&p, Wide(ca), Wide(cb));
    FinishWide(r, neg, p, exp, false, ctx, status);
}

void Divide(Number* r, const Number& a, const Number& b, const Context& ctx, uint32* status) {
    const bool neg = a.neg != b.neg;
    if (a.kind != kFinite || b.kind != kFinite) {
        if (HandleNaNs(r, a, b, status)) return;
        if (a.kind == kInfinity) {
            if (b.kind == kInfinity) {
                SetNaN(r, status, kInvalidOperation);
                return;
            }
            *r = MakeSpecial(kInfinity, neg);
            return;
        }
        // finite / infinity
        *status |= kClamped;
        *r = MakeFinite(neg, 0, ctx.Etiny());
        return;
    }
    if (b.coef == 0) {
        if (a.coef == 0) {
            SetNaN(r, status, kDivisionUndefined);
            return;
        }
        *status |= kDivisionByZero;
        *r = MakeSpecial(kInfinity, neg);
        return;
    }
    const int64 ideal = a.exp - b.exp;
    if (a.coef == 0) {
        FinishZero(r, neg, ideal, ctx, status);
        return;
    }
    const uint128 ca = a.coef, cb = b.coef;
    if ((ca >> 64) == 0 && (cb >> 64) == 0 &&
        DivideSmall(r, neg, static_cast<uint64>(ca), static_cast<uint64>(cb), ideal, ctx, status))
        return;
    // Scale the dividend so that the quotient has at least kPrecision + 1 digits.
    int32 k = Digits(cb) - Digits(ca) + kPrecision + 1;
    if (k < 0) k = 0;
    uint128 qsmall = 0;
    bool exact;
    Wide q, rem;
    if (k <= 38 && (cb >> 64) == 0 && ca <= (~static_cast<uint128>(0)) / kPow10.v[k]) {
        // Everything fits in 128 bits.
        uint128 n = ca * kPow10.v[k];
        qsmall = n / cb;
        exact = n % cb == 0;
        q.Set(qsmall);
    } else {
        Wide n(ca);
        MulPow10(&n, k);
        DivMod(&q, &rem, n, Wide(cb));
        exact = rem.IsZero();
    }
    int64 exp = ideal - k;
    if (exact) {
        // An exact quotient keeps the exponent closest to the ideal one.
        while (exp < ideal && !q.FitsU128()) {
            Wide qq, rr;
            DivMod(&qq, &rr, q, WidePow10(1));
            if (!rr.IsZero()) break;
            q = qq;
            ++exp;
        }
        if (q.FitsU128()) {
            uint128 v = q.ToU128();
            while (exp < ideal && v % 10 == 0) {
                v /= 10;
                ++exp;
            }
            q.Set(v);
        }
    }
    FinishWide(r, neg, q, exp, !exact, ctx, status);
}

void Remainder(Number* r, const Number& a, const Number& b, const Context& ctx, uint32* status) {
    if (a.kind != kFinite || b.kind != kFinite) {
        if (HandleNaNs(r, a, b, status)) return;
        if (a.kind == kInfinity) {
            SetNaN(r, status, kInvalidOperation);
            return;
        }
        Finish(r, a.neg, a.coef, a.exp, ctx, status);
        return;
    }
    if (b.coef == 0) {
        SetNaN(r, status, a.coef == 0 ? kDivisionUndefined : kInvalidOperation);
        return;
    }
    const int64 e = a.exp < b.exp ? a.exp : b.exp;
    if (a.coef == 0) {
        FinishZero(r, a.neg, e, ctx, status);
        return;
    }
    const int32 da = Digits(a.coef), db = Digits(b.coef);
    const int64 adja = a.exp + da - 1, adjb = b.exp + db - 1;
    if (adja < adjb && a.exp <= b.exp) {
        // |a| < |b|: the integer quotient is 0 and the remainder is a.
        Finish(r, a.neg, a.coef, a.exp, ctx, status);
        return;
    }
    // The integer quotient has about adja - adjb + 1 digits.
    if (adja - adjb + 1 > kPrecision + 1) {
        SetNaN(r, status, kDivisionImpossible);
        return;
    }
    Wide A(a.coef), B(b.coef);
    if (a.exp > e) MulPow10(&A, static_cast<int32>(a.exp - e));
    if (b.exp > e) MulPow10(&B, static_cast<int32>(b.exp - e));
    Wide q, rem;
    DivMod(&q, &rem, A, B);
    if (!q.FitsU128() || q.ToU128() > kMaxCoef) {
        SetNaN(r, status, kDivisionImpossible);
        return;
    }
    FinishWide(r, a.neg, rem, e, false, ctx, status);
}

bool Compare(const Number& a, const Number& b, int32* result) {
    if (a.IsNaN() || b.IsNaN()) return false;
    if (a.kind == kInfinity || b.kind == kInfinity) {
        if (a.kind == kInfinity && b.kind == kInfinity)
            *result = a.neg == b.neg ? 0 : (a.neg ? -1 : 1);
        else if (a.kind == kInfinity)
            *result = a.neg ? -1 : 1;
        else
            *result = b.neg ? 1 : -1;
        return true;
    }
    const bool az = a.coef == 0, bz = b.coef == 0;
    if (az || bz) {
        if (az && bz) {
            *result = 0;
        } else if (az) {
            *result = b.neg ? 1 : -1;
        } else {
            *result = a.neg ? -1 : 1;
        }
        return true;
    }
    if (a.neg != b.neg) {
        *result = a.neg ? -1 : 1;
        return true;
    }
    const int32 da = Digits(a.coef), db = Digits(b.coef);
    const int64 adja = a.exp + da - 1, adjb = b.exp + db - 1;
    int32 mag;
    if (adja != adjb) {
        mag = adja < adjb ? -1 : 1;
    } else {
        // Same leading position: line the coefficients up on the same digit count.
        uint128 ca = a.coef, cb = b.coef;
        if (da < db)
            ca *= kPow10.v[db - da];
        else if (db < da)
            cb *= kPow10.v[da - db];
        mag = ca == cb ? 0 : (ca < cb ? -1 : 1);
    }
    *result = a.neg ? -mag : mag;
    return true;
}

void Reduce(Number* r, const Number& a, const Context& ctx, uint32* status) {
    if (a.kind != kFinite) {
        if (HandleNaN(r, a, status)) return;
        *r = a;
        return;
    }
    Number t;
    Finish(&t, a.neg, a.coef, a.exp, ctx, status);
    if (t.kind != kFinite) {
        *r = t;
        return;
    }
    if (t.coef == 0) {
        *r = MakeFinite(t.neg, 0, 0);
        return;
    }
    uint128 c = t.coef;
    int64 e = t.exp;
    // Strip in large steps first: most values carry few trailing zeros.
    while (c % kPow10.v[8] == 0) {
        c /= kPow10.v[8];
        e += 8;
    }
    while (c % 10 == 0) {
        c /= 10;
        ++e;
    }
    *r = MakeFinite(t.neg, c, e);
}

void Abs(Number* r, const Number& a, const Context& ctx, uint32* status) {
    if (a.kind != kFinite) {
        if (HandleNaN(r, a, status)) return;
        *r = MakeSpecial(kInfinity, false);
        return;
    }
    Finish(r, false, a.coef, a.exp, ctx, status);
}

void Minus(Number* r, const Number& a, const Context& ctx, uint32* status) {
    if (a.kind != kFinite) {
        if (HandleNaN(r, a, status)) return;
        *r = MakeSpecial(kInfinity, !a.neg);
        return;
    }
    // 0 - a: a zero gives +0 but under FLOOR, where +0 gives -0 (and -0 still +0).
    bool neg = a.coef == 0 ? !a.neg && ctx.round == kRoundFloor : !a.neg;
    Finish(r, neg, a.coef, a.exp, ctx, status);
}

void Rescale(Number* r, const Number& a, int64 exp, const Context& ctx, uint32* status) {
    if (a.kind != kFinite) {
        if (HandleNaN(r, a, status)) return;
        SetNaN(r, status, kInvalidOperation);
        return;
    }
    if (exp > ctx.emax || exp < ctx.Etiny()) {
        SetNaN(r, status, kInvalidOperation);
        return;
    }
    if (a.coef == 0) {
        *r = MakeFinite(a.neg, 0, exp);
        return;
    }
    const int32 da = Digits(a.coef);
    uint128 q;
    uint32 flags = 0;  // committed only when the result stands
    if (a.exp >= exp) {
        int64 up = a.exp - exp;
        if (up + da > kPrecision) {
            SetNaN(r, status, kInvalidOperation);
            return;
        }
        q = a.coef * kPow10.v[up];
    } else {
        int64 drop = exp - a.exp;
        int32 tail;
        if (drop > da) {
            q = 0;
            tail = kTailBelow;
        } else {
            uint128 p = kPow10.v[drop];
            q = a.coef / p;
            uint128 rem = a.coef % p;
            if (rem == 0)
                tail = kTailZero;
            else
                tail = 2 * rem < p ? kTailBelow : (2 * rem == p ? kTailHalf : kTailAbove);
        }
        flags |= kRounded;
        if (tail != kTailZero) flags |= kInexact;
        if (RoundsUp(ctx.round, a.neg, q & 1, tail)) ++q;
        if (q > kMaxCoef) {
            SetNaN(r, status, kInvalidOperation);
            return;
        }
    }
    if (q != 0 && exp + Digits(q) - 1 > ctx.emax) {
        SetNaN(r, status, kInvalidOperation);
        return;
    }
    // A subnormal result is reported, but rescaling never signals underflow.
    if (q != 0 && exp + Digits(q) - 1 < ctx.emin) flags |= kSubnormal;
    *status |= flags;
    *r = MakeFinite(a.neg, q, exp);
}

bool FloorToInt64(const Number& v, int32 scale, int64* out) {
    if (v.kind != kFinite) return false;
    if (v.coef == 0) {
        *out = 0;
        return true;
    }
    const int64 e = v.exp + scale;
    const int32 d = Digits(v.coef);
    uint128 mag;
    if (e >= 0) {
        if (e + d > 20) return false;
        mag = v.coef * kPow10.v[e];
    } else if (-e >= d) {
        mag = v.neg ? 1 : 0;
    } else {
        uint128 p = kPow10.v[-e];
        mag = v.coef / p;
        if (v.neg && v.coef % p != 0) ++mag;
    }
    if (v.neg) {
        if (mag > static_cast<uint128>(1) << 63) return false;
        *out = static_cast<int64>(0 - static_cast<uint64>(mag));
    } else {
        if (mag > static_cast<uint128>(INT64_MAX)) return false;
        *out = static_cast<int64>(mag);
    }
    return true;
}

}  // namespace decnum
