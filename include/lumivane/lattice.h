/* lumivane/lattice.h: the lattice record, chunked slot storage and folding. */
#ifndef LUMIVANE_LATTICE_H
#define LUMIVANE_LATTICE_H

#include <stdint.h>

#include "lumivane/apa.h"
#include "lumivane/export.h"

LV_BEGIN_DECLS

#define SLOTS_PER_CHUNK 1048576
#define MAX_INSTANCES 8388608

typedef struct SlotChunk {
    Slot *slots;
    uint64_t num_slots;
} SlotChunk;

typedef struct Lattice {
    SlotChunk **chunks;
    int32_t num_chunks;
    int32_t num_instances;
    int32_t slots_per_instance;
    double omega;
    double time;
    int32_t consensus_steps;
    double phase_var;
    uint64_t last_update_ns;
} Lattice;

LV_API Lattice *lattice_init(int32_t num_instances, int32_t slots_per_instance);
LV_API SlotChunk *lattice_get_chunk(Lattice *lattice, int32_t chunk_index);
LV_API Slot *lattice_get_slot(Lattice *lattice, int32_t slot_index);
LV_API void lattice_free(Lattice *lattice);
LV_API void lattice_fold(Lattice *lattice);

LV_END_DECLS

#endif
