// test_lattice.cpp: the lattice record, lazily materialised chunks and slot addressing.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "reference/slot.h"
#include "support.h"

using namespace lvtest;

namespace {

constexpr int32_t kChunk = SLOTS_PER_CHUNK;
constexpr int kDrawsPerSlot = 7;
constexpr int kChunkDraws = kDrawsPerSlot * kChunk;  // 7340032
constexpr int32_t kMaxSlots = LUMIVANE_MAX_DECLARED_SLOTS;

// Position j of a chunk materialised right after srand(seed) holds the slot
// that slot_init_apa makes from the draws following the 7 x j before it.
::testing::AssertionResult matches_fresh_slot(const Slot &actual, unsigned seed, int64_t j) {
    Slot expected = lvref::chunk_slot(seed, kDrawsPerSlot * j, j);
    ::testing::AssertionResult r = lvtest::same_slot(actual, expected);
    ap_free(&expected);
    if (!r) r << " (position " << j << ")";
    return r;
}

size_t heap_in_use() { return mallinfo2().uordblks; }

}  // namespace

// ---------------------------------------------------------------------------
// Creation: no chunk, no draws, only the record and its table.

TEST(LatticeInit, FreshRecordHoldsTheStartingGlobalState) {
    Lattice *l = nullptr;
    const uint64_t before = get_rtc_ns();
    const int draws = lvtest::draws_made([&] { l = lattice_init(4096, 4); });
    const uint64_t after = get_rtc_ns();
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(draws, 0) << "creating a lattice draws no random numbers";
    EXPECT_EQ(l->num_instances, 4096);
    EXPECT_EQ(l->slots_per_instance, 4);
    EXPECT_EQ(l->num_chunks, 1);
    ASSERT_NE(l->chunks, nullptr);
    EXPECT_EQ(l->chunks[0], nullptr) << "no chunk exists before the first slot lookup";
    EXPECT_EQ(l->omega, 0.0);
    EXPECT_EQ(l->time, 0.0);
    EXPECT_EQ(l->consensus_steps, 0);
    EXPECT_EQ(l->phase_var, 1000000.0);
    EXPECT_GE(l->last_update_ns, before);
    EXPECT_LE(l->last_update_ns, after);
    lattice_free(l);  // no present chunk: only the table and the record go
}

TEST(LatticeInit, ChunkCountIsTheCeilingOfTheSlotCount) {
    struct Case {
        int32_t instances, per_instance, chunks;
    };
    const Case cases[] = {
        {1, 1, 1},          {4096, 4, 1},          {1048576, 1, 1},       {1, 1048576, 1},
        {1048577, 1, 2},    {1, 1048577, 2},       {1024, 1025, 2},       {2097152, 1, 2},
        {2097153, 1, 3},    {kMaxSlots, 1, 2047},  {1, kMaxSlots, 2047},  {2, kMaxSlots / 2, 2047},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.instances) + " x " + std::to_string(c.per_instance));
        Lattice *l = nullptr;
        EXPECT_EQ(lvtest::draws_made([&] { l = lattice_init(c.instances, c.per_instance); }), 0);
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(l->num_chunks, c.chunks);
        EXPECT_EQ(l->num_instances, c.instances);
        EXPECT_EQ(l->slots_per_instance, c.per_instance);
        ASSERT_NE(l->chunks, nullptr);
        int present = 0;
        for (int32_t i = 0; i < l->num_chunks; ++i) present += l->chunks[i] != nullptr;
        EXPECT_EQ(present, 0) << "every table entry starts absent";
        lattice_free(l);
    }
}

TEST(LatticeInit, CountsOutsideTheDomainAnswerNullAndKeepNothing) {
    struct Case {
        int32_t instances, per_instance;
    };
    const Case cases[] = {
        {0, 4},
        {4, 0},
        {0, 0},
        {-1, 4},
        {4, -1},
        {-4, -4},              // a positive product of two negative counts
        {INT32_MIN, 1},
        {kMaxSlots + 1, 1},    // one slot past the bound
        {1, kMaxSlots + 1},
        {1073217537, 2},       // 2146435074
        {1073741824, 2},       // 2^31: wraps to a negative 32-bit product
        {65536, 65536},        // 2^32: wraps to a zero 32-bit product
        {46341, 46341},        // just past 2^31
        {INT32_MAX, INT32_MAX},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.instances) + " x " + std::to_string(c.per_instance));
        testing::internal::CaptureStderr();
        const size_t before = heap_in_use();
        Lattice *l = nullptr;
        const int draws = lvtest::draws_made([&] { l = lattice_init(c.instances, c.per_instance); });
        const size_t after = heap_in_use();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(l, nullptr);
        EXPECT_EQ(after, before) << "a refused lattice leaves nothing allocated";
        EXPECT_EQ(draws, 0);
        EXPECT_EQ(err, "") << "a refusal is silent";
        lattice_free(l);
    }
}

