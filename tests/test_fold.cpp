// test_fold.cpp: prismatic folding, which doubles a lattice with perturbed copies.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "reference/fold.h"
#include "reference/slot.h"
#include "support.h"

using namespace lvtest;

namespace {

constexpr int32_t kChunk = SLOTS_PER_CHUNK;
constexpr int kChunkDraws = 7 * kChunk;
constexpr int kFoldDrawsPerSlot = 9;  // seven for the converted step, one phase, one base
constexpr int32_t kMaxSlots = LUMIVANE_MAX_DECLARED_SLOTS;

// Gives a lattice slot an ordinary value, keeping its widths.
void set_value(Slot *s, double x) {
    Slot *v = ap_from_double(s->mantissa_bits, s->exponent_bits, x);
    ASSERT_NE(v, nullptr);
    ap_copy(s, v);
    ap_free(v);
    std::free(v);
}

Slot copy_of(const Slot *s) {
    Slot c{};
    ap_copy(&c, s);
    return c;
}

// The oscillator state a copy carries over unchanged, and the bounds of its
// perturbations. Answers a description of the first difference, or "".
std::string copy_fault(const Slot &src, const Slot &dst) {
    if (dst.mantissa_bits != src.mantissa_bits || dst.exponent_bits != src.exponent_bits ||
        dst.num_words != src.num_words)
        return "widths";
    if (dst.omega != src.omega) return "omega";
    if (dst.amp_im != src.amp_im) return "amp_im";
    if (dst.phase_vel != src.phase_vel) return "phase_vel";
    if (dst.init_tag != src.init_tag) return "init_tag";
    if ((dst.flags & ~(FLAG_OVERFLOW | FLAG_UNDERFLOW)) != (src.flags & ~(FLAG_OVERFLOW | FLAG_UNDERFLOW)))
        return "flags";
    if (!(std::fabs(dst.phase - src.phase) <= 0.05 + 1e-12)) return "phase jitter";
    const double nudge = static_cast<double>(dst.base) - static_cast<double>(src.base);
    // The nudge rounds to float: never below the source, at most half a float
    // step (about 6e-8 near 1.62) past 0.001.
    if (!(nudge >= 0.0 && nudge <= 0.001 + 1.2e-7)) return "base nudge";
    return "";
}

struct Output {
    std::string out, err;
};

template <class F>
Output captured(F &&f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    Output o;
    o.err = testing::internal::GetCapturedStderr();
    o.out = testing::internal::GetCapturedStdout();
    return o;
}

}  // namespace

// ---------------------------------------------------------------------------
// The run's fold: 4096 x 4 slots, all within chunk 0.

