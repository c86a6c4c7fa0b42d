// sincos8_avx2.cpp: the vector routine in four lanes of AVX2 with FMA; this file alone is built for them.
#define LV_SINCOS8_AVX2 1
#include "dynamics/sincos8_kernel.h"

namespace lv {

extern const SinCos8Kernel kSinCos8Avx2;
const SinCos8Kernel kSinCos8Avx2 = {"avx2", kernel::block<4>, kernel::raw<4>};

}  // namespace lv
