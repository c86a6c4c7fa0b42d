// test_derivatives.cpp: the vector field of one slot's oscillator.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support.h"

using namespace lvtest;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Links whose every field is NaN: reading any of them poisons the result.
void poison(NeighborLink *links, int n) {
    for (int i = 0; i < n; ++i) links[i] = NeighborLink{kNaN, kNaN, kNaN, kNaN, kNaN};
}

}  // namespace

TEST(Deriv, NoLinksGiveDecayAndFreeRotation) {
    const SlotDerivative d = compute_derivatives(SlotState{2.0, -1.0, 0.25, 0.75}, nullptr, 0, 1.25);
    EXPECT_EQ(d.d_amp_re, -0.04);
    EXPECT_EQ(d.d_amp_im, 0.02);
    EXPECT_EQ(d.d_phase, 0.75);
    EXPECT_EQ(d.d_phase_vel, 1.25);
}

TEST(Deriv, ZeroOrNegativeCountLeavesLinksUnread) {
    NeighborLink links[4];
    poison(links, 4);
    const SlotState y{2.0, -1.0, 0.25, 0.75};
    for (int count : {0, -1, -8, std::numeric_limits<int32_t>::min()}) {
        const SlotDerivative d = compute_derivatives(y, links, count, 1.25);
        EXPECT_EQ(d.d_amp_re, -0.04) << "count " << count;
        EXPECT_EQ(d.d_amp_im, 0.02) << "count " << count;
        EXPECT_EQ(d.d_phase, 0.75) << "count " << count;
        EXPECT_EQ(d.d_phase_vel, 1.25) << "count " << count;
    }
}

TEST(Deriv, NullLinkArrayCountsAsNoLinks) {
    const SlotState y{0.3, 0.4, 1.0, 0.5};
    for (int count : {1, 8, 1000}) {
        const SlotDerivative d = compute_derivatives(y, nullptr, count, 1.0);
        EXPECT_EQ(d.d_amp_re, -0.02 * 0.3) << "count " << count;
        EXPECT_EQ(d.d_amp_im, -0.02 * 0.4) << "count " << count;
        EXPECT_EQ(d.d_phase, 0.5) << "count " << count;
        EXPECT_EQ(d.d_phase_vel, 1.0) << "count " << count;
    }
}

TEST(Deriv, QuarterTurnLinkDrivesImaginaryPartAndPhaseVelocity) {
    const NeighborLink l = angle_link(1.5707963267948966, 0.5);
    const SlotDerivative d = compute_derivatives(SlotState{1.0, 0.0, 0.0, 0.5}, &l, 1, 1.0);
    EXPECT_NEAR(d.d_amp_re, -0.02, 1e-16);
    EXPECT_EQ(d.d_amp_im, 0.5);
    EXPECT_EQ(d.d_phase, 0.5);
    EXPECT_EQ(d.d_phase_vel, 2.0);
}

TEST(Deriv, AbsentNeighbourPullsOnlyThePhaseVelocity) {
    const NeighborLink l{};
    const SlotDerivative d = compute_derivatives(SlotState{0.3, 0.4, 1.0, 0.5}, &l, 1, 1.0);
    EXPECT_DOUBLE_EQ(d.d_amp_re, -0.006);
    EXPECT_DOUBLE_EQ(d.d_amp_im, -0.008);
    EXPECT_EQ(d.d_amp_re, -0.02 * 0.3);  // nothing added to the decay
    EXPECT_EQ(d.d_amp_im, -0.02 * 0.4);
    EXPECT_EQ(d.d_phase, 0.5);
    EXPECT_DOUBLE_EQ(d.d_phase_vel, 0.1585290151921035);
}

TEST(Deriv, ZeroCouplingStillPullsPhaseVelocity) {
    const NeighborLink l = angle_link(2.0, 0.0);
    const SlotDerivative d = compute_derivatives(SlotState{0.7, -0.2, 0.5, 0.0}, &l, 1, 1.5);
    EXPECT_EQ(d.d_amp_re, -0.02 * 0.7);
    EXPECT_EQ(d.d_amp_im, -0.02 * -0.2);
    EXPECT_DOUBLE_EQ(d.d_phase_vel, std::sin(1.5) + 1.5);
}

// The angle is the link's difference minus the state's own phase, not the
// difference alone, and not re-based on the neighbour's absolute phase.
TEST(Deriv, AngleIsLinkDifferenceMinusStatePhase) {
    const NeighborLink l = angle_link(1.0, 0.8);
    const SlotState y{0.0, 0.0, 0.25, 0.0};
    const SlotDerivative d = compute_derivatives(y, &l, 1, 0.0);
    EXPECT_DOUBLE_EQ(d.d_amp_re, 0.8 * std::cos(0.75));
    EXPECT_DOUBLE_EQ(d.d_amp_im, 0.8 * std::sin(0.75));
    EXPECT_DOUBLE_EQ(d.d_phase_vel, std::sin(0.75));

    // A state phase of zero leaves the link's difference as the angle.
    const SlotDerivative d0 = compute_derivatives(SlotState{0.0, 0.0, 0.0, 0.0}, &l, 1, 0.0);
    EXPECT_DOUBLE_EQ(d0.d_amp_re, 0.8 * std::cos(1.0));
    EXPECT_DOUBLE_EQ(d0.d_phase_vel, std::sin(1.0));
}

