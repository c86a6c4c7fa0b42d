// test_sweep.cpp: the integration sweep: link damping, neighbours, the adaptive step,
// in-place order, the math mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <set>
#include <vector>

#include "reference/sweep.h"
#include "support.h"

using namespace lvtest;

namespace {

constexpr double kPhi = 1.618033988749895;
constexpr uint32_t kSkip = FLAG_EXCLUDED | FLAG_OVERFLOW | FLAG_LOCKED;

// A lattice whose only chunk is already materialised.
OwnedLattice materialised(int32_t instances, int32_t per_instance) {
    OwnedLattice l(lattice_init(instances, per_instance));
    EXPECT_NE(l, nullptr);
    EXPECT_NE(lattice_get_slot(l.get(), 0), nullptr);
    return l;
}

int32_t declared(const Lattice *l) { return l->num_instances * l->slots_per_instance; }

Slot *at(Lattice *l, int32_t k) {
    Slot *s = lattice_get_slot(l, k);
    EXPECT_NE(s, nullptr) << "slot " << k;
    return s;
}


// Only the listed slots are free to move; every other declared slot is excluded.
void free_only(Lattice *l, const std::set<int32_t> &free) {
    for (int32_t c = 0; c < declared(l); ++c) {
        Slot *s = at(l, c);
        if (free.count(c) != 0)
            s->flags &= ~kSkip;
        else
            s->flags |= FLAG_EXCLUDED;
    }
}

using Fetch = std::function<const Slot *(int32_t)>;

// The eight undamped links of a slot whose own state is `own`, each neighbour
// taken from `fetch` (reference/sweep.h).
void fill_links(const Fetch &fetch, const Slot &own, const std::vector<int32_t> &nb, double dt,
                NeighborLink links[8]) {
    for (int k = 0; k < 8; ++k) {
        const Slot *n = fetch(nb[k]);
        links[k] = n == nullptr ? NeighborLink{} : lvref::neighbour_link(&own, n, dt);
    }
}

Fetch live(Lattice *l) {
    return [l](int32_t k) -> const Slot * { return lattice_get_slot(l, k); };
}

// Interior neighbours of slot c on rows of width w (no wrap involved).
std::vector<int32_t> interior(int32_t c, int32_t w) {
    return {c - 1, c + 1, c - w, c + w, c - w - 1, c - w + 1, c + w - 1, c + w + 1};
}

// Distinct, ordinary amplitudes and phases on the given slots.
void distinct_states(Lattice *l, const std::vector<int32_t> &slots) {
    int i = 0;
    for (int32_t k : slots) {
        Slot *s = at(l, k);
        lvtest::set_amplitude(s, 0.31 + 0.047 * i);
        s->phase = 0.2 + 0.53 * i;
        s->amp_im = 0.01 * (i % 5) - 0.02;
        s->phase_vel = 0.05 * (i % 3);
        ++i;
    }
}

double sweep_time(Lattice *l, double dt, unsigned seed = 1u) {
    l->time = 0.0;
    srand(seed);
    lattice_integrate_rk4(l, dt);
    return l->time;
}

}  // namespace

// ---- exchange_analog_links ------------------------------------------------

TEST(SweepLinks, DampsAmplitudesOfTheFirstRecordsOnly) {
    for (const int count : {3, 10}) {  // fewer and more records than the sweep's eight
        SCOPED_TRACE(count);
        NeighborLink links[12];
        for (int i = 0; i < 12; ++i)
            links[i] = NeighborLink{0.4 + i, -0.3 * i, 17.0 + i, 0.25 * i, 0.1 * i};
        NeighborLink before[12];
        std::copy(std::begin(links), std::end(links), before);
        exchange_analog_links(links, 0, 1, count);
        for (int i = 0; i < 12; ++i) {
            const bool damped = i < count;
            EXPECT_EQ(links[i].amp_re, damped ? before[i].amp_re * 0.95 : before[i].amp_re) << i;
            EXPECT_EQ(links[i].amp_im, damped ? before[i].amp_im * 0.95 : before[i].amp_im) << i;
            EXPECT_EQ(links[i].amp_rate, before[i].amp_rate) << i;
            EXPECT_EQ(links[i].phase_delta, before[i].phase_delta) << i;
            EXPECT_EQ(links[i].coupling, before[i].coupling) << i;
        }
    }
}

