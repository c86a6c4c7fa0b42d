// sincos8_avx512.cpp: the vector routine in eight lanes of AVX-512; this file alone is built for it.
#define LV_SINCOS8_AVX512 1
#include "math/sincos8_kernel.h"

namespace lv {

uint32_t sincos8_avx512(const double *x, double *s, double *c) { return kernel::block<8>(x, s, c); }

void sincos8_avx512_raw(const double *x, double *s_hi, double *s_lo, double *c_hi, double *c_lo,
                        uint32_t *library_part) {
    kernel::raw<8>(x, s_hi, s_lo, c_hi, c_lo, library_part);
}

}  // namespace lv
