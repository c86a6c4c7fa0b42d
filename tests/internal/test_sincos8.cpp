// The sweep's blocks of sines and cosines: the first-use check refuses a routine
// that parts from its reference, the undecided lanes take the library's bits,
// and the rounding test leaves undecided what it cannot prove at binade edges.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "math/correct.h"
#include "math/internal.h"
#include "math/sincos8_probe.h"

namespace {

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

const lv::VectorKernel *kernel_or_skip() { return lv::vector_kernel(0); }

// Faults a vector routine could plausibly have, each as a whole block function.

// The rounded double-double for every lane, without Ziv's test: wrong where
// the library's own result is not the correctly rounded one.
void without_rounding_test(const double *x, double *s, double *c) {
    double sl[8], cl[8];
    const uint32_t undecided = lv::vector_probe(*lv::vector_kernel(0)).raw(x, s, sl, c, cl, false);
    for (int j = 0; j < 8; ++j)
        if (((undecided | undecided >> 8) >> j & 1) != 0 && !(std::fabs(x[j]) <= 256.0 && std::fabs(x[j]) >= 0x1p-20))
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
        if (r.needs_kernel && kernel_or_skip() == nullptr) continue;
        EXPECT_EQ(lv::sincos8_checked(r.candidate), lv::sincos8_scalar) << r.fault;
    }
}

// The exponential's faults: every lane's candidate taken, and exp(-inf) as -0.
void exp_without_rounding_test(const double *x, double *y) {
    lv::vector_probe(*lv::vector_kernel(0)).exp_raw(x, y, false);
}
void exp_signed_zero(const double *x, double *y) {
    lv::exp8_scalar(x, y);
    for (int j = 0; j < 8; ++j)
        if (std::isinf(x[j]) && x[j] < 0.0) y[j] = -0.0;
}

TEST(SinCos8Check, RefusesAnExponentialThatPartsFromTheLibrary) {
    const struct { const char *fault; lv::Exp8 candidate; bool needs_kernel; } rows[] = {
        {"no rounding test", exp_without_rounding_test, true},
        {"sign of exp(-inf)", exp_signed_zero, false},
    };
    for (const auto &r : rows) {
        if (r.needs_kernel && kernel_or_skip() == nullptr) continue;
        EXPECT_EQ(lv::exp8_checked(r.candidate), lv::exp8_scalar) << r.fault;
    }
}

TEST(SinCos8Check, EveryKernelPassesUnderBothRules) {
    if (kernel_or_skip() == nullptr) GTEST_SKIP() << "no vector kernel in this build or on this CPU";
    for (int i = 0; const lv::VectorKernel *k = lv::vector_kernel(i); ++i) {
        EXPECT_TRUE(k->as_written()) << k->name;
        EXPECT_EQ(lv::sincos8_checked(k->system), k->system) << k->name;
        EXPECT_EQ(lv::sincos8_checked(k->correct, lv::sincos8_correct_scalar), k->correct) << k->name;
        EXPECT_EQ(lv::exp8_checked(k->exp_system), k->exp_system) << k->name;
        EXPECT_EQ(lv::exp8_checked(k->exp_correct, lv::exp8_correct_scalar), k->exp_correct) << k->name;
    }
}