TEST(SweepLinks, InstanceArgumentsHaveNoEffect) {
    NeighborLink a[8], b[8];
    for (int i = 0; i < 8; ++i) a[i] = b[i] = NeighborLink{1.0 + i, 2.0 - i, 3.0, 4.0, 0.5};
    exchange_analog_links(a, 0, 4096, 8);
    exchange_analog_links(b, 123456, -7, 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(a[i].amp_re, b[i].amp_re);
        EXPECT_EQ(a[i].amp_im, b[i].amp_im);
    }
}

TEST(SweepLinks, NoRecordsTouchedForZeroNegativeOrNull) {
    NeighborLink links[2] = {{1.0, 2.0, 3.0, 4.0, 0.5}, {5.0, 6.0, 7.0, 8.0, 0.25}};
    for (int n : {0, -1, -100}) {
        exchange_analog_links(links, 0, 1, n);
        EXPECT_EQ(links[0].amp_re, 1.0) << n;
        EXPECT_EQ(links[0].amp_im, 2.0) << n;
        EXPECT_EQ(links[1].amp_re, 5.0) << n;
        EXPECT_EQ(links[1].amp_im, 6.0) << n;
    }
    exchange_analog_links(nullptr, 0, 1, 8);
    exchange_analog_links(nullptr, 0, 1, 0);
}

// ---- lattices with no slot to visit --------------------------------------

TEST(Sweep, NoDeclaredSlotsAdvancesOnlyTheGlobals) {
    OwnedLattice l(lattice_init(4096, 4));
    ASSERT_NE(l, nullptr);
    for (int32_t instances : {0, -3}) {
        l->num_instances = instances;
        l->omega = 0.25;
        l->time = 1.5;
        for (double dt : {kStep, 0.5}) {
            const double omega = l->omega, time = l->time;
            EXPECT_EQ(lvtest::draws_made([&] { lattice_integrate_rk4(l.get(), dt); }), 0);
            EXPECT_EQ(l->omega, omega + 0.01 * dt);
            EXPECT_EQ(l->time, time + dt);  // the argument, not clamped
            EXPECT_EQ(l->phase_var, 1000000.0);
            EXPECT_EQ(l->consensus_steps, 0);
        }
    }
    EXPECT_EQ(l->chunks[0], nullptr);  // nothing was fetched
}

TEST(Sweep, NullLatticeIsHarmless) {
    EXPECT_EQ(lvtest::draws_made([] { lattice_integrate_rk4(nullptr, kStep); }), 0);
}

// ---- the math mode -----------------------------------------------------------

// Each call answers the mode before it; an unknown mode answers -1 and leaves
// the mode as it was. The process ends in the system mode that the other
// suites' sweeps expect.
TEST(SweepMathMode, SetAnswersThePreviousModeAndRefusesUnknownOnes) {
    ASSERT_EQ(lattice_math_mode(), LATTICE_MATH_SYSTEM);
    const struct {
        int32_t set, answer, after;
    } steps[] = {
        {LATTICE_MATH_CORRECT, LATTICE_MATH_SYSTEM, LATTICE_MATH_CORRECT},
        {2, -1, LATTICE_MATH_CORRECT},
        {-1, -1, LATTICE_MATH_CORRECT},
        {LATTICE_MATH_CORRECT, LATTICE_MATH_CORRECT, LATTICE_MATH_CORRECT},
        {LATTICE_MATH_SYSTEM, LATTICE_MATH_CORRECT, LATTICE_MATH_SYSTEM},
        {INT32_MIN, -1, LATTICE_MATH_SYSTEM},
        {LATTICE_MATH_SYSTEM, LATTICE_MATH_SYSTEM, LATTICE_MATH_SYSTEM},
    };
    for (const auto &s : steps) {
        EXPECT_EQ(lattice_set_math_mode(s.set), s.answer) << "set " << s.set;
        EXPECT_EQ(lattice_math_mode(), s.after) << "after setting " << s.set;
    }
    lattice_set_math_mode(LATTICE_MATH_SYSTEM);
}

