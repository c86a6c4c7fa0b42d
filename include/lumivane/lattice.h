/* lumivane/lattice.h: the lattice record, chunked slot storage and folding.

   Ownership: lattice_init answers a lattice that lattice_free releases, with
   its chunk table, every chunk and every slot in it. Slot k lives in chunk
   k / SLOTS_PER_CHUNK at position k % SLOTS_PER_CHUNK; the first touch of any
   slot of a chunk materialises the whole chunk: 1048576 slots, about 751 MB,
   and 7 x 1048576 = 7340032 values drawn from rand(), however few slots the
   lattice declares. A slot's address stays valid until lattice_free. A slot's
   buffers moved out of a lattice by a plain record copy stay valid after
   lattice_free until released with ap_free.
   Null: a null lattice is never dereferenced; lookups then answer null. */
#ifndef LUMIVANE_LATTICE_H
#define LUMIVANE_LATTICE_H

#include <stdint.h>

#include "lumivane/apa.h"
#include "lumivane/export.h"

LV_BEGIN_DECLS

#define SLOTS_PER_CHUNK 1048576 /* slots in every chunk */
#define MAX_INSTANCES 8388608   /* the most instances a fold may produce */
/* The most slots a lattice may declare (lattice_init, lattice_fold): keeps the
   count of chunks and every index within 32 bits. */
#define LUMIVANE_MAX_DECLARED_SLOTS 2146435072

/* A materialised chunk: exactly SLOTS_PER_CHUNK slot records. */
typedef struct SlotChunk {
    Slot *slots;
    uint64_t num_slots;
} SlotChunk;

/* The container of every slot and the simulation's global state. Declared
   slots are 0 .. num_instances x slots_per_instance - 1; chunks[c] is null
   until chunk c is materialised. omega and time grow with every sweep;
   phase_var (1000000.0 until measured) and consensus_steps belong to the
   consensus detector. */
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

/* The declared slots: the indexes 0 .. n - 1 that a sweep and the consensus
   detector visit. n is num_instances x slots_per_instance taken as a 32-bit
   product that wraps, as the sweep takes it; a lattice declares none when
   that product is 0 or negative, or when the lattice is null. Within
   lattice_init's domain it is the plain product. Counts a host writes by hand
   may leave the domain; the C++ and Python bindings answer the same number.
   Inline here, not an exported operation. */
static inline int32_t lattice_declared_slots(const Lattice *lattice) {
    if (!lattice) return 0;
    const uint32_t product =
        (uint32_t)lattice->num_instances * (uint32_t)lattice->slots_per_instance;
    return product > (uint32_t)INT32_MAX ? 0 : (int32_t)product;
}

/* A new lattice with no chunk yet; draws nothing. Null, allocating nothing,
   when a count is 0 or negative or their product exceeds
   LUMIVANE_MAX_DECLARED_SLOTS, and null when an allocation fails. */
LV_API Lattice *lattice_init(int32_t num_instances, int32_t slots_per_instance);
/* Chunk chunk_index, materialised now if absent (the draws above, in
   position order); no draws when present. Null for a negative index, one at
   or past num_chunks, a null lattice or table, or when the chunk cannot be
   allocated (the entry stays null and the next touch tries again). */
LV_API SlotChunk *lattice_get_chunk(Lattice *lattice, int32_t chunk_index);
/* The address of slot slot_index, materialising its chunk as
   lattice_get_chunk does. Null where lattice_get_chunk is null and for a
   negative index (slot -1 is not slot 0 of chunk 0). */
LV_API Slot *lattice_get_slot(Lattice *lattice, int32_t slot_index);
/* Releases every slot, chunk and the table, then the record. Null: nothing. */
LV_API void lattice_free(Lattice *lattice);
/* Doubles num_instances: slot T + i becomes a copy of slot i (T the slots
   declared before), its amplitude raised by fib[i % 16] x 0.01, its phase
   jittered within +-0.05 and its base nudged up by at most 0.001. Draws nine
   values per copied slot (seven for the conversion, then phase, then base),
   plus seven per slot of any chunk the fold materialises; added chunks
   receive their copies. Refused silently, nothing changed, for a null
   lattice, no declared slot, 2 x num_instances above MAX_INSTANCES or a
   doubled slot count above LUMIVANE_MAX_DECLARED_SLOTS. When the table
   cannot grow: "Failed to allocate memory for folding" on standard error and
   nothing changed. */
LV_API void lattice_fold(Lattice *lattice);

LV_END_DECLS

#endif
