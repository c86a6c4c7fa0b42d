/* lumivane/apa.h: the slot record, its word vectors, conversions and mantissa arithmetic.

   Conventions of this header:
   - Ownership: a slot owns mantissa_words and the words of its three
     vectors; a vector owns its words. A plain record copy (s2 = s1) moves the
     buffers to the copy; ap_copy and mpi_copy duplicate them; ap_free and
     mpi_free release them but never the record itself.
   - Draws: only slot_init_apa and ap_from_double draw from rand(); each
     comment states how many values. Every other operation here draws nothing.
   - Null: a null record pointer is never dereferenced. Releasers and
     mutators then do nothing, ap_to_double answers 0.0.
   - Values are magnitudes: the sign of a slot's real amplitude lives only in
     FLAG_NEGATIVE, which neither reading nor arithmetic applies. */
#ifndef LUMIVANE_APA_H
#define LUMIVANE_APA_H

#include <stdint.h>

#include "lumivane/export.h"

LV_BEGIN_DECLS

/* Bits of Slot.flags. The sweep skips a slot with EXCLUDED, OVERFLOW or
   LOCKED; NEGATIVE and UNDERFLOW are only recorded. */
#define FLAG_NEGATIVE 0x01u  /* the converted double was negative */
#define FLAG_EXCLUDED 0x02u  /* set by hosts only */
#define FLAG_OVERFLOW 0x04u  /* ap_add_legacy carried out at the largest exponent */
#define FLAG_UNDERFLOW 0x08u /* ap_normalize_legacy reached the smallest exponent */
#define FLAG_LOCKED 0x10u    /* set by the consensus lock; never cleared */

/* The widths a slot may have. A mantissa of 0 to LUMIVANE_MAX_MANTISSA_BITS
   bits (above it, counting the words would overflow an int; a value needs at
   least one bit) and an exponent of LUMIVANE_MIN_EXPONENT_BITS to
   LUMIVANE_MAX_EXPONENT_BITS bits. */
#define LUMIVANE_MAX_MANTISSA_BITS 2147483584
#define LUMIVANE_MIN_EXPONENT_BITS 1
#define LUMIVANE_MAX_EXPONENT_BITS 63

/* A one-word vector inside a slot; owns `words` (null when it has none). */
typedef struct Mpi {
    uint64_t *words;
    uint64_t word_count;
    uint8_t sign;
} Mpi;

/* A lattice cell and a high-precision number in one record. The real
   amplitude is M x 2^exponent with M = sum word[i] x 2^(-64(i+1)); its sign
   lives only in FLAG_NEGATIVE. The slot owns mantissa_words and the words of
   its three vectors. A zero-filled record is a valid, empty slot that reads
   as 0.0. The layout is fixed (152 bytes) and part of the interface. */
typedef struct Slot {
    uint64_t *mantissa_words;
    Mpi num_words_mpi;
    Mpi exponent_mpi;
    uint16_t init_tag;
    uint32_t flags;
    Mpi aux_mpi;
    uint64_t num_words;
    int64_t exponent;
    float base;
    int32_t mantissa_bits;
    int32_t exponent_bits;
    double phase;
    double phase_vel;
    double omega;
    double amp_im;
} Slot;

/* Gives the vector word_count zeroed words (no buffer for 0). A failed
   allocation is silent: words stays null, word_count keeps the count. */
LV_API void mpi_init(Mpi *vector, uint64_t word_count);
/* Releases the words; word_count becomes 0, sign stays. */
LV_API void mpi_free(Mpi *vector);
/* Releases the destination's words, then duplicates the source's count, sign
   and words (zeroed words when the source has none; no buffer for a count of
   0). Onto itself, or with a null argument: nothing. */
LV_API void mpi_copy(Mpi *destination, const Mpi *source);
/* Writes word 0 only into a vector with storage and a count of at least one;
   the sign in any case. */
LV_API void mpi_set_value(Mpi *vector, uint64_t value, int sign);

