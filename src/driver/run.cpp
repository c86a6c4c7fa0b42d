// run.cpp: the fixed run of ten phases, shared by the program and its replay twin.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "apa/internal.h"
#include "driver/internal.h"
#include "dynamics/sweep.h"
#include "lattice/internal.h"

namespace {

constexpr int32_t kInstances = 4096;
constexpr int32_t kSlotsPerInstance = 4;
constexpr int32_t kBootSteps = 500;
constexpr int32_t kListed = 8;
constexpr int32_t kEvolutionSweeps = 1000;
constexpr double kNominalStep = LUMIVANE_NOMINAL_STEP;

lv::ConstantFigures figures_of(const Slot *constant) {
    return {ap_to_double(constant), static_cast<long>(constant->exponent),
            static_cast<size_t>(constant->num_words)};
}

void report_constants(lv::RunRecord *record) {
    std::puts("\nHigh-Precision Constants:");
    const lv::ConstantFigures phi = figures_of(lv::const_phi());
    const lv::ConstantFigures pi = figures_of(lv::const_pi());
    std::printf("  PHI: value=%.15e exp=%ld words=%zu\n", phi.value, phi.exp, phi.words);
    std::printf("  PI:  value=%.15e exp=%ld words=%zu\n", pi.value, pi.exp, pi.words);
    if (record != nullptr) {
        record->phi = phi;
        record->pi = pi;
    }
}

void list_slots(Lattice *lattice, lv::RunRecord *record) {
    std::puts("\nFirst 8 slots (post-evolution):");
    for (int32_t i = 0; i < kListed; ++i) {
        const Slot *s = lattice_get_slot(lattice, i);
        if (s == nullptr) continue;
        const double a = ap_to_double(s);
        const lv::SlotFigures f{i + 1,
                                std::sqrt(a * a + s->amp_im * s->amp_im),
                                s->phase,
                                s->omega,
                                static_cast<double>(s->base),
                                static_cast<long>(s->exponent),
                                s->flags};
        std::printf("  D%d: |A|=%.6e \xCF\x86=%.3f \xCF\x89=%.3f base=%.6f exp=%ld flags=0x%x\n",
                    f.index, f.amp, f.phase, f.omega, f.base, f.exp, f.flags);
        if (record != nullptr) record->slots.push_back(f);
    }
}

void summarise_checkpoints(const CheckpointLog *log, lv::RunRecord *record) {
    std::puts("\nCheckpoint Summary:");
    std::printf("  Total snapshots: %d\n", log->count);
    for (int32_t i = 0; i < log->count; ++i)
        std::printf("    Evo %d: weight=%.4f var=%.6f\n", log->snapshots[i].evo,
                    log->snapshots[i].weight, log->snapshots[i].phase_var);
    if (record != nullptr) {
        record->checkpoint_total = log->count;
        for (int32_t i = 0; i < log->count; ++i)
            record->snapshots.push_back(
                {log->snapshots[i].evo, log->snapshots[i].weight, log->snapshots[i].phase_var});
    }
}

void test_folding(Lattice *lattice, lv::RunRecord *record) {
    std::puts("\nTesting prismatic folding...");
    const int32_t before = lattice->num_instances;
    std::printf("  Before: %d instances\n", before);
    lattice_fold(lattice);
    std::printf("  After:  %d instances\n", lattice->num_instances);
    if (record != nullptr) {
        record->fold_before = before;
        record->fold_after = lattice->num_instances;
    }
}

void evolve(Lattice *lattice, lv::RunRecord *record) {
    std::puts("\nExtended evolution (1000 steps to consensus)...");
    for (int32_t step = 0; step < kEvolutionSweeps; ++step) {
        if (record != nullptr) record->before_sweep(lattice, kNominalStep);
        const double dt_end = lv::integrate(lattice, kNominalStep);
        if (record != nullptr) record->after_sweep(lattice, true, step, dt_end);
        if (step % 100 == 0) {
            std::printf("  Step %d: var=%.6f consensus=%d\n", step, lattice->phase_var,
                        lattice->consensus_steps);
            if (record != nullptr)
                record->progress.push_back({step, lattice->phase_var, lattice->consensus_steps});
        }
    }
    if (record != nullptr) record->final_phase_var = lattice->phase_var;
}

int32_t count_locked(const Lattice *l) {
    if (!lv::slots_present(l)) return 0;
    int32_t locked = 0;
    for (int32_t k = 0, n = lv::declared_slots(l); k < n; ++k)
        locked += (lv::declared_slot(l, k)->flags & FLAG_LOCKED) != 0;
    return locked;
}

}  // namespace

