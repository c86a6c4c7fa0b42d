// test_owners.cpp: the owners of lumivane.hpp make the C calls they name (same
// draws, same records) and release each record exactly once. Leaks and double
// releases are left to AddressSanitizer, which the sanitizer build runs this
// under. Suites named Chunk* materialise a chunk (751 MB) and run apart.
#include <lumivane/lumivane.hpp>

#include <climits>
#include <cstring>
#include <vector>

#include "support.h"

namespace {

using lvtest::draws_made;
using lvtest::same_slot;

struct Conversion {
    double x;
    int mantissa_bits, exponent_bits;
};

TEST(ValueOwner, ConvertsAsApFromDoubleWithTheSameDraws) {
    const Conversion table[] = {{1.618033988749895, 4096, 16}, {3.141592653589793, 4096, 16},
                                {-2.5, 4096, 16},  {0.25, 4544, 30},
                                {0x1p-1074, 4096, 16}, {0.0, 4160, 18}};
    for (const auto &c : table) {
        srand(77u);
        const lumivane::Value v(c.x, c.mantissa_bits, c.exponent_bits);
        const int after_owner = rand();
        srand(77u);
        const lvtest::OwnedSlot plain(ap_from_double(c.mantissa_bits, c.exponent_bits, c.x));
        EXPECT_EQ(after_owner, rand()) << c.x;
        EXPECT_TRUE(same_slot(v.record(), *plain)) << c.x;
        EXPECT_EQ(v.to_double(), ap_to_double(plain.get())) << c.x;
    }
}

TEST(ValueOwner, WidthsThatHoldNoValueThrowAfterTheSameDraws) {
    const Conversion table[] = {{1.0, 0, 16},  {1.0, -1, 16},  {1.0, 4096, 0},
                                {1.0, 4096, 64}, {1.0, INT_MAX, 16}};
    for (const auto &c : table) {
        const int owner = draws_made([&] {
            EXPECT_THROW(lumivane::Value(c.x, c.mantissa_bits, c.exponent_bits),
                         std::invalid_argument);
        });
        const int plain = draws_made(
            [&] { lvtest::OwnedSlot(ap_from_double(c.mantissa_bits, c.exponent_bits, c.x)); });
        EXPECT_EQ(owner, plain) << c.mantissa_bits << " " << c.exponent_bits;
    }
}

// Each step leaves every live value owning its own buffers; the sanitizer
// sees any buffer released twice or never.
TEST(ValueOwner, CopyMoveSwapAndSelfAssignmentKeepOneOwnerPerBuffer) {
    lumivane::Value a(1.0), b(0.5);
    EXPECT_EQ(draws_made([&] { lumivane::Value c(a); }), 0);  // copies draw nothing
    lumivane::Value copy(a);
    copy.add(b);  // 1.5 in the copy only
    EXPECT_EQ(a.to_double(), 1.0);
    EXPECT_EQ(copy.to_double(), 1.5);
    EXPECT_NE(copy.words().data(), a.words().data());

    auto &self = a;
    a = self;  // self copy-assignment
    a = std::move(self);  // self move-assignment
    EXPECT_EQ(a.to_double(), 1.0);
    b = copy;  // copy-assignment releases b's old buffers
    EXPECT_EQ(b.to_double(), 1.5);
    lumivane::Value moved(std::move(copy));
    EXPECT_FALSE(copy);
    EXPECT_EQ(copy.get(), nullptr);
    EXPECT_THROW((void)copy.to_double(), std::logic_error);
    copy = a;  // a moved-from value takes a copy again
    EXPECT_EQ(copy.to_double(), 1.0);
    swap(moved, copy);
    EXPECT_EQ(moved.to_double(), 1.0);
    EXPECT_EQ(copy.to_double(), 1.5);
    moved = std::move(copy);  // move-assignment releases moved's old buffers
    EXPECT_EQ(moved.to_double(), 1.5);

    Slot *raw = moved.release();  // back to C: released by the caller
    lumivane::Value again = lumivane::Value::adopt(raw);
    EXPECT_EQ(again.get(), raw);
    const auto early_return = [&] {
        lumivane::Value local(again);
        if (local.to_double() > 0) throw std::runtime_error("early");
        return local;
    };
    EXPECT_THROW(early_return(), std::runtime_error);
}

TEST(LatticeOwner, CountsOutsideTheDomainThrowInvalidArgument) {
    const std::pair<int32_t, int32_t> table[] = {{0, 4}, {4, 0}, {-1, 4}, {INT32_MAX, 2},
                                                 {1048576, 2048}};
    for (const auto &[n, w] : table)
        EXPECT_THROW((lumivane::Lattice{n, w}), std::invalid_argument) << n << " x " << w;
}

TEST(LatticeOwner, MoveOnlyOwnerReadsTheRecordsGlobalFields) {
    lumivane::Lattice a(64, 4), b(8, 2);
    EXPECT_EQ(a.declared_slots(), 256);
    EXPECT_EQ(a.num_chunks(), 1);
    EXPECT_EQ(a.phase_var(), 1000000.0);
    EXPECT_EQ(a.get()->chunks[0], nullptr);  // nothing materialised by the owner

    ::Lattice *raw_b = b.get();
    auto &self = a;
    a = std::move(self);
    EXPECT_EQ(a.num_instances(), 64);
    a = std::move(b);  // releases a's lattice
    EXPECT_EQ(a.get(), raw_b);
    EXPECT_FALSE(b);
    EXPECT_THROW(b.sweep(), std::logic_error);
    EXPECT_THROW((void)b.declared_slots(), std::logic_error);
    lumivane::Lattice c(a.release());
    EXPECT_EQ(c.declared_slots(), 16);
}

TEST(CheckpointOwner, SavesAsCheckpointAddDoes) {
    lumivane::Lattice lattice(4, 4);  // checkpoint_add reads only the global fields
    lumivane::CheckpointLog owned;
    CheckpointLog *plain = checkpoint_init();
    ::testing::internal::CaptureStdout();
    for (int32_t evo = 1; evo <= 11; ++evo) {  // the eleventh prunes
        owned.add(evo, lattice);
        checkpoint_add(plain, evo, lattice.get());
    }
    (void)::testing::internal::GetCapturedStdout();
    ASSERT_EQ(owned.size(), 10u);
    for (std::size_t i = 0; i < owned.size(); ++i)
        EXPECT_EQ(std::pair(owned[i].evo, owned[i].weight),
                  std::pair(plain->snapshots[i].evo, plain->snapshots[i].weight));
    EXPECT_THROW((void)owned.at(10), std::out_of_range);
    lumivane::CheckpointLog taken(std::move(owned));
    EXPECT_THROW(owned.add(1, lattice), std::logic_error);
    checkpoint_free(plain);
}

// The walk of the examples, through the owners and then through the C calls
// from the same seed: the same slots, global fields and draws.
TEST(ChunkOwners, SweepsFoldAndRangeEqualTheCCalls) {
    constexpr double dt = lumivane::nominal_step;
    srand(2026u);
    std::vector<lumivane::Value> slots;
    double globals[4];
    {
        lumivane::Lattice lattice(64, 4);
        for (int i = 0; i < 5; ++i) lattice.sweep(dt);
        lattice.fold();
        for (int i = 0; i < 5; ++i) lattice.sweep(dt);
        for (Slot &s : lattice.slots()) slots.emplace_back(s);
        EXPECT_EQ(&lattice.slot(300), lattice.find_slot(300));
        globals[0] = lattice.omega(), globals[1] = lattice.time();
        globals[2] = lattice.phase_var(), globals[3] = lattice.consensus_steps();
    }
    const int after_owner = rand();

    srand(2026u);
    const lvtest::OwnedLattice plain(lattice_init(64, 4));
    for (int i = 0; i < 5; ++i) lattice_integrate_rk4(plain.get(), dt);
    lattice_fold(plain.get());
    for (int i = 0; i < 5; ++i) lattice_integrate_rk4(plain.get(), dt);
    EXPECT_EQ(after_owner, rand());
    ASSERT_EQ(slots.size(), 512u);
    for (int32_t k = 0; k < 512; ++k)
        ASSERT_TRUE(same_slot(slots[k].record(), *lattice_get_slot(plain.get(), k))) << k;
    const double plain_globals[4] = {plain->omega, plain->time, plain->phase_var,
                                     static_cast<double>(plain->consensus_steps)};
    EXPECT_EQ(std::memcmp(globals, plain_globals, sizeof globals), 0);
}

TEST(ChunkOwners, SlotIndexesOutsideTheLatticeThrowOutOfRange) {
    {
        lumivane::Lattice lattice(64, 4);
        const int32_t outside[] = {-1, INT32_MIN, SLOTS_PER_CHUNK, INT32_MAX};
        for (const int32_t k : outside) {
            EXPECT_THROW((void)lattice.slot(k), std::out_of_range) << k;
            EXPECT_EQ(lattice.find_slot(k), nullptr) << k;
        }
        const int32_t inside[] = {0, 255, 256, SLOTS_PER_CHUNK - 1};  // 256 on: not declared
        for (const int32_t k : inside)
            EXPECT_EQ(&lattice.slot(k), lattice_get_slot(lattice.get(), k));
    }
    // An early return from a scope that holds a materialised lattice and a
    // value copied out of it releases both (one chunk live at a time).
    const auto early_return = [] {
        lumivane::Lattice local(8, 4);
        lumivane::Value copied(local.slot(3));
        throw std::runtime_error("early");
    };
    EXPECT_THROW(early_return(), std::runtime_error);
}

}  // namespace
