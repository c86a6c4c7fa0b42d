// correct_internal.h: the correctly rounded functions' phases, apart, for the validation program and the benchmark.
#pragma once

namespace lv::cr_detail {

// The accurate phase alone (256 bits; its bounds are derived in
// correct_sincos.cpp and correct_exp.cpp), with the widest (512 bits) for any
// result whose rounding it cannot show. sincos_accurate needs 2^-27 <= |x|
// finite; exp_accurate needs 2^-54 <= |x|, -746 <= x <= 0x1.62e42fefa39efp+9;
// so do the rest below.
void sincos_accurate(double x, double *s, double *c);
double exp_accurate(double x);
// Whether the 256-bit phase shows the rounding of both results (of the result).
bool sincos_accurate_decides(double x);
bool exp_accurate_decides(double x);
// The 512-bit phase alone, as the accurate phase hands it the results it cannot decide.
void sincos_widest(double x, double *s, double *c);
double exp_widest(double x);

// The fast phase alone: true when it decided every result asked for (which:
// bit 0 the sine, bit 1 the cosine). Finite arguments past the edge rules only.
bool sincos_fast(double x, double *s, double *c, unsigned which);
bool exp_fast(double x, double *y);

// Whether each file's exact sums and products were built as written (cr_as_written asks both).
bool sincos_as_written();
bool exp_as_written();

}  // namespace lv::cr_detail
