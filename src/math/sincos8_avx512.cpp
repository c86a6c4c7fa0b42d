// sincos8_avx512.cpp: the vector routine in eight lanes of AVX-512; this file alone is built for it.
#if defined(__x86_64__)
#define LV_SINCOS8_AVX512 1
#include "math/sincos8_kernel.h"

namespace lv {

uint32_t sincos8_avx512_system(const double *x, double *s, double *c) { return kernel::block<8, false>(x, s, c); }
uint32_t sincos8_avx512_correct(const double *x, double *s, double *c) { return kernel::block<8, true>(x, s, c); }

uint32_t sincos8_avx512_raw(const double *x, double *s_hi, double *s_lo, double *c_hi, double *c_lo,
                         bool correct) {
    return kernel::raw<8>(x, s_hi, s_lo, c_hi, c_lo, correct);
}

uint32_t exp8_avx512_system(const double *x, double *y) { return kernel::exp_block<8, false>(x, y); }
uint32_t exp8_avx512_correct(const double *x, double *y) { return kernel::exp_block<8, true>(x, y); }

bool sincos8_avx512_as_written() { return kernel::contraction_off(); }

void exp8_avx512_pairs(const double *x, double *hi, double *lo, double *scale) {
    kernel::exp_pairs<8>(x, hi, lo, scale);
}

}  // namespace lv

#endif
