// sincos8_kernel.h: the vector routine for one instruction set; included only by the file built for it.
//
// Each lane reduces x = k (pi/512) + r, with r a double-double, takes sin and
// cos of k pi/512 from the table and of r from short Taylor series, and
// recombines in double-double: hi + lo lies within 2^-63 |v| of the true
// value v (the analysis is in docs/design.md; validate_sincos measures it).
// The library's sincos is within 0.5 + m ulp of v, m < kDelta, wherever the
// routine takes a lane. So when v lies farther than kDelta ulp from every
// rounding midpoint, the library's result is the only double within its
// error of v, namely round(v) = hi, and hi is returned. Every other lane, and
// every argument outside the reduction's range, goes to the library itself.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "dynamics/sincos8_table.h"

// Internal linkage throughout, and no inline function of the standard
// library: each instruction set's file has its own copy of everything it
// runs, and the linker can never hand one file's code to other callers.
namespace {
namespace kernel {

using namespace lv::sincos8_data;

// |lo| below this multiple of 2^E (|hi| in [2^E, 2^(E+1))) puts v farther
// than kDelta ulp from the midpoints: ulp(hi) = 2^(E-52), and |v - (hi + lo)|
// is at most kOwnError 2^(E+1).
constexpr double kAcceptLo = 0x1p-52 * (0.5 - kDelta) - 2.0 * kOwnError;
constexpr double kShifter = 0x1.8p52;

constexpr double kS3 = -1.0 / 6.0, kS5 = 1.0 / 120.0, kS7 = -1.0 / 5040.0;
constexpr double kC4 = 1.0 / 24.0, kC6 = -1.0 / 720.0;

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
    static D fma(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
    static D gather(const double *base, I index) {
        return _mm256_i64gather_pd(base, reinterpret_cast<__m256i>(index), 8);
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
    static D fma(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    static D gather(const double *base, I index) {
        // The masked form: GCC 12 warns of the plain one's uninitialised source.
        return _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xff,
                                        reinterpret_cast<__m512i>(index), base, 8);
    }
    static uint32_t bits(I mask) {
        return static_cast<uint32_t>(_mm512_movepi64_mask(reinterpret_cast<__m512i>(mask)));
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

// The lanes' accepted mask, with their sine and cosine as double-doubles.
template <int W>
inline typename Lanes<W>::I lanes(typename Lanes<W>::D x, Pair<W> &sn, Pair<W> &cs) {
    using L = Lanes<W>;
    using D = typename L::D;
    using I = typename L::I;
    const D ax = reinterpret_cast<D>(reinterpret_cast<I>(x) & kAbsMask);

    // k = x / (pi/512) rounded to an integer, read off the shifted sum's low bits.
    const D t = x * splat<D>(kInvStep) + splat<D>(kShifter);
    const I row = (reinterpret_cast<I>(t) & 1023) * 4;
    const D k = t - splat<D>(kShifter);

    // r = x - k (pi/512): the first difference is exact (k kStep1 is, and the
    // difference is a multiple of the coarser of the two units and small).
    const D r1 = x - k * splat<D>(kStep1);
    const D q = k * splat<D>(kStep2);
    const D s0 = r1 - q;
    const D bv = s0 - r1;
    const D e0 = (r1 - (s0 - bv)) + (-q - bv);
    D rh, rl;
    fast_two_sum(s0, e0 - k * splat<D>(kStep3), rh, rl);
    const D arh = reinterpret_cast<D>(reinterpret_cast<I>(rh) & kAbsMask);
    // Comparisons false on NaN send NaN and infinities to the library.
    I ok = (ax <= splat<D>(kMaxArgument)) & (arh >= splat<D>(kMinReduced));

    // sin r = rh + (rl + sp), cos r = 1 + cmh + cml, |r| <= pi/1024 (1 + 2^-40).
    const D r2 = rh * rh;
    const D r2l = L::fma(rh, rh, -r2);
    const D sp = (rh * r2) * (splat<D>(kS3) + r2 * (splat<D>(kS5) + r2 * splat<D>(kS7)));
    const D tail = rl + sp;
    const D cmh = r2 * splat<D>(-0.5);
    const D cml = (r2l * splat<D>(-0.5) - rh * rl) + (r2 * r2) * (splat<D>(kC4) + r2 * splat<D>(kC6));

    const D sh = L::gather(&kRows.v[0][0], row);
    const D sl = L::gather(&kRows.v[0][1], row);
    const D ch = L::gather(&kRows.v[0][2], row);
    const D cl = L::gather(&kRows.v[0][3], row);

    // sin x = S cos r + C sin r = S + C rh + [the small terms].
    {
        const D p = ch * rh;
        const D pe = L::fma(ch, rh, -p);
        const D a = sh + p;
        const D av = a - sh;
        const D ae = (sh - (a - av)) + (p - av);
        const D low = (ae + pe) + ((sl + cl * rh) + ((ch * tail + sl * cmh) + (sh * cml + sh * cmh)));
        fast_two_sum(a, low, sn.hi, sn.lo);
    }
    // cos x = C cos r - S sin r = C - S rh + [the small terms].
    {
        const D p = sh * rh;
        const D pe = L::fma(sh, rh, -p);
        const D a = ch - p;
        const D av = a - ch;
        const D ae = (ch - (a - av)) + (-p - av);
        const D low = (ae - pe) + ((cl - sl * rh) + ((cl * cmh - sh * tail) + (ch * cml + ch * cmh)));
        fast_two_sum(a, low, cs.hi, cs.lo);
    }

    // Ziv's test on each result: |lo| small enough that no midpoint is near.
    const auto far_from_midpoints = [](const Pair<W> &v) {
        const I b = reinterpret_cast<I>(v.hi);
        const D binade = reinterpret_cast<D>(b & kExponentMask);
        const D alo = reinterpret_cast<D>(reinterpret_cast<I>(v.lo) & kAbsMask);
        // A power of two has a nearer midpoint below it: left to the library.
        return (alo < binade * splat<D>(kAcceptLo)) & ((b & kMantissaMask) != 0);
    };
    ok &= far_from_midpoints(sn) & far_from_midpoints(cs);
    return ok;
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

// The block's rounded results; a set bit j leaves lane j to the library.
template <int W>
uint32_t block(const double *x, double *s, double *c) {
    using D = typename Lanes<W>::D;
    uint32_t library = 0;
    for (int first = 0; first < 8; first += W) {
        Pair<W> sn, cs;
        const auto ok = lanes<W>(load<D>(x + first), sn, cs);
        store(s + first, sn.hi);
        store(c + first, cs.hi);
        library |= (~Lanes<W>::bits(ok) & ((1u << W) - 1)) << first;
    }
    return library;
}

template <int W>
void raw(const double *x, double *s_hi, double *s_lo, double *c_hi, double *c_lo,
         uint32_t *library_lanes) {
    using D = typename Lanes<W>::D;
    uint32_t library = 0;
    for (int first = 0; first < 8; first += W) {
        Pair<W> sn, cs;
        const auto ok = lanes<W>(load<D>(x + first), sn, cs);
        store(s_hi + first, sn.hi);
        store(s_lo + first, sn.lo);
        store(c_hi + first, cs.hi);
        store(c_lo + first, cs.lo);
        library |= (~Lanes<W>::bits(ok) & ((1u << W) - 1)) << first;
    }
    *library_lanes = library;
}

}  // namespace kernel
}  // namespace
