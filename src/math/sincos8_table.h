// sincos8_table.h: the vector routine's constants (the table of sin and cos at multiples of pi/512, shared with the correctly rounded fast phase, the series, the reduction's steps, the margins) and the recombination's common analysis.
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

// The sine and cosine from a row, one algorithm in two codes: the vector
// routine's (sincos8_kernel.h, with fused multiply-adds) and the correctly
// rounded functions' fast phase (correct_sincos.cpp, exact Dekker products).
// What they share is analysed here once; each counts its own roundings beside
// its code. x = j pi/512 + r, r = rh + rl, |rh| <= rho = pi/1024 (1 + 2^-35)
// < 2^-8.348, |rl| <= 2^-61; S = sh + sl and C = ch + cl, the row's sin and
// cos of j pi/512, within 2^-106 of them (|lo| <= 2^-53 |hi|, rounded to
// nearest: within 2^-53 |lo|).
//   sin r = rh + tail, tail = rl + sp, sp = rh^3 (kS3 + rh^2 (kS5 + rh^2 kS7))
//     (|sp| <= rho^3/6 < 2^-27.63, and <= 2^-19.28 |rh|). Left out: rh^9/9!
//     <= 2^-93.6, and rl's share of the higher terms, rl rh^2/2 <= 2^-78.7.
//   cos r = 1 + cmh + cml, cmh = -rh^2/2 (exact once rh^2 = r2 + r2l is),
//     cml = -r2l/2 + r2^2 (kC4 + r2 kC6) - rh rl <= 2^-38. Left out:
//     rh^8/8! <= 2^-82.1, and rl^2/2.
//   sin x = S cos r + C sin r = S + C rh + S cmh + [C tail + S cml + Sl +
//     Sl cmh + Cl rh]; cos x = C - S rh + C cmh + [C cml - S tail + Cl +
//     Cl cmh - Sl rh]. |S| >= |C rh| for every row (|tan(j pi/512)| >=
//     pi/512 > |r|, or S = 0 exactly), so a fast two-sum of S and C rh is
//     exact; likewise |C| >= |S rh| for the cosine.
//   Relative bounds: where the row's S is nonzero, |sin x| >= sin(pi/1024 (1
//     - 2^-35)) > 2^-8.35 and |S| <= 2 |sin x|, so an abs error E is rel
//     2^8.35 E; where S = 0 (j = 0 or 512, C = +-1 exactly) the sums with S
//     vanish and every term is relative to |rh| (|sin x| >= |r| (1 -
//     2^-19.3)). The cosine the same, S and C exchanged.
// The reduction's own error, abs, adds to either code's.
inline constexpr double kS3 = -1.0 / 6.0, kS5 = 1.0 / 120.0, kS7 = -1.0 / 5040.0;
inline constexpr double kC4 = 1.0 / 24.0, kC6 = -1.0 / 720.0;

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
