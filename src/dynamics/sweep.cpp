// sweep.cpp: the integration sweep, which advances every free slot in place with an adaptive step.
#include <cmath>

#include "dynamics/consensus.h"
#include "dynamics/step.h"
#include "dynamics/sweep.h"
#include "lattice/internal.h"
#include "storage/internal.h"
#include "runtime/fpenv.h"

namespace {

constexpr uint32_t kSkipMask = FLAG_EXCLUDED | FLAG_OVERFLOW | FLAG_LOCKED;

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

// All declared slots in one present block.
struct OneBlock {
    Slot *slots;
    Slot *operator()(int32_t k) const { return slots + k; }
};

// Neighbour k of slot c on rows of width w, wrapped over the ring of n slots:
// previous, next, up, down, up-back, up-on, down-back, down-on.
struct Ring {
    int64_t n;
    int64_t w;
    int64_t reach;  // the farthest any neighbour lies from c
    int64_t off[8];
    Ring(int64_t n_, int64_t w_)
        : n(n_), w(w_), reach((w_ < 0 ? -w_ : w_) + 1),
          off{-1, 1, -w_, w_, -w_ - 1, -w_ + 1, w_ - 1, w_ + 1} {}

    void neighbours(int64_t c, int32_t out[8]) const {
        if (c - reach >= 0 && c + reach < n) {  // away from the ends no wrap is needed
            for (int k = 0; k < 8; ++k) out[k] = static_cast<int32_t>(c + off[k]);
            return;
        }
        for (int k = 0; k < 8; ++k) {
            int64_t v = (c + off[k]) % n;
            if (v < 0) v += n;
            out[k] = static_cast<int32_t>(v);
        }
    }
};

double adapt(double dt, double a) {
    const double mag = std::fabs(a);
    if (mag > 0.8)
        dt = dt * lv::kPhi;
    else if (mag < 0.4944271909999159)
        dt = dt / lv::kPhi;
    if (dt < 1e-6)
        dt = 1e-6;
    else if (dt > 0.1)
        dt = 0.1;
    return dt;
}

// Only phase_delta and coupling of a link reach the derivative, so the sweep
// forms those two; the damped amplitudes and the rate travel nowhere.
double coupling_argument(double a_other, double own) { return -std::fabs(1.0 - std::fabs(a_other) / own); }

void link(NeighborLink &lk, const Slot *slot, const Slot *other, double a_other, double own,
          const lv::SweepMath &m) {
    lk.phase_delta = other->phase - slot->phase;
    lk.coupling = m.exp(coupling_argument(a_other, own));
}

// The sweep's functions under the process's math mode, and the step's memory.
struct Maths {
    const lv::SweepMath &sweep;
    lv::StepMath step;
    explicit Maths(const lv::SweepMath &m) : sweep(m), step{m.sincos8, m.exp} {}
};

// The general sweep: every fetch may be null or materialise a chunk. With
// `first`, every chunk is present and the detector's first pass is taken on
// the way (see sweep_windowed); through lookups it is not, since a slot whose
// chunk failed at its visit may appear at a later fetch.
template <class Fetch>
double sweep(Fetch fetch, const Ring &ring, double dt, lv::PhaseSum *first, Maths &m) {
    NeighborLink links[8];
    int32_t nb[8];
    for (int32_t c = 0; c < ring.n; ++c) {
        Slot *slot = fetch(c);
        if (slot == nullptr) continue;
        if ((slot->flags & kSkipMask) == 0) {
            for (NeighborLink &lk : links) lk = NeighborLink{};
            ring.neighbours(c, nb);
            const double a = lv::slot_value(slot);
            const double own = std::fabs(a) + 1e-10;
            for (int k = 0; k < 8; ++k)
                if (const Slot *other = fetch(nb[k])) link(links[k], slot, other, lv::slot_value(other), own, m.sweep);
            lv::step_in_place(slot, links, a, dt, m.step);
            dt = adapt(dt, a);
        }
        if (first != nullptr) first->add(slot);
    }
    return dt;
}

// Brings a slot's mantissa and vector words towards the cache: the step
// rewrites word 0 and the exponent vector and only reads the other words.
// Always inlined: GCC finds a function of nothing but prefetches free of
// effects and drops the calls to it.
[[gnu::always_inline]] inline void prefetch_words(const Slot *s) {
    const uint64_t *w = s->mantissa_words;
    if (w == nullptr) return;
    const uint64_t n = s->num_words < 128 ? s->num_words : 128;
    __builtin_prefetch(w, 1);
    for (uint64_t i = 8; i < n; i += 8) __builtin_prefetch(w + i);
    if (s->exponent_mpi.words != nullptr) __builtin_prefetch(s->exponent_mpi.words, 1);
}

// Widest row for which the sweep keeps its window of amplitudes on the stack.
constexpr int64_t kWindow = 4096;

// The sweep over present blocks with a window of converted amplitudes: every
// slot's amplitude is converted once when it enters the window (positions
// c - w - 1 to c + w + 1, wrapped) and once more after its own step. Window
// positions name distinct slots as long as the ring is longer than the window.
// A slot is final once the sweep has passed it, so the detector's first pass
// is taken here, in index order, while the slot is still in the cache.
template <class Fetch>
double sweep_windowed(Fetch fetch, const Ring &ring, double dt, lv::PhaseSum &first, Maths &m) {
    double amp[kWindow];
    const auto at = [&amp](int64_t position) -> double & {
        return amp[static_cast<uint64_t>(position + kWindow) & (kWindow - 1)];
    };
    const auto wrapped = [&ring](int64_t position) {
        return static_cast<int32_t>(position < 0 ? position + ring.n
                                                 : position >= ring.n ? position - ring.n : position);
    };
    int64_t filled = -ring.w - 1;
    NeighborLink links[8] = {};
    int32_t nb[8];
    for (int32_t c = 0; c < ring.n; ++c) {
        for (; filled <= c + ring.w + 1; ++filled) at(filled) = lv::slot_value(fetch(wrapped(filled)));
        // The next slot's words and the next entering amplitude live far from
        // the records; ask for them while this slot's step computes.
        if (c + 1 < ring.n) prefetch_words(fetch(c + 1));
        if (const Slot *entering = fetch(wrapped(filled)); entering->mantissa_words != nullptr)
            __builtin_prefetch(entering->mantissa_words);
        Slot *slot = fetch(c);
        if ((slot->flags & kSkipMask) == 0) {
            ring.neighbours(c, nb);
            // Filled above: the analyzer cannot follow the wrapped window index.
            const double a = at(c);  // NOLINT(clang-analyzer-core.uninitialized.Assign)
            const double own = std::fabs(a) + 1e-10;
            // Every neighbour is present: the eight couplings' exponentials as one block.
            double arg[8], coupling[8];
            for (int k = 0; k < 8; ++k) arg[k] = coupling_argument(at(c + ring.off[k]), own);
            m.sweep.exp8(arg, coupling);
            for (int k = 0; k < 8; ++k) {
                links[k].phase_delta = fetch(nb[k])->phase - slot->phase;
                links[k].coupling = coupling[k];
            }
            lv::step_in_place(slot, links, a, dt, m.step);
            at(c) = lv::slot_value(slot);
            dt = adapt(dt, a);
        }
        first.add(slot);
    }
    return dt;
}

// Room for the unlocked phases of a lattice of at most kKeptPhases slots, which
// the detector's second pass reads far faster than the records: it lies in
// chunk 0's block, so the sweep allocates nothing. Null for a larger lattice
// or a chunk without a block, and the detector reads the records instead.
double *kept_phases(const Lattice *l, int64_t n) {
    return n > lv::kKeptPhases ? nullptr : lv::chunk_phase_room(l->chunks[0]);
}

// The sweep over present blocks, taking the detector's first pass into `first`.
template <class Fetch>
double sweep_present(Fetch fetch, const Ring &ring, double dt, lv::PhaseSum &first, Maths &m) {
    if (ring.w >= 1 && 2 * ring.w + 3 < kWindow && ring.n > 2 * ring.w + 3)
        return sweep_windowed(fetch, ring, dt, first, m);
    return sweep(fetch, ring, dt, &first, m);
}

}  // namespace

