// test_apa_arith.cpp: mantissa arithmetic (right shift, normalisation,
// addition) checked against GMP and the plain models of reference/arith.h.
#include <gmp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "reference/arith.h"
#include "support.h"

using namespace lvtest;

namespace {

using lvgmp::to_mpz;
using lvgmp::Words;
using lvgmp::Z;

std::string hex(const Words &w) {
    std::ostringstream o;
    o << std::hex << "[";
    for (size_t i = 0; i < w.size(); ++i) o << (i ? " " : "") << w[i];
    o << "]";
    return o.str();
}

// --- GMP bridges ----------------------------------------------------------

// Values that do not fit their words are a fault of the test itself.
Words from_mpz(const mpz_t z, size_t n) {
    bool fits = true;
    Words out = lvgmp::from_mpz(z, n, &fits);
    if (!fits) ADD_FAILURE() << "value does not fit in " << n << " words";
    return out;
}

// GMP limbs run least significant first.
std::vector<mp_limb_t> to_limbs(const Words &w) { return {w.rbegin(), w.rend()}; }
Words from_limbs(const std::vector<mp_limb_t> &l) { return {l.rbegin(), l.rend()}; }

// --- random mantissas -----------------------------------------------------

Words random_words(std::mt19937_64 &g, size_t n, int pattern) {
    Words w(n);
    switch (pattern % 7) {
        case 0:  // uniform
            for (auto &x : w) x = g();
            break;
        case 1:  // sparse: many zero words, single bits
            for (auto &x : w) x = (g() % 2) ? 0 : (g() % 3 ? uint64_t{1} << (g() % 64) : g());
            break;
        case 2:  // all ones: every addition carries through
            std::fill(w.begin(), w.end(), ~uint64_t{0});
            break;
        case 3: {  // leading zero words, then random
            const size_t k = g() % (n + 1);
            for (size_t i = 0; i < n; ++i) w[i] = i < k ? 0 : g() >> (g() % 64);
            break;
        }
        case 4:  // only the top bit
            w[0] = kTop;
            break;
        case 5:  // only the lowest bit
            w[n - 1] = 1;
            break;
        default:  // top-heavy words near a carry
            for (auto &x : w) x = ~uint64_t{0} - (g() % 4);
            break;
    }
    return w;
}

// --- hand-built slots -----------------------------------------------------

using lvref::slot_of;  // hand-built slots
using lvref::words_of;

// Releases a hand-built or initialised slot at the end of a scope.
struct Owned {
    Slot s;
    explicit Owned(Slot x) : s(x) {}
    ~Owned() { ap_free(&s); }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
};

// --- the models (reference/arith.h) --------------------------------------

using lvref::normalize_by_leading_zeros;
using lvref::normalize_by_single_bits;
using lvref::Value;

// Stops a property loop at the first mismatch with the case spelled out.
#define REPORT_ONCE(cond, ...)                    \
    do {                                          \
        if (!(cond)) {                            \
            ADD_FAILURE() << __VA_ARGS__;         \
            return;                               \
        }                                         \
    } while (0)

}  // namespace

// ===========================================================================
// ap_shift_right_legacy

TEST(ArithShift, MatchesGmpForEveryDistance) {
    std::mt19937_64 g(101);
    for (size_t n = 1; n <= 71; ++n) {
        for (int pattern : {0, 1, 3, 6}) {
            const Words w = random_words(g, n, pattern);
            Z z;
            to_mpz(z.v, w);
            const int64_t last = static_cast<int64_t>(64 * n + 10);
            for (int64_t bits = -3; bits <= last; ++bits) {
                Words got = w;
                ap_shift_right_legacy(got.data(), n, bits);
                Words want = w;
                if (bits > 0) {
                    Z q;
                    mpz_tdiv_q_2exp(q.v, z.v, static_cast<mp_bitcnt_t>(bits));
                    want = from_mpz(q.v, n);
                }
                REPORT_ONCE(got == want, "n=" << n << " bits=" << bits << " of " << hex(w)
                                              << ": got " << hex(got) << " want " << hex(want));
                if (bits >= 1 && bits <= 63) {
                    auto limbs = to_limbs(w);
                    mpn_rshift(limbs.data(), limbs.data(), static_cast<mp_size_t>(n),
                               static_cast<unsigned>(bits));
                    REPORT_ONCE(got == from_limbs(limbs),
                                "mpn_rshift disagrees at n=" << n << " bits=" << bits);
                }
            }
        }
    }
}

