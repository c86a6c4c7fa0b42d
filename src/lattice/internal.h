// lattice/internal.h: the lattice's declared extent and the chunks that hold it.
#pragma once

#include <cstdint>

#include "lumivane/lumivane.h"

namespace lv {

// num_instances x slots_per_instance as a 32-bit product that wraps instead
// of overflowing: the boot prints it as it is; where it is positive it is
// lattice_declared_slots, and otherwise nothing is declared.
inline int32_t declared_slots(const Lattice *l) {
    return static_cast<int32_t>(static_cast<uint32_t>(l->num_instances) *
                                static_cast<uint32_t>(l->slots_per_instance));
}

inline constexpr int32_t kMaxSlots = LUMIVANE_MAX_DECLARED_SLOTS;

// Chunks that hold slots 0..n-1 (n > 0).
inline int32_t chunks_for(int32_t n) { return (n - 1) / SLOTS_PER_CHUNK + 1; }

// Whether the chunks holding slots 0..n-1 (n > 0) all exist, so that those
// slots can be reached through the chunk blocks without a lookup.
inline bool chunks_present(const Lattice *l, int32_t n) {
    const int32_t needed = chunks_for(n);
    if (l->chunks == nullptr || needed > l->num_chunks) return false;
    for (int32_t c = 0; c < needed; ++c)
        if (l->chunks[c] == nullptr) return false;
    return true;
}

}  // namespace lv