TEST(FoldRunLattice, UpperHalfBecomesPerturbedCopiesOfTheLowerHalf) {
    constexpr int32_t kHalf = 16384;
    constexpr unsigned kFoldSeed = 424242u;
    srand(11u);
    Lattice *l = lattice_init(4096, 4);
    ASSERT_NE(l, nullptr);
    Slot *s0 = lattice_get_slot(l, 0);
    ASSERT_NE(s0, nullptr);
    SlotChunk *chunk = l->chunks[0];

    // Ordinary values where the amplitudes are read back; fresh slots mostly
    // read as +inf or 0.
    set_value(s0, 1.25);
    set_value(lattice_get_slot(l, 15), 3.5);
    lattice_get_slot(l, 3)->flags |= FLAG_LOCKED | FLAG_EXCLUDED;
    // A destination's former state must not survive its copy.
    Slot *old_dst = lattice_get_slot(l, kHalf + 6);
    old_dst->flags = FLAG_LOCKED | FLAG_OVERFLOW;
    old_dst->phase = 100.0;
    old_dst->omega = 7.0;
    l->omega = 0.5;
    l->time = 2.0;
    l->consensus_steps = 7;
    l->phase_var = 0.25;

    std::vector<Slot> lower(kHalf);
    for (int32_t i = 0; i < kHalf; ++i) lower[i] = copy_of(lattice_get_slot(l, i));
    std::vector<std::pair<int32_t, Slot>> beyond;
    for (int32_t k = 2 * kHalf; k < 2 * kHalf + 64; ++k) beyond.emplace_back(k, copy_of(lattice_get_slot(l, k)));
    beyond.emplace_back(kChunk - 1, copy_of(lattice_get_slot(l, kChunk - 1)));

    int draws = -1;
    const Output o = captured([&] {
        draws = lvtest::draws_made([&] { lattice_fold(l); }, kFoldSeed, 400000);
    });
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(draws, kFoldDrawsPerSlot * kHalf);

    EXPECT_EQ(l->num_instances, 8192);
    EXPECT_EQ(l->slots_per_instance, 4);
    EXPECT_EQ(l->num_chunks, 1);
    EXPECT_EQ(l->chunks[0], chunk) << "a chunk's block never moves";
    EXPECT_EQ(lattice_get_slot(l, 0), s0);
    EXPECT_EQ(l->omega, 0.5);
    EXPECT_EQ(l->time, 2.0);
    EXPECT_EQ(l->consensus_steps, 7);
    EXPECT_EQ(l->phase_var, 0.25);

    // The lower half is read, never written; nothing past the new count is touched.
    int changed_lower = 0;
    for (int32_t i = 0; i < kHalf; ++i)
        if (!lvtest::same_slot(*lattice_get_slot(l, i), lower[i])) ++changed_lower;
    EXPECT_EQ(changed_lower, 0);
    for (const auto &[k, snap] : beyond)
        EXPECT_TRUE(lvtest::same_slot(*lattice_get_slot(l, k), snap)) << "slot " << k;

    // Every copy keeps its source's oscillator state within the perturbation bounds.
    int faults = 0;
    for (int32_t i = 0; i < kHalf; ++i) {
        const std::string why = copy_fault(lower[i], *lattice_get_slot(l, kHalf + i));
        if (!why.empty() && ++faults <= 5) ADD_FAILURE() << "slot " << kHalf + i << ": " << why;
    }
    EXPECT_EQ(faults, 0);

    // Exactly the copy, step, jitter and nudge that the draws after the seed give.
    srand(kFoldSeed);
    int mismatches = 0;
    for (int32_t i = 0; i < kHalf; ++i) {
        Slot e = lvref::fold_copy(lower[i], i);
        const auto same = lvtest::same_slot(*lattice_get_slot(l, kHalf + i), e);
        if (!same && ++mismatches <= 5) ADD_FAILURE() << "slot " << kHalf + i << ": " << same.message();
        ap_free(&e);
    }
    EXPECT_EQ(mismatches, 0);

    // Amplitudes: the source plus 0.01 x F, F from the index's place in the cycle.
    EXPECT_NEAR(ap_to_double(lattice_get_slot(l, kHalf)), 1.25 + 0.01, 1e-15);
    EXPECT_NEAR(ap_to_double(lattice_get_slot(l, kHalf + 15)), 3.5 + 9.87, 1e-14);
    EXPECT_EQ(lattice_get_slot(l, kHalf + 3)->flags & (FLAG_LOCKED | FLAG_EXCLUDED),
              FLAG_LOCKED | FLAG_EXCLUDED);
    EXPECT_EQ(lattice_get_slot(l, kHalf + 6)->omega, lower[6].omega);
    EXPECT_EQ(lattice_get_slot(l, kHalf + 6)->flags & FLAG_LOCKED, 0u);

    // A second fold copies the doubled lattice, still within chunk 0.
    Slot copied0 = copy_of(lattice_get_slot(l, kHalf));
    EXPECT_EQ(lvtest::draws_made([&] { lattice_fold(l); }, 5u, 800000), kFoldDrawsPerSlot * 2 * kHalf);
    EXPECT_EQ(l->num_instances, 16384);
    EXPECT_EQ(l->num_chunks, 1);
    EXPECT_EQ(copy_fault(lower[0], *lattice_get_slot(l, 2 * kHalf)), "");
    EXPECT_EQ(copy_fault(copied0, *lattice_get_slot(l, 3 * kHalf)), "");
    EXPECT_NEAR(ap_to_double(lattice_get_slot(l, 3 * kHalf)), 1.25 + 0.02, 1e-15);
    EXPECT_TRUE(lvtest::same_slot(*lattice_get_slot(l, kChunk - 1), beyond.back().second));

    ap_free(&copied0);
    for (Slot &s : lower) ap_free(&s);
    for (auto &[k, s] : beyond) ap_free(&s);
    lattice_free(l);
}