// Amplitude terms are weighted by the coupling, the sine sum is not; links
// add up and omega joins the sine sum.
TEST(Deriv, SeveralLinksSumWeightedAmplitudeAndUnweightedSine) {
    const NeighborLink links[3] = {angle_link(0.4, 0.25), angle_link(-1.3, 0.5), angle_link(2.9, 1.0)};
    const SlotState y{1.5, -0.5, 0.1, -0.3};
    const SlotDerivative d = compute_derivatives(y, links, 3, 1.2);
    double re = -0.02 * 1.5, im = -0.02 * -0.5, s = 0.0;
    for (const NeighborLink &l : links) {
        const double th = l.phase_delta - 0.1;
        re += l.coupling * std::cos(th);
        im += l.coupling * std::sin(th);
        s += std::sin(th);
    }
    EXPECT_DOUBLE_EQ(d.d_amp_re, re);
    EXPECT_DOUBLE_EQ(d.d_amp_im, im);
    EXPECT_EQ(d.d_phase, -0.3);
    EXPECT_DOUBLE_EQ(d.d_phase_vel, s + 1.2);

    // Only the first `count` links take part.
    const SlotDerivative d2 = compute_derivatives(y, links, 2, 1.2);
    EXPECT_DOUBLE_EQ(d2.d_phase_vel, std::sin(0.3) + std::sin(-1.4) + 1.2);
}

// The first three fields of a link travel with it but no term reads them.
TEST(Deriv, LinkAmplitudesAndRateDoNotEnterTheField) {
    NeighborLink plain = angle_link(0.9, 0.6);
    NeighborLink loaded = plain;
    loaded.amp_re = kNaN;
    loaded.amp_im = std::numeric_limits<double>::infinity();
    loaded.amp_rate = -8192.0;
    const SlotState y{0.4, 0.2, 0.3, 0.1};
    const SlotDerivative a = compute_derivatives(y, &plain, 1, 1.1);
    const SlotDerivative b = compute_derivatives(y, &loaded, 1, 1.1);
    EXPECT_EQ(a.d_amp_re, b.d_amp_re);
    EXPECT_EQ(a.d_amp_im, b.d_amp_im);
    EXPECT_EQ(a.d_phase, b.d_phase);
    EXPECT_EQ(a.d_phase_vel, b.d_phase_vel);
}

TEST(Deriv, NonFiniteValuesPropagate) {
    const SlotDerivative inf = compute_derivatives(
        SlotState{std::numeric_limits<double>::infinity(), 0.0, 0.0, 0.0}, nullptr, 0, 1.0);
    EXPECT_EQ(inf.d_amp_re, -std::numeric_limits<double>::infinity());

    const NeighborLink l = angle_link(0.5, kNaN);
    const SlotDerivative nan = compute_derivatives(SlotState{0.5, 0.5, 0.0, 0.0}, &l, 1, 1.0);
    EXPECT_TRUE(std::isnan(nan.d_amp_re));
    EXPECT_TRUE(std::isnan(nan.d_amp_im));
    EXPECT_DOUBLE_EQ(nan.d_phase_vel, std::sin(0.5) + 1.0);  // the sine sum is unweighted
}

TEST(Deriv, DrawsNothing) {
    const NeighborLink links[8] = {angle_link(0.1, 0.2), angle_link(0.3, 0.4), angle_link(0.5, 0.6), angle_link(0.7, 0.8),
                                   angle_link(0.9, 1.0), angle_link(1.1, 0.1), angle_link(1.3, 0.3), angle_link(1.5, 0.5)};
    EXPECT_EQ(lvtest::draws_made([&] {
                  (void)compute_derivatives(SlotState{1.0, 0.5, 0.2, 0.1}, links, 8, 1.3);
              }),
              0);
}

// Bit for bit the field as written, one link after another in order, for
// counts on both sides of every block boundary the implementation may use.
TEST(Deriv, AnyCountMatchesTheInOrderSumsExactly) {
    NeighborLink links[21];
    for (int j = 0; j < 21; ++j)
        links[j] = angle_link(std::ldexp(static_cast<double>((j * 7919) % 263) - 131.0, -4),
                              static_cast<double>((j * 37) % 11) / 10.0);
    const SlotState y{0.7, -0.3, 2.5, 0.4};
    for (int n = 1; n <= 21; ++n) {
        double re = -0.02 * y.amp_re, im = -0.02 * y.amp_im, s = 0.0;
        for (int j = 0; j < n; ++j) {
            double sn, cs;
            ::sincos(links[j].phase_delta - y.phase, &sn, &cs);
            re += links[j].coupling * cs;
            im += links[j].coupling * sn;
            s += sn;
        }
        const SlotDerivative d = compute_derivatives(y, links, n, 1.1);
        EXPECT_EQ(bits_of(d.d_amp_re), bits_of(re)) << "count " << n;
        EXPECT_EQ(bits_of(d.d_amp_im), bits_of(im)) << "count " << n;
        EXPECT_EQ(bits_of(d.d_phase_vel), bits_of(s + 1.1)) << "count " << n;
    }
}
