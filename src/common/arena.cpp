// arena.cpp: registry of chunk-wide buffer blocks and the error channel.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "common/internal.h"

namespace lv {
namespace {

struct Range {
    uintptr_t begin;
    uintptr_t end;
};

// Sorted by begin; one entry per materialised chunk of every live lattice.
std::vector<Range> &ranges() {
    static std::vector<Range> r;
    return r;
}

}  // namespace

void report_error(const char *message) {
    std::fflush(stdout);
    std::fwrite(message, 1, std::strlen(message), stderr);
}

bool arena_register(const void *begin, std::size_t bytes) {
    auto &r = ranges();
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
    auto &r = ranges();
    const auto key = reinterpret_cast<uintptr_t>(begin);
    std::erase_if(r, [key](const Range &x) { return x.begin == key; });
}

bool arena_owns(const void *p) {
    const auto &r = ranges();
    if (r.empty() || p == nullptr) return false;
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
