// driver/internal.h: the fixed run, shared by the program and its replay twin.
#pragma once

namespace lv {

// The fixed run with the given seed; answers the exit status.
int run(unsigned seed);

}  // namespace lv
