// sincos8_table.h: the vector routine's constants: the table of sin and cos at multiples of pi/512, the reduction's steps, the margins.
#pragma once

#include <cstdint>

namespace lv::sincos8_data {

// sin(j pi/512) for j = 0..256, each the double nearest (hi) and the double
// nearest the remainder (lo); entries 0 and 256 are exact.
struct Quarter {
    double v[257][2];
};
extern const Quarter kQuarter;

// Row j = {sin hi, sin lo, cos hi, cos lo} at j pi/512, j = 0..1023: one load
// brings a lane all four.
struct Rows {
    double v[1024][4];
};
extern const Rows kRows;

// x = k (pi/512) + r. kInvStep is 512/pi; pi/512 = kStep1 + kStep2 + kStep3
// to 2^-137, the first two rounded to 37 bits (35 significant bits each) so
// that k times each is exact for |k| < 2^16, which |x| <= kMaxArgument keeps.
inline constexpr double kInvStep = 0x1.45f306dc9c883p+7;
inline constexpr double kStep1 = 0x1.921fb5444p-8;
inline constexpr double kStep2 = 0x1.68c234c4cp-47;
inline constexpr double kStep3 = 0x1.98a2e03707345p-85;

// Where the routine answers itself. The library's error past half an ulp
// stays below 0.0156 ulp where it was measured (docs/performance.md); kDelta
// is 1.9 times that, and a result whose true value lies within kDelta ulp
// of a rounding midpoint goes to the library.
inline constexpr double kDelta = 0.03;
// glibc documents its sine looser below this |x| (0.548 ulp at the call, where
// its own analysis says 0.518): the sine there takes a margin that covers the
// looser figure as well.
inline constexpr double kSmallSine = 0.855469;
inline constexpr double kDeltaSmallSine = 0.05;
// The routine's own relative error bound, for sines, cosines and
// exponentials: hi + lo within kOwnError |v| of the true value v. The steps'
// bounds (derived beside them in sincos8_kernel.h) sum to 2^-67.0 for sin
// and cos (2^-69.1 where the table's sine, or cosine, is 0) and 2^-67.9 for
// exp: factors of 2.05 and 3.8 below kOwnError.
inline constexpr double kOwnError = 0x1p-66;
// Past this |x| the library's error was not measured; the reduction itself
// holds to |x| < 2^18.
inline constexpr double kMaxArgument = 256.0;
// Below this |r| the argument lies close to a multiple of pi/512, where the
// results may be tiny and the library's error larger.
inline constexpr double kMinReduced = 0x1p-20;

// Row j = {hi, lo} of 2^(j/128), j = 0..127.
struct ExpRows {
    double v[128][2];
};
extern const ExpRows kExpRows;

// x = (128 m + j) ln2/128 + r, |r| <= ln2/256 (1 + 2^-40). kExpInvStep is
// 128/ln2; ln2/128 = kExpStep1 + kExpStep2 + kExpStep3 to 2^-127 relative,
// the first two rounded to 35 bits (34 significant bits each) so that k times
// each is exact for |k| < 2^18, which |x| <= 746 keeps.
inline constexpr double kExpInvStep = 0x1.71547652b82fep+7;
inline constexpr double kExpStep1 = 0x1.62e42fef8p-8;
inline constexpr double kExpStep2 = 0x1.1cf79abc8p-43;
inline constexpr double kExpStep3 = 0x1.e3b39803f2f6bp-79;
// The routine answers x in [kExpLowest, kExpHighest], where every result is a
// normal double, and below kExpZero, where exp x < 2^-1076 rounds to +0; the
// rest (subnormal and overflowing results, NaN) goes to the slower road.
inline constexpr double kExpLowest = -707.0;
inline constexpr double kExpHighest = 709.0;
inline constexpr double kExpZero = -746.0;
// glibc documents exp within 0.5 + 1.11/128 ulp plus its polynomial's error
// (about 0.509), yet an excess of 0.0091 ulp was measured near -593: the
// documented figure is not a bound to lean on. kExpDelta is 2.2 times the
// largest excess measured (kDelta 1.9 times the sines' and cosines').
inline constexpr double kExpDelta = 0.02;

}  // namespace lv::sincos8_data
