// test_checkpoint.cpp: the bounded log of weighted snapshots: saving, ageing, pruning, release.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support.h"

namespace {

// 0.95 applied `times` times by repeated multiplication, as the log ages.
double aged(int times) {
    double w = 1.0;
    for (int i = 0; i < times; ++i) w *= 0.95;
    return w;
}

std::string four_places(double w) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4f", w);
    return buf;
}

std::string saved_line(int evo, int total, double var) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "[Checkpoint] Saved evo %d (total: %d, var=%.6f)\n", evo, total,
                  var);
    return buf;
}

std::string pruned_line(int evo, double weight) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "[Checkpoint] Pruned snapshot at evo %d (weight=%.4f)\n", evo,
                  weight);
    return buf;
}

// A log and a lattice without any materialised chunk: the log reads only the
// lattice's global fields, which the tests set by hand.
class Checkpoint : public ::testing::Test {
protected:
    void SetUp() override {
        lattice = lattice_init(1, 1);
        ASSERT_NE(lattice, nullptr);
        log = checkpoint_init();
        ASSERT_NE(log, nullptr);
    }
    void TearDown() override {
        checkpoint_free(log);
        lattice_free(lattice);
    }

    // Saves quietly and answers what the save printed.
    std::string save(int evo, double phase_var = 0.0, double omega = 0.0) {
        lattice->phase_var = phase_var;
        lattice->omega = omega;
        ::testing::internal::CaptureStdout();
        checkpoint_add(log, evo, lattice);
        return ::testing::internal::GetCapturedStdout();
    }

    std::vector<int> evos() const {
        std::vector<int> out;
        for (int i = 0; i < log->count; ++i) out.push_back(log->snapshots[i].evo);
        return out;
    }

    Lattice *lattice = nullptr;
    CheckpointLog *log = nullptr;
};

TEST_F(Checkpoint, StartsEmptyWithRoomForTen) {
    EXPECT_EQ(log->count, 0);
    EXPECT_EQ(log->capacity, 10);
    EXPECT_NE(log->snapshots, nullptr);
}

TEST_F(Checkpoint, SnapshotRecordsTheLatticeState) {
    const uint64_t before = get_rtc_ns();
    const std::string out = save(100, 0.123456789, 4.25e-3);
    const uint64_t after = get_rtc_ns();
    ASSERT_EQ(log->count, 1);
    const Snapshot &s = log->snapshots[0];
    EXPECT_EQ(s.evo, 100);
    EXPECT_EQ(s.phase_var, 0.123456789);
    EXPECT_EQ(s.omega, 4.25e-3);
    EXPECT_EQ(s.weight, 1.0);
    EXPECT_GE(s.timestamp_ns, before);
    EXPECT_LE(s.timestamp_ns, after);
    EXPECT_EQ(out, "[Checkpoint] Saved evo 100 (total: 1, var=0.123457)\n");
}

TEST_F(Checkpoint, SaveLineReportsTheNewTotalAndTheLatticeVariance) {
    EXPECT_EQ(save(7, 1000000.0), "[Checkpoint] Saved evo 7 (total: 1, var=1000000.000000)\n");
    EXPECT_EQ(save(-3, 2.5), "[Checkpoint] Saved evo -3 (total: 2, var=2.500000)\n");
    EXPECT_EQ(save(200, 0.0000004), "[Checkpoint] Saved evo 200 (total: 3, var=0.000000)\n");
}

TEST_F(Checkpoint, TimestampsNeverGoBackwards) {
    for (int i = 1; i <= 10; ++i) save(i * 100);
    for (int i = 1; i < log->count; ++i)
        EXPECT_GE(log->snapshots[i].timestamp_ns, log->snapshots[i - 1].timestamp_ns) << "index " << i;
}

TEST_F(Checkpoint, FourSavesAgeTheOlderWeights) {
    for (int evo : {100, 200, 300, 400}) save(evo, evo / 1000.0, evo * 1e-6);
    ASSERT_EQ(log->count, 4);
    EXPECT_EQ(evos(), (std::vector<int>{100, 200, 300, 400}));
    // Weights are repeated products, not pow(): compare them exactly.
    EXPECT_EQ(log->snapshots[0].weight, 0.95 * 0.95 * 0.95);
    EXPECT_EQ(log->snapshots[1].weight, 0.95 * 0.95);
    EXPECT_EQ(log->snapshots[2].weight, 0.95);
    EXPECT_EQ(log->snapshots[3].weight, 1.0);
    EXPECT_EQ(four_places(log->snapshots[0].weight), "0.8574");
    EXPECT_EQ(four_places(log->snapshots[1].weight), "0.9025");
    EXPECT_EQ(four_places(log->snapshots[2].weight), "0.9500");
    EXPECT_EQ(four_places(log->snapshots[3].weight), "1.0000");
    // Ageing touches only the weight.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(log->snapshots[i].phase_var, (i + 1) * 100 / 1000.0);
        EXPECT_EQ(log->snapshots[i].omega, (i + 1) * 100 * 1e-6);
    }
}

