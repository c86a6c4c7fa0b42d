// checkpoint.cpp: a bounded log of weighted snapshots of the lattice's global state.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "lumivane/lumivane.h"
#include "runtime/fpenv.h"

static_assert(std::is_standard_layout_v<Snapshot> && offsetof(Snapshot, evo) == 0 &&
              offsetof(Snapshot, timestamp_ns) == 8 && offsetof(Snapshot, phase_var) == 16 &&
              offsetof(Snapshot, omega) == 24 && offsetof(Snapshot, weight) == 32 &&
              sizeof(Snapshot) == 40);
static_assert(std::is_standard_layout_v<CheckpointLog> && offsetof(CheckpointLog, snapshots) == 0 &&
              offsetof(CheckpointLog, count) == 8 && offsetof(CheckpointLog, capacity) == 12 &&
              sizeof(CheckpointLog) == 16);

namespace {
constexpr int32_t kCapacity = LUMIVANE_CHECKPOINT_CAPACITY;

// Where the log is full: its capacity, but never more than the array holds.
// The capacity is a field a host may write; the array's size is not.
int32_t room(const CheckpointLog *log) { return std::min(log->capacity, kCapacity); }
}  // namespace

extern "C" {

CheckpointLog *checkpoint_init(void) {
    auto *log = static_cast<CheckpointLog *>(std::calloc(1, sizeof(CheckpointLog)));
    if (log == nullptr) return nullptr;
    log->snapshots = static_cast<Snapshot *>(std::calloc(kCapacity, sizeof(Snapshot)));
    if (log->snapshots == nullptr) {
        std::free(log);
        return nullptr;
    }
    log->count = 0;
    log->capacity = kCapacity;
    return log;
}

void checkpoint_add(CheckpointLog *log, int32_t evo, Lattice *lattice) {
    const lv::DefaultFloatEnv float_env;
    if (log == nullptr || lattice == nullptr || log->snapshots == nullptr || log->capacity <= 0)
        return;
    const int32_t full = room(log);
    if (log->count < 0 || log->count > full) return;
    Snapshot *s = log->snapshots;
    if (log->count >= full) {
        int32_t lightest = 0;
        for (int32_t i = 1; i < log->count; ++i)
            if (s[i].weight < s[lightest].weight) lightest = i;
        const Snapshot gone = s[lightest];
        std::memmove(&s[lightest], &s[lightest + 1],
                     static_cast<std::size_t>(log->count - lightest - 1) * sizeof(Snapshot));
        log->count -= 1;
        std::printf("[Checkpoint] Pruned snapshot at evo %d (weight=%.4f)\n", gone.evo, gone.weight);
    }
    Snapshot &fresh = s[log->count];
    fresh.evo = evo;
    fresh.timestamp_ns = get_rtc_ns();
    fresh.phase_var = lattice->phase_var;
    fresh.omega = lattice->omega;
    fresh.weight = 1.0;
    log->count += 1;
    for (int32_t i = 0; i < log->count - 1; ++i) s[i].weight *= 0.95;
    std::printf("[Checkpoint] Saved evo %d (total: %d, var=%.6f)\n", evo, log->count,
                lattice->phase_var);
}

void checkpoint_free(CheckpointLog *log) {
    if (log == nullptr) return;
    std::free(log->snapshots);
    std::free(log);
}

}  // extern "C"