// Undecided lanes whose candidates are wrong come back as the library's, the
// lane's decided half included; a decided lane is not asked about.
TEST(SinCos8Fallback, UndecidedLanesTakeTheLibrarysBits) {
    const double x[8] = {0.5, -1.25, 3.0, 1e-300, -0.0, 300.0, 2.0, 6.5};
    double s[8], c[8], rs[8], rc[8];
    lv::sincos8_scalar(x, rs, rc);
    for (int j = 0; j < 8; ++j) {
        s[j] = 42.0;  // a candidate no library gives
        c[j] = std::nextafter(rc[j], 9.0);
    }
    // Lane 6 decided; lane 2 undecided in its sine alone, lane 4 in its cosine alone.
    const uint32_t undecided = (0x00ffu & ~(1u << 6) & ~(1u << 4)) | (0xff00u & ~(1u << 14) & ~(1u << 10));
    lv::settle_with_library(x, s, c, undecided);
    for (int j = 0; j < 8; ++j) {
        EXPECT_EQ(bits(c[j]), j == 6 ? bits(std::nextafter(rc[j], 9.0)) : bits(rc[j])) << "cos lane " << j;
        EXPECT_EQ(bits(s[j]), j == 6 ? bits(42.0) : bits(rs[j])) << "sin lane " << j;
    }
    double y[8];
    for (double &v : y) v = 42.0;
    lv::settle_exp_with_library(x, y, 0xbf);  // lane 6 decided
    for (int j = 0; j < 8; ++j) EXPECT_EQ(bits(y[j]), j == 6 ? bits(42.0) : bits(std::exp(x[j]))) << "exp lane " << j;
}

// Arguments whose sine or cosine lies at or next to a power of two (the edges
// of a binade, where the midpoint below is half as far) or is tiny. A result
// the routine decides must be the correctly rounded one (cr_sin, cr_cos: the
// same on every machine, unlike long double, which memcheck runs at double
// precision). A candidate that is a power of two is never decided. Every
// kernel the build and CPU have (avx2 and avx512, or neon).
TEST(SinCos8Rounding, BinadeEdgesAndPowersOfTwo) {
    if (kernel_or_skip() == nullptr) GTEST_SKIP() << "no vector kernel in this build or on this CPU";
    std::vector<double> xs;
    for (int e = 1; e <= 20; ++e)
        for (const double base : {std::asin(std::ldexp(1.0, -e)), std::acos(std::ldexp(1.0, -e)),
                                  std::acos(1.0 - std::ldexp(1.0, -e)), std::asin(1.0 - std::ldexp(1.0, -e))}) {
            double x = base;
            for (int step = 0; step < 3; ++step) x = std::nextafter(x, 0.0);
            for (int step = 0; step < 7; ++step, x = std::nextafter(x, 4.0)) xs.push_back(x);
        }
    for (const double tiny : {0x1p-20, 0x1.8p-20, 0x1p-26, 0x1p-27, 0x1.6a09e667f3bcdp-27, 0x1p-30})
        xs.insert(xs.end(), {tiny, -tiny});
    while (xs.size() % 8 != 0) xs.push_back(1.0);
    for (int i = 0; const lv::VectorKernel *k = lv::vector_kernel(i); ++i) {
        SCOPED_TRACE(k->name);
        int decided = 0;
        for (const bool correct : {false, true})
            for (size_t first = 0; first < xs.size(); first += 8) {
                double sh[8], sl[8], ch[8], cl[8];
                const uint32_t undecided = lv::vector_probe(*k).raw(&xs[first], sh, sl, ch, cl, correct);
                for (int j = 0; j < 8; ++j) {
                    const double x = xs[first + j];
                    const struct { double hi; double rounded; bool open; } r[2] = {
                        {sh[j], lv::cr_sin(x), (undecided >> j & 1) != 0},
                        {ch[j], lv::cr_cos(x), (undecided >> (8 + j) & 1) != 0}};
                    for (const auto &v : r) {
                        if (v.open) continue;
                        ++decided;
                        EXPECT_EQ(bits(v.hi), bits(v.rounded)) << std::hexfloat << xs[first + j];
                        EXPECT_NE(bits(v.hi) & 0x000fffffffffffffull, 0u) << std::hexfloat << xs[first + j];
                    }
                }
            }
        EXPECT_GT(decided, 100);  // the table reaches into the routine's range
    }
}

