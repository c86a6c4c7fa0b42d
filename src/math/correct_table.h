// correct_table.h: the correctly rounded functions' constants, made with MPFR by validate_correct and checked by it.
#pragma once

#include <cstdint>

namespace lv::cr_data {

// 2/pi = sum of kTwoOverPi[k] 2^(-64 (k + 1)): the bits Payne-Hanek reduction
// takes its window from, enough for every binary64 exponent.
inline constexpr int kTwoOverPiLimbs = 25;
extern const uint64_t kTwoOverPi[kTwoOverPiLimbs];

// Fixed point with 512 fraction bits, least significant limb first, each the
// exact value rounded down: sin(j pi/512) for j = 0..255 (sin(256 pi/512) = 1
// is taken as 1 - 2^-512), pi/512 and log 2. The 256-bit phase reads the
// leading four limbs.
inline constexpr int kFixedLimbs = 8;
extern const uint64_t kSinSteps[256][kFixedLimbs];
extern const uint64_t kPiOver512[kFixedLimbs];
extern const uint64_t kLog2[kFixedLimbs];

// x = k (log 2)/64 + r: kInvLog2Step is 64/log 2; (log 2)/64 = kLog2Step1 +
// kLog2Step2 + kLog2Step3, the first two with 36 significant bits so that k
// times each is exact for |k| < 2^17 (|k| reaches 68880, 2^16.07, at x = -746).
inline constexpr double kInvLog2Step = 0x1.71547652b82fep+6;
inline constexpr double kLog2Step1 = 0x1.62e42fefap-7;
inline constexpr double kLog2Step2 = 0x1.cf79abc9ep-46;
inline constexpr double kLog2Step3 = 0x1.d9cc01f97b57ap-85;

// pi/512 as a double-double.
inline constexpr double kPiOver512Hi = 0x1.921fb54442d18p-8;
inline constexpr double kPiOver512Lo = 0x1.1a62633145c07p-62;

}  // namespace lv::cr_data
