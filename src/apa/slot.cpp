// slot.cpp: word vectors and the slot record: creation, release, deep copy, reading.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "apa/internal.h"
#include "storage/internal.h"
#include "runtime/fpenv.h"

static_assert(std::is_standard_layout_v<Mpi> && std::is_trivially_copyable_v<Mpi>);
static_assert(offsetof(Mpi, words) == 0 && offsetof(Mpi, word_count) == 8 &&
              offsetof(Mpi, sign) == 16 && sizeof(Mpi) == 24);
static_assert(std::is_standard_layout_v<Slot> && std::is_trivially_copyable_v<Slot>);
static_assert(offsetof(Slot, mantissa_words) == 0 && offsetof(Slot, num_words_mpi) == 8 &&
              offsetof(Slot, exponent_mpi) == 32 && offsetof(Slot, init_tag) == 56 &&
              offsetof(Slot, flags) == 60 && offsetof(Slot, aux_mpi) == 64 &&
              offsetof(Slot, num_words) == 88 && offsetof(Slot, exponent) == 96 &&
              offsetof(Slot, base) == 104 && offsetof(Slot, mantissa_bits) == 108 &&
              offsetof(Slot, exponent_bits) == 112 && offsetof(Slot, phase) == 120 &&
              offsetof(Slot, phase_vel) == 128 && offsetof(Slot, omega) == 136 &&
              offsetof(Slot, amp_im) == 144 && sizeof(Slot) == 152);

namespace {

constexpr uint64_t kMaxWords = SIZE_MAX / sizeof(uint64_t);

uint64_t *alloc_words(uint64_t count, bool zeroed) {
    if (count == 0 || count > kMaxWords) return nullptr;
    void *p = zeroed ? std::calloc(count, sizeof(uint64_t)) : std::malloc(count * sizeof(uint64_t));
    return static_cast<uint64_t *>(p);
}

// mpi_copy into a vector that owns nothing.
void mpi_duplicate(Mpi *d, const Mpi *s) {
    d->word_count = s->word_count;
    // Without source words there is nothing to copy; zeroed words stand in.
    d->words = alloc_words(s->word_count, s->words == nullptr);
    if (d->words != nullptr && s->words != nullptr)
        std::memcpy(d->words, s->words, s->word_count * sizeof(uint64_t));
    d->sign = s->sign;
}

}  // namespace

namespace lv {

void slot_fill_random(Slot *s, int mantissa_bits, int exponent_bits, uint64_t num_words,
                      uint64_t *mantissa, uint64_t *exp_word, uint64_t *nw_word,
                      uint64_t *aux_word) {
    // Field by field rather than clearing the whole record first: on the
    // sweep's path the record is live, and a 152-byte clear on every step is
    // work the step does not need. Padding and, without a mantissa, the drawn
    // fields are left as the caller had them.
    s->mantissa_words = mantissa;
    s->num_words_mpi = Mpi{nw_word, 1, 0};
    s->exponent_mpi = Mpi{exp_word, 1, 0};
    s->flags = 0;
    s->aux_mpi = Mpi{aux_word, 1, 0};
    s->num_words = num_words;
    s->mantissa_bits = mantissa_bits;
    s->exponent_bits = exponent_bits;
    if (mantissa == nullptr && num_words != 0) return;  // the caller reports the failure

    // The draws, in their fixed order: word 0 (only with a mantissa word),
    // exponent, base, phase, omega, amp_im.
    if (num_words != 0) {
        const auto r1 = static_cast<uint64_t>(static_cast<uint32_t>(draw()));
        const auto r2 = static_cast<uint64_t>(static_cast<uint32_t>(draw()));
        mantissa[0] = kTopBit | (r1 << 32) | r2;
    }
    const auto r3 = static_cast<uint64_t>(static_cast<uint32_t>(draw()));
    const uint64_t span = uint64_t{1} << exponent_bits;  // exponent_bits <= 63
    s->exponent = static_cast<int64_t>(r3 % span) - static_cast<int64_t>(span >> 1);
    s->base = static_cast<float>(normalized_rand() * 0.01 + kPhi);
    s->init_tag = 4096;
    s->phase = normalized_rand() * kTurn;
    s->phase_vel = 0.0;
    s->omega = normalized_rand() * 0.5 + 1.0;
    s->amp_im = normalized_rand() * 0.1;

    mpi_set_value(&s->exponent_mpi, magnitude(s->exponent), s->exponent < 0 ? 1 : 0);
    mpi_set_value(&s->num_words_mpi, num_words, 0);
}

}  // namespace lv

