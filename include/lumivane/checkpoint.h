/* lumivane/checkpoint.h: the bounded log of weighted snapshots.

   Ownership: checkpoint_init answers a log that checkpoint_free releases,
   with its array. Nothing here draws from rand(). */
#ifndef LUMIVANE_CHECKPOINT_H
#define LUMIVANE_CHECKPOINT_H

#include <stdint.h>

#include "lumivane/export.h"
#include "lumivane/lattice.h"

LV_BEGIN_DECLS

/* One save: the caller's step number, the monotonic clock, the lattice's
   phase_var and omega, and a weight of 1.0 that every later save ages by 0.95. */
typedef struct Snapshot {
    int32_t evo;
    uint64_t timestamp_ns;
    double phase_var;
    double omega;
    double weight;
} Snapshot;

/* The snapshots checkpoint_init allocates room for: the array is never
   resized, and no save reads or writes past this many entries. */
#define LUMIVANE_CHECKPOINT_CAPACITY 10

/* Entries 0 .. count - 1 in order of saving, oldest first; capacity
   LUMIVANE_CHECKPOINT_CAPACITY. A host may lower capacity (the log then prunes
   sooner); a capacity above what was allocated counts as
   LUMIVANE_CHECKPOINT_CAPACITY. A host that gives the log another array gives
   it room for at least min(capacity, LUMIVANE_CHECKPOINT_CAPACITY) entries. */
typedef struct CheckpointLog {
    Snapshot *snapshots;
    int32_t count;
    int32_t capacity;
} CheckpointLog;

/* A new, empty log of capacity LUMIVANE_CHECKPOINT_CAPACITY; null when an
   allocation fails. */
LV_API CheckpointLog *checkpoint_init(void);
/* Saves a snapshot of the lattice and prints its line; a full log first
   prunes its lightest entry (the lowest index among equals) and prints that.
   Allocates nothing. The log is full at min(capacity,
   LUMIVANE_CHECKPOINT_CAPACITY) entries, so a capacity a host raised never
   makes it write past the array. A null log or lattice, or a log in an
   impossible state (no array, capacity <= 0, count outside 0..that bound):
   nothing. */
LV_API void checkpoint_add(CheckpointLog *log, int32_t evo, Lattice *lattice);
/* Releases the array, then the record. Null: nothing. */
LV_API void checkpoint_free(CheckpointLog *log);

LV_END_DECLS

#endif
