// test_owners.cpp: the owners of lumivane.hpp make the C calls they name (same
// draws, same records) and release each record exactly once. Leaks and double
// releases are left to AddressSanitizer, which the sanitizer build runs this
// under. Suites named Chunk* materialise a chunk (751 MB) and run apart.
#include <lumivane/lumivane.hpp>

#include <climits>
#include <sstream>
#include <tuple>

#include "support.h"

namespace {

using lvtest::draws_made;

struct Conversion {
    double x;
    int mantissa_bits, exponent_bits;
};

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

TEST(ValueOwner, AddOfUnequalWordCountsThrowsAndPrintsWithItsSign) {
    lumivane::Value wide(1.0), narrow(1.0, 64), minus(-2.5);
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(wide.add(narrow), std::invalid_argument);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(wide.to_double(), 1.0);
    std::ostringstream out;
    out << minus << " " << wide << " " << lumivane::Value(std::move(wide)) << " " << wide;
    EXPECT_EQ(out.str(), "-2.5 1 1 (empty)");
}

TEST(LatticeOwner, AConstLatticeReadsOnlyWhatIsMaterialised) {
    const lumivane::Lattice lattice(4, 4);
    EXPECT_FALSE(lattice.find_slot(0).has_value());
    EXPECT_THROW((void)lattice.slot(0), std::logic_error);
    EXPECT_THROW((void)lattice.slot(-1), std::out_of_range);
    EXPECT_THROW((void)*lattice.slots().begin(), std::logic_error);
    EXPECT_EQ(lattice.get()->chunks[0], nullptr);  // nothing materialised on the way
}

// The enum's values reach lattice_set_math_mode and come back from it; the
// process is left in the system mode.
TEST(MathMode, SetAnswersThePreviousModeAndCurrentReadsIt) {
    using lumivane::math_mode;
    ASSERT_EQ(lumivane::current_math_mode(), math_mode::system);
    const std::pair<math_mode, math_mode> table[] = {  // (set, answer)
        {math_mode::correct, math_mode::system}, {math_mode::correct, math_mode::correct},
        {math_mode::system, math_mode::correct}, {math_mode::system, math_mode::system}};
    for (const auto &[set, answer] : table) {
        const auto mode = static_cast<std::int32_t>(set);
        EXPECT_EQ(lumivane::set_math_mode(set), answer) << "set " << mode;
        EXPECT_EQ(lumivane::current_math_mode(), set) << "after setting " << mode;
        EXPECT_EQ(lattice_math_mode(), mode);
    }
    lumivane::set_math_mode(math_mode::system);
}

// Sweeps and folds through the owners are the examples' walk, which CI holds
// to the C host's output; here the indexes, the views and the range of
// declared slots.
TEST(ChunkOwners, SlotViewsAddressTheLatticesRecords) {
    {
        lumivane::Lattice lattice(64, 4);
        int32_t k = 0;
        for (lumivane::SlotView s : lattice.slots())
            EXPECT_EQ(s.get(), lattice_get_slot(lattice.get(), k++));
        EXPECT_EQ(k, 256);
        const auto slots = lattice.slots();
        EXPECT_EQ(slots.end() - slots.begin(), 256);
        EXPECT_EQ(slots[255].get(), lattice.slot(255).get());
        // Checked at full width: 2^32 narrowed to 32 bits would be slot 0.
        const int64_t outside[] = {-1, INT32_MIN, SLOTS_PER_CHUNK, INT32_MAX, int64_t{1} << 32,
                                   (int64_t{1} << 32) + 255, INT64_MIN};
        for (const int64_t k : outside) {
            EXPECT_THROW((void)lattice.slot(k), std::out_of_range) << k;
            EXPECT_FALSE(lattice.find_slot(k).has_value()) << k;
            EXPECT_THROW((void)slots.begin()[k], std::out_of_range) << k;
            if (k >= 0) {
                EXPECT_THROW((void)slots[static_cast<size_t>(k)], std::out_of_range) << k;
            }
        }
        const lumivane::Lattice &seen = lattice;  // reads the materialised chunk
        const int32_t inside[] = {0, 255, 256, SLOTS_PER_CHUNK - 1};  // 256 on: not declared
        for (const int32_t k : inside) {
            EXPECT_EQ(lattice.slot(k).get(), lattice_get_slot(lattice.get(), k));
            EXPECT_EQ(seen.slot(k).get(), lattice_get_slot(lattice.get(), k));
        }

        // The setters write the record; an excluded slot is passed over by the sweep.
        const lumivane::SlotView first = lattice.slot(0);
        first.set_phase(0.25);
        first.set_phase_vel(-0.5);
        first.set_amp_im(2.0);
        first.exclude();
        lattice.sweep();
        const lumivane::ConstSlotView after = seen.slot(0);
        EXPECT_EQ(std::tuple(after.phase(), after.phase_vel(), after.amp_im(), after.excluded()),
                  std::tuple(0.25, -0.5, 2.0, true));
        first.exclude(false);
        EXPECT_EQ(after.flags() & FLAG_EXCLUDED, 0u);
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