TEST_F(Checkpoint, SaveIntoAnEmptyLogAgesNothing) {
    // Entries past `count` are not in use; a save must not age them.
    log->snapshots[1].weight = 0.5;
    log->snapshots[9].weight = 0.25;
    EXPECT_EQ(save(1), saved_line(1, 1, 0.0));
    EXPECT_EQ(log->count, 1);
    EXPECT_EQ(log->snapshots[0].weight, 1.0);
    EXPECT_EQ(log->snapshots[1].weight, 0.5);
    EXPECT_EQ(log->snapshots[9].weight, 0.25);
}

TEST_F(Checkpoint, TenSavesFillTheLogWithoutPruning) {
    for (int i = 1; i <= 10; ++i) {
        const std::string out = save(i * 100, 0.5);
        EXPECT_EQ(out, saved_line(i * 100, i, 0.5)) << "save " << i;
    }
    ASSERT_EQ(log->count, 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(log->snapshots[i].weight, aged(9 - i)) << "index " << i;
}

TEST_F(Checkpoint, EleventhSavePrunesTheOldest) {
    for (int i = 1; i <= 10; ++i) save(i * 100, 0.5);
    const std::string out = save(1100, 0.75);
    EXPECT_EQ(aged(9), 0.6302494097246091);
    EXPECT_EQ(out, "[Checkpoint] Pruned snapshot at evo 100 (weight=0.6302)\n"
                   "[Checkpoint] Saved evo 1100 (total: 10, var=0.750000)\n");
    ASSERT_EQ(log->count, 10);
    EXPECT_EQ(evos(), (std::vector<int>{200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100}));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(log->snapshots[i].weight, aged(9 - i)) << "index " << i;
    EXPECT_EQ(log->snapshots[9].phase_var, 0.75);

    // The next save prunes the next oldest, with its own evo.
    EXPECT_EQ(save(1200), pruned_line(200, aged(9)) + saved_line(1200, 10, 0.0));
    EXPECT_EQ(log->snapshots[0].evo, 300);
    EXPECT_EQ(log->count, 10);
}

TEST_F(Checkpoint, PrunesTheLightestWhereverItIs) {
    for (int i = 1; i <= 10; ++i) save(i, i / 10.0, i * 1e-3);
    const double weights[10] = {0.9, 0.8, 0.7, 0.6, 0.55, 0.1, 0.3, 0.4, 0.5, 1.0};
    for (int i = 0; i < 10; ++i) log->snapshots[i].weight = weights[i];

    const std::string out = save(42, 0.25);
    EXPECT_EQ(out, pruned_line(6, 0.1) + saved_line(42, 10, 0.25));
    ASSERT_EQ(log->count, 10);
    // The later entries moved down one place, in order, with all their fields.
    EXPECT_EQ(evos(), (std::vector<int>{1, 2, 3, 4, 5, 7, 8, 9, 10, 42}));
    const int kept[9] = {0, 1, 2, 3, 4, 6, 7, 8, 9};
    for (int i = 0; i < 9; ++i) {
        const Snapshot &s = log->snapshots[i];
        EXPECT_EQ(s.weight, weights[kept[i]] * 0.95) << "index " << i;
        EXPECT_EQ(s.phase_var, (kept[i] + 1) / 10.0) << "index " << i;
        EXPECT_EQ(s.omega, (kept[i] + 1) * 1e-3) << "index " << i;
    }
    EXPECT_EQ(log->snapshots[9].weight, 1.0);
}

TEST_F(Checkpoint, EqualLightestWeightsPruneTheLowestIndex) {
    for (int i = 1; i <= 10; ++i) save(i);
    const double weights[10] = {0.9, 0.8, 0.3, 0.6, 0.3, 0.5, 0.3, 0.7, 0.8, 0.3};
    for (int i = 0; i < 10; ++i) log->snapshots[i].weight = weights[i];
    EXPECT_EQ(save(11), pruned_line(3, 0.3) + saved_line(11, 10, 0.0));
    EXPECT_EQ(evos(), (std::vector<int>{1, 2, 4, 5, 6, 7, 8, 9, 10, 11}));

    // All equal: index 0 goes.
    for (int i = 0; i < 10; ++i) log->snapshots[i].weight = 0.5;
    EXPECT_EQ(save(12), pruned_line(1, 0.5) + saved_line(12, 10, 0.0));
    EXPECT_EQ(log->snapshots[0].evo, 2);
}

TEST_F(Checkpoint, TheNewestEntryCanBeTheLightest) {
    for (int i = 1; i <= 10; ++i) save(i);
    for (int i = 0; i < 10; ++i) log->snapshots[i].weight = 0.9 - 0.05 * i;
    EXPECT_EQ(save(11), pruned_line(10, 0.45) + saved_line(11, 10, 0.0));
    EXPECT_EQ(evos(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 11}));
}

