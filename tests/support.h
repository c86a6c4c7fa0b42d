// support.h: what the gtest cases share: draw counting and slot comparison over
// the plain models of reference/, owners of lattices and slots.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "lumivane/lumivane.h"
#include "reference/slot.h"
#include "reference/slot_image.h"
#include "reference/sweep.h"

namespace lvtest {

inline constexpr uint64_t kTop = uint64_t{1} << 63;
inline constexpr double kStep = lvref::kNominalStep;

inline uint64_t bits_of(double d) { return std::bit_cast<uint64_t>(d); }
inline uint32_t bits_of(float f) { return std::bit_cast<uint32_t>(f); }

using lvref::magnitude;

inline void skip_draws(int64_t n) {
    for (int64_t i = 0; i < n; ++i) (void)rand();
}

struct LatticeDeleter {
    void operator()(Lattice *l) const { lattice_free(l); }
};
using OwnedLattice = std::unique_ptr<Lattice, LatticeDeleter>;

// A heap slot: its buffers, then the record.
struct SlotDeleter {
    void operator()(Slot *s) const {
        ap_free(s);
        std::free(s);
    }
};
using OwnedSlot = std::unique_ptr<Slot, SlotDeleter>;

// A deep copy on the heap.
inline OwnedSlot clone(const Slot &s) {
    OwnedSlot c(static_cast<Slot *>(std::calloc(1, sizeof(Slot))));
    ap_copy(c.get(), &s);
    return c;
}

// A link as the derivative reads it: an angle and a weight.
inline NeighborLink angle_link(double phase_delta, double coupling) {
    NeighborLink l{};
    l.phase_delta = phase_delta;
    l.coupling = coupling;
    return l;
}

// How many rand() draws `f` makes: seeds, runs f, then counts as
// lvref::draws_since does (-1 when not found within `limit`).
template <class F>
int64_t draws_made(F &&f, unsigned seed = 12345u, int64_t limit = 100000) {
    srand(seed);
    f();
    return lvref::draws_since(seed, limit);
}

using lvref::same_bits;

// Every field of a slot as `want` holds it, doubles as bit patterns, words by
// value (lvref::differences).
inline ::testing::AssertionResult same_slot(const Slot *s, const lvref::SlotImage &want) {
    if (s == nullptr) return ::testing::AssertionFailure() << "null slot";
    const std::string why = lvref::differences(lvref::image(*s), want);
    if (why.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "differs in " << why;
}
inline ::testing::AssertionResult same_slot(const Slot &a, const Slot &b) {
    return same_slot(&a, lvref::image(b));
}

// Gives a slot the real amplitude x through ap_from_double and ap_copy, and
// restores its oscillator fields and its flags other than the sign.
void set_amplitude(Slot *s, double x);

}  // namespace lvtest