// ---- neighbours ------------------------------------------------------------

// Slot 0 and slot 16383 of 4096 x 4 wrap helically over the ring of 16384.
TEST(SweepNeighbours, FirstAndLastSlotOfTheRunsLattice) {
    OwnedLattice l = materialised(4096, 4);
    Lattice *lp = l.get();
    const std::vector<int32_t> nb0 = {16383, 1, 16380, 4, 16379, 16381, 3, 5};
    const std::vector<int32_t> nb_last = {16382, 0, 16379, 3, 16378, 16380, 2, 4};
    distinct_states(lp, {0, 1, 2, 3, 4, 5, 16378, 16379, 16380, 16381, 16382, 16383});
    lvtest::set_amplitude(at(lp, 0), 0.9);
    lvtest::set_amplitude(at(lp, 16383), 0.3);
    free_only(lp, {0, 16383});

    OwnedSlot first = clone(*at(lp, 0));
    OwnedSlot last = clone(*at(lp, 16383));
    NeighborLink links[8];
    fill_links(live(lp), *first, nb0, kStep, links);

    srand(2024u);
    lattice_integrate_rk4(lp, kStep);
    const int after_sweep = rand();

    // Replay: slot 0 with the neighbours as they stood, then slot 16383 with
    // slot 0 already advanced and the step adapted from slot 0's magnitude.
    srand(2024u);
    const double a0 = ap_to_double(first.get());
    rk4_step(first.get(), links, 8, 0.0, kStep);
    EXPECT_TRUE(lvtest::same_slot(*at(lp, 0), *first));

    const double dt1 = lvref::adapt_step(kStep, a0);
    const double a_last = ap_to_double(last.get());
    fill_links(live(lp), *last, nb_last, dt1, links);
    rk4_step(last.get(), links, 8, 0.0, dt1);
    EXPECT_TRUE(lvtest::same_slot(*at(lp, 16383), *last));
    EXPECT_EQ(rand(), after_sweep);
    EXPECT_EQ(l->time, lvref::adapt_step(dt1, a_last));
}

// With one instance the previous row is the same row, wrapped over the ring:
// neighbour 4 of slot 0 is slot N - 1, not an absent slot.
TEST(SweepNeighbours, SingleInstanceWrapsOverTheRing) {
    OwnedLattice l = materialised(1, 16);
    Lattice *lp = l.get();
    distinct_states(lp, {0, 1, 14, 15});
    free_only(lp, {0, 15});
    const std::vector<int32_t> nb0 = {15, 1, 0, 0, 15, 1, 15, 1};
    const std::vector<int32_t> nb15 = {14, 0, 15, 15, 14, 0, 14, 0};

    OwnedSlot first = clone(*at(lp, 0));
    OwnedSlot last = clone(*at(lp, 15));
    NeighborLink links[8];
    fill_links(live(lp), *first, nb0, kStep, links);
    srand(7u);
    lattice_integrate_rk4(lp, kStep);

    srand(7u);
    const double a0 = ap_to_double(first.get());
    rk4_step(first.get(), links, 8, 0.0, kStep);
    EXPECT_TRUE(lvtest::same_slot(*at(lp, 0), *first));

    // Slot 15 links to itself as it stood before its own step.
    const double dt1 = lvref::adapt_step(kStep, a0);
    Fetch view = [&](int32_t k) -> const Slot * {
        return k == 15 ? last.get() : lattice_get_slot(lp, k);
    };
    fill_links(view, *last, nb15, dt1, links);
    rk4_step(last.get(), links, 8, 0.0, dt1);
    EXPECT_TRUE(lvtest::same_slot(*at(lp, 15), *last));
}

