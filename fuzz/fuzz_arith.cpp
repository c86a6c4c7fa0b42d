// fuzz_arith.cpp: the mantissa arithmetic (right shift, normalisation, addition
// with carry and overflow) against the same contracts computed with GMP.
// Widths, exponents, words and the operations to run come from the input;
// any disagreement aborts.
#include <fuzzer/FuzzedDataProvider.h>
#include <gmp.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "reference/arith.h"
#include "reference/slot.h"
#include "reference/slot_image.h"
#include "lumivane/lumivane.h"

namespace {

using lvgmp::Words;

#define CHECK(cond)                                                               \
    do {                                                                          \
        if (!(cond)) {                                                            \
            std::fprintf(stderr, "fuzz_arith: %s fails (line %d)\n", #cond, __LINE__); \
            std::abort();                                                         \
        }                                                                         \
    } while (0)

uint64_t splitmix(uint64_t &x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

using lvref::magnitude;

// --- decoding -------------------------------------------------------------

uint64_t draw_count(FuzzedDataProvider &in) { return in.ConsumeIntegralInRange<uint64_t>(0, 80); }

Words draw_words(FuzzedDataProvider &in, uint64_t n) {
    Words w(n, 0);
    const int pattern = in.ConsumeIntegralInRange(0, 7);
    uint64_t seed = in.ConsumeIntegral<uint64_t>();
    switch (pattern) {
        case 0:  // every word from the input
            for (auto &x : w) x = in.ConsumeIntegral<uint64_t>();
            break;
        case 1:  // uniform
            for (auto &x : w) x = splitmix(seed);
            break;
        case 2:  // all ones: every carry runs through
            std::fill(w.begin(), w.end(), ~uint64_t{0});
            break;
        case 3:  // zero
            break;
        case 4:  // one bit
            if (n != 0) w[seed / 64 % n] = uint64_t{1} << (seed % 64);
            break;
        case 5: {  // leading zero words, then uniform
            const uint64_t k = n == 0 ? 0 : seed % (n + 1);
            for (uint64_t i = k; i < n; ++i) w[i] = splitmix(seed) >> (seed % 64);
            break;
        }
        case 6:  // just below a carry
            for (auto &x : w) x = ~uint64_t{0} - splitmix(seed) % 4;
            break;
        default:  // sparse single bits
            for (auto &x : w) {
                const uint64_t r = splitmix(seed);
                x = r % 2 ? 0 : uint64_t{1} << (r >> 8) % 64;
            }
            break;
    }
    return w;
}

bool valid_width(int eb) {
    return eb >= LUMIVANE_MIN_EXPONENT_BITS && eb <= LUMIVANE_MAX_EXPONENT_BITS;
}

// Mostly 1..63; sometimes a width outside the domain.
int draw_exponent_bits(FuzzedDataProvider &in) {
    static constexpr int kOutside[] = {0, -1, 64, 65, INT_MIN, INT_MAX};
    const uint8_t b = in.ConsumeIntegral<uint8_t>();
    return b < 240 ? 1 + b % 63 : kOutside[b % 6];
}

// Exponents at both ends of the width's range, beyond it, and at the ends of int64.
int64_t draw_exponent(FuzzedDataProvider &in, int eb) {
    const int w = valid_width(eb) ? eb : 16;
    const int64_t min = -static_cast<int64_t>(uint64_t{1} << (w - 1));
    const int64_t max = static_cast<int64_t>((uint64_t{1} << (w - 1)) - 1);
    const auto near = in.ConsumeIntegralInRange<int64_t>(0, 300);
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: return min + near;
        case 1: return max + 1 - near;
        case 2: return min - near;
        case 3: return in.ConsumeIntegralInRange(min, max);
        case 4: return in.ConsumeIntegral<int64_t>();
        case 5: return INT64_MIN + near;
        case 6: return INT64_MAX - near;
        default: return near - 150;
    }
}

// --- slots built with the library -----------------------------------------

using lvref::Value;

// A slot of n words built by hand from drawn words, exponent and flags
// (lvref::slot_of, at any width that rounds up to n words) or, for a
// non-empty mantissa, by ap_from_double; then given the drawn exponent width.
// Without storage, the mantissa is released and the count kept, as after a
// failed allocation.
Slot decode_slot(FuzzedDataProvider &in, uint64_t n, Value *v, int *eb) {
    *eb = draw_exponent_bits(in);
    const int valid_eb = valid_width(*eb) ? *eb : 16;
    const int bits = n == 0 ? 0 : static_cast<int>(64 * n) - in.ConsumeIntegralInRange(0, 63);
    Slot s{};
    if (n != 0 && in.ConsumeIntegralInRange(0, 3) == 0) {
        const double x = std::bit_cast<double>(in.ConsumeIntegral<uint64_t>());
        Slot *r = ap_from_double(bits, valid_eb, x);
        CHECK(r != nullptr);
        s = *r;
        std::free(r);
        v->w.assign(s.mantissa_words, s.mantissa_words + n);
        v->exponent = s.exponent;
        v->flags = s.flags;
    } else {
        v->w = draw_words(in, n);
        v->exponent = draw_exponent(in, *eb);
        v->flags = in.ConsumeIntegral<uint32_t>();
        s = lvref::slot_of(v->w, v->exponent, valid_eb, bits);
        s.flags = v->flags;
    }
    CHECK(s.num_words == n && (n == 0 || s.mantissa_words != nullptr));
    s.exponent_bits = *eb;
    if (n != 0 && in.ConsumeIntegralInRange(0, 15) == 0) {
        std::free(s.mantissa_words);
        s.mantissa_words = nullptr;
    }
    return s;
}

using lvref::words_of;

// Every field of the record compared, the buffers by address: the operations
// change words in place and never trade a buffer.
constexpr auto kByAddress = lvref::Buffers::ByAddress;

// --- the three operations -------------------------------------------------

void check_shift(FuzzedDataProvider &in) {
    const uint64_t n = draw_count(in);
    const Words w = draw_words(in, n);
    int64_t bits;
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0: bits = in.ConsumeIntegralInRange<int64_t>(-3, static_cast<int64_t>(64 * n + 70)); break;
        case 1:  // about a whole number of words
            bits = 64 * in.ConsumeIntegralInRange<int64_t>(0, 82);
            bits += in.ConsumeIntegralInRange(-1, 1);
            break;
        case 2: bits = in.ConsumeIntegral<int64_t>(); break;
        default: bits = in.ConsumeBool() ? INT64_MIN : INT64_MAX; break;
    }
    const Words want = bits <= 0 ? w : lvref::shifted_right(w, static_cast<uint64_t>(bits));
    if (n == 0) {  // no words: a word next to the pointer stays as it is
        uint64_t guard = 0x5a5a5a5a5a5a5a5aULL;
        ap_shift_right_legacy(&guard, 0, bits);
        CHECK(guard == 0x5a5a5a5a5a5a5a5aULL);
        ap_shift_right_legacy(nullptr, 0, bits);
        return;
    }
    // Exactly n words on the heap: a touch beyond them is a sanitizer report.
    auto *buf = static_cast<uint64_t *>(std::malloc(n * sizeof(uint64_t)));
    std::memcpy(buf, w.data(), n * sizeof(uint64_t));
    ap_shift_right_legacy(buf, n, bits);
    CHECK(Words(buf, buf + n) == want);
    std::free(buf);
    ap_shift_right_legacy(nullptr, n, bits);
}

void check_normalize(FuzzedDataProvider &in) {
    const uint64_t n = draw_count(in);
    Value v;
    int eb;
    Slot s = decode_slot(in, n, &v, &eb);
    const Slot before = s;
    const uint64_t exp_word = s.exponent_mpi.words[0];
    ap_normalize_legacy(&s);
    Value want = v;
    if (s.mantissa_words != nullptr && valid_width(eb))
        want = lvref::normalize_by_leading_zeros(want, eb);
    if (s.mantissa_words != nullptr) CHECK(words_of(s) == want.w);
    Slot expected = before;
    expected.exponent = want.exponent;
    expected.flags = want.flags;
    CHECK(lvref::differences(s, expected, kByAddress).empty());
    CHECK(s.exponent_mpi.words[0] == exp_word);  // not refreshed here
    ap_free(&s);
}

void check_add(FuzzedDataProvider &in) {
    const uint64_t n = draw_count(in);
    const uint64_t nb = in.ConsumeIntegralInRange(0, 31) == 0 ? draw_count(in) : n;
    Value va, vb;
    int eba, ebb;
    Slot a = decode_slot(in, n, &va, &eba);
    Slot b = decode_slot(in, nb, &vb, &ebb);
    const bool alias = in.ConsumeIntegralInRange(0, 15) == 0;
    const Slot *bp = alias ? &a : &b;
    const Value vbp = alias ? va : vb;
    const Slot a_before = a, b_before = b;
    const uint64_t exp_word = a.exponent_mpi.words[0];

    ap_add_legacy(&a, bp);

    Value want = va;
    const bool acts = n == bp->num_words && (n == 0 || (a.mantissa_words && bp->mantissa_words)) &&
                      valid_width(eba);
    if (acts) want = lvref::add(want, vbp, eba);
    if (a.mantissa_words != nullptr) CHECK(words_of(a) == want.w);
    Slot expected = a_before;
    expected.exponent = want.exponent;
    expected.flags = want.flags;
    if (acts) expected.exponent_mpi.sign = want.exponent < 0 ? 1 : 0;
    CHECK(lvref::differences(a, expected, kByAddress).empty());
    CHECK(a.exponent_mpi.words[0] == (acts ? magnitude(want.exponent) : exp_word));
    if (!alias) {  // b is read only
        CHECK(lvref::differences(b, b_before, kByAddress).empty());
        if (b.mantissa_words != nullptr) CHECK(words_of(b) == vb.w);
    }
    ap_free(&a);
    ap_free(&b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::srand(1);  // the slots' drawn fields are overwritten, but runs repeat exactly
    for (int ops = 0; ops < 16 && in.remaining_bytes() > 0; ++ops) {
        switch (in.ConsumeIntegralInRange(0, 2)) {
            case 0: check_shift(in); break;
            case 1: check_normalize(in); break;
            default: check_add(in); break;
        }
    }
    return 0;
}
