// test_apa_convert.cpp: conversion of a double into a freshly drawn
// high-precision slot.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "reference/slot.h"
#include "support.h"

using namespace lvtest;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Releases a converted slot: its buffers, then the record.
struct Converted {
    Slot *s = nullptr;
    Converted(int mantissa_bits, int exponent_bits, double x)
        : s(ap_from_double(mantissa_bits, exponent_bits, x)) {}
    ~Converted() {
        ap_free(s);
        std::free(s);
    }
    Converted(const Converted &) = delete;
    Converted &operator=(const Converted &) = delete;
};

// The fields a conversion takes over from its inner initialisation.
void expect_fresh_fields(const Slot &s, const lvref::Drawn &d, uint64_t words) {
    EXPECT_EQ(bits_of(s.base), bits_of(d.base));
    EXPECT_EQ(bits_of(s.phase), bits_of(d.phase));
    EXPECT_EQ(bits_of(s.omega), bits_of(d.omega));
    EXPECT_EQ(bits_of(s.amp_im), bits_of(d.amp_im));
    EXPECT_EQ(bits_of(s.phase_vel), bits_of(0.0));
    EXPECT_EQ(s.init_tag, 4096u);
    ASSERT_NE(s.num_words_mpi.words, nullptr);
    EXPECT_EQ(s.num_words_mpi.words[0], words);
    EXPECT_EQ(s.num_words_mpi.sign, 0);
    ASSERT_NE(s.aux_mpi.words, nullptr);
    EXPECT_EQ(s.aux_mpi.words[0], 0u);
    EXPECT_EQ(s.aux_mpi.sign, 0);
}

void expect_exponent_vector(const Slot &s) {
    ASSERT_NE(s.exponent_mpi.words, nullptr);
    EXPECT_EQ(s.exponent_mpi.word_count, 1u);
    EXPECT_EQ(s.exponent_mpi.words[0], magnitude(s.exponent));
    EXPECT_EQ(s.exponent_mpi.sign, s.exponent < 0 ? 1 : 0);
}

void expect_tail_zero(const Slot &s) {
    for (uint64_t i = 1; i < s.num_words; ++i) ASSERT_EQ(s.mantissa_words[i], 0u) << "word " << i;
}

struct Worked {
    const char *name;
    double x;
    uint64_t word0;
    int64_t exponent;
    uint32_t flags;
    double reads;
};

}  // namespace

