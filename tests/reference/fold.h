// reference/fold.h: what a fold makes of one slot, computed plainly from the
// exported operations.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "lumivane/lumivane.h"
#include "reference/slot.h"

namespace lvref {

// The Fibonacci numbers a fold's copies are stepped by, 0.01 x F[i % 16].
inline constexpr float kFib[16] = {1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 610, 987};

// The copy that index i of a fold makes of `source`, taking its draws from
// the current point of the sequence: a deep copy plus the converted Fibonacci
// step (seven draws), then the phase jitter, then the base nudge. The caller
// releases its buffers with ap_free.
inline Slot fold_copy(const Slot &source, int64_t i) {
    Slot e{};
    ap_copy(&e, &source);
    Slot *step = ap_from_double(e.mantissa_bits, e.exponent_bits,
                                static_cast<double>(kFib[i % 16]) * 0.01);
    if (step != nullptr) {
        ap_add_legacy(&e, step);
        ap_free(step);
        std::free(step);
    }
    const double jitter = next_unit();
    e.phase = e.phase + (jitter - 0.5) * 0.1;
    const double nudge = next_unit();
    e.base = static_cast<float>(static_cast<double>(e.base) + nudge * 0.001);
    return e;
}

}  // namespace lvref
