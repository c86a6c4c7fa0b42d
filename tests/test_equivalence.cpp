// test_equivalence.cpp: the library's sweep against a plain sweep built from the exported operations.
//
// The plain sweep (reference/sweep.h) fetches every slot and every neighbour
// through lattice_get_slot, converts amplitudes at each use, fills all five
// fields of every link, damps them with exchange_analog_links and advances each
// slot with rk4_step. The library's sweep must leave every slot, the lattice's globals
// and the random generator exactly where the plain one does.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "reference/sweep.h"
#include "support.h"

using namespace lvtest;

namespace {

// Globals bit for bit, then every declared slot and `beyond` slots past them.
testing::AssertionResult same_lattice(Lattice *a, Lattice *b, int32_t beyond = 64) {
    std::ostringstream why;
    if (a->num_instances != b->num_instances || a->slots_per_instance != b->slots_per_instance ||
        a->num_chunks != b->num_chunks)
        why << "shape; ";
    if (!same_bits(a->omega, b->omega)) why << "omega " << a->omega << " vs " << b->omega << "; ";
    if (!same_bits(a->time, b->time)) why << "time " << a->time << " vs " << b->time << "; ";
    if (!same_bits(a->phase_var, b->phase_var))
        why << "phase_var " << a->phase_var << " vs " << b->phase_var << "; ";
    if (a->consensus_steps != b->consensus_steps) why << "consensus_steps; ";
    const int32_t n = a->num_instances * a->slots_per_instance + beyond;
    int differing = 0;
    for (int32_t k = 0; k < n; ++k) {
        const Slot *x = lattice_get_slot(a, k);
        const Slot *y = lattice_get_slot(b, k);
        if (x == nullptr || y == nullptr) {
            if ((x == nullptr) != (y == nullptr)) why << "slot " << k << " present in one; ";
            continue;
        }
        const testing::AssertionResult r = lvtest::same_slot(*x, *y);
        if (!r && ++differing <= 3) why << "slot " << k << ": " << r.message() << " ";
    }
    if (differing > 3) why << "... " << differing << " slots differ";
    const std::string s = why.str();
    if (s.empty()) return testing::AssertionSuccess();
    return testing::AssertionFailure() << s;
}

// One sweep on each lattice from the same generator state: the library's on
// `fast`, the plain one on `plain`; answers the output of both.
struct SweepOutput {
    std::string fast, plain;
};
SweepOutput sweep_both(Lattice *fast, Lattice *plain, unsigned seed, double dt = kStep) {
    SweepOutput out;
    srand(seed);
    testing::internal::CaptureStdout();
    lattice_integrate_rk4(fast, dt);
    out.fast = testing::internal::GetCapturedStdout();
    const int next_fast = rand();
    srand(seed);
    testing::internal::CaptureStdout();
    lvref::sweep(plain, dt);
    out.plain = testing::internal::GetCapturedStdout();
    const int next_plain = rand();
    EXPECT_EQ(next_fast, next_plain) << "the generator stands elsewhere after seed " << seed;
    return out;
}

// Runs `count` sweeps on both, checking after every one; stops at the first divergence.
void sweep_and_compare(Lattice *fast, Lattice *plain, int count, unsigned seed0,
                       const char *what) {
    for (int i = 0; i < count; ++i) {
        const SweepOutput out = sweep_both(fast, plain, seed0 + static_cast<unsigned>(i));
        EXPECT_EQ(out.fast, out.plain) << what << ", sweep " << i;
        const testing::AssertionResult same = same_lattice(fast, plain);
        ASSERT_TRUE(same) << what << ", sweep " << i;
    }
}


// Every kind of amplitude, phase and flag the sweep can meet, and a few slots
// whose buffers, vector words or widths are not the usual ones: the in-place
// write-back must leave each as the general one does, or leave it to it.
void prepare(Lattice *l) {
    const int32_t n = l->num_instances * l->slots_per_instance;
    for (int32_t c = 0; c < n; ++c) {
        Slot *s = lattice_get_slot(l, c);
        ASSERT_NE(s, nullptr);
        switch (c % 13) {
            case 0: break;  // as drawn: mostly +infinity or 0
            case 1: s->exponent = 5000; break;  // +infinity
            case 2: s->exponent = -5000; break;  // 0
            case 3:  // NaN: zero word times an infinite power
                s->mantissa_words[0] = 0;
                s->exponent = 1500;
                break;
            case 4: lvtest::set_amplitude(s, -(0.2 + 0.05 * (c % 17))); break;
            case 5:
                lvtest::set_amplitude(s, 1.2e7);
                s->amp_im = 5.0e6;
                break;
            case 6:
                lvtest::set_amplitude(s, 1e-12);
                s->amp_im = 0.0;
                break;
            case 7: lvtest::set_amplitude(s, (c % 2) != 0 ? 0.8 : 0.4944271909999159); break;
            default: lvtest::set_amplitude(s, 0.05 + 0.11 * (c % 11)); break;
        }
        switch (c % 11) {
            case 0: s->phase = 7.5; break;
            case 1: s->phase = 13.0; break;
            case 2: s->phase = -7.0; break;
            case 3: s->phase = -1e-17; break;
            case 4: s->phase = -0.0; break;
            case 5: s->phase = 6.283185307179586; break;
            case 6: s->phase = 1e6; break;
            default: break;
        }
        if (c % 7 == 0) s->phase_vel = 0.3 * (c % 5) - 0.6;
        if (c % 97 == 0) s->flags |= FLAG_LOCKED;
        if (c % 89 == 1) s->flags |= FLAG_OVERFLOW;
        if (c % 83 == 2) s->flags |= FLAG_EXCLUDED;
        if (c % 79 == 3) s->flags |= FLAG_NEGATIVE | FLAG_UNDERFLOW;
        if (c % 71 == 5) s->flags |= FLAG_LOCKED | FLAG_NEGATIVE;
    }
    // Slots whose storage differs from a fresh one's.
    ap_free(lattice_get_slot(l, 4097));  // released: reads 0, owns nothing
    mpi_free(&lattice_get_slot(l, 4098)->aux_mpi);
    mpi_free(&lattice_get_slot(l, 4106)->num_words_mpi);
    mpi_free(&lattice_get_slot(l, 4099)->exponent_mpi);
    Slot *stale = lattice_get_slot(l, 4100);  // vector words a host has written
    stale->aux_mpi.words[0] = 0x0123456789abcdefu;
    stale->exponent_mpi.words[0] = 77u;
    stale->num_words_mpi.words[0] = 3u;
    lattice_get_slot(l, 4103)->exponent_bits = 0;  // exponent widths outside 1..63
    lattice_get_slot(l, 4107)->exponent_bits = 64;
    Slot *odd = lattice_get_slot(l, 4104);  // 64 words: widths that still give 64 words
    odd->mantissa_bits = 4033;
    odd->exponent_bits = 12;
    Slot *narrow = lattice_get_slot(l, 4105);  // 65 words but a width of two
    narrow->mantissa_bits = 100;
    narrow->exponent_bits = 40;
}

// Two lattices of the same shape, materialised and prepared from the same seed.
struct Pair {
    OwnedLattice fast, plain;
};
Pair prepared_pair(int32_t instances, int32_t per_instance, unsigned seed, bool prep = true) {
    Pair p;
    for (OwnedLattice *l : {&p.fast, &p.plain}) {
        srand(seed);
        l->reset(lattice_init(instances, per_instance));
        EXPECT_NE(l->get(), nullptr);
        EXPECT_NE(lattice_get_slot(l->get(), 0), nullptr);
        if (prep) prepare(l->get());
    }
    EXPECT_TRUE(same_lattice(p.fast.get(), p.plain.get()));
    return p;
}

}  // namespace

