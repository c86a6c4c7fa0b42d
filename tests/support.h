// support.h: helpers shared by the tests: draw counting, slot comparison, output capture.
#pragma once

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "lumivane/lumivane.h"

namespace lvtest {

// How many rand() draws `f` makes: seeds, runs f, then finds the next value
// in a fresh sequence from the same seed. -1 when not found within `limit`.
template <class F>
int draws_made(F &&f, unsigned seed = 12345u, int limit = 100000);

int position_of_next(unsigned seed, int next_value, int limit);

template <class F>
int draws_made(F &&f, unsigned seed, int limit) {
    srand(seed);
    f();
    const int next = rand();
    return position_of_next(seed, next, limit);
}

// Every field of two slots equal, doubles as bit patterns, words by value.
::testing::AssertionResult same_slot(const Slot &a, const Slot &b);

// The seven values a slot initialisation draws from `seed`, recomputed plainly
// from the rand() sequence (word 0 only when the slot has a mantissa word).
struct Drawn {
    uint64_t word0 = 0;
    int64_t exponent = 0;
    float base = 0.0f;
    double phase = 0.0;
    double omega = 0.0;
    double amp_im = 0.0;
};
double next_unit();
Drawn expected_draws(unsigned seed, int exponent_bits, bool draws_word = true);

// Gives a slot the real amplitude x through ap_from_double and ap_copy, and
// restores its oscillator fields and its flags other than the sign.
void set_amplitude(Slot *s, double x);

}  // namespace lvtest
