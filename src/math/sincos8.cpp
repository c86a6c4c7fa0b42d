// sincos8.cpp: the blocks' scalar references, and the settling of the lanes a vector kernel leaves undecided.
#include "math/sincos8.h"

#include <bit>
#include <cmath>

#include "math/correct.h"

namespace lv {

void sincos8_scalar(const double *x, double *s, double *c) {
    for (int j = 0; j < 8; ++j) ::sincos(x[j], &s[j], &c[j]);
}

// Every lane holds the routine's rounding. The library is asked only about
// the undecided lanes, always through sincos (its own function, whatever the
// lane lacks), and its answer is compared in a branch, not blended in: the
// stages that follow go on with the candidates while the call runs, and the
// rare lane whose candidate is not the library's is corrected when the branch
// resolves, the processor replaying what followed. The values used are the
// library's either way.
void settle_with_library(const double *x, double *s, double *c, uint32_t undecided) {
    const auto bits = [](double v) { return std::bit_cast<uint64_t>(v); };
    for (uint32_t lanes = (undecided | undecided >> 8) & 0xff; lanes != 0; lanes &= lanes - 1) {
        const int j = __builtin_ctz(lanes);
        double ls, lc;
        ::sincos(x[j], &ls, &lc);
        if (((bits(ls) ^ bits(s[j])) | (bits(lc) ^ bits(c[j]))) != 0) [[unlikely]] {
            // The barrier keeps this a branch: a select would make the next
            // stage wait for the call.
            asm volatile("" ::: "memory");
            s[j] = ls;
            c[j] = lc;
        }
    }
}

void sincos8_correct_scalar(const double *x, double *s, double *c) {
    for (int j = 0; j < 8; ++j) cr_sincos(x[j], &s[j], &c[j]);
}

void exp8_scalar(const double *x, double *y) {
    for (int j = 0; j < 8; ++j) y[j] = std::exp(x[j]);
}

void exp8_correct_scalar(const double *x, double *y) {
    for (int j = 0; j < 8; ++j) y[j] = cr_exp(x[j]);
}

// As the sines' settling: compared in a branch, so the sweep goes on with the candidates.
void settle_exp_with_library(const double *x, double *y, uint32_t undecided) {
    for (uint32_t lanes = undecided & 0xff; lanes != 0; lanes &= lanes - 1) {
        const int j = __builtin_ctz(lanes);
        const double v = std::exp(x[j]);
        if (std::bit_cast<uint64_t>(v) != std::bit_cast<uint64_t>(y[j])) [[unlikely]] {
            asm volatile("" ::: "memory");
            y[j] = v;
        }
    }
}

void settle_with_correct(const double *x, double *s, double *c, uint32_t undecided) {
    if (undecided == 0) return;
    const uint32_t sines = undecided & 0xff, cosines = undecided >> 8;
    for (uint32_t both = sines & cosines; both != 0; both &= both - 1) {
        const int j = __builtin_ctz(both);
        cr_sincos(x[j], &s[j], &c[j]);
    }
    for (uint32_t only = sines & ~cosines; only != 0; only &= only - 1) {
        const int j = __builtin_ctz(only);
        s[j] = cr_sin(x[j]);
    }
    for (uint32_t only = cosines & ~sines; only != 0; only &= only - 1) {
        const int j = __builtin_ctz(only);
        c[j] = cr_cos(x[j]);
    }
}

void settle_exp_with_correct(const double *x, double *y, uint32_t undecided) {
    for (uint32_t lanes = undecided & 0xff; lanes != 0; lanes &= lanes - 1) {
        const int j = __builtin_ctz(lanes);
        y[j] = cr_exp(x[j]);
    }
}

}  // namespace lv