// ---- which slots move -----------------------------------------------------

TEST(Sweep, SkippedSlotsStayButServeAsNeighbours) {
    OwnedLattice l = materialised(4096, 4);
    Lattice *lp = l.get();
    distinct_states(lp, {38, 39, 40, 41, 42, 43, 44, 46, 47, 48});
    for (int32_t k : {40, 41, 42}) lvtest::set_amplitude(at(lp, k), 0.1);  // would shrink the step
    lvtest::set_amplitude(at(lp, 43), -1.0);                                 // grows it
    free_only(lp, {43});
    at(lp, 40)->flags |= FLAG_LOCKED;
    at(lp, 41)->flags |= FLAG_OVERFLOW;
    at(lp, 42)->flags |= FLAG_EXCLUDED;
    at(lp, 43)->flags |= FLAG_NEGATIVE | FLAG_UNDERFLOW;  // no bar to a visit
    for (int32_t k : {40, 41}) at(lp, k)->flags &= ~FLAG_EXCLUDED;

    OwnedSlot skipped[3] = {clone(*at(lp, 40)), clone(*at(lp, 41)), clone(*at(lp, 42))};
    OwnedSlot moving = clone(*at(lp, 43));
    NeighborLink links[8];
    fill_links(live(lp), *moving, interior(43, 4), kStep, links);
    for (int k : {0, 4, 5}) EXPECT_NE(links[k].coupling, 0.0);  // 42, 38 and 40 are linked

    EXPECT_EQ(lvtest::draws_made([&] { lattice_integrate_rk4(lp, kStep); }, 55u), 8);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(lvtest::same_slot(*at(lp, 40 + i), *skipped[i])) << i;

    srand(55u);
    rk4_step(moving.get(), links, 8, 0.0, kStep);
    EXPECT_TRUE(lvtest::same_slot(*at(lp, 43), *moving));
    EXPECT_EQ(at(lp, 43)->flags & ~FLAG_NEGATIVE, 0u);
    EXPECT_EQ(l->time, kStep * kPhi);  // only the visited slot adapted the step

    // Nothing free: nothing drawn, and the argument is the final step.
    free_only(lp, {});
    l->time = 0.0;
    EXPECT_EQ(lvtest::draws_made([&] { lattice_integrate_rk4(lp, kStep); }), 0);
    EXPECT_EQ(l->time, kStep);
}

// ---- the adaptive step ----------------------------------------------------

TEST(SweepStep, GrowsAndShrinksByTheGoldenRatioWithinBounds) {
    OwnedLattice l = materialised(4096, 4);
    Lattice *lp = l.get();
    auto run_with = [&](int free_count, double amplitude) {
        std::set<int32_t> free;
        for (int32_t k = 0; k < free_count; ++k) {
            free.insert(k);
            lvtest::set_amplitude(at(lp, k), amplitude);
        }
        free_only(lp, free);
        return sweep_time(lp, kStep);
    };
    EXPECT_EQ(run_with(16, 1.0), 0.06735228109424277);
    EXPECT_EQ(run_with(17, 1.0), 0.1);
    EXPECT_EQ(run_with(20, 1.0), 0.1);
    EXPECT_EQ(run_with(7, 0.1), 1.0510819625437322e-06);
    EXPECT_EQ(run_with(8, 0.1), 1e-6);
    EXPECT_EQ(run_with(12, 0.1), 1e-6);
    EXPECT_EQ(run_with(1, -0.9), kStep * kPhi);  // the magnitude, not the sign
}

