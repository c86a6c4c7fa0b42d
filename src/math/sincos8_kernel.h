// sincos8_kernel.h: the vector routine for one instruction set; included only by the file built for it.
//
// Each lane reduces x = k (pi/512) + r, with r a double-double, takes sin and
// cos of k pi/512 from the table and of r from short Taylor series, and
// recombines in double-double: hi + lo lies within kOwnError |v| of the true
// value v (the bounds of each step are written beside it below; u = 2^-53;
// validate_sincos accuracy measures the whole). The exponential is built the
// same way from 2^(j/128).
//
// Two rules decide a lane. Correct: when v lies on hi's side of both
// neighbouring midpoints by more than the own error, round(v) = hi, the
// correctly rounded result. System: the library's result is within 0.5 + m
// ulp of v, m < delta, wherever the routine takes a lane; so when v lies
// farther than delta ulp from every midpoint, the library's result is the
// only double within its error of v, namely round(v) = hi. Every other lane,
// and every argument outside the reduction's range, is left undecided.
#pragma once

#if defined(LV_SINCOS8_AVX2) || defined(LV_SINCOS8_AVX512)
// GCC 12 reports the deliberately undefined registers inside some AVX-512
// intrinsics as uninitialised; the reports point into the header.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif
#if defined(LV_SINCOS8_NEON)
#include <arm_neon.h>
#endif

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "math/sincos8_table.h"

#if defined(__FAST_MATH__)
#error "the vector routine's exact sums and products need IEEE arithmetic, not -ffast-math"
#endif

