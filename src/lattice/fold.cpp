// fold.cpp: prismatic folding, which doubles a lattice with perturbed copies of its slots.
#include <algorithm>
#include <cstdlib>

#include "apa/internal.h"
#include "lattice/internal.h"
#include "lattice/tables.h"
#include "runtime/fpenv.h"

extern "C" void lattice_fold(Lattice *l) {
    const lv::DefaultFloatEnv float_env;
    if (l == nullptr) return;
    const int64_t n = l->num_instances;
    const int64_t s = l->slots_per_instance;
    // Refused silently: nothing declared, too many instances, or a doubled slot
    // count beyond what a lattice can address.
    if (n <= 0 || s <= 0 || 2 * n > MAX_INSTANCES || 2 * n * s > lv::kMaxSlots) return;
    const auto half = static_cast<int32_t>(n * s);
    const auto new_total = static_cast<int32_t>(2 * n * s);
    const int32_t new_chunks = lv::chunks_for(new_total);

    // A table longer than needed keeps every entry it has.
    const int32_t entries = std::max(new_chunks, l->num_chunks);
    auto *table = static_cast<SlotChunk **>(
        std::realloc(l->chunks, static_cast<std::size_t>(entries) * sizeof(SlotChunk *)));
    if (table == nullptr) {
        lv::report_error("Failed to allocate memory for folding\n");
        return;
    }
    for (int32_t c = l->num_chunks; c < entries; ++c) table[c] = nullptr;
    l->chunks = table;
    // The copy loop already sees the added chunks, so destinations there
    // materialise on first touch and receive their copies.
    l->num_chunks = entries;

    for (int32_t i = 0; i < half; ++i) {
        Slot *src = lattice_get_slot(l, i);
        Slot *dst = lattice_get_slot(l, half + i);
        if (src == nullptr || dst == nullptr) continue;
        ap_copy(dst, src);
        const double step = static_cast<double>(lv::fib_table[i % 16]) * 0.01;
        if (const lv::OwnedSlot t{ap_from_double(dst->mantissa_bits, dst->exponent_bits, step)})
            ap_add_legacy(dst, t.get());
        const double jitter = get_normalized_rand();
        dst->phase = dst->phase + (jitter - 0.5) * 0.1;
        const double nudge = get_normalized_rand();
        dst->base = static_cast<float>(static_cast<double>(dst->base) + nudge * 0.001);
    }
    l->num_instances = static_cast<int32_t>(2 * n);
}
