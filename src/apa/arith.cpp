// arith.cpp: mantissa arithmetic on magnitudes: right shift, normalisation, addition.
#include <bit>
#include <cstring>

#include "apa/internal.h"

namespace {

// Right shift of an n-word number (word 0 most significant) by any count.
void shift_right(uint64_t *w, uint64_t n, uint64_t bits) {
    if (bits == 0 || n == 0) return;
    if (bits / 64 >= n) {  // avoids forming 64 x n
        std::memset(w, 0, n * sizeof(uint64_t));
        return;
    }
    const uint64_t k = bits / 64;
    const unsigned s = static_cast<unsigned>(bits % 64);
    if (k > 0) {
        std::memmove(w + k, w, (n - k) * sizeof(uint64_t));
        std::memset(w, 0, k * sizeof(uint64_t));
    }
    if (s > 0) {
        for (uint64_t i = n - 1; i >= 1; --i) w[i] = (w[i - 1] << (64 - s)) | (w[i] >> s);
        w[0] >>= s;
    }
}

// Left shift by bits < 64 x n, zeros entering at the bottom.
void shift_left(uint64_t *w, uint64_t n, uint64_t bits) {
    const uint64_t k = bits / 64;
    const unsigned s = static_cast<unsigned>(bits % 64);
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t src = i + k;
        uint64_t v = src < n ? w[src] << s : 0;
        if (s != 0 && src + 1 < n) v |= w[src + 1] >> (64 - s);
        w[i] = v;
    }
}

constexpr uint64_t kNoSetBit = ~uint64_t{0};

// Leading zero bits of the whole mantissa; kNoSetBit when it is zero, so that
// no count of a mantissa's bits is ever formed from n.
uint64_t leading_zeros(const uint64_t *w, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
        if (w[i] != 0) return 64 * i + static_cast<uint64_t>(std::countl_zero(w[i]));
    return kNoSetBit;
}

bool has_storage(const Slot *s) { return s->num_words == 0 || s->mantissa_words != nullptr; }

}  // namespace

extern "C" {

void ap_shift_right_legacy(uint64_t *words, uint64_t n, int64_t bits) {
    if (words == nullptr || bits <= 0) return;
    shift_right(words, n, static_cast<uint64_t>(bits));
}

void ap_normalize_legacy(Slot *s) {
    if (s == nullptr || s->num_words == 0 || s->mantissa_words == nullptr) return;
    if (!lv::exponent_bits_valid(s->exponent_bits)) return;
    uint64_t *w = s->mantissa_words;
    if (w[0] & lv::kTopBit) return;
    const int64_t min = -static_cast<int64_t>(uint64_t{1} << (s->exponent_bits - 1));
    // Shifting by the whole distance at once gives what single-bit steps give:
    // stop when bit 63 is set, or when the exponent reaches min.
    if (s->exponent > min) {
        const uint64_t room = static_cast<uint64_t>(s->exponent) - static_cast<uint64_t>(min);
        const uint64_t lz = leading_zeros(w, s->num_words);
        if (lz != kNoSetBit && lz <= room) {
            shift_left(w, s->num_words, lz);
            s->exponent -= static_cast<int64_t>(lz);
            return;
        }
        if (lz != kNoSetBit) shift_left(w, s->num_words, room);
        s->exponent = min;
    }
    s->flags |= FLAG_UNDERFLOW;
    if (w[0] == 0) s->exponent = 0;
}

void ap_add_legacy(Slot *a, const Slot *b) {
    if (a == nullptr || b == nullptr) return;
    if (a->num_words != b->num_words) {
        lv::report_error("Error: Unaligned word counts.\n");
        return;
    }
    if (!has_storage(a) || !has_storage(b) || !lv::exponent_bits_valid(a->exponent_bits)) return;
    const uint64_t n = a->num_words;

    Slot t{};
    ap_copy(&t, b);
    if (n != 0 && t.mantissa_words == nullptr) {  // the copy failed and said so
        ap_free(&t);
        return;
    }
    if (a->exponent > t.exponent) {
        shift_right(t.mantissa_words, n,
                    static_cast<uint64_t>(a->exponent) - static_cast<uint64_t>(t.exponent));
        t.exponent = a->exponent;
    } else if (a->exponent < t.exponent) {
        shift_right(a->mantissa_words, n,
                    static_cast<uint64_t>(t.exponent) - static_cast<uint64_t>(a->exponent));
        a->exponent = t.exponent;
    }

    unsigned carry = 0;
    for (uint64_t i = n; i-- > 0;) {
        const uint64_t x = a->mantissa_words[i];
        const uint64_t sum = x + t.mantissa_words[i];
        const unsigned c1 = sum < x;
        const uint64_t total = sum + carry;
        const unsigned c2 = total < sum;
        a->mantissa_words[i] = total;
        carry = c1 | c2;
    }
    if (carry != 0) {
        const int64_t top = static_cast<int64_t>(uint64_t{1} << (a->exponent_bits - 1));
        if (a->exponent < top) {
            a->exponent += 1;
            shift_right(a->mantissa_words, n, 1);
            a->mantissa_words[0] |= lv::kTopBit;
        } else {
            a->flags |= FLAG_OVERFLOW;
        }
    }
    ap_normalize_legacy(a);
    mpi_set_value(&a->exponent_mpi, lv::magnitude(a->exponent), a->exponent < 0 ? 1 : 0);
    ap_free(&t);
}

}  // extern "C"
