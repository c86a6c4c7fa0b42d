// The first-use check of the sweep's vector sines and cosines: a routine that
// parts from the library on any hard argument is refused and the sweep stays
// with sincos; the routine the build chose passes it.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "math/sincos8.h"

namespace {

// Faults a vector routine could plausibly have, each as a whole block function.

// The rounded double-double for every lane, without Ziv's test: wrong where
// the library's own result is not the correctly rounded one.
void without_rounding_test(const double *x, double *s, double *c) {
    const lv::SinCos8Kernel *k = lv::sincos8_kernel(0);
    double sl[8], cl[8];
    uint32_t library = 0;
    k->raw(x, s, sl, c, cl, &library);
    for (int j = 0; j < 8; ++j)
        if (((library | library >> 8) >> j & 1) != 0 && !(std::fabs(x[j]) <= 256.0 && std::fabs(x[j]) >= 0x1p-20))
            ::sincos(x[j], &s[j], &c[j]);  // only the range checks kept
}

// sin(-0) given as +0.
void loses_the_sign_of_zero(const double *x, double *s, double *c) {
    lv::sincos8_scalar(x, s, c);
    for (int j = 0; j < 8; ++j)
        if (x[j] == 0.0) s[j] = 0.0;
}

// One ulp off on the largest arguments, as a reduction that gives up too late would be.
void off_past_the_range(const double *x, double *s, double *c) {
    lv::sincos8_scalar(x, s, c);
    for (int j = 0; j < 8; ++j)
        if (std::fabs(x[j]) > 1e5 && std::isfinite(s[j])) s[j] = std::nextafter(s[j], 2.0);
}

// NaN in, a NaN of the other sign out.
void flips_nan_signs(const double *x, double *s, double *c) {
    lv::sincos8_scalar(x, s, c);
    for (int j = 0; j < 8; ++j)
        if (std::isnan(x[j])) s[j] = -s[j];
}

TEST(SinCos8Check, RefusesARoutineThatPartsFromTheLibrary) {
    struct Row {
        const char *fault;
        lv::SinCos8 candidate;
        bool needs_kernel;
    };
    const Row rows[] = {
        {"no rounding test", without_rounding_test, true},
        {"sign of zero", loses_the_sign_of_zero, false},
        {"past the reduction's range", off_past_the_range, false},
        {"NaN's sign", flips_nan_signs, false},
    };
    for (const Row &r : rows) {
        if (r.needs_kernel && lv::sincos8_kernel(0) == nullptr) continue;
        EXPECT_EQ(lv::sincos8_checked(r.candidate), lv::sincos8_scalar) << r.fault;
    }
}

TEST(SinCos8Check, TheChosenBlockIsTheLibraryOrAKernelThatPasses) {
    const lv::SinCos8 chosen = lv::sincos8_block();
    EXPECT_EQ(lv::sincos8_checked(chosen), chosen);
    bool known = chosen == lv::sincos8_scalar;
    for (int i = 0; const lv::SinCos8Kernel *k = lv::sincos8_kernel(i); ++i) {
        EXPECT_EQ(lv::sincos8_checked(k->block), k->block) << k->name;
        known = known || chosen == k->block;
    }
    EXPECT_TRUE(known);
}

}  // namespace
