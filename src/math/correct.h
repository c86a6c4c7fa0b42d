// correct.h: correctly rounded sin, cos and exp, computed without the maths library.
#pragma once

namespace lv {

// Correctly rounded to nearest (ties to even) for every binary64 argument.
void cr_sincos(double x, double *s, double *c);
double cr_sin(double x);
double cr_cos(double x);
double cr_exp(double x);

}  // namespace lv