// Internal linkage throughout, and no inline function of the standard
// library: each instruction set's file has its own copy of everything it
// runs, and the linker can never hand one file's code to other callers.
namespace {
namespace kernel {

using namespace lv::sincos8_data;

// |lo| below this multiple of 2^E (|hi| in [2^E, 2^(E+1))) puts v farther
// than delta ulp from the midpoints: ulp(hi) = 2^(E-52), and |v - (hi + lo)|
// is at most kOwnError 2^(E+1).
constexpr double accept_lo(double delta) { return 0x1p-52 * (0.5 - delta) - 2.0 * kOwnError; }
constexpr double kAcceptLibrary = accept_lo(kDelta);
constexpr double kAcceptSmallSine = accept_lo(kDeltaSmallSine);
// Delta 0: v lies strictly on hi's side of both midpoints, so round(v) = hi.
constexpr double kAcceptCorrect = accept_lo(0.0);
static_assert(kAcceptCorrect > kAcceptLibrary && kAcceptLibrary > kAcceptSmallSine && kAcceptSmallSine > 0.0);
constexpr double kShifter = 0x1.8p52;

constexpr int64_t kAbsMask = 0x7fffffffffffffff;
constexpr int64_t kExponentMask = 0x7ff0000000000000;
constexpr int64_t kMantissaMask = 0x000fffffffffffff;

template <int W>
struct Lanes;

#if defined(LV_SINCOS8_AVX2)
template <>
struct Lanes<4> {
    using D = double __attribute__((vector_size(32)));
    using I = int64_t __attribute__((vector_size(32)));
    using U = uint64_t __attribute__((vector_size(32)));
    static D fma(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
    // The four lanes' table rows, loaded whole and transposed: faster than
    // four gathers on the CPUs measured.
    static void rows(const int64_t *j, D &sh, D &sl, D &ch, D &cl) {
        const __m256d r0 = _mm256_load_pd(kRows.v[j[0]]), r1 = _mm256_load_pd(kRows.v[j[1]]);
        const __m256d r2 = _mm256_load_pd(kRows.v[j[2]]), r3 = _mm256_load_pd(kRows.v[j[3]]);
        const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
        const __m256d t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
        sh = _mm256_permute2f128_pd(t0, t2, 0x20);
        ch = _mm256_permute2f128_pd(t0, t2, 0x31);
        sl = _mm256_permute2f128_pd(t1, t3, 0x20);
        cl = _mm256_permute2f128_pd(t1, t3, 0x31);
    }
    // Four {hi, lo} rows of the exponential's table: rows 0 and 2 share one
    // register, 1 and 3 the other, so that the unpacks leave lanes in order.
    static void pairs(const int64_t *j, D &hi, D &lo) {
        const auto two = [](const double *a, const double *b) {
            return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(a)), _mm_load_pd(b), 1);
        };
        const __m256d t02 = two(kExpRows.v[j[0]], kExpRows.v[j[2]]);
        const __m256d t13 = two(kExpRows.v[j[1]], kExpRows.v[j[3]]);
        hi = _mm256_unpacklo_pd(t02, t13);
        lo = _mm256_unpackhi_pd(t02, t13);
    }
    static uint32_t bits(I mask) {
        return static_cast<uint32_t>(_mm256_movemask_pd(reinterpret_cast<__m256d>(mask)));
    }
};
#endif

#if defined(LV_SINCOS8_AVX512)
template <>
struct Lanes<8> {
    using D = double __attribute__((vector_size(64)));
    using I = int64_t __attribute__((vector_size(64)));
    using U = uint64_t __attribute__((vector_size(64)));
    static D fma(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    // The eight lanes' table rows, loaded whole and transposed: pairs of
    // rows share a register ({0, 2}, {1, 3}, {4, 6}, {5, 7}) so that the
    // unpacks and one block shuffle leave every lane in its place.
    static void rows(const int64_t *j, D &sh, D &sl, D &ch, D &cl) {
        const auto pair = [](const double *lo, const double *hi) {
            return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_load_pd(lo)), _mm256_load_pd(hi), 1);
        };
        const __m512d z0 = pair(kRows.v[j[0]], kRows.v[j[2]]), z1 = pair(kRows.v[j[1]], kRows.v[j[3]]);
        const __m512d z2 = pair(kRows.v[j[4]], kRows.v[j[6]]), z3 = pair(kRows.v[j[5]], kRows.v[j[7]]);
        const __m512d lo01 = _mm512_unpacklo_pd(z0, z1), hi01 = _mm512_unpackhi_pd(z0, z1);
        const __m512d lo23 = _mm512_unpacklo_pd(z2, z3), hi23 = _mm512_unpackhi_pd(z2, z3);
        sh = _mm512_shuffle_f64x2(lo01, lo23, 0x88);  // blocks 0, 2 of each
        ch = _mm512_shuffle_f64x2(lo01, lo23, 0xdd);  // blocks 1, 3 of each
        sl = _mm512_shuffle_f64x2(hi01, hi23, 0x88);
        cl = _mm512_shuffle_f64x2(hi01, hi23, 0xdd);
    }
    // Eight {hi, lo} rows of the exponential's table, even rows in one
    // register and odd rows in the other, unpacked into lane order.
    static void pairs(const int64_t *j, D &hi, D &lo) {
        const auto four = [](const int64_t *k) {
            const __m256d ab = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(kExpRows.v[k[0]])),
                                                    _mm_load_pd(kExpRows.v[k[2]]), 1);
            const __m256d cd = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(kExpRows.v[k[4]])),
                                                    _mm_load_pd(kExpRows.v[k[6]]), 1);
            return _mm512_insertf64x4(_mm512_castpd256_pd512(ab), cd, 1);
        };
        const __m512d even = four(j), odd = four(j + 1);
        hi = _mm512_unpacklo_pd(even, odd);
        lo = _mm512_unpackhi_pd(even, odd);
    }
    static uint32_t bits(I mask) {
        return static_cast<uint32_t>(_mm512_movepi64_mask(reinterpret_cast<__m512i>(mask)));
    }
};
#endif