TEST(ArithShift, WholeWordMovesAndCarriesBetweenWords) {
    const uint64_t x = 0x0123456789abcdefULL, y = 0xfedcba9876543210ULL;
    Words w{x, y};
    ap_shift_right_legacy(w.data(), 2, 64);
    EXPECT_EQ(w, (Words{0, x}));
    w = {x, y};
    ap_shift_right_legacy(w.data(), 2, 65);
    EXPECT_EQ(w, (Words{0, x >> 1}));
    w = {1, 0};
    ap_shift_right_legacy(w.data(), 2, 1);
    EXPECT_EQ(w, (Words{0, kTop}));
    w = {x, y, 7};
    ap_shift_right_legacy(w.data(), 3, 68);
    EXPECT_EQ(w, (Words{0, x >> 4, (x << 60) | (y >> 4)}));
}

TEST(ArithShift, NonPositiveEmptyOrHugeCounts) {
    const Words orig{0x8000000000000001ULL, 0x4000000000000002ULL};
    for (int64_t bits : {int64_t{0}, int64_t{-1}, int64_t{-64}, int64_t{-129}, INT64_MIN}) {
        Words w = orig;
        ap_shift_right_legacy(w.data(), 2, bits);
        EXPECT_EQ(w, orig) << "a shift by " << bits << " changes nothing";
    }
    Words w = orig;
    ap_shift_right_legacy(w.data(), 0, 5);
    EXPECT_EQ(w, orig) << "no words, nothing to shift";
    for (int64_t bits : {int64_t{128}, int64_t{129}, int64_t{1} << 40, INT64_MAX}) {
        w = orig;
        ap_shift_right_legacy(w.data(), 2, bits);
        EXPECT_EQ(w, (Words{0, 0})) << bits;
    }
    // Only the first n words take part.
    Words longer{kTop, kTop, kTop};
    ap_shift_right_legacy(longer.data(), 2, 200);
    EXPECT_EQ(longer, (Words{0, 0, kTop}));
    // Null storage is left alone.
    ap_shift_right_legacy(nullptr, 4, 3);
    ap_shift_right_legacy(nullptr, 0, 3);
}

// ===========================================================================
// ap_normalize_legacy

