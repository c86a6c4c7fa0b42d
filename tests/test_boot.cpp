// test_boot.cpp: the paced boot: constants, sweeps, snapshots every 100 sweeps, the report.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support.h"

using namespace lvtest;

namespace {

constexpr uint64_t kPaceNs = 30517;
constexpr unsigned kSeed = 4242u;

const std::string kHello = "[Bootloader] Initializing Quorith Deredu Lumivane (APA V2.6)...\n";
const std::string kConstants = "[Bootloader] High-precision constants (PHI, PI) initialized.\n";

std::string boot_quietly(Lattice *l, int32_t steps, CheckpointLog *log) {
    ::testing::internal::CaptureStdout();
    bootloader_init_lattice(l, steps, log);
    return ::testing::internal::GetCapturedStdout();
}

std::string closing(int32_t steps, double omega, double time, double phase_var) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "[Bootloader] Lattice seeded with %d RK4 steps\n"
                  "[Bootloader] Omega: %.6f, Time: %.6f, PhaseVar: %.6f\n",
                  steps, omega, time, phase_var);
    return buf;
}

int count_of(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// ---------------------------------------------------------------------------
// Boots that never sweep: no chunk is needed.

TEST(BootWithoutLattice, PrintsTwoLinesAndDrawsNothing) {
    CheckpointLog *log = checkpoint_init();
    std::string out;
    const int draws = lvtest::draws_made([&] { out = boot_quietly(nullptr, 500, log); });
    EXPECT_EQ(out, kHello + "[Bootloader] ERROR: Lattice allocation failed.\n");
    EXPECT_EQ(draws, 0) << "the constants must not be built without a lattice";
    EXPECT_EQ(log->count, 0);
    checkpoint_free(log);
    EXPECT_EQ(boot_quietly(nullptr, 0, nullptr),
              kHello + "[Bootloader] ERROR: Lattice allocation failed.\n");
}

TEST(BootWithoutSteps, BuildsTheConstantsAndReportsTheUntouchedLattice) {
    for (int32_t steps : {0, -3}) {
        Lattice *l = lattice_init(4096, 4);
        ASSERT_NE(l, nullptr);
        CheckpointLog *log = checkpoint_init();
        std::string out;
        const int draws = lvtest::draws_made([&] { out = boot_quietly(l, steps, log); });
        EXPECT_EQ(out, kHello + kConstants + "[Bootloader] 4096 instances, 16384 total slots\n" +
                           "[Bootloader] Lattice seeded with " + std::to_string(steps) +
                           " RK4 steps\n"
                           "[Bootloader] Omega: 0.000000, Time: 0.000000, PhaseVar: 1000000.000000\n")
            << "steps " << steps;
        // Exactly the constants' four slot initialisations: no sweep, so no chunk.
        EXPECT_EQ(draws, 28) << "steps " << steps;
        EXPECT_EQ(l->chunks[0], nullptr) << "steps " << steps;
        EXPECT_EQ(l->time, 0.0);
        EXPECT_EQ(l->omega, 0.0);
        EXPECT_EQ(l->consensus_steps, 0);
        EXPECT_EQ(log->count, 0);
        checkpoint_free(log);
        lattice_free(l);
    }
}

TEST(BootWithoutSteps, SlotCountIsTheWrapped32BitProduct) {
    Lattice *l = lattice_init(1, 1);
    ASSERT_NE(l, nullptr);
    const int32_t instances = l->num_instances, width = l->slots_per_instance;
    l->num_instances = 65536;
    l->slots_per_instance = 65537;  // 2^32 + 65536 slots: 65536 once wrapped
    const std::string out = boot_quietly(l, 0, nullptr);
    EXPECT_NE(out.find("[Bootloader] 65536 instances, 65536 total slots\n"), std::string::npos) << out;
    l->num_instances = 3;
    l->slots_per_instance = 5;
    EXPECT_NE(boot_quietly(l, 0, nullptr).find("[Bootloader] 3 instances, 15 total slots\n"),
              std::string::npos);
    l->num_instances = instances;
    l->slots_per_instance = width;
    lattice_free(l);
}

// ---------------------------------------------------------------------------
// Boots that sweep. One lattice of 2 x 2 declared slots serves them all: its
// chunk is materialised once, by a first boot of one sweep. Between tests
// every declared slot is locked, so a sweep visits nothing, draws nothing,
// leaves phase_var alone and advances omega and time by exactly the step.

class Boot : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        srand(kSeed);
        lattice = lattice_init(2, 2);
        ASSERT_NE(lattice, nullptr);
        first_boot = boot_quietly(lattice, 1, nullptr);
    }
    static void TearDownTestSuite() {
        lattice_free(lattice);
        lattice = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(lattice, nullptr);
        ASSERT_NE(lattice->chunks[0], nullptr);
        lattice->omega = 0.0;
        lattice->time = 0.0;
        lattice->phase_var = 1000000.0;
        lattice->consensus_steps = 0;
        lock_declared(true);
    }

    static void lock_declared(bool locked) {
        for (int32_t k = 0; k < 4; ++k) {
            Slot *s = lattice_get_slot(lattice, k);
            ASSERT_NE(s, nullptr);
            if (locked)
                s->flags |= FLAG_LOCKED;
            else
                s->flags &= ~FLAG_LOCKED;
        }
    }

    // omega after `sweeps` sweeps that visit nothing, summed as the sweep sums it.
    static double idle_omega(int sweeps) {
        double omega = 0.0;
        for (int i = 0; i < sweeps; ++i) omega += 0.01 * kStep;
        return omega;
    }

    static Lattice *lattice;
    static std::string first_boot;
};

