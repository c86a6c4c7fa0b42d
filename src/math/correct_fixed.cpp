// correct_fixed.cpp: the accurate phases' final rounding of a fixed-point value to a double, once and exactly.
#include "math/correct_fixed.h"

namespace lv::cr_detail {

double round_fixed(const u64 *w, int n, int scale) {
    int top = n - 1;
    while (w[top] == 0) --top;
    const int msb = top * 64 + 63 - std::countl_zero(w[top]);
    const int exponent = msb + scale;  // the value lies in [2^exponent, 2^(exponent + 1))
    const int unit = exponent - 52 > -1074 ? exponent - 52 : -1074;
    const int lsb = unit - scale;  // the result's last place, as a bit of w
    u64 m;
    if (lsb <= 0) {
        m = bits_at(w, n, 0, msb + 1) << -lsb;  // exact
    } else {
        // Below half the least subnormal the count is not positive: m = 0.
        m = msb >= lsb ? bits_at(w, n, lsb, msb - lsb + 1) : 0;
        const bool half = bits_at(w, n, lsb - 1, 1) != 0;
        bool sticky = false;
        for (int i = 0; i < n && !sticky; ++i) {
            const int from = i * 64;
            if (from >= lsb - 1) break;
            const int count = lsb - 1 - from < 64 ? lsb - 1 - from : 64;
            sticky = bits_at(w, n, from, count) != 0;
        }
        if (half && (sticky || (m & 1) != 0)) ++m;
    }
    // m <= 2^53 is exact as a double, and so is the product unless it overflows.
    return static_cast<double>(m) * pow2(unit);
}

}  // namespace lv::cr_detail