TEST(LatticeInit, ReleasingNullOrAnUntouchedLatticeIsHarmless) {
    lattice_free(nullptr);
    const size_t before = heap_in_use();
    Lattice *l = lattice_init(kMaxSlots, 1);  // 2047 absent chunks
    ASSERT_NE(l, nullptr);
    lattice_free(l);
    // The 16 KiB table must go back; the allocator's per-thread cache may keep
    // the record's small block counted as in use.
    EXPECT_LE(heap_in_use(), before + 256) << "the record and its table are all a new lattice owns";
}

// ---------------------------------------------------------------------------
// Lookups that must answer null without materialising anything.

TEST(LatticeLookup, NullLatticeAndNegativeOrPastTheEndIndexesAnswerNull) {
    EXPECT_EQ(lattice_get_slot(nullptr, 0), nullptr);
    EXPECT_EQ(lattice_get_slot(nullptr, -1), nullptr);
    EXPECT_EQ(lattice_get_chunk(nullptr, 0), nullptr);

    Lattice *l = lattice_init(4096, 4);
    ASSERT_NE(l, nullptr);
    const int draws = lvtest::draws_made([&] {
        // -1 / 1048576 truncates to chunk 0: a negative index must not reach it.
        EXPECT_EQ(lattice_get_slot(l, -1), nullptr);
        EXPECT_EQ(lattice_get_slot(l, -kChunk + 1), nullptr);
        EXPECT_EQ(lattice_get_slot(l, -kChunk), nullptr);
        EXPECT_EQ(lattice_get_slot(l, INT32_MIN), nullptr);
        EXPECT_EQ(lattice_get_chunk(l, -1), nullptr);
        EXPECT_EQ(lattice_get_chunk(l, INT32_MIN), nullptr);
        // Past the table: chunk 1 of a one-chunk lattice.
        EXPECT_EQ(lattice_get_chunk(l, 1), nullptr);
        EXPECT_EQ(lattice_get_chunk(l, INT32_MAX), nullptr);
        EXPECT_EQ(lattice_get_slot(l, kChunk), nullptr);
        EXPECT_EQ(lattice_get_slot(l, INT32_MAX), nullptr);
    });
    EXPECT_EQ(draws, 0) << "a refused lookup materialises nothing";
    EXPECT_EQ(l->chunks[0], nullptr);
    EXPECT_EQ(l->num_chunks, 1);
    lattice_free(l);
}

TEST(LatticeLookup, ALatticeWithoutAChunkTableAnswersNull) {
    // A record a host set up by hand, counting chunks it has no table for.
    Lattice l{};
    l.num_instances = 1;
    l.slots_per_instance = 1;
    l.num_chunks = 1;
    EXPECT_EQ(lvtest::draws_made([&] {
                  EXPECT_EQ(lattice_get_chunk(&l, 0), nullptr);
                  EXPECT_EQ(lattice_get_slot(&l, 0), nullptr);
              }),
              0);
    EXPECT_EQ(l.chunks, nullptr);
}

// ---------------------------------------------------------------------------
// Materialisation: the first lookup fills the whole chunk, in position order.

