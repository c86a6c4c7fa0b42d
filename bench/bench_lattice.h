// bench_lattice.h: the run-like lattice every benchmark and profile sweeps.
#pragma once

#include <cstdlib>

#include "lumivane/lumivane.h"

namespace lvbench {

inline constexpr double kStep = 3.0517578125e-05;

// 4096 x 4 after a few sweeps, optionally folded to 32768 slots.
inline Lattice *prepared(bool folded) {
    srand(20261207u);
    Lattice *l = lattice_init(4096, 4);
    if (l == nullptr) return nullptr;
    for (int i = 0; i < 3; ++i) lattice_integrate_rk4(l, kStep);
    if (folded) lattice_fold(l);
    return l;
}

}  // namespace lvbench
