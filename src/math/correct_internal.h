// correct_internal.h: the correctly rounded functions' phases, apart, for the validation program and the benchmark.
#pragma once

namespace lv::cr_detail {

// The accurate phase alone, relative error below 2^-185 (sin, cos) and
// 2^-240 (exp) before the final rounding. sincos_accurate needs
// 2^-27 <= |x| finite; exp_accurate needs 2^-54 <= |x|, -746 <= x <= 0x1.62e42fefa39efp+9.
void sincos_accurate(double x, double *s, double *c);
double exp_accurate(double x);

// The fast phase alone: true when it decided every result asked for (which:
// bit 0 the sine, bit 1 the cosine). Finite arguments past the edge rules only.
bool sincos_fast(double x, double *s, double *c, unsigned which);
bool exp_fast(double x, double *y);

}  // namespace lv::cr_detail
