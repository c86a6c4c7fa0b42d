// sweep.h: the sweep for callers inside the library that need the step it ended with.
#pragma once

#include "lumivane/lumivane.h"

namespace lv {

// lattice_integrate_rk4(l, dt), answering the adapted step the sweep ended
// with: the step it added to the lattice's time (dt itself when it visited
// no slot, or l is null).
double integrate(Lattice *l, double dt);

}  // namespace lv
