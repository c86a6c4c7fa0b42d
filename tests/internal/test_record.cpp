// test_record.cpp: what the replay program's record sees of a sweep: the
// step the sweep ends with, and the locked slots, which it counts only where
// their number can change.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "driver/internal.h"
#include "dynamics/sweep.h"

namespace {

constexpr double kStep = 3.0517578125e-05;
constexpr int32_t kSlots = 4096;

void set_amplitude(Lattice *l, int32_t k, double a) {  // 0 <= a < 1
    Slot *s = lattice_get_slot(l, k);
    s->exponent = 0;
    s->mantissa_words[0] = static_cast<uint64_t>(std::ldexp(a, 64));
}

int32_t locked_slots(Lattice *l) {
    int32_t locked = 0;
    for (int32_t k = 0; k < kSlots; ++k) locked += (lattice_get_slot(l, k)->flags & FLAG_LOCKED) != 0;
    return locked;
}

TEST(RunRecord, SeesEachSweepsFinalStepAndLockedSlots) {
    const std::unique_ptr<Lattice, void (*)(Lattice *)> owned(lattice_init(1024, 4), lattice_free);
    Lattice *l = owned.get();
    ASSERT_NE(l, nullptr);
    lv::RunRecord record;
    record.trace = true;
    using Prepare = void (*)(Lattice *);
    // Each row prepares the slots, then one sweep runs from a time of 0, so
    // that the time it leaves is exactly the step it ended with.
    const struct {
        const char *what;
        Prepare prepare;
        bool between;  // the slots' flags changed between sweeps
    } rows[] = {
        {"the sweep that makes the chunk", nullptr, false},
        {"the slots as the last sweep left them", nullptr, false},
        {"every amplitude above 0.8",
         [](Lattice *m) { for (int32_t k = 0; k < kSlots; ++k) set_amplitude(m, k, 0.9); }, false},
        {"every amplitude below the band",
         [](Lattice *m) { for (int32_t k = 0; k < kSlots; ++k) set_amplitude(m, k, 0.1); }, false},
        {"a third of the slots excluded, overflowed or locked",
         [](Lattice *m) {
             const uint32_t flags[3] = {FLAG_EXCLUDED, FLAG_OVERFLOW, FLAG_LOCKED};
             for (int32_t k = 0; k < kSlots; ++k) {
                 set_amplitude(m, k, (k % 7) / 7.0);
                 if (k % 3 == 0) lattice_get_slot(m, k)->flags |= flags[k % 9 / 3];
             }
         },
         true},
        {"every free slot excluded, in phase, one quiet sweep short of a lock",
         [](Lattice *m) {
             for (int32_t k = 0; k < kSlots; ++k) {
                 lattice_get_slot(m, k)->flags |= FLAG_EXCLUDED;
                 lattice_get_slot(m, k)->phase = 1.0;
             }
             m->consensus_steps = 99;
         },
         true},
        {"every slot locked", nullptr, false},
    };
    int32_t sweep = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        if (row.prepare != nullptr) row.prepare(l);
        if (row.between) record.lattice_changed();
        l->time = 0.0;
        record.before_sweep(l, kStep);
        const double dt_end = lv::integrate(l, kStep);
        record.after_sweep(l, true, sweep++, dt_end);
        ASSERT_EQ(record.sweeps.size(), static_cast<size_t>(sweep));
        EXPECT_EQ(record.sweeps.back().dt_end, l->time) << "the step the sweep added to the time";
        EXPECT_EQ(record.sweeps.back().locked, locked_slots(l));
    }
    ASSERT_EQ(record.locks.size(), 1u) << "one lock, in the sweep in which the detector locked";
    EXPECT_EQ(record.locks[0].sweep, 5);
    EXPECT_EQ(record.locks[0].run_sweep, 5);
    EXPECT_EQ(record.locks[0].t, 0.0) << "the time the sweep started from";
}

}  // namespace
