// convert.cpp: conversion from double into a freshly drawn high-precision slot.
#include <bit>
#include <cmath>
#include <cstdlib>

#include "apa/internal.h"
#include "runtime/fpenv.h"

namespace lv {

Converted convert_double(double x) {
    // Non-finite values are spelled out: converting them to an integer is undefined.
    if (std::isnan(x)) return {kTopBit, 0};
    if (std::isinf(x)) return {0, 0};
    // frexp's split read off the bits: |x| = (word0 / 2^64) x 2^e with bit 63
    // of word0 set; a subnormal is normalised the same way.
    const uint64_t bits = std::bit_cast<uint64_t>(x) & ~kTopBit;
    const auto biased = static_cast<int64_t>(bits >> 52);
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    if (biased != 0) return {(fraction | (uint64_t{1} << 52)) << 11, biased - 1022};
    if (fraction == 0) return {0, 0};  // zero: callers keep the drawn value instead
    const int lz = std::countl_zero(fraction);
    return {fraction << lz, -1010 - lz};
}

void set_converted(Slot *s, double x) {
    if (x == 0.0) return;
    const Converted c = convert_double(x);
    s->mantissa_words[0] = c.word0;
    s->exponent = c.exponent;
    if (x < 0.0) s->flags |= FLAG_NEGATIVE;
    mpi_set_value(&s->exponent_mpi, magnitude(c.exponent), c.exponent < 0 ? 1 : 0);
}

void assign_converted(Slot *s, double x) {
    const OwnedSlot t{ap_from_double(s->mantissa_bits, s->exponent_bits, x)};
    if (t) ap_copy(s, t.get());
}

}  // namespace lv

extern "C" Slot *ap_from_double(int mantissa_bits, int exponent_bits, double x) {
    const lv::DefaultFloatEnv float_env;
    Slot s = slot_init_apa(mantissa_bits, exponent_bits);
    // Without a mantissa (failed allocation, or widths outside the domain) there
    // is no word 0 to hold the value: a null answer, never a false conversion.
    if (s.mantissa_words == nullptr || s.num_words == 0) {
        ap_free(&s);
        return nullptr;
    }
    auto *r = static_cast<Slot *>(std::malloc(sizeof(Slot)));
    if (r == nullptr) {
        ap_free(&s);
        return nullptr;
    }
    *r = s;
    lv::set_converted(r, x);  // zero: the freshly drawn slot, random word 0 and exponent
    return r;
}
