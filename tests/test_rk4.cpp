// test_rk4.cpp: one RK4 step of a slot: integration, renormalisation, phase wrap, write-back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

#include "reference/step.h"
#include "support.h"

using namespace lvtest;

namespace {

constexpr double kTurn = 6.283185307179586;

OwnedSlot make_slot(double x, int mantissa_bits = 4096, int exponent_bits = 16) {
    OwnedSlot s(ap_from_double(mantissa_bits, exponent_bits, x));
    EXPECT_NE(s, nullptr);
    return s;
}

// A slot reading `x`, with the oscillator fields given.
OwnedSlot oscillator(double x, double amp_im, double phase, double phase_vel, double omega) {
    OwnedSlot s = make_slot(x);
    s->amp_im = amp_im;
    s->phase = phase;
    s->phase_vel = phase_vel;
    s->omega = omega;
    return s;
}

double first_draw(unsigned seed) {
    srand(seed);
    return get_normalized_rand();
}

// The slot that a step from `before` must leave, drawing from `seed`
// (reference/step.h).
OwnedSlot expected_after(const Slot &before, const NeighborLink *links, int n, double dt,
                         unsigned seed) {
    const double u = first_draw(seed);
    OwnedSlot out(lvref::stepped(before, links, n, dt, u));
    EXPECT_NE(out, nullptr);
    return out;
}

void step(Slot *s, const NeighborLink *links, int n, double dt, unsigned seed,
          double time = 0.0) {
    srand(seed);
    rk4_step(s, links, n, time, dt);
}

}  // namespace

TEST(Rk4, WorkedStepWithoutLinks) {
    for (unsigned seed : {1u, 77u, 4242u}) {
        OwnedSlot s = oscillator(1.0, 0.0, 0.0, 0.0, 1.0);
        const double u = first_draw(seed);
        step(s.get(), nullptr, 0, 0.1, seed);

        const double re = 0.9930244429332353 + (2.0 * u - 1.0) * 0.01;
        const double got = ap_to_double(s.get());
        EXPECT_EQ(got, re) << "seed " << seed;
        EXPECT_GE(got, 0.9830244429332353);
        EXPECT_LE(got, 1.0030244429332353);
        EXPECT_EQ(s->amp_im, 0.0);
        EXPECT_DOUBLE_EQ(s->phase, 0.005);
        EXPECT_EQ(s->phase_vel, 0.1);

        // The slot is the temporary that the conversion drew right after the
        // jitter: its words, exponent, flags, omega and base.
        srand(seed);
        (void)rand();
        OwnedSlot tmp(ap_from_double(4096, 16, re));
        EXPECT_EQ(s->mantissa_words[0], tmp->mantissa_words[0]);
        EXPECT_EQ(s->exponent, tmp->exponent);
        tmp->amp_im = s->amp_im;
        tmp->phase = s->phase;
        tmp->phase_vel = s->phase_vel;
        EXPECT_TRUE(lvtest::same_slot(*s, *tmp)) << "seed " << seed;
    }
}

TEST(Rk4, StepFollowsClassicStagesWithLinks) {
    const NeighborLink links[8] = {angle_link(0.3, 0.9),  angle_link(-0.4, 0.2), angle_link(1.7, 0.5),
                                   angle_link(2.5, 1.0),  angle_link(-2.9, 0.0), angle_link(0.05, 0.7),
                                   angle_link(4.0, 0.33), angle_link(-1.1, 0.61)};
    for (double dt : {LUMIVANE_NOMINAL_STEP, 0.01, 0.1}) {
        OwnedSlot s = oscillator(0.75, -0.2, 1.3, 0.4, 1.2);
        OwnedSlot want = expected_after(*s, links, 8, dt, 99u);
        step(s.get(), links, 8, dt, 99u);
        EXPECT_TRUE(lvtest::same_slot(*s, *want)) << "dt " << dt;
    }
}

// Many states, links and steps: the stages, their combination in the order
// ((k1 + 2 k2) + 2 k3) + k4 and the renormalisation, to the last bit.
TEST(Rk4, StepMatchesTheStagesBitForBit) {
    uint64_t x = 0x9E3779B97F4A7C15u;
    auto uniform = [&x](double lo, double hi) {
        x = det_rand(x);
        return lo + (hi - lo) * static_cast<double>(x >> 11) * 0x1.0p-53;
    };
    for (int i = 0; i < 300; ++i) {
        NeighborLink links[8];
        for (NeighborLink &l : links) l = angle_link(uniform(-7.0, 7.0), uniform(0.0, 1.0));
        const double dt = i % 3 == 0 ? uniform(1e-6, 1e-4) : uniform(1e-3, 0.1);
        OwnedSlot s = oscillator(uniform(0.01, 3.0), uniform(-0.5, 0.5), uniform(0.0, kTurn),
                                 uniform(-2.0, 2.0), uniform(1.0, 1.5));
        const unsigned seed = 1000u + static_cast<unsigned>(i);
        OwnedSlot want = expected_after(*s, links, 8, dt, seed);
        step(s.get(), links, 8, dt, seed);
        ASSERT_TRUE(lvtest::same_slot(*s, *want)) << "sample " << i;
    }
}