#if defined(LV_SINCOS8_NEON)
template <>
struct Lanes<2> {
    using D = double __attribute__((vector_size(16)));
    using I = int64_t __attribute__((vector_size(16)));
    using U = uint64_t __attribute__((vector_size(16)));
    static D fma(D a, D b, D c) {
        return reinterpret_cast<D>(vfmaq_f64(reinterpret_cast<float64x2_t>(c), reinterpret_cast<float64x2_t>(a),
                                             reinterpret_cast<float64x2_t>(b)));
    }
    // The two lanes' table rows, each loaded as two halves and zipped.
    static void rows(const int64_t *j, D &sh, D &sl, D &ch, D &cl) {
        const double *a = kRows.v[j[0]], *b = kRows.v[j[1]];
        const float64x2_t a01 = vld1q_f64(a), a23 = vld1q_f64(a + 2);
        const float64x2_t b01 = vld1q_f64(b), b23 = vld1q_f64(b + 2);
        sh = reinterpret_cast<D>(vzip1q_f64(a01, b01));
        sl = reinterpret_cast<D>(vzip2q_f64(a01, b01));
        ch = reinterpret_cast<D>(vzip1q_f64(a23, b23));
        cl = reinterpret_cast<D>(vzip2q_f64(a23, b23));
    }
    // Two {hi, lo} rows of the exponential's table, zipped into lane order.
    static void pairs(const int64_t *j, D &hi, D &lo) {
        const float64x2_t a = vld1q_f64(kExpRows.v[j[0]]), b = vld1q_f64(kExpRows.v[j[1]]);
        hi = reinterpret_cast<D>(vzip1q_f64(a, b));
        lo = reinterpret_cast<D>(vzip2q_f64(a, b));
    }
    // A lane of a comparison's mask is all ones or all zeros: its top bit.
    static uint32_t bits(I mask) {
        const uint64x2_t top = vshrq_n_u64(reinterpret_cast<uint64x2_t>(mask), 63);
        return static_cast<uint32_t>(vgetq_lane_u64(top, 0) | vgetq_lane_u64(top, 1) << 1);
    }
};
#endif

template <class D>
D splat(double v) {
    D d;
    for (unsigned i = 0; i < sizeof(D) / sizeof(double); ++i) d[i] = v;
    return d;
}

template <int W>
struct Pair {
    typename Lanes<W>::D hi, lo;
};

// hi + lo = a + b exactly, hi the rounded sum, when |a| >= |b| or a is 0.
template <class D>
inline void fast_two_sum(D a, D b, D &hi, D &lo) {
    hi = a + b;
    lo = b - (hi - a);
}

// The lanes whose sine, and whose cosine, the routine answers, with both as double-doubles.
// Everything here is explicit about fusing: the fused operations are part
// of the routine's error analysis, not a choice of the compiler.
template <int W>
struct Answered {
    typename Lanes<W>::I sin, cos;
};

