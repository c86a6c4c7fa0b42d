// test_recursion.cpp: prismatic recursion, a weight over the prime and Fibonacci cycles.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <string>

#include "support.h"

namespace {

constexpr double kPhi = 1.618033988749895;
constexpr double kQuarterTurn = 1.5707963267948966;
// The largest factor any index can give: sqrt(2^15 x phi^15 x 987 x 53).
constexpr double kPeak15 = 1529074.974408568;
// F x p along the cycle of sixteen, Fibonacci numbers times primes.
constexpr double kFibTimesPrime[16] = {2,    3,    10,   21,   55,    104,   221,   399,
                                       782,  1595, 2759, 5328, 9553, 16211, 28670, 52311};

int euclid(int64_t i, int n) { return static_cast<int>(((i % n) + n) % n); }

// Times at which the sinusoid of `index` peaks (sin = 1) or bottoms out (sin = -1).
double peak_time(int32_t index) { return kQuarterTurn - static_cast<double>(index) * 0.01; }
double trough_time(int32_t index) { return -kQuarterTurn - static_cast<double>(index) * 0.01; }

class Recursion : public ::testing::Test {
protected:
    void SetUp() override {
        l = lattice_init(1, 1);
        ASSERT_NE(l, nullptr);
    }
    void TearDown() override { lattice_free(l); }

    double at(int32_t index, double time, double value) {
        l->time = time;
        return prismatic_recursion(l, index, value);
    }

    Lattice *l = nullptr;
};

}  // namespace

TEST_F(Recursion, WorkedValues) {
    // k 0, m 1, sinusoid 0: 256^(1/8) x sqrt(2 x 0.5).
    EXPECT_EQ(at(0, 0.0, 256.0), 2.0);
    // k 1, m 2: 16^(1/4) x sqrt(2 x phi x 3 x (0.5 sin 0.01 + 0.5)).
    EXPECT_DOUBLE_EQ(at(1, 0.0, 16.0), 4.428382177228714);
    // Sinusoid at its trough.
    EXPECT_EQ(at(0, -kQuarterTurn, 5.0), 0.0);
    // Sinusoid at one half: sqrt(2 x 0.75).
    EXPECT_NEAR(at(0, 0.5235987755982988, 1.0), std::sqrt(1.5), 1e-15);
    // Index 7: k 7, m 1 (7 mod 7 = 0); at the peak, 2 x sqrt(2^7 x phi^7 x 21 x 19).
    EXPECT_DOUBLE_EQ(at(7, peak_time(7), 256.0), 2435.444119132813);
    // Index 16: k 0 again but m 3, with the sinusoid at 0.16 + time.
    EXPECT_DOUBLE_EQ(at(16, peak_time(16), 256.0), 8.0 * std::sqrt(2.0));
    EXPECT_EQ(at(16, trough_time(16), 256.0), 0.0);
    // The largest factor: k 15 at the peak (value 1 gives g = 1 for any m).
    EXPECT_DOUBLE_EQ(at(15, peak_time(15), 1.0), kPeak15);
}

TEST_F(Recursion, CycleOfSixteenSelectsThePowersAndTables) {
    // At the sinusoid's peak and value 1, the square of the result over 2^k x phi^k
    // is F x p of the index's place in the cycle. Negative indexes take the
    // Euclidean remainder; the sinusoid keeps the index as given.
    double previous = 0.0;
    for (int32_t i = -48; i < 64; ++i) {
        const int k = euclid(i, 16);
        const double r = at(i, peak_time(i), 1.0);
        const double fp = r * r / (std::ldexp(1.0, k) * std::pow(kPhi, k));
        EXPECT_NEAR(fp, kFibTimesPrime[k], kFibTimesPrime[k] * 1e-12) << "index " << i << ", k " << k;
        EXPECT_LE(r, kPeak15 * (1 + 1e-15)) << "index " << i;
        if (k > 0) {
            EXPECT_GT(r, previous) << "peaks grow along the cycle, index " << i;
        }
        previous = r;
    }
}

TEST_F(Recursion, ExponentOfTheValueCyclesWithPeriodSeven) {
    // 256^(m/8) = 2^m and (1/256)^(m/8) = 2^-m exactly, so the results for 256
    // and 1/256 are the result for 1 scaled by exact powers of two.
    for (double time : {0.0, 0.3, -2.0}) {
        for (int32_t i = -300; i <= 300; ++i) {
            const int m = euclid(i, 7) + 1;
            const double one = at(i, time, 1.0);
            EXPECT_EQ(at(i, time, 256.0), std::ldexp(one, m)) << "index " << i << ", m " << m;
            EXPECT_EQ(at(i, time, 1.0 / 256.0), std::ldexp(one, -m)) << "index " << i;
            EXPECT_GE(one, 0.0);
        }
    }
}

