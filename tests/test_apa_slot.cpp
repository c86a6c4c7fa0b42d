// test_apa_slot.cpp: word vectors and the slot record: creation, release, deep
// copy and reading a slot as a double.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "reference/slot.h"
#include "support.h"

using namespace lvtest;

namespace {

// What a fresh slot must hold, recomputed from the generator's own sequence.
void expect_oscillator_fields(const Slot &s, const lvref::Drawn &d) {
    EXPECT_EQ(bits_of(s.base), bits_of(d.base)) << s.base << " vs " << d.base;
    EXPECT_EQ(bits_of(s.phase), bits_of(d.phase)) << s.phase << " vs " << d.phase;
    EXPECT_EQ(bits_of(s.omega), bits_of(d.omega)) << s.omega << " vs " << d.omega;
    EXPECT_EQ(bits_of(s.amp_im), bits_of(d.amp_im)) << s.amp_im << " vs " << d.amp_im;
    EXPECT_EQ(bits_of(s.phase_vel), bits_of(0.0));
}

void expect_vector(const Mpi &v, uint64_t value, uint8_t sign, const char *what) {
    SCOPED_TRACE(what);
    ASSERT_NE(v.words, nullptr);
    EXPECT_EQ(v.word_count, 1u);
    EXPECT_EQ(v.words[0], value);
    EXPECT_EQ(v.sign, sign);
}

const unsigned kSeeds[] = {1u, 2u, 42u, 12345u, 20240229u, 4000000000u};

}  // namespace

// ---------------------------------------------------------------------------
// slot_init_apa

TEST(ApaSlotInit, DefaultWidthsGiveTheDocumentedRecord) {
    for (unsigned seed : kSeeds) {
        SCOPED_TRACE(seed);
        const lvref::Drawn d = lvref::expected_draws(seed, 16, true);
        srand(seed);
        Slot s = slot_init_apa(4096, 16);

        EXPECT_EQ(s.mantissa_bits, 4096);
        EXPECT_EQ(s.exponent_bits, 16);
        ASSERT_EQ(s.num_words, 64u);
        ASSERT_NE(s.mantissa_words, nullptr);
        const uint64_t w0 = s.mantissa_words[0];
        EXPECT_NE(w0 & kTop, 0u) << "bit 63 of word 0 is always set";
        EXPECT_EQ(w0 & (uint64_t{1} << 31), 0u) << "r2 < 2^31 leaves bit 31 clear";
        EXPECT_EQ(w0, d.word0);
        for (uint64_t i = 1; i < 64; ++i) EXPECT_EQ(s.mantissa_words[i], 0u) << "word " << i;

        EXPECT_EQ(s.exponent, d.exponent);
        EXPECT_GE(s.exponent, -32768);
        EXPECT_LE(s.exponent, 32767);
        EXPECT_EQ(s.init_tag, 4096u);
        EXPECT_EQ(s.flags, 0u);
        expect_oscillator_fields(s, d);

        expect_vector(s.exponent_mpi, magnitude(s.exponent), s.exponent < 0 ? 1 : 0,
                      "exponent_mpi");
        expect_vector(s.num_words_mpi, 64, 0, "num_words_mpi");
        expect_vector(s.aux_mpi, 0, 0, "aux_mpi");

        // The ranges the fields are drawn over.
        EXPECT_GE(s.omega, 1.0);
        EXPECT_LE(s.omega, 1.5);
        EXPECT_GE(s.amp_im, 0.0);
        EXPECT_LE(s.amp_im, 0.1);
        EXPECT_GE(s.phase, 0.0);
        EXPECT_LE(s.phase, 6.283185307179586);
        EXPECT_GE(s.base, static_cast<float>(1.618033988749895));
        EXPECT_LE(s.base, static_cast<float>(1.628033988749895));
        ap_free(&s);
    }
}

TEST(ApaSlotInit, SevenDrawsForEveryWidthWithAMantissa) {
    const int widths[][2] = {{1, 16},    {64, 16},   {65, 16}, {4096, 16}, {4544, 30},
                             {4096, 1},  {4096, 31}, {4096, 32}, {4096, 63}, {128, 8}};
    for (const auto &w : widths) {
        SCOPED_TRACE(std::to_string(w[0]) + "/" + std::to_string(w[1]));
        for (unsigned seed : {7u, 99u}) {
            const int n = lvtest::draws_made(
                [&] {
                    Slot s = slot_init_apa(w[0], w[1]);
                    ap_free(&s);
                },
                seed);
            EXPECT_EQ(n, 7);
        }
    }
}

