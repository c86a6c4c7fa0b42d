// support.cpp: helpers shared by the tests.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support.h"

namespace lvtest {

void set_amplitude(Slot *s, double x) {
    const Slot keep = *s;
    Slot *t = ap_from_double(s->mantissa_bits, s->exponent_bits, x);
    ASSERT_NE(t, nullptr);
    ap_copy(s, t);
    ap_free(t);
    std::free(t);
    s->phase = keep.phase;
    s->phase_vel = keep.phase_vel;
    s->omega = keep.omega;
    s->amp_im = keep.amp_im;
    s->base = keep.base;
    s->flags = (keep.flags & ~FLAG_NEGATIVE) | (x < 0.0 ? FLAG_NEGATIVE : 0u);
}

}  // namespace lvtest

// Our own entry point, in an object file: the library exports a `main` of its
// own, which would otherwise satisfy the link before gtest_main's archive.
int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