TEST_F(Recursion, NegativeIndexTakesEuclideanRemainders) {
    // -1: k 15 and m 7, sinusoid at -0.01 + time.
    EXPECT_DOUBLE_EQ(at(-1, peak_time(-1), 256.0), 128.0 * kPeak15);
    EXPECT_DOUBLE_EQ(at(-1, 0.0, 256.0), 137702360.86306552);
    EXPECT_EQ(at(-1, trough_time(-1), 256.0), 0.0);
    // -7: k 9, m 1; -16: k 0, m 6.
    EXPECT_DOUBLE_EQ(at(-7, peak_time(-7), 256.0), 2.0 * std::sqrt(std::ldexp(1.0, 9) * std::pow(kPhi, 9) * 1595));
    EXPECT_DOUBLE_EQ(at(-16, peak_time(-16), 256.0), 64.0 * std::sqrt(2.0));
    // The extremes of the index: INT32_MIN gives k 0, m 6; INT32_MAX gives k 15, m 2.
    EXPECT_DOUBLE_EQ(at(INT32_MIN, peak_time(INT32_MIN), 256.0), 64.0 * std::sqrt(2.0));
    EXPECT_DOUBLE_EQ(at(INT32_MAX, peak_time(INT32_MAX), 256.0), 4.0 * kPeak15);
    EXPECT_EQ(at(INT32_MIN, trough_time(INT32_MIN), 256.0), 0.0);
}

TEST_F(Recursion, SinusoidTroughZeroesEveryIndexAndValue) {
    for (int32_t i = -40; i <= 40; ++i)
        for (double v : {1.0, 5.0, -3.25, 1e6})
            EXPECT_EQ(at(i, trough_time(i), v), 0.0) << "index " << i << ", value " << v;
}

TEST_F(Recursion, ValueSignIsIgnoredAndZeroGivesZero) {
    for (int32_t i : {0, 1, 6, 7, 15, 16, 111, -1, -8, -113}) {
        for (double time : {0.0, 0.7, peak_time(i)}) {
            EXPECT_EQ(at(i, time, 0.0), 0.0) << "index " << i;
            EXPECT_EQ(at(i, time, -0.0), 0.0) << "index " << i;
            for (double v : {0.5, 3.0, 1234.5678}) {
                const double pos = at(i, time, v);
                EXPECT_EQ(at(i, time, -v), pos) << "index " << i << ", value " << v;
                EXPECT_GT(pos, 0.0);
            }
        }
    }
}

TEST(RecursionLattice, NullLatticeAnswersZero) {
    for (int32_t i : {0, 1, 15, -1, INT32_MIN})
        for (double v : {0.0, 1.0, -256.0})
            EXPECT_FALSE(std::signbit(prismatic_recursion(nullptr, i, v)) ||
                         prismatic_recursion(nullptr, i, v) != 0.0)
                << "+0 for " << i << ", " << v;
}

TEST(RecursionLattice, ReadsOnlyTheTimeAndChangesNothing) {
    Lattice *a = lattice_init(1, 1);
    Lattice *b = lattice_init(4096, 4);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    b->omega = 12.5;
    b->consensus_steps = 42;
    b->phase_var = 0.001;
    a->time = b->time = 0.75;

    for (int32_t i : {0, 3, 9, 15, 77, -5})
        for (double v : {1.0, 2.5, -9.0})
            EXPECT_EQ(prismatic_recursion(a, i, v), prismatic_recursion(b, i, v)) << "index " << i;

    // A different time moves the sinusoid.
    const double before = prismatic_recursion(a, 3, 2.5);
    a->time = 1.75;
    EXPECT_NE(prismatic_recursion(a, 3, 2.5), before);

    // No draws, no slot touched, no field written.
    const Lattice copy = *b;
    double r = 0.0;
    EXPECT_EQ(lvtest::draws_made([&] { r = prismatic_recursion(b, 5, 3.0); }), 0);
    EXPECT_GT(r, 0.0);
    EXPECT_EQ(b->chunks, copy.chunks);
    EXPECT_EQ(b->chunks[0], nullptr);
    EXPECT_EQ(b->num_chunks, copy.num_chunks);
    EXPECT_EQ(b->num_instances, copy.num_instances);
    EXPECT_EQ(b->slots_per_instance, copy.slots_per_instance);
    EXPECT_EQ(b->omega, copy.omega);
    EXPECT_EQ(b->time, copy.time);
    EXPECT_EQ(b->consensus_steps, copy.consensus_steps);
    EXPECT_EQ(b->phase_var, copy.phase_var);
    EXPECT_EQ(b->last_update_ns, copy.last_update_ns);

    lattice_free(a);
    lattice_free(b);
}
