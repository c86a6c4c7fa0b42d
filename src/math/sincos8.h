// sincos8.h: the sines and cosines of a block of eight links, exactly as the maths library's sincos gives them.
#pragma once

#include <cstdint>

namespace lv {

// Writes sincos(x[j]) to s[j] and c[j] for j = 0..7, bit for bit.
using SinCos8 = void (*)(const double *x, double *s, double *c);

// Eight calls of the library's sincos: the reference every other block function equals.
void sincos8_scalar(const double *x, double *s, double *c);

// The block function the sweep uses: a vector routine where the CPU, the C
// library and the first-use check allow it (eight lanes where they pay, else
// four), otherwise sincos8_scalar. Chosen once per process.
SinCos8 sincos8_block();

// The choice itself: `candidate` is taken only when it gives the library's
// bits on every one of the hard arguments below; otherwise the scalar block.
SinCos8 sincos8_checked(SinCos8 candidate);

// Arguments on which a vector routine is most likely to part from the
// library: values near a rounding midpoint, near multiples of pi/4 and of the
// table's step, tiny, subnormal, signed zeros, large, past the reduction's
// range, infinities and NaN.
struct HardArguments {
    const double *values;
    int count;
};
HardArguments sincos8_hard_arguments();

// What the vector routines know of themselves, for the validation program and the tests.
struct SinCos8Kernel {
    const char *name;
    SinCos8 block;
    // The same lanes as double-double pairs (hi + lo, before rounding), and
    // the results the routine would leave to the library: bit j for the
    // sine of lane j, bit 8 + j for its cosine.
    void (*raw)(const double *x, double *s_hi, double *s_lo, double *c_hi, double *c_lo,
                uint32_t *library_part);
};
// The kernels this build holds and this CPU can run, narrowest first: null
// for i past the last, and for every i when the vector path is built out.
const SinCos8Kernel *sincos8_kernel(int i);

}  // namespace lv