TEST(LatticeChunk, FirstLookupFillsTheWholeChunkInPositionOrder) {
    constexpr unsigned kSeed = 20240611u;
    Lattice *l = lattice_init(4096, 4);
    ASSERT_NE(l, nullptr);

    Slot *first = nullptr;
    const int draws =
        lvtest::draws_made([&] { first = lattice_get_slot(l, 0); }, kSeed, kChunkDraws + 100000);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(draws, kChunkDraws) << "seven draws for each of the chunk's 1048576 slots";

    SlotChunk *chunk = l->chunks[0];
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(chunk->num_slots, static_cast<uint64_t>(kChunk));
    EXPECT_EQ(first, &chunk->slots[0]);
    EXPECT_EQ(l->num_chunks, 1);

    // Present now: the same addresses, and no further draws.
    Slot *again = nullptr;
    SlotChunk *chunk_again = nullptr;
    EXPECT_EQ(lvtest::draws_made([&] {
                  again = lattice_get_slot(l, 0);
                  chunk_again = lattice_get_chunk(l, 0);
              }),
              0);
    EXPECT_EQ(again, first);
    EXPECT_EQ(chunk_again, chunk);

    // Every position, declared or not, is addressable and initialised; the
    // widths follow the position within the chunk.
    int wrong_address = 0, wrong_width = 0, uninitialised = 0, out_of_range = 0;
    for (int32_t k = 0; k < kChunk; ++k) {
        const Slot *s = lattice_get_slot(l, k);
        if (s != &chunk->slots[k]) {
            ++wrong_address;
            continue;
        }
        const int64_t jm = k % 8;
        if (s->mantissa_bits != 4096 + 64 * jm || s->exponent_bits != 16 + 2 * jm ||
            s->num_words != static_cast<uint64_t>(64 + jm))
            ++wrong_width;
        if (s->mantissa_words == nullptr || s->init_tag != 4096 || s->flags != 0 ||
            (s->mantissa_words[0] >> 63) != 1u || s->phase_vel != 0.0)
            ++uninitialised;
        const int64_t half = int64_t{1} << (s->exponent_bits - 1);
        if (s->exponent < -half || s->exponent >= half || s->omega < 1.0 || s->omega > 1.5 ||
            s->amp_im < 0.0 || s->amp_im > 0.1 || s->phase < 0.0 || s->phase > 6.283185307179586)
            ++out_of_range;
    }
    EXPECT_EQ(wrong_address, 0);
    EXPECT_EQ(wrong_width, 0);
    EXPECT_EQ(uninitialised, 0);
    EXPECT_EQ(out_of_range, 0);

    // Spot values of the width table.
    const int expect_bits[9][3] = {{4096, 16, 64}, {4160, 18, 65}, {4224, 20, 66},
                                   {4288, 22, 67}, {4352, 24, 68}, {4416, 26, 69},
                                   {4480, 28, 70}, {4544, 30, 71}, {4096, 16, 64}};
    for (int32_t k = 0; k < 9; ++k) {
        const Slot *s = lattice_get_slot(l, k);
        EXPECT_EQ(s->mantissa_bits, expect_bits[k][0]) << "slot " << k;
        EXPECT_EQ(s->exponent_bits, expect_bits[k][1]) << "slot " << k;
        EXPECT_EQ(s->num_words, static_cast<uint64_t>(expect_bits[k][2])) << "slot " << k;
    }

    // The slots hold exactly what slot_init_apa gives, position after position,
    // from the draws that followed the seed.
    srand(kSeed);
    for (int32_t j = 0; j < 1000; ++j) {
        Slot expected = slot_init_apa(lvref::chunk_mantissa_bits(j), lvref::chunk_exponent_bits(j));
        EXPECT_TRUE(lvtest::same_slot(chunk->slots[j], expected)) << "position " << j;
        ap_free(&expected);
    }
    for (int64_t j : {int64_t{16383}, int64_t{16384}, int64_t{524291}, int64_t{kChunk - 1}})
        EXPECT_TRUE(matches_fresh_slot(chunk->slots[j], kSeed, j));

    // Past the table: still null once chunk 0 is present.
    EXPECT_EQ(lattice_get_slot(l, kChunk), nullptr);
    EXPECT_EQ(lattice_get_slot(l, -1), nullptr);
    lattice_free(l);
}

TEST(LatticeChunk, SlotBuffersCanBeReleasedAndReplacedInPlace) {
    srand(7u);
    Lattice *l = lattice_init(4096, 4);
    ASSERT_NE(l, nullptr);
    Slot *s0 = lattice_get_slot(l, 0);
    Slot *s1 = lattice_get_slot(l, 1);
    Slot *s5 = lattice_get_slot(l, 5);
    Slot *s7 = lattice_get_slot(l, 7);
    ASSERT_TRUE(s0 && s1 && s5 && s7);

    // Neighbours that must come through untouched.
    Slot keep1{}, keep6{};
    ap_copy(&keep1, s1);
    ap_copy(&keep6, lattice_get_slot(l, 6));

    // Release a slot of the chunk: it holds nothing afterwards, and a second
    // release is harmless.
    ap_free(s5);
    EXPECT_EQ(s5->mantissa_words, nullptr);
    EXPECT_EQ(s5->num_words, 0u);
    EXPECT_EQ(ap_to_double(s5), 0.0);
    ap_free(s5);

    // A released chunk slot takes a new value with buffers of its own.
    Slot *v = ap_from_double(4416, 26, 2.5);
    ASSERT_NE(v, nullptr);
    ap_copy(s5, v);
    ap_free(v);
    std::free(v);
    EXPECT_EQ(ap_to_double(s5), 2.5);
    EXPECT_EQ(s5->num_words, 69u);

    // A 64-word chunk slot receives a 71-word copy without spilling into its
    // neighbour's storage.
    Slot src7{};
    ap_copy(&src7, s7);
    ap_copy(s0, s7);
    EXPECT_TRUE(lvtest::same_slot(*s0, src7));
    EXPECT_TRUE(lvtest::same_slot(*s1, keep1));
    EXPECT_TRUE(lvtest::same_slot(*lattice_get_slot(l, 6), keep6));

    // A copy taken out of the chunk outlives the source's release.
    Slot out{};
    ap_copy(&out, s7);
    ap_free(s7);
    EXPECT_TRUE(lvtest::same_slot(out, src7));
    ap_copy(s7, &out);
    EXPECT_TRUE(lvtest::same_slot(*s7, src7));

    ap_free(&out);
    ap_free(&src7);
    ap_free(&keep1);
    ap_free(&keep6);
    // The lattice releases chunk slots whatever they now own.
    lattice_free(l);
}