TEST(ArithNormalize, MatchesSingleBitStepsAndLeadingZeroCount) {
    std::mt19937_64 g(202);
    int cases = 0;
    for (int round = 0; round < 6000; ++round) {
        const int eb = std::vector<int>{1, 2, 3, 7, 16, 16, 16, 30}[g() % 8];
        const size_t n = round % 10 == 0 ? 71 : 1 + g() % 8;
        const int64_t min = -(int64_t{1} << (eb - 1));
        const int64_t max = (int64_t{1} << (eb - 1)) - 1;
        Words w = random_words(g, n, static_cast<int>(g() % 7));
        if (g() % 40 == 0) std::fill(w.begin(), w.end(), 0);
        // Mostly near the bottom of the range, where the stop matters.
        int64_t e;
        const int where = static_cast<int>(g() % 4);
        if (where == 0)
            e = min - static_cast<int64_t>(g() % 5);
        else if (where == 1 || eb < 8)
            e = min + static_cast<int64_t>(g() % (64 * n + 70));
        else if (where == 2)
            e = min + static_cast<int64_t>(g() % static_cast<uint64_t>(max - min + 1));
        else
            e = max;
        if (std::all_of(w.begin(), w.end(), [](uint64_t x) { return x == 0; }) && e - min > 70000)
            continue;  // keeps the single-bit model quick
        ++cases;
        const uint32_t flags = (g() % 2) ? FLAG_LOCKED | FLAG_NEGATIVE : 0u;
        Owned s(slot_of(w, e, eb));
        s.s.flags = flags;
        const uint64_t exp_word = s.s.exponent_mpi.words[0];
        ap_normalize_legacy(&s.s);

        Value model{w, e, flags};
        normalize_by_single_bits(model, eb);
        const Value lz = normalize_by_leading_zeros(Value{w, e, flags}, eb);
        REPORT_ONCE(lz.w == model.w && lz.exponent == model.exponent && lz.flags == model.flags,
                    "the two models disagree for " << hex(w) << " e=" << e << " eb=" << eb);
        REPORT_ONCE(words_of(s.s) == model.w && s.s.exponent == model.exponent &&
                        s.s.flags == model.flags,
                    "eb=" << eb << " e=" << e << " words " << hex(w) << ": got " << hex(words_of(s.s))
                          << " e=" << s.s.exponent << " flags=" << s.s.flags << "; want "
                          << hex(model.w) << " e=" << model.exponent << " flags=" << model.flags);
        REPORT_ONCE(s.s.exponent_mpi.words[0] == exp_word,
                    "normalisation alone leaves exponent_mpi as it was");
    }
    EXPECT_GT(cases, 5000);
}

TEST(ArithNormalize, WorkedCases) {
    {
        Owned s(slot_of({uint64_t{1} << 62}, 5));
        ap_normalize_legacy(&s.s);
        EXPECT_EQ(s.s.mantissa_words[0], kTop);
        EXPECT_EQ(s.s.exponent, 4);
        EXPECT_EQ(s.s.flags, 0u);
        EXPECT_EQ(s.s.exponent_mpi.words[0], 5u) << "exponent_mpi is not refreshed here";
    }
    {
        Owned s(slot_of({0, kTop, 0}, 100));
        ap_normalize_legacy(&s.s);
        EXPECT_EQ(words_of(s.s), (Words{kTop, 0, 0}));
        EXPECT_EQ(s.s.exponent, 36);
        EXPECT_EQ(s.s.flags, 0u);
    }
    {
        // Bits from lower words move up across word boundaries.
        Owned s(slot_of({0, 0x0000000000000003ULL, 0xC000000000000000ULL}, 0));
        ap_normalize_legacy(&s.s);
        EXPECT_EQ(words_of(s.s), (Words{0xF000000000000000ULL, 0, 0}));
        EXPECT_EQ(s.s.exponent, -126);
    }
}

TEST(ArithNormalize, SetTopBitMeansNoChangeWhateverTheExponent) {
    for (int64_t e : {int64_t{-40000}, int64_t{-32768}, int64_t{0}, int64_t{32768}, INT64_MIN, INT64_MAX}) {
        Owned s(slot_of({kTop | 5, 9}, e));
        ap_normalize_legacy(&s.s);
        EXPECT_EQ(words_of(s.s), (Words{kTop | 5, 9}));
        EXPECT_EQ(s.s.exponent, e);
        EXPECT_EQ(s.s.flags, 0u);
    }
}

