// storage/internal.h: chunk-wide storage: one block holds a chunk's records and every buffer they own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumivane/lumivane.h"

namespace lv {

// A materialised chunk is one zeroed block: the SLOTS_PER_CHUNK records, then
// every slot's buffers carved in position order (position j owns
// block_mantissa_words(j) mantissa words, then its exponent, word-count and
// aux vectors of one word each), then the block's bookkeeping. The words are
// registered, so releasing a buffer inside them marks it released instead of
// freeing it; the block goes when its lattice is released and no buffer moved
// out of the lattice is still held.
struct ChunkBlock;

// A chunk's records, whether at the start of its block or in their own allocation.
inline constexpr std::size_t kChunkRecordBytes = SLOTS_PER_CHUNK * sizeof(Slot);

inline constexpr uint64_t block_mantissa_words(int64_t j) { return 64 + static_cast<uint64_t>(j % 8); }

// A zeroed, registered block; null when it cannot be had (no memory, or no
// room in the registry), and nothing is kept.
ChunkBlock *block_create();
Slot *block_records(ChunkBlock *b);
uint64_t *block_words(ChunkBlock *b);

// A group of eight consecutive positions (one of each width) needs 540
// mantissa words and 24 vector words.
inline constexpr uint64_t kGroupWords = 8 * 64 + (0 + 1 + 2 + 3 + 4 + 5 + 6 + 7) + 8 * 3;

// Where position j's buffers begin among the block's words: its group, then
// the 67 + i words of each position i before it in the group.
inline constexpr uint64_t block_position_offset(int64_t j) {
    const auto i = static_cast<uint64_t>(j % 8);
    return static_cast<uint64_t>(j / 8) * kGroupWords + 67 * i + i * (i - 1) / 2;
}

// Walks positions first .. last - 1 in order, handing each its carved buffers:
// f(j, mantissa, exponent word, word-count word, aux word).
template <class F>
void block_carve(ChunkBlock *b, int64_t first, int64_t last, F &&f) {
    uint64_t *words = block_words(b) + block_position_offset(first);
    for (int64_t j = first; j < last; ++j) {
        uint64_t *mantissa = words;
        words += block_mantissa_words(j);
        f(j, mantissa, words, words + 1, words + 2);
        words += 3;
    }
}

// The block whose records these are, or null for records that own separate buffers.
ChunkBlock *block_of(const Slot *records);

// lattice_free's part, after its slots are released: the block goes now, or
// with the last release of a buffer that was moved out of the lattice.
void block_release(ChunkBlock *b);

// Positions of a lazily filled chunk that were never carved: their buffers
// count as released, so that block_release does not wait for them. first and
// last are multiples of 16 (a word of marks).
void block_uncarved(ChunkBlock *b, int64_t first, int64_t last);

// Room for kKeptPhases doubles in a chunk's block, null for a chunk without one.
inline constexpr int64_t kKeptPhases = 65536;
double *chunk_phase_room(const SlotChunk *chunk);

// Releases a buffer of words: marked released when it lies in a block, freed otherwise.
void release_words(uint64_t *words);

}  // namespace lv