namespace {

// Bytes the C library holds in mapped regions, where a chunk's block lives;
// the sanitizers' allocators answer 0.
size_t mapped_bytes() { return mallinfo2().hblkhd; }

// A lattice whose chunk 0 is made from `seed` (null if either fails), and
// whether its block shows in mapped_bytes.
struct MadeLattice {
    Lattice *l;
    bool counted;
};
MadeLattice lattice_with_chunk(unsigned seed, int32_t instances, int32_t per_instance,
                               size_t mapped_before) {
    srand(seed);
    Lattice *l = lattice_init(instances, per_instance);
    if (l != nullptr && lattice_get_slot(l, 0) == nullptr) {
        lattice_free(l);
        l = nullptr;
    }
    return {l, mapped_bytes() > mapped_before};
}

}  // namespace

TEST(LatticeChunk, BuffersMovedOutOfALatticeOutliveIt) {
    // A plain copy of a record moves its buffers: the lattice no longer owns
    // them, and the host may release them after the lattice is gone.
    const size_t mapped_before = mapped_bytes();
    const auto [l, counted] = lattice_with_chunk(5u, 4096, 4, mapped_before);
    ASSERT_NE(l, nullptr);
    Slot *s2 = lattice_get_slot(l, 2);
    Slot *s13 = lattice_get_slot(l, 13);
    ASSERT_TRUE(s2 && s13);
    Slot want2{}, want13{}, want30{};
    ap_copy(&want2, s2);
    ap_copy(&want13, s13);
    ap_copy(&want30, lattice_get_slot(l, 30));

    Slot a = *s2;
    *s2 = Slot{};
    Slot b = *s13;
    *s13 = Slot{};
    // Buffers moved from one slot to another stay the lattice's.
    Slot *s21 = lattice_get_slot(l, 21);
    ap_free(s21);
    *s21 = *lattice_get_slot(l, 30);
    *lattice_get_slot(l, 30) = Slot{};
    EXPECT_TRUE(lvtest::same_slot(*s21, want30));

    lattice_free(l);
    if (counted) {
        EXPECT_GT(mapped_bytes(), mapped_before) << "the block must outlive the lattice";
    }
    EXPECT_TRUE(lvtest::same_slot(a, want2));
    EXPECT_TRUE(lvtest::same_slot(b, want13));
    EXPECT_EQ(ap_to_double(&a), ap_to_double(&want2));

    ap_free(&a);
    ap_free(&a);  // a released record holds nothing; releasing it again changes nothing
    EXPECT_TRUE(lvtest::same_slot(b, want13)) << "one buffer held outside keeps the block";
    if (counted) {
        EXPECT_GT(mapped_bytes(), mapped_before);
    }

    // Replacing the last outside value releases its buffers, and the block with them.
    ap_copy(&b, &want2);
    EXPECT_TRUE(lvtest::same_slot(b, want2));
    if (counted) {
        EXPECT_EQ(mapped_bytes(), mapped_before) << "the block must go with its last buffer";
    }
    ap_free(&b);
    ap_free(&want2);
    ap_free(&want13);
    ap_free(&want30);
}

