// correct_fixed.h: N-limb fixed-point arithmetic for the accurate phases, with the rounding test `decide`.
//
// Bounds, in units U = 2^-64N: mul truncates (abs < U); add, sub, accumulate
// and negate are exact (modulo the top limb); each 1/n! and each constant
// loaded is rounded down (abs < U). round_fixed rounds exactly once, to
// nearest, ties to even; decide gives round(v) only when every value within
// `bound` U of v has that rounding.
#pragma once

#include <bit>
#include <cstdint>

#include "math/correct_dd.h"
#include "math/correct_table.h"

namespace lv::cr_detail {

// ---------------------------------------------------------------------------
// Fixed point: limbs least significant first; a Frac<N> is a value in [0, 1)
// with 64 N fraction bits, a Wide<N> one with an integer limb on top (w[N]),
// two's complement where signed. The accurate phase works with N = 4 (256
// bits); the widest phase, which decides what the accurate one cannot, with
// N = 8 (512 bits). One code for both: every bound below is stated in units
// of 2^-64N, the same derivation at either width.

template <int N>
struct Frac {
    u64 w[N];
};
template <int N>
struct Wide {
    u64 w[N + 1];
};

// floor(a b 2^-64N): the full product, truncated. abs error < 2^-64N.
template <int N>
inline Frac<N> mul(const Frac<N> &a, const Frac<N> &b) {
    u64 p[2 * N] = {};
    for (int i = 0; i < N; ++i) {
        u64 carry = 0;
        for (int j = 0; j < N; ++j) {
            const u128 t = static_cast<u128>(a.w[i]) * b.w[j] + p[i + j] + carry;
            p[i + j] = static_cast<u64>(t);
            carry = static_cast<u64>(t >> 64);
        }
        p[i + N] = carry;
    }
    Frac<N> r;
    for (int i = 0; i < N; ++i) r.w[i] = p[N + i];
    return r;
}

// a + b and a - b, modulo 1 (the callers keep within [0, 1)).
template <int N>
inline Frac<N> add(const Frac<N> &a, const Frac<N> &b) {
    Frac<N> r;
    u64 carry = 0;
    for (int i = 0; i < N; ++i) {
        const u128 t = static_cast<u128>(a.w[i]) + b.w[i] + carry;
        r.w[i] = static_cast<u64>(t);
        carry = static_cast<u64>(t >> 64);
    }
    return r;
}
template <int N>
inline Frac<N> sub(const Frac<N> &a, const Frac<N> &b) {
    Frac<N> r;
    u64 borrow = 0;
    for (int i = 0; i < N; ++i) {
        const u64 d = a.w[i] - b.w[i];
        r.w[i] = d - borrow;
        borrow = static_cast<u64>(a.w[i] < b.w[i]) | static_cast<u64>(d < borrow);
    }
    return r;
}

// a += b (b a fraction, negated first when `minus`), modulo 2^64 in the integer limb.
template <int N>
inline void accumulate(Wide<N> &a, const Frac<N> &b, bool minus) {
    u64 carry = 0;
    if (!minus) {
        for (int i = 0; i < N; ++i) {
            const u128 t = static_cast<u128>(a.w[i]) + b.w[i] + carry;
            a.w[i] = static_cast<u64>(t);
            carry = static_cast<u64>(t >> 64);
        }
        a.w[N] += carry;
    } else {
        for (int i = 0; i < N; ++i) {
            const u64 d = a.w[i] - b.w[i];
            const u64 borrow = static_cast<u64>(a.w[i] < b.w[i]) | static_cast<u64>(d < carry);
            a.w[i] = d - carry;
            carry = borrow;
        }
        a.w[N] -= carry;
    }
}

inline void negate(u64 *w, int n) {
    u64 carry = 1;
    for (int i = 0; i < n; ++i) {
        const u64 v = ~w[i] + carry;
        carry = static_cast<u64>(carry != 0 && v == 0);
        w[i] = v;
    }
}

// The `count` (<= 64) bits of w (n limbs, zero past them) from bit `pos` on.
inline u64 bits_at(const u64 *w, int n, int pos, int count) {
    const int limb = pos >> 6, shift = pos & 63;
    const u64 lo = limb < n ? w[limb] : 0;
    const u64 hi = limb + 1 < n ? w[limb + 1] : 0;
    const u64 v = shift == 0 ? lo : (lo >> shift) | (hi << (64 - shift));
    return count == 64 ? v : v & ((u64{1} << count) - 1);
}

// The double nearest w 2^scale (w of n limbs, nonzero), ties to even,
// subnormal results rounded once at their own precision, overflow to +inf.
double round_fixed(const u64 *w, int n, int scale);

// round(v 2^scale) for a signed v, negated when `flip`.
template <int N>
double round_signed(Wide<N> v, int scale, bool flip) {
    if ((v.w[N] >> 63) != 0) {
        negate(v.w, N + 1);
        flip = !flip;
    }
    bool zero = true;
    for (const u64 w : v.w) zero = zero && w == 0;
    const double r = zero ? 0.0 : round_fixed(v.w, N + 1, scale);
    return flip ? -r : r;
}

// The rounding test of the fixed-point phases. v (a Wide<N>, two's
// complement) lies within `bound` units of 2^-64N of the exact value; the
// result is round(v 2^scale), negated when `flip`. Rounding is monotonic, so
// when v - bound and v + bound round to the same double (with one sign, and
// neither zero), so does every value between them, the exact one included.
// False when they part: the exact value may lie on either side of a midpoint.
template <int N>
bool decide(const Wide<N> &v, u64 bound, int scale, bool flip, double &out) {
    Wide<N> lo = v, hi = v;
    Frac<N> e = {};
    e.w[0] = bound;
    accumulate(lo, e, true);
    accumulate(hi, e, false);
    const bool negative = (lo.w[N] >> 63) != 0;
    if (negative != ((hi.w[N] >> 63) != 0)) return false;
    if (negative) {
        negate(lo.w, N + 1);
        negate(hi.w, N + 1);
        flip = !flip;
    }
    const auto zero = [](const Wide<N> &a) {
        for (const u64 w : a.w)
            if (w != 0) return false;
        return true;
    };
    if (zero(lo) || zero(hi)) return false;
    const double a = round_fixed(lo.w, N + 1, scale), b = round_fixed(hi.w, N + 1, scale);
    if (std::bit_cast<u64>(a) != std::bit_cast<u64>(b)) return false;
    out = flip ? -a : a;
    return true;
}

// floor(2^64N / n!) for n = 0..45, n! > 1 (n >= 2) only being used.
template <int N>
struct Factorials {
    Frac<N> inv[46];
};
template <int N>
constexpr Factorials<N> make_factorials() {
    Factorials<N> f{};
    // 2^64N / 1! as N + 1 limbs, then divided by 2, 3, ...: floor(floor(a/b)/c) = floor(a/(bc)).
    u64 v[N + 1] = {};
    v[N] = 1;
    for (int n = 2; n < 46; ++n) {
        u128 rem = 0;
        for (int i = N; i >= 0; --i) {
            const u128 cur = (rem << 64) | v[i];
            v[i] = static_cast<u64>(cur / static_cast<unsigned>(n));
            rem = cur % static_cast<unsigned>(n);
        }
        for (int i = 0; i < N; ++i) f.inv[n].w[i] = v[i];
    }
    return f;
}
template <int N>
constexpr Factorials<N> kFactorials = make_factorials<N>();

// The leading N limbs of a 512-bit constant, itself rounded down: floor to
// 64 N bits of floor to 512 bits is floor to 64 N bits.
template <int N>
Frac<N> load(const uint64_t (&w)[cr_data::kFixedLimbs]) {
    Frac<N> f;
    for (int i = 0; i < N; ++i) f.w[i] = w[cr_data::kFixedLimbs - N + i];
    return f;
}

}  // namespace lv::cr_detail