extern "C" {

void mpi_init(Mpi *v, uint64_t count) {
    if (v == nullptr) return;
    v->words = alloc_words(count, true);
    v->word_count = count;
    v->sign = 0;
}

void mpi_free(Mpi *v) {
    if (v == nullptr) return;
    lv::release_words(v->words);
    v->words = nullptr;
    v->word_count = 0;
}

void mpi_copy(Mpi *d, const Mpi *s) {
    if (d == nullptr || s == nullptr || d == s) return;
    mpi_free(d);
    mpi_duplicate(d, s);
}

void mpi_set_value(Mpi *v, uint64_t value, int sign) {
    if (v == nullptr) return;
    if (v->words != nullptr && v->word_count != 0) v->words[0] = value;
    v->sign = static_cast<uint8_t>(sign);
}

Slot slot_init_apa(int mantissa_bits, int exponent_bits) {
    const lv::DefaultFloatEnv float_env;
    const int64_t words = lv::words_for_bits(mantissa_bits);
    if (words < 0 || !lv::exponent_bits_valid(exponent_bits)) return Slot{};
    const auto n = static_cast<uint64_t>(words);
    uint64_t *mantissa = alloc_words(n, true);
    // The three vectors are made whether or not the mantissa was.
    Mpi e{}, nw{}, aux{};
    mpi_init(&e, 1);
    mpi_init(&nw, 1);
    mpi_init(&aux, 1);
    Slot s{};
    lv::slot_fill_random(&s, mantissa_bits, exponent_bits, n, mantissa, e.words, nw.words,
                         aux.words);
    if (mantissa == nullptr && n != 0) {
        lv::report_error("Error: Failed to allocate mantissa.\n");
        s.init_tag = 0;
    }
    return s;
}

void ap_free(Slot *s) {
    if (s == nullptr) return;
    lv::release_words(s->mantissa_words);
    s->mantissa_words = nullptr;
    mpi_free(&s->exponent_mpi);
    mpi_free(&s->num_words_mpi);
    mpi_free(&s->aux_mpi);
    s->num_words = 0;
}

void ap_copy(Slot *d, const Slot *s) {
    if (d == nullptr || s == nullptr || d == s) return;
    ap_free(d);
    d->init_tag = s->init_tag;
    d->flags = s->flags;
    d->num_words = s->num_words;
    d->exponent = s->exponent;
    d->base = s->base;
    d->mantissa_bits = s->mantissa_bits;
    d->exponent_bits = s->exponent_bits;
    d->phase = s->phase;
    d->phase_vel = s->phase_vel;
    d->omega = s->omega;
    d->amp_im = s->amp_im;
    d->exponent_mpi.word_count = s->exponent_mpi.word_count;
    d->exponent_mpi.sign = s->exponent_mpi.sign;
    d->num_words_mpi.word_count = s->num_words_mpi.word_count;
    d->num_words_mpi.sign = s->num_words_mpi.sign;
    d->aux_mpi.word_count = s->aux_mpi.word_count;
    d->aux_mpi.sign = s->aux_mpi.sign;

    if (s->num_words != 0) {
        // A source that claims words without storage copies as zeros.
        d->mantissa_words = alloc_words(s->num_words, s->mantissa_words == nullptr);
        if (d->mantissa_words == nullptr) {
            lv::report_error("Error: Copy allocation failed.\n");
            d->num_words = 0;
            return;
        }
        if (s->mantissa_words != nullptr)
            std::memcpy(d->mantissa_words, s->mantissa_words, s->num_words * sizeof(uint64_t));
    }
    mpi_duplicate(&d->exponent_mpi, &s->exponent_mpi);
    mpi_duplicate(&d->num_words_mpi, &s->num_words_mpi);
    mpi_duplicate(&d->aux_mpi, &s->aux_mpi);
}

double ap_to_double(const Slot *s) {
    const lv::DefaultFloatEnv float_env;
    return s == nullptr ? 0.0 : lv::slot_value(s);
}

}  // extern "C"
