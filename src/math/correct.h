// correct.h: sin, cos and exp correctly rounded, the same bits on every machine and maths library (NaN arguments aside).
//
// No maths-library function is called: double-double arithmetic with exact
// (Dekker) products, no fused multiply-add, then multi-word integer arithmetic
// where the first phase cannot decide the rounding. Every result is the
// binary64 value nearest the exact one, ties to even (no nonzero binary64
// argument gives a tie), in the default rounding mode.
//
// Edges, as glibc gives them on x86-64:
//   NaN: the argument quieted (x + x), for all three functions: its sign and
//   payload kept where the processor keeps them (x86-64, aarch64); riscv64
//   gives its canonical NaN (0x7ff8000000000000) instead.
//   sin, cos of +-inf: one NaN on every machine, 0xfff8000000000000 (x86-64's
//   default NaN, which x - x gives there), raising the invalid exception.
//   sin(+-0) = +-0; sin x = x for |x| < 2^-26 (correctly rounded there, also
//   for subnormals and powers of two). cos(+-0) = 1; cos x = 1 for |x| < 2^-27.
//   exp(+inf) = +inf, exp(-inf) = +0; exp x = +inf for x > 0x1.62e42fefa39efp+9;
//   exp x = +0 for x < -746; subnormal results are rounded once, at their own
//   precision; exp x = 1 for |x| < 2^-54 (its nearest neighbours are reached
//   from there on).
#pragma once

namespace lv {

// Correctly rounded to nearest (ties to even) for every binary64 argument.
void cr_sincos(double x, double *s, double *c);
double cr_sin(double x);
double cr_cos(double x);
double cr_exp(double x);

// False when correct_sincos.cpp or correct_exp.cpp was built with contraction
// into fused multiply-adds, which breaks their exact sums and products: the
// results could then be off by an ulp, so the correct mode refuses such a build.
bool cr_as_written();

}  // namespace lv