TEST(Equivalence, EveryKindOfSlotOverManySweeps) {
    Pair p = prepared_pair(4096, 4, 20240601u);
    Lattice *a = p.fast.get();
    Lattice *b = p.plain.get();
    sweep_and_compare(a, b, 30, 1000u, "4096 x 4");
    if (HasFatalFailure()) return;

    // Other shapes over the same slots: one slot per instance, one instance
    // (the rows wrap over the ring and a slot is its own neighbour), wide rows,
    // rows of 2046 and 2047 slots, and rings of only a few rows.
    const int32_t shapes[][2] = {{16384, 1}, {1, 16384}, {128, 100}, {3, 2046},
                                 {5, 2047},  {3, 4},     {3, 3},     {5, 1},
                                 {2, 4},     {2, 3}};
    unsigned seed = 2000u;
    for (const auto &shape : shapes) {
        for (Lattice *l : {a, b}) {
            l->num_instances = shape[0];
            l->slots_per_instance = shape[1];
        }
        std::ostringstream what;
        what << shape[0] << " x " << shape[1];
        sweep_and_compare(a, b, 4, seed, what.str().c_str());
        if (HasFatalFailure()) return;
        seed += 100u;
    }
}

// The first sweep of a new lattice materialises its chunk itself, before any
// step draws; a NaN phase later spreads through both sweeps alike.
TEST(Equivalence, FreshLatticeAndNaNPhases) {
    Pair p;
    for (OwnedLattice *l : {&p.fast, &p.plain}) {
        l->reset(lattice_init(4096, 4));
        ASSERT_NE(l->get(), nullptr);
    }
    Lattice *a = p.fast.get();
    Lattice *b = p.plain.get();
    const SweepOutput first = sweep_both(a, b, 31337u);
    EXPECT_EQ(first.fast, first.plain);
    ASSERT_TRUE(same_lattice(a, b));
    sweep_and_compare(a, b, 4, 500u, "fresh");
    if (HasFatalFailure()) return;

    for (Lattice *l : {a, b}) {
        lattice_get_slot(l, 9000)->phase = std::nan("");
        lattice_get_slot(l, 12000)->amp_im = std::nan("");
        lattice_get_slot(l, 3000)->phase = 1e300;
        lattice_get_slot(l, 3001)->phase = -1e300;
    }
    sweep_and_compare(a, b, 3, 600u, "NaN phases");
}

