// lattice.cpp: the lattice record and its chunks of slots, materialised on first touch.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <iterator>
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

// Positions first .. last - 1 carved from the chunk's zeroed block: the same
// draws and values as slot_init_apa per slot.
void fill_from_block(lv::ChunkBlock *b, int64_t first = 0, int64_t last = SLOTS_PER_CHUNK) {
    Slot *slots = lv::block_records(b);
    lv::block_carve(b, first, last,
                    [slots](int64_t j, uint64_t *mantissa, uint64_t *exp_word, uint64_t *nw_word,
                            uint64_t *aux_word) {
                        lv::slot_fill_random(&slots[j], mantissa_bits_at(j), exponent_bits_at(j),
                                             lv::block_mantissa_words(j), mantissa, exp_word,
                                             nw_word, aux_word);
                    });
}

// A chunk filled whole at once: every host's chunk.
SlotChunk *make_whole(SlotChunk *chunk) {
    const lv::DefaultFloatEnv float_env;
    chunk->num_slots = SLOTS_PER_CHUNK;
    // One zeroed block holds the records and all their buffers; without one,
    // the slots take separate buffers.
    if (lv::ChunkBlock *block = lv::block_create()) {
        chunk->slots = lv::block_records(block);
        fill_from_block(block);
    } else {
        chunk->slots = static_cast<Slot *>(std::malloc(lv::kChunkRecordBytes));
        if (chunk->slots == nullptr) return nullptr;
        fill_separately(chunk->slots);
    }
    return chunk;
}

// Chunk c of a host's lattice, materialised now if absent.
SlotChunk *whole_chunk(Lattice *l, int32_t c) {
    if (l->chunks[c] != nullptr) return l->chunks[c];
    auto *chunk = static_cast<SlotChunk *>(std::malloc(sizeof(SlotChunk)));
    if (chunk == nullptr) return nullptr;
    if (make_whole(chunk) == nullptr) {
        std::free(chunk);
        return nullptr;
    }
    l->chunks[c] = chunk;
    return chunk;
}

void release_slots(Slot *slots, int64_t first, int64_t last) {
    for (int64_t j = first; j < last; ++j) ap_free(&slots[j]);
}

void release_records(SlotChunk *chunk) {
    if (lv::ChunkBlock *b = lv::block_of(chunk->slots))
        lv::block_release(b);
    else
        std::free(chunk->slots);
}

// A chunk of the lazily filled lattice: the table points at its first member.
struct LazyChunk {
    SlotChunk chunk;
    lv::ChunkBlock *block;  // null: filled whole at once
    lv::AdditiveDraws origin;
    uint64_t filled[lv::kTiles / 64];

    bool has(int64_t tile) const { return (filled[tile / 64] >> (tile % 64) & 1) != 0; }
};
static_assert(std::is_standard_layout_v<LazyChunk> && offsetof(LazyChunk, chunk) == 0);

LazyChunk *lazy_of(SlotChunk *chunk) { return reinterpret_cast<LazyChunk *>(chunk); }

constexpr lv::DrawJump kChunkJump{7 * uint64_t{SLOTS_PER_CHUNK}};

// The jumps from a chunk's origin to tile 2^b's first draw, each the square
// of the one before (few enough steps for any compiler's constant evaluation).
constexpr int kTileBits = std::bit_width(static_cast<uint64_t>(lv::kTiles - 1));
constexpr auto kTileJumps = [] {
    std::array<lv::DrawJump, kTileBits> jumps;
    jumps[0] = lv::DrawJump(7 * uint64_t{lv::kTileSlots});
    for (int b = 1; b < kTileBits; ++b) jumps[b] = jumps[b - 1].doubled();
    return jumps;
}();

void fill_tile(LazyChunk *lc, int64_t tile) {
    const lv::DefaultFloatEnv float_env;
    lv::AdditiveDraws d = lc->origin;
    for (int b = 0; b < kTileBits; ++b)
        if ((tile >> b) & 1) kTileJumps[b].apply(d);
    {
        const lv::DrawsFrom from(d);
        fill_from_block(lc->block, tile * lv::kTileSlots, (tile + 1) * lv::kTileSlots);
    }
    lc->filled[tile / 64] |= uint64_t{1} << (tile % 64);
}