TEST(LatticeChunk, ALatticeWithoutBuffersHeldOutsideGoesAtOnce) {
    const size_t mapped_before = mapped_bytes();
    Lattice *l = lattice_with_chunk(6u, 1, 1, mapped_before).l;
    ASSERT_NE(l, nullptr);
    Slot *s = lattice_get_slot(l, 0);
    ASSERT_NE(s, nullptr);
    // Values replaced through the operations release the block's buffers.
    Slot *v = ap_from_double(4096, 24, -3.0);
    ASSERT_NE(v, nullptr);
    ap_copy(s, v);
    ap_copy(lattice_get_slot(l, 1), v);
    mpi_free(&lattice_get_slot(l, 2)->aux_mpi);
    lattice_free(l);
    EXPECT_EQ(mapped_bytes(), mapped_before);
    ap_free(v);
    std::free(v);
}

TEST(LatticeChunk, EachKindOfBufferMovedOutKeepsTheBlock) {
    // One buffer at a time: a mantissa or one of the three vectors, at the
    // first and last positions of a group, in the first and last group.
    struct Case {
        int32_t slot;
        int kind;  // 0 mantissa, 1 exponent, 2 word count, 3 aux
    };
    for (const Case c : {Case{0, 0}, Case{7, 3}, Case{1048568, 2}, Case{1048575, 1}, Case{1048575, 0}}) {
        SCOPED_TRACE(testing::Message() << "slot " << c.slot << ", buffer " << c.kind);
        const size_t mapped_before = mapped_bytes();
        const auto [l, counted] = lattice_with_chunk(8u, 1, 1, mapped_before);
        ASSERT_NE(l, nullptr);
        Slot *s = lattice_get_slot(l, c.slot);
        ASSERT_NE(s, nullptr);
        Slot held{};  // the moved buffer, in a record of its own
        Mpi *vectors[] = {nullptr, &s->exponent_mpi, &s->num_words_mpi, &s->aux_mpi};
        if (c.kind == 0) {
            held.mantissa_words = s->mantissa_words;
            held.num_words = s->num_words;
            s->mantissa_words = nullptr;
            s->num_words = 0;
        } else {
            held.aux_mpi = *vectors[c.kind];
            *vectors[c.kind] = Mpi{};
        }
        const uint64_t first = c.kind == 0 ? held.mantissa_words[0] : held.aux_mpi.words[0];
        lattice_free(l);
        if (counted) {
            EXPECT_GT(mapped_bytes(), mapped_before);
        }
        EXPECT_EQ(c.kind == 0 ? held.mantissa_words[0] : held.aux_mpi.words[0], first);
        ap_free(&held);
        if (counted) {
            EXPECT_EQ(mapped_bytes(), mapped_before);
        }
    }
}

TEST(LatticeThreads, BuffersMovedOutAreReleasedOnAnotherThread) {
    srand(12u);
    Lattice *l = lattice_init(2, 2);
    ASSERT_NE(l, nullptr);
    Slot want[2] = {}, out[2];
    for (int i = 0; i < 2; ++i) {
        Slot *s = lattice_get_slot(l, 1 + i);
        ASSERT_NE(s, nullptr);
        ap_copy(&want[i], s);
        out[i] = *s;
        *s = Slot{};
    }
    std::atomic<bool> gone{false};
    std::thread releaser([&out, &want, &gone] {
        // One record while this lattice is being released,
        EXPECT_TRUE(lvtest::same_slot(out[0], want[0]));
        ap_free(&out[0]);
        // the other once it is gone: this thread then frees the block.
        while (!gone.load()) std::this_thread::yield();
        EXPECT_TRUE(lvtest::same_slot(out[1], want[1]));
        ap_free(&out[1]);
    });
    lattice_free(l);
    gone.store(true);
    releaser.join();
    ap_free(&want[0]);
    ap_free(&want[1]);
}

TEST(LatticeThreads, ChunkMadeOnOneThreadIsReleasedOnAnother) {
    // This thread releases a heap slot first, so it has looked at the
    // registry before the other thread's chunk exists.
    Slot *v = ap_from_double(4096, 24, 1.25);
    ASSERT_NE(v, nullptr);
    Slot before{};
    ap_copy(&before, v);
    ap_free(&before);

    Lattice *l = nullptr;
    std::thread maker([&l] {
        srand(11u);
        l = lattice_init(1, 1);
        if (l != nullptr) lattice_get_slot(l, 0);
    });
    maker.join();
    ASSERT_TRUE(l != nullptr && l->chunks[0] != nullptr);

    // Replacing a chunk slot's value forgets its block words, and releasing
    // the lattice here releases the block whole: a word of the block handed
    // to free would abort.
    Slot *s = lattice_get_slot(l, 3);
    ap_copy(s, v);
    EXPECT_EQ(ap_to_double(s), 1.25);
    ap_free(lattice_get_slot(l, 4));
    lattice_free(l);
    ap_free(v);
    std::free(v);
}
