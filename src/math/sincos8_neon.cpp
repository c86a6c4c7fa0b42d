// sincos8_neon.cpp: the vector routine in two lanes of AArch64's Advanced SIMD (NEON), whose fused multiply-add every such processor has.
#if defined(__aarch64__)
#define LV_SINCOS8_NEON 1
#include "math/sincos8_kernel.h"

namespace lv {

uint32_t sincos8_neon_system(const double *x, double *s, double *c) { return kernel::block<2, false>(x, s, c); }
uint32_t sincos8_neon_correct(const double *x, double *s, double *c) { return kernel::block<2, true>(x, s, c); }

uint32_t sincos8_neon_raw(const double *x, double *s_hi, double *s_lo, double *c_hi, double *c_lo,
                         bool correct) {
    return kernel::raw<2>(x, s_hi, s_lo, c_hi, c_lo, correct);
}

uint32_t exp8_neon_system(const double *x, double *y) { return kernel::exp_block<2, false>(x, y); }
uint32_t exp8_neon_correct(const double *x, double *y) { return kernel::exp_block<2, true>(x, y); }

bool sincos8_neon_as_written() { return kernel::contraction_off(); }

void exp8_neon_pairs(const double *x, double *hi, double *lo, double *scale) {
    kernel::exp_pairs<2>(x, hi, lo, scale);
}

}  // namespace lv

#endif
