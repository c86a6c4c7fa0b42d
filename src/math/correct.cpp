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
// Fixed point: limbs least significant first; a Frac is a value in [0, 1)
// with 256 fraction bits, a Wide one with an integer limb on top (w[4]),
// two's complement where signed.

struct Frac {
    u64 w[4];
};
struct Wide {
    u64 w[5];
};

// floor(a b 2^-256): the full product, truncated. abs error < 2^-256.
inline Frac mul(const Frac &a, const Frac &b) {
    u64 p[8] = {};
    for (int i = 0; i < 4; ++i) {
        u64 carry = 0;
        for (int j = 0; j < 4; ++j) {
            const u128 t = static_cast<u128>(a.w[i]) * b.w[j] + p[i + j] + carry;
            p[i + j] = static_cast<u64>(t);
            carry = static_cast<u64>(t >> 64);
        }
        p[i + 4] = carry;
    }
    return {{p[4], p[5], p[6], p[7]}};
}

// a + b and a - b, modulo 1 (the callers keep within [0, 1)).
inline Frac add(const Frac &a, const Frac &b) {
    Frac r;
    u64 carry = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 t = static_cast<u128>(a.w[i]) + b.w[i] + carry;
        r.w[i] = static_cast<u64>(t);
        carry = static_cast<u64>(t >> 64);
    }
    return r;
}
inline Frac sub(const Frac &a, const Frac &b) {
    Frac r;
    u64 borrow = 0;
    for (int i = 0; i < 4; ++i) {
        const u64 d = a.w[i] - b.w[i];
        r.w[i] = d - borrow;
        borrow = static_cast<u64>(a.w[i] < b.w[i]) | static_cast<u64>(d < borrow);
    }
    return r;
}

