// driver/internal.h: the fixed run, shared by the program and its replay twin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lumivane/lumivane.h"

namespace lv {

// One sweep as the trace shows it: the step it started with and the one it
// ended with (the step it added to the lattice's time), then the lattice's
// fields and its count of locked slots after it.
struct SweepRow {
    bool extended;  // false: a sweep of the boot
    int32_t sweep;  // 0-based within its stage (the run-wide number is the row's place)
    double dt_start;
    double dt_end;
    double time;
    double omega;
    double phase_var;
    int32_t consensus_steps;
    int32_t locked;
};

struct SnapshotFigures {
    int32_t evo;
    double weight;
    double var;
};

struct ConstantFigures {
    double value;
    long exp;
    size_t words;
};

struct SlotFigures {
    int32_t index;  // as listed: slot 0 is D1
    double amp;
    double phase;
    double omega;
    double base;
    long exp;
    uint32_t flags;
};

// A "[CONSENSUS] Domain locked" line: the sweep that printed it and its figures.
struct LockFigures {
    bool extended;
    int32_t sweep;      // within its stage
    int32_t run_sweep;  // 0 to 1499 across the boot and the extended evolution
    double t;           // the lattice's time at the sweep's start, as printed
    double var;
    int32_t evo;
};

struct ProgressFigures {
    int32_t step;
    double var;
    int32_t consensus;
};

// Sees the lattice after sweeps (numbered across the run, 0 to 1499); it must
// leave the lattice and the draws as they were.
class SweepObserver {
  public:
    virtual void after_sweep(const Lattice *lattice, bool extended, int32_t run_sweep) = 0;

  protected:
    ~SweepObserver() = default;
};

// What a run shows besides its report: the values behind every figure the
// report prints and, when `trace` is set, one row per sweep. A run given a
// record fills it as it goes; a run without one observes nothing.
struct RunRecord {
    bool trace = false;
    SweepObserver *observer = nullptr;  // told of every sweep, when set

    int32_t boot_instances = 0;
    int32_t boot_slots = 0;
    int32_t boot_steps = 0;
    double boot_omega = 0.0;
    double boot_time = 0.0;
    double boot_phase_var = 0.0;
    int32_t checkpoint_total = 0;
    std::vector<SnapshotFigures> snapshots;
    ConstantFigures phi{};
    ConstantFigures pi{};
    std::vector<SlotFigures> slots;
    int32_t fold_before = 0;
    int32_t fold_after = 0;
    std::vector<ProgressFigures> progress;
    std::vector<LockFigures> locks;  // every consensus lock, in the order printed
    double final_phase_var = 0.0;
    std::vector<SweepRow> sweeps;

    // Called around every sweep of the boot and of the extended evolution,
    // with the step the sweep is given and the one it ended with.
    void before_sweep(const Lattice *lattice, double dt);
    void after_sweep(const Lattice *lattice, bool extended, int32_t sweep, double dt_end);
    // Called when the lattice's slots changed between sweeps (the fold).
    void lattice_changed() { recount_ = true; }

  private:
    double dt_start_ = 0.0;
    double time_before_ = 0.0;
    int32_t run_sweep_ = 0;
    int32_t quiet_before_ = 0;
    bool present_before_ = false;
    bool recount_ = true;
    int32_t locked_ = 0;
};

// The fixed run with the given seed; answers the exit status. Its draws come
// from a private copy of rand()'s generator when that copy is checked to give
// rand()'s values, or with `private_draws` false, from rand() itself: the same
// values either way. With a record, the run also fills it.
int run(unsigned seed, bool private_draws = true, RunRecord *record = nullptr);

// The paced boot of bootloader_init_lattice, observed by `record` when given.
void boot(Lattice *lattice, int32_t steps, CheckpointLog *log, RunRecord *record);

}  // namespace lv
