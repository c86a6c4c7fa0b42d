// correct_dd.h: the correctly rounded functions' double-double pieces: exact two-sums and two-products, and Ziv's rounding test.
//
// Bounds: two_sum, fast_two_sum (|a| >= |b|) and two_prod (far from overflow
// and underflow) are exact; rounds_to decides only when round(v) is certain
// for any v within e of h + l, given e >= 2^-80 |h| (margin 2^-24 of e).
// Error bounds in the files that use these are written beside each step as
// |computed - exact|; "abs" is an absolute bound, "rel" one relative to the
// exact result. ulp and rounding errors of a double operation are bounded by
// 2^-53 of its result.
#pragma once

#include <bit>
#include <cstdint>

// The two-sums, two-products and Veltkamp splits below are exact only as
// written: no reassociation and no contraction into fused multiply-adds (the
// build gives -ffp-contract=off to every file).
#ifdef __FAST_MATH__
#error "the correctly rounded functions need IEEE arithmetic as written: build without -ffast-math"
#endif

namespace lv::cr_detail {

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

// Rounds to an integer when added and subtracted (|v| < 2^51), ties to even.
inline constexpr double kShifter = 0x1.8p52;

}  // namespace lv::cr_detail

// Internal linkage, one copy in each file: a contracted a*b - p (a fused
// multiply-add) gives the product's rounding error instead of zero, and the
// same contraction would silently break every two_prod and two_sum of the
// file that asks.
namespace {
inline bool contraction_off_here() {
    static volatile double a = 1.0 + 0x1p-30, b = 1.0 - 0x1p-30;
    const double p = a * b;
    return a * b - p == 0.0;
}
}  // namespace