TEST_F(Checkpoint, ASmallerCapacityPrunesSooner) {
    log->capacity = 1;  // a host's choice; the array still has room for ten
    EXPECT_EQ(save(1), saved_line(1, 1, 0.0));
    EXPECT_EQ(save(2), pruned_line(1, 1.0) + saved_line(2, 1, 0.0));
    EXPECT_EQ(evos(), (std::vector<int>{2}));
    EXPECT_EQ(log->snapshots[0].weight, 1.0);
}

TEST_F(Checkpoint, ARaisedCapacityNeverReachesPastTheArray) {
    // The array has room for LUMIVANE_CHECKPOINT_CAPACITY entries, whatever a
    // host writes into capacity: the log stays full at ten.
    log->capacity = 1000;
    for (int i = 1; i <= 10; ++i) save(i);
    EXPECT_EQ(save(11), pruned_line(1, aged(9)) + saved_line(11, 10, 0.0));
    EXPECT_EQ(evos(), (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(log->capacity, 1000);
}

TEST_F(Checkpoint, ALogInAnImpossibleStateIsLeftAlone) {
    // Counts outside 0..capacity, no capacity, or no array: a save would
    // write outside the array or read entries that were never saved.
    save(1);
    Snapshot *const array = log->snapshots;
    const struct {
        int32_t count, capacity;
        bool array;
    } states[] = {{-1, 10, true}, {11, 10, true}, {11, 20, true},
                  {0, 0, true},   {0, -5, true},  {0, 10, false}};
    for (const auto &st : states) {
        SCOPED_TRACE(::testing::Message()
                     << st.count << "/" << st.capacity << (st.array ? "" : ", no array"));
        log->count = st.count;
        log->capacity = st.capacity;
        log->snapshots = st.array ? array : nullptr;
        EXPECT_EQ(save(2), "");
        EXPECT_EQ(log->count, st.count);
        EXPECT_EQ(log->capacity, st.capacity);
        EXPECT_EQ(log->snapshots, st.array ? array : nullptr);
    }
    log->snapshots = array;
    log->count = 1;
    log->capacity = 10;
    EXPECT_EQ(log->snapshots[0].evo, 1);
    EXPECT_EQ(log->snapshots[0].weight, 1.0);
}

TEST_F(Checkpoint, NullLogOrLatticeChangesNothing) {
    ::testing::internal::CaptureStdout();
    checkpoint_add(nullptr, 100, lattice);
    checkpoint_add(log, 100, nullptr);
    checkpoint_add(nullptr, 100, nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(log->count, 0);

    save(1);
    ::testing::internal::CaptureStdout();
    checkpoint_add(log, 2, nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(log->count, 1);
    EXPECT_EQ(log->snapshots[0].weight, 1.0);
}

TEST(CheckpointFree, AcceptsNullAndAFullLog) {
    checkpoint_free(nullptr);
    CheckpointLog *log = checkpoint_init();
    ASSERT_NE(log, nullptr);
    Lattice *lattice = lattice_init(1, 1);
    ASSERT_NE(lattice, nullptr);
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 25; ++i) checkpoint_add(log, i, lattice);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(log->count, 10);
    checkpoint_free(log);
    lattice_free(lattice);
}

TEST(CheckpointRandom, LogOperationsDrawNothing) {
    Lattice *lattice = lattice_init(1, 1);
    ASSERT_NE(lattice, nullptr);
    CheckpointLog *log = nullptr;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(lvtest::draws_made([&] {
                  log = checkpoint_init();
                  for (int i = 0; i < 12; ++i) checkpoint_add(log, i, lattice);
                  checkpoint_free(log);
              }),
              0);
    ::testing::internal::GetCapturedStdout();
    lattice_free(lattice);
}

}  // namespace