TEST(SweepStep, ThresholdsAndNonFiniteMagnitudes) {
    OwnedLattice l = materialised(4096, 4);
    Lattice *lp = l.get();
    Slot *s = at(lp, 21);
    free_only(lp, {21});
    struct Case {
        const char *what;
        double amplitude;
        int64_t exponent;  // 0 keeps the converted exponent
        bool zero_word;
        double want;
    };
    const Case cases[] = {
        {"exactly 0.8", 0.8, 0, false, kStep},
        {"exactly the lower threshold", 0.4944271909999159, 0, false, kStep},
        {"between", 0.6, 0, false, kStep},
        {"just above 0.8", std::nextafter(0.8, 1.0), 0, false, kStep * kPhi},
        {"just below the lower threshold", std::nextafter(0.4944271909999159, 0.0), 0, false,
         kStep / kPhi},
        {"+infinity", 0.75, 2000, false, kStep * kPhi},
        {"zero", 0.75, -5000, false, kStep / kPhi},
        {"NaN", 0.75, 2000, true, kStep},
    };
    for (const Case &c : cases) {
        lvtest::set_amplitude(s, c.amplitude);
        if (c.exponent != 0) s->exponent = c.exponent;
        if (c.zero_word) s->mantissa_words[0] = 0;
        s->flags = 0;
        EXPECT_EQ(sweep_time(lp, kStep), c.want) << c.what;
    }
}

TEST(SweepStep, ArgumentOutsideBoundsIsUsedByTheFirstSlot) {
    OwnedLattice l = materialised(4096, 4);
    Lattice *lp = l.get();
    distinct_states(lp, {16, 17, 19, 20, 21, 23, 24, 25, 15});
    free_only(lp, {20});
    lvtest::set_amplitude(at(lp, 20), 0.6);  // leaves the step as it is

    for (double dt : {0.5, 1e-9}) {
        OwnedSlot moving = clone(*at(lp, 20));
        NeighborLink links[8];
        fill_links(live(lp), *moving, interior(20, 4), dt, links);
        const double a = ap_to_double(moving.get());
        const double t = sweep_time(lp, dt, 3u);
        srand(3u);
        rk4_step(moving.get(), links, 8, 0.0, dt);
        EXPECT_TRUE(lvtest::same_slot(*at(lp, 20), *moving)) << "dt " << dt;
        EXPECT_EQ(t, dt > 0.1 ? 0.1 : 1e-6) << "dt " << dt;  // clamped after the slot
        // Put the amplitude back for the next round.
        lvtest::set_amplitude(at(lp, 20), a);
        at(lp, 20)->flags = 0;
    }
}

// The step adapts from the magnitude read before the slot's own step: a
// slot pulled down from 0.9 far below the lower threshold still grows it.
TEST(SweepStep, UsesMagnitudeBeforeTheStep) {
    OwnedLattice l = materialised(4096, 4);
    Lattice *lp = l.get();
    Slot *s = at(lp, 20);
    lvtest::set_amplitude(s, 0.9);
    s->phase = 0.0;
    s->amp_im = 0.0;
    for (int32_t k : interior(20, 4)) {
        Slot *n = at(lp, k);
        lvtest::set_amplitude(n, 0.9);
        n->phase = 3.141592653589793;  // pulls the real amplitude down at full coupling
    }
    free_only(lp, {20});
    const double t = sweep_time(lp, 0.06);
    ASSERT_LT(ap_to_double(s), 0.4944271909999159) << "the step should have pulled it down";
    EXPECT_EQ(t, 0.06 * kPhi);
}

// ---- links ------------------------------------------------------------------

