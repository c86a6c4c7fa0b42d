// sincos8.cpp: which block function the sweep uses: the vector routine where it is proven to match the library, else sincos.
#include "math/sincos8.h"

#include <cmath>
#include <cstring>
#include <limits>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

namespace lv {

#if LUMIVANE_VECTOR_MATH
// In the files built for their instruction sets: the rounded results, and a
// set bit for each lane left to the library.
uint32_t sincos8_avx2(const double *x, double *s, double *c);
uint32_t sincos8_avx512(const double *x, double *s, double *c);
void sincos8_avx2_raw(const double *x, double *s_hi, double *s_lo, double *c_hi, double *c_lo,
                      uint32_t *library_part);
void sincos8_avx512_raw(const double *x, double *s_hi, double *s_lo, double *c_hi, double *c_lo,
                        uint32_t *library_part);
#endif

void sincos8_scalar(const double *x, double *s, double *c) {
    for (int j = 0; j < 8; ++j) ::sincos(x[j], &s[j], &c[j]);
}

namespace {

#if LUMIVANE_VECTOR_MATH
// The library's sin and cos give sincos's bits (validate_sincos holds them
// to it), so a lane that needs only one of them pays for only one.
template <uint32_t (*Lanes)(const double *, double *, double *)>
void with_library(const double *x, double *s, double *c) {
    const uint32_t library = Lanes(x, s, c);
    if (library == 0) return;
    const uint32_t sines = library & 0xff, cosines = library >> 8;
    for (uint32_t both = sines & cosines; both != 0; both &= both - 1) {
        const int j = __builtin_ctz(both);
        ::sincos(x[j], &s[j], &c[j]);
    }
    for (uint32_t only = sines & ~cosines; only != 0; only &= only - 1) {
        const int j = __builtin_ctz(only);
        s[j] = std::sin(x[j]);
    }
    for (uint32_t only = cosines & ~sines; only != 0; only &= only - 1) {
        const int j = __builtin_ctz(only);
        c[j] = std::cos(x[j]);
    }
}

constexpr SinCos8Kernel kAvx2{"avx2", with_library<sincos8_avx2>, sincos8_avx2_raw};
constexpr SinCos8Kernel kAvx512{"avx512", with_library<sincos8_avx512>, sincos8_avx512_raw};
#endif

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Eight to a block; the check runs them through the candidate in blocks.
constexpr double kHard[] = {
    // True values within 2e-5 ulp of a rounding midpoint, and arguments where
    // the library's result is not the correctly rounded one.
    -0x1.5339b041e723ep+3, -0x1.42d8d5bc7f4fp+0, 0x1.5e97724acb5f4p+1, -0x1.85623399aa4aap+2,
    -0x1.59b5acaff8438p+1, 0x1.dc6bf47bcd48p-2, -0x1.74b97f2b915fp+1, -0x1.168219cdbcce8p+3,
    -0x1.876b5bd34601bp+2, 0x1.8e6c5f25cba8p+2, -0x1.9689636cac455p+3, 0x1.098ca0e37658cp+1,
    -0x1.09e8f2f0911a4p+3, -0x1.2d50cae73c382p+3, 0x1.afc485c4f1c3p+1, 0x1.40de557d57e6p+2,
    0x1.c86c3196e61ep+1, 0x1.41f3d825b003p+1, -0x1.c2845ff32c324p+1, 0x1.70db58f4926ecp+2,
    0x1.86b90916160dp+1, 0x1.553370b215c44p+2, -0x1.1464033bec733p+3, -0x1.11b1e1345aea6p+3,
    // Near multiples of pi/4 and pi/2, and of the table's step pi/512.
    0x1.921fb54442d18p+0, 0x1.921fb54442d19p+0, 0x1.921fb54442d17p+0, 0x1.921fb54442d18p+1,
    0x1.921fb54442d18p-1, -0x1.921fb54442d18p+1, 0x1.2d97c7f3321d2p+1, 0x1.2d97c7f3321d2p+2,
    0x1.921fb54442d18p+2, 0x1.921fb54442d18p+0 + 0x1p-21, 0x1.921fb54442d18p+0 - 0x1p-19,
    0x1.921fb54442d18p-8, 0x1.921fb54442d18p-9, 0x1.921fb54442d18p-8 + 0x1p-29,
    -0x1.f6a7a2955385ep+3, 0x1.5fdbbe9bba775p+2,
    // Tiny, subnormal and zero.
    0x1p-20, 0x1.fffffffffffffp-21, 0x1p-30, 1e-300, 0x1p-1074, -0x1p-1074, 0.0, -0.0,
    // Large, and past the reduction's range.
    255.99999999999997, 256.0, 256.00000000000006, -256.0, 1e3, 1e6, 0x1p52, 1e300,
    // Not finite, and the run's ordinary angles.
    kInf, -kInf, kNaN, -kNaN, -13.0, 7.0, 6.283185307179586, -3.0,
};
static_assert(sizeof kHard / sizeof kHard[0] % 8 == 0, "hard arguments come in blocks of eight");

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

#if LUMIVANE_VECTOR_MATH
bool library_measured() {
#if defined(__GLIBC__)
    // The library whose error tail the margin rests on (docs/performance.md).
    return std::strcmp(gnu_get_libc_version(), "2.36") == 0;
#else
    return false;
#endif
}

// AVX-512 pays where its registers are 256 bits wide inside (AMD's Zen 4,
// on which a block of eight measured faster in eight lanes than in two sets
// of four); on Intel cores the eight-lane routine makes the sweep slower than
// the four-lane one (docs/performance.md).
bool eight_lanes_pay() { return __builtin_cpu_is("amd"); }
#endif

SinCos8 choose() {
#if LUMIVANE_VECTOR_MATH
    if (!library_measured()) return sincos8_scalar;
    // The preferred kernel first, then the other; the first to pass the check.
    const SinCos8Kernel *avx2 = sincos8_kernel(0), *avx512 = sincos8_kernel(1);
    const SinCos8Kernel *order[2] = {avx2, avx512};
    if (avx512 != nullptr && eight_lanes_pay()) {
        order[0] = avx512;
        order[1] = avx2;
    }
    for (const SinCos8Kernel *k : order)
        if (k != nullptr && sincos8_checked(k->block) == k->block) return k->block;
#endif
    return sincos8_scalar;
}

}  // namespace

HardArguments sincos8_hard_arguments() {
    return HardArguments{kHard, static_cast<int>(sizeof kHard / sizeof kHard[0])};
}

SinCos8 sincos8_checked(SinCos8 candidate) {
    const HardArguments hard = sincos8_hard_arguments();
    for (int first = 0; first < hard.count; first += 8) {
        double s[8], c[8], rs[8], rc[8];
        candidate(hard.values + first, s, c);
        sincos8_scalar(hard.values + first, rs, rc);
        for (int j = 0; j < 8; ++j)
            if (!same_bits(s[j], rs[j]) || !same_bits(c[j], rc[j])) return sincos8_scalar;
    }
    return candidate;
}

const SinCos8Kernel *sincos8_kernel(int i) {
#if LUMIVANE_VECTOR_MATH
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    if (i == 0 && avx2) return &kAvx2;
    if (i == 1 && avx512) return &kAvx512;
#else
    (void)i;
#endif
    return nullptr;
}

SinCos8 sincos8_block() {
    static const SinCos8 chosen = choose();
    return chosen;
}

}  // namespace lv
