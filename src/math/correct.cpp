// correct.cpp: correctly rounded sin, cos and exp: a double-double phase with Ziv's test, then a multi-word one.
//
// Error bounds are written beside each step as |computed - exact|; "abs" is
// an absolute bound, "rel" one relative to the exact result. ulp and
// rounding errors of a double operation are bounded by 2^-53 of its result.
#include "math/correct.h"

#include <bit>
#include <cstdint>

#include "math/correct_internal.h"
#include "math/correct_table.h"
#include "math/sincos8_table.h"

// The two-sums, two-products and Veltkamp splits below are exact only as
// written: no reassociation and no contraction into fused multiply-adds (the
// build gives -ffp-contract=off to every file).
#ifdef __FAST_MATH__
#error "the correctly rounded functions need IEEE arithmetic as written: build without -ffast-math"
#endif

namespace lv {
namespace {

using u64 = uint64_t;
// GCC and clang's 128-bit integers; __extension__ keeps -Wpedantic quiet.
__extension__ typedef unsigned __int128 u128;

// ---------------------------------------------------------------------------
// Double-double pieces. No fused multiply-add: a CPU without one gives the
// same bits at the same speed.

struct DD {
    double hi, lo;
};

// hi + lo = a + b exactly, in any order of magnitude (Knuth).
inline DD two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// hi + lo = a + b exactly when |a| >= |b| or a = 0 (Dekker).
inline DD fast_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// a = hi + lo with 26 and 27 significant bits (Veltkamp).
inline void split(double a, double &hi, double &lo) {
    const double c = 0x1.0000002p27 * a;
    hi = c - (c - a);
    lo = a - hi;
}

// hi + lo = a b exactly (Dekker), for products far from overflow and underflow.
inline DD two_prod(double a, double b) {
    const double p = a * b;
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    return {p, (((ah * bh - p) + ah * bl) + al * bh) + al * bl};
}

// Ziv's test. v lies within e of h + l, |l| <= 2^-52 |h|, and e >= 2^-80 |h|.
// l - e and l + e, rounded, stay on their sides of l -+ e' for e' = e (1 -
// 2^-25) (their rounding errors are at most 2^-53 (|l| + e) < 2^-25 e), so
// h + (l - e) <= v <= h + (l + e) holds for the exact sums once e carries a
// factor 1 + 2^-24 of margin; rounding is monotonic, so when the two rounded
// sums agree, that double is round(v).
inline bool rounds_to(double h, double l, double e, double &out) {
    const double a = h + (l - e);
    const double b = h + (l + e);
    if (a != b) return false;
    out = a;
    return true;
}

inline double abs_of(double v) { return std::bit_cast<double>(std::bit_cast<u64>(v) & ~(u64{1} << 63)); }

// 2^k as a double, -1074 <= k <= 1023.
inline double pow2(int k) {
    if (k >= -1022) return std::bit_cast<double>(static_cast<u64>(k + 1023) << 52);
    return std::bit_cast<double>(u64{1} << (k + 1074));
}

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
double round_fixed(const u64 *w, int n, int scale) {
    int top = n - 1;
    while (w[top] == 0) --top;
    const int msb = top * 64 + 63 - std::countl_zero(w[top]);
    const int exponent = msb + scale;  // the value lies in [2^exponent, 2^(exponent + 1))
    const int unit = exponent - 52 > -1074 ? exponent - 52 : -1074;
    const int lsb = unit - scale;  // the result's last place, as a bit of w
    u64 m;
    if (lsb <= 0) {
        m = bits_at(w, n, 0, msb + 1) << -lsb;  // exact
    } else {
        // Below half the least subnormal the count is not positive: m = 0.
        m = msb >= lsb ? bits_at(w, n, lsb, msb - lsb + 1) : 0;
        const bool half = bits_at(w, n, lsb - 1, 1) != 0;
        bool sticky = false;
        for (int i = 0; i < n && !sticky; ++i) {
            const int from = i * 64;
            if (from >= lsb - 1) break;
            const int count = lsb - 1 - from < 64 ? lsb - 1 - from : 64;
            sticky = bits_at(w, n, from, count) != 0;
        }
        if (half && (sticky || (m & 1) != 0)) ++m;
    }
    // m <= 2^53 is exact as a double, and so is the product unless it overflows.
    return static_cast<double>(m) * pow2(unit);
}


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

// The series' lengths and the phases' bounds at each width (see the
// derivations at sincos_fixed and exp_fixed).
template <int N>
struct Width;
template <>
struct Width<4> {
    static constexpr int kSinTop = 21, kCosTop = 22, kExpTop = 19;
};
template <>
struct Width<8> {
    static constexpr int kSinTop = 41, kCosTop = 42, kExpTop = 36;
};
// abs error of the sine and cosine before rounding: < 2^5 units of 2^-64N.
constexpr u64 kSinCosBound = 32;
// abs error of exp(r) in [1, 2) before the scaling by 2^n: < 2^14 units.
constexpr u64 kExpBound = u64{1} << 14;

// ---------------------------------------------------------------------------
// The accurate sine and cosine.
//
// Payne-Hanek: |x| = m 2^e, m < 2^53. With 2/pi = I 2^-64k0 + W 2^-64(k0+L) +
// tail (I the bits before limb k0, W the L = N + 2 limbs from there, tail <
// 2^-64(k0+L)), m 2^e I 2^-64k0 is a multiple of 4 once e - 64 k0 >= 2, so
// x 2/pi = m W 2^-s (mod 4) + m 2^e tail, s = 64 (k0 + L) - e. In units of
// pi/512 (times 256), modulo 1024: the integer row J and a fraction of 64 N
// bits, floor of the product's bits (abs error 2^-64N) plus the tail's
// 2^(61 - s) <= 2^-(64N + 2), since s >= 64 L - 65 = 64 N + 63 for every
// exponent (e >= 2: 64 k0 >= e - 65; e < 2: s = 64 L - e). Rounded to the
// nearest row: x = (J + g) pi/512, |g| <= 1/2, abs error of g < 2^-(64N - 0.4).
// The largest exponent, 971, reads limbs up to 15 + L - 1 = 24 of 2/pi.
template <int N>
void reduce(double ax, unsigned &row, bool &negative, Frac<N> &g) {
    constexpr int L = N + 2;
    const u64 b = std::bit_cast<u64>(ax);
    const int biased = static_cast<int>(b >> 52);
    const u64 m = (b & ((u64{1} << 52) - 1)) | (biased != 0 ? u64{1} << 52 : 0);
    const int e = (biased != 0 ? biased : 1) - 1075;
    const int k0 = e >= 2 ? (e - 2) / 64 : 0;
    static_assert(15 + L <= cr_data::kTwoOverPiLimbs, "2/pi holds every window");
    u64 p[L + 1] = {};
    u64 carry = 0;
    for (int i = 0; i < L; ++i) {
        const u128 t = static_cast<u128>(m) * cr_data::kTwoOverPi[k0 + L - 1 - i] + carry;
        p[i] = static_cast<u64>(t);
        carry = static_cast<u64>(t >> 64);
    }
    p[L] = carry;
    const int s = 64 * (k0 + L) - e;
    const int from = s - 8 - 64 * N;  // >= 55
    for (int i = 0; i < N; ++i) g.w[i] = bits_at(p, L + 1, from + 64 * i, 64);
    row = static_cast<unsigned>(bits_at(p, L + 1, from + 64 * N, 10));
    negative = (g.w[N - 1] >> 63) != 0;
    if (negative) {
        negate(g.w, N);
        row = (row + 1) & 1023;
    }
}

// sin and cos of J pi/512 + h, |h| <= pi/1024 < 2^-8.35, by Taylor series
// about the row. U = 2^-64N; each multiplication truncates (abs U) and each
// 1/n! and table entry is rounded down (abs U):
//   h = g (pi/512): abs 2^0.4 U (pi/512) + U (constant) + U < 2^1.1 U
//   sin h - h: Horner in h^2 to h^21 (N = 4; omitted h^23/23! < 2^-266) or
//     h^41 (N = 8; omitted h^43/43! < 2^-536); the errors of the inner steps
//     shrink by h^2 < 2^-16.7 each: abs < 2^2 U
//   cos h - 1 = -cm, cm = h^2 (1/2 - h^2 (1/24 - ...)) to h^22 (omitted
//     h^24/24! < 2^-279) or h^42 (omitted h^44/44! < 2^-550): abs < 2^2 U
//   sin(J pi/512 + h) = S - S cm + C sin h, cos = C - C cm - S sin h, with S,
//     C from the table (abs U each, 1 as 1 - U): three truncated products and
//     the errors above, abs < 2^5 U (kSinCosBound).
// |sin x| and |cos x| are at least 2^-61 for every binary64 |x| >= 2^-27 (the
// double closest to a multiple of pi/2 is 6381956970095103 2^797, 2^-60.9
// away; Muller, Elementary Functions, ch. 11), so rel < 2^-190 at N = 4 and
// 2^-446 at N = 8. Published searches found no binary64 sine or cosine
// within 2^-(53 + 67) relative of a midpoint, so the 256-bit phase nearly
// always decides; decide() checks that it did, and the 512-bit phase takes
// the rest. True when both results are decided (always at N = 8, whose
// results are its roundings when even they cannot be shown).
template <int N>
bool sincos_fixed(double x, double *s, double *c) {
    const double ax = abs_of(x);
    unsigned row;
    bool negative_h;
    Frac<N> g;
    reduce<N>(ax, row, negative_h, g);
    const Frac<N> h = mul(g, load<N>(cr_data::kPiOver512));
    const Frac<N> h2 = mul(h, h);
    const Frac<N> *inv = kFactorials<N>.inv;

    Frac<N> q = inv[Width<N>::kSinTop];
    for (int n = Width<N>::kSinTop - 2; n >= 3; n -= 2) q = sub(inv[n], mul(h2, q));
    const Frac<N> sin_h = sub(h, mul(h, mul(h2, q)));  // |sin h|, sign of h
    Frac<N> cq = inv[Width<N>::kCosTop];
    for (int n = Width<N>::kCosTop - 2; n >= 2; n -= 2) cq = sub(inv[n], mul(h2, cq));
    const Frac<N> cm = mul(h2, cq);

    // Within the quadrant: theta = j pi/512 + h, j = row mod 256.
    const unsigned j = row & 255;
    Frac<N> almost_one;
    for (u64 &w : almost_one.w) w = ~u64{0};
    const Frac<N> sj = load<N>(cr_data::kSinSteps[j]);
    const Frac<N> cj = j == 0 ? almost_one : load<N>(cr_data::kSinSteps[256 - j]);
    Wide<N> st = {}, ct = {};
    accumulate(st, sj, false);
    accumulate(st, mul(sj, cm), true);
    accumulate(st, mul(cj, sin_h), negative_h);
    accumulate(ct, cj, false);
    accumulate(ct, mul(cj, cm), true);
    accumulate(ct, mul(sj, sin_h), !negative_h);

    // sin(q pi/2 + theta), cos(q pi/2 + theta) for the quadrant q.
    const unsigned quadrant = row >> 8;
    const bool sign_x = x < 0;
    const Wide<N> &sv = quadrant % 2 == 0 ? st : ct, &cv = quadrant % 2 == 0 ? ct : st;
    const bool flip_s = (quadrant >= 2) != sign_x, flip_c = quadrant == 1 || quadrant == 2;
    if (decide(sv, kSinCosBound, -64 * N, flip_s, *s) && decide(cv, kSinCosBound, -64 * N, flip_c, *c))
        return true;
    if constexpr (N == 4) return false;
    // Past every bound anyone has needed: the 512-bit value's own rounding.
    *s = round_signed(sv, -64 * N, flip_s);
    *c = round_signed(cv, -64 * N, flip_c);
    return true;
}

// ---------------------------------------------------------------------------
// The accurate exponential.
//
// x exactly in fixed point (|x| >= 2^-54 has its last bit at 2^-106 or
// above). x = n log 2 + r, 0 <= r < log 2 (n adjusted until so), with log 2
// rounded down: abs error of r <= |n| U <= 2^10.1 U (|n| <= 1076; U =
// 2^-64N). u = r 2^-10 (abs U more), exp(u) = 1 + u + u^2 (1/2 + u (1/6 +
// ...)) to u^19 (N = 4; omitted u^20/20! < 2^-271) or u^36 (N = 8; omitted
// u^37/37! < 2^-533): abs 2^2 U, so rel 2^2 U (exp(u) >= 1). Ten squarings
// give exp(r): each doubles the relative error and adds U, rel < 2^12 U +
// 2^10.1 U (from r) < 2^12.6 U, and exp(r) < 2: abs < 2^13.6 U (kExpBound
// is 2^14 U). At N = 4 that is rel 2^-243.4; the published searches put no
// binary64 exponential within 2^-(53 + 67) relative of a midpoint, and
// decide() shows it for each result; the 512-bit phase takes any it cannot.
template <int N>
bool exp_fixed(double x, double &y) {
    const u64 b = std::bit_cast<u64>(x);
    const int biased = static_cast<int>((b >> 52) & 0x7ff);
    const u64 m = (b & ((u64{1} << 52) - 1)) | (u64{1} << 52);
    const int shift = biased - 1075 + 64 * N;  // x 2^64N = m 2^shift, 64N - 106 <= shift <= 64N - 43
    Wide<N> v = {};
    v.w[shift >> 6] = m << (shift & 63);
    if ((shift & 63) != 0 && (shift >> 6) + 1 < N + 1) v.w[(shift >> 6) + 1] = m >> (64 - (shift & 63));
    if (x < 0) negate(v.w, N + 1);

    // n = floor(x / log 2), estimated in double (off by at most one), then fixed.
    const double t = x * 0x1.71547652b82fep+0;
    auto n = static_cast<int64_t>(t);
    if (static_cast<double>(n) > t) --n;
    const Frac<N> ln2 = load<N>(cr_data::kLog2);
    // r = v - n ln2, in two's complement over N + 1 limbs.
    {
        const u64 an = static_cast<u64>(n < 0 ? -n : n);
        Wide<N> prod = {};
        u64 carry = 0;
        for (int i = 0; i < N; ++i) {
            const u128 p = static_cast<u128>(ln2.w[i]) * an + carry;
            prod.w[i] = static_cast<u64>(p);
            carry = static_cast<u64>(p >> 64);
        }
        prod.w[N] = carry;
        if (n < 0) negate(prod.w, N + 1);
        negate(prod.w, N + 1);
        u64 c = 0;
        for (int i = 0; i < N + 1; ++i) {
            const u128 s = static_cast<u128>(v.w[i]) + prod.w[i] + c;
            v.w[i] = static_cast<u64>(s);
            c = static_cast<u64>(s >> 64);
        }
    }
    const auto at_least_ln2 = [&ln2](const Wide<N> &r) {
        if (r.w[N] != 0) return true;
        for (int i = N - 1; i >= 0; --i)
            if (r.w[i] != ln2.w[i]) return r.w[i] > ln2.w[i];
        return true;
    };
    while ((v.w[N] >> 63) != 0) {
        accumulate(v, ln2, false);
        --n;
    }
    while (at_least_ln2(v)) {
        accumulate(v, ln2, true);
        ++n;
    }
    Frac<N> u;
    for (int i = 0; i < N; ++i) u.w[i] = bits_at(v.w, N, 64 * i + 10, 64);

    const Frac<N> *inv = kFactorials<N>.inv;
    Frac<N> q = inv[Width<N>::kExpTop];
    for (int k = Width<N>::kExpTop - 1; k >= 2; --k) q = add(inv[k], mul(u, q));
    const Frac<N> a0 = add(u, mul(mul(u, u), q));  // exp(u) - 1 < 2^-9
    // (1 + a)^2 = 1 + (2a + a^2); a < 1 until the last squaring, whose result
    // keeps an integer limb of 1 or 2.
    Frac<N> a = a0;
    for (int k = 0; k < 9; ++k) a = add(add(a, a), mul(a, a));
    Wide<N> e = {};
    e.w[N] = 1;
    accumulate(e, a, false);
    accumulate(e, a, false);
    accumulate(e, mul(a, a), false);
    const int scale = static_cast<int>(n) - 64 * N;
    if (decide(e, kExpBound, scale, false, y)) return true;
    if constexpr (N == 4) return false;
    // Past every bound anyone has needed: the 512-bit value's own rounding.
    y = round_fixed(e.w, N + 1, scale);
    return true;
}

// The accurate phase, and the widest where it cannot decide.
void sincos_accurate_phases(double x, double *s, double *c) {
    if (!sincos_fixed<4>(x, s, c)) sincos_fixed<8>(x, s, c);
}
double exp_accurate_phases(double x) {
    double y;
    if (!exp_fixed<4>(x, y)) exp_fixed<8>(x, y);
    return y;
}

// ---------------------------------------------------------------------------
// The fast sine and cosine: x = J pi/512 + r, r = rh + rl, |r| <= pi/1024 (1
// + 2^-35), then the table's rows (sin and cos of J pi/512 as double-doubles,
// rel 2^-107 each) and short series for r.

constexpr double kS3 = -1.0 / 6.0, kS5 = 1.0 / 120.0, kS7 = -1.0 / 5040.0;
constexpr double kC4 = 1.0 / 24.0, kC6 = -1.0 / 720.0;

// The evaluation's own error, the reduction's apart. With |rh| <= 2^-8.35,
// |rl| <= 2^-61:
//   sin r = rh + t, t = rl + sp: the series' rounding (5 operations on
//     rh^3/6 <= 2^-27.6) abs 2^-78.3, t's 2^-80.6, omitted rh^9/9! 2^-93.7 and
//     -rh^2 rl/2 2^-78.7.
//   cos r = 1 + cmh + cml, cmh = -rh^2/2 exact with rh^2 = r2 + r2l exact,
//     cml = -r2l/2 + r2^2 (1/24 - r2/720) - rh rl: abs 2^-88, omitted
//     rh^8/8! 2^-82.
//   sin x = sh + ch rh + sh cmh + [low], the first three exact two-products and
//     two-sums; low gathers the sums' and products' errors, ch t, sh cml, sl,
//     sl cmh and cl rh (|low| <= 2^-27.4: seven additions and four products
//     rounded, abs 2^-77.2), leaving out cl t and sl cml (2^-80.5).
//   Total abs < 2^-75.6. Where the row's sine is nonzero, |sin x| >=
//   sin(pi/1024) > 2^-8.4, so rel < 2^-67.2; where it is zero (C = +-1 exact),
//   the same steps are relative to |rh|: rel < 2^-69. Cosine the same, the
//   roles of the rows' sine and cosine swapped.
// Used: the analysis' rel 2^-67.2, rounded up to 1.75 2^-68 (2^-67.19), for
// every row (the zero rows' 2^-69 is not worth a second constant).
constexpr double kFastRelative = 0x1.cp-68 * (1.0 + 0x1p-20);

void sincos_rows(unsigned row, double rh, double rl, DD &sn, DD &cs) {
    const double *v = sincos8_data::kRows.v[row];
    const double sh = v[0], sl = v[1], ch = v[2], cl = v[3];
    const DD r2 = two_prod(rh, rh);
    const double sp = (rh * r2.hi) * (kS3 + r2.hi * (kS5 + r2.hi * kS7));
    const double t = rl + sp;
    const double cmh = -0.5 * r2.hi;
    const double cml = (r2.hi * r2.hi) * (kC4 + r2.hi * kC6) + (-0.5 * r2.lo - rh * rl);
    {
        const DD p = two_prod(ch, rh);
        const DD a = two_sum(sh, p.hi);
        const DD q = two_prod(sh, cmh);
        const DD b = two_sum(a.hi, q.hi);
        const double low = ((a.lo + b.lo) + (p.lo + q.lo)) + ((ch * t + sh * cml) + (sl + (sl * cmh + cl * rh)));
        sn = fast_two_sum(b.hi, low);
    }
    {
        const DD p = two_prod(sh, rh);
        const DD a = two_sum(ch, -p.hi);
        const DD q = two_prod(ch, cmh);
        const DD b = two_sum(a.hi, q.hi);
        const double low = ((a.lo + b.lo) + (q.lo - p.lo)) + ((ch * cml - sh * t) + (cl + (cl * cmh - sl * rh)));
        cs = fast_two_sum(b.hi, low);
    }
}

constexpr double kShifter = 0x1.8p52;

}  // namespace

namespace cr_detail {

void sincos_accurate(double x, double *s, double *c) { sincos_accurate_phases(x, s, c); }
double exp_accurate(double x) { return exp_accurate_phases(x); }
bool sincos_accurate_decides(double x) {
    double s, c;
    return sincos_fixed<4>(x, &s, &c);
}
bool exp_accurate_decides(double x) {
    double y;
    return exp_fixed<4>(x, y);
}
void sincos_widest(double x, double *s, double *c) { sincos_fixed<8>(x, s, c); }
double exp_widest(double x) {
    double y;
    exp_fixed<8>(x, y);
    return y;
}

bool sincos_fast(double x, double *s, double *c, unsigned which) {
    namespace d = sincos8_data;
    const double ax = abs_of(x);
    unsigned row;
    double rh, rl, reduction;  // reduction: abs error of rh + rl
    bool flip = false;
    if (ax <= 256.0) {
        // Cody-Waite: |k| <= 256 (512/pi) < 2^15.4. k kStep1 and k kStep2 are
        // exact (37 + 16 bits); x - k kStep1 is exact (Sterbenz: within a factor
        // 2 of each other for k != 0); the two-sums are exact; k kStep3
        // (<= 2^-69) is rounded, abs 2^-122; e0 - t3 (<= 2^-61.2) rounded, abs
        // 2^-114.2; the three steps' sum is pi/512 to 2^-137, times k 2^-121.6.
        // abs < 2^-114.
        const double kd = (x * d::kInvStep + kShifter) - kShifter;
        row = static_cast<unsigned>(static_cast<int64_t>(kd)) & 1023;
        const double r1 = x - kd * d::kStep1;
        const DD s0 = two_sum(r1, -(kd * d::kStep2));
        const DD r = two_sum(s0.hi, s0.lo - kd * d::kStep3);
        rh = r.hi;
        rl = r.lo;
        reduction = 0x1p-113;
    } else {
        // Payne-Hanek (g abs 2^-255.6 in units of pi/512), g to a double-double
        // from its leading 128 bits (rel 2^-105), times pi/512 as a
        // double-double (rel 2^-106; the product's rounding rel 2^-104): rel
        // 2^-103 of |r|.
        bool negative;
        Frac<4> g;
        reduce<4>(ax, row, negative, g);
        int top = 3;
        while (top > 0 && g.w[top] == 0) --top;
        const int lead = std::countl_zero(g.w[top]);
        const u128 head = (static_cast<u128>(g.w[top]) << 64 | (top > 0 ? g.w[top - 1] : 0)) << lead |
                          (lead != 0 && top > 1 ? static_cast<u128>(g.w[top - 2] >> (64 - lead)) : 0);
        // head's leading bit (bit 127) is worth 2^(64 top + 63 - lead - 256):
        // g = head 2^scale, less than 2^-255 more. Two 53-bit pieces, each exact.
        const int scale = 64 * top + 63 - lead - 256 - 127;
        const double gh = static_cast<double>(static_cast<u64>(head >> 75)) * pow2(scale + 75);
        const double gl =
            static_cast<double>(static_cast<u64>(head >> 22) & ((u64{1} << 53) - 1)) * pow2(scale + 22);
        const DD g2 = fast_two_sum(gh, gl);
        const DD p = two_prod(g2.hi, cr_data::kPiOver512Hi);
        const DD r = fast_two_sum(p.hi, p.lo + (g2.hi * cr_data::kPiOver512Lo + g2.lo * cr_data::kPiOver512Hi));
        rh = negative ? -r.hi : r.hi;
        rl = negative ? -r.lo : r.lo;
        reduction = abs_of(rh) * 0x1p-102 + 0x1p-250;
        flip = x < 0;
    }
    DD sn, cs;
    sincos_rows(row, rh, rl, sn, cs);
    bool done = true;
    if ((which & 1) != 0) {
        double v;
        const double e = abs_of(sn.hi) * kFastRelative + reduction;
        if (rounds_to(sn.hi, sn.lo, e, v))
            *s = flip ? -v : v;
        else
            done = false;
    }
    if ((which & 2) != 0) {
        const double e = abs_of(cs.hi) * kFastRelative + reduction;
        if (!rounds_to(cs.hi, cs.lo, e, *c)) done = false;
    }
    return done;
}

// The double nearest (h + l) 2^n within e 2^n, for results below 2^-1021 (x <= -708,
// n in [-1077, -1021]): there every double is a multiple of 2^-1074, the subnormals
// and the lowest binade alike, so the result is round(t) 2^-1074, t = (h + l)
// 2^(n + 1074) < 2^53. Scaling h, l and e by 2^(n + 1074) >= 2^-3 is exact (none
// of them is subnormal). i = round(th) comes exactly from the shifter (th < 2^52)
// or is th itself; th - i is exact (both are multiples of ulp(th), and |th - i| <=
// 1/2); f = (th - i) + tl is rounded within 2^-54. t lies within e' = e 2^(n +
// 1074) + 2^-53 of i + f: when no midpoint i -+ 1/2 lies in that interval, the
// result is i, or i +- 1 past one. f -+ 1/2 is exact where it decides (Sterbenz,
// |f| >= 1/4). No argument gives a midpoint, so the undecided case is a near one.
// (i + step) 2^-1074 is exact: an integer below 2^53 times the grid.
inline bool subnormal_grid(double h, double l, double e, int n, double *y) {
    const double scale = pow2(n + 1074);
    const double th = h * scale, tl = l * scale, te = e * scale + 0x1p-53;
    const double i = th >= 0x1p52 ? th : (th + 0x1p52) - 0x1p52;
    const double f = (th - i) + tl;
    double step = 0.0;
    if (f >= 0.25) {
        const double d = f - 0.5;
        if (abs_of(d) <= te) return false;
        if (d > 0.0) step = 1.0;
    } else if (f <= -0.25) {
        const double d = f + 0.5;
        if (abs_of(d) <= te) return false;
        if (d < 0.0) step = -1.0;
    }
    *y = (i + step) * 0x1p-1074;
    return true;
}

// The fast exponential: x = (64 n + j) (log 2)/64 + r, exp x = 2^n 2^(j/64) exp(r).
//   Reduction as for the sine (|k| < 2^16, 37-bit steps): abs 2^-114, |r| <=
//     (log 2)/128 (1 + 2^-30) < 2^-7.52, so rel 2^-114 of the result.
//   exp(r) = 1 + rh + rh^2/2 + [rl + r2l/2 + rh rl + q], q = rh^3 (1/6 + ... +
//     rh^5/40320) in double (rel 6 2^-53 on <= 2^-25.1: abs 2^-75.5, omitted
//     rh^9/9! 2^-86, rl rh^2/2 2^-76); the two leading sums exact, the low part
//     (<= 2^-25) summed with abs 2^-75.7: abs 2^-74 in all, rel 2^-73.9.
//   Times 2^(j/64) = th + tl (rel 2^-107): th b exact, th low (abs 2^-77 for
//     a result near 1), tl b, two more additions (2^-76.9 each), tl low
//     left out (2^-78): rel < 2^-73.
// Used: the analysis' rel 2^-73.
bool exp_fast(double x, double *y) {
    namespace d = cr_data;
    const double kd = (x * d::kInvLog2Step + kShifter) - kShifter;
    const auto k = static_cast<int64_t>(kd);
    const int n = static_cast<int>(k >> 6);
    const int j = static_cast<int>(k & 63);
    const double r1 = x - kd * d::kLog2Step1;
    const DD s0 = two_sum(r1, -(kd * d::kLog2Step2));
    const DD r = two_sum(s0.hi, s0.lo - kd * d::kLog2Step3);
    const double rh = r.hi, rl = r.lo;

    const DD r2 = two_prod(rh, rh);
    const double q =
        (rh * r2.hi) *
        (1.0 / 6 + rh * (1.0 / 24 + rh * (1.0 / 120 + rh * (1.0 / 720 + rh * (1.0 / 5040 + rh * (1.0 / 40320))))));
    const DD a = fast_two_sum(1.0, rh);
    const DD b = two_sum(a.hi, 0.5 * r2.hi);
    const double low = (a.lo + b.lo) + (rl + ((0.5 * r2.lo + rh * rl) + q));
    // 2^(j/64) is the vector routine's row 2j of 2^(j/128).
    const double th = sincos8_data::kExpRows.v[2 * j][0], tl = sincos8_data::kExpRows.v[2 * j][1];
    const DD p = two_prod(th, b.hi);
    const DD v = fast_two_sum(p.hi, p.lo + (th * low + tl * b.hi));
    double out;
    const double e = v.hi * (0x1p-73 * (1.0 + 0x1p-20)) + v.hi * 0x1p-113;
    if (x <= -708.0) return subnormal_grid(v.hi, v.lo, e, n, y);
    if (!rounds_to(v.hi, v.lo, e, out)) return false;
    // Exact scaling: the result is normal (x > -708 puts it above 2^-1021.4).
    *y = n > 1023 ? out * pow2(n - 1) * 2.0 : out * pow2(n);
    return true;
}

}  // namespace cr_detail

// ---------------------------------------------------------------------------

void cr_sincos(double x, double *s, double *c) {
    const u64 ab = std::bit_cast<u64>(x) & ~(u64{1} << 63);
    if (ab >= 0x7ff0000000000000) {
        // NaN: itself, quieted; an infinity: the default NaN.
        *s = *c = ab > 0x7ff0000000000000 ? x + x : x - x;
        return;
    }
    // sin x = x (1 - x^2/6 + ...) and x^2/6 < 2^-54.58 below 2^-26: less than
    // half an ulp of x (2^-54 of it, 2^-55 just below a power of two, where
    // |x| <= 2^-27 gives x^2/6 < 2^-56.5). cos x = 1 - x^2/2 within 2^-55 of 1
    // below 2^-27, under the 2^-54 half ulp beneath 1.
    unsigned which = 3;
    if (ab < 0x3e50000000000000) {  // 2^-26
        *s = x;
        which = 2;
        if (ab < 0x3e40000000000000) {  // 2^-27
            *c = 1.0;
            return;
        }
    }
    if (cr_detail::sincos_fast(x, s, c, which)) return;
    double sv, cv;
    sincos_accurate_phases(x, &sv, &cv);
    if ((which & 1) != 0) *s = sv;
    *c = cv;
}

double cr_sin(double x) {
    const u64 ab = std::bit_cast<u64>(x) & ~(u64{1} << 63);
    if (ab >= 0x7ff0000000000000) return ab > 0x7ff0000000000000 ? x + x : x - x;
    if (ab < 0x3e50000000000000) return x;
    double s, c;
    if (cr_detail::sincos_fast(x, &s, &c, 1)) return s;
    sincos_accurate_phases(x, &s, &c);
    return s;
}

double cr_cos(double x) {
    const u64 ab = std::bit_cast<u64>(x) & ~(u64{1} << 63);
    if (ab >= 0x7ff0000000000000) return ab > 0x7ff0000000000000 ? x + x : x - x;
    if (ab < 0x3e40000000000000) return 1.0;
    double s, c;
    if (cr_detail::sincos_fast(x, &s, &c, 2)) return c;
    sincos_accurate_phases(x, &s, &c);
    return c;
}

// A contracted a*b - p (a fused multiply-add) gives the product's rounding
// error instead of zero; the same contraction would silently break every
// two_prod and two_sum in this file.
bool cr_as_written() {
    static volatile double a = 1.0 + 0x1p-30, b = 1.0 - 0x1p-30;
    const double p = a * b;
    return a * b - p == 0.0;
}

double cr_exp(double x) {
    const u64 bits = std::bit_cast<u64>(x);
    const u64 ab = bits & ~(u64{1} << 63);
    if (ab >= 0x7ff0000000000000) {
        if (ab > 0x7ff0000000000000) return x + x;
        return (bits >> 63) != 0 ? 0.0 : x;
    }
    if (x > 0x1.62e42fefa39efp+9) return 0x1p1023 * 2.0;
    if (x < -0x1.75p+9) return 0.0;
    // |x| < 2^-54: exp x lies within 2^-54 (1 + 2^-53) of 1, inside the half
    // ulps on either side (2^-53 above, 2^-54 below, x < 0 giving exp x > 1 + x).
    if (ab < 0x3c90000000000000) return 1.0;
    double y;
    if (cr_detail::exp_fast(x, &y)) return y;
    return exp_accurate_phases(x);
}

}  // namespace lv
