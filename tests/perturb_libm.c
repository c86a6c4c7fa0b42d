/* perturb_libm.c: a maths library that is one ulp off: sin, cos, sincos and
   exp each answer the real function's result moved one step up. Preloaded
   under lumivane-replay --math=correct, it must change nothing: that mode
   takes none of them. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <math.h>

static double up(double v) { return nextafter(v, INFINITY); }

#define REAL(type, name) ((type)dlsym(RTLD_NEXT, name))

double sin(double x) { return up(REAL(double (*)(double), "sin")(x)); }
double cos(double x) { return up(REAL(double (*)(double), "cos")(x)); }
double exp(double x) { return up(REAL(double (*)(double), "exp")(x)); }
void sincos(double x, double *s, double *c) {
    REAL(void (*)(double, double *, double *), "sincos")(x, s, c);
    *s = up(*s);
    *c = up(*c);
}
