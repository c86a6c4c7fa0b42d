/* layout_dump.c: the C compiler's view of the interface for the Python
   package's test, one item per line: "Record size", "Record.field offset",
   "=NAME value" for a constant (LUMIVANE_ dropped), and "#n w declared" for
   lattice_declared_slots of a lattice whose counts a host wrote. */
#include <lumivane/lumivane.h>

#include <stddef.h>
#include <stdio.h>

#define SIZE(R) printf(#R " %zu\n", sizeof(R))
#define AT(R, f) printf(#R "." #f " %zu\n", offsetof(R, f))
#define INT(name, c) printf("=%s %lld\n", name, (long long)(c))

static const int32_t counts[][2] = {{64, 4},        {0, 4},         {-1, 4},        {-1, -4},
                                    {65536, 32768}, {65536, 65536}, {65536, 65537}, {INT32_MAX, 2},
                                    {INT32_MIN, 1}, {46341, 46341}};

int main(void) {
    SIZE(Mpi), AT(Mpi, words), AT(Mpi, word_count), AT(Mpi, sign);
    SIZE(Slot), AT(Slot, mantissa_words), AT(Slot, num_words_mpi), AT(Slot, exponent_mpi);
    AT(Slot, init_tag), AT(Slot, flags), AT(Slot, aux_mpi), AT(Slot, num_words);
    AT(Slot, exponent), AT(Slot, base), AT(Slot, mantissa_bits), AT(Slot, exponent_bits);
    AT(Slot, phase), AT(Slot, phase_vel), AT(Slot, omega), AT(Slot, amp_im);
    SIZE(SlotChunk), AT(SlotChunk, slots), AT(SlotChunk, num_slots);
    SIZE(Lattice), AT(Lattice, chunks), AT(Lattice, num_chunks), AT(Lattice, num_instances);
    AT(Lattice, slots_per_instance), AT(Lattice, omega), AT(Lattice, time);
    AT(Lattice, consensus_steps), AT(Lattice, phase_var), AT(Lattice, last_update_ns);
    SIZE(NeighborLink), AT(NeighborLink, amp_re), AT(NeighborLink, amp_im);
    AT(NeighborLink, amp_rate), AT(NeighborLink, phase_delta), AT(NeighborLink, coupling);
    SIZE(SlotState), AT(SlotState, amp_re), AT(SlotState, amp_im), AT(SlotState, phase);
    AT(SlotState, phase_vel);
    SIZE(SlotDerivative), AT(SlotDerivative, d_amp_re), AT(SlotDerivative, d_amp_im);
    AT(SlotDerivative, d_phase), AT(SlotDerivative, d_phase_vel);
    SIZE(Snapshot), AT(Snapshot, evo), AT(Snapshot, timestamp_ns), AT(Snapshot, phase_var);
    AT(Snapshot, omega), AT(Snapshot, weight);
    SIZE(CheckpointLog), AT(CheckpointLog, snapshots), AT(CheckpointLog, count);
    AT(CheckpointLog, capacity);
    INT("FLAG_NEGATIVE", FLAG_NEGATIVE), INT("FLAG_EXCLUDED", FLAG_EXCLUDED);
    INT("FLAG_OVERFLOW", FLAG_OVERFLOW), INT("FLAG_UNDERFLOW", FLAG_UNDERFLOW);
    INT("FLAG_LOCKED", FLAG_LOCKED), INT("SLOTS_PER_CHUNK", SLOTS_PER_CHUNK);
    INT("MAX_INSTANCES", MAX_INSTANCES), INT("MAX_DECLARED_SLOTS", LUMIVANE_MAX_DECLARED_SLOTS);
    INT("MAX_MANTISSA_BITS", LUMIVANE_MAX_MANTISSA_BITS);
    INT("MIN_EXPONENT_BITS", LUMIVANE_MIN_EXPONENT_BITS);
    INT("MAX_EXPONENT_BITS", LUMIVANE_MAX_EXPONENT_BITS);
    INT("CHECKPOINT_CAPACITY", LUMIVANE_CHECKPOINT_CAPACITY);
    printf("=NOMINAL_STEP %a\n", LUMIVANE_NOMINAL_STEP);
    for (size_t i = 0; i < sizeof counts / sizeof counts[0]; ++i) {
        Lattice l = {0};
        l.num_instances = counts[i][0];
        l.slots_per_instance = counts[i][1];
        printf("#%d %d %d\n", (int)l.num_instances, (int)l.slots_per_instance,
               (int)lattice_declared_slots(&l));
    }
    return 0;
}
