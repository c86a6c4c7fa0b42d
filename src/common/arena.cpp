// arena.cpp: registry of chunk-wide buffer blocks and the error channel.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <vector>

#include "common/internal.h"

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

void *within(const Range *first, const Range *last, uintptr_t key) {
    const Range *it =
        std::upper_bound(first, last, key, [](uintptr_t k, const Range &x) { return k < x.begin; });
    return it != first && key < (it - 1)->end ? reinterpret_cast<void *>((it - 1)->end) : nullptr;
}

}  // namespace

void report_error(const char *message) {
    std::fflush(stdout);
    std::fwrite(message, 1, std::strlen(message), stderr);
}

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

void *arena_find(const void *p) {
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

void release_words(uint64_t *words) {
    if (words == nullptr) return;
    if (void *end = arena_find(words))
        block_forget(end, words);
    else
        std::free(words);
}

}  // namespace lv
