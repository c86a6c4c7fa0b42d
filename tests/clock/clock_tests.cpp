// clock_tests.cpp: the boot's pacing on a virtual clock.
//
// This executable brings its own clock_gettime and nanosleep, which the
// library's calls reach instead of the C library's. While the clock is on,
// a reading answers the virtual time and then moves it on by `tick` (the
// work between two readings), and a sleep records what it aimed at and moves
// the time on by its length without waiting. Off, both go to the kernel.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

#include "lumivane/lumivane.h"

namespace {

constexpr uint64_t kPace = 30517;

struct VirtualClock {
    bool on = false;
    uint64_t now = 0;
    uint64_t tick = 0;
    uint64_t last_read = 0;
    int64_t reads = 0;
    int64_t stall_read = -1;  // the reading before which the clock jumps by `stall`
    uint64_t stall = 0;
    std::vector<uint64_t> wake_targets;  // last reading + requested length, per sleep
};
VirtualClock vc;

}  // namespace

extern "C" int clock_gettime(clockid_t id, struct timespec *ts) noexcept {
    if (!vc.on) return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
    if (vc.reads++ == vc.stall_read) vc.now += vc.stall;
    vc.last_read = vc.now;
    ts->tv_sec = static_cast<time_t>(vc.now / 1000000000u);
    ts->tv_nsec = static_cast<long>(vc.now % 1000000000u);
    vc.now += vc.tick;
    return 0;
}

extern "C" int nanosleep(const struct timespec *req, struct timespec *rem) {
    if (!vc.on) return static_cast<int>(syscall(SYS_nanosleep, req, rem));
    const uint64_t length = static_cast<uint64_t>(req->tv_sec) * 1000000000u +
                            static_cast<uint64_t>(req->tv_nsec);
    vc.wake_targets.push_back(vc.last_read + length);
    vc.now += length;
    return 0;
}

namespace {

// A lattice that declares no slot: its sweeps visit nothing and read no clock.
class BootPacing : public ::testing::Test {
protected:
    void SetUp() override {
        lattice = lattice_init(1, 1);
        log = checkpoint_init();
        ASSERT_TRUE(lattice != nullptr && log != nullptr);
        lattice->num_instances = 0;
    }
    void TearDown() override {
        checkpoint_free(log);
        lattice_free(lattice);
    }

    // Boots `steps` sweeps on the virtual clock, from `t0`, with `tick`
    // nanoseconds between readings and an optional stall before one reading.
    void boot(int32_t steps, uint64_t t0, uint64_t tick, bool with_log = false,
              int64_t stall_read = -1, uint64_t stall = 0) {
        vc = VirtualClock{};
        vc.now = t0;
        vc.tick = tick;
        vc.stall_read = stall_read;
        vc.stall = stall;
        start = t0;  // the boot's first reading
        std::fflush(stdout);
        testing::internal::CaptureStdout();
        vc.on = true;
        bootloader_init_lattice(lattice, steps, with_log ? log : nullptr);
        vc.on = false;
        testing::internal::GetCapturedStdout();
    }
    // The deadline after sweep i.
    uint64_t deadline(int64_t i) const { return start + kPace * static_cast<uint64_t>(i + 1); }

    Lattice *lattice = nullptr;
    CheckpointLog *log = nullptr;
    uint64_t start = 0;
};

}  // namespace

TEST_F(BootPacing, EachSweepSleepsUntilItsAbsoluteDeadline) {
    // Started just before a whole second: the first deadlines cross it.
    boot(300, 1'999'990'000, 100);
    std::vector<uint64_t> want;
    for (int i = 0; i < 300; ++i) want.push_back(deadline(i));
    EXPECT_EQ(vc.wake_targets, want);
}

TEST_F(BootPacing, ASlowSweepIsCaughtUpNotForgiven) {
    // Reading 11 is sweep 10's: it comes five paces and a bit late. The
    // deadlines that passed meanwhile (sweeps 10 to 14) are not slept for,
    // and from sweep 15 on the schedule is the original one.
    boot(300, 7'000'000'000, 100, false, 11, 5 * kPace + 1234);
    std::vector<uint64_t> want;
    for (int i = 0; i < 300; ++i)
        if (i < 10 || i > 14) want.push_back(deadline(i));
    EXPECT_EQ(vc.wake_targets, want);
}

TEST_F(BootPacing, SweepsSlowerThanThePaceNeverSleep) {
    boot(200, 3'000'000'000, 40000);
    EXPECT_TRUE(vc.wake_targets.empty());
    // The boot took exactly its readings' time: the start and one per sweep.
    EXPECT_EQ(vc.now - start, 201u * 40000u);
}

TEST_F(BootPacing, SnapshotsReadTheClockWithoutMovingTheSchedule) {
    boot(500, 11'000'000'000, 100, true);
    ASSERT_EQ(vc.wake_targets.size(), 500u);
    for (int i = 0; i < 500; ++i) EXPECT_EQ(vc.wake_targets[i], deadline(i)) << "sweep " << i;
    // Each snapshot is taken right after the previous sweep's sleep ended.
    ASSERT_EQ(log->count, 4);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(log->snapshots[k].evo, 100 * (k + 1));
        EXPECT_EQ(log->snapshots[k].timestamp_ns, deadline(100 * (k + 1) - 1) + 100)
            << "snapshot " << k;
    }
}

// Our own main: the library exports the fixed run's, which would win over gtest_main's.
int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
