// lattice.cpp: the lattice record and its lazily materialised chunks of slots.
#include <cstddef>
#include <cstdlib>
#include <type_traits>

#include "apa/internal.h"
#include "lattice/internal.h"
#include "storage/internal.h"
#include "runtime/fpenv.h"

static_assert(std::is_standard_layout_v<SlotChunk> && offsetof(SlotChunk, slots) == 0 &&
              offsetof(SlotChunk, num_slots) == 8 && sizeof(SlotChunk) == 16);
static_assert(std::is_standard_layout_v<Lattice> && offsetof(Lattice, chunks) == 0 &&
              offsetof(Lattice, num_chunks) == 8 && offsetof(Lattice, num_instances) == 12 &&
              offsetof(Lattice, slots_per_instance) == 16 && offsetof(Lattice, omega) == 24 &&
              offsetof(Lattice, time) == 32 && offsetof(Lattice, consensus_steps) == 40 &&
              offsetof(Lattice, phase_var) == 48 && offsetof(Lattice, last_update_ns) == 56 &&
              sizeof(Lattice) == 64);

namespace {

// A position's widths match the words the block carves for it.
int mantissa_bits_at(int64_t j) { return 64 * static_cast<int>(lv::block_mantissa_words(j)); }
int exponent_bits_at(int64_t j) { return 16 + 2 * static_cast<int>(j % 8); }

// Every slot gets its own allocations: the path taken when one chunk-wide
// block cannot be had.
void fill_separately(Slot *slots) {
    for (int64_t j = 0; j < SLOTS_PER_CHUNK; ++j)
        slots[j] = slot_init_apa(mantissa_bits_at(j), exponent_bits_at(j));
}

// Every slot's buffers carved from the chunk's zeroed block: the same draws
// and values as slot_init_apa per slot.
void fill_from_block(lv::ChunkBlock *b) {
    Slot *slots = lv::block_records(b);
    lv::block_carve(b, [slots](int64_t j, uint64_t *mantissa, uint64_t *exp_word,
                               uint64_t *nw_word, uint64_t *aux_word) {
        lv::slot_fill_random(&slots[j], mantissa_bits_at(j), exponent_bits_at(j),
                             lv::block_mantissa_words(j), mantissa, exp_word, nw_word, aux_word);
    });
}

}  // namespace

extern "C" {

Lattice *lattice_init(int32_t num_instances, int32_t slots_per_instance) {
    if (num_instances <= 0 || slots_per_instance <= 0 ||
        int64_t{num_instances} * slots_per_instance > lv::kMaxSlots)
        return nullptr;
    auto *l = static_cast<Lattice *>(std::calloc(1, sizeof(Lattice)));
    if (l == nullptr) return nullptr;
    l->num_instances = num_instances;
    l->slots_per_instance = slots_per_instance;
    l->omega = 0.0;
    l->time = 0.0;
    l->consensus_steps = 0;
    l->phase_var = 1000000.0;
    l->last_update_ns = get_rtc_ns();
    const int32_t total = num_instances * slots_per_instance;
    l->num_chunks = lv::chunks_for(total);
    l->chunks = static_cast<SlotChunk **>(std::calloc(static_cast<std::size_t>(l->num_chunks),
                                                      sizeof(SlotChunk *)));
    if (l->chunks == nullptr) {
        std::free(l);
        return nullptr;
    }
    return l;
}

SlotChunk *lattice_get_chunk(Lattice *l, int32_t c) {
    if (l == nullptr || l->chunks == nullptr || c < 0 || c >= l->num_chunks) return nullptr;
    if (l->chunks[c] != nullptr) return l->chunks[c];
    const lv::DefaultFloatEnv float_env;
    auto *chunk = static_cast<SlotChunk *>(std::malloc(sizeof(SlotChunk)));
    if (chunk == nullptr) return nullptr;
    chunk->num_slots = SLOTS_PER_CHUNK;
    // One zeroed block holds the records and all their buffers; without one,
    // the slots take separate buffers.
    if (lv::ChunkBlock *block = lv::block_create()) {
        chunk->slots = lv::block_records(block);
        fill_from_block(block);
    } else {
        chunk->slots = static_cast<Slot *>(std::malloc(lv::kChunkRecordBytes));
        if (chunk->slots == nullptr) {
            std::free(chunk);
            return nullptr;
        }
        fill_separately(chunk->slots);
    }
    l->chunks[c] = chunk;
    return chunk;
}

Slot *lattice_get_slot(Lattice *l, int32_t k) {
    if (k < 0) return nullptr;
    SlotChunk *chunk = lattice_get_chunk(l, k / SLOTS_PER_CHUNK);
    return chunk == nullptr ? nullptr : &chunk->slots[k % SLOTS_PER_CHUNK];
}

void lattice_free(Lattice *l) {
    if (l == nullptr) return;
    for (int32_t c = 0; c < l->num_chunks && l->chunks != nullptr; ++c) {
        SlotChunk *chunk = l->chunks[c];
        if (chunk == nullptr) continue;
        for (int64_t j = 0; j < SLOTS_PER_CHUNK; ++j) ap_free(&chunk->slots[j]);
        if (lv::ChunkBlock *b = lv::block_of(chunk->slots))
            lv::block_release(b);
        else
            std::free(chunk->slots);
        std::free(chunk);
    }
    std::free(l->chunks);
    std::free(l);
}

}  // extern "C"