// Correct: a lane is answered when its rounding is certain (the correctly
// rounded result); otherwise when the library's is (its bits). Always inlined
// into its block (as is exp_lanes): a call would hand the pairs and masks
// back through memory, and the compiler leaves it a call.
template <int W, bool Correct>
[[gnu::always_inline]] inline Answered<W> lanes(typename Lanes<W>::D x, Pair<W> &sn, Pair<W> &cs) {
    using L = Lanes<W>;
    using D = typename L::D;
    using I = typename L::I;
    const D ax = reinterpret_cast<D>(reinterpret_cast<I>(x) & kAbsMask);

    // k = x / (pi/512) rounded to an integer, read off the shifted sum's low bits.
    const D t = L::fma(x, splat<D>(kInvStep), splat<D>(kShifter));
    const I row = reinterpret_cast<I>(t) & 1023;
    const D k = t - splat<D>(kShifter);

    // r = x - k (pi/512), |k| < 2^16. k kStep1 and k kStep2 are exact (35
    // significant bits each), and so is r1: a multiple of the finer of its
    // operands' units, so of 2^-61 where k != 0 (|x| > 2^-9), and below 2^-8.
    // q is a multiple of 2^-81. Both sums are exact for every k: where |r1|
    // >= |q| the first is an exact fast two-sum; otherwise r1 - q (below 2^-29.5,
    // a multiple of 2^-81) is s0 itself and e0 = 0. The second is a fast
    // two-sum where |s0| >= |its other operand| (below 2^-61.9), and
    // otherwise exact as well, s0 being a multiple of that operand's unit.
    // What is rounded: fma(-k, kStep3, e0), error <= 2^-114.9; and the split
    // of pi/512, error <= |k| 2^-137 <= 2^-121. So |r - (rh + rl)| <=
    // 2^-114.9, |rh| <= rho = pi/1024 (1 + 2^-36) < 2^-8.348, |rl| <= 2^-62.
    const D r1 = L::fma(-k, splat<D>(kStep1), x);
    const D q = k * splat<D>(kStep2);
    const D s0 = r1 - q;
    const D e0 = (r1 - s0) - q;
    D rh, rl;
    fast_two_sum(s0, L::fma(-k, splat<D>(kStep3), e0), rh, rl);
    const D arh = reinterpret_cast<D>(reinterpret_cast<I>(rh) & kAbsMask);
    // Comparisons false on NaN send NaN and infinities to the library.
    const I ok = (ax <= splat<D>(kMaxArgument)) & (arh >= splat<D>(kMinReduced));

    // sin r = rh + (rl + sp), cos r = 1 + cmh + cml: the series and what they
    // leave out are analysed with the table (sincos8_table.h, at kRows); here
    // |rl| <= 2^-62, so rl r^2/2 <= 2^-79.7. Rounded: sp, about r^3/6 (|sp| <= rho^3/6 < 2^-27.63, and <= 2^-19.28
    // |r|), within 5u |sp| (r2, rh r2, the outer fma, the product, and kS3's
    // own rounding; the inner steps are scaled down by r2), so within 2^-78.3,
    // and 2^-69.96 |r|; cmh = -r2/2 is exact, r2's error r2l carried into
    // cml; cml (<= 2^-38) within 3u, 2^-89.4.
    const D r2 = rh * rh;
    const D r2l = L::fma(rh, rh, -r2);
    const D sp = (rh * r2) * L::fma(r2, L::fma(r2, splat<D>(kS7), splat<D>(kS5)), splat<D>(kS3));
    const D tail = rl + sp;
    const D cmh = r2 * splat<D>(-0.5);
    const D cml = L::fma(r2 * r2, L::fma(r2, splat<D>(kC6), splat<D>(kC4)),
                         L::fma(r2l, splat<D>(-0.5), -(rh * rl)));

    alignas(64) int64_t j[W];
    std::memcpy(j, &row, sizeof j);
    D sh, sl, ch, cl;
    L::rows(j, sh, sl, ch, cl);

    // sin x = S cos r + C sin r = S + C rh + [the small terms] (the terms and
    // the relative bounds: sincos8_table.h, at kRows). |S| >= |C rh|, so the
    // fast two-sum a + ae = S + p is exact; so are p + pe = C rh and the
    // last fast two-sum (|low| < |a|).
    // Rounded, each within u of its value:
    // - four sums of about S cmh + C tail (|S| r^2/2 <= 2^-17.70 |S|, and
    //   |C tail|): the first fma, `small`, the inner sum, `low` (the rest of
    //   each, |S cml| <= 2^-38 |S|, |Sl|, |ae| <= u |a|, adds below 2^-90);
    // - besides those four, two more of |C tail|: the product ch tail, and
    //   tail = rl + sp itself; and sp's own 5u |sp| (above).
    // Left out: C rl r^2/2 + Cl tail <= 2^-79.7 + 2^-80.6 = 2^-79.1 |C|, and
    // S r^8/8! + Sl cml <= 2^-82.1 |S|; the table's pairs are within 2^-106
    // of sin and cos, the reduction within 2^-114.9.
    // For j not 0 or 512, |sin x| >= sin(pi/1024 (1 - 2^-36)) >= 2^-8.349,
    // |S| <= 2 |sin x| and |C tail| <= 2^-19.28 |sin x|, so the sum is below
    //   u (4 2 2^-17.70 + (6 + 5) 2^-19.28) |sin x| + 2^-70.7 |sin x|
    //   = (2^-67.70 + 2^-69.70 + 2^-69.96 + 2^-70.7) |sin x| <= 2^-67.0 |sin x|.
    // For j = 0 or 512 (S = 0 exactly, C = +-1) the sums and ch tail are
    // exact; what remains is tail's rounding (u |tail| <= 2^-72.3 |r|, |rl| <=
    // u |r|), sp's 2^-69.96 |r| and rl r^2/2 <= 2^-70.7 |r|, with |sin x| >=
    // |r| (1 - 2^-19.3) and |r| >= kMinReduced: <= 2^-69.1 |sin x|. The cosine
    // is the same with S and C exchanged. kOwnError = 2^-66 bounds both with
    // a factor of 2.05 to spare (8.6 where the row's S, or C, is 0).
    {
        const D p = ch * rh;
        const D pe = L::fma(ch, rh, -p);
        const D a = sh + p;
        const D ae = p - (a - sh);
        const D small = L::fma(sh, cmh, ch * tail) + L::fma(sh, cml, sl * cmh);
        const D low = (ae + pe) + (L::fma(cl, rh, sl) + small);
        fast_two_sum(a, low, sn.hi, sn.lo);
    }
    // cos x = C cos r - S sin r = C - S rh + [the small terms], |C| >= |S rh| likewise.
    {
        const D p = sh * rh;
        const D pe = L::fma(sh, rh, -p);
        const D a = ch - p;
        const D ae = (ch - a) - p;
        const D small = L::fma(ch, cmh, -(sh * tail)) + L::fma(ch, cml, cl * cmh);
        const D low = (ae - pe) + (L::fma(-sl, rh, cl) + small);
        fast_two_sum(a, low, cs.hi, cs.lo);
    }

    // Ziv's test on each result: |lo| small enough that no midpoint is near.
    const auto far_from_midpoints = [](const Pair<W> &v, D accept) {
        const I b = reinterpret_cast<I>(v.hi);
        const D binade = reinterpret_cast<D>(b & kExponentMask);
        const D alo = reinterpret_cast<D>(reinterpret_cast<I>(v.lo) & kAbsMask);
        // A power of two has a nearer midpoint below it: left undecided.
        return (alo < binade * accept) & ((b & kMantissaMask) != 0);
    };
    if constexpr (Correct)
        return Answered<W>{ok & far_from_midpoints(sn, splat<D>(kAcceptCorrect)),
                           ok & far_from_midpoints(cs, splat<D>(kAcceptCorrect))};
    // The library's sine is documented looser below kSmallSine.
    const I small = ax < splat<D>(kSmallSine);
    const D sine_accept = reinterpret_cast<D>((small & reinterpret_cast<I>(splat<D>(kAcceptSmallSine))) |
                                              (~small & reinterpret_cast<I>(splat<D>(kAcceptLibrary))));
    return Answered<W>{ok & far_from_midpoints(sn, sine_accept),
                       ok & far_from_midpoints(cs, splat<D>(kAcceptLibrary))};
}

