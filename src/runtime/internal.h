// runtime/internal.h: the bottom layer: the draws, the error channel and the recurring constants.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "lumivane/lumivane.h"

namespace lv {

inline constexpr double kPhi = 1.618033988749895;
inline constexpr double kTurn = 6.283185307179586;
inline constexpr double kPi = 3.141592653589793;

// Writes a fixed message to standard error; standard output is flushed first
// so that a combined log keeps the order in which things happened.
void report_error(const char *message);

// One value of the process-wide generator, as rand() gives it.
inline int draw() { return std::rand(); }

// get_normalized_rand, inlined where draws are hot.
inline double normalized_rand() { return static_cast<double>(draw()) / 2147483647.0; }

}  // namespace lv