TEST(ArithNormalize, UnderflowStopsAtTheSmallestExponent) {
    {
        // An all-zero mantissa descends to the minimum and then takes exponent 0.
        for (int64_t e : {int64_t{32767}, int64_t{0}, int64_t{-32768}, int64_t{-40000}}) {
            Owned s(slot_of({0, 0, 0}, e));
            ap_normalize_legacy(&s.s);
            EXPECT_EQ(words_of(s.s), (Words{0, 0, 0}));
            EXPECT_EQ(s.s.exponent, 0) << "from " << e;
            EXPECT_EQ(s.s.flags, FLAG_UNDERFLOW);
        }
        Owned wide(slot_of({0, 0}, int64_t{1} << 61, 63));
        ap_normalize_legacy(&wide.s);
        EXPECT_EQ(wide.s.exponent, 0);
        EXPECT_EQ(wide.s.flags, FLAG_UNDERFLOW);
    }
    {
        // Word 0 = 1 at the minimum: left unshifted, flagged, exponent kept.
        Owned s(slot_of({1, 0}, -32768));
        s.s.flags = FLAG_LOCKED;
        ap_normalize_legacy(&s.s);
        EXPECT_EQ(words_of(s.s), (Words{1, 0}));
        EXPECT_EQ(s.s.exponent, -32768);
        EXPECT_EQ(s.s.flags, FLAG_LOCKED | FLAG_UNDERFLOW);
    }
    {
        // Ten steps of room: the top bit is not reached, word 0 is non-zero.
        Owned s(slot_of({1, 0}, -32758));
        ap_normalize_legacy(&s.s);
        EXPECT_EQ(words_of(s.s), (Words{uint64_t{1} << 10, 0}));
        EXPECT_EQ(s.s.exponent, -32768);
        EXPECT_EQ(s.s.flags, FLAG_UNDERFLOW);
    }
    {
        // Only word 0 is tested: a non-zero lower word still ends at exponent 0.
        Owned s(slot_of({0, 1}, -32758));
        ap_normalize_legacy(&s.s);
        EXPECT_EQ(words_of(s.s), (Words{0, uint64_t{1} << 10}));
        EXPECT_EQ(s.s.exponent, 0);
        EXPECT_EQ(s.s.flags, FLAG_UNDERFLOW);
    }
    {
        // Exactly enough room: the last step sets the top bit, no underflow.
        Owned s(slot_of({1}, -32768 + 63));
        ap_normalize_legacy(&s.s);
        EXPECT_EQ(words_of(s.s), (Words{kTop}));
        EXPECT_EQ(s.s.exponent, -32768);
        EXPECT_EQ(s.s.flags, 0u);
    }
}

TEST(ArithNormalize, SlotsWithoutWordsOrStorageAreLeftAlone) {
    Slot empty{};
    empty.exponent = 7;
    empty.exponent_bits = 16;
    ap_normalize_legacy(&empty);
    EXPECT_EQ(empty.exponent, 7);
    EXPECT_EQ(empty.flags, 0u);

    Slot bare{};
    bare.num_words = 4;  // words claimed, no storage
    bare.exponent = 7;
    bare.exponent_bits = 16;
    ap_normalize_legacy(&bare);
    EXPECT_EQ(bare.exponent, 7);
    EXPECT_EQ(bare.flags, 0u);
    EXPECT_EQ(bare.mantissa_words, nullptr);

    ap_normalize_legacy(nullptr);
}

// ===========================================================================
// ap_add_legacy

