// reference/sweep.h: the sweep composed plainly from exported operations, the
// yardstick that the product's sweep is checked (tests) and timed (bench)
// against, with its parts: the neighbours on the ring and the adaptive step.
#pragma once

#include <cmath>
#include <cstring>

#include "lumivane/lumivane.h"
#include "reference/slot.h"

namespace lvref {

// The nominal step, 2^-15: what the boot and the extended run pass to a sweep.
inline constexpr double kNominalStep = LUMIVANE_NOMINAL_STEP;

inline int32_t wrap(int64_t v, int64_t n) {
    v %= n;
    return static_cast<int32_t>(v < 0 ? v + n : v);
}

// Slot c's eight neighbours on rows of width w, wrapped over the ring of n:
// previous, next, up, down, up-back, up-on, down-back, down-on.
inline void neighbours(int64_t c, int64_t n, int64_t w, int32_t out[8]) {
    const int64_t offsets[8] = {-1, 1, -w, w, -w - 1, -w + 1, w - 1, w + 1};
    for (int k = 0; k < 8; ++k) out[k] = wrap(c + offsets[k], n);
}

// The exponent of a link's coupling, from the amplitudes read of the visited
// slot and of its neighbour.
inline double coupling_exponent(double own, double other) {
    return -std::fabs(1.0 - std::fabs(other) / (std::fabs(own) + 1e-10));
}

// The undamped link from slot `own` to its neighbour `other`, every amplitude
// read at its use through `read`.
inline NeighborLink neighbour_link(const Slot *own, const Slot *other, double dt,
                                   double (*read)(const Slot *) = ap_to_double) {
    NeighborLink k{};
    k.amp_re = read(other);
    k.amp_im = other->amp_im;
    k.amp_rate = (read(other) - read(own)) / dt;
    k.phase_delta = other->phase - own->phase;
    k.coupling = std::exp(coupling_exponent(read(own), read(other)));
    return k;
}

// The step after a slot whose real amplitude read `a` before its step: grown
// by the golden ratio above 0.8, shrunk by it below 0.4944271909999159 (NaN
// does neither), then clamped to [1e-6, 0.1].
inline double adapt_step(double dt, double a) {
    const double m = std::fabs(a);
    if (m > 0.8)
        dt = dt * 1.618033988749895;
    else if (m < 0.4944271909999159)
        dt = dt / 1.618033988749895;
    if (dt < 1e-6)
        dt = 1e-6;
    else if (dt > 0.1)
        dt = 0.1;
    return dt;
}

// One sweep exactly as written: a lookup for every fetch, the amplitude read
// at every use, every link field formed, rk4_step with its temporary slot; a
// neighbour past the chunk table leaves its link all zero.
// `read` is ap_to_double, or read_with_pow for the sweep as first written.
inline void sweep(Lattice *l, double dt, double (*read)(const Slot *) = ap_to_double) {
    const int32_t n = l->num_instances * l->slots_per_instance;
    const int64_t w = l->slots_per_instance;
    for (int32_t c = 0; c < n; ++c) {
        Slot *slot = lattice_get_slot(l, c);
        if (slot == nullptr || (slot->flags & 0x16u) != 0) continue;
        NeighborLink links[8];
        std::memset(links, 0, sizeof links);
        int32_t nb[8];
        neighbours(c, n, w, nb);
        for (int k = 0; k < 8; ++k) {
            const Slot *other = lattice_get_slot(l, nb[k]);
            if (other != nullptr) links[k] = neighbour_link(slot, other, dt, read);
        }
        exchange_analog_links(links, c % l->num_instances, l->num_instances, 8);
        const double a = read(slot);
        rk4_step(slot, links, 8, l->time, dt);
        dt = adapt_step(dt, a);
    }
    detect_harmonic_consensus(l);
    l->omega += 0.01 * dt;
    l->time += dt;
}

}  // namespace lvref
