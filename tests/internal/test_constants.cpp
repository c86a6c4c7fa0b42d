// The two constants as the boot builds them: every field, and the random
// fields taken from the conversions' own slots, not from the slots made first.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "apa/internal.h"

namespace {

struct Drawn {
    float base;
    double phase, omega, amp_im;
};

// The random fields of the n-th fresh 4096/16 slot after srand(seed).
Drawn nth_fresh(unsigned seed, int n) {
    std::srand(seed);
    Drawn d{};
    for (int i = 0; i <= n; ++i) {
        Slot s = slot_init_apa(4096, 16);
        d = Drawn{s.base, s.phase, s.omega, s.amp_im};
        ap_free(&s);
    }
    return d;
}

void expect_constant(const Slot &c, uint64_t word0, int64_t exponent, const Drawn &d) {
    EXPECT_EQ(c.mantissa_bits, 4096);
    EXPECT_EQ(c.exponent_bits, 16);
    ASSERT_EQ(c.num_words, 64u);
    ASSERT_NE(c.mantissa_words, nullptr);
    EXPECT_EQ(c.mantissa_words[0], word0);
    for (int i = 1; i < 64; ++i) EXPECT_EQ(c.mantissa_words[i], 0u) << "word " << i;
    EXPECT_EQ(c.exponent, exponent);
    EXPECT_EQ(c.flags, 0u);
    ASSERT_NE(c.exponent_mpi.words, nullptr);
    EXPECT_EQ(c.exponent_mpi.words[0], static_cast<uint64_t>(exponent));
    EXPECT_EQ(c.exponent_mpi.sign, 0);
    ASSERT_NE(c.num_words_mpi.words, nullptr);
    EXPECT_EQ(c.num_words_mpi.words[0], 64u);
    ASSERT_NE(c.aux_mpi.words, nullptr);
    EXPECT_EQ(c.aux_mpi.words[0], 0u);
    EXPECT_EQ(c.init_tag, 4096);
    EXPECT_EQ(c.phase_vel, 0.0);
    EXPECT_EQ(c.base, d.base);
    EXPECT_EQ(c.phase, d.phase);
    EXPECT_EQ(c.omega, d.omega);
    EXPECT_EQ(c.amp_im, d.amp_im);
}

}  // namespace

TEST(Constants, HoldTheGoldenRatioAndPiWithTheConversionsDraws) {
    for (unsigned seed : {1u, 2024u}) {
        SCOPED_TRACE(seed);
        // Draw order: PHI's first slot, PI's first slot, PHI's conversion, PI's conversion.
        const Drawn phi = nth_fresh(seed, 2);
        const Drawn pi = nth_fresh(seed, 3);
        std::srand(seed);
        std::fflush(stdout);
        testing::internal::CaptureStdout();
        init_apa_constants();  // the second seed's call releases what the first built
        testing::internal::GetCapturedStdout();
        {
            SCOPED_TRACE("PHI");
            expect_constant(*lv::const_phi(), 0xCF1BBCDCBFA54000ULL, 1, phi);
        }
        {
            SCOPED_TRACE("PI");
            expect_constant(*lv::const_pi(), 0xC90FDAA22168C000ULL, 2, pi);
        }
        EXPECT_EQ(ap_to_double(lv::const_phi()), 1.618033988749895);
        EXPECT_EQ(ap_to_double(lv::const_pi()), 3.141592653589793);
    }
    ap_free(lv::const_phi());
    ap_free(lv::const_pi());
}