// Own amplitude 0.5 at phase 1.0 against neighbours of 0.25 (amp_im 0.1) at
// phase 1.5: each link has phase_delta 0.5 and coupling 0.6065306596519804.
TEST(Sweep, WorkedLink) {
    OwnedLattice l = materialised(4096, 4);
    Lattice *lp = l.get();
    const int32_t c = 8197;
    Slot *s = at(lp, c);
    lvtest::set_amplitude(s, 0.5);
    s->phase = 1.0;
    for (int32_t k : interior(c, 4)) {
        Slot *n = at(lp, k);
        lvtest::set_amplitude(n, 0.25);
        n->amp_im = 0.1;
        n->phase = 1.5;
    }
    free_only(lp, {c});
    OwnedSlot moving = clone(*s);
    NeighborLink links[8];
    for (NeighborLink &k : links) k = NeighborLink{0.2375, 0.095, -8192.0, 0.5, 0.6065306596519804};

    // The same links built from the slots agree with the worked numbers.
    NeighborLink built[8];
    fill_links(live(lp), *moving, interior(c, 4), kStep, built);
    exchange_analog_links(built, c % 4096, 4096, 8);
    EXPECT_DOUBLE_EQ(built[0].amp_re, 0.2375);
    EXPECT_DOUBLE_EQ(built[0].amp_im, 0.095);
    EXPECT_EQ(built[0].amp_rate, -8192.0);
    EXPECT_EQ(built[0].phase_delta, 0.5);
    EXPECT_EQ(built[0].coupling, 0.6065306596519804);

    srand(11u);
    lattice_integrate_rk4(lp, kStep);
    srand(11u);
    rk4_step(moving.get(), links, 8, 0.0, kStep);
    EXPECT_TRUE(lvtest::same_slot(*s, *moving));
}

// ---- in place ----------------------------------------------------------------

// Links see the lower-index neighbours already advanced in the same sweep.
TEST(Sweep, WorksInPlace) {
    OwnedLattice l = materialised(4096, 4);
    Lattice *lp = l.get();
    std::vector<int32_t> region;
    for (int32_t k = 90; k < 112; ++k) region.push_back(k);
    distinct_states(lp, region);
    const std::set<int32_t> free = {96, 97, 98, 99, 100, 101, 102, 103};
    free_only(lp, free);

    std::vector<OwnedSlot> before;
    for (int32_t k : region) before.push_back(clone(*at(lp, k)));
    auto snapshot = [&](int32_t k) -> const Slot * { return before[k - 90].get(); };

    srand(404u);
    lattice_integrate_rk4(lp, kStep);

    // Replay every visit with the state the lattice had when it came.
    srand(404u);
    double dt = kStep;
    for (int32_t c : free) {
        Fetch as_met = [&](int32_t k) -> const Slot * {
            return free.count(k) != 0 && k < c ? lattice_get_slot(lp, k) : snapshot(k);
        };
        OwnedSlot moving = clone(*snapshot(c));
        NeighborLink links[8];
        fill_links(as_met, *moving, interior(c, 4), dt, links);
        const double a = ap_to_double(moving.get());
        rk4_step(moving.get(), links, 8, 0.0, dt);
        EXPECT_TRUE(lvtest::same_slot(*at(lp, c), *moving)) << "slot " << c;
        dt = lvref::adapt_step(dt, a);
    }
    EXPECT_EQ(l->time, dt);

    // Built from the state before the sweep, the last slot's links give another result.
    srand(404u);
    for (int i = 0; i < 7 * 8; ++i) (void)rand();  // the seven visits before slot 103
    double dt_last = kStep;
    for (int32_t c = 96; c < 103; ++c) dt_last = lvref::adapt_step(dt_last, ap_to_double(snapshot(c)));
    OwnedSlot stale = clone(*snapshot(103));
    NeighborLink links[8];
    fill_links(snapshot, *stale, interior(103, 4), dt_last, links);
    rk4_step(stale.get(), links, 8, 0.0, dt_last);
    EXPECT_FALSE(lvtest::same_slot(*at(lp, 103), *stale))
        << "links were built from the state before the sweep";
}
