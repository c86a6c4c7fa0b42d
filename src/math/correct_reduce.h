// correct_reduce.h: x modulo pi/2, as a row of pi/512 and the rest: Payne-Hanek in fixed point for every finite x, and the fast phase's double-double.
//
// Bounds: the fixed-point fraction g (|g| <= 1/2, in units of pi/512) lies
// within 2^-(64N - 0.4) of the exact one, for every binary64 exponent; the
// fast phase's r = rh + rl within abs 2^-114 for |x| <= 256 (Cody-Waite),
// rel 2^-102 of |r| plus 2^-250 beyond.
#pragma once

#include <bit>
#include <cstdint>

#include "math/correct_dd.h"
#include "math/correct_fixed.h"
#include "math/correct_table.h"
#include "math/sincos8_table.h"

namespace lv::cr_detail {

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

// The fast phase's reduction: x = row pi/512 + r (modulo 2 pi), r = rh + rl
// within `reduction` (abs), |rh| <= pi/1024 (1 + 2^-35). Up to 256, Cody-Waite
// with the vector routine's three-part pi/512 (sincos8_table.h); past it, the
// Payne-Hanek fraction above at 256 bits, of |x|: `flip` then says the sine
// takes x's sign.
struct FastReduced {
    unsigned row;
    double rh, rl, reduction;
    bool flip;
};
inline FastReduced reduce_fast(double x) {
    namespace d = sincos8_data;
    const double ax = abs_of(x);
    FastReduced out{};
    if (ax <= 256.0) {
        // Cody-Waite: |k| <= 256 (512/pi) < 2^15.4. k kStep1 and k kStep2 are
        // exact (35 + 16 significant bits); x - k kStep1 is exact (Sterbenz:
        // within a factor 2 of each other for k != 0); the two-sums are exact;
        // k kStep3 (<= 2^-69) is rounded, abs 2^-122; e0 - t3 (<= 2^-61.2)
        // rounded, abs 2^-114.2; the three steps' sum is pi/512 to 2^-137, times
        // k 2^-121.6. abs < 2^-114.
        const double kd = (x * d::kInvStep + kShifter) - kShifter;
        out.row = static_cast<unsigned>(static_cast<int64_t>(kd)) & 1023;
        const double r1 = x - kd * d::kStep1;
        const DD s0 = two_sum(r1, -(kd * d::kStep2));
        const DD r = two_sum(s0.hi, s0.lo - kd * d::kStep3);
        out.rh = r.hi;
        out.rl = r.lo;
        out.reduction = 0x1p-113;
    } else {
        // Payne-Hanek (g abs 2^-255.6 in units of pi/512), g to a double-double
        // from its leading 128 bits (rel 2^-105), times pi/512 as a
        // double-double (rel 2^-106; the product's rounding rel 2^-104): rel
        // 2^-103 of |r|.
        bool negative;
        Frac<4> g;
        reduce<4>(ax, out.row, negative, g);
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
        out.rh = negative ? -r.hi : r.hi;
        out.rl = negative ? -r.lo : r.lo;
        out.reduction = abs_of(out.rh) * 0x1p-102 + 0x1p-250;
        out.flip = x < 0;
    }
    return out;
}

}  // namespace lv::cr_detail