// exp x = 2^m 2^(j/128) e^r, x = (128 m + j) ln2/128 + r, as a double-double
// before the scaling by 2^m, which is exact where the lane is answered.
// The lanes answered, under either rule; `scale` is 2^m.
template <int W, bool Correct>
[[gnu::always_inline]] inline typename Lanes<W>::I exp_lanes(typename Lanes<W>::D x, Pair<W> &e,
                                                             typename Lanes<W>::D &scale) {
    using L = Lanes<W>;
    using D = typename L::D;
    using I = typename L::I;
    using U = typename L::U;

    // k = 128 m + j, the nearest integer to x 128/ln2, from the shifted sum's low bits.
    const D t = L::fma(x, splat<D>(kExpInvStep), splat<D>(kShifter));
    // In unsigned lanes: far below the range (x < -3.6e13, answered as +0) the
    // difference leaves the signed range.
    const I kbits = reinterpret_cast<I>(reinterpret_cast<U>(t) - reinterpret_cast<U>(splat<D>(kShifter)));
    const I row = kbits & 127;
    const D k = t - splat<D>(kShifter);
    // 2^m: m 2^52 is (k - j) 2^45, exact for |m| < 2^11.
    scale = reinterpret_cast<D>((reinterpret_cast<U>(kbits - row) << 45) + reinterpret_cast<U>(splat<D>(1.0)));

    // r = x - k ln2/128 as rh + rl, the same exact steps as the sines'
    // reduction, with |k| < 2^17 and kExpStep1, kExpStep2 of 34 significant
    // bits: r1 is a multiple of 2^-61 below 2^-8, q of 2^-76 below 2^-25.8, so
    // both sums are exact for every k, with no guard like kMinReduced (where
    // |r1| < |q|, r1 - q has fewer than 52 bits at q's unit; where |s0| is
    // below the other operand, s0 is a multiple of that operand's unit).
    // Rounded: fma(-k, kExpStep3, e0), <= 2^-113.4; the split of ln2/128,
    // <= 2^-117.5. |r| <= ln2/256 (1 + 2^-40) < 2^-8.528, |rl| <= 2^-62.
    const D r1 = L::fma(-k, splat<D>(kExpStep1), x);
    const D q = k * splat<D>(kExpStep2);
    const D s0 = r1 - q;
    const D e0 = (r1 - s0) - q;
    D rh, rl;
    fast_two_sum(s0, L::fma(-k, splat<D>(kExpStep3), e0), rh, rl);

    // e^r - 1 - r = r^2 (1/2 + r (1/6 + r (1/24 + r (1/120 + r/720)))), |r| <= 2^-8.528:
    // the first term left out, r^7/5040, is below 2^-72.0. |p| <= 2^-18.056 is
    // within 3.1u of its value (rh rh, the outer fma, the product, each u;
    // the inner steps and their constants are scaled down by r): 2^-69.4.
    const D p = (rh * rh) * L::fma(rh, L::fma(rh, L::fma(rh, L::fma(rh, splat<D>(1.0 / 720.0), splat<D>(1.0 / 120.0)),
                                                         splat<D>(1.0 / 24.0)),
                                              splat<D>(1.0 / 6.0)),
                                   splat<D>(0.5));
    alignas(64) int64_t j[W];
    std::memcpy(j, &row, sizeof j);
    D th, tl;
    L::pairs(j, th, tl);
    // T e^r = Th + Th rh + [Th (rl (1 + rh) + p) + Tl (1 + rh)], Th >= 1 >
    // |Th rh|: the fast two-sums are exact, and so are p + pe and a + ae.
    // Every term below is a multiple of T, and the result is at least
    // e^-|r| T >= 0.9973 T. Rounded, each within u of its value: the two
    // steps of tail (|tail| <= 2^-62 + |p| <= 2^-18.056), Th tail + ..., and
    // `low` (the same size; the rest of it, |ae| + |pe|, adds u^2): 4u
    // |tail| <= 2^-69.06. Left out: Tl p <= 2^-71.06, rl p <= 2^-80, the
    // table's own error (2^-106) and the reduction's. With p's 2^-69.4 and
    // the polynomial's 2^-72.0, the sum is below 2^-67.9 of the result:
    // kOwnError = 2^-66 bounds it with a factor of 3.8 to spare.
    const D ph = th * rh;
    const D pe = L::fma(th, rh, -ph);
    const D a = th + ph;
    const D ae = ph - (a - th);
    const D tail = rl + L::fma(rh, rl, p);
    const D low = (ae + pe) + L::fma(th, tail, L::fma(tl, rh, tl));
    fast_two_sum(a, low, e.hi, e.lo);

    const I b = reinterpret_cast<I>(e.hi);
    const D binade = reinterpret_cast<D>(b & kExponentMask);
    const D alo = reinterpret_cast<D>(reinterpret_cast<I>(e.lo) & kAbsMask);
    const D accept = splat<D>(Correct ? kAcceptCorrect : accept_lo(kExpDelta));
    // Comparisons false on NaN leave it undecided.
    const I in_range = (x >= splat<D>(kExpLowest)) & (x <= splat<D>(kExpHighest));
    return in_range & (alo < binade * accept) & ((b & kMantissaMask) != 0);
}

