// test_consensus.cpp: the spread of the free phases, the quiet-sweep count and the lock.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "support.h"

using namespace lvtest;

namespace {

// One instance of four slots: the declared slots are 0..3 of a materialised chunk.
OwnedLattice four_slots() {
    OwnedLattice l(lattice_init(1, 4));
    EXPECT_NE(l, nullptr);
    EXPECT_NE(lattice_get_slot(l.get(), 0), nullptr);
    return l;
}

Slot *at(Lattice *l, int32_t k) { return lattice_get_slot(l, k); }

// Slots 0..3 take the given phases; a NaN entry marks a locked slot.
void arrange(Lattice *l, const std::vector<double> &phases) {
    for (int32_t k = 0; k < 4; ++k) {
        Slot *s = at(l, k);
        const double p = phases[static_cast<size_t>(k)];
        if (std::isnan(p)) {
            s->flags |= FLAG_LOCKED;
            s->phase = 100.0 + k;  // would spoil the spread if it were counted
        } else {
            s->flags &= ~FLAG_LOCKED;
            s->phase = p;
        }
    }
}

constexpr double kOut = std::numeric_limits<double>::quiet_NaN();

std::string detect_output(Lattice *l) {
    testing::internal::CaptureStdout();
    detect_harmonic_consensus(l);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(Consensus, WorkedSpreads) {
    OwnedLattice l = four_slots();
    Lattice *lp = l.get();
    // Beyond the declared slots nothing counts.
    at(lp, 4)->flags &= ~FLAG_LOCKED;
    at(lp, 4)->phase = 50.0;

    arrange(lp, {0.5, 1.5, kOut, kOut});
    detect_harmonic_consensus(lp);
    EXPECT_EQ(l->phase_var, 0.5);

    arrange(lp, {0.0, 0.0, 0.0, 6.0});  // the last deviation is wrapped by one turn
    detect_harmonic_consensus(lp);
    EXPECT_EQ(l->phase_var, 1.5755752790442255);

    arrange(lp, {0.0, kOut, 6.0, kOut});  // deviations of -3 and 3 are within half a turn
    detect_harmonic_consensus(lp);
    EXPECT_EQ(l->phase_var, 3.0);

    // Deviations of 3.75 and -3.75 lie beyond half a turn and are wrapped.
    arrange(lp, {0.0, 0.0, 0.0, 5.0});
    detect_harmonic_consensus(lp);
    EXPECT_DOUBLE_EQ(l->phase_var, 1.6661728452137352);
    arrange(lp, {0.0, 5.0, 5.0, 5.0});
    detect_harmonic_consensus(lp);
    EXPECT_DOUBLE_EQ(l->phase_var, 1.6661728452137352);
}

// Overflowed and excluded slots are not advanced by the sweep, but they are
// measured like any other unlocked slot; only the lock bit keeps a slot out.
TEST(Consensus, OnlyLockedSlotsStayOutOfTheMeasure) {
    OwnedLattice l = four_slots();
    Lattice *lp = l.get();
    arrange(lp, {0.5, kOut, 1.5, kOut});
    at(lp, 0)->flags |= FLAG_EXCLUDED;
    at(lp, 2)->flags |= FLAG_OVERFLOW | FLAG_NEGATIVE | FLAG_UNDERFLOW;
    l->consensus_steps = 42;
    detect_harmonic_consensus(lp);
    EXPECT_EQ(l->phase_var, 0.5);
    EXPECT_EQ(l->consensus_steps, 0);  // a loud measurement resets the count

    // A NaN phase spoils the measure, which then does not count as quiet.
    arrange(lp, {0.5, 1.0, kOut, kOut});
    at(lp, 1)->phase = std::numeric_limits<double>::quiet_NaN();
    l->consensus_steps = 50;
    detect_harmonic_consensus(lp);
    EXPECT_TRUE(std::isnan(l->phase_var));
    EXPECT_EQ(l->consensus_steps, 0);
}

TEST(Consensus, HundredQuietCallsLockEveryUnlockedSlot) {
    OwnedLattice l = four_slots();
    Lattice *lp = l.get();
    arrange(lp, {1.25, 1.25, 1.25, kOut});
    at(lp, 0)->flags = 0;
    at(lp, 1)->flags = FLAG_EXCLUDED | FLAG_NEGATIVE;
    at(lp, 2)->flags = FLAG_OVERFLOW;
    for (int k = 0; k < 3; ++k) at(lp, k)->phase_vel = 0.3 + k;
    at(lp, 3)->phase_vel = 0.7;  // locked already: keeps its velocity
    Slot *beyond = at(lp, 4);
    beyond->flags = 0;
    beyond->phase_vel = 0.9;
    l->time = 0.123456;

    testing::internal::CaptureStdout();
    for (int i = 1; i <= 99; ++i) {
        detect_harmonic_consensus(lp);
        ASSERT_EQ(l->consensus_steps, i);
        ASSERT_EQ(l->phase_var, 0.0);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    for (int k = 0; k < 3; ++k) EXPECT_EQ(at(lp, k)->flags & FLAG_LOCKED, 0u) << k;

    EXPECT_EQ(detect_output(lp), "[CONSENSUS] Domain locked at t=0.1235 (var=0.000000, evo=4045)!\n");
    EXPECT_EQ(l->consensus_steps, 0);
    EXPECT_EQ(l->phase_var, 0.0);
    EXPECT_EQ(at(lp, 0)->flags, FLAG_LOCKED);
    EXPECT_EQ(at(lp, 1)->flags, FLAG_EXCLUDED | FLAG_NEGATIVE | FLAG_LOCKED);
    EXPECT_EQ(at(lp, 2)->flags, FLAG_OVERFLOW | FLAG_LOCKED);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(std::bit_cast<uint64_t>(at(lp, k)->phase_vel), 0u) << k << ": +0, not -0";
        EXPECT_EQ(at(lp, k)->phase, 1.25) << k;
    }
    EXPECT_EQ(at(lp, 3)->phase_vel, 0.7);
    EXPECT_EQ(beyond->flags, 0u);  // not a declared slot
    EXPECT_EQ(beyond->phase_vel, 0.9);

    // Frozen: nothing left to measure, nothing changes.
    EXPECT_EQ(detect_output(lp), "");
    EXPECT_EQ(l->consensus_steps, 0);
    EXPECT_EQ(l->phase_var, 0.0);
}

TEST(Consensus, SingleParticipantIsQuietEveryCall) {
    OwnedLattice l = four_slots();
    Lattice *lp = l.get();
    arrange(lp, {kOut, kOut, 4.75, kOut});
    testing::internal::CaptureStdout();
    for (int i = 1; i <= 99; ++i) detect_harmonic_consensus(lp);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(l->phase_var, 0.0);
    EXPECT_EQ(l->consensus_steps, 99);
    EXPECT_EQ(detect_output(lp), "[CONSENSUS] Domain locked at t=0.0000 (var=0.000000, evo=0)!\n");
    EXPECT_NE(at(lp, 2)->flags & FLAG_LOCKED, 0u);
}

TEST(Consensus, LoudMeasurementResetsTheCount) {
    OwnedLattice l = four_slots();
    Lattice *lp = l.get();
    struct Case {
        const char *what;
        double second;  // the second phase, the first being 0
        double var;
    };
    const Case loud[] = {{"clearly loud", 0.5, 0.25}, {"exactly the threshold", 2e-6, 1e-6}};
    for (const Case &c : loud) {
        arrange(lp, {0.0, 0.0, kOut, kOut});
        testing::internal::CaptureStdout();
        for (int i = 0; i < 99; ++i) detect_harmonic_consensus(lp);
        ASSERT_EQ(l->consensus_steps, 99) << c.what;
        at(lp, 1)->phase = c.second;
        detect_harmonic_consensus(lp);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.what;
        ASSERT_EQ(l->phase_var, c.var) << c.what;
        EXPECT_EQ(l->consensus_steps, 0) << c.what;
        EXPECT_EQ(at(lp, 0)->flags & FLAG_LOCKED, 0u) << c.what;
    }

    // Just below the threshold counts as quiet.
    arrange(lp, {0.0, 1.9e-6, kOut, kOut});
    detect_harmonic_consensus(lp);
    EXPECT_EQ(l->phase_var, 9.5e-7);
    EXPECT_EQ(l->consensus_steps, 1);
}

// The evo number is 32768 x time truncated toward zero; out of the 32-bit
// range it saturates at the nearer bound, and NaN gives 0.
TEST(Consensus, EvoNumberOfTheLockMessage) {
    OwnedLattice l = four_slots();
    Lattice *lp = l.get();
    auto lock_at = [&](double time) {
        arrange(lp, {0.5, kOut, kOut, kOut});
        l->time = time;
        l->consensus_steps = 99;
        return detect_output(lp);
    };
    auto evo_of = [](const std::string &line) {
        const auto p = line.find("evo=");
        const auto q = line.find(")!", p);
        if (p == std::string::npos || q == std::string::npos) return std::string("<none>");
        return line.substr(p + 4, q - p - 4);
    };
    EXPECT_EQ(evo_of(lock_at(0.123456)), "4045");
    EXPECT_EQ(evo_of(lock_at(-0.123456)), "-4045");
    EXPECT_EQ(evo_of(lock_at(65535.99998474121)), "2147483647");  // 2147483647.5 truncates
    EXPECT_EQ(evo_of(lock_at(-65536.00002288818)), "-2147483648");  // -2147483648.75 truncates
    EXPECT_EQ(evo_of(lock_at(65536.0)), "2147483647");
    EXPECT_EQ(lock_at(1e6), "[CONSENSUS] Domain locked at t=1000000.0000 (var=0.000000, "
                            "evo=2147483647)!\n");
    EXPECT_EQ(lock_at(-1e6), "[CONSENSUS] Domain locked at t=-1000000.0000 (var=0.000000, "
                             "evo=-2147483648)!\n");
    EXPECT_EQ(evo_of(lock_at(std::numeric_limits<double>::infinity())), "2147483647");
    EXPECT_EQ(evo_of(lock_at(-std::numeric_limits<double>::infinity())), "-2147483648");
    EXPECT_EQ(lock_at(std::numeric_limits<double>::quiet_NaN()),
              "[CONSENSUS] Domain locked at t=nan (var=0.000000, evo=0)!\n");
}

TEST(Consensus, NothingToMeasureChangesNothing) {
    OwnedLattice l = four_slots();
    Lattice *lp = l.get();
    arrange(lp, {kOut, kOut, kOut, kOut});
    l->phase_var = 42.0;
    l->consensus_steps = 7;
    EXPECT_EQ(detect_output(lp), "");
    EXPECT_EQ(l->phase_var, 42.0);
    EXPECT_EQ(l->consensus_steps, 7);

    // No declared slot at all.
    arrange(lp, {1.0, 2.0, 3.0, 4.0});
    l->num_instances = 0;
    detect_harmonic_consensus(lp);
    EXPECT_EQ(l->phase_var, 42.0);
    EXPECT_EQ(l->consensus_steps, 7);
    l->num_instances = 1;

    detect_harmonic_consensus(nullptr);
}

TEST(Consensus, EmptyLatticeIsNotMaterialised) {
    OwnedLattice l(lattice_init(4096, 4));
    ASSERT_NE(l, nullptr);
    l->num_instances = 0;
    EXPECT_EQ(lvtest::draws_made([&] { detect_harmonic_consensus(l.get()); }), 0);
    EXPECT_EQ(l->chunks[0], nullptr);
    EXPECT_EQ(l->phase_var, 1000000.0);
}
