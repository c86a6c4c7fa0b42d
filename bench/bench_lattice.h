// bench_lattice.h: the run-like lattice every benchmark and profile sweeps.
#pragma once

#include <cstdlib>

#include "lumivane/lumivane.h"
#include "reference/sweep.h"

namespace lvbench {

inline constexpr double kStep = lvref::kNominalStep;

// The operations a lattice is prepared with: this build's, or another
// build's reached through dlsym (bench/ab_sweep.cpp).
struct Ops {
    Lattice *(*init)(int32_t, int32_t);
    void (*sweep)(Lattice *, double);
    void (*fold)(Lattice *);
};

// 4096 x 4 after a few sweeps, optionally folded to 32768 slots.
inline Lattice *prepared(bool folded,
                         const Ops &ops = {lattice_init, lattice_integrate_rk4, lattice_fold}) {
    srand(20261207u);
    Lattice *l = ops.init(4096, 4);
    if (l == nullptr) return nullptr;
    for (int i = 0; i < 3; ++i) ops.sweep(l, kStep);
    if (folded) ops.fold(l);
    return l;
}

}  // namespace lvbench