Lattice *Boot::lattice = nullptr;
std::string Boot::first_boot;

TEST_F(Boot, MaterialisesTheWholeChunkAfterTheConstants) {
    const SlotChunk *chunk = lattice->chunks[0];
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(chunk->num_slots, static_cast<uint64_t>(SLOTS_PER_CHUNK));
    EXPECT_EQ(first_boot.substr(0, kHello.size() + kConstants.size()), kHello + kConstants);
    EXPECT_NE(first_boot.find("[Bootloader] 2 instances, 4 total slots\n"), std::string::npos);
    EXPECT_NE(first_boot.find("[Bootloader] Lattice seeded with 1 RK4 steps\n"), std::string::npos);

    // Slots past the 4 declared ones are untouched by the sweep: they hold the
    // draws that followed the constants' 28, seven per slot in index order.
    for (int32_t k : {4, 8, 13, SLOTS_PER_CHUNK - 1}) {
        srand(kSeed);
        for (int64_t i = 0; i < 28 + 7 * static_cast<int64_t>(k); ++i) rand();
        Slot expected = slot_init_apa(64 * (64 + k % 8), 16 + 2 * (k % 8));
        EXPECT_TRUE(lvtest::same_slot(*lattice_get_slot(lattice, k), expected)) << "slot " << k;
        ap_free(&expected);
    }
}

TEST_F(Boot, IsTheConstantsThenTheSweepsAtTheNominalStep) {
    // Slots 0..3 are a closed ring of neighbours, so saving and restoring them
    // restores everything a sweep reads.
    lock_declared(false);
    Slot saved[4]{}, booted[4]{};
    for (int32_t k = 0; k < 4; ++k) ap_copy(&saved[k], lattice_get_slot(lattice, k));

    srand(kSeed + 1);
    const std::string out = boot_quietly(lattice, 3, nullptr);
    const int next_after_boot = rand();
    for (int32_t k = 0; k < 4; ++k) ap_copy(&booted[k], lattice_get_slot(lattice, k));
    const double omega = lattice->omega, time = lattice->time, var = lattice->phase_var;
    const int32_t quiet = lattice->consensus_steps;

    for (int32_t k = 0; k < 4; ++k) ap_copy(lattice_get_slot(lattice, k), &saved[k]);
    lattice->omega = 0.0;
    lattice->time = 0.0;
    lattice->phase_var = 1000000.0;
    lattice->consensus_steps = 0;
    srand(kSeed + 1);
    ::testing::internal::CaptureStdout();
    init_apa_constants();
    for (int i = 0; i < 3; ++i) lattice_integrate_rk4(lattice, kStep);
    ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(rand(), next_after_boot) << "the boot made draws of its own";
    for (int32_t k = 0; k < 4; ++k)
        EXPECT_TRUE(lvtest::same_slot(booted[k], *lattice_get_slot(lattice, k))) << "slot " << k;
    EXPECT_EQ(lattice->omega, omega);
    EXPECT_EQ(lattice->time, time);
    EXPECT_EQ(lattice->phase_var, var);
    EXPECT_EQ(lattice->consensus_steps, quiet);
    EXPECT_EQ(out.substr(out.size() - closing(3, omega, time, var).size()),
              closing(3, omega, time, var));
    // Every sweep stepped each declared slot once: 8 draws a step, plus the constants.
    for (int32_t k = 0; k < 4; ++k) ap_copy(lattice_get_slot(lattice, k), &saved[k]);
    EXPECT_EQ(lvtest::draws_made([&] { boot_quietly(lattice, 3, nullptr); }), 28 + 3 * 4 * 8);

    for (int32_t k = 0; k < 4; ++k) {
        ap_free(&saved[k]);
        ap_free(&booted[k]);
    }
}