// The exponential's edges: results next to a power of two (x near k ln2), which
// a decided lane must round as the correctly rounded exp does and never to the power itself;
// subnormal results, always left to the slower road; and results below 2^-1076,
// decided as +0.
TEST(SinCos8Rounding, ExponentialBinadeEdgesAndSubnormals) {
    if (kernel_or_skip() == nullptr) GTEST_SKIP() << "no vector kernel in this build or on this CPU";
    struct Row { double x; enum { exact, open, zero } want; };
    std::vector<Row> rows;
    for (int m = -1020; m <= 1020; ++m) {  // every power of two of the range
        double x = m * 0x1.62e42fefa39efp-1;
        for (int step = 0; step < 3; ++step) x = std::nextafter(x, -1e9);
        for (int step = 0; step < 7; ++step, x = std::nextafter(x, 1e9))
            if (x >= -707.0 && x <= 709.0) rows.push_back({x, Row::exact});
    }
    for (const double x : {-708.0, -720.5, -745.0, -745.1332191019411, -745.9})
        rows.push_back({x, Row::open});
    for (const double x : {-746.5, -800.0, -1e300}) rows.push_back({x, Row::zero});
    while (rows.size() % 8 != 0) rows.push_back({1.0, Row::exact});
    for (int i = 0; const lv::VectorKernel *k = lv::vector_kernel(i); ++i) {
        SCOPED_TRACE(k->name);
        int decided = 0;
        for (const bool correct : {false, true})
            for (size_t first = 0; first < rows.size(); first += 8) {
                double x[8], y[8];
                for (int j = 0; j < 8; ++j) x[j] = rows[first + j].x;
                const uint32_t undecided = lv::vector_probe(*k).exp_raw(x, y, correct);
                for (int j = 0; j < 8; ++j) {
                    const Row &r = rows[first + j];
                    const bool open = (undecided >> j & 1) != 0;
                    if (r.want == Row::open) {
                        EXPECT_TRUE(open) << std::hexfloat << r.x;
                    }
                    if (r.want == Row::zero) {
                        EXPECT_FALSE(open) << std::hexfloat << r.x;
                        EXPECT_EQ(bits(y[j]), bits(0.0)) << std::hexfloat << r.x;
                    }
                    if (r.want != Row::exact || open) continue;
                    ++decided;
                    EXPECT_EQ(bits(y[j]), bits(lv::cr_exp(r.x))) << std::hexfloat << r.x;
                    EXPECT_NE(bits(y[j]) & 0x000fffffffffffffull, 0u) << std::hexfloat << r.x;
                }
            }
        EXPECT_GT(decided, 100);
    }
}

// sin and cos of an infinity are one NaN on every machine, whichever function
// or block gives them (the processors' own default NaNs differ in sign).
TEST(CorrectlyRounded, InfinitiesGiveOneNaNEverywhere) {
    constexpr uint64_t kInfinityNaN = 0xfff8000000000000;
    const double inf = std::numeric_limits<double>::infinity();
    const double x[8] = {inf, -inf, inf, -inf, 1.0, -inf, inf, 0.5};
    std::vector<std::pair<const char *, lv::SinCos8>> blocks = {{"scalar", lv::sincos8_correct_scalar},
                                                                 {"sweep", lv::sweep_math(lv::MathMode::correct).sincos8}};
    for (int i = 0; const lv::VectorKernel *k = lv::vector_kernel(i); ++i) blocks.emplace_back(k->name, k->correct);
    for (const double v : {inf, -inf}) {
        double s = 0.0, c = 0.0;
        lv::cr_sincos(v, &s, &c);
        for (const double r : {lv::cr_sin(v), lv::cr_cos(v), s, c}) EXPECT_EQ(bits(r), kInfinityNaN) << v;
    }
    for (const auto &[name, block] : blocks) {
        double s[8], c[8];
        block(x, s, c);
        for (int j = 0; j < 8; ++j)
            if (std::isinf(x[j])) {
                EXPECT_EQ(bits(s[j]), kInfinityNaN) << name << " lane " << j;
                EXPECT_EQ(bits(c[j]), kInfinityNaN) << name << " lane " << j;
            }
    }
}

}  // namespace