// Eight exponentials: every lane's candidate in y, and a set bit for each
// lane left undecided. Far below the range the result is +0, decided.
template <int W, bool Correct>
uint32_t exp_block(const double *x, double *y) {
    using L = Lanes<W>;
    using D = typename L::D;
    using I = typename L::I;
    uint32_t undecided = 0;
    for (int first = 0; first < 8; first += W) {
        std::remove_const_t<D> xs;
        std::memcpy(&xs, x + first, sizeof xs);
        Pair<W> e;
        D scale;
        const I answered = exp_lanes<W, Correct>(xs, e, scale);
        const I zero = xs < splat<D>(kExpZero);
        const D v = reinterpret_cast<D>(~zero & reinterpret_cast<I>(e.hi * scale));
        std::memcpy(y + first, &v, sizeof v);
        undecided |= (~L::bits(answered | zero) & ((1u << W) - 1)) << first;
    }
    return undecided;
}

// Every lane's e^x as hi + lo before the scaling, and the scale 2^m (for the
// validation program, which holds hi + lo to the routine's own bound).
template <int W>
void exp_pairs(const double *x, double *hi, double *lo, double *scale) {
    using D = typename Lanes<W>::D;
    for (int first = 0; first < 8; first += W) {
        std::remove_const_t<D> xs;
        std::memcpy(&xs, x + first, sizeof xs);
        Pair<W> e;
        D sc;
        exp_lanes<W, true>(xs, e, sc);
        std::memcpy(hi + first, &e.hi, sizeof e.hi);
        std::memcpy(lo + first, &e.lo, sizeof e.lo);
        std::memcpy(scale + first, &sc, sizeof sc);
    }
}