void fill_tiles(LazyChunk *lc, int64_t first, int64_t last) {
    for (int64_t t = first; t < last; ++t)
        if (!lc->has(t)) fill_tile(lc, t);
}

// Chunk c of the lazily filled lattice, materialised now if absent, with
// the declared positions it holds filled.
LazyChunk *lazy_chunk(Lattice *l, int32_t c) {
    if (l->chunks[c] != nullptr) return lazy_of(l->chunks[c]);
    auto *lc = static_cast<LazyChunk *>(std::calloc(1, sizeof(LazyChunk)));
    if (lc == nullptr) return nullptr;
    lc->chunk.num_slots = SLOTS_PER_CHUNK;
    lv::AdditiveDraws *live = lv::run_draws;
    lc->block = live != nullptr ? lv::block_create() : nullptr;
    if (lc->block == nullptr) {
        // Without a source to jump or a block to fill in place: whole, as a host's.
        if (make_whole(&lc->chunk) == nullptr) {
            std::free(lc);
            return nullptr;
        }
        std::fill(std::begin(lc->filled), std::end(lc->filled), ~uint64_t{0});
    } else {
        lc->chunk.slots = lv::block_records(lc->block);
        lc->origin = *live;
        kChunkJump.apply(*live);
        const int64_t begin = int64_t{c} * SLOTS_PER_CHUNK;
        const int64_t declared = std::clamp<int64_t>(lv::declared_slots(l) - begin, 0, SLOTS_PER_CHUNK);
        fill_tiles(lc, 0, (declared + lv::kTileSlots - 1) / lv::kTileSlots);
    }
    l->chunks[c] = &lc->chunk;
    return lc;
}

Slot *lazy_slot(Lattice *l, int32_t k) {
    LazyChunk *lc = lazy_chunk(l, k / SLOTS_PER_CHUNK);
    if (lc == nullptr) return nullptr;
    const int64_t j = k % SLOTS_PER_CHUNK;
    fill_tiles(lc, j / lv::kTileSlots, j / lv::kTileSlots + 1);
    return &lc->chunk.slots[j];
}

SlotChunk *lazy_whole(Lattice *l, int32_t c) {
    LazyChunk *lc = lazy_chunk(l, c);
    if (lc == nullptr) return nullptr;
    fill_tiles(lc, 0, lv::kTiles);
    return &lc->chunk;
}

void free_lazy(SlotChunk *chunk) {
    LazyChunk *lc = lazy_of(chunk);
    for (int64_t t = 0; t < lv::kTiles; ++t) {
        const int64_t first = t * lv::kTileSlots;
        const int64_t last = first + lv::kTileSlots;
        if (lc->has(t))
            release_slots(chunk->slots, first, last);
        else
            lv::block_uncarved(lc->block, first, last);
    }
    release_records(chunk);
    std::free(lc);
}

}  // namespace

constinit thread_local const Lattice *lv::lazy_lattice = nullptr;

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
    if (l == lv::lazy_lattice) [[unlikely]]
        return lazy_whole(l, c);
    return whole_chunk(l, c);
}

Slot *lattice_get_slot(Lattice *l, int32_t k) {
    if (l == nullptr || l->chunks == nullptr || k < 0 || k / SLOTS_PER_CHUNK >= l->num_chunks)
        return nullptr;
    if (l == lv::lazy_lattice) [[unlikely]]
        return lazy_slot(l, k);
    SlotChunk *chunk = whole_chunk(l, k / SLOTS_PER_CHUNK);
    return chunk == nullptr ? nullptr : &chunk->slots[k % SLOTS_PER_CHUNK];
}

void lattice_free(Lattice *l) {
    if (l == nullptr) return;
    const bool lazy = l == lv::lazy_lattice;
    for (int32_t c = 0; c < l->num_chunks && l->chunks != nullptr; ++c) {
        SlotChunk *chunk = l->chunks[c];
        if (chunk == nullptr) continue;
        if (lazy) {
            free_lazy(chunk);
            continue;
        }
        release_slots(chunk->slots, 0, SLOTS_PER_CHUNK);
        release_records(chunk);
        std::free(chunk);
    }
    if (lazy) lv::lazy_lattice = nullptr;
    std::free(l->chunks);
    std::free(l);
}

}  // extern "C"