// A fold reaches its slots through the ordinary lookup, so a lattice whose
// chunk is absent materialises it at the first source lookup.
TEST(FoldRunLattice, FoldOfAnUntouchedLatticeMaterialisesItsChunkFirst) {
    constexpr unsigned kSeed = 31337u;
    Lattice *l = lattice_init(2, 3);
    ASSERT_NE(l, nullptr);
    const int draws = lvtest::draws_made([&] { lattice_fold(l); }, kSeed, kChunkDraws + 100000);
    EXPECT_EQ(draws, kChunkDraws + kFoldDrawsPerSlot * 6);
    EXPECT_EQ(l->num_instances, 4);
    EXPECT_EQ(l->num_chunks, 1);

    // Lower half and everything past the copies: the chunk's fresh slots.
    for (int64_t j : {int64_t{0}, int64_t{5}, int64_t{12}, int64_t{13}, int64_t{kChunk - 1}}) {
        Slot fresh = lvref::chunk_slot(kSeed, 7 * j, j);
        EXPECT_TRUE(lvtest::same_slot(*lattice_get_slot(l, static_cast<int32_t>(j)), fresh)) << "slot " << j;
        ap_free(&fresh);
    }
    // Copies 6..11 draw after the whole chunk.
    srand(kSeed);
    skip_draws(kChunkDraws);
    for (int32_t i = 0; i < 6; ++i) {
        Slot e = lvref::fold_copy(*lattice_get_slot(l, i), i);
        EXPECT_TRUE(lvtest::same_slot(*lattice_get_slot(l, 6 + i), e)) << "slot " << 6 + i;
        ap_free(&e);
    }
    lattice_free(l);
}

// ---------------------------------------------------------------------------
// A fold that adds a chunk: 600000 slots become 1200000, so the copies run
// from chunk 0 across into chunk 1, which comes into being at its first
// destination (slot 1048576, the copy of slot 448576).

