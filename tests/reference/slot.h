// reference/slot.h: a slot's fresh fields and its reading as a double,
// computed plainly: the draws of one slot initialisation, the widths and
// draws of each position of a chunk, and ap_to_double's power formula.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lumivane/lumivane.h"

namespace lvref {

// One value of the generator scaled to [0, 1].
inline double next_unit() { return rand() / 2147483647.0; }

// The seven values a slot initialisation draws, after srand(seed) and `skip`
// further draws: word 0 (two draws, only when the slot has a mantissa word),
// the exponent over the width's whole range, then base, phase, omega and the
// imaginary amplitude.
struct Drawn {
    uint64_t word0 = 0;
    int64_t exponent = 0;
    float base = 0.0f;
    double phase = 0.0;
    double omega = 0.0;
    double amp_im = 0.0;
};
inline Drawn expected_draws(unsigned seed, int exponent_bits, bool draws_word = true,
                            int64_t skip = 0) {
    srand(seed);
    for (int64_t i = 0; i < skip; ++i) (void)rand();
    Drawn d;
    if (draws_word) {
        const auto r1 = static_cast<uint64_t>(rand());
        const auto r2 = static_cast<uint64_t>(rand());
        d.word0 = (uint64_t{1} << 63) | (r1 << 32) | r2;
    }
    const auto r3 = static_cast<uint64_t>(rand());
    const uint64_t span = uint64_t{1} << exponent_bits;
    d.exponent = static_cast<int64_t>(r3 % span) - static_cast<int64_t>(span / 2);
    d.base = static_cast<float>(next_unit() * 0.01 + 1.618033988749895);
    d.phase = next_unit() * 6.283185307179586;
    d.omega = next_unit() * 0.5 + 1.0;
    d.amp_im = next_unit() * 0.1;
    return d;
}

// Position j of a chunk: widths by j % 8, seven draws per position before it.
inline int chunk_mantissa_bits(int64_t j) { return 64 * (64 + static_cast<int>(j % 8)); }
inline int chunk_exponent_bits(int64_t j) { return 16 + 2 * static_cast<int>(j % 8); }

// The slot at position j of a chunk when `skip` values were drawn since
// srand(seed) before it (7 x j in a chunk made right after the seed):
// slot_init_apa of the position's widths. The caller releases it with ap_free.
inline Slot chunk_slot(unsigned seed, int64_t skip, int64_t j) {
    srand(seed);
    for (int64_t i = 0; i < skip; ++i) (void)rand();
    return slot_init_apa(chunk_mantissa_bits(j), chunk_exponent_bits(j));
}

// An exponent's magnitude as the slot's exponent vector holds it (the sign
// apart, in the vector's sign).
inline uint64_t magnitude(int64_t e) {
    return e < 0 ? uint64_t{0} - static_cast<uint64_t>(e) : static_cast<uint64_t>(e);
}

// How many rand() values were drawn since srand(seed): where the next two
// values stand in a fresh sequence from the same seed; -1 past `limit`. It
// draws, and leaves the generator somewhere else.
inline int64_t draws_since(unsigned seed, int64_t limit = 100000) {
    const int a = rand(), b = rand();
    srand(seed);
    int prev = rand();
    for (int64_t i = 0; i < limit; ++i) {
        const int cur = rand();
        if (prev == a && cur == b) return i;
        prev = cur;
    }
    return -1;
}

// A slot built by hand, without draws: the given mantissa words (word 0 most
// significant; no storage for none), exponent and widths (mantissa_bits
// 64 x the words when negative), its three vectors of one word holding the
// exponent's magnitude and sign and the word count, and fixed oscillator
// fields. The caller releases it with ap_free.
inline Slot slot_of(const std::vector<uint64_t> &w, int64_t exponent, int exponent_bits = 16,
                    int mantissa_bits = -1) {
    Slot s{};
    s.num_words = w.size();
    if (!w.empty()) {
        s.mantissa_words = static_cast<uint64_t *>(std::malloc(w.size() * sizeof(uint64_t)));
        std::memcpy(s.mantissa_words, w.data(), w.size() * sizeof(uint64_t));
    }
    s.exponent = exponent;
    s.exponent_bits = exponent_bits;
    s.mantissa_bits = mantissa_bits < 0 ? static_cast<int32_t>(64 * w.size()) : mantissa_bits;
    s.init_tag = 4096;
    s.base = 1.625f;
    s.phase = 0.5;
    s.omega = 1.25;
    s.amp_im = 0.03125;
    mpi_init(&s.exponent_mpi, 1);
    mpi_init(&s.num_words_mpi, 1);
    mpi_init(&s.aux_mpi, 1);
    mpi_set_value(&s.exponent_mpi, magnitude(exponent), exponent < 0 ? 1 : 0);
    mpi_set_value(&s.num_words_mpi, w.size(), 0);
    return s;
}

// A copy of a slot's mantissa words; none without storage.
inline std::vector<uint64_t> words_of(const Slot &s) {
    if (s.mantissa_words == nullptr) return {};
    return {s.mantissa_words, s.mantissa_words + s.num_words};
}

// A slot's reading: word 0 x 2^-64, times the power of two formed first
// (so 2^1024 is already infinite, and a zero word there reads NaN).
inline double reading(uint64_t word0, int64_t exponent) {
    return std::pow(2.0, static_cast<double>(exponent)) *
           (static_cast<double>(word0) * 5.421010862427522e-20);
}

// ap_to_double through reading(): a slot without words or storage reads 0.
inline double read_with_pow(const Slot *s) {
    if (s == nullptr || s->num_words == 0 || s->mantissa_words == nullptr) return 0.0;
    return reading(s->mantissa_words[0], s->exponent);
}

}  // namespace lvref
