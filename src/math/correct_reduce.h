// correct_reduce.h: x modulo pi/2, as a row of pi/512 and a fixed-point fraction of a row (Payne-Hanek), for every finite x.
//
// Bound: the fraction g (|g| <= 1/2, in units of pi/512) lies within
// 2^-(64N - 0.4) of the exact one, for every binary64 exponent.
#pragma once

#include <bit>
#include <cstdint>

#include "math/correct_fixed.h"
#include "math/correct_table.h"

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

}  // namespace lv::cr_detail
