// run.cpp: the fixed run of ten phases, shared by the program and its replay twin.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "apa/internal.h"
#include "driver/internal.h"

namespace {

constexpr int32_t kInstances = 4096;
constexpr int32_t kSlotsPerInstance = 4;
constexpr int32_t kBootSteps = 500;
constexpr int32_t kListed = 8;
constexpr int32_t kEvolutionSweeps = 1000;
constexpr double kNominalStep = LUMIVANE_NOMINAL_STEP;

void report_constants() {
    std::puts("\nHigh-Precision Constants:");
    const Slot *phi = lv::const_phi();
    const Slot *pi = lv::const_pi();
    std::printf("  PHI: value=%.15e exp=%ld words=%zu\n", ap_to_double(phi),
                static_cast<long>(phi->exponent), static_cast<size_t>(phi->num_words));
    std::printf("  PI:  value=%.15e exp=%ld words=%zu\n", ap_to_double(pi),
                static_cast<long>(pi->exponent), static_cast<size_t>(pi->num_words));
}

void list_slots(Lattice *lattice) {
    std::puts("\nFirst 8 slots (post-evolution):");
    for (int32_t i = 0; i < kListed; ++i) {
        const Slot *s = lattice_get_slot(lattice, i);
        if (s == nullptr) continue;
        const double a = ap_to_double(s);
        std::printf("  D%d: |A|=%.6e \xCF\x86=%.3f \xCF\x89=%.3f base=%.6f exp=%ld flags=0x%x\n",
                    i + 1, std::sqrt(a * a + s->amp_im * s->amp_im), s->phase, s->omega,
                    static_cast<double>(s->base), static_cast<long>(s->exponent), s->flags);
    }
}

void summarise_checkpoints(const CheckpointLog *log) {
    std::puts("\nCheckpoint Summary:");
    std::printf("  Total snapshots: %d\n", log->count);
    for (int32_t i = 0; i < log->count; ++i)
        std::printf("    Evo %d: weight=%.4f var=%.6f\n", log->snapshots[i].evo,
                    log->snapshots[i].weight, log->snapshots[i].phase_var);
}

void test_folding(Lattice *lattice) {
    std::puts("\nTesting prismatic folding...");
    std::printf("  Before: %d instances\n", lattice->num_instances);
    lattice_fold(lattice);
    std::printf("  After:  %d instances\n", lattice->num_instances);
}

void evolve(Lattice *lattice) {
    std::puts("\nExtended evolution (1000 steps to consensus)...");
    for (int32_t step = 0; step < kEvolutionSweeps; ++step) {
        lattice_integrate_rk4(lattice, kNominalStep);
        if (step % 100 == 0)
            std::printf("  Step %d: var=%.6f consensus=%d\n", step, lattice->phase_var,
                        lattice->consensus_steps);
    }
}

}  // namespace

namespace lv {

int run(unsigned seed, bool private_draws) {
    // Every draw of the run, on this thread, from here to its return.
    const RunDraws draws(seed, private_draws);
    std::puts("[RTC] Using software fallback (CLOCK_MONOTONIC)");
    std::puts("=== Quorith Deredu Lumivane V2.6: Production Ready ===\n");

    Lattice *lattice = lattice_init(kInstances, kSlotsPerInstance);
    if (lattice == nullptr) {
        report_error("Fatal: Could not initialize lattice.\n");
        return 1;
    }
    CheckpointLog *log = checkpoint_init();
    if (log == nullptr) {
        report_error("Fatal: Could not initialize checkpoint log.\n");
        lattice_free(lattice);
        return 1;
    }

    bootloader_init_lattice(lattice, kBootSteps, log);
    report_constants();
    list_slots(lattice);
    summarise_checkpoints(log);
    test_folding(lattice);
    evolve(lattice);

    ap_free(const_phi());
    ap_free(const_pi());
    checkpoint_free(log);
    lattice_free(lattice);
    std::puts("\n=== DEREDU LUMIVANE V2.6 OPERATIONAL ===");
    return 0;
}

}  // namespace lv
