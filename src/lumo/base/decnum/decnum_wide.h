// Fixed-size multi-word magnitudes for the exact intermediates of the decimal engine
// (products, aligned sums, scaled dividends). Lives on the stack; the word arithmetic is
// GMP's low-level layer, which allocates nothing at these sizes.
#pragma once

#include <gmp.h>

#include "lumo/base/decnum/decnum.h"

namespace decnum {

static_assert(sizeof(mp_limb_t) == 8, "64-bit words expected");

// Magnitude of up to kLimbs words, normalised so that the top used word is nonzero.
struct Wide {
    static constexpr int32 kLimbs = 8;
    mp_limb_t l[kLimbs + 1];
    int32 n;

    Wide() : n(0) {}
    explicit Wide(uint128 v) { Set(v); }
    void Set(uint128 v) {
        l[0] = static_cast<uint64>(v);
        l[1] = static_cast<uint64>(v >> 64);
        n = l[1] ? 2 : (l[0] ? 1 : 0);
    }
    void Normalise() {
        while (n > 0 && l[n - 1] == 0)
            --n;
    }
    bool IsZero() const { return n == 0; }
    bool FitsU128() const { return n <= 2; }
    uint128 ToU128() const {
        if (n == 0) return 0;
        if (n == 1) return l[0];
        return (static_cast<uint128>(l[1]) << 64) | l[0];
    }
    int32 Bits() const { return n == 0 ? 0 : 64 * (n - 1) + (64 - __builtin_clzll(l[n - 1])); }
};

// 10^k as a magnitude, 0 <= k < kWidePow10Count.
constexpr int32 kWidePow10Count = 150;
const Wide& WidePow10(int32 k);

int32 Compare(const Wide& a, const Wide& b);
int32 Digits(const Wide& w);
void MulSmall(Wide* w, uint64 m);
void MulPow10(Wide* w, int32 k);
void AddTo(Wide* a, const Wide& b);
// a -= b, with a >= b.
void SubFrom(Wide* a, const Wide& b);
void Mul(Wide* r, const Wide& a, const Wide& b);
// q = a / b, rem = a % b, b nonzero.
void DivMod(Wide* q, Wide* rem, const Wide& a, const Wide& b);

}  // namespace decnum
