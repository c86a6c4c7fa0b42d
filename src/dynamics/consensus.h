// consensus.h: the detector's first pass, which the sweep takes on its way, and the rest of the detector.
#pragma once

#include "lattice/internal.h"

namespace lv {

// The unlocked phases' running sum and count, in index order: the detector's
// first pass, which the sweep can take on its way past each finished slot.
// Overflowed and excluded slots count; only FLAG_LOCKED leaves a slot out.
struct PhaseSum {
    double sum = 0.0;
    int64_t count = 0;
    double *kept = nullptr;  // when set, room for n phases: the unlocked ones, in order
    void add(const Slot *s) {
        if ((s->flags & FLAG_LOCKED) != 0) return;
        sum += s->phase;
        if (kept != nullptr) kept[count] = s->phase;
        ++count;
    }
};

// The detector from its first pass on: the spread, the count and the lock.
// `first` must be the PhaseSum of slots 0..n-1 as they stand now.
void detect_consensus_from(Lattice *l, int32_t n, const PhaseSum &first);

}  // namespace lv