namespace lv {

// The locked slots are counted only where their number can change: after a
// sweep that made the chunk, after a change of the lattice between sweeps,
// and where the detector's count of quiet sweeps starts again, as a lock
// makes it do. A sweep's own steps never lock a slot.
void RunRecord::before_sweep(const Lattice *lattice, double dt) {
    dt_start_ = dt;
    time_before_ = lattice->time;
    quiet_before_ = lattice->consensus_steps;
    present_before_ = lv::slots_present(lattice);
    if (recount_) locked_ = count_locked(lattice);
    recount_ = false;
}

void RunRecord::after_sweep(const Lattice *lattice, bool extended, int32_t sweep, double dt_end) {
    const int32_t locked_before = locked_;
    if (!present_before_ || (quiet_before_ != 0 && lattice->consensus_steps == 0))
        locked_ = count_locked(lattice);
    // A lock prints the time the sweep started from; evo is that time in
    // nominal steps, truncated and saturated as the detector prints it.
    if (locked_ > locked_before) {
        const double evo = 32768.0 * time_before_;
        const int32_t evo_number = std::isnan(evo)              ? 0
                                   : evo >= 2147483648.0        ? INT32_MAX
                                   : evo <= -2147483649.0       ? INT32_MIN
                                                                : static_cast<int32_t>(evo);
        locks.push_back({extended, sweep, run_sweep_, time_before_, lattice->phase_var, evo_number});
    }
    if (observer != nullptr) observer->after_sweep(lattice, extended, run_sweep_);
    ++run_sweep_;
    if (!trace) return;
    sweeps.push_back({extended, sweep, dt_start_, dt_end, lattice->time, lattice->omega,
                      lattice->phase_var, lattice->consensus_steps, locked_});
}

int run(unsigned seed, bool private_draws, RunRecord *record) {
    // Every draw of the run, on this thread, from here to its return.
    const RunDraws draws(seed, private_draws);
    std::puts("[RTC] Using software fallback (CLOCK_MONOTONIC)");
    std::puts("=== Quorith Deredu Lumivane V2.6: Production Ready ===\n");

    Lattice *lattice = lattice_init(kInstances, kSlotsPerInstance);
    if (lattice == nullptr) {
        report_error("Fatal: Could not initialize lattice.\n");
        return 1;
    }
    // No host can reach the run's own lattice: its chunk holds only the
    // slots the run declares, filled where they are first used.
    const LazyLattice lazy(draws.is_private() ? lattice : nullptr);
    CheckpointLog *log = checkpoint_init();
    if (log == nullptr) {
        report_error("Fatal: Could not initialize checkpoint log.\n");
        lattice_free(lattice);
        return 1;
    }

    boot(lattice, kBootSteps, log, record);
    report_constants(record);
    list_slots(lattice, record);
    summarise_checkpoints(log, record);
    test_folding(lattice, record);
    if (record != nullptr) record->lattice_changed();
    evolve(lattice, record);

    ap_free(const_phi());
    ap_free(const_pi());
    checkpoint_free(log);
    lattice_free(lattice);
    std::puts("\n=== DEREDU LUMIVANE V2.6 OPERATIONAL ===");
    return 0;
}

}  // namespace lv
