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

// Whether every chunk that holds a declared slot exists: only then may an
// observer read slots, since a lookup would make an absent chunk, and draw.
inline bool slots_present(const Lattice *l) {
    const int32_t n = declared_slots(l);
    return n > 0 && chunks_present(l, n);
}

// The declared slot k, reached through its chunk's block (its chunk exists).
inline const Slot *declared_slot(const Lattice *l, int32_t k) {
    return l->chunks[k / SLOTS_PER_CHUNK]->slots + k % SLOTS_PER_CHUNK;
}

// The fixed run's own lattice, which no host can reach, holds only what the
// run uses. Materialising one of its chunks keeps the generator's state where
// the chunk's 7 x SLOTS_PER_CHUNK draws begin (the chunk's origin) and jumps
// the live generator past them; position j takes its seven values from the
// origin jumped by 7j, a tile of positions at a time, when it is declared or
// first looked up. Each position's values depend only on those draws and on
// j mod 8, so a position filled late holds what an eager chunk holds. The
// declared slots are always filled, so the sweeps reach them through the
// chunk table as in any lattice; lattice_get_chunk, whose caller may read any
// slot, fills the rest of the chunk first; lattice_free releases only what
// was filled.
inline constexpr int64_t kTileSlots = 256;
inline constexpr int64_t kTiles = SLOTS_PER_CHUNK / kTileSlots;

// The lazily filled lattice of this thread's run, or null.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local const Lattice *lazy_lattice;

// While it lives, `l` (a lattice without chunks yet) is this thread's lazily
// filled lattice; a null `l` marks nothing. The chunks are filled lazily only
// while the run draws from its private source, whose state can be kept and
// jumped; without it they are filled whole, as any lattice's.
class LazyLattice {
  public:
    explicit LazyLattice(const Lattice *l) {
        if (l != nullptr) lazy_lattice = l;
    }
    ~LazyLattice() { lazy_lattice = nullptr; }
    LazyLattice(const LazyLattice &) = delete;
    LazyLattice &operator=(const LazyLattice &) = delete;
};

}  // namespace lv
