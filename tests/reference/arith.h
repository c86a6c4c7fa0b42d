// reference/arith.h: the mantissa arithmetic computed plainly, through GMP:
// the right shift, normalisation (one bit at a time, and from a count of
// leading zeros) and the addition of magnitudes. Words run most significant
// first, as in a slot.
#pragma once

#include <gmp.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "reference/gmp_words.h"
#include "lumivane/lumivane.h"

namespace lvref {

using lvgmp::Words;

// A slot's number: its words, exponent and flags.
struct Value {
    Words w;
    int64_t exponent;
    uint32_t flags;
};

// The words shifted right by any count.
inline Words shifted_right(const Words &w, uint64_t bits) {
    if (bits >= 64 * w.size()) return Words(w.size(), 0);
    lvgmp::Z z;
    lvgmp::to_mpz(z.v, w);
    mpz_tdiv_q_2exp(z.v, z.v, static_cast<mp_bitcnt_t>(bits));
    return lvgmp::from_mpz(z.v, w.size());
}

// Normalisation exactly as described: while bit 63 of word 0 is clear and the
// exponent is above -2^(eb-1), shift the words left by one bit and lower the
// exponent by one. Stopped at the bottom: underflow, and a zero word 0 takes
// the exponent to 0. Slow for exponents far above the bottom of the range.
inline void normalize_by_single_bits(Value &v, int exponent_bits) {
    const size_t n = v.w.size();
    if (n == 0 || (v.w[0] >> 63) != 0) return;
    const int64_t min = -(int64_t{1} << (exponent_bits - 1));
    while (v.exponent > min) {
        for (size_t i = 0; i < n; ++i) v.w[i] = (v.w[i] << 1) | (i + 1 < n ? v.w[i + 1] >> 63 : 0);
        v.exponent -= 1;
        if ((v.w[0] >> 63) != 0) return;
    }
    v.flags |= FLAG_UNDERFLOW;
    if (v.w[0] == 0) v.exponent = 0;
}

// The same result at once: min(leading zeros, room above the bottom) steps.
inline Value normalize_by_leading_zeros(Value v, int exponent_bits) {
    const size_t n = v.w.size();
    if (n == 0 || (v.w[0] >> 63) != 0) return v;
    const int64_t min = -(int64_t{1} << (exponent_bits - 1));
    lvgmp::Z z;
    lvgmp::to_mpz(z.v, v.w);
    const uint64_t lz = mpz_sgn(z.v) == 0 ? 64 * n : 64 * n - mpz_sizeinbase(z.v, 2);
    const uint64_t room =
        v.exponent > min ? static_cast<uint64_t>(v.exponent) - static_cast<uint64_t>(min) : 0;
    const uint64_t step = std::min(lz, room);
    mpz_mul_2exp(z.v, z.v, step);
    mpz_fdiv_r_2exp(z.v, z.v, 64 * n);
    v.w = lvgmp::from_mpz(z.v, n);
    v.exponent -= static_cast<int64_t>(step);
    if (lz > room || lz == 64 * n) {
        v.flags |= FLAG_UNDERFLOW;
        if (v.w[0] == 0) v.exponent = 0;
    }
    return v;
}

// The addition of magnitudes, a + b into a's words: the smaller exponent's
// words shifted right to the larger, the word sum through mpn_add_n; a carry
// out raises the exponent by one and shifts it back in from the top, unless
// the exponent is already at the top of its range (overflow, words as summed);
// then normalisation. Both have as many words.
inline Value add(Value a, const Value &b, int exponent_bits) {
    const size_t n = a.w.size();
    Value t = b;
    if (a.exponent > t.exponent) {
        t.w = shifted_right(t.w, static_cast<uint64_t>(a.exponent) - static_cast<uint64_t>(t.exponent));
    } else if (a.exponent < t.exponent) {
        a.w = shifted_right(a.w, static_cast<uint64_t>(t.exponent) - static_cast<uint64_t>(a.exponent));
        a.exponent = t.exponent;
    }
    if (n > 0) {
        // GMP limbs run least significant first.
        std::vector<mp_limb_t> x(a.w.rbegin(), a.w.rend()), y(t.w.rbegin(), t.w.rend()), sum(n);
        const mp_limb_t carry = mpn_add_n(sum.data(), x.data(), y.data(), static_cast<mp_size_t>(n));
        if (carry != 0) {
            if (a.exponent < (int64_t{1} << (exponent_bits - 1))) {
                a.exponent += 1;
                mpn_rshift(sum.data(), sum.data(), static_cast<mp_size_t>(n), 1);
                sum[n - 1] |= uint64_t{1} << 63;
            } else {
                a.flags |= FLAG_OVERFLOW;
            }
        }
        a.w.assign(sum.rbegin(), sum.rend());
    }
    return normalize_by_leading_zeros(a, exponent_bits);
}

}  // namespace lvref
