// sincos8_avx512.cpp: the vector routine in eight lanes of AVX-512; this file alone is built for it.
#define LV_SINCOS8_AVX512 1
#include "dynamics/sincos8_kernel.h"

namespace lv {

extern const SinCos8Kernel kSinCos8Avx512;
const SinCos8Kernel kSinCos8Avx512 = {"avx512", kernel::block<8>, kernel::raw<8>};

}  // namespace lv
