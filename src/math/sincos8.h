// sincos8.h: blocks of eight sines and cosines, and of eight exponentials: the maths library's bits, or the correctly rounded ones; the vector kernels and the table of paths.
#pragma once

#include <cstdint>
#include <span>

namespace lv {

// Writes the sines and cosines of x[0..7] to s and c.
using SinCos8 = void (*)(const double *x, double *s, double *c);

// Writes the exponentials of x[0..7] to y.
using Exp8 = void (*)(const double *x, double *y);

// Eight calls of the library's sincos: the reference every system block equals.
void sincos8_scalar(const double *x, double *s, double *c);
// Eight correctly rounded pairs (cr_sincos): the reference every correct block equals.
void sincos8_correct_scalar(const double *x, double *s, double *c);

// Eight calls of the library's exp, and of cr_exp.
void exp8_scalar(const double *x, double *y);
void exp8_correct_scalar(const double *x, double *y);

// Replaces the candidates in s and c of every lane with an undecided result
// (bit j: the sine of lane j; bit 8 + j: its cosine) by sincos's, where they differ.
void settle_with_library(const double *x, double *s, double *c, uint32_t undecided);

// Replaces the candidate in y of every undecided lane (bit j) by exp's, where they differ.
void settle_exp_with_library(const double *x, double *y, uint32_t undecided);

// The same for the correct mode: each undecided result from the correctly
// rounded function it needs (cr_sincos, cr_sin, cr_cos; cr_exp).
void settle_with_correct(const double *x, double *s, double *c, uint32_t undecided);
void settle_exp_with_correct(const double *x, double *y, uint32_t undecided);

// The first-use check: `candidate` is taken only when it gives `reference`'s
// bits on every one of the hard arguments below; otherwise `reference`.
SinCos8 sincos8_checked(SinCos8 candidate, SinCos8 reference = sincos8_scalar);
// The same for exponentials, on the couplings' range, the edges of the
// routine's range, overflow, underflow and specials.
Exp8 exp8_checked(Exp8 candidate, Exp8 reference = exp8_scalar);

// Arguments on which a vector routine is most likely to part from the
// library: values near a rounding midpoint, near multiples of pi/4 and of the
// table's step, tiny, subnormal, signed zeros, large, past the reduction's
// range, infinities and NaN.
struct HardArguments {
    const double *values;
    int count;
};
HardArguments sincos8_hard_arguments();

// A vector routine this build holds and this CPU can run, for the sines and
// cosines and for the exponentials alike: what the sweep calls. What only the validation programs and tests ask of it is in
// sincos8_probe.h.
struct VectorKernel {
    const char *name;
    // The library's bits: each lane the routine's rounding where it is
    // certain to be the library's, the library's sincos elsewhere.
    SinCos8 system;
    // Correctly rounded: the routine's rounding where it is certain, cr_sincos elsewhere.
    SinCos8 correct;
    // Exponentials under either rule, as the sines and cosines.
    Exp8 exp_system;
    Exp8 exp_correct;
    // False when the routine's file was built with contraction into fused
    // multiply-adds, which breaks its exact sums and products.
    bool (*as_written)();
};
// The kernels this build holds and this CPU can run, narrowest first: null
// for i past the last, and for every i when the vector path is built out or
// the processor has none.
const VectorKernel *vector_kernel(int i);
// The kernel of that name ("avx2", "avx512", "neon") if this build and CPU have it.
const VectorKernel *vector_kernel(const char *name);

// The processor this build is for, as the paths name it: "x86-64",
// "aarch64", "riscv64", "s390x", or "this processor".
const char *build_processor();
// A vector path any build may have, whatever this build's processor: its name
// (a value of LUMIVANE_SINCOS), the processor it is written for ("x86-64"),
// and what the CPU must have to run it ("AVX2").
struct VectorPath {
    const char *name;
    const char *processor;
    const char *needs;
};
// Every such path, in the order the requests list them.
std::span<const VectorPath> vector_paths();
// The path of that name, or null when no build has one.
const VectorPath *vector_path(const char *name);

}  // namespace lv
