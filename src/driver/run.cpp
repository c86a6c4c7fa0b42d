// run.cpp: the fixed run of ten phases, shared by the program and its replay twin.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "apa/internal.h"
#include "driver/internal.h"
#include "lattice/internal.h"

namespace {

constexpr int32_t kInstances = 4096;
constexpr int32_t kSlotsPerInstance = 4;
constexpr int32_t kBootSteps = 500;
constexpr int32_t kListed = 8;
constexpr int32_t kEvolutionSweeps = 1000;
constexpr double kNominalStep = 3.0517578125e-05;

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
        lattice_integrate_rk4(lattice, kNominalStep);
        if (record != nullptr) record->after_sweep(lattice, true, step);
        if (step % 100 == 0) {
            std::printf("  Step %d: var=%.6f consensus=%d\n", step, lattice->phase_var,
                        lattice->consensus_steps);
            if (record != nullptr)
                record->progress.push_back({step, lattice->phase_var, lattice->consensus_steps});
        }
    }
    if (record != nullptr) record->final_phase_var = lattice->phase_var;
}

// The declared slots, reached through the chunk blocks; false when some chunk
// that holds them is absent, since a lookup would make it and draw.
template <class Visit>
bool each_declared_slot(const Lattice *l, Visit visit) {
    const int32_t n = lv::declared_slots(l);
    if (n <= 0 || !lv::chunks_present(l, n)) return false;
    for (int32_t k = 0; k < n; ++k)
        visit(static_cast<const Slot *>(l->chunks[k / SLOTS_PER_CHUNK]->slots + k % SLOTS_PER_CHUNK));
    return true;
}

int32_t count_locked(const Lattice *l) {
    int32_t locked = 0;
    each_declared_slot(l, [&locked](const Slot *s) { locked += (s->flags & FLAG_LOCKED) != 0; });
    return locked;
}

// The sweep's adaptation of its step after a slot that read `a` before its own step.
double adapted(double dt, double a) {
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

}  // namespace

namespace lv {

// The sweep's final step can be worked out before it runs: a slot changes
// only at its own visit, so the amplitude and flags it has when the sweep
// reaches it are those it has now. When a chunk is absent (the run's first
// sweep, which makes it) the step is read from the time instead: exact from a
// time of 0.
void RunRecord::before_sweep(const Lattice *lattice, double dt) {
    dt_start_ = dt;
    time_before_ = lattice->time;
    int32_t locked = 0;
    constexpr uint32_t kSkip = FLAG_EXCLUDED | FLAG_OVERFLOW | FLAG_LOCKED;
    if (trace) {
        dt_known_ = each_declared_slot(lattice, [&dt, &locked](const Slot *s) {
            locked += (s->flags & FLAG_LOCKED) != 0;
            if ((s->flags & kSkip) == 0) dt = adapted(dt, slot_value(s));
        });
        dt_end_ = dt;
    } else {
        locked = count_locked(lattice);
    }
    locked_before_ = locked;
}

void RunRecord::after_sweep(const Lattice *lattice, bool extended, int32_t sweep) {
    const int32_t locked = count_locked(lattice);
    // Only the detector sets FLAG_LOCKED, and it locks every free slot at once.
    if (extended && lock_sweep < 0 && locked > locked_before_) lock_sweep = sweep;
    if (!trace) return;
    const double dt_end = dt_known_ ? dt_end_ : lattice->time - time_before_;
    sweeps.push_back({extended, sweep, dt_start_, dt_end, lattice->time, lattice->omega,
                      lattice->phase_var, lattice->consensus_steps, locked});
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
    evolve(lattice, record);

    ap_free(const_phi());
    ap_free(const_pi());
    checkpoint_free(log);
    lattice_free(lattice);
    std::puts("\n=== DEREDU LUMIVANE V2.6 OPERATIONAL ===");
    return 0;
}

}  // namespace lv