TEST_F(Boot, DrawsOnlyForTheConstantsWhenNoSlotMoves) {
    EXPECT_EQ(lvtest::draws_made([&] { boot_quietly(lattice, 150, nullptr); }), 28);
}

TEST_F(Boot, FiveHundredStepsSaveFourSnapshots) {
    CheckpointLog *log = checkpoint_init();
    const std::string out = boot_quietly(lattice, 500, log);
    const double time = 500 * kStep;
    EXPECT_EQ(lattice->time, time);
    EXPECT_EQ(lattice->omega, idle_omega(500));
    EXPECT_EQ(lattice->phase_var, 1000000.0);

    const std::string saves = "[Checkpoint] Saved evo 100 (total: 1, var=1000000.000000)\n"
                              "[Checkpoint] Saved evo 200 (total: 2, var=1000000.000000)\n"
                              "[Checkpoint] Saved evo 300 (total: 3, var=1000000.000000)\n"
                              "[Checkpoint] Saved evo 400 (total: 4, var=1000000.000000)\n";
    EXPECT_EQ(out, kHello + kConstants + "[Bootloader] 2 instances, 4 total slots\n" + saves +
                       "[Bootloader] Lattice seeded with 500 RK4 steps\n"
                       "[Bootloader] Omega: 0.000153, Time: 0.015259, PhaseVar: 1000000.000000\n");
    EXPECT_EQ(out, kHello + kConstants + "[Bootloader] 2 instances, 4 total slots\n" + saves +
                       closing(500, idle_omega(500), time, 1000000.0));

    ASSERT_EQ(log->count, 4);
    for (int i = 0; i < 4; ++i) {
        const Snapshot &s = log->snapshots[i];
        const int evo = 100 * (i + 1);
        EXPECT_EQ(s.evo, evo);
        // Taken right after sweep `evo`, the (evo + 1)-th sweep of the boot.
        EXPECT_EQ(s.omega, idle_omega(evo + 1)) << "evo " << evo;
        EXPECT_EQ(s.phase_var, 1000000.0);
    }
    EXPECT_EQ(log->snapshots[0].weight, 0.95 * 0.95 * 0.95);
    EXPECT_EQ(log->snapshots[1].weight, 0.95 * 0.95);
    EXPECT_EQ(log->snapshots[2].weight, 0.95);
    EXPECT_EQ(log->snapshots[3].weight, 1.0);
    checkpoint_free(log);
}

TEST_F(Boot, SnapshotsOnlyAfterNonZeroHundreds) {
    CheckpointLog *log = checkpoint_init();
    std::string out = boot_quietly(lattice, 100, log);
    EXPECT_EQ(log->count, 0);
    EXPECT_EQ(count_of(out, "[Checkpoint]"), 0);

    out = boot_quietly(lattice, 101, log);
    ASSERT_EQ(log->count, 1);
    EXPECT_EQ(log->snapshots[0].evo, 100);
    EXPECT_EQ(count_of(out, "[Checkpoint]"), 1);

    // Each boot counts its own sweeps from 0.
    out = boot_quietly(lattice, 201, log);
    ASSERT_EQ(log->count, 3);
    EXPECT_EQ(log->snapshots[1].evo, 100);
    EXPECT_EQ(log->snapshots[2].evo, 200);
    EXPECT_NE(out.find("[Checkpoint] Saved evo 200 (total: 3, var="), std::string::npos) << out;
    checkpoint_free(log);
}

TEST_F(Boot, RunsWithoutALog) {
    const std::string out = boot_quietly(lattice, 500, nullptr);
    EXPECT_EQ(count_of(out, "[Checkpoint]"), 0);
    EXPECT_EQ(out.substr(out.size() - closing(500, lattice->omega, lattice->time, 1e6).size()),
              closing(500, idle_omega(500), 500 * kStep, 1000000.0));
    EXPECT_EQ(lattice->time, 500 * kStep);
}

TEST_F(Boot, PacesSweepsAgainstTheClock) {
    // Sweeps that visit nothing are far faster than the pace, so the boot
    // lasts at least until its last deadline.
    constexpr int32_t kSteps = 300;
    const uint64_t start = get_rtc_ns();
    boot_quietly(lattice, kSteps, nullptr);
    const uint64_t elapsed = get_rtc_ns() - start;
    EXPECT_GE(elapsed, kSteps * kPaceNs);
}

}  // namespace