namespace {

void check_add(const Words &aw, int64_t ae, const Words &bw, int64_t be, int eb, uint32_t a_flags,
               uint32_t b_flags, bool *ok) {
    *ok = false;
    Owned a(slot_of(aw, ae, eb));
    Owned b(slot_of(bw, be, 16));  // b's own width plays no part
    a.s.flags = a_flags;
    b.s.flags = b_flags;
    Slot b_before{};
    ap_copy(&b_before, &b.s);
    const Slot a_before = a.s;  // scalars only

    ap_add_legacy(&a.s, &b.s);

    const Value want = lvref::add(Value{aw, ae, a_flags}, Value{bw, be, b_flags}, eb);
    const bool b_same = lvtest::same_slot(b.s, b_before);
    ap_free(&b_before);
    REPORT_ONCE(b_same, "b changed");
    REPORT_ONCE(words_of(a.s) == want.w && a.s.exponent == want.exponent && a.s.flags == want.flags,
                "eb=" << eb << " a=" << hex(aw) << "@" << ae << " b=" << hex(bw) << "@" << be
                      << ": got " << hex(words_of(a.s)) << "@" << a.s.exponent << " flags "
                      << a.s.flags << "; want " << hex(want.w) << "@" << want.exponent
                      << " flags " << want.flags);
    REPORT_ONCE(a.s.exponent_mpi.words[0] == magnitude(a.s.exponent) &&
                    a.s.exponent_mpi.sign == (a.s.exponent < 0 ? 1 : 0),
                "exponent_mpi not refreshed: " << a.s.exponent_mpi.words[0] << " sign "
                                               << int(a.s.exponent_mpi.sign) << " for "
                                               << a.s.exponent);
    REPORT_ONCE(a.s.num_words_mpi.words[0] == aw.size() && a.s.aux_mpi.words[0] == 0 &&
                    a.s.base == a_before.base && a.s.phase == a_before.phase &&
                    a.s.omega == a_before.omega && a.s.amp_im == a_before.amp_im &&
                    a.s.exponent_bits == eb && a.s.num_words == aw.size(),
                "a's other fields changed");
    *ok = true;
}

}  // namespace

TEST(ArithAdd, EqualExponentsMatchMpnAddN) {
    std::mt19937_64 g(303);
    for (int round = 0; round < 3000; ++round) {
        const size_t n = round % 25 == 0 ? 71 : 1 + g() % 9;
        const Words aw = random_words(g, n, static_cast<int>(g() % 7));
        const Words bw = random_words(g, n, static_cast<int>(g() % 7));
        const int64_t e = static_cast<int64_t>(g() % 65536) - 32768;
        bool ok = false;
        check_add(aw, e, bw, e, 16, (g() % 2) ? FLAG_LOCKED : 0u, (g() % 2) ? FLAG_NEGATIVE : 0u,
                  &ok);
        if (!ok) return;
    }
}

TEST(ArithAdd, UnequalExponentsMatchTheAlignedModel) {
    std::mt19937_64 g(404);
    for (int round = 0; round < 3000; ++round) {
        const size_t n = round % 25 == 0 ? 71 : 1 + g() % 6;
        const Words aw = random_words(g, n, static_cast<int>(g() % 7));
        const Words bw = random_words(g, n, static_cast<int>(g() % 7));
        const int eb = (round % 3 == 0) ? 8 : 16;
        const int64_t half = int64_t{1} << (eb - 1);
        const int64_t ae = static_cast<int64_t>(g() % static_cast<uint64_t>(2 * half)) - half;
        const int64_t gap = static_cast<int64_t>(g() % (64 * n + 80)) * ((g() % 2) ? 1 : -1);
        const int64_t be = std::clamp(ae + gap, -half, half);
        bool ok = false;
        check_add(aw, ae, bw, be, eb, 0u, 0u, &ok);
        if (!ok) return;
    }
}

