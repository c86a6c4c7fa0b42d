// sincos8_probe.h: what the validation programs and tests ask of a vector kernel beyond its blocks: its lanes before settling.
#pragma once

#include <cstdint>

#include "math/sincos8.h"

namespace lv {

struct VectorProbe {
    // The lanes as double-double pairs (hi + lo, before rounding), and the
    // undecided results under either rule: bit j for the sine of lane j, bit
    // 8 + j for its cosine.
    uint32_t (*raw)(const double *x, double *s_hi, double *s_lo, double *c_hi, double *c_lo,
                    bool correct);
    // Every lane's exponential candidate and the undecided lanes (bit j).
    uint32_t (*exp_raw)(const double *x, double *y, bool correct);
    // Every lane's exponential as hi + lo before its scaling by 2^m, and 2^m.
    void (*exp_pairs)(const double *x, double *hi, double *lo, double *scale);
};

// The probe of a kernel that vector_kernel() gave.
const VectorProbe &vector_probe(const VectorKernel &k);

}  // namespace lv
