// bench_floor.h: the floor of a sweep, the calls every slot step must make and
// nothing else, shared by the benchmark and the profile.
#pragma once

#include <cmath>
#include <vector>

#include "bench_lattice.h"
#include "lumivane/lumivane.h"
#include "reference/sweep.h"

namespace lvbench {

// The sweep's own angles and coupling exponents, taken once from a lattice.
struct FloorInputs {
    int32_t n = 0;
    std::vector<double> own, delta, coupling_arg;
};

inline FloorInputs floor_inputs(Lattice *l) {
    FloorInputs in;
    in.n = l->num_instances * l->slots_per_instance;
    const auto n = static_cast<size_t>(in.n);
    in.own.resize(n);
    in.delta.resize(n * 8);
    in.coupling_arg.resize(n * 8);
    for (int32_t c = 0; c < in.n; ++c) {
        const Slot *slot = lattice_get_slot(l, c);
        in.own[c] = slot->phase;
        int32_t nb[8];
        lvref::neighbours(c, in.n, l->slots_per_instance, nb);
        for (int k = 0; k < 8; ++k) {
            const Slot *other = lattice_get_slot(l, nb[k]);
            in.delta[c * 8 + k] = other->phase - slot->phase;
            in.coupling_arg[c * 8 + k] =
                lvref::coupling_exponent(ap_to_double(slot), ap_to_double(other));
        }
    }
    return in;
}

// One pass of the floor: per slot 32 sincos (four stages of eight independent
// calls, each stage waiting on the last, as in the step), 9 exp and one fmod:
// the maths library's calls alone; the draws are the project's own cost.
// Chained, each slot also waits on the one before, as the sweep does: the
// visited slot's left neighbour has just been stepped, so its links cannot be
// formed before that step ends. Kept out of line so that a profile
// names its own glue apart from the calls.
[[gnu::noinline]] inline double floor_pass(const FloorInputs &in, bool chained) {
    double acc = 0.0;
    double carry = 0.0;
    for (int32_t c = 0; c < in.n; ++c) {
        // A tiny multiple leaves the value alone but keeps the dependence.
        double phase = chained ? in.own[c] + carry * 1e-300 : in.own[c];
        for (int stage = 0; stage < 4; ++stage) {
            double sn[8], cs[8];
            for (int j = 0; j < 8; ++j) sincos(in.delta[c * 8 + j] - phase, &sn[j], &cs[j]);
            for (int j = 0; j < 8; ++j) phase += (sn[j] + cs[j]) * 1e-12;
        }
        const double tie = chained ? carry * 1e-300 : 0.0;
        for (int j = 0; j < 8; ++j) acc += std::exp(in.coupling_arg[c * 8 + j] + tie);
        acc += std::exp(-0.05 * kStep);
        const double wrapped = std::fmod(phase, 6.283185307179586);
        acc += wrapped;
        carry = wrapped;
    }
    return acc;
}

}  // namespace lvbench
