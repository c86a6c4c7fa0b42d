// sincos8_avx2.cpp: the vector routine in four lanes of AVX2 with FMA; this file alone is built for them.
#define LV_SINCOS8_AVX2 1
#include "math/sincos8_kernel.h"

namespace lv {

uint32_t sincos8_avx2(const double *x, double *s, double *c) { return kernel::block<4>(x, s, c); }

void sincos8_avx2_raw(const double *x, double *s_hi, double *s_lo, double *c_hi, double *c_lo,
                        uint32_t *library_part) {
    kernel::raw<4>(x, s_hi, s_lo, c_hi, c_lo, library_part);
}

}  // namespace lv