TEST(Rk4, OneDrawThenTheConversionsSeven) {
    OwnedSlot s = oscillator(0.6, 0.1, 0.5, 0.2, 1.1);
    EXPECT_EQ(lvtest::draws_made([&] { rk4_step(s.get(), nullptr, 0, 0.0, 0.05); }), 8);
    EXPECT_EQ(lvtest::draws_made([&] {
                  rk4_step(s.get(), nullptr, 0, 0.0, 0.05);
                  rk4_step(s.get(), nullptr, 0, 0.0, 0.05);
              }),
              16);
}

TEST(Rk4, PhaseWrapsIntoOneTurn) {
    struct Case {
        double phase, want;
    };
    // With no links, no phase velocity and no natural frequency the
    // integrated phase is the starting phase.
    const Case cases[] = {{-0.1, 6.183185307179587},
                          {7.0, 0.7168146928204138},
                          {-1e-17, 6.283185307179586},
                          {kTurn, 0.0},
                          {2.0 * kTurn + 0.5, std::fmod(2.0 * kTurn + 0.5, kTurn)},
                          {-3.0 * kTurn - 0.25, std::fmod(-3.0 * kTurn - 0.25, kTurn) + kTurn},
                          {3.0, 3.0}};
    for (const Case &c : cases) {
        OwnedSlot s = oscillator(0.5, 0.1, c.phase, 0.0, 0.0);
        step(s.get(), nullptr, 0, 0.1, 5u);
        EXPECT_EQ(s->phase, c.want) << "phase " << c.phase;
        EXPECT_GE(s->phase, 0.0);
        EXPECT_LE(s->phase, kTurn);
    }
    OwnedSlot s = oscillator(0.5, 0.1, std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0);
    step(s.get(), nullptr, 0, 0.1, 5u);
    EXPECT_TRUE(std::isnan(s->phase));
}

TEST(Rk4, TinyModulusIsKeptUnscaledAndStillDraws) {
    OwnedSlot s = oscillator(1e-12, 0.0, 0.0, 0.0, 1.0);
    OwnedSlot want = expected_after(*s, nullptr, 0, 0.1, 31u);
    EXPECT_EQ(lvtest::draws_made([&] { rk4_step(s.get(), nullptr, 0, 0.0, 0.1); }, 31u), 8);
    EXPECT_TRUE(lvtest::same_slot(*s, *want));
    EXPECT_NEAR(ap_to_double(s.get()), 0.9980019986673333e-12, 1e-27);  // no jitter of 0.01
    EXPECT_EQ(s->amp_im, 0.0);
}

// A real amplitude of exactly zero is written back as the temporary's own
// random value: the conversion of zero is the freshly drawn slot.
TEST(Rk4, ZeroAmplitudeWritesBackTheDrawnValue) {
    OwnedSlot s = oscillator(1.0, 0.0, 0.2, 0.0, 1.0);
    s->exponent = -5000;  // reads 0.0
    ASSERT_EQ(ap_to_double(s.get()), 0.0);
    step(s.get(), nullptr, 0, 0.1, 8u);

    srand(8u);
    (void)rand();
    OwnedSlot tmp(ap_from_double(4096, 16, 0.0));
    EXPECT_EQ(s->mantissa_words[0], tmp->mantissa_words[0]);
    EXPECT_EQ(s->exponent, tmp->exponent);
    EXPECT_EQ(s->flags, 0u);
    EXPECT_EQ(s->amp_im, 0.0);
    tmp->amp_im = s->amp_im;
    tmp->phase = s->phase;
    tmp->phase_vel = s->phase_vel;
    EXPECT_TRUE(lvtest::same_slot(*s, *tmp));
}

TEST(Rk4, InfiniteOrUndefinedAmplitudeComesBackAsOneHalf) {
    // Exponent beyond the double range reads +infinity; a zero word 0 there reads NaN.
    for (bool zero_word : {false, true}) {
        OwnedSlot s = oscillator(1.0, 0.05, 0.0, 0.0, 1.0);
        s->exponent = 2000;
        if (zero_word) s->mantissa_words[0] = 0;
        const double a = ap_to_double(s.get());
        ASSERT_TRUE(zero_word ? std::isnan(a) : std::isinf(a));
        EXPECT_EQ(lvtest::draws_made([&] { rk4_step(s.get(), nullptr, 0, 0.0, 0.1); }), 8);
        EXPECT_EQ(ap_to_double(s.get()), 0.5) << "zero word " << zero_word;
        EXPECT_EQ(s->mantissa_words[0], kTop);
        EXPECT_EQ(s->exponent, 0);
        EXPECT_EQ(s->flags, 0u);
        // The imaginary part is integrated but not renormalised (no jitter).
        EXPECT_NEAR(s->amp_im, 0.05 * 0.9980019986673333, 1e-17);
        EXPECT_DOUBLE_EQ(s->phase, 0.005);
        EXPECT_EQ(s->phase_vel, 0.1);
    }
}

