// lattice.cpp: the lattice record and its lazily materialised chunks of slots.
#include <atomic>
#include <bit>
#include <cstdlib>
#include <type_traits>

#include "common/internal.h"

static_assert(std::is_standard_layout_v<SlotChunk> && offsetof(SlotChunk, slots) == 0 &&
              offsetof(SlotChunk, num_slots) == 8 && sizeof(SlotChunk) == 16);
static_assert(std::is_standard_layout_v<Lattice> && offsetof(Lattice, chunks) == 0 &&
              offsetof(Lattice, num_chunks) == 8 && offsetof(Lattice, num_instances) == 12 &&
              offsetof(Lattice, slots_per_instance) == 16 && offsetof(Lattice, omega) == 24 &&
              offsetof(Lattice, time) == 32 && offsetof(Lattice, consensus_steps) == 40 &&
              offsetof(Lattice, phase_var) == 48 && offsetof(Lattice, last_update_ns) == 56 &&
              sizeof(Lattice) == 64);

namespace {

// A group of eight consecutive positions (one of each width) needs 540
// mantissa words and 24 vector words.
constexpr std::size_t kGroupWords = 8 * 64 + (0 + 1 + 2 + 3 + 4 + 5 + 6 + 7) + 8 * 3;
constexpr std::size_t kArenaWords = (SLOTS_PER_CHUNK / 8) * kGroupWords;
constexpr std::size_t kBlockBytes = SLOTS_PER_CHUNK * sizeof(Slot);
constexpr std::size_t kWordBytes = kArenaWords * sizeof(uint64_t);
constexpr std::size_t kBuffers = 4 * SLOTS_PER_CHUNK;  // a mantissa and three vectors a slot

// The bookkeeping at the end of a chunk's block: one bit per carved buffer,
// set when the buffer is released. A plain copy of a slot record moves its
// buffers, so a host may take buffers out of a lattice and release them after
// lattice_free; the block must outlive the lattice until then. lattice_free
// releases its slots and claims every bit: a bit it finds clear is a buffer
// held outside, counted in `outside`, and the last release of those frees the
// block. Plain words, reached through atomic_ref, so that the zeroed block is
// already a valid, untouched initial state. The block also holds the room in
// which the sweep keeps a small lattice's phases for the detector.
struct ChunkBlock {
    uint64_t released[kBuffers / 64];
    uint64_t claimed;  // lattice_free has counted the buffers held outside
    int64_t outside;
    double phases[lv::kKeptPhases];
};

static_assert(kWordBytes % alignof(ChunkBlock) == 0 && std::is_standard_layout_v<ChunkBlock>);
constexpr std::size_t kTotalBytes = kBlockBytes + kWordBytes + sizeof(ChunkBlock);

uint64_t *words_of(ChunkBlock *b) {
    return reinterpret_cast<uint64_t *>(reinterpret_cast<char *>(b) - kWordBytes);
}

// The block whose records a chunk's slots are, or null for a chunk whose slots
// took separate buffers: the block registered exactly where its words begin.
ChunkBlock *block_of(const SlotChunk *chunk) {
    const char *words = reinterpret_cast<const char *>(chunk->slots) + kBlockBytes;
    auto *b = static_cast<ChunkBlock *>(lv::arena_find(words));
    return b != nullptr && reinterpret_cast<const char *>(words_of(b)) == words ? b : nullptr;
}

// Bit of the carved buffer that holds address p of the block's words. Each
// group of eight positions carves, per position i, 64 + i mantissa words and
// then the exponent, word-count and aux vectors.
std::size_t buffer_bit(ChunkBlock *b, const void *p) {
    const std::size_t o = (reinterpret_cast<uintptr_t>(p) -
                           reinterpret_cast<uintptr_t>(words_of(b))) / sizeof(uint64_t);
    std::size_t r = o % kGroupWords;
    std::size_t i = 0;
    for (; i < 7 && r >= 67 + i; ++i) r -= 67 + i;
    const std::size_t kind = r < 64 + i ? 0 : 1 + (r - (64 + i));
    return 4 * (8 * (o / kGroupWords) + i) + kind;
}

// Adds to the count of buffers held outside; whoever brings it to zero once
// lattice_free has claimed the block frees it.
void settle(ChunkBlock *b, int64_t change) {
    if (std::atomic_ref(b->outside).fetch_add(change) + change != 0) return;
    uint64_t *words = words_of(b);
    lv::arena_unregister(words);
    std::free(reinterpret_cast<char *>(words) - kBlockBytes);
}

// lattice_free's part, after its slots are released: claim every bit, count
// the buffers released by nobody, and free the block if there are none.
void release_block(ChunkBlock *b) {
    std::atomic_ref(b->claimed).store(1);
    int64_t outside = 0;
    for (uint64_t &w : b->released)
        outside += std::popcount(~std::atomic_ref(w).exchange(~uint64_t{0}));
    settle(b, outside);
}

int mantissa_bits_at(int64_t j) { return 64 * (64 + static_cast<int>(j % 8)); }
int exponent_bits_at(int64_t j) { return 16 + 2 * static_cast<int>(j % 8); }

// Every slot gets its own allocations: the path taken when one chunk-wide
// block cannot be had.
void fill_separately(Slot *slots) {
    for (int64_t j = 0; j < SLOTS_PER_CHUNK; ++j)
        slots[j] = slot_init_apa(mantissa_bits_at(j), exponent_bits_at(j));
}

// Slot records first, then every slot's buffers, carved in position order
// from zeroed memory: the same draws and values as slot_init_apa per slot.
void fill_from_block(Slot *slots) {
    auto *words = reinterpret_cast<uint64_t *>(reinterpret_cast<char *>(slots) + kBlockBytes);
    for (int64_t j = 0; j < SLOTS_PER_CHUNK; ++j) {
        const uint64_t n = 64 + static_cast<uint64_t>(j % 8);
        uint64_t *mantissa = words;
        words += n;
        lv::slot_fill_random(&slots[j], mantissa_bits_at(j), exponent_bits_at(j), n, mantissa,
                             words, words + 1, words + 2);
        words += 3;
    }
}

}  // namespace

