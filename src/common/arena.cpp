// arena.cpp: registry of chunk-wide buffer blocks and the error channel.
#include <algorithm>
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
// Lattices on different threads share it, hence the lock. It is never
// destroyed (nor taken from the heap), so a lattice released during the
// host's exit still finds it.
struct Registry {
    std::shared_mutex lock;
    std::vector<Range> ranges;
};

Registry &registry() {
    alignas(Registry) static unsigned char storage[sizeof(Registry)];
    static Registry *const r = new (storage) Registry;
    return *r;
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
}

bool arena_owns(const void *p) {
    if (p == nullptr) return false;
    auto &reg = registry();
    const std::shared_lock hold(reg.lock);
    const auto &r = reg.ranges;
    if (r.empty()) return false;
    const auto key = reinterpret_cast<uintptr_t>(p);
    auto it = std::upper_bound(r.begin(), r.end(), key,
                               [](uintptr_t k, const Range &x) { return k < x.begin; });
    if (it == r.begin()) return false;
    --it;
    return key < it->end;
}

void release_words(uint64_t *words) {
    if (words != nullptr && !arena_owns(words)) std::free(words);
}

}  // namespace lv
