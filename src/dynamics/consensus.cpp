// consensus.cpp: harmonic consensus: the spread of the unlocked phases, quiet-sweep count and the lock.
#include <cmath>
#include <cstdio>

#include "dynamics/consensus.h"
#include "runtime/internal.h"
#include "runtime/fpenv.h"

namespace {

// 32768 x time as a signed 32-bit count: truncated, saturated at the bounds, NaN as 0.
int32_t evo_number(double time) {
    const double v = 32768.0 * time;
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0) return INT32_MAX;
    if (v <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// How far ahead of the record in hand the block walk asks for records (about
// 2 KiB): the detector runs after the sweep, when the early records have left
// the near caches.
constexpr int32_t kAheadSlots = 14;

// Calls f(slot) for each non-null declared slot in index order, walking the
// chunk blocks directly when every chunk is present.
template <class F>
void for_each_slot(Lattice *l, int32_t n, F &&f) {
    if (!lv::chunks_present(l, n)) {
        for (int32_t j = 0; j < n; ++j)
            if (Slot *s = lattice_get_slot(l, j)) f(s);
        return;
    }
    const int32_t needed = lv::chunks_for(n);
    for (int32_t c = 0; c < needed; ++c) {
        Slot *block = l->chunks[c]->slots;
        const int32_t count = c == needed - 1 ? n - c * SLOTS_PER_CHUNK : SLOTS_PER_CHUNK;
        for (int32_t j = 0; j < count; ++j) {
            if (j < count - kAheadSlots) {  // the two fields the passes read
                __builtin_prefetch(&block[j + kAheadSlots].flags);
                __builtin_prefetch(&block[j + kAheadSlots].phase);
            }
            f(&block[j]);
        }
    }
}

}  // namespace

namespace lv {

void detect_consensus_from(Lattice *l, int32_t n, const PhaseSum &first) {
    if (first.count == 0) return;
    const double mean = first.sum / static_cast<double>(first.count);

    double total = 0.0;
    const auto spread = [&total, mean](double phase) {
        double d = phase - mean;
        if (d > kPi)
            d = d - kTurn;
        else if (d < -kPi)
            d = d + kTurn;
        total += d * d;
    };
    if (first.kept != nullptr)
        for (int64_t j = 0; j < first.count; ++j) spread(first.kept[j]);
    else
        for_each_slot(l, n, [&spread](const Slot *s) {
            if ((s->flags & FLAG_LOCKED) == 0) spread(s->phase);
        });
    l->phase_var = std::sqrt(total / static_cast<double>(first.count));

    if (!(l->phase_var < 1e-6)) {
        l->consensus_steps = 0;
        return;
    }
    // A count a host left at the top of its range saturates instead of overflowing.
    if (l->consensus_steps < INT32_MAX) l->consensus_steps += 1;
    if (l->consensus_steps < 100) return;
    std::printf("[CONSENSUS] Domain locked at t=%.4f (var=%.6f, evo=%d)!\n", l->time, l->phase_var,
                evo_number(l->time));
    for_each_slot(l, n, [](Slot *s) {
        if ((s->flags & FLAG_LOCKED) != 0) return;
        s->phase_vel = 0.0;
        s->flags |= FLAG_LOCKED;
    });
    l->consensus_steps = 0;
}

}  // namespace lv

extern "C" void detect_harmonic_consensus(Lattice *l) {
    const lv::DefaultFloatEnv float_env;
    if (l == nullptr) return;
    const int32_t n = lv::declared_slots(l);
    if (n <= 0) return;
    lv::PhaseSum first;
    for_each_slot(l, n, [&first](const Slot *s) { first.add(s); });
    lv::detect_consensus_from(l, n, first);
}
