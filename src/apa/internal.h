// apa/internal.h: the high-precision slot's helpers shared with the lattice and the dynamics.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "runtime/internal.h"

namespace lv {

inline constexpr uint64_t kTopBit = uint64_t{1} << 63;

// Mantissa words of a slot of this width, or -1 outside the domain.
inline int64_t words_for_bits(int mantissa_bits) {
    if (mantissa_bits < 0 || mantissa_bits > LUMIVANE_MAX_MANTISSA_BITS) return -1;
    return (mantissa_bits + 63) / 64;
}

inline bool exponent_bits_valid(int exponent_bits) {
    return exponent_bits >= LUMIVANE_MIN_EXPONENT_BITS && exponent_bits <= LUMIVANE_MAX_EXPONENT_BITS;
}
static_assert(LUMIVANE_MAX_MANTISSA_BITS == INT32_MAX - 63, "the largest width whose words fit an int");

// Draws a slot's random fields into storage the caller provides (mantissa of
// `num_words` zeroed words and three zeroed one-word vectors): exactly the
// draws and values of slot_init_apa. Without the mantissa it needs it draws
// nothing and sets only the widths, the buffers and the cleared flags.
void slot_fill_random(Slot *s, int mantissa_bits, int exponent_bits, uint64_t num_words,
                      uint64_t *mantissa, uint64_t *exp_word, uint64_t *nw_word,
                      uint64_t *aux_word);

// Exact 2^e as a double, with pow(2.0, e)'s results: +inf from 1024, 0 from -1075.
inline double exact_pow2(int64_t e) {
    if (e >= 1024) return __builtin_inf();
    if (e <= -1075) return 0.0;
    if (e >= -1022) return std::bit_cast<double>(static_cast<uint64_t>(e + 1023) << 52);
    return std::bit_cast<double>(uint64_t{1} << (e + 1074));
}

// ap_to_double on a slot known to be non-null.
inline double slot_value(const Slot *s) {
    if (s->num_words == 0 || s->mantissa_words == nullptr) return 0.0;
    const double m = static_cast<double>(s->mantissa_words[0]) * 5.421010862427522e-20;
    return exact_pow2(s->exponent) * m;
}

// Word 0 and exponent of the conversion of a non-zero double.
struct Converted {
    uint64_t word0;
    int64_t exponent;
};
Converted convert_double(double x);

// A slot from ap_from_double, released (buffers, then record) when it goes.
struct SlotRelease {
    void operator()(Slot *s) const {
        ap_free(s);
        std::free(s);
    }
};
using OwnedSlot = std::unique_ptr<Slot, SlotRelease>;

// Converts x at the slot's own widths and copies the result whole over the
// slot; when the conversion answers null the slot stays as it was.
void assign_converted(Slot *s, double x);

// Gives a freshly drawn slot the value x, as a conversion does: word 0, the
// exponent and its vector, and FLAG_NEGATIVE; zero keeps the drawn value.
// The slot must own at least one mantissa word.
void set_converted(Slot *s, double x);

// Signed magnitude of an exponent into its vector word and sign.
inline uint64_t magnitude(int64_t e) {
    return e < 0 ? uint64_t{0} - static_cast<uint64_t>(e) : static_cast<uint64_t>(e);
}

// The two constant slots (static storage, private to the module).
Slot *const_phi();
Slot *const_pi();

}  // namespace lv