TEST(ConvertWorked, KnownValues) {
    const Worked cases[] = {
        {"phi", 1.618033988749895, 0xCF1BBCDCBFA54000ULL, 1, 0, 1.618033988749895},
        {"pi", 3.141592653589793, 0xC90FDAA22168C000ULL, 2, 0, 3.141592653589793},
        {"one", 1.0, kTop, 1, 0, 1.0},
        {"minus 2.5", -2.5, 0xA000000000000000ULL, 2, FLAG_NEGATIVE, 2.5},
        {"quarter", 0.25, kTop, -1, 0, 0.25},
        {"2^1023", std::ldexp(1.0, 1023), kTop, 1024, 0, kInf},
        {"largest finite", std::numeric_limits<double>::max(), 0xFFFFFFFFFFFFF800ULL, 1024, 0, kInf},
        {"smallest subnormal", std::ldexp(1.0, -1074), kTop, -1073, 0, std::ldexp(1.0, -1074)},
        {"largest subnormal", std::ldexp(1.0, -1022) - std::ldexp(1.0, -1074),
         0xFFFFFFFFFFFFF000ULL, -1022, 0, std::ldexp(1.0, -1022) - std::ldexp(1.0, -1074)},
        {"smallest normal", std::ldexp(1.0, -1022), kTop, -1021, 0, std::ldexp(1.0, -1022)},
        {"NaN", std::numeric_limits<double>::quiet_NaN(), kTop, 0, 0, 0.5},
        {"negative NaN", -std::numeric_limits<double>::quiet_NaN(), kTop, 0, 0, 0.5},
        {"+inf", kInf, 0, 0, 0, 0.0},
        {"-inf", -kInf, 0, 0, FLAG_NEGATIVE, 0.0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const unsigned seed = 555u;
        const lvref::Drawn d = lvref::expected_draws(seed, 16);
        srand(seed);
        Converted r(4096, 16, c.x);
        ASSERT_NE(r.s, nullptr);
        const Slot &s = *r.s;
        ASSERT_EQ(s.num_words, 64u);
        EXPECT_EQ(s.mantissa_bits, 4096);
        EXPECT_EQ(s.exponent_bits, 16);
        EXPECT_EQ(s.mantissa_words[0], c.word0) << std::hex << s.mantissa_words[0];
        EXPECT_EQ(s.exponent, c.exponent);
        EXPECT_EQ(s.flags, c.flags);
        expect_tail_zero(s);
        expect_exponent_vector(s);
        expect_fresh_fields(s, d, 64);
        EXPECT_EQ(bits_of(ap_to_double(&s)), bits_of(c.reads)) << ap_to_double(&s);
    }
}

TEST(ConvertWorked, SignLivesOnlyInTheFlag) {
    Converted minus(4096, 16, -2.5);
    ASSERT_NE(minus.s, nullptr);
    ASSERT_NE(minus.s->exponent_mpi.words, nullptr);
    EXPECT_EQ(minus.s->exponent_mpi.words[0], 2u);
    EXPECT_EQ(minus.s->exponent_mpi.sign, 0) << "the exponent 2 is positive";
    EXPECT_EQ(ap_to_double(minus.s), 2.5);

    Converted quarter(4096, 16, 0.25);
    ASSERT_NE(quarter.s, nullptr);
    EXPECT_EQ(quarter.s->exponent_mpi.words[0], 1u);
    EXPECT_EQ(quarter.s->exponent_mpi.sign, 1);

    Converted neg_quarter(4096, 16, -0.25);
    ASSERT_NE(neg_quarter.s, nullptr);
    EXPECT_EQ(neg_quarter.s->exponent, -1);
    EXPECT_EQ(neg_quarter.s->flags, FLAG_NEGATIVE);
    EXPECT_EQ(neg_quarter.s->exponent_mpi.sign, 1);
}

TEST(ConvertZero, BothZerosGiveTheFreshlyDrawnSlot) {
    for (double zero : {0.0, -0.0}) {
        SCOPED_TRACE(std::signbit(zero) ? "-0.0" : "+0.0");
        for (unsigned seed : {1u, 77u, 4096u, 123456789u}) {
            SCOPED_TRACE(seed);
            const lvref::Drawn d = lvref::expected_draws(seed, 16);
            srand(seed);
            Converted r(4096, 16, zero);
            ASSERT_NE(r.s, nullptr);
            const Slot &s = *r.s;
            ASSERT_EQ(s.num_words, 64u);
            EXPECT_EQ(s.mantissa_words[0], d.word0);
            EXPECT_NE(s.mantissa_words[0] & kTop, 0u);
            EXPECT_EQ(s.exponent, d.exponent);
            EXPECT_EQ(s.flags, 0u) << "negative zero sets no flag";
            expect_tail_zero(s);
            expect_exponent_vector(s);
            expect_fresh_fields(s, d, 64);
            EXPECT_EQ(bits_of(ap_to_double(&s)), bits_of(lvref::reading(d.word0, d.exponent)));
        }
    }
}

TEST(ConvertDraws, SevenDrawsWhateverTheValue) {
    const double xs[] = {0.0,
                         -0.0,
                         1.0,
                         -2.5,
                         1e-310,
                         std::ldexp(1.0, 1023),
                         std::numeric_limits<double>::quiet_NaN(),
                         kInf,
                         -kInf,
                         std::numeric_limits<double>::denorm_min()};
    const int widths[][2] = {{4096, 16}, {1, 16}, {65, 8}, {4544, 30}, {4096, 63}};
    for (const auto &w : widths)
        for (double x : xs) {
            SCOPED_TRACE(std::to_string(w[0]) + "/" + std::to_string(w[1]) + " x=" +
                         std::to_string(x));
            const int n = lvtest::draws_made([&] { Converted r(w[0], w[1], x); });
            EXPECT_EQ(n, 7);
        }
}

TEST(ConvertFields, RandomFieldsComeFromTheInnerInitialisation) {
    const int widths[][2] = {{1, 16}, {64, 1}, {65, 8}, {4096, 16}, {4544, 30}, {4544, 63}};
    for (const auto &w : widths) {
        const uint64_t words = static_cast<uint64_t>((w[0] + 63) / 64);
        for (double x : {0.75, -1e300, 6.02214076e23, -std::ldexp(1.0, -1060)}) {
            SCOPED_TRACE(std::to_string(w[0]) + "/" + std::to_string(w[1]) + " x=" +
                         std::to_string(x));
            const unsigned seed = 900u + static_cast<unsigned>(w[0]);
            const lvref::Drawn d = lvref::expected_draws(seed, w[1]);
            srand(seed);
            Converted r(w[0], w[1], x);
            ASSERT_NE(r.s, nullptr);
            const Slot &s = *r.s;
            EXPECT_EQ(s.num_words, words);
            EXPECT_EQ(s.mantissa_bits, w[0]);
            EXPECT_EQ(s.exponent_bits, w[1]);
            expect_fresh_fields(s, d, words);
            expect_tail_zero(s);
            expect_exponent_vector(s);
            EXPECT_EQ(s.flags, x < 0 ? FLAG_NEGATIVE : 0u);
            // The exponent is the double's own, whatever the exponent width.
            int e = 0;
            std::frexp(x, &e);
            EXPECT_EQ(s.exponent, e);
        }
    }
}

TEST(ConvertFields, SameValueTwiceGivesSameNumberButNewDraws) {
    srand(2024u);
    Converted a(4096, 16, -7.25);
    Converted b(4096, 16, -7.25);
    ASSERT_NE(a.s, nullptr);
    ASSERT_NE(b.s, nullptr);
    EXPECT_EQ(a.s->mantissa_words[0], b.s->mantissa_words[0]);
    EXPECT_EQ(a.s->exponent, b.s->exponent);
    EXPECT_EQ(a.s->flags, b.s->flags);
    // The second result carries draws 8 to 14 of the sequence, after the
    // first initialisation's seven.
    const lvref::Drawn d = lvref::expected_draws(2024u, 16, true, 7);
    EXPECT_EQ(bits_of(b.s->base), bits_of(d.base));
    EXPECT_EQ(bits_of(b.s->phase), bits_of(d.phase));
    EXPECT_EQ(bits_of(b.s->omega), bits_of(d.omega));
    EXPECT_EQ(bits_of(b.s->amp_im), bits_of(d.amp_im));
    EXPECT_NE(bits_of(a.s->phase), bits_of(b.s->phase));
}

TEST(ConvertRoundTrip, FiniteValuesReadBackAsTheirMagnitude) {
    std::mt19937_64 gen(0x5eedULL);
    srand(1u);
    int checked = 0;
    int mismatches = 0;
    while (checked < 20000) {
        const uint64_t pattern = gen();
        const double x = std::bit_cast<double>(pattern);
        if (!std::isfinite(x) || x == 0.0) continue;
        int e = 0;
        std::frexp(x, &e);
        if (e >= 1024) continue;
        ++checked;
        Converted r(checked % 2 ? 4096 : 64, 16, x);
        ASSERT_NE(r.s, nullptr);
        const double got = ap_to_double(r.s);
        const bool ok = bits_of(got) == bits_of(std::fabs(x)) && r.s->exponent == e &&
                        (r.s->mantissa_words[0] & 0x7FFu) == 0 && (r.s->mantissa_words[0] & kTop) &&
                        r.s->flags == (x < 0 ? FLAG_NEGATIVE : 0u);
        if (!ok && ++mismatches <= 10)
            ADD_FAILURE() << "x=" << x << " (0x" << std::hex << pattern << std::dec << ") read "
                          << got << " word0 0x" << std::hex << r.s->mantissa_words[0] << std::dec
                          << " exponent " << r.s->exponent << " flags " << r.s->flags;
    }
    EXPECT_EQ(mismatches, 0);

    // Every power of two and its neighbours down through the subnormals.
    for (int k = -1074; k <= 1022; ++k) {
        for (double x : {std::ldexp(1.0, k), std::nextafter(std::ldexp(1.0, k), kInf),
                         std::nextafter(std::ldexp(1.0, k), 0.0)}) {
            if (x == 0.0) continue;
            Converted r(4096, 16, -x);
            ASSERT_NE(r.s, nullptr);
            ASSERT_EQ(bits_of(ap_to_double(r.s)), bits_of(x)) << "x=" << x;
        }
    }
}

TEST(ConvertDomain, WidthsOutsideTheDomainAnswerNull) {
    const int widths[][2] = {{4096, 0}, {4096, 64}, {4096, -1}, {-1, 16}, {INT_MIN, 16}, {0, 16}};
    for (const auto &w : widths) {
        SCOPED_TRACE(std::to_string(w[0]) + "/" + std::to_string(w[1]));
        testing::internal::CaptureStderr();
        Converted r(w[0], w[1], 1.5);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(r.s, nullptr);
    }
}

// The split is read off the bits; frexp is the plain way to the same words.
TEST(ConvertRoundTrip, WordAndExponentAgreeWithFrexp) {
    std::mt19937_64 gen(99);
    std::vector<double> xs = {5e-324, 1e-310, 2.225073858507201e-308, 2.2250738585072014e-308,
                              0.5, 1.0, -1.0, 0.1, 1.7976931348623157e308, -3e-320};
    for (int i = 0; i < 20000; ++i) {
        const double x = std::bit_cast<double>(gen());
        if (std::isfinite(x) && x != 0.0) xs.push_back(x);
    }
    for (uint64_t frac = 1; frac < (uint64_t{1} << 52); frac = frac * 3 + 1)
        xs.push_back(std::bit_cast<double>(frac));  // every subnormal width
    for (double x : xs) {
        int e = 0;
        const double f = std::frexp(x, &e);
        Slot *s = ap_from_double(64, 16, x);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->mantissa_words[0], static_cast<uint64_t>(std::fabs(f) * 18446744073709551616.0)) << x;
        EXPECT_EQ(s->exponent, e) << x;
        ap_free(s);
        free(s);
    }
}