/* A fresh slot, owned by the caller (release with ap_free): (mantissa_bits +
   63) / 64 zeroed words, word 0 random with bit 63 set, a random exponent over
   the whole range of exponent_bits, random base, phase, omega and amp_im.
   Draws seven values (five when mantissa_bits is 0: no word 0 to draw).
   A failed mantissa allocation writes "Error: Failed to allocate mantissa."
   to standard error, draws nothing and answers a slot without mantissa storage.
   Widths outside the domain (exponent_bits not in 1..63, mantissa_bits
   negative or above LUMIVANE_MAX_MANTISSA_BITS) answer an all-zero slot and
   draw nothing. */
LV_API Slot slot_init_apa(int mantissa_bits, int exponent_bits);
/* Releases the slot's buffers (the record stays; num_words becomes 0, other
   fields keep their values). Releasing twice is harmless. */
LV_API void ap_free(Slot *slot);
/* Makes the destination an independent deep copy of the source: every
   field, flags included, and new buffers. The destination must be
   zero-filled, released or a live slot, whose buffers are released first. A
   source that claims words without storage copies as zero words. When the
   mantissa allocation fails: "Error: Copy allocation failed." on standard
   error, num_words 0, and the three vectors take the source's counts and
   signs but no words. Onto itself, or with a null argument: nothing. */
LV_API void ap_copy(Slot *destination, const Slot *source);
/* Word 0 x 2^-64 x 2^exponent, never negative (FLAG_NEGATIVE is not applied):
   +inf from exponent 1024, 0.0 from -1075. 0.0 for a null slot or one without
   mantissa storage or words. */
LV_API double ap_to_double(const Slot *slot);

/* A new heap slot holding |x| (FLAG_NEGATIVE when x < 0); the caller
   releases it with ap_free, then free. Draws what slot_init_apa(mantissa_bits,
   exponent_bits) draws (seven values for widths of at least one word),
   whatever x is, also when the answer is then null. Zero keeps the fresh
   slot's random word 0 and exponent; NaN reads back as 0.5, infinities as 0.0.
   Null when an allocation fails or the widths give no mantissa word: a failed
   conversion never passes for a converted value. */
LV_API Slot *ap_from_double(int mantissa_bits, int exponent_bits, double x);

/* Shifts the n-word number (word 0 most significant) right by `bits`, zeros
   entering at the top; all zero from 64 x n bits. Null words, n = 0 or
   bits <= 0: nothing. */
LV_API void ap_shift_right_legacy(uint64_t *words, uint64_t n, int64_t bits);
/* Shifts the mantissa left until bit 63 of word 0 is set or the exponent
   reaches -2^(exponent_bits - 1); there it sets FLAG_UNDERFLOW, and a zero
   word 0 takes exponent 0. exponent_mpi is not refreshed. A null slot, one
   without words or storage, or exponent_bits outside 1..63: nothing. */
LV_API void ap_normalize_legacy(Slot *slot);
/* a := |a| + |b| at equal word counts, b unchanged. Exponents align to the
   larger one. A carry out of word 0 raises a's exponent by one while it is
   below 2^(exponent_bits - 1); at or above that it sets FLAG_OVERFLOW and
   keeps the wrapped sum. Then ap_normalize_legacy, and exponent_mpi is
   refreshed. Unequal word counts: "Error: Unaligned word counts." on
   standard error and a unchanged. A null argument, a slot that claims words
   without storage, a's exponent_bits outside 1..63, or a failed copy of b
   (reported by ap_copy): a unchanged. */
LV_API void ap_add_legacy(Slot *a, const Slot *b);

/* Builds the module's two constant slots, the golden ratio and pi (4096 and
   16 bits), and prints one line. Draws 28 values: two fresh slots, then the
   conversion of each. A second call releases the first call's buffers. When a
   conversion answers null the constant keeps its freshly drawn slot. */
LV_API void init_apa_constants(void);

LV_END_DECLS

#endif
