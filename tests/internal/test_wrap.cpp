// The sweep's phase wrap against the plain one (fmod by one turn, lifted when
// negative): the same bits for every phase, above all at the edges of the
// ranges where it skips fmod, where an off-by-one comparison would give the
// other end of the turn or the other sign of zero.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "apa/internal.h"
#include "dynamics/step.h"

namespace {

using lv::kTurn;

void expect_same_wrap(double phase) {
    const double fast = lv::wrap_phase_fast(phase);
    const double plain = lv::wrap_phase(phase);
    EXPECT_EQ(std::bit_cast<uint64_t>(fast), std::bit_cast<uint64_t>(plain))
        << "phase " << phase << " (" << std::hexfloat << phase << "): " << fast << " against "
        << plain << std::defaultfloat;
}

// A value and its neighbours on both sides.
void around(std::vector<double> &out, double x) {
    const double inf = std::numeric_limits<double>::infinity();
    out.push_back(x);
    double up = x, down = x;
    for (int k = 0; k < 3; ++k) {
        up = std::nextafter(up, inf);
        down = std::nextafter(down, -inf);
        out.push_back(up);
        out.push_back(down);
    }
}

TEST(PhaseWrap, EdgesOfTheExactRangesMatchTheBitsOfFmod) {
    std::vector<double> phases;
    for (const double edge : {0.0, -0.0, kTurn, -kTurn, 2.0 * kTurn, -2.0 * kTurn, 3.0 * kTurn,
                              0.5 * kTurn, -0.5 * kTurn})
        around(phases, edge);
    for (const double x : phases) expect_same_wrap(x);
}

TEST(PhaseWrap, SpecialAndFarValuesMatchTheBitsOfFmod) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const double x : {nan, -nan, inf, -inf, 1e-300, -1e-300, 4.9e-324, -4.9e-324, -1e-17,
                           1e17, -1e17, std::numeric_limits<double>::max(),
                           -std::numeric_limits<double>::max()})
        expect_same_wrap(x);
}

TEST(PhaseWrap, RandomPhasesAcrossSeveralTurnsMatchTheBitsOfFmod) {
    std::mt19937_64 gen(20261208);
    std::uniform_real_distribution<double> turns(-4.0 * kTurn, 4.0 * kTurn);
    for (int k = 0; k < 200000; ++k) expect_same_wrap(turns(gen));
}

}  // namespace

namespace {

// The run's powers of two are built from bits, not taken from pow: the same
// double as pow(2.0, e) for every exponent a slot can hold (widths up to 63
// bits), so no maths library's pow can change a run.
TEST(PowersOfTwo, EveryExponentAsPowGivesIt) {
    std::vector<int64_t> exponents;
    for (int64_t e = -1200; e <= 1200; ++e) exponents.push_back(e);
    for (int bits = 1; bits <= 63; ++bits) {
        const int64_t top = int64_t{1} << (bits - 1);
        exponents.insert(exponents.end(), {-top, top - 1, top});
    }
    for (const int64_t e : exponents)
        EXPECT_EQ(std::bit_cast<uint64_t>(lv::exact_pow2(e)),
                  std::bit_cast<uint64_t>(std::pow(2.0, static_cast<double>(e)))) << e;
}

}  // namespace
