// The run's lazily filled chunk against a host's eager one: the same bytes,
// in whatever order its tiles are filled, and the generator and rand() left
// where the eager chunk's draws leave them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "lattice/internal.h"
#include "runtime/internal.h"
#include "storage/internal.h"
#include "storage/registry.h"

namespace {

// Every field of the record, as offset and width: padding is left out, since
// a record written field by field from temporaries may hold whatever the
// stack held there (as under the sanitizers).
#define LV_FIELD(f) {offsetof(Slot, f), sizeof(Slot::f)}
#define LV_MPI(m) LV_FIELD(m.words), LV_FIELD(m.word_count), LV_FIELD(m.sign)
constexpr struct {
    std::size_t offset, size;
} kFields[] = {LV_FIELD(mantissa_words), LV_MPI(num_words_mpi), LV_MPI(exponent_mpi),
               LV_FIELD(init_tag),       LV_FIELD(flags),       LV_MPI(aux_mpi),
               LV_FIELD(num_words),      LV_FIELD(exponent),    LV_FIELD(base),
               LV_FIELD(mantissa_bits),  LV_FIELD(exponent_bits), LV_FIELD(phase),
               LV_FIELD(phase_vel),      LV_FIELD(omega),       LV_FIELD(amp_im)};
#undef LV_MPI
#undef LV_FIELD

using Record = std::array<unsigned char, sizeof(Slot)>;

// A record's field bytes (padding zero) with its four buffer pointers taken
// relative to the block's start (null stays null).
Record relative(const Slot &s, const Slot *block) {
    Record raw;
    std::memcpy(raw.data(), &s, sizeof s);
    const auto rel = [&](std::size_t offset, const uint64_t *p) {
        const uintptr_t v = p == nullptr ? 0 : reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(block);
        std::memcpy(raw.data() + offset, &v, sizeof v);
    };
    rel(offsetof(Slot, mantissa_words), s.mantissa_words);
    rel(offsetof(Slot, num_words_mpi.words), s.num_words_mpi.words);
    rel(offsetof(Slot, exponent_mpi.words), s.exponent_mpi.words);
    rel(offsetof(Slot, aux_mpi.words), s.aux_mpi.words);
    Record r{};
    for (const auto &f : kFields) std::memcpy(r.data() + f.offset, raw.data() + f.offset, f.size);
    return r;
}

bool same_state(const lv::AdditiveDraws &a, const lv::AdditiveDraws &b) {
    return a.front == b.front && a.rear == b.rear && std::memcmp(a.r, b.r, sizeof a.r) == 0;
}

// Two chunks at once (1.5 GB): the suite runs alone.
TEST(LazyChunk, FilledInShuffledTilesMatchesAnEagerChunkByteForByte) {
    for (unsigned seed : {1u, 42u, 1765094400u, 4294967295u}) {
        SCOPED_TRACE(seed);
        Lattice *eager = lattice_init(1, 1);
        Lattice *lazy = lattice_init(1, 1);
        ASSERT_NE(eager, nullptr);
        ASSERT_NE(lazy, nullptr);

        lv::AdditiveDraws eager_after{};
        {
            const lv::RunDraws draws(seed);
            ASSERT_TRUE(draws.is_private());
            ASSERT_NE(lattice_get_chunk(eager, 0), nullptr);
            eager_after = *lv::run_draws;
        }
        const int eager_rand = std::rand();

        {
            const lv::RunDraws draws(seed);
            const lv::LazyLattice mark(lazy);
            ASSERT_NE(lattice_get_slot(lazy, 0), nullptr);  // the one declared slot
            EXPECT_TRUE(same_state(*lv::run_draws, eager_after));
            std::vector<int32_t> tiles(lv::kTiles - 1);
            std::iota(tiles.begin(), tiles.end(), 1);
            std::shuffle(tiles.begin(), tiles.end(), std::mt19937(seed));
            for (int32_t t : tiles) ASSERT_NE(lattice_get_slot(lazy, static_cast<int32_t>(t * lv::kTileSlots + t % lv::kTileSlots)), nullptr);
            // Filling draws nothing from the live generator.
            EXPECT_TRUE(same_state(*lv::run_draws, eager_after));

            const Slot *e = eager->chunks[0]->slots;
            const Slot *z = lazy->chunks[0]->slots;
            int64_t differing = 0;
            for (int64_t j = 0; j < SLOTS_PER_CHUNK; ++j)
                if (relative(e[j], e) != relative(z[j], z) && differing++ == 0)
                    ADD_FAILURE() << "first differing record: position " << j;
            EXPECT_EQ(differing, 0);
            lv::ChunkBlock *eb = lv::block_of(e);
            lv::ChunkBlock *zb = lv::block_of(z);
            ASSERT_NE(eb, nullptr);
            ASSERT_NE(zb, nullptr);
            EXPECT_EQ(std::memcmp(lv::block_words(eb), lv::block_words(zb),
                                  lv::block_position_offset(SLOTS_PER_CHUNK) * sizeof(uint64_t)),
                      0);
            lattice_free(lazy);
        }
        EXPECT_EQ(std::rand(), eager_rand);
        lattice_free(eager);
    }
}

// The run's own case: a chunk filled only where declared, then folded, then
// released. Its block must go, which it does only if every position never
// filled counts as released (under the address sanitizer, a leak otherwise).
TEST(LazyChunkRelease, ReleasesAPartlyFilledChunkWhole) {
    const lv::RunDraws draws(7u);
    Lattice *l = lattice_init(4096, 4);
    ASSERT_NE(l, nullptr);
    const lv::LazyLattice mark(l);
    const Slot *first = lattice_get_slot(l, 0);
    ASSERT_NE(first, nullptr);
    const uint64_t *words = first->mantissa_words;
    lattice_fold(l);
    // The fold filled what it declared.
    EXPECT_NE(l->chunks[0]->slots[2 * 16384 - 1].mantissa_words, nullptr);
    // Past the declared slots the chunk is still untouched.
    EXPECT_EQ(l->chunks[0]->slots[2 * 16384 + lv::kTileSlots].mantissa_words, nullptr);
    ASSERT_NE(lv::arena_find(words), nullptr);
    lattice_free(l);
    EXPECT_EQ(lv::arena_find(words), nullptr);
    EXPECT_EQ(lv::lazy_lattice, nullptr);
}

}  // namespace
