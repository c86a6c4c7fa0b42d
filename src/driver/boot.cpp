// boot.cpp: the paced boot: constants, sweeps against absolute deadlines, snapshots, report.
#include <cstdio>

#include "driver/internal.h"
#include "dynamics/sweep.h"
#include "lattice/internal.h"
#include "runtime/fpenv.h"

namespace {
constexpr uint64_t kPaceNs = 30517;  // 2^-15 s truncated to whole nanoseconds
constexpr double kNominalStep = LUMIVANE_NOMINAL_STEP;
}  // namespace

namespace lv {

void boot(Lattice *lattice, int32_t steps, CheckpointLog *log, RunRecord *record) {
    std::puts("[Bootloader] Initializing Quorith Deredu Lumivane (APA V2.6)...");
    if (lattice == nullptr) {
        std::puts("[Bootloader] ERROR: Lattice allocation failed.");
        return;
    }
    init_apa_constants();
    std::printf("[Bootloader] %d instances, %d total slots\n", lattice->num_instances,
                lv::declared_slots(lattice));
    // Deadlines are absolute: a slow sweep is caught up, never forgiven.
    uint64_t deadline = get_rtc_ns() + kPaceNs;
    for (int32_t i = 0; i < steps; ++i) {
        if (record != nullptr) record->before_sweep(lattice, kNominalStep);
        const double dt_end = lv::integrate(lattice, kNominalStep);
        if (record != nullptr) record->after_sweep(lattice, false, i, dt_end);
        if (i != 0 && i % 100 == 0) checkpoint_add(log, i, lattice);
        rtc_sleep_until(deadline);
        deadline += kPaceNs;
    }
    std::printf("[Bootloader] Lattice seeded with %d RK4 steps\n", steps);
    std::printf("[Bootloader] Omega: %.6f, Time: %.6f, PhaseVar: %.6f\n", lattice->omega,
                lattice->time, lattice->phase_var);
    if (record != nullptr) {
        record->boot_instances = lattice->num_instances;
        record->boot_slots = lv::declared_slots(lattice);
        record->boot_steps = steps;
        record->boot_omega = lattice->omega;
        record->boot_time = lattice->time;
        record->boot_phase_var = lattice->phase_var;
    }
}

}  // namespace lv

extern "C" void bootloader_init_lattice(Lattice *lattice, int32_t steps, CheckpointLog *log) {
    const lv::DefaultFloatEnv float_env;
    lv::boot(lattice, steps, log, nullptr);
}