namespace lv {

double integrate(Lattice *l, double dt) {
    if (l == nullptr) return dt;
    const int32_t n = lv::declared_slots(l);
    Maths m(lv::sweep_math(lv::math_mode()));
    if (n > 0 && lv::chunks_present(l, n)) {
        const Ring ring(n, l->slots_per_instance);
        lv::PhaseSum first;
        first.kept = kept_phases(l, n);
        if (n <= SLOTS_PER_CHUNK)
            dt = sweep_present(OneBlock{l->chunks[0]->slots}, ring, dt, first, m);
        else
            dt = sweep_present(Blocks{l->chunks}, ring, dt, first, m);
        lv::detect_consensus_from(l, n, first);
    } else {
        if (n > 0) dt = sweep(Lookup{l}, Ring(n, l->slots_per_instance), dt, nullptr, m);
        detect_harmonic_consensus(l);
    }
    l->omega += 0.01 * dt;
    l->time += dt;
    return dt;
}

}  // namespace lv

extern "C" {

void exchange_analog_links(NeighborLink *links, int32_t instance_id, int32_t num_instances,
                           int32_t num_links) {
    const lv::DefaultFloatEnv float_env;
    (void)instance_id;
    (void)num_instances;
    if (links == nullptr) return;
    for (int32_t j = 0; j < num_links; ++j) {
        links[j].amp_re *= 0.95;
        links[j].amp_im *= 0.95;
    }
}

void lattice_integrate_rk4(Lattice *l, double dt) {
    const lv::DefaultFloatEnv float_env;
    lv::integrate(l, dt);
}

int32_t lattice_set_math_mode(int32_t mode) {
    const int32_t before = static_cast<int32_t>(lv::math_mode());
    return lv::set_math_mode(mode) ? before : -1;
}

int32_t lattice_math_mode(void) { return static_cast<int32_t>(lv::math_mode()); }

}  // extern "C"