TEST(ApaSlotInit, EmptyMantissaSkipsTheWordDrawsAndSaysNothing) {
    const int n = lvtest::draws_made([] {
        Slot s = slot_init_apa(0, 16);
        ap_free(&s);
    });
    EXPECT_EQ(n, 5);

    const unsigned seed = 31337u;
    const lvref::Drawn d = lvref::expected_draws(seed, 16, false);
    srand(seed);
    testing::internal::CaptureStderr();
    Slot s = slot_init_apa(0, 16);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "") << "an empty mantissa is not an allocation failure";
    EXPECT_EQ(s.num_words, 0u);
    EXPECT_EQ(s.exponent, d.exponent) << "the exponent takes the first draw";
    EXPECT_EQ(s.init_tag, 4096u);
    EXPECT_EQ(s.flags, 0u);
    expect_oscillator_fields(s, d);
    expect_vector(s.exponent_mpi, magnitude(d.exponent), d.exponent < 0 ? 1 : 0, "exponent_mpi");
    expect_vector(s.num_words_mpi, 0, 0, "num_words_mpi");
    expect_vector(s.aux_mpi, 0, 0, "aux_mpi");
    EXPECT_EQ(bits_of(ap_to_double(&s)), bits_of(0.0));
    ap_free(&s);
}

TEST(ApaSlotInit, WordCountRoundsTheWidthUpToWholeWords) {
    const struct {
        int bits;
        uint64_t words;
    } cases[] = {{1, 1},     {63, 1},     {64, 1},     {65, 2},      {128, 2},
                 {129, 3},   {4095, 64},  {4096, 64},  {4097, 65},   {4544, 71}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bits);
        srand(5u);
        Slot s = slot_init_apa(c.bits, 16);
        EXPECT_EQ(s.num_words, c.words);
        EXPECT_EQ(s.mantissa_bits, c.bits);
        ASSERT_NE(s.mantissa_words, nullptr);
        EXPECT_NE(s.mantissa_words[0] & kTop, 0u);
        for (uint64_t i = 1; i < s.num_words; ++i) EXPECT_EQ(s.mantissa_words[i], 0u);
        expect_vector(s.num_words_mpi, c.words, 0, "num_words_mpi");
        ap_free(&s);
    }
}

TEST(ApaSlotInit, ExponentIsTheThirdDrawReducedToTheWidth) {
    for (int eb : {1, 2, 8, 16, 30, 31, 32, 40, 63}) {
        SCOPED_TRACE(eb);
        const int64_t half = static_cast<int64_t>(uint64_t{1} << (eb - 1));
        for (unsigned seed = 100; seed < 140; ++seed) {
            const lvref::Drawn d = lvref::expected_draws(seed, eb, true);
            srand(seed);
            Slot s = slot_init_apa(4544, eb);
            ASSERT_EQ(s.num_words, 71u);
            EXPECT_EQ(s.exponent, d.exponent) << "seed " << seed;
            EXPECT_GE(s.exponent, -half);
            EXPECT_LE(s.exponent, half - 1);
            EXPECT_EQ(s.mantissa_words[0], d.word0);
            expect_oscillator_fields(s, d);
            expect_vector(s.exponent_mpi, magnitude(d.exponent), d.exponent < 0 ? 1 : 0,
                          "exponent_mpi");
            ap_free(&s);
        }
    }
}

TEST(ApaSlotInit, WidestLatticeWidthsStayInRange) {
    // 4544 bits and 30 exponent bits: 71 words, exponent in [-2^29, 2^29 - 1].
    srand(2718u);
    for (int i = 0; i < 200; ++i) {
        Slot s = slot_init_apa(4544, 30);
        ASSERT_EQ(s.num_words, 71u);
        EXPECT_GE(s.exponent, -(int64_t{1} << 29));
        EXPECT_LE(s.exponent, (int64_t{1} << 29) - 1);
        for (uint64_t k = 1; k < 71; ++k) ASSERT_EQ(s.mantissa_words[k], 0u);
        ap_free(&s);
    }
}