void lv::block_forget(void *words_end, const void *buffer) {
    auto *b = static_cast<ChunkBlock *>(words_end);
    const std::size_t bit = buffer_bit(b, buffer);
    const uint64_t mask = uint64_t{1} << (bit % 64);
    const uint64_t before = std::atomic_ref(b->released[bit / 64]).fetch_or(mask);
    // Set already: lattice_free counted this buffer as held outside (or it is
    // released a second time, which a buffer of the heap would not survive).
    if ((before & mask) != 0 && std::atomic_ref(b->claimed).load() != 0) settle(b, -1);
}

double *lv::chunk_phase_room(const SlotChunk *chunk) {
    ChunkBlock *b = block_of(chunk);
    return b == nullptr ? nullptr : b->phases;
}

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
    auto *chunk = static_cast<SlotChunk *>(std::malloc(sizeof(SlotChunk)));
    if (chunk == nullptr) return nullptr;
    chunk->num_slots = SLOTS_PER_CHUNK;
    // One zeroed block holds the records and all their buffers; zeroed pages
    // come from the system untouched, so every page is written once.
    auto *block = static_cast<char *>(std::calloc(kTotalBytes, 1));
    // An unregistered block would have its buffers freed one by one: without
    // room in the registry, the slots take separate buffers instead.
    if (block != nullptr && !lv::arena_register(block + kBlockBytes, kWordBytes)) {
        std::free(block);
        block = nullptr;
    }
    if (block != nullptr) {
        chunk->slots = reinterpret_cast<Slot *>(block);
        fill_from_block(chunk->slots);
    } else {
        chunk->slots = static_cast<Slot *>(std::malloc(kBlockBytes));
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
        if (ChunkBlock *b = block_of(chunk))
            release_block(b);
        else
            std::free(chunk->slots);
        std::free(chunk);
    }
    std::free(l->chunks);
    std::free(l);
}

}  // extern "C"
