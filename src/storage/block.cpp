// block.cpp: chunk-wide storage: the registry of blocks, their layout and the marks of released buffers.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <type_traits>
#include <vector>

#include "storage/internal.h"
#include "storage/registry.h"

namespace lv {
namespace {

struct Range {
    uintptr_t begin;
    uintptr_t end;
};

// Sorted by begin; one entry per materialised chunk of every live lattice.
// Lattices on different threads share it, hence the lock; every change bumps
// the version. It is never destroyed (nor taken from the heap), so a lattice
// released during the host's exit still finds it.
struct Registry {
    std::shared_mutex lock;
    std::vector<Range> ranges;
    std::atomic<uint64_t> version{1};
};

Registry &registry() {
    alignas(Registry) static unsigned char storage[sizeof(Registry)];
    static Registry *const r = new (storage) Registry;
    return *r;
}

// A thread's copy of a small registry, used while its version is current, so
// that releasing a buffer takes no lock. A copy older than another thread's
// change is wrong only about blocks that cannot hold the pointer asked about:
// a block made since reaches this thread only through the host's own hand-over,
// and memory freed with a block is reused only by allocations ordered after
// that free; either way this thread sees the new version first.
constexpr std::size_t kCached = 16;
struct Cache {
    uint64_t version = 0;  // never current: versions start at 1
    std::size_t count = 0;
    Range ranges[kCached] = {};
};

const void *within(const Range *first, const Range *last, uintptr_t key) {
    const Range *it =
        std::upper_bound(first, last, key, [](uintptr_t k, const Range &x) { return k < x.begin; });
    return it != first && key < (it - 1)->end ? reinterpret_cast<const void *>((it - 1)->end) : nullptr;
}

}  // namespace

bool arena_register(const void *begin, std::size_t bytes) {
    auto &reg = registry();
    const std::unique_lock hold(reg.lock);
    auto &r = reg.ranges;
    const Range range{reinterpret_cast<uintptr_t>(begin), reinterpret_cast<uintptr_t>(begin) + bytes};
    // A registry that cannot grow stays as it was; no exception leaves the
    // library's C interface.
    try {
        r.insert(std::lower_bound(r.begin(), r.end(), range,
                                  [](const Range &a, const Range &b) { return a.begin < b.begin; }),
                 range);
        reg.version.fetch_add(1, std::memory_order_release);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

void arena_unregister(const void *begin) {
    auto &reg = registry();
    const std::unique_lock hold(reg.lock);
    auto &r = reg.ranges;
    const auto key = reinterpret_cast<uintptr_t>(begin);
    std::erase_if(r, [key](const Range &x) { return x.begin == key; });
    reg.version.fetch_add(1, std::memory_order_release);
}

const void *arena_find(const void *p) {
    if (p == nullptr) return nullptr;
    const auto key = reinterpret_cast<uintptr_t>(p);
    auto &reg = registry();
    thread_local Cache cache;
    if (cache.version != reg.version.load(std::memory_order_acquire)) {
        const std::shared_lock hold(reg.lock);
        const Range *first = reg.ranges.data();
        const std::size_t n = reg.ranges.size();
        if (n > kCached) return within(first, first + n, key);
        std::copy(first, first + n, cache.ranges);
        cache.count = n;
        cache.version = reg.version.load(std::memory_order_relaxed);
    }
    return within(cache.ranges, cache.ranges + cache.count, key);
}

namespace {

constexpr std::size_t kArenaWords = (SLOTS_PER_CHUNK / 8) * kGroupWords;
constexpr std::size_t kWordBytes = kArenaWords * sizeof(uint64_t);
constexpr std::size_t kBuffers = 4 * SLOTS_PER_CHUNK;  // a mantissa and three vectors a slot

}  // namespace

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
    double phases[kKeptPhases];
};

namespace {

static_assert(kWordBytes % alignof(ChunkBlock) == 0 && std::is_standard_layout_v<ChunkBlock>);
static_assert(block_position_offset(SLOTS_PER_CHUNK) == kArenaWords);
constexpr std::size_t kTotalBytes = kChunkRecordBytes + kWordBytes + sizeof(ChunkBlock);

// The registry answers the end of a block's words, which is where its
// bookkeeping begins.
ChunkBlock *block_holding(const void *p) {
    return static_cast<ChunkBlock *>(const_cast<void *>(arena_find(p)));
}

// Bit of the carved buffer that holds address p of the block's words. Each
// group of eight positions carves, per position i, 64 + i mantissa words and
// then the exponent, word-count and aux vectors.
std::size_t buffer_bit(ChunkBlock *b, const void *p) {
    const std::size_t o = (reinterpret_cast<uintptr_t>(p) -
                           reinterpret_cast<uintptr_t>(block_words(b))) / sizeof(uint64_t);
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
    arena_unregister(block_words(b));
    std::free(block_records(b));
}

// Marks a buffer of the block released.
void forget(ChunkBlock *b, const void *buffer) {
    const std::size_t bit = buffer_bit(b, buffer);
    const uint64_t mask = uint64_t{1} << (bit % 64);
    const uint64_t before = std::atomic_ref(b->released[bit / 64]).fetch_or(mask);
    // Set already: lattice_free counted this buffer as held outside (or it is
    // released a second time, which a buffer of the heap would not survive).
    if ((before & mask) != 0 && std::atomic_ref(b->claimed).load() != 0) settle(b, -1);
}

}  // namespace

uint64_t *block_words(ChunkBlock *b) {
    return reinterpret_cast<uint64_t *>(reinterpret_cast<char *>(b) - kWordBytes);
}

Slot *block_records(ChunkBlock *b) {
    return reinterpret_cast<Slot *>(reinterpret_cast<char *>(b) - kWordBytes - kChunkRecordBytes);
}

ChunkBlock *block_create() {
    // Zeroed pages come from the system untouched, so every page is written once.
    auto *block = static_cast<char *>(std::calloc(kTotalBytes, 1));
    if (block == nullptr) return nullptr;
    // An unregistered block would have its buffers freed one by one.
    if (!arena_register(block + kChunkRecordBytes, kWordBytes)) {
        std::free(block);
        return nullptr;
    }
    return reinterpret_cast<ChunkBlock *>(block + kChunkRecordBytes + kWordBytes);
}

ChunkBlock *block_of(const Slot *records) {
    const char *words = reinterpret_cast<const char *>(records) + kChunkRecordBytes;
    ChunkBlock *b = block_holding(words);
    return b != nullptr && reinterpret_cast<const char *>(block_words(b)) == words ? b : nullptr;
}

void block_release(ChunkBlock *b) {
    std::atomic_ref(b->claimed).store(1);
    int64_t outside = 0;
    for (uint64_t &w : b->released)
        outside += std::popcount(~std::atomic_ref(w).exchange(~uint64_t{0}));
    settle(b, outside);
}

void block_uncarved(ChunkBlock *b, int64_t first, int64_t last) {
    // Four buffers a position: sixteen positions a word of marks.
    for (int64_t w = first / 16; w < last / 16; ++w) b->released[w] = ~uint64_t{0};
}

double *chunk_phase_room(const SlotChunk *chunk) {
    ChunkBlock *b = block_of(chunk->slots);
    return b == nullptr ? nullptr : b->phases;
}

void release_words(uint64_t *words) {
    if (words == nullptr) return;
    if (ChunkBlock *b = block_holding(words))
        forget(b, words);
    else
        std::free(words);
}

}  // namespace lv
