// Multi-word magnitude helpers of the decimal engine.
#include "lumo/base/decnum/decnum_wide.h"

#include <array>

namespace decnum {

namespace {

struct Pow10Table {
    std::array<Wide, kWidePow10Count> v;
    Pow10Table() {
        v[0].Set(1);
        for (int32 k = 1; k < kWidePow10Count; ++k) {
            v[k] = v[k - 1];
            MulSmall(&v[k], 10);
        }
    }
};

const Pow10Table& Table() {
    static const Pow10Table table;
    return table;
}

// Forces the table into being during static initialisation, so that first use from
// several threads at once never races on it.
const Pow10Table& sTable = Table();

}  // namespace

const Wide& WidePow10(int32 k) {
    return Table().v[k];
}

int32 Compare(const Wide& a, const Wide& b) {
    if (a.n != b.n) return a.n < b.n ? -1 : 1;
    if (a.n == 0) return 0;
    int c = mpn_cmp(a.l, b.l, a.n);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int32 Digits(const Wide& w) {
    if (w.n <= 2) return Digits(w.ToU128());
    int32 t = static_cast<int32>((static_cast<int64>(w.Bits()) * 1233) >> 12);
    return Compare(w, WidePow10(t)) >= 0 ? t + 1 : t;
}

void MulSmall(Wide* w, uint64 m) {
    if (w->n == 0) return;
    mp_limb_t carry = mpn_mul_1(w->l, w->l, w->n, m);
    if (carry) w->l[w->n++] = carry;
}

void MulPow10(Wide* w, int32 k) {
    static constexpr uint64 kTen19 = 10000000000000000000ULL;
    while (k >= 19) {
        MulSmall(w, kTen19);
        k -= 19;
    }
    if (k > 0) MulSmall(w, static_cast<uint64>(Pow10(k)));
}

void AddTo(Wide* a, const Wide& b) {
    if (b.n == 0) return;
    if (a->n == 0) {
        *a = b;
        return;
    }
    mp_limb_t carry;
    if (a->n >= b.n) {
        carry = mpn_add(a->l, a->l, a->n, b.l, b.n);
    } else {
        Wide t = *a;
        carry = mpn_add(a->l, b.l, b.n, t.l, t.n);
        a->n = b.n;
    }
    if (carry) a->l[a->n++] = carry;
}

void SubFrom(Wide* a, const Wide& b) {
    if (b.n == 0) return;
    mpn_sub(a->l, a->l, a->n, b.l, b.n);
    a->Normalise();
}

void Mul(Wide* r, const Wide& a, const Wide& b) {
    if (a.n == 0 || b.n == 0) {
        r->n = 0;
        return;
    }
    if (a.n >= b.n)
        mpn_mul(r->l, a.l, a.n, b.l, b.n);
    else
        mpn_mul(r->l, b.l, b.n, a.l, a.n);
    r->n = a.n + b.n;
    r->Normalise();
}

void DivMod(Wide* q, Wide* rem, const Wide& a, const Wide& b) {
    if (Compare(a, b) < 0) {
        q->n = 0;
        *rem = a;
        return;
    }
    if (b.n == 1) {
        rem->l[0] = mpn_divrem_1(q->l, 0, a.l, a.n, b.l[0]);
        rem->n = 1;
        q->n = a.n;
    } else {
        mpn_tdiv_qr(q->l, rem->l, 0, a.l, a.n, b.l, b.n);
        q->n = a.n - b.n + 1;
        rem->n = b.n;
    }
    q->Normalise();
    rem->Normalise();
}

}  // namespace decnum
