// correct_exp.cpp: correctly rounded exp: a double-double phase with Ziv's test, then fixed point at 256 and 512 bits.
//
// Bounds (derived beside each step): the fast phase within rel 2^-73 of the
// result, plus its reduction's rel 2^-114; the fixed-point phases within 2^14
// units of 2^-64N of exp(r) in [1, 2) (kExpBound), rel 2^-242 at 256 bits.
#include <bit>
#include <cstdint>

#include "math/correct.h"
#include "math/correct_dd.h"
#include "math/correct_fixed.h"
#include "math/correct_internal.h"
#include "math/correct_table.h"
#include "math/sincos8_table.h"

namespace lv {
namespace {

using namespace cr_detail;

// The series' length at each width (see the derivation at exp_fixed).
template <int N>
struct Width;
template <>
struct Width<4> {
    static constexpr int kExpTop = 19;
};
template <>
struct Width<8> {
    static constexpr int kExpTop = 36;
};
// abs error of exp(r) in [1, 2) before the scaling by 2^n: < 2^14 units.
constexpr u64 kExpBound = u64{1} << 14;

// ---------------------------------------------------------------------------
// The accurate exponential.
//
// x exactly in fixed point (|x| >= 2^-54 has its last bit at 2^-106 or
// above). x = n log 2 + r, 0 <= r < log 2 (n adjusted until so), with log 2
// rounded down: abs error of r <= |n| U < 2^10.08 U (|n| <= 1077, x >= -746;
// U = 2^-64N). In relative terms of what each step makes:
//   exp(u), u = r 2^-10 < 2^-10.5: r's error, 2^-10 |n| U < 2^0.08 U; u's
//     truncation, U; the series 1 + u + u^2 (1/2 + u (1/6 + ...)) to u^19
//     (N = 4; omitted u^20/20! < 2^-271) or u^36 (N = 8; omitted u^37/37! <
//     2^-532), each 1/n! rounded down and each product truncated: abs <
//     1.52 U (the truncations of u^2 and of its product with q <= 1/2 + 2^-12,
//     q's own 2 U scaled by u^2), so rel < 1.52 U (exp(u) >= 1). Together
//     rel < 3.58 U.
//   exp(r) = exp(u)^1024, ten squarings (1 + a)^2 = 1 + (2a + a^2): each
//     doubles the relative error and adds U (its truncated a^2 over a value
//     >= 1): rel < 2^10 3.58 U + (2^10 - 1) U < 2^12.2 U.
//   exp(r) < 2: abs < 2^13.2 U on exp(r) in [1, 2); kExpBound = 2^14 U
//     bounds it with a factor of 1.74 to spare (1.13 even with the series'
//     error taken as 2^2 U: 2^12.82 U rel, 2^13.82 U abs).
// At N = 4 that is rel 2^-243.8, at N = 8 2^-499.8; the published searches
// put no binary64 exponential within 2^-(53 + 67) relative of a midpoint, and
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
double exp_accurate_phases(double x) {
    double y;
    if (!exp_fixed<4>(x, y)) exp_fixed<8>(x, y);
    return y;
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

}  // namespace

namespace cr_detail {

double exp_accurate(double x) { return exp_accurate_phases(x); }
bool exp_accurate_decides(double x) {
    double y;
    return exp_fixed<4>(x, y);
}
double exp_widest(double x) {
    double y;
    exp_fixed<8>(x, y);
    return y;
}

// The fast exponential: x = (64 n + j) (log 2)/64 + r, exp x = 2^n 2^(j/64) exp(r).
//   Reduction as for the sine, in steps of (log 2)/64: |k| <= 746 (64/log 2)
//     < 68881 < 2^16.08, and kLog2Step1, kLog2Step2 have 36 significant bits,
//     so k times each is exact (36 + 17 = 53); abs 2^-114, |r| <= (log 2)/128
//     (1 + 2^-30) < 2^-7.52, so rel 2^-114 of the result.
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

bool exp_as_written() { return contraction_off_here(); }

}  // namespace cr_detail

// ---------------------------------------------------------------------------

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
