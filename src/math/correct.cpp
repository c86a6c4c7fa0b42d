// PLACEHOLDER until the correctly rounded functions land: not correct.
#include "math/correct.h"
#include <cmath>
namespace lv {
void cr_sincos(double x, double *s, double *c) { ::sincos(x, s, c); }
double cr_sin(double x) { return std::sin(x); }
double cr_cos(double x) { return std::cos(x); }
double cr_exp(double x) { return std::exp(x); }
}  // namespace lv