TEST(ArithAdd, WorkedSums) {
    {
        Owned a(slot_of({kTop, 0}, 1));
        Owned b(slot_of({kTop, 0}, 1));
        ap_add_legacy(&a.s, &b.s);
        EXPECT_EQ(words_of(a.s), (Words{kTop, 0}));
        EXPECT_EQ(a.s.exponent, 2);
        EXPECT_EQ(ap_to_double(&a.s), 2.0);
        EXPECT_EQ(a.s.flags, 0u);
    }
    for (bool swap : {false, true}) {
        SCOPED_TRACE(swap ? "0.5 + 1.0" : "1.0 + 0.5");
        Owned one(slot_of({kTop, 0}, 1));
        Owned half(slot_of({kTop, 0}, 0));
        Slot &a = swap ? half.s : one.s;
        Slot &b = swap ? one.s : half.s;
        ap_add_legacy(&a, &b);
        EXPECT_EQ(words_of(a), (Words{0xC000000000000000ULL, 0}));
        EXPECT_EQ(a.exponent, 1);
        EXPECT_EQ(ap_to_double(&a), 1.5);
    }
    {
        // b's sign is not applied: the magnitudes add, a's flags stay.
        Owned a(slot_of({kTop}, 1));
        a.s.flags = FLAG_LOCKED;
        Slot *minus_one = ap_from_double(64, 16, -1.0);
        ASSERT_NE(minus_one, nullptr);
        ASSERT_EQ(minus_one->flags, FLAG_NEGATIVE);
        ap_add_legacy(&a.s, minus_one);
        EXPECT_EQ(ap_to_double(&a.s), 2.0);
        EXPECT_EQ(a.s.flags, FLAG_LOCKED);
        EXPECT_EQ(minus_one->flags, FLAG_NEGATIVE);
        ap_free(minus_one);
        std::free(minus_one);
    }
    {
        // A slot added to itself doubles.
        Owned a(slot_of({0xC000000000000000ULL, 1}, -3));
        ap_add_legacy(&a.s, &a.s);
        EXPECT_EQ(words_of(a.s), (Words{0xC000000000000000ULL, 1}));
        EXPECT_EQ(a.s.exponent, -2);
        EXPECT_EQ(a.s.exponent_mpi.words[0], 2u);
        EXPECT_EQ(a.s.exponent_mpi.sign, 1);
    }
    {
        // Carry ripples through every word.
        Owned a(slot_of({~uint64_t{0}, ~uint64_t{0}, ~uint64_t{0}}, 10));
        Owned b(slot_of({0, 0, 1}, 10));
        ap_add_legacy(&a.s, &b.s);
        EXPECT_EQ(words_of(a.s), (Words{kTop, 0, 0}));
        EXPECT_EQ(a.s.exponent, 11);
    }
}

TEST(ArithAdd, TopOfTheExponentRange) {
    {
        // A carry at 32767 is still allowed: the exponent reaches 32768.
        Owned a(slot_of({kTop}, 32767));
        Owned b(slot_of({kTop}, 32767));
        ap_add_legacy(&a.s, &b.s);
        EXPECT_EQ(a.s.mantissa_words[0], kTop);
        EXPECT_EQ(a.s.exponent, 32768);
        EXPECT_EQ(a.s.flags, 0u);
        EXPECT_EQ(a.s.exponent_mpi.words[0], 32768u);
    }
    {
        // A carry at 32768 overflows; the wrapped sum is zero and underflows too.
        Owned a(slot_of({kTop, 0}, 32768));
        Owned b(slot_of({kTop, 0}, 32768));
        ap_add_legacy(&a.s, &b.s);
        EXPECT_EQ(words_of(a.s), (Words{0, 0}));
        EXPECT_EQ(a.s.flags, FLAG_OVERFLOW | FLAG_UNDERFLOW);
        EXPECT_EQ(a.s.flags, 0x0Cu);
        EXPECT_EQ(a.s.exponent, 0);
        EXPECT_EQ(a.s.exponent_mpi.words[0], 0u);
        EXPECT_EQ(a.s.exponent_mpi.sign, 0);
    }
    {
        // Overflow keeps the wrapped sum and the exponent when it is still normalised.
        Owned a(slot_of({0xC000000000000000ULL}, 32768));
        Owned b(slot_of({0xC000000000000000ULL}, 32768));
        ap_add_legacy(&a.s, &b.s);
        EXPECT_EQ(a.s.mantissa_words[0], kTop);
        EXPECT_EQ(a.s.exponent, 32768);
        EXPECT_EQ(a.s.flags, FLAG_OVERFLOW);
    }
    {
        // Above the bound (a converted exponent may lie there) a carry also overflows.
        Owned a(slot_of({0xC000000000000000ULL}, 40000));
        Owned b(slot_of({0xC000000000000000ULL}, 40000));
        ap_add_legacy(&a.s, &b.s);
        EXPECT_EQ(a.s.exponent, 40000);
        EXPECT_EQ(a.s.flags, FLAG_OVERFLOW);
    }
    {
        // The bound is a's own width: 8 bits allow 128.
        Owned a(slot_of({kTop}, 127, 8));
        Owned b(slot_of({kTop}, 127, 30));
        ap_add_legacy(&a.s, &b.s);
        EXPECT_EQ(a.s.exponent, 128);
        EXPECT_EQ(a.s.flags, 0u);
        ap_add_legacy(&a.s, &a.s);
        EXPECT_EQ(a.s.flags, FLAG_OVERFLOW | FLAG_UNDERFLOW);
        EXPECT_EQ(a.s.exponent, 0);
    }
}

