// sweep.cpp: the integration sweep, which advances every free slot in place with an adaptive step.
#include <cmath>
#include <cstring>

#include "dynamics/step.h"

namespace {

constexpr uint32_t kSkipMask = FLAG_EXCLUDED | FLAG_OVERFLOW | FLAG_LOCKED;

// The 32-bit product of the two counts, wrapping rather than overflowing.
int32_t declared_slots(const Lattice *l) {
    return static_cast<int32_t>(static_cast<uint32_t>(l->num_instances) *
                                static_cast<uint32_t>(l->slots_per_instance));
}

// Slots reached through lattice_get_slot: may materialise a chunk, may be null.
struct Lookup {
    Lattice *l;
    Slot *operator()(int32_t k) const { return lattice_get_slot(l, k); }
};

// Slots reached through the chunk table, valid once every chunk is present.
struct Blocks {
    SlotChunk *const *chunks;
    Slot *operator()(int32_t k) const {
        return chunks[k / SLOTS_PER_CHUNK]->slots + k % SLOTS_PER_CHUNK;
    }
};

bool all_chunks_present(const Lattice *l, int32_t n) {
    if (l->chunks == nullptr) return false;
    const int32_t needed = (n - 1) / SLOTS_PER_CHUNK + 1;
    if (needed > l->num_chunks) return false;
    for (int32_t c = 0; c < needed; ++c)
        if (l->chunks[c] == nullptr) return false;
    return true;
}

// Neighbour k of slot c on rows of width w, wrapped over the ring of n slots.
void neighbours(int64_t c, int64_t w, int64_t n, int32_t out[8]) {
    const int64_t off[8] = {-1, 1, -w, w, -w - 1, -w + 1, w - 1, w + 1};
    for (int k = 0; k < 8; ++k) {
        int64_t v = (c + off[k]) % n;
        if (v < 0) v += n;
        out[k] = static_cast<int32_t>(v);
    }
}

// One sweep over the n declared slots; answers the final step. Only
// phase_delta and coupling of a link reach the derivative, so the sweep forms
// those two; the damped amplitudes and the rate travel nowhere.
template <class Fetch>
double sweep(Fetch fetch, int32_t n, int32_t w, double dt) {
    NeighborLink links[8];
    int32_t nb[8];
    for (int32_t c = 0; c < n; ++c) {
        Slot *slot = fetch(c);
        if (slot == nullptr || (slot->flags & kSkipMask) != 0) continue;
        std::memset(links, 0, sizeof links);
        neighbours(c, w, n, nb);
        const double a = lv::slot_value(slot);
        const double own = std::fabs(a) + 1e-10;
        for (int k = 0; k < 8; ++k) {
            const Slot *other = fetch(nb[k]);
            if (other == nullptr) continue;
            links[k].phase_delta = other->phase - slot->phase;
            links[k].coupling = std::exp(-std::fabs(1.0 - std::fabs(lv::slot_value(other)) / own));
        }
        lv::step_in_place(slot, links, a, dt);
        const double mag = std::fabs(a);
        if (mag > 0.8)
            dt = dt * lv::kPhi;
        else if (mag < 0.4944271909999159)
            dt = dt / lv::kPhi;
        if (dt < 1e-6)
            dt = 1e-6;
        else if (dt > 0.1)
            dt = 0.1;
    }
    return dt;
}

}  // namespace

extern "C" {

void exchange_analog_links(NeighborLink *links, int32_t instance_id, int32_t num_instances,
                           int32_t num_links) {
    (void)instance_id;
    (void)num_instances;
    if (links == nullptr) return;
    for (int32_t j = 0; j < num_links; ++j) {
        links[j].amp_re *= 0.95;
        links[j].amp_im *= 0.95;
    }
}

void lattice_integrate_rk4(Lattice *l, double dt) {
    if (l == nullptr) return;
    const int32_t n = declared_slots(l);
    if (n > 0) {
        if (all_chunks_present(l, n))
            dt = sweep(Blocks{l->chunks}, n, l->slots_per_instance, dt);
        else
            dt = sweep(Lookup{l}, n, l->slots_per_instance, dt);
    }
    detect_harmonic_consensus(l);
    l->omega += 0.01 * dt;
    l->time += dt;
}

}  // extern "C"
