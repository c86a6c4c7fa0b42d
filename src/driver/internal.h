// driver/internal.h: the fixed run, shared by the program and its replay twin.
#pragma once

namespace lv {

// The fixed run with the given seed; answers the exit status. Its draws come
// from a private copy of rand()'s generator when that copy is checked to give
// rand()'s values, or with `private_draws` false, from rand() itself: the same
// values either way.
int run(unsigned seed, bool private_draws = true);

}  // namespace lv
