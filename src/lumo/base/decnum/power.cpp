// Power of the decimal engine. Integer exponents whose exact result stays small are
// computed exactly with GMP and rounded once. A fractional exponent whose result is a
// terminating decimal is recognised and that exact result rounded once; every other
// case goes through 10^(y * log10 x) evaluated with MPFR far beyond the precision,
// then rounded once, so the result is correctly rounded except for values
// astronomically close to a tie (an inexact result is never exactly on one).
#include <cstdint>

#include <gmp.h>
#include <mpfr.h>

#include "lumo/base/decnum/decnum.h"
#include "lumo/base/decnum/decnum_wide.h"

namespace decnum {

namespace {

// Working precision of the logarithmic path, in bits.
constexpr mpfr_prec_t kWorkBits = 448;

struct Mpz {
    mpz_t v;
    Mpz() { mpz_init(v); }
    ~Mpz() { mpz_clear(v); }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
};

struct Mpfr {
    mpfr_t v;
    Mpfr() { mpfr_init2(v, kWorkBits); }
    ~Mpfr() { mpfr_clear(v); }
    Mpfr(const Mpfr&) = delete;
    Mpfr& operator=(const Mpfr&) = delete;
};

void SetMpz(mpz_t z, uint128 v) {
    mpz_set_ui(z, static_cast<unsigned long>(v >> 64));
    mpz_mul_2exp(z, z, 64);
    mpz_add_ui(z, z, static_cast<unsigned long>(static_cast<uint64>(v)));
}

// Rounds the exact value z * 10^exp (with a nonzero tail when sticky) into r.
void FinishMpz(Number* r, bool neg, mpz_t z, __int128 exp, bool sticky, const Context& ctx,
               uint32* status) {
    // Cut very long magnitudes down to 60 digits plus a sticky tail first; the final
    // rounding then happens once, on the cut value.
    size_t digits = mpz_sizeinbase(z, 10);
    if (digits > 60) {
        size_t cut = digits - 60;
        Mpz p, rem;
        mpz_ui_pow_ui(p.v, 10, cut);
        mpz_tdiv_qr(z, rem.v, z, p.v);
        if (mpz_sgn(rem.v) != 0) sticky = true;
        exp += static_cast<__int128>(cut);
        // The cut itself drops digits.
        *status |= kRounded;
    }
    uint64 limbs[Wide::kLimbs] = {};
    size_t count = 0;
    mpz_export(limbs, &count, -1, sizeof(uint64), 0, 0, z);
    FinishLimbs(r, neg, limbs, static_cast<int32>(count), ClampExp(exp), sticky, ctx, status);
}

bool IsIntegral(const Number& y) {
    if (y.coef == 0 || y.exp >= 0) return true;
    if (-y.exp > kPrecision) return false;
    return y.coef % Pow10(static_cast<int32>(-y.exp)) == 0;
}

bool IsOddIntegral(const Number& y) {
    if (y.exp > 0) return false;
    if (y.exp == 0) return (y.coef & 1) != 0;
    if (-y.exp > kPrecision) return false;
    return ((y.coef / Pow10(static_cast<int32>(-y.exp))) & 1) != 0;
}

void SetMpfrU128(mpfr_t f, uint128 v) {
    mpfr_set_ui(f, static_cast<unsigned long>(v >> 64), MPFR_RNDN);
    mpfr_mul_2ui(f, f, 64, MPFR_RNDN);
    mpfr_add_ui(f, f, static_cast<unsigned long>(static_cast<uint64>(v)), MPFR_RNDN);
}

// |x|^y with y not small enough for the exact path: 10^(y * log10|x|).
void PowerByLog(Number* r, bool neg, const Number& x, const Number& y, const Context& ctx,
                uint32* status) {
    *status |= kInexact | kRounded;
    const int64 adjy = y.exp + Digits(y.coef) - 1;
    // |x| == 1 gives exactly 0 for the logarithm.
    bool unit = false;
    {
        uint128 c = x.coef;
        int64 e = x.exp;
        while (c % 10 == 0) {
            c /= 10;
            ++e;
        }
        unit = c == 1 && e == 0;
    }
    Mpfr lx, my, L, t;
    if (!unit) {
        SetMpfrU128(lx.v, x.coef);
        mpfr_log10(lx.v, lx.v, MPFR_RNDN);
        mpfr_add_si(lx.v, lx.v, static_cast<long>(x.exp), MPFR_RNDN);
    } else {
        mpfr_set_zero(lx.v, 1);
    }
    if (!unit && adjy > 60) {
        // |y * log10|x|| exceeds 10^21: far outside every exponent limit.
        bool grows = (mpfr_sgn(lx.v) > 0) != y.neg;
        Wide w(1);
        FinishLimbs(r, neg, w.l, w.n, grows ? kExpSaturation : -kExpSaturation, false, ctx, status);
        return;
    }
    // y exactly (a tiny y only matters through its sign at this precision).
    int64 ye = y.exp;
    if (ye < -200) ye = -200;
    SetMpfrU128(my.v, y.coef);
    if (ye > 0) {
        mpfr_ui_pow_ui(t.v, 10, static_cast<unsigned long>(ye), MPFR_RNDN);
        mpfr_mul(my.v, my.v, t.v, MPFR_RNDN);
    } else if (ye < 0) {
        mpfr_ui_pow_ui(t.v, 10, static_cast<unsigned long>(-ye), MPFR_RNDN);
        mpfr_div(my.v, my.v, t.v, MPFR_RNDN);
    }
    if (y.neg) mpfr_neg(my.v, my.v, MPFR_RNDN);
    mpfr_mul(L.v, my.v, lx.v, MPFR_RNDN);

    Mpfr n, f;
    mpfr_floor(n.v, L.v);
    if (mpfr_cmp_si(n.v, -kExpSaturation) < 0 || mpfr_cmp_si(n.v, kExpSaturation) > 0) {
        Wide w(1);
        FinishLimbs(r, neg, w.l, w.n, mpfr_sgn(n.v) > 0 ? kExpSaturation : -kExpSaturation, false,
                    ctx, status);
        return;
    }
    const int64 whole = static_cast<int64>(mpfr_get_si(n.v, MPFR_RNDN));
    mpfr_sub(f.v, L.v, n.v, MPFR_RNDN);
    // 10^(f + 40): 41 digits before the point, three beyond the precision.
    constexpr int32 kGuard = 40;
    mpfr_add_ui(f.v, f.v, kGuard, MPFR_RNDN);
    mpfr_exp10(t.v, f.v, MPFR_RNDN);
    Mpz m;
    mpfr_get_z(m.v, t.v, MPFR_RNDD);
    FinishMpz(r, neg, m.v, static_cast<__int128>(whole) - kGuard, true, ctx, status);
}

size_t ExactDigits(const mpz_t z) {
    size_t d = mpz_sizeinbase(z, 10);
    if (d > 1) {
        Mpz p;
        mpz_ui_pow_ui(p.v, 10, d - 1);
        if (mpz_cmpabs(z, p.v) < 0) --d;
    }
    return d;
}

// Largest exact result of a fractional exponent worked out digit for digit, in bits.
// Larger ones have far more than 39 digits, the last of them not 0, so they are
// neither on a rounding boundary nor on a tie, and the logarithmic path rounds them.
constexpr uint64 kMaxExactBits = 1u << 16;

// Count of the factor f (2 or 5) in v, at most `limit`.
int64 FactorCount(uint128 v, uint32 f, int64 limit) {
    int64 n = 0;
    while (n < limit && v != 0 && v % f == 0) {
        v /= f;
        ++n;
    }
    return n;
}

// x^y for a positive finite x and a non-integral y, when it is a terminating decimal.
// With y = p/q in lowest terms (q > 1, a product of 2s and 5s) and x = c * 10^e where
// c has no trailing zero, x^y terminates exactly when c = w^q and q divides e; it is
// then w^p * 10^(p*e/q). That value is worked out and rounded once, so results on a
// tie or on a rounding boundary (4^0.5, 1^12.3) come out right in every rounding mode.
// Like the logarithmic path, it reports the result as inexact and rounded, and pads
// it to the full precision. False when the result does not terminate.
bool PowerExact(Number* r, const Number& x, const Number& y, const Context& ctx, uint32* status) {
    uint128 c = x.coef;
    int64 e = x.exp;
    while (c % 10 == 0) {
        c /= 10;
        ++e;
    }
    const int64 k = -y.exp;  // y is not integral, so its exponent is negative
    const int64 twos = FactorCount(y.coef, 2, k), fives = FactorCount(y.coef, 5, k);
    const int64 q2 = k - twos, q5 = k - fives;
    uint128 p = y.coef;
    for (int64 i = 0; i < twos; ++i)
        p /= 2;
    for (int64 i = 0; i < fives; ++i)
        p /= 5;

    // q must divide e (|e| < 2^63) and, unless c is 1, c must be a q-th power (c < 2^127).
    if (q2 > 126 || q5 > 54) {
        if (c != 1 || e != 0) return false;
    }
    Mpz q, w;
    if (q2 <= 126 && q5 <= 54) {
        mpz_ui_pow_ui(q.v, 5, static_cast<unsigned long>(q5));
        mpz_mul_2exp(q.v, q.v, static_cast<mp_bitcnt_t>(q2));
    }
    int64 eq = 0;  // e / q
    if (e != 0) {
        Mpz ez;
        mpz_set_si(ez.v, static_cast<long>(e));
        if (!mpz_divisible_p(ez.v, q.v)) return false;
        mpz_divexact(ez.v, ez.v, q.v);
        eq = static_cast<int64>(mpz_get_si(ez.v));
    }
    if (c == 1) {
        mpz_set_ui(w.v, 1);
    } else {
        if (mpz_cmp_ui(q.v, 126) > 0) return false;
        SetMpz(w.v, c);
        if (!mpz_root(w.v, w.v, mpz_get_ui(q.v))) return false;
    }

    // Exponent of the result: p * e / q, negated with y; beyond every limit it saturates.
    // Below 2^63 both factors keep the product within 2^126.
    __int128 exp = 0;
    if (eq != 0 && p > static_cast<uint128>(INT64_MAX))
        exp = static_cast<__int128>(kExpSaturation) * ((eq < 0) != y.neg ? -2 : 2);
    else if (eq != 0)
        exp = static_cast<__int128>(eq) * static_cast<__int128>(p) * (y.neg ? -1 : 1);

    Mpz z;
    if (mpz_cmp_ui(w.v, 1) == 0) {
        mpz_set_ui(z.v, 1);
    } else {
        const uint64 bits = mpz_sizeinbase(w.v, 2);
        if (p > kMaxExactBits || static_cast<uint64>(p) * bits > kMaxExactBits) return false;
        const unsigned long n = static_cast<unsigned long>(p);
        if (!y.neg) {
            mpz_pow_ui(z.v, w.v, n);
        } else {
            // 1 / w^p terminates only for w = 2^a * 5^b: it is 5^(a*p) * 2^(b*p) / 10^((a+b)*p).
            const mp_bitcnt_t a = mpz_scan1(w.v, 0);
            Mpz rest;
            mpz_tdiv_q_2exp(rest.v, w.v, a);
            unsigned long b = 0;
            while (mpz_divisible_ui_p(rest.v, 5)) {
                mpz_divexact_ui(rest.v, rest.v, 5);
                ++b;
            }
            if (mpz_cmp_ui(rest.v, 1) != 0) return false;
            mpz_ui_pow_ui(z.v, 5, a * n);
            mpz_mul_2exp(z.v, z.v, static_cast<mp_bitcnt_t>(b * n));
            exp -= static_cast<__int128>(a + b) * n;
        }
    }
    const size_t digits = ExactDigits(z.v);
    if (digits < static_cast<size_t>(kPrecision)) {
        Mpz scale;
        mpz_ui_pow_ui(scale.v, 10, kPrecision - digits);
        mpz_mul(z.v, z.v, scale.v);
        exp -= static_cast<__int128>(kPrecision - digits);
    }
    FinishMpz(r, false, z.v, exp, false, ctx, status);
    *status |= kInexact | kRounded;
    return true;
}

// A working value of the squaring path: c * 10^e, rounded to a working precision.
struct Work {
    Mpz c;
    __int128 e = 0;
};

// Rounds w to `prec` digits, half to even; sticky marks a nonzero tail below w.
void RoundWork(Work* w, size_t prec, bool sticky, uint32* status) {
    size_t d = ExactDigits(w->c.v);
    if (d <= prec) {
        if (sticky) *status |= kInexact | kRounded;
        return;
    }
    size_t drop = d - prec;
    Mpz p, rem;
    mpz_ui_pow_ui(p.v, 10, drop);
    mpz_tdiv_qr(w->c.v, rem.v, w->c.v, p.v);
    *status |= kRounded;
    if (mpz_sgn(rem.v) != 0 || sticky) *status |= kInexact;
    mpz_mul_2exp(rem.v, rem.v, 1);
    int c = mpz_cmp(rem.v, p.v);
    if (c > 0 || (c == 0 && (sticky || mpz_odd_p(w->c.v)))) {
        mpz_add_ui(w->c.v, w->c.v, 1);
        if (ExactDigits(w->c.v) > prec) {
            mpz_divexact_ui(w->c.v, w->c.v, 10);
            ++drop;
        }
    }
    w->e += static_cast<__int128>(drop);
}

void MulWork(Work* r, const Work& a, const Work& b, size_t prec, uint32* status) {
    mpz_mul(r->c.v, a.c.v, b.c.v);
    r->e = a.e + b.e;
    RoundWork(r, prec, false, status);
}

// x^n for an integer n by squaring from the top bit down, each step rounded to a
// working precision a few digits above the context's; a negative n raises the
// reciprocal of x. The result then takes the context's rounding.
void PowerBySquaring(Number* r, bool neg, const Number& x, uint64 n, bool negative,
                     const Context& ctx, uint32* status) {
    int32 ndigits = 0;
    for (uint64 v = n; v; v /= 10)
        ++ndigits;
    const size_t prec = static_cast<size_t>(kPrecision + ndigits + (negative ? 3 : 2));
    uint32 work = 0;
    Work base;
    SetMpz(base.c.v, x.coef);
    base.e = x.exp;
    if (negative) {
        // 1 / x, exact when it terminates (then as near the ideal exponent -e as it gets).
        const size_t k = ExactDigits(base.c.v) + prec;
        Mpz q, rem;
        mpz_ui_pow_ui(q.v, 10, k);
        mpz_tdiv_qr(q.v, rem.v, q.v, base.c.v);
        __int128 exp = -static_cast<__int128>(k) - base.e;
        const __int128 ideal = -base.e;
        const bool exact = mpz_sgn(rem.v) == 0;
        if (exact) {
            while (exp < ideal && mpz_divisible_ui_p(q.v, 10)) {
                mpz_divexact_ui(q.v, q.v, 10);
                ++exp;
            }
        }
        mpz_swap(base.c.v, q.v);
        base.e = exp;
        RoundWork(&base, prec, !exact, &work);
    }
    Work acc, tmp;
    mpz_set_ui(acc.c.v, 1);
    for (int32 bit = 63 - __builtin_clzll(n); bit >= 0; --bit) {
        MulWork(&tmp, acc, acc, prec, &work);
        if ((n >> bit) & 1) {
            MulWork(&acc, tmp, base, prec, &work);
        } else {
            mpz_swap(acc.c.v, tmp.c.v);
            acc.e = tmp.e;
        }
    }
    *status |= work & (kInexact | kRounded);
    FinishMpz(r, neg, acc.c.v, acc.e, false, ctx, status);
}

}  // namespace

void Power(Number* r, const Number& x, const Number& y, const Context& ctx, uint32* status) {
    if (HandleNaNs(r, x, y, status)) return;
    if (y.IsZero()) {
        if (x.IsZero()) {
            *r = MakeSpecial(kNaN, false);
            *status |= kInvalidOperation;
        } else {
            *r = MakeFinite(false, 1, 0);
        }
        return;
    }
    const bool yInt = y.kind == kFinite && IsIntegral(y);
    const bool neg = x.neg && yInt && IsOddIntegral(y);
    if (x.IsZero()) {
        if (y.neg)
            *r = MakeSpecial(kInfinity, neg);
        else
            *r = MakeFinite(neg, 0, 0);
        return;
    }
    if (x.neg && !yInt) {
        *r = MakeSpecial(kNaN, false);
        *status |= kInvalidOperation;
        return;
    }
    if (x.kind == kInfinity) {
        if (y.neg)
            *r = MakeFinite(neg, 0, 0);
        else
            *r = MakeSpecial(kInfinity, neg);
        return;
    }
    if (y.kind == kInfinity) {
        int32 c = 0;
        Number one = MakeFinite(false, 1, 0);
        Compare(x, one, &c);
        if (c == 0) {
            *status |= kInexact | kRounded;
            *r = MakeFinite(false, Pow10(kPrecision - 1), -(kPrecision - 1));
        } else if ((c < 0) != y.neg) {
            *r = MakeFinite(false, 0, 0);
        } else {
            *r = MakeSpecial(kInfinity, false);
        }
        return;
    }
    if (!yInt) {
        if (!PowerExact(r, x, y, ctx, status)) PowerByLog(r, false, x, y, ctx, status);
        return;
    }

    // Integer exponent: x = c0 * 10^t * 10^e with c0 free of trailing zeros.
    uint128 c0 = x.coef;
    int64 t = 0;
    while (c0 % 10 == 0) {
        c0 /= 10;
        ++t;
    }
    const int64 e = x.exp;
    const int64 adjy = y.exp + Digits(y.coef) - 1;
    uint128 nbig = y.coef;
    if (y.exp > 0) {
        nbig = adjy < 38 ? y.coef * Pow10(static_cast<int32>(y.exp)) : ~static_cast<uint128>(0);
    } else if (y.exp < 0) {
        nbig = y.coef / Pow10(static_cast<int32>(-y.exp));
    }
    if (c0 == 1 && e + t == 0) {
        // |x| == 1: exact whatever the exponent, up to the limits.
        const bool big = adjy >= 19;
        const __int128 n = big ? static_cast<__int128>(INT64_MAX) : static_cast<__int128>(nbig);
        __int128 valueExp = static_cast<__int128>(e + t) * n;
        if (!y.neg) {
            __int128 tn = static_cast<__int128>(t) * n;
            if (tn + 1 <= kPrecision) {
                Number v = MakeFinite(neg, Pow10(static_cast<int32>(tn)), ClampExp(e * n));
                Wide w(v.coef);
                FinishLimbs(r, neg, w.l, w.n, v.exp, false, ctx, status);
            } else {
                *status |= kRounded;
                Wide w(Pow10(kPrecision - 1));
                FinishLimbs(r, neg, w.l, w.n, ClampExp(valueExp - (kPrecision - 1)), false, ctx,
                            status);
            }
        } else {
            Wide w(1);
            FinishLimbs(r, neg, w.l, w.n, ClampExp(-valueExp), false, ctx, status);
        }
        return;
    }
    const bool hugeN = adjy >= 19 && !(adjy == 19 && nbig <= UINT64_MAX);
    if (hugeN || nbig > UINT64_MAX) {
        // |x| != 1 and |n| >= 10^19: far outside every exponent limit.
        Number ax = x;
        ax.neg = false;
        PowerByLog(r, neg, ax, y, ctx, status);
        return;
    }
    PowerBySquaring(r, neg, x, static_cast<uint64>(nbig), y.neg, ctx, status);
}

}  // namespace decnum