TEST(Equivalence, SweepsAfterAFold) {
    Pair p = prepared_pair(4096, 4, 777u);
    Lattice *a = p.fast.get();
    Lattice *b = p.plain.get();
    sweep_and_compare(a, b, 3, 700u, "before the fold");
    if (HasFatalFailure()) return;
    for (Lattice *l : {a, b}) {
        srand(4242u);
        lattice_fold(l);
        ASSERT_EQ(l->num_instances, 8192);
    }
    ASSERT_TRUE(same_lattice(a, b));
    // The additions of the fold leave words below word 0 that a write-back must clear.
    int with_tail = 0;
    for (int32_t k = 16384; k < 32768; ++k) {
        const Slot *s = lattice_get_slot(a, k);
        for (uint64_t i = 1; i < s->num_words; ++i)
            if (s->mantissa_words[i] != 0) {
                ++with_tail;
                break;
            }
    }
    EXPECT_GT(with_tail, 0);
    sweep_and_compare(a, b, 12, 800u, "after the fold");
    // Every visited copy was written back whole.
    for (int32_t k = 16384; k < 32768; ++k) {
        const Slot *s = lattice_get_slot(a, k);
        if ((s->flags & 0x16u) != 0) continue;
        for (uint64_t i = 1; i < s->num_words; ++i)
            ASSERT_EQ(s->mantissa_words[i], 0u) << "slot " << k << " word " << i;
    }
}

// One slot moves and every other is locked: a single participant is quiet
// at every sweep, so the hundredth sweep locks it, and later sweeps visit nothing.
TEST(Equivalence, ConsensusLockPath) {
    Pair p = prepared_pair(4096, 4, 99u);
    Lattice *a = p.fast.get();
    Lattice *b = p.plain.get();
    for (Lattice *l : {a, b}) {
        srand(5u);
        for (int32_t c = 0; c < 16384; ++c) lattice_get_slot(l, c)->flags |= FLAG_LOCKED;
        Slot *s = lattice_get_slot(l, 4101);
        s->flags = 0;
        lvtest::set_amplitude(s, 0.7);
        s->phase = 2.0;
    }
    std::string messages;
    for (int i = 0; i < 105; ++i) {
        const SweepOutput out = sweep_both(a, b, 9000u + static_cast<unsigned>(i));
        ASSERT_EQ(out.fast, out.plain) << "sweep " << i;
        messages += out.fast;
        ASSERT_TRUE(same_lattice(a, b)) << "sweep " << i;
        if (i < 99) {
            ASSERT_EQ(a->consensus_steps, i + 1);
        }
    }
    EXPECT_EQ(messages.find("[CONSENSUS] Domain locked at t="), 0u) << messages;
    EXPECT_EQ(messages.find('\n'), messages.size() - 1) << "one message only: " << messages;
    EXPECT_NE(lattice_get_slot(a, 4101)->flags & FLAG_LOCKED, 0u);
}

// Past one chunk the sweep walks the chunk table: with its window of
// amplitudes for narrow rows, without it for rows too wide to keep.
TEST(Equivalence, LatticesSpanningTwoChunks) {
    for (const auto &[instances, per_instance] : {std::pair{262145, 4}, std::pair{513, 2048}}) {
        Pair p = prepared_pair(instances, per_instance, 4242u);
        ASSERT_EQ(p.fast->num_chunks, 2);
        sweep_and_compare(p.fast.get(), p.plain.get(), 2, 500u, "two chunks");
    }
}

