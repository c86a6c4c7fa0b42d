// internal.h: helpers shared between subsystems; nothing here is exported.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "lumivane/lumivane.h"

namespace lv {

inline constexpr double kPhi = 1.618033988749895;
inline constexpr double kTurn = 6.283185307179586;
inline constexpr double kPi = 3.141592653589793;
inline constexpr uint64_t kTopBit = uint64_t{1} << 63;

// Writes a fixed message to standard error; standard output is flushed first
// so that a combined log keeps the order in which things happened.
void report_error(const char *message);

// Chunk-wide storage: a materialised chunk keeps every slot's buffers in one
// block, whose words are registered; its bookkeeping lies where they end.
// Releasing a pointer that lies in registered words marks that buffer
// released (block_forget) instead of freeing it; the block goes when its
// lattice is released and no buffer moved out of the lattice is still held.
// Registering answers false, registering nothing, when the registry cannot grow.
bool arena_register(const void *begin, std::size_t bytes);
void arena_unregister(const void *begin);
void *arena_find(const void *p);  // the end of the registered range holding p, if any
void block_forget(void *words_end, const void *buffer);
// Room for kKeptPhases doubles in a chunk's block, null for a chunk without one.
inline constexpr int64_t kKeptPhases = 65536;
double *chunk_phase_room(const SlotChunk *chunk);
void release_words(uint64_t *words);

// Mantissa words of a slot of this width, or -1 outside the domain.
inline int64_t words_for_bits(int mantissa_bits) {
    if (mantissa_bits < 0 || mantissa_bits > INT32_MAX - 63) return -1;
    return (mantissa_bits + 63) / 64;
}

inline bool exponent_bits_valid(int exponent_bits) { return exponent_bits >= 1 && exponent_bits <= 63; }

// get_normalized_rand, inlined where draws are hot.
inline double normalized_rand() { return static_cast<double>(std::rand()) / 2147483647.0; }

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

// num_instances x slots_per_instance as a 32-bit product that wraps instead
// of overflowing.
inline int32_t declared_slots(const Lattice *l) {
    return static_cast<int32_t>(static_cast<uint32_t>(l->num_instances) *
                                static_cast<uint32_t>(l->slots_per_instance));
}

// The most slots a lattice may declare: keeps the chunk-count sum within 32 bits.
inline constexpr int32_t kMaxSlots = 2146435072;

// Chunks that hold slots 0..n-1 (n > 0).
inline int32_t chunks_for(int32_t n) { return (n - 1) / SLOTS_PER_CHUNK + 1; }

// Whether the chunks holding slots 0..n-1 (n > 0) all exist, so that those
// slots can be reached through the chunk blocks without a lookup.
inline bool chunks_present(const Lattice *l, int32_t n) {
    const int32_t needed = chunks_for(n);
    if (l->chunks == nullptr || needed > l->num_chunks) return false;
    for (int32_t c = 0; c < needed; ++c)
        if (l->chunks[c] == nullptr) return false;
    return true;
}

// Signed magnitude of an exponent into its vector word and sign.
inline uint64_t magnitude(int64_t e) {
    return e < 0 ? uint64_t{0} - static_cast<uint64_t>(e) : static_cast<uint64_t>(e);
}

// The two constant slots (static storage, private to the module).
Slot *const_phi();
Slot *const_pi();

// The fixed run with the given seed; answers the exit status.
int run(unsigned seed);

}  // namespace lv