TEST(ArithAdd, GapOfAWholeMantissaKeepsTheLargerOperand) {
    const Words big{0xABCDEF0123456789ULL, 0x1111111111111111ULL};
    const Words small{0xFFFFFFFFFFFFFFFFULL, 0xFFFFFFFFFFFFFFFFULL};
    for (int64_t gap : {int64_t{128}, int64_t{129}, int64_t{1000}, int64_t{60000}}) {
        SCOPED_TRACE(gap);
        {
            Owned a(slot_of(small, -30000));
            Owned b(slot_of(big, -30000 + gap));
            ap_add_legacy(&a.s, &b.s);
            EXPECT_EQ(words_of(a.s), big);
            EXPECT_EQ(a.s.exponent, -30000 + gap);
        }
        {
            Owned a(slot_of(big, -30000 + gap));
            Owned b(slot_of(small, -30000));
            ap_add_legacy(&a.s, &b.s);
            EXPECT_EQ(words_of(a.s), big);
            EXPECT_EQ(a.s.exponent, -30000 + gap);
        }
    }
}

TEST(ArithAdd, HugeExponentGapsDoNotOverflowTheDifference) {
    const Words big{0xC000000000000000ULL, 5};
    const Words other{kTop, 0};
    const struct {
        int64_t small_e, big_e;
    } cases[] = {{INT64_MIN / 2, INT64_MAX}, {INT64_MIN, INT64_MAX}, {INT64_MIN, 0}, {0, INT64_MAX}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.small_e) + " vs " + std::to_string(c.big_e));
        {
            Owned a(slot_of(big, c.big_e));
            Owned b(slot_of(other, c.small_e));
            ap_add_legacy(&a.s, &b.s);
            EXPECT_EQ(words_of(a.s), big);
            EXPECT_EQ(a.s.exponent, c.big_e);
            EXPECT_EQ(a.s.flags, 0u);
            EXPECT_EQ(a.s.exponent_mpi.words[0], magnitude(c.big_e));
        }
        {
            Owned a(slot_of(other, c.small_e));
            Owned b(slot_of(big, c.big_e));
            ap_add_legacy(&a.s, &b.s);
            EXPECT_EQ(words_of(a.s), big);
            EXPECT_EQ(a.s.exponent, c.big_e);
            EXPECT_EQ(a.s.flags, 0u);
            EXPECT_EQ(b.s.exponent, c.big_e);
            EXPECT_EQ(words_of(b.s), big);
        }
    }
}

TEST(ArithAdd, UnequalWordCountsAreRefused) {
    Owned a(slot_of({kTop, 0}, 1));
    Owned b(slot_of({kTop, 0, 0}, 1));
    a.s.flags = FLAG_LOCKED;
    Slot before{};
    ap_copy(&before, &a.s);
    testing::internal::CaptureStderr();
    ap_add_legacy(&a.s, &b.s);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Unaligned word counts.\n");
    EXPECT_TRUE(lvtest::same_slot(a.s, before));

    // The wider side may be either one.
    testing::internal::CaptureStderr();
    ap_add_legacy(&b.s, &a.s);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Unaligned word counts.\n");
    EXPECT_EQ(words_of(b.s), (Words{kTop, 0, 0}));
    EXPECT_EQ(b.s.exponent, 1);
    ap_free(&before);
}