TEST(FoldGrowth, CopiesCrossIntoTheAddedChunk) {
    constexpr int32_t kHalf = 600000;
    constexpr int32_t kFirstInNewChunk = kChunk - kHalf;  // 448576
    constexpr unsigned kFoldSeed = 8675309u;
    srand(3u);
    Lattice *l = lattice_init(1, kHalf);
    ASSERT_NE(l, nullptr);
    ASSERT_EQ(l->num_chunks, 1);
    ASSERT_NE(lattice_get_slot(l, 0), nullptr);
    SlotChunk *chunk0 = l->chunks[0];

    set_value(lattice_get_slot(l, 0), 1.25);
    set_value(lattice_get_slot(l, kFirstInNewChunk), 2.0);
    set_value(lattice_get_slot(l, kFirstInNewChunk + 15), 0.75);
    set_value(lattice_get_slot(l, kHalf - 1), 0.5);

    // Sources of the copies replayed below.
    const std::pair<int32_t, int32_t> ranges[] = {
        {0, 1000}, {kFirstInNewChunk - 16, kFirstInNewChunk + 24}, {kHalf - 20, kHalf}};
    std::vector<std::vector<Slot>> sources;
    for (const auto &[a, b] : ranges) {
        sources.emplace_back();
        for (int32_t i = a; i < b; ++i) sources.back().push_back(copy_of(lattice_get_slot(l, i)));
    }

    int draws = -1;
    const Output o = captured([&] {
        draws = lvtest::draws_made([&] { lattice_fold(l); }, kFoldSeed, 13000000);
    });
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    // One chunk materialised mid-fold, nine draws per copied slot.
    EXPECT_EQ(draws, kChunkDraws + kFoldDrawsPerSlot * kHalf);

    EXPECT_EQ(l->num_instances, 2);
    EXPECT_EQ(l->slots_per_instance, kHalf);
    ASSERT_EQ(l->num_chunks, 2);
    EXPECT_EQ(l->chunks[0], chunk0);
    ASSERT_NE(l->chunks[1], nullptr) << "the added chunk received copies";
    EXPECT_NE(lattice_get_slot(l, 2 * kChunk - 1), nullptr);
    EXPECT_EQ(lattice_get_slot(l, 2 * kChunk), nullptr);

    // Every destination, on both sides of the chunk boundary, holds its copy.
    int faults = 0;
    for (int32_t i = 0; i < kHalf; ++i) {
        const std::string why = copy_fault(*lattice_get_slot(l, i), *lattice_get_slot(l, kHalf + i));
        if (!why.empty() && ++faults <= 5) ADD_FAILURE() << "slot " << kHalf + i << ": " << why;
    }
    EXPECT_EQ(faults, 0);

    EXPECT_NEAR(ap_to_double(lattice_get_slot(l, kHalf)), 1.25 + 0.01, 1e-15);
    EXPECT_NEAR(ap_to_double(lattice_get_slot(l, kChunk)), 2.0 + 0.01, 1e-15);
    EXPECT_NEAR(ap_to_double(lattice_get_slot(l, kChunk + 15)), 0.75 + 9.87, 1e-14);
    EXPECT_NEAR(ap_to_double(lattice_get_slot(l, 2 * kHalf - 1)), 0.5 + 9.87, 1e-14);

    // Exact replay: the draws of index i start at 9 x i, and from the first
    // copy into chunk 1 onwards after that chunk's own 7 x 1048576.
    for (size_t r = 0; r < std::size(ranges); ++r) {
        const auto [a, b] = ranges[r];
        srand(kFoldSeed);
        skip_draws(int64_t{kFoldDrawsPerSlot} * a + (a > kFirstInNewChunk ? kChunkDraws : 0));
        for (int32_t i = a; i < b; ++i) {
            if (i == kFirstInNewChunk) skip_draws(kChunkDraws);
            const Slot &src = sources[r][static_cast<size_t>(i - a)];
            EXPECT_TRUE(lvtest::same_slot(*lattice_get_slot(l, i), src)) << "source " << i;
            Slot e = lvref::fold_copy(src, i);
            EXPECT_TRUE(lvtest::same_slot(*lattice_get_slot(l, kHalf + i), e)) << "slot " << kHalf + i;
            ap_free(&e);
        }
    }

    // Past the new count, chunk 1 keeps the fresh slots of its materialisation.
    for (int64_t j : {int64_t{2 * kHalf - kChunk}, int64_t{2 * kHalf - kChunk + 7}, int64_t{kChunk - 1}}) {
        Slot fresh = lvref::chunk_slot(kFoldSeed, int64_t{kFoldDrawsPerSlot} * kFirstInNewChunk + 7 * j, j);
        EXPECT_TRUE(lvtest::same_slot(*lattice_get_slot(l, static_cast<int32_t>(kChunk + j)), fresh))
            << "position " << j << " of chunk 1";
        ap_free(&fresh);
    }

    for (auto &v : sources)
        for (Slot &s : v) ap_free(&s);
    lattice_free(l);
}

// ---------------------------------------------------------------------------
// Refusals: nothing changes, nothing is drawn, nothing is printed.

