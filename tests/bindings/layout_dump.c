/* layout_dump.c: the C compiler's sizes and offsets of the public records, one
   "Record size" or "Record.field offset" per line, for the Python package's test. */
#include <lumivane/lumivane.h>

#include <stddef.h>
#include <stdio.h>

#define SIZE(R) printf(#R " %zu\n", sizeof(R))
#define AT(R, f) printf(#R "." #f " %zu\n", offsetof(R, f))

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
    return 0;
}
