// reference_sweep.h: the sweep composed plainly from exported operations, the
// yardstick that the product's sweep is checked (tests) and timed (bench) against.
#pragma once

#include <cmath>
#include <cstring>

#include "lumivane/lumivane.h"

namespace lvref {

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

// ap_to_double as first written, with pow forming the power of two.
inline double read_with_pow(const Slot *s) {
    if (s == nullptr || s->num_words == 0 || s->mantissa_words == nullptr) return 0.0;
    const double m = static_cast<double>(s->mantissa_words[0]) * 5.421010862427522e-20;
    const double p = std::pow(2.0, static_cast<double>(s->exponent));
    return p * m;
}

// One sweep exactly as written: a lookup for every fetch, the amplitude read
// at every use, every link field formed, rk4_step with its temporary slot.
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
            if (other == nullptr) continue;
            links[k].amp_re = read(other);
            links[k].amp_im = other->amp_im;
            links[k].amp_rate = (read(other) - read(slot)) / dt;
            links[k].phase_delta = other->phase - slot->phase;
            links[k].coupling = std::exp(
                -std::fabs(1.0 - std::fabs(read(other)) / (std::fabs(read(slot)) + 1e-10)));
        }
        exchange_analog_links(links, c % l->num_instances, l->num_instances, 8);
        const double a = read(slot);
        rk4_step(slot, links, 8, l->time, dt);
        if (std::fabs(a) > 0.8)
            dt = dt * 1.618033988749895;
        else if (std::fabs(a) < 0.4944271909999159)
            dt = dt / 1.618033988749895;
        if (dt < 1e-6)
            dt = 1e-6;
        else if (dt > 0.1)
            dt = 0.1;
    }
    detect_harmonic_consensus(l);
    l->omega += 0.01 * dt;
    l->time += dt;
}

}  // namespace lvref
