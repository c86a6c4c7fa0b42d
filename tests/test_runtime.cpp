// test_runtime.cpp: the random source, the xorshift step, the monotonic clock and deadline sleeps.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include <sys/time.h>

#include "support.h"

namespace {

// ---------------------------------------------------------------------------
// det_rand: one xorshift step (13, 7, 17).

TEST(RuntimeDetRand, OneStepFromOne) {
    // 1 -> 1 ^ 1<<13 = 8193 -> 8193 ^ 8193>>7 = 8257 -> 8257 ^ 8257<<17 = 1082269761
    EXPECT_EQ(1u ^ (1u << 13), 8193u);
    EXPECT_EQ(8193u ^ (8193u >> 7), 8257u);
    EXPECT_EQ(8257ull ^ (8257ull << 17), 1082269761ull);
    EXPECT_EQ(det_rand(1), 1082269761ull);
}

TEST(RuntimeDetRand, EachShiftOnItsOwn) {
    // 2^60: both left shifts push everything out of the word; only >>7 adds 2^53.
    EXPECT_EQ(det_rand(uint64_t{1} << 60), (uint64_t{1} << 60) | (uint64_t{1} << 53));
    // 2^40: 2^40|2^53, then |2^33|2^46, then xored with itself moved up by 17.
    EXPECT_EQ(det_rand(uint64_t{1} << 40), 0x8224410200000000ull);
    // The right shift is logical: the top bit does not spread.
    EXPECT_EQ(det_rand(uint64_t{1} << 63), 0x8100000000000000ull);
    EXPECT_EQ(det_rand(UINT64_MAX), 1065361344ull);
    EXPECT_EQ(det_rand(0), 0u);
}

TEST(RuntimeDetRand, SequenceIsPureAndRepeatable) {
    const uint64_t expected[4] = {1082269761ull, 1152992998833853505ull, 11177516664432764457ull,
                                  17678023832001937445ull};
    uint64_t x = 1;
    for (uint64_t e : expected) {
        x = det_rand(x);
        EXPECT_EQ(x, e);
    }
    EXPECT_EQ(det_rand(1152992998833853505ull), 11177516664432764457ull);
    EXPECT_EQ(lvtest::draws_made([] { (void)det_rand(12345); }), 0);
}

// ---------------------------------------------------------------------------
// get_normalized_rand: one rand() draw over 2147483647.0.

TEST(RuntimeNormalizedRand, IsOneRandDrawScaled) {
    constexpr int kDraws = 5000;
    double got[kDraws];
    srand(777u);
    for (double &g : got) g = get_normalized_rand();
    srand(777u);
    for (int i = 0; i < kDraws; ++i) {
        const double expected = static_cast<double>(rand()) / 2147483647.0;
        ASSERT_EQ(got[i], expected) << "draw " << i;
        ASSERT_GE(got[i], 0.0) << "draw " << i;
        ASSERT_LE(got[i], 1.0) << "draw " << i;
    }
    EXPECT_EQ(lvtest::draws_made([] { (void)get_normalized_rand(); }), 1);
    EXPECT_EQ(lvtest::draws_made([] {
                  for (int i = 0; i < 10; ++i) (void)get_normalized_rand();
              }),
              10);
}

TEST(RuntimeNormalizedRand, FollowsTheSeed) {
    srand(1u);
    const double a = get_normalized_rand();
    srand(2u);
    const double b = get_normalized_rand();
    srand(1u);
    EXPECT_EQ(get_normalized_rand(), a);
    EXPECT_NE(a, b);
}

// ---------------------------------------------------------------------------
// get_rtc_ns: CLOCK_MONOTONIC in nanoseconds.

uint64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

TEST(RuntimeClock, ReadsTheMonotonicClockInNanoseconds) {
    for (int i = 0; i < 100; ++i) {
        const uint64_t before = monotonic_ns();
        const uint64_t ours = get_rtc_ns();
        const uint64_t after = monotonic_ns();
        ASSERT_LE(before, ours);
        ASSERT_LE(ours, after);
    }
}

TEST(RuntimeClock, NeverGoesBackwards) {
    uint64_t last = get_rtc_ns();
    for (int i = 0; i < 100000; ++i) {
        const uint64_t now = get_rtc_ns();
        ASSERT_GE(now, last);
        last = now;
    }
}

// ---------------------------------------------------------------------------
// rtc_sleep_until: one nanosleep up to an absolute monotonic deadline.

// Arms a one-shot SIGALRM with a handler that does nothing and no SA_RESTART,
// so a sleep in progress ends with EINTR; disarms and restores on exit.
class AlarmAfter {
public:
    explicit AlarmAfter(long usec) {
        struct sigaction sa{};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(SIGALRM, &sa, &old_);
        itimerval t{};
        t.it_value.tv_sec = usec / 1000000;
        t.it_value.tv_usec = usec % 1000000;
        setitimer(ITIMER_REAL, &t, nullptr);
    }
    ~AlarmAfter() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old_, nullptr);
    }
    AlarmAfter(const AlarmAfter &) = delete;
    AlarmAfter &operator=(const AlarmAfter &) = delete;

private:
    struct sigaction old_{};
};

TEST(RuntimeSleep, PastDeadlinesReturnAtOnce) {
    // An alarm guards the test: a sleep that should not happen is cut short
    // and shows up as -1 instead of hanging.
    AlarmAfter guard(3000000);
    const uint64_t now = get_rtc_ns();
    EXPECT_EQ(rtc_sleep_until(0), 0);
    EXPECT_EQ(rtc_sleep_until(now - 1000), 0);
    EXPECT_EQ(rtc_sleep_until(now), 0);
}

TEST(RuntimeSleep, DeadlinesAreComparedAsSigned) {
    // Read as signed, a deadline with the top bit set lies before any clock
    // reading, so there is nothing to wait for.
    AlarmAfter guard(3000000);
    EXPECT_EQ(rtc_sleep_until(UINT64_MAX), 0) << "slept towards a deadline that is negative as signed";
    EXPECT_EQ(rtc_sleep_until(uint64_t{1} << 63), 0);
}

TEST(RuntimeSleep, SleepsUntilAFutureDeadline) {
    const uint64_t deadline = get_rtc_ns() + 20000000;  // 20 ms ahead
    EXPECT_EQ(rtc_sleep_until(deadline), 0);
    EXPECT_GE(get_rtc_ns(), deadline);
}

TEST(RuntimeSleep, SplitsLongWaitsIntoSecondsAndNanoseconds) {
    // More than a second ahead: the wait must reach nanosleep as whole seconds
    // plus a nanosecond part below 10^9, or nanosleep refuses it.
    const uint64_t deadline = get_rtc_ns() + 1050000000;
    EXPECT_EQ(rtc_sleep_until(deadline), 0);
    EXPECT_GE(get_rtc_ns(), deadline);
}

TEST(RuntimeSleep, AnInterruptedSleepIsNotResumed) {
    const uint64_t deadline = get_rtc_ns() + 30000000000ull;  // 30 s ahead
    int result = 0;
    int error = 0;
    {
        AlarmAfter interrupt(20000);
        result = rtc_sleep_until(deadline);
        error = errno;
    }
    EXPECT_EQ(result, -1) << "the sleep ran on after the interruption";
    EXPECT_EQ(error, EINTR);
}

TEST(RuntimeSleep, DrawsNothing) {
    EXPECT_EQ(lvtest::draws_made([] {
                  (void)get_rtc_ns();
                  (void)rtc_sleep_until(get_rtc_ns() + 1000);
              }),
              0);
}

}  // namespace
