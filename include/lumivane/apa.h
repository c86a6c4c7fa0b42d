/* lumivane/apa.h: the slot record, its word vectors, conversions and mantissa arithmetic. */
#ifndef LUMIVANE_APA_H
#define LUMIVANE_APA_H

#include <stdint.h>

#include "lumivane/export.h"

LV_BEGIN_DECLS

#define FLAG_NEGATIVE 0x01u
#define FLAG_EXCLUDED 0x02u
#define FLAG_OVERFLOW 0x04u
#define FLAG_UNDERFLOW 0x08u
#define FLAG_LOCKED 0x10u

/* A one-word vector inside a slot; owns `words`. */
typedef struct Mpi {
    uint64_t *words;
    uint64_t word_count;
    uint8_t sign;
} Mpi;

/* A lattice cell and a high-precision number in one record. The real
   amplitude is M x 2^exponent with M = sum word[i] x 2^(-64(i+1)); its sign
   lives only in FLAG_NEGATIVE. The slot owns mantissa_words and the words of
   its three vectors. */
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

LV_API void mpi_init(Mpi *vector, uint64_t word_count);
LV_API void mpi_free(Mpi *vector);
LV_API void mpi_copy(Mpi *destination, const Mpi *source);
LV_API void mpi_set_value(Mpi *vector, uint64_t value, int sign);

/* A fresh slot with random word 0, exponent and oscillator fields (seven
   rand() draws; five when the mantissa is empty). Widths outside the domain
   (exponent_bits not in 1..63, mantissa_bits negative or above 2147483584,
   where counting its words would overflow an int) answer an all-zero slot. */
LV_API Slot slot_init_apa(int mantissa_bits, int exponent_bits);
LV_API void ap_free(Slot *slot);
LV_API void ap_copy(Slot *destination, const Slot *source);
/* Word 0 x 2^-64 x 2^exponent, never negative; 0.0 for a slot without storage. */
LV_API double ap_to_double(const Slot *slot);

/* A new heap slot holding x (the caller releases it with ap_free, then free). */
LV_API Slot *ap_from_double(int mantissa_bits, int exponent_bits, double x);

LV_API void ap_shift_right_legacy(uint64_t *words, uint64_t n, int64_t bits);
LV_API void ap_normalize_legacy(Slot *slot);
LV_API void ap_add_legacy(Slot *a, const Slot *b);

LV_API void init_apa_constants(void);

LV_END_DECLS

#endif
