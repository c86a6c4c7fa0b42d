// correct_sincos.cpp: correctly rounded sin and cos: a double-double phase with Ziv's test, then fixed point at 256 and 512 bits.
//
// Bounds (derived beside each step): the fast phase within rel 2^-67.2 of
// the result, plus its reduction's abs 2^-113 (|x| <= 256) or rel 2^-102 of
// |r| (beyond); the fixed-point phases within 2^5 units of 2^-64N of the
// sine and cosine (kSinCosBound), rel 2^-190 at 256 bits.
#include <bit>
#include <cstdint>

#include "math/correct.h"
#include "math/correct_dd.h"
#include "math/correct_fixed.h"
#include "math/correct_internal.h"
#include "math/correct_reduce.h"
#include "math/correct_table.h"
#include "math/sincos8_table.h"

namespace lv {
namespace {

using namespace cr_detail;

// The series' lengths at each width (see the derivation at sincos_fixed).
template <int N>
struct Width;
template <>
struct Width<4> {
    static constexpr int kSinTop = 21, kCosTop = 22;
};
template <>
struct Width<8> {
    static constexpr int kSinTop = 41, kCosTop = 42;
};
// abs error of the sine and cosine before rounding: < 2^5 units of 2^-64N.
constexpr u64 kSinCosBound = 32;

// ---------------------------------------------------------------------------
// The accurate sine and cosine.

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

// The accurate phase, and the widest where it cannot decide.
void sincos_accurate_phases(double x, double *s, double *c) {
    if (!sincos_fixed<4>(x, s, c)) sincos_fixed<8>(x, s, c);
}

// ---------------------------------------------------------------------------
// The fast sine and cosine: x = J pi/512 + r, r = rh + rl, |r| <= pi/1024 (1
// + 2^-35), then the vector routine's table rows (sin and cos of J pi/512 as
// double-doubles, within 2^-106 each) and short series for r: the vector
// routine's algorithm, without fused multiply-adds. The terms, what they
// leave out and the relative bounds are analysed once, with the table
// (sincos8_table.h, at kRows); counted here are this code's roundings.

using sincos8_data::kC4;
using sincos8_data::kC6;
using sincos8_data::kS3;
using sincos8_data::kS5;
using sincos8_data::kS7;

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

}  // namespace

namespace cr_detail {

void sincos_accurate(double x, double *s, double *c) { sincos_accurate_phases(x, s, c); }
bool sincos_accurate_decides(double x) {
    double s, c;
    return sincos_fixed<4>(x, &s, &c);
}
void sincos_widest(double x, double *s, double *c) { sincos_fixed<8>(x, s, c); }

bool sincos_fast(double x, double *s, double *c, unsigned which) {
    const FastReduced r = reduce_fast(x);
    DD sn, cs;
    sincos_rows(r.row, r.rh, r.rl, sn, cs);
    bool done = true;
    if ((which & 1) != 0) {
        double v;
        const double e = abs_of(sn.hi) * kFastRelative + r.reduction;
        if (rounds_to(sn.hi, sn.lo, e, v))
            *s = r.flip ? -v : v;
        else
            done = false;
    }
    if ((which & 2) != 0) {
        const double e = abs_of(cs.hi) * kFastRelative + r.reduction;
        if (!rounds_to(cs.hi, cs.lo, e, *c)) done = false;
    }
    return done;
}

}  // namespace cr_detail

// ---------------------------------------------------------------------------

namespace {

// sin and cos of an infinity: one NaN on every machine, the one x86-64 gives
// for x - x (the processors' default NaNs differ in sign: aarch64's and
// riscv64's are positive). The subtraction still raises the invalid
// exception, as the maths library's does.
double infinity_nan(double x) {
    volatile double invalid = x - x;
    (void)invalid;
    return std::bit_cast<double>(u64{0xfff8000000000000});
}

}  // namespace

void cr_sincos(double x, double *s, double *c) {
    const u64 ab = std::bit_cast<u64>(x) & ~(u64{1} << 63);
    if (ab >= 0x7ff0000000000000) {
        // NaN: itself, quieted; an infinity: the fixed NaN.
        *s = *c = ab > 0x7ff0000000000000 ? x + x : infinity_nan(x);
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
    if (ab >= 0x7ff0000000000000) return ab > 0x7ff0000000000000 ? x + x : infinity_nan(x);
    if (ab < 0x3e50000000000000) return x;
    double s, c;
    if (cr_detail::sincos_fast(x, &s, &c, 1)) return s;
    sincos_accurate_phases(x, &s, &c);
    return s;
}

double cr_cos(double x) {
    const u64 ab = std::bit_cast<u64>(x) & ~(u64{1} << 63);
    if (ab >= 0x7ff0000000000000) return ab > 0x7ff0000000000000 ? x + x : infinity_nan(x);
    if (ab < 0x3e40000000000000) return 1.0;
    double s, c;
    if (cr_detail::sincos_fast(x, &s, &c, 2)) return c;
    sincos_accurate_phases(x, &s, &c);
    return c;
}

bool cr_detail::sincos_as_written() { return contraction_off_here(); }

}  // namespace lv