// A lattice declaring slots past its chunk table: those fetches answer null,
// and the links to them must be all zero. Only the slots at both ends of the
// chunk move, so a few steps meet the missing neighbours without sweeping a
// whole chunk.
TEST(Equivalence, DeclaredSlotsPastTheChunkTable) {
    constexpr int32_t kChunk = SLOTS_PER_CHUNK;
    Pair p = prepared_pair(1, 16, 777u, false);
    for (OwnedLattice *l : {&p.fast, &p.plain}) {
        (*l)->slots_per_instance = kChunk + 8;  // slots kChunk.. have no chunk
        ASSERT_EQ((*l)->num_chunks, 1);
        for (int32_t c = 8; c < kChunk - 8; ++c) lattice_get_slot(l->get(), c)->flags |= FLAG_LOCKED;
    }
    ASSERT_EQ(lattice_get_slot(p.fast.get(), kChunk), nullptr);
    sweep_and_compare(p.fast.get(), p.plain.get(), 3, 4100u, "slots past the table");
}

// A chunk that does not exist yet is made at the first fetch of any of its
// slots: here by slot 0's first neighbour, the last slot, in the middle of the
// first sweep and from that sweep's draws.
TEST(Equivalence, ChunkMadeInTheMiddleOfASweep) {
    // Fresh lattices: no comparison before the sweep, which would make the chunks.
    Pair p;
    for (OwnedLattice *l : {&p.fast, &p.plain}) {
        l->reset(lattice_init(262145, 4));
        ASSERT_NE(l->get(), nullptr);
        ASSERT_EQ((*l)->num_chunks, 2);
    }
    sweep_and_compare(p.fast.get(), p.plain.get(), 2, 3030u, "chunks made by the first sweep");
}

// A single stray word below word 0, at every position from 1 to the last (a
// lone bit or all ones), must be found and cleared by the write-back; the
// check reads the words in blocks and the tail one by one.
TEST(Equivalence, StrayLowerWordsAtEveryPositionAreCleared) {
    Pair p = prepared_pair(4096, 4, 31337u, false);
    Lattice *a = p.fast.get();
    Lattice *b = p.plain.get();
    std::vector<std::pair<int32_t, uint64_t>> planted;  // slot, word position
    for (Lattice *l : {a, b}) {
        planted.clear();
        // Slots hold 64 to 71 words, so the tails after the last whole block differ.
        for (uint64_t i = 1; i <= 70; ++i) {
            const auto k = static_cast<int32_t>(40 + 3 * i);
            Slot *s = lattice_get_slot(l, k);
            ASSERT_GE(s->num_words, 2u);
            const uint64_t at = std::min(i, s->num_words - 1);
            s->flags = 0;
            lvtest::set_amplitude(s, 0.6);
            for (uint64_t j = 1; j < s->num_words; ++j) s->mantissa_words[j] = 0;
            s->mantissa_words[at] = i % 3 == 0 ? ~uint64_t{0} : uint64_t{1} << (i % 64);
            planted.emplace_back(k, at);
        }
    }
    sweep_and_compare(a, b, 1, 60u, "stray words");
    for (const auto &[k, i] : planted) {
        const Slot *s = lattice_get_slot(a, k);
        for (uint64_t j = 1; j < s->num_words; ++j)
            ASSERT_EQ(s->mantissa_words[j], 0u) << "slot " << k << " planted at " << i << ", word " << j;
    }
}

// The sweep's room for the detector belongs to each lattice: two threads
// sweeping lattices of different sizes at the same time each find,
// after every sweep, the spread and count that the exported detector finds on
// the same lattice. (The generator is shared, so the threads' draws interleave;
// each lattice is only compared with itself.)
TEST(Equivalence, ConcurrentSweepsKeepTheirOwnPhases) {
    const auto run = [](int32_t instances, int *mismatches) {
        OwnedLattice l(lattice_init(instances, 4));
        if (l == nullptr || lattice_get_slot(l.get(), 0) == nullptr) {
            *mismatches = -1;
            return;
        }
        for (int i = 0; i < 8; ++i) {
            const int32_t steps_before = l->consensus_steps;
            lattice_integrate_rk4(l.get(), kStep);
            const double var = l->phase_var;
            const int32_t steps = l->consensus_steps;
            l->consensus_steps = steps_before;
            detect_harmonic_consensus(l.get());
            if (!same_bits(var, l->phase_var) || steps != l->consensus_steps) ++*mismatches;
        }
    };
    int small = 0, large = 0;
    std::thread a(run, 1024, &small);
    std::thread b(run, 4096, &large);
    a.join();
    b.join();
    EXPECT_EQ(small, 0);
    EXPECT_EQ(large, 0);
}
