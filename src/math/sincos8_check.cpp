// sincos8_check.cpp: the first-use check: the hard arguments a kernel must answer with its reference's bits before it serves.
#include "math/sincos8.h"

#include <bit>
#include <cstddef>
#include <limits>

namespace lv {

namespace {

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Eight to a block; the check runs them through the candidate in blocks.
constexpr double kHard[] = {
    // True values within 2e-5 ulp of a rounding midpoint, and arguments where
    // the library's result is not the correctly rounded one.
    -0x1.5339b041e723ep+3, -0x1.42d8d5bc7f4fp+0, 0x1.5e97724acb5f4p+1, -0x1.85623399aa4aap+2,
    -0x1.59b5acaff8438p+1, 0x1.dc6bf47bcd48p-2, -0x1.74b97f2b915fp+1, -0x1.168219cdbcce8p+3,
    -0x1.876b5bd34601bp+2, 0x1.8e6c5f25cba8p+2, -0x1.9689636cac455p+3, 0x1.098ca0e37658cp+1,
    -0x1.09e8f2f0911a4p+3, -0x1.2d50cae73c382p+3, 0x1.afc485c4f1c3p+1, 0x1.40de557d57e6p+2,
    0x1.c86c3196e61ep+1, 0x1.41f3d825b003p+1, -0x1.c2845ff32c324p+1, 0x1.70db58f4926ecp+2,
    0x1.86b90916160dp+1, 0x1.553370b215c44p+2, -0x1.1464033bec733p+3, -0x1.11b1e1345aea6p+3,
    // Near multiples of pi/4 and pi/2, and of the table's step pi/512.
    0x1.921fb54442d18p+0, 0x1.921fb54442d19p+0, 0x1.921fb54442d17p+0, 0x1.921fb54442d18p+1,
    0x1.921fb54442d18p-1, -0x1.921fb54442d18p+1, 0x1.2d97c7f3321d2p+1, 0x1.2d97c7f3321d2p+2,
    0x1.921fb54442d18p+2, 0x1.921fb54442d18p+0 + 0x1p-21, 0x1.921fb54442d18p+0 - 0x1p-19,
    0x1.921fb54442d18p-8, 0x1.921fb54442d18p-9, 0x1.921fb54442d18p-8 + 0x1p-29,
    -0x1.f6a7a2955385ep+3, 0x1.5fdbbe9bba775p+2,
    // Tiny, subnormal and zero.
    0x1p-20, 0x1.fffffffffffffp-21, 0x1p-30, 1e-300, 0x1p-1074, -0x1p-1074, 0.0, -0.0,
    // Either side of where the sine's margin changes.
    0x1.b60008637bd06p-1, 0x1.b60008637bd05p-1, -0x1.b60008637bd06p-1, 0x1.b60008637bd07p-1,
    0x1.020c49ba5e354p-3, 0x1.020c49ba5e353p-3, 0x1.1p-1, -0x1.1p-1,
    // Large, and past the reduction's range.
    255.99999999999997, 256.0, 256.00000000000006, -256.0, 1e3, 1e6, 0x1p52, 1e300,
    // Not finite, and the run's ordinary angles.
    kInf, -kInf, kNaN, -kNaN, -13.0, 7.0, 6.283185307179586, -3.0,
};
static_assert(sizeof kHard / sizeof kHard[0] % 8 == 0, "hard arguments come in blocks of eight");

// The exponential's: the couplings' range, the edges of the routine's range
// and of the table's steps, overflow, underflow to subnormals and to zero,
// tiny arguments and specials.
constexpr double kHardExp[] = {
    // True values within about 2^-11 ulp of a rounding midpoint.
    -0x1.c522be2bdd04fp+0, -0x1.d2f8b9c795132p+3, -0x1.d5388adcf649p+4, -0x1.1f84dac1e3a5ep+5,
    -0x1.424afc984b929p+4, -0x1.c960265c6a07fp+3, -0x1.5301dacbfbcdp+3, -0x1.7794ae1d023efp+5,
    -0x1.dee77d647937cp+8, -0x1.853a4171b459ep+7, -0x1.c16ee157bcfc2p+7, -0x1.86c564fe83e32p+7,
    -0x1.a63f16143f20ep+6, -0x1.ccf11793c2e91p+7, -0x1.35f1aac09e97cp+8, -0x1.283bd2637337cp+8,
    0.0, -0.0, 0x1p-60, -0x1p-60, 1e-300, -0x1p-1074, 0x1p-1074, -1e-10,
    -1.0, -0.5, -0.25, -2.0, -13.0, -49.999, -0x1.62e42fefa39efp-1, -0x1.62e42fefa39efp-8,
    -0x1.62e42fefa39efp-9, 0x1.62e42fefa39efp-9, -0x1.71547652b82fep-8, -0.75, -3.25, -7.125, -0.1, -0.01,
    -707.0, -707.0000000000001, -706.9999999999999, -708.0, -708.3964185322641, -708.4, -709.0, -720.0,
    -740.0, -745.0, -745.1332191019411, -745.1332191019412, -745.13321910194122, -745.5, -745.9999999999999, -746.0,
    -746.0000000000001, -750.0, -1000.0, -1e300, 709.0, 709.0000000000001, 709.782712893384, 709.7827128933841,
    710.0, 1e300, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
    std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(), 1.0, 0.6931471805599453,
};
static_assert(sizeof kHardExp / sizeof kHardExp[0] % 8 == 0, "hard arguments come in blocks of eight");

}  // namespace

Exp8 exp8_checked(Exp8 candidate, Exp8 reference) {
    for (size_t first = 0; first < sizeof kHardExp / sizeof kHardExp[0]; first += 8) {
        double y[8], r[8];
        candidate(kHardExp + first, y);
        reference(kHardExp + first, r);
        for (int j = 0; j < 8; ++j)
            if (bits(y[j]) != bits(r[j])) return reference;
    }
    return candidate;
}

HardArguments sincos8_hard_arguments() {
    return HardArguments{kHard, static_cast<int>(sizeof kHard / sizeof kHard[0])};
}

SinCos8 sincos8_checked(SinCos8 candidate, SinCos8 reference) {
    const HardArguments hard = sincos8_hard_arguments();
    for (int first = 0; first < hard.count; first += 8) {
        double s[8], c[8], rs[8], rc[8];
        candidate(hard.values + first, s, c);
        reference(hard.values + first, rs, rc);
        for (int j = 0; j < 8; ++j)
            if (bits(s[j]) != bits(rs[j]) || bits(c[j]) != bits(rc[j])) return reference;
    }
    return candidate;
}

}  // namespace lv