namespace {

struct Before {
    SlotChunk **chunks;
    int32_t num_chunks, num_instances, slots_per_instance;
};

void expect_refused(Lattice *l, const char *what) {
    SCOPED_TRACE(what);
    const Before b{l->chunks, l->num_chunks, l->num_instances, l->slots_per_instance};
    int draws = -1;
    const Output o = captured([&] { draws = lvtest::draws_made([&] { lattice_fold(l); }); });
    EXPECT_EQ(draws, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(l->chunks, b.chunks);
    EXPECT_EQ(l->num_chunks, b.num_chunks);
    EXPECT_EQ(l->num_instances, b.num_instances);
    EXPECT_EQ(l->slots_per_instance, b.slots_per_instance);
    int present = 0;
    for (int32_t c = 0; c < l->num_chunks; ++c) present += l->chunks[c] != nullptr;
    EXPECT_EQ(present, 0) << "a refused fold materialises nothing";
}

}  // namespace

TEST(FoldRefusal, NullLatticeIsIgnored) {
    int draws = -1;
    const Output o = captured([&] { draws = lvtest::draws_made([] { lattice_fold(nullptr); }); });
    EXPECT_EQ(draws, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
}

TEST(FoldRefusal, DoubledInstanceCountPastTheLimit) {
    // 4194304 instances may still fold (to 8388608); one more may not.
    const std::pair<int32_t, int32_t> cases[] = {
        {4194305, 1}, {4194305, 2}, {8388608, 1}, {8388609, 1},
        {1073741824, 1},  // doubling wraps a 32-bit count negative
        {kMaxSlots, 1},
    };
    for (const auto &[n, s] : cases) {
        Lattice *l = lattice_init(n, s);
        ASSERT_NE(l, nullptr) << n << " x " << s;
        expect_refused(l, (std::to_string(n) + " x " + std::to_string(s)).c_str());
        lattice_free(l);
    }
}

TEST(FoldRefusal, DoubledSlotCountPastTheBound) {
    // Instance counts within the limit, but twice the slots would exceed 2146435072.
    const std::pair<int32_t, int32_t> cases[] = {
        {1, kMaxSlots / 2 + 1},  // 2146435074
        {2, 536608769},          // 2146435076
        {3, 357739179},          // 2146435074
        {4194304, 256},          // 2^31: the largest instance count the limit lets through
        {4194304, 511},          // 4286578688: past 2^32 when doubled
        {1, kMaxSlots},
    };
    for (const auto &[n, s] : cases) {
        Lattice *l = lattice_init(n, s);
        ASSERT_NE(l, nullptr) << n << " x " << s;
        expect_refused(l, (std::to_string(n) + " x " + std::to_string(s)).c_str());
        lattice_free(l);
    }
}

TEST(FoldRefusal, LatticeWithoutADeclaredSlot) {
    Lattice *l = lattice_init(4, 4);
    ASSERT_NE(l, nullptr);
    const std::pair<int32_t, int32_t> cases[] = {{0, 4}, {4, 0}, {0, 0}, {-3, 4}, {4, -3}, {-2, -2}};
    for (const auto &[n, s] : cases) {
        l->num_instances = n;
        l->slots_per_instance = s;
        expect_refused(l, (std::to_string(n) + " x " + std::to_string(s)).c_str());
    }
    l->num_instances = 4;
    l->slots_per_instance = 4;
    lattice_free(l);
}

TEST(FoldGrowth, ATableLongerThanNeededKeepsItsChunks) {
    // A lattice declared over two chunks, then narrowed by its host to two
    // slots: the fold needs one chunk, and the second must not be lost.
    Lattice *l = lattice_init(1, kChunk + 1);
    ASSERT_NE(l, nullptr);
    ASSERT_EQ(l->num_chunks, 2);
    SlotChunk *second = lattice_get_chunk(l, 1);
    ASSERT_NE(second, nullptr);
    l->slots_per_instance = 2;
    const Output o = captured([&] { lattice_fold(l); });
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(l->num_instances, 2);
    ASSERT_EQ(l->num_chunks, 2);
    EXPECT_EQ(l->chunks[1], second);
    EXPECT_EQ(lattice_get_slot(l, kChunk), &second->slots[0]);
    EXPECT_NE(l->chunks[0], nullptr);
    lattice_free(l);  // both chunks go; the leak checks see a lost one
}

// The largest lattice a fold accepts: 4194304 instances become 8388608, which
// fills eight chunks (about 8 GB with the copies' own buffers); one more fold
// is refused at the limit.
TEST(FoldGrowth, LargestFoldableLatticeDoublesToTheLimit) {
    srand(4194304u);
    Lattice *l = lattice_init(4194304, 1);
    ASSERT_NE(l, nullptr);
    ASSERT_EQ(l->num_chunks, 4);
    lattice_fold(l);
    EXPECT_EQ(l->num_instances, MAX_INSTANCES);
    EXPECT_EQ(l->num_chunks, 8);
    for (int32_t i : {0, 1, 1048575, 1048576, 4194303}) {
        const Slot *src = lattice_get_slot(l, i);
        const Slot *dst = lattice_get_slot(l, 4194304 + i);
        ASSERT_NE(dst, nullptr);
        EXPECT_EQ(dst->mantissa_bits, src->mantissa_bits) << i;
        EXPECT_EQ(dst->omega, src->omega) << i;
        EXPECT_LE(std::fabs(dst->phase - src->phase), 0.05) << i;
        EXPECT_GE(dst->base, src->base) << i;
    }
    lattice_fold(l);
    EXPECT_EQ(l->num_instances, MAX_INSTANCES);
    EXPECT_EQ(l->num_chunks, 8);
    lattice_free(l);
}