TEST(Rk4, DecayedModulusIsCappedBeforeJitter) {
    OwnedSlot s = oscillator(4.0e6, 3.0e6, 0.0, 0.0, 1.0);
    OwnedSlot want = expected_after(*s, nullptr, 0, 0.1, 12u);
    step(s.get(), nullptr, 0, 0.1, 12u);
    EXPECT_TRUE(lvtest::same_slot(*s, *want));
    const double re = ap_to_double(s.get());
    const double mod = std::sqrt(re * re + s->amp_im * s->amp_im);
    EXPECT_GE(mod, 1000000.0 - 0.01 - 1e-6);
    EXPECT_LE(mod, 1000000.0 + 0.01 + 1e-6);
    EXPECT_NEAR(re / s->amp_im, 4.0 / 3.0, 1e-12);  // direction kept
}

TEST(Rk4, NegativeLengthFlipsBothPartsAndSetsNegative) {
    // A seed whose jitter is strongly negative.
    unsigned seed = 1;
    while (first_draw(seed) > 0.2) ++seed;
    OwnedSlot s = oscillator(0.0006, 0.0008, 0.0, 0.0, 1.0);
    s->flags = FLAG_LOCKED | FLAG_UNDERFLOW;
    OwnedSlot want = expected_after(*s, nullptr, 0, 0.1, seed);
    step(s.get(), nullptr, 0, 0.1, seed);
    EXPECT_TRUE(lvtest::same_slot(*s, *want));
    EXPECT_EQ(s->flags, FLAG_NEGATIVE);
    EXPECT_LT(s->amp_im, 0.0);
    EXPECT_GT(ap_to_double(s.get()), 0.0);  // the magnitude; the sign is the flag
    EXPECT_NEAR(ap_to_double(s.get()) / s->amp_im, -0.75, 1e-9);
}

TEST(Rk4, StepReplacesOmegaBaseAndFlags) {
    OwnedSlot s = oscillator(0.9, 0.02, 0.4, 0.1, 1.0);
    s->flags = FLAG_LOCKED | FLAG_OVERFLOW | FLAG_EXCLUDED | FLAG_UNDERFLOW;
    s->base = 99.0f;
    s->init_tag = 7;
    step(s.get(), nullptr, 0, 0.01, 21u);  // a locked slot is stepped all the same
    EXPECT_EQ(s->flags, 0u);
    EXPECT_NE(s->omega, 1.0);
    EXPECT_GE(s->omega, 1.0);
    EXPECT_LE(s->omega, 1.5);
    EXPECT_NE(s->base, 99.0f);
    EXPECT_EQ(s->init_tag, 4096);
    EXPECT_NE(s->phase, 0.4);

    // The next step integrates with the omega the first one left.
    OwnedSlot want = expected_after(*s, nullptr, 0, 0.01, 22u);
    step(s.get(), nullptr, 0, 0.01, 22u);
    EXPECT_TRUE(lvtest::same_slot(*s, *want));
}

TEST(Rk4, KeepsTheSlotsWidths) {
    OwnedSlot s = make_slot(0.7, 4544, 30);
    s->omega = 1.1;
    OwnedSlot want = expected_after(*s, nullptr, 0, 0.02, 3u);
    step(s.get(), nullptr, 0, 0.02, 3u);
    EXPECT_EQ(s->num_words, 71u);
    EXPECT_EQ(s->mantissa_bits, 4544);
    EXPECT_EQ(s->exponent_bits, 30);
    EXPECT_TRUE(lvtest::same_slot(*s, *want));
}

TEST(Rk4, TimeArgumentHasNoEffect) {
    const NeighborLink links[2] = {angle_link(0.5, 0.6), angle_link(-0.2, 0.9)};
    OwnedSlot a = oscillator(0.8, 0.1, 2.0, 0.3, 1.3);
    OwnedSlot b = clone(*a);
    step(a.get(), links, 2, 0.01, 64u, 0.0);
    step(b.get(), links, 2, 0.01, 64u, 12345.678);
    EXPECT_TRUE(lvtest::same_slot(*a, *b));
}

TEST(Rk4, NullSlotIsHarmless) {
    const NeighborLink links[8] = {};
    EXPECT_EQ(lvtest::draws_made([&] { rk4_step(nullptr, links, 8, 0.0, 0.1); }), 0);
}