TEST(ArithAdd, SlotsWithoutWordsStillAlignTheirExponents) {
    // No mantissa to add, but the larger exponent is still taken and its vector written.
    Owned a(slot_of({}, -20));
    Owned b(slot_of({}, 10));
    ap_add_legacy(&a.s, &b.s);
    EXPECT_EQ(a.s.exponent, 10);
    EXPECT_EQ(a.s.exponent_mpi.words[0], 10u);
    EXPECT_EQ(a.s.exponent_mpi.sign, 0);
    EXPECT_EQ(a.s.flags, 0u);
    EXPECT_EQ(a.s.mantissa_words, nullptr);

    Owned c(slot_of({}, -20));
    Owned d(slot_of({}, -30));
    c.s.exponent_mpi.words[0] = 0;  // rewritten from the exponent, which stays
    ap_add_legacy(&c.s, &d.s);
    EXPECT_EQ(c.s.exponent, -20);
    EXPECT_EQ(c.s.exponent_mpi.words[0], 20u);
    EXPECT_EQ(c.s.exponent_mpi.sign, 1);
    EXPECT_EQ(d.s.exponent, -30);
}

TEST(ArithAdd, ExponentWidthsOutsideTheDomainChangeNothing) {
    // The carry's bound 2^(exponent_bits - 1) has no meaning outside 1..63.
    for (const int eb : {0, 64, -1}) {
        SCOPED_TRACE(eb);
        Owned a(slot_of({~uint64_t{0}, 5}, 3, eb));
        Owned b(slot_of({~uint64_t{0}, 7}, 3));
        Slot before{};
        ap_copy(&before, &a.s);
        ap_add_legacy(&a.s, &b.s);
        EXPECT_TRUE(lvtest::same_slot(a.s, before));
        a.s.mantissa_words[0] = 1;  // normalisation would shift this one
        ap_normalize_legacy(&a.s);
        EXPECT_EQ(words_of(a.s), (Words{1, 5}));
        EXPECT_EQ(a.s.exponent, 3);
        EXPECT_EQ(a.s.flags, 0u);
        ap_free(&before);
    }
}

TEST(ArithAdd, SlotsWithoutStorageChangeNothing) {
    Owned a(slot_of({0x4000000000000000ULL, 3}, 12));
    Slot before{};
    ap_copy(&before, &a.s);

    Slot bare{};
    bare.num_words = 2;  // words claimed, no storage
    bare.exponent = 40;
    bare.exponent_bits = 16;
    mpi_init(&bare.exponent_mpi, 1);
    mpi_init(&bare.num_words_mpi, 1);
    mpi_init(&bare.aux_mpi, 1);

    testing::internal::CaptureStderr();
    ap_add_legacy(&a.s, &bare);
    EXPECT_TRUE(lvtest::same_slot(a.s, before)) << "adding from a slot without storage";
    ap_add_legacy(&bare, &a.s);
    EXPECT_EQ(bare.mantissa_words, nullptr);
    EXPECT_EQ(bare.num_words, 2u);
    EXPECT_EQ(bare.exponent, 40);
    EXPECT_EQ(bare.flags, 0u);
    ap_add_legacy(nullptr, &a.s);
    ap_add_legacy(&a.s, nullptr);
    EXPECT_TRUE(lvtest::same_slot(a.s, before));
    testing::internal::GetCapturedStderr();

    ap_free(&bare);
    ap_free(&before);
}

TEST(ArithAdd, MakesNoDraws) {
    Owned a(slot_of({kTop, 1}, 3));
    Owned b(slot_of({kTop, 2}, 1));
    EXPECT_EQ(lvtest::draws_made([&] { ap_add_legacy(&a.s, &b.s); }), 0);
}