TEST(ApaSlotInit, WidthsOutsideTheDomainGiveAnEmptySlotWithoutDraws) {
    const int widths[][2] = {{4096, 0},  {4096, 64}, {4096, -1}, {4096, INT_MIN},
                             {-1, 16},   {-64, 16},  {INT_MIN, 16}, {-1, 0},
                             // words counted as (bits + 63) / 64 would overflow an int
                             {INT_MAX - 62, 16}, {INT_MAX, 16}};
    for (const auto &w : widths) {
        SCOPED_TRACE(std::to_string(w[0]) + "/" + std::to_string(w[1]));
        Slot s{};
        testing::internal::CaptureStderr();
        const int n = lvtest::draws_made([&] { s = slot_init_apa(w[0], w[1]); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(n, 0);
        EXPECT_TRUE(lvtest::same_slot(s, Slot{}));
        EXPECT_EQ(s.mantissa_words, nullptr);
        EXPECT_EQ(s.exponent_mpi.words, nullptr);
        EXPECT_EQ(s.num_words_mpi.words, nullptr);
        EXPECT_EQ(s.aux_mpi.words, nullptr);
        EXPECT_EQ(bits_of(ap_to_double(&s)), bits_of(0.0));
        ap_free(&s);
    }
}

// ---------------------------------------------------------------------------
// ap_free

TEST(ApaFree, ReleasesBuffersAndKeepsTheOtherFields) {
    srand(77u);
    Slot s = slot_init_apa(4096, 16);
    s.flags = FLAG_LOCKED | FLAG_NEGATIVE;
    const Slot before = s;  // a plain copy of the scalars; its pointers are not used
    ap_free(&s);
    EXPECT_EQ(s.mantissa_words, nullptr);
    EXPECT_EQ(s.num_words, 0u);
    EXPECT_EQ(s.exponent_mpi.words, nullptr);
    EXPECT_EQ(s.exponent_mpi.word_count, 0u);
    EXPECT_EQ(s.num_words_mpi.words, nullptr);
    EXPECT_EQ(s.num_words_mpi.word_count, 0u);
    EXPECT_EQ(s.aux_mpi.words, nullptr);
    EXPECT_EQ(s.aux_mpi.word_count, 0u);
    EXPECT_EQ(s.exponent_mpi.sign, before.exponent_mpi.sign) << "a vector keeps its sign";

    EXPECT_EQ(s.exponent, before.exponent);
    EXPECT_EQ(s.flags, before.flags);
    EXPECT_EQ(s.init_tag, before.init_tag);
    EXPECT_EQ(bits_of(s.base), bits_of(before.base));
    EXPECT_EQ(s.mantissa_bits, 4096);
    EXPECT_EQ(s.exponent_bits, 16);
    EXPECT_EQ(bits_of(s.phase), bits_of(before.phase));
    EXPECT_EQ(bits_of(s.omega), bits_of(before.omega));
    EXPECT_EQ(bits_of(s.amp_im), bits_of(before.amp_im));
    EXPECT_EQ(bits_of(ap_to_double(&s)), bits_of(0.0));
}

TEST(ApaFree, ReleasingTwiceNullOrZeroFilledIsHarmless) {
    ap_free(nullptr);
    Slot zero{};
    ap_free(&zero);
    EXPECT_TRUE(lvtest::same_slot(zero, Slot{}));

    srand(3u);
    Slot s = slot_init_apa(4544, 30);
    ap_free(&s);
    const Slot once = s;
    ap_free(&s);
    EXPECT_TRUE(lvtest::same_slot(s, once));
    EXPECT_EQ(lvtest::draws_made([&] { ap_free(&s); }), 0);
}

// ---------------------------------------------------------------------------
// ap_copy

TEST(ApaCopy, DeepCopyOwnsItsBuffersAndOutlivesTheSource) {
    srand(4242u);
    Slot src = slot_init_apa(4544, 30);
    src.mantissa_words[5] = 0x0123456789abcdefULL;
    src.mantissa_words[70] = 0xfedcba9876543210ULL;
    src.flags = FLAG_NEGATIVE | FLAG_UNDERFLOW;
    src.phase_vel = -0.75;
    Slot dst{};
    EXPECT_EQ(lvtest::draws_made([&] { ap_copy(&dst, &src); }), 0);
    EXPECT_TRUE(lvtest::same_slot(dst, src));

    // Separate storage, all four buffers.
    EXPECT_NE(dst.mantissa_words, src.mantissa_words);
    EXPECT_NE(dst.exponent_mpi.words, src.exponent_mpi.words);
    EXPECT_NE(dst.num_words_mpi.words, src.num_words_mpi.words);
    EXPECT_NE(dst.aux_mpi.words, src.aux_mpi.words);
    dst.mantissa_words[5] = 0;
    dst.exponent_mpi.words[0] = 999;
    dst.aux_mpi.words[0] = 1;
    EXPECT_EQ(src.mantissa_words[5], 0x0123456789abcdefULL);
    EXPECT_EQ(src.exponent_mpi.words[0], magnitude(src.exponent));
    EXPECT_EQ(src.aux_mpi.words[0], 0u);
    dst.mantissa_words[5] = 0x0123456789abcdefULL;
    dst.exponent_mpi.words[0] = src.exponent_mpi.words[0];
    dst.aux_mpi.words[0] = 0;

    const double value = ap_to_double(&src);
    const Slot src_scalars = src;
    ap_free(&src);
    EXPECT_EQ(bits_of(ap_to_double(&dst)), bits_of(value));
    ASSERT_EQ(dst.num_words, 71u);
    EXPECT_EQ(dst.mantissa_words[70], 0xfedcba9876543210ULL);
    EXPECT_EQ(dst.exponent, src_scalars.exponent);
    ap_free(&dst);
    ap_free(&dst);
}

TEST(ApaCopy, NothingOfTheDestinationSurvives) {
    srand(8u);
    Slot dst = slot_init_apa(4544, 30);
    dst.flags = FLAG_LOCKED | FLAG_EXCLUDED | FLAG_OVERFLOW;
    dst.phase_vel = 3.5;
    Slot src = slot_init_apa(4096, 16);
    ASSERT_EQ(src.flags, 0u);
    ap_copy(&dst, &src);
    EXPECT_EQ(dst.flags, 0u) << "the locked bit goes with the rest of the word";
    EXPECT_EQ(dst.num_words, 64u);
    EXPECT_EQ(dst.mantissa_bits, 4096);
    EXPECT_EQ(dst.exponent_bits, 16);
    EXPECT_EQ(bits_of(dst.phase_vel), bits_of(0.0));
    EXPECT_TRUE(lvtest::same_slot(dst, src));
    ap_free(&src);
    ap_free(&dst);
}

TEST(ApaCopy, ReleasedAndZeroFilledSlotsAreValidDestinations) {
    srand(9u);
    Slot src = slot_init_apa(256, 12);
    Slot zero{};
    ap_copy(&zero, &src);
    EXPECT_TRUE(lvtest::same_slot(zero, src));

    Slot released = slot_init_apa(4096, 16);
    ap_free(&released);
    ap_copy(&released, &src);
    EXPECT_TRUE(lvtest::same_slot(released, src));

    // Copying a released slot gives a released slot: no words, reads 0.0.
    Slot gone = slot_init_apa(64, 16);
    ap_free(&gone);
    ap_copy(&zero, &gone);
    EXPECT_EQ(zero.num_words, 0u);
    EXPECT_EQ(bits_of(ap_to_double(&zero)), bits_of(0.0));
    EXPECT_EQ(zero.exponent, gone.exponent);

    ap_free(&zero);
    ap_free(&released);
    ap_free(&src);
}

TEST(ApaCopy, OntoItselfOrWithNullIsHarmless) {
    srand(10u);
    Slot s = slot_init_apa(4096, 16);
    s.mantissa_words[63] = 77;
    Slot keep{};
    ap_copy(&keep, &s);

    ap_copy(&s, &s);
    EXPECT_TRUE(lvtest::same_slot(s, keep)) << "copying a slot onto itself keeps its value";
    ap_copy(&s, nullptr);
    EXPECT_TRUE(lvtest::same_slot(s, keep));
    ap_copy(nullptr, &s);
    ap_copy(nullptr, nullptr);
    EXPECT_TRUE(lvtest::same_slot(s, keep));
    ap_free(&s);
    ap_free(&keep);
}

TEST(ApaCopy, SourceClaimingWordsWithoutStorageDoesNotCrash) {
    Slot src{};
    src.num_words = 5;  // as after a failed mantissa allocation
    src.exponent = 3;
    src.exponent_bits = 16;
    src.mantissa_bits = 320;
    mpi_init(&src.exponent_mpi, 1);
    mpi_init(&src.num_words_mpi, 1);
    mpi_init(&src.aux_mpi, 1);
    EXPECT_EQ(bits_of(ap_to_double(&src)), bits_of(0.0));

    srand(11u);
    Slot dst = slot_init_apa(4096, 16);
    ap_copy(&dst, &src);
    EXPECT_EQ(bits_of(ap_to_double(&dst)), bits_of(0.0));
    EXPECT_EQ(dst.exponent, 3);
    EXPECT_EQ(src.mantissa_words, nullptr) << "the source is not changed";
    ap_free(&dst);
    ap_free(&src);
}

// ---------------------------------------------------------------------------
// ap_to_double

TEST(ApaToDouble, SpecialValues) {
    EXPECT_EQ(bits_of(ap_to_double(nullptr)), bits_of(0.0));
    Slot zero{};
    EXPECT_EQ(bits_of(ap_to_double(&zero)), bits_of(0.0));

    srand(12u);
    Slot s = slot_init_apa(4096, 16);
    auto read = [&](uint64_t w0, int64_t e) {
        s.mantissa_words[0] = w0;
        s.exponent = e;
        return ap_to_double(&s);
    };
    EXPECT_EQ(read(0xCF1BBCDCBFA54000ULL, 1), 1.618033988749895);
    EXPECT_EQ(read(0xC90FDAA22168C000ULL, 2), 3.141592653589793);
    EXPECT_EQ(read(kTop, 1), 1.0);
    EXPECT_EQ(read(kTop, 0), 0.5);
    // The power is formed first: 2^1024 is already infinite.
    EXPECT_EQ(read(kTop, 1024), std::numeric_limits<double>::infinity());
    EXPECT_EQ(read(kTop, 1023), std::ldexp(1.0, 1022));
    EXPECT_TRUE(std::isnan(read(0, 1024)));
    EXPECT_TRUE(std::isnan(read(0, 40000)));
    EXPECT_EQ(bits_of(read(~uint64_t{0}, -1075)), bits_of(0.0));
    EXPECT_EQ(bits_of(read(kTop, -1074)), bits_of(0.0)) << "2^-1075 rounds to zero";
    EXPECT_EQ(read(kTop, -1073), std::ldexp(1.0, -1074));
    EXPECT_EQ(bits_of(read(0, 5)), bits_of(0.0));
    // Only word 0 counts.
    s.mantissa_words[1] = ~uint64_t{0};
    EXPECT_EQ(read(kTop, 1), 1.0);
    // The sign flag is never applied.
    s.flags = FLAG_NEGATIVE;
    EXPECT_EQ(read(0xA000000000000000ULL, 2), 2.5);
    s.flags = 0;

    ap_free(&s);
    EXPECT_EQ(bits_of(ap_to_double(&s)), bits_of(0.0)) << "a released slot reads 0.0";

    // Words claimed without storage read 0.0.
    Slot bare{};
    bare.num_words = 3;
    bare.exponent = 1;
    EXPECT_EQ(bits_of(ap_to_double(&bare)), bits_of(0.0));
}

TEST(ApaToDouble, AgreesBitForBitWithThePowerFormula) {
    srand(13u);
    Slot s = slot_init_apa(64, 16);
    const uint64_t words[] = {kTop,
                              ~uint64_t{0},
                              1,
                              0,
                              0xCF1BBCDCBFA54000ULL,
                              0x8000000000000401ULL,  // rounds when converted
                              0xFFFFFFFFFFFFFC00ULL,
                              0xFFFFFFFFFFFFFBFFULL,
                              0x0000000000000003ULL,
                              0x4000000000000000ULL,
                              0x9E3779B97F4A7C15ULL};
    int mismatches = 0;
    for (uint64_t w0 : words) {
        for (int64_t e = -1200; e <= 1200; ++e) {
            s.mantissa_words[0] = w0;
            s.exponent = e;
            const double want = lvref::reading(w0, e);
            const double got = ap_to_double(&s);
            const bool same = std::isnan(want) ? std::isnan(got) : bits_of(got) == bits_of(want);
            if (!same && ++mismatches <= 10)
                ADD_FAILURE() << "word0 0x" << std::hex << w0 << std::dec << " exponent " << e
                              << ": got " << got << ", want " << want;
        }
    }
    EXPECT_EQ(mismatches, 0);

    // The extremes of the exponent field.
    for (int64_t e : {INT64_MIN, INT64_MIN + 1, int64_t{-40000}, int64_t{40000}, INT64_MAX}) {
        for (uint64_t w0 : {kTop, uint64_t{0}, ~uint64_t{0}}) {
            s.mantissa_words[0] = w0;
            s.exponent = e;
            const double want = lvref::reading(w0, e);
            const double got = ap_to_double(&s);
            if (std::isnan(want))
                EXPECT_TRUE(std::isnan(got)) << e;
            else
                EXPECT_EQ(bits_of(got), bits_of(want)) << e << " " << w0;
        }
    }
    ap_free(&s);
}

// ---------------------------------------------------------------------------
// Word vectors

TEST(ApaMpi, InitGivesZeroedWordsAndClearsTheSign) {
    Mpi v{};
    v.sign = 1;
    mpi_init(&v, 4);
    ASSERT_NE(v.words, nullptr);
    EXPECT_EQ(v.word_count, 4u);
    EXPECT_EQ(v.sign, 0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(v.words[i], 0u);
    mpi_free(&v);
}

TEST(ApaMpi, FreeDropsStorageKeepsSignAndMayRepeat) {
    Mpi v{};
    mpi_init(&v, 1);
    mpi_set_value(&v, 17, 1);
    mpi_free(&v);
    EXPECT_EQ(v.words, nullptr);
    EXPECT_EQ(v.word_count, 0u);
    EXPECT_EQ(v.sign, 1);
    mpi_free(&v);
    EXPECT_EQ(v.words, nullptr);
    EXPECT_EQ(v.word_count, 0u);
}

TEST(ApaMpi, SetValueWritesWordZeroAndSign) {
    Mpi v{};
    mpi_init(&v, 2);
    mpi_set_value(&v, 0xdeadbeefcafef00dULL, 1);
    EXPECT_EQ(v.words[0], 0xdeadbeefcafef00dULL);
    EXPECT_EQ(v.words[1], 0u);
    EXPECT_EQ(v.sign, 1);
    mpi_set_value(&v, 5, 0);
    EXPECT_EQ(v.words[0], 5u);
    EXPECT_EQ(v.sign, 0);
    mpi_free(&v);

    // Without storage only the sign is recorded.
    Mpi bare{};
    mpi_set_value(&bare, 99, 1);
    EXPECT_EQ(bare.words, nullptr);
    EXPECT_EQ(bare.sign, 1);
}

TEST(ApaMpi, CopyIsIndependentAndReplacesTheDestination) {
    Mpi a{};
    mpi_init(&a, 3);
    a.words[0] = 11;
    a.words[2] = 33;
    a.sign = 1;
    Mpi b{};
    mpi_init(&b, 7);
    b.words[0] = 1234;
    mpi_copy(&b, &a);
    ASSERT_NE(b.words, nullptr);
    EXPECT_NE(b.words, a.words);
    EXPECT_EQ(b.word_count, 3u);
    EXPECT_EQ(b.sign, 1);
    EXPECT_EQ(b.words[0], 11u);
    EXPECT_EQ(b.words[1], 0u);
    EXPECT_EQ(b.words[2], 33u);
    b.words[0] = 0;
    EXPECT_EQ(a.words[0], 11u);
    mpi_free(&a);
    EXPECT_EQ(b.words[2], 33u);
    mpi_free(&b);
}

TEST(ApaMpi, NoWordsMeansNoBuffer) {
    Mpi v{};
    v.sign = 1;
    mpi_init(&v, 0);
    EXPECT_EQ(v.words, nullptr);
    EXPECT_EQ(v.word_count, 0u);
    EXPECT_EQ(v.sign, 0);

    Mpi d{};
    mpi_init(&d, 2);
    mpi_copy(&d, &v);
    EXPECT_EQ(d.words, nullptr);
    EXPECT_EQ(d.word_count, 0u);

    // A vector whose count says no words is not written, even with a buffer.
    uint64_t word = 42;
    Mpi host{&word, 0, 0};
    mpi_set_value(&host, 7, 1);
    EXPECT_EQ(word, 42u);
    EXPECT_EQ(host.sign, 1);
}

TEST(ApaMpi, CopyFromAVectorWithoutStorageKeepsCountAndSign) {
    Mpi src{nullptr, 1, 1};
    Mpi dst{};
    mpi_init(&dst, 1);
    mpi_copy(&dst, &src);
    EXPECT_EQ(dst.word_count, 1u);
    EXPECT_EQ(dst.sign, 1);
    mpi_free(&dst);
}

TEST(ApaMpi, NullVectorsAreHarmless) {
    mpi_init(nullptr, 1);
    mpi_free(nullptr);
    mpi_set_value(nullptr, 1, 1);
    Mpi v{};
    mpi_init(&v, 1);
    v.words[0] = 8;
    mpi_copy(nullptr, &v);
    mpi_copy(&v, nullptr);
    mpi_copy(nullptr, nullptr);
    ASSERT_NE(v.words, nullptr);
    EXPECT_EQ(v.words[0], 8u);
    EXPECT_EQ(v.word_count, 1u);
    mpi_free(&v);
}
