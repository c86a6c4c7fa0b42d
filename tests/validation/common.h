// common.h: what both validation programs use: a fixed sequence of arguments, bitwise equality, rounding to fewer bits.
#pragma once

#include <mpfr.h>

#include <bit>
#include <cstdint>
#include <limits>

namespace lvval {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

// xorshift64*: a fixed sequence of arguments for every run.
struct Draws {
    uint64_t s;
    uint64_t next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1Dull;
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    double sign() { return (next() & 1) != 0 ? -1.0 : 1.0; }
    int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
};

inline bool same(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

// A double with at most `bits` significant bits, nearest to v.
inline double rounded_to(mpfr_t v, int bits) {
    mpfr_t r;
    mpfr_init2(r, bits);
    mpfr_set(r, v, MPFR_RNDN);
    const double d = mpfr_get_d(r, MPFR_RNDN);
    mpfr_clear(r);
    return d;
}

}  // namespace lvval
