/* lumivane/checkpoint.h: the bounded log of weighted snapshots. */
#ifndef LUMIVANE_CHECKPOINT_H
#define LUMIVANE_CHECKPOINT_H

#include <stdint.h>

#include "lumivane/export.h"
#include "lumivane/lattice.h"

LV_BEGIN_DECLS

typedef struct Snapshot {
    int32_t evo;
    uint64_t timestamp_ns;
    double phase_var;
    double omega;
    double weight;
} Snapshot;

typedef struct CheckpointLog {
    Snapshot *snapshots;
    int32_t count;
    int32_t capacity;
} CheckpointLog;

LV_API CheckpointLog *checkpoint_init(void);
LV_API void checkpoint_add(CheckpointLog *log, int32_t evo, Lattice *lattice);
LV_API void checkpoint_free(CheckpointLog *log);

LV_END_DECLS

#endif