template <class D>
D load(const double *p) {
    D v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class D>
void store(double *p, D v) {
    std::memcpy(p, &v, sizeof v);
}

// Bits 0-7 of the undecided part: the sines left to a slower road; bits 8-15: the cosines.
template <int W>
uint32_t undecided_part(const Answered<W> &a, int first) {
    constexpr uint32_t kAll = (1u << W) - 1;
    return ((~Lanes<W>::bits(a.sin) & kAll) << first) | ((~Lanes<W>::bits(a.cos) & kAll) << (8 + first));
}

// The block's results (every lane's rounded candidate), and the part left
// undecided; with Lo, the double-doubles' low parts as well (for the
// validation program).
template <int W, bool Correct, bool Lo>
uint32_t evaluate(const double *x, double *s_hi, double *s_lo, double *c_hi, double *c_lo) {
    using D = typename Lanes<W>::D;
    uint32_t undecided = 0;
    for (int first = 0; first < 8; first += W) {
        Pair<W> sn, cs;
        const Answered<W> a = lanes<W, Correct>(load<D>(x + first), sn, cs);
        store(s_hi + first, sn.hi);
        store(c_hi + first, cs.hi);
        if constexpr (Lo) {
            store(s_lo + first, sn.lo);
            store(c_lo + first, cs.lo);
        }
        undecided |= undecided_part(a, first);
    }
    return undecided;
}

template <int W, bool Correct>
uint32_t block(const double *x, double *s, double *c) {
    return evaluate<W, Correct, false>(x, s, nullptr, c, nullptr);
}

template <int W>
uint32_t raw(const double *x, double *s_hi, double *s_lo, double *c_hi, double *c_lo, bool correct) {
    return correct ? evaluate<W, true, true>(x, s_hi, s_lo, c_hi, c_lo)
                   : evaluate<W, false, true>(x, s_hi, s_lo, c_hi, c_lo);
}

// Whether this file's arithmetic is as written. A contracted a*b - p (a
// fused multiply-add) gives the product's rounding error instead of zero, and
// the same contraction would silently break every exact sum and product above.
inline bool contraction_off() {
    static volatile double a = 1.0 + 0x1p-30, b = 1.0 - 0x1p-30;
    const double p = a * b;
    return a * b - p == 0.0;
}

}  // namespace kernel
}  // namespace