// a += b (b a fraction, negated first when `minus`), modulo 2^64 in the integer limb.
inline void accumulate(Wide &a, const Frac &b, bool minus) {
    u64 carry = 0;
    if (!minus) {
        for (int i = 0; i < 4; ++i) {
            const u128 t = static_cast<u128>(a.w[i]) + b.w[i] + carry;
            a.w[i] = static_cast<u64>(t);
            carry = static_cast<u64>(t >> 64);
        }
        a.w[4] += carry;
    } else {
        for (int i = 0; i < 4; ++i) {
            const u64 d = a.w[i] - b.w[i];
            const u64 borrow = static_cast<u64>(a.w[i] < b.w[i]) | static_cast<u64>(d < carry);
            a.w[i] = d - carry;
            carry = borrow;
        }
        a.w[4] -= carry;
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

// floor(2^256 / n!) for n = 0..23, n! > 1 (n >= 2) only being used.
struct Factorials {
    Frac inv[24];
};
constexpr Factorials make_factorials() {
    Factorials f{};
    // 2^256 / 1! as five limbs, then divided by 2, 3, ...: floor(floor(a/b)/c) = floor(a/(bc)).
    u64 v[5] = {0, 0, 0, 0, 1};
    for (int n = 2; n < 24; ++n) {
        u128 rem = 0;
        for (int i = 4; i >= 0; --i) {
            const u128 cur = (rem << 64) | v[i];
            v[i] = static_cast<u64>(cur / static_cast<unsigned>(n));
            rem = cur % static_cast<unsigned>(n);
        }
        for (int i = 0; i < 4; ++i) f.inv[n].w[i] = v[i];
    }
    return f;
}
constexpr Factorials kFactorials = make_factorials();

Frac load(const uint64_t (&w)[4]) { return {{w[0], w[1], w[2], w[3]}}; }

// ---------------------------------------------------------------------------
// The accurate sine and cosine.
//
// Payne-Hanek: |x| = m 2^e, m < 2^53. With 2/pi = I 2^-64k0 + W 2^-64(k0+6) +
// tail (I the bits before limb k0, W the six limbs from there, tail <
// 2^-64(k0+6)), m 2^e I 2^-64k0 is a multiple of 4 once e - 64 k0 >= 2, so
// x 2/pi = m W 2^-s (mod 4) + m 2^e tail, s = 64 (k0 + 6) - e. In units of
// pi/512 (times 256), modulo 1024: the integer row J and a fraction of 256
// bits, floor of the product's bits (abs error 2^-256) plus the tail's
// 2^(61 - s) <= 2^-258, since s >= 319 for every exponent (e >= 2: 64 k0 >=
// e - 65; e < 2: s = 384 - e). Rounded to the nearest row: x = (J + g) pi/512,
// |g| <= 1/2, abs error of g < 2^-255.6.
void reduce(double ax, unsigned &row, bool &negative, Frac &g) {
    const u64 b = std::bit_cast<u64>(ax);
    const int biased = static_cast<int>(b >> 52);
    const u64 m = (b & ((u64{1} << 52) - 1)) | (biased != 0 ? u64{1} << 52 : 0);
    const int e = (biased != 0 ? biased : 1) - 1075;
    const int k0 = e >= 2 ? (e - 2) / 64 : 0;
    u64 p[7] = {};
    u64 carry = 0;
    for (int i = 0; i < 6; ++i) {
        const u128 t = static_cast<u128>(m) * cr_data::kTwoOverPi[k0 + 5 - i] + carry;
        p[i] = static_cast<u64>(t);
        carry = static_cast<u64>(t >> 64);
    }
    p[6] = carry;
    const int s = 64 * (k0 + 6) - e;
    const int from = s - 8 - 256;  // >= 55, and <= 206 for |x| >= 2^-27
    for (int i = 0; i < 4; ++i) g.w[i] = bits_at(p, 7, from + 64 * i, 64);
    row = static_cast<unsigned>(bits_at(p, 7, from + 256, 10));
    negative = (g.w[3] >> 63) != 0;
    if (negative) {
        negate(g.w, 4);
        row = (row + 1) & 1023;
    }
}

// sin and cos of J pi/512 + h, |h| <= pi/1024, by Taylor series about the row.
// Each multiplication truncates (abs 2^-256) and each 1/n! is rounded down
// (abs 2^-256):
//   h = g (pi/512): abs 2^-255.6 (pi/512) + 2^-256 (constant) + 2^-256 < 2^-254.9
//   sin h - h: Horner in h^2 to h^21 (omitted h^23/23! < 2^-266); the errors
//     of the inner steps shrink by h^2 < 2^-16.7 each: abs < 2^-254
//   cos h - 1 = -cm, cm = h^2 (1/2 - h^2 (1/24 - ...)) to h^22 (omitted
//     h^24/24! < 2^-279): abs < 2^-254
//   sin(J pi/512 + h) = S - S cm + C sin h, cos = C - C cm - S sin h, with S,
//     C from the table (abs 2^-256 each, 1 as 1 - 2^-256): three truncated
//     products and the errors above, abs < 2^-251.
// |sin x| and |cos x| are at least 2^-61 for every binary64 |x| >= 2^-27 (the
// double closest to a multiple of pi/2 is 6381956970095103 2^797, 2^-60.9
// away; Muller, Elementary Functions, ch. 11), so rel < 2^-190 there; where the
// result is that small, S = 0 or C = 0 and the error is relative to sin h
// itself (rel 2^-194). Stated: rel < 2^-185.
void sincos_fixed(double x, double *s, double *c) {
    const double ax = abs_of(x);
    unsigned row;
    bool negative_h;
    Frac g;
    reduce(ax, row, negative_h, g);
    const Frac h = mul(g, load(cr_data::kPiOver512));
    const Frac h2 = mul(h, h);
    const Frac *inv = kFactorials.inv;

    Frac q = inv[21];
    for (int n = 19; n >= 3; n -= 2) q = sub(inv[n], mul(h2, q));
    const Frac sin_h = sub(h, mul(h, mul(h2, q)));  // |sin h|, sign of h
    Frac cq = inv[22];
    for (int n = 20; n >= 2; n -= 2) cq = sub(inv[n], mul(h2, cq));
    const Frac cm = mul(h2, cq);

    // Within the quadrant: theta = j pi/512 + h, j = row mod 256.
    const unsigned j = row & 255;
    constexpr Frac kAlmostOne = {{~u64{0}, ~u64{0}, ~u64{0}, ~u64{0}}};
    const Frac sj = load(cr_data::kSinSteps[j]);
    const Frac cj = j == 0 ? kAlmostOne : load(cr_data::kSinSteps[256 - j]);
    Wide st = {}, ct = {};
    accumulate(st, sj, false);
    accumulate(st, mul(sj, cm), true);
    accumulate(st, mul(cj, sin_h), negative_h);
    accumulate(ct, cj, false);
    accumulate(ct, mul(cj, cm), true);
    accumulate(ct, mul(sj, sin_h), !negative_h);

    const auto finish = [](Wide v, bool flip) {
        if ((v.w[4] >> 63) != 0) {
            negate(v.w, 5);
            flip = !flip;
        }
        const double r = round_fixed(v.w, 5, -256);
        return flip ? -r : r;
    };
    // sin(q pi/2 + theta), cos(q pi/2 + theta) for the quadrant q.
    const unsigned quadrant = row >> 8;
    const bool sign_x = x < 0;
    double sv, cv;
    switch (quadrant) {
    case 0: sv = finish(st, false); cv = finish(ct, false); break;
    case 1: sv = finish(ct, false); cv = finish(st, true); break;
    case 2: sv = finish(st, true); cv = finish(ct, true); break;
    default: sv = finish(ct, true); cv = finish(st, false); break;
    }
    *s = sign_x ? -sv : sv;
    *c = cv;
}

// ---------------------------------------------------------------------------
// The accurate exponential.
//
// x exactly in fixed point (|x| >= 2^-54 has its last bit at 2^-106 or
// above). x = n log 2 + r, 0 <= r < log 2 (n adjusted until so), with log 2
// rounded down to 256 bits: abs error of r <= |n| 2^-256 <= 2^-245.9
// (|n| <= 1076). u = r 2^-10 (abs 2^-256 more), exp(u) = 1 + u + u^2 (1/2 +
// u (1/6 + ...)) to u^19 (omitted u^20/20! < 2^-271): abs 2^-254, so rel
// 2^-254 (exp(u) >= 1). Ten squarings give exp(r): each doubles the relative
// error and adds 2^-256, rel < 2^10 2^-254 + 2^-245.9 (from r) < 2^-243.
// Stated: rel < 2^-240.
double exp_fixed(double x) {
    const u64 b = std::bit_cast<u64>(x);
    const int biased = static_cast<int>((b >> 52) & 0x7ff);
    const u64 m = (b & ((u64{1} << 52) - 1)) | (u64{1} << 52);
    const int shift = biased - 1075 + 256;  // x 2^256 = m 2^shift, 150 <= shift <= 213
    Wide v = {};
    v.w[shift >> 6] = m << (shift & 63);
    if ((shift & 63) != 0 && (shift >> 6) + 1 < 5) v.w[(shift >> 6) + 1] = m >> (64 - (shift & 63));
    if (x < 0) negate(v.w, 5);

    // n = floor(x / log 2), estimated in double (off by at most one), then fixed.
    const double t = x * 0x1.71547652b82fep+0;
    auto n = static_cast<int64_t>(t);
    if (static_cast<double>(n) > t) --n;
    const Frac ln2 = load(cr_data::kLog2);
    // r = v - n ln2, in two's complement over five limbs.
    {
        const u64 an = static_cast<u64>(n < 0 ? -n : n);
        Wide prod = {};
        u64 carry = 0;
        for (int i = 0; i < 4; ++i) {
            const u128 p = static_cast<u128>(ln2.w[i]) * an + carry;
            prod.w[i] = static_cast<u64>(p);
            carry = static_cast<u64>(p >> 64);
        }
        prod.w[4] = carry;
        if (n < 0) negate(prod.w, 5);
        negate(prod.w, 5);
        u64 c = 0;
        for (int i = 0; i < 5; ++i) {
            const u128 s = static_cast<u128>(v.w[i]) + prod.w[i] + c;
            v.w[i] = static_cast<u64>(s);
            c = static_cast<u64>(s >> 64);
        }
    }
    const auto at_least_ln2 = [&ln2](const Wide &r) {
        if (r.w[4] != 0) return true;
        for (int i = 3; i >= 0; --i)
            if (r.w[i] != ln2.w[i]) return r.w[i] > ln2.w[i];
        return true;
    };
    while ((v.w[4] >> 63) != 0) {
        accumulate(v, ln2, false);
        --n;
    }
    while (at_least_ln2(v)) {
        accumulate(v, ln2, true);
        ++n;
    }
    Frac u;
    for (int i = 0; i < 4; ++i) u.w[i] = bits_at(v.w, 4, 64 * i + 10, 64);

    const Frac *inv = kFactorials.inv;
    Frac q = inv[19];
    for (int k = 18; k >= 2; --k) q = add(inv[k], mul(u, q));
    const Frac a0 = add(u, mul(mul(u, u), q));  // exp(u) - 1 < 2^-9
    // (1 + a)^2 = 1 + (2a + a^2); a < 1 until the last squaring, whose result
    // keeps an integer limb of 1 or 2.
    Frac a = a0;
    for (int k = 0; k < 9; ++k) a = add(add(a, a), mul(a, a));
    Wide e = {};
    e.w[4] = 1;
    accumulate(e, a, false);
    accumulate(e, a, false);
    accumulate(e, mul(a, a), false);
    return round_fixed(e.w, 5, static_cast<int>(n) - 256);
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
// Stated: rel 2^-66, twice the analysis.
constexpr double kFastRelative = 0x1p-66 * (1.0 + 0x1p-20);

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

void sincos_accurate(double x, double *s, double *c) { sincos_fixed(x, s, c); }
double exp_accurate(double x) { return exp_fixed(x); }

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
        Frac g;
        reduce(ax, row, negative, g);
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
// Stated: rel 2^-71, a factor 4 over the analysis.
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
    const double e = v.hi * (0x1p-71 * (1.0 + 0x1p-20)) + v.hi * 0x1p-113;
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
    sincos_fixed(x, &sv, &cv);
    if ((which & 1) != 0) *s = sv;
    *c = cv;
}

double cr_sin(double x) {
    const u64 ab = std::bit_cast<u64>(x) & ~(u64{1} << 63);
    if (ab >= 0x7ff0000000000000) return ab > 0x7ff0000000000000 ? x + x : x - x;
    if (ab < 0x3e50000000000000) return x;
    double s, c;
    if (cr_detail::sincos_fast(x, &s, &c, 1)) return s;
    sincos_fixed(x, &s, &c);
    return s;
}

double cr_cos(double x) {
    const u64 ab = std::bit_cast<u64>(x) & ~(u64{1} << 63);
    if (ab >= 0x7ff0000000000000) return ab > 0x7ff0000000000000 ? x + x : x - x;
    if (ab < 0x3e40000000000000) return 1.0;
    double s, c;
    if (cr_detail::sincos_fast(x, &s, &c, 2)) return c;
    sincos_fixed(x, &s, &c);
    return c;
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
    return exp_fixed(x);
}

}  // namespace lv
