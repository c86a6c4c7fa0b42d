// support.cpp: helpers shared by the tests.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <sstream>

#include "support.h"

namespace lvtest {

int position_of_next(unsigned seed, int next_value, int limit) {
    srand(seed);
    for (int i = 0; i < limit; ++i)
        if (rand() == next_value) return i;
    return -1;
}

namespace {
bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

bool same_mpi(const Mpi &a, const Mpi &b) {
    if (a.word_count != b.word_count || a.sign != b.sign) return false;
    if ((a.words == nullptr) != (b.words == nullptr)) return false;
    return a.words == nullptr || a.word_count == 0 || a.words[0] == b.words[0];
}
}  // namespace

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

::testing::AssertionResult same_slot(const Slot &a, const Slot &b) {
    std::ostringstream why;
    if (a.num_words != b.num_words) why << "num_words " << a.num_words << " vs " << b.num_words << "; ";
    if ((a.mantissa_words == nullptr) != (b.mantissa_words == nullptr)) why << "mantissa storage; ";
    else if (a.mantissa_words != nullptr && a.num_words == b.num_words)
        for (uint64_t i = 0; i < a.num_words; ++i)
            if (a.mantissa_words[i] != b.mantissa_words[i]) {
                why << "word " << i << "; ";
                break;
            }
    if (a.exponent != b.exponent) why << "exponent " << a.exponent << " vs " << b.exponent << "; ";
    if (a.flags != b.flags) why << "flags " << a.flags << " vs " << b.flags << "; ";
    if (a.init_tag != b.init_tag) why << "init_tag; ";
    if (std::bit_cast<uint32_t>(a.base) != std::bit_cast<uint32_t>(b.base)) why << "base; ";
    if (a.mantissa_bits != b.mantissa_bits || a.exponent_bits != b.exponent_bits) why << "widths; ";
    if (!same_bits(a.phase, b.phase)) why << "phase " << a.phase << " vs " << b.phase << "; ";
    if (!same_bits(a.phase_vel, b.phase_vel)) why << "phase_vel; ";
    if (!same_bits(a.omega, b.omega)) why << "omega; ";
    if (!same_bits(a.amp_im, b.amp_im)) why << "amp_im " << a.amp_im << " vs " << b.amp_im << "; ";
    if (!same_mpi(a.exponent_mpi, b.exponent_mpi)) why << "exponent_mpi; ";
    if (!same_mpi(a.num_words_mpi, b.num_words_mpi)) why << "num_words_mpi; ";
    if (!same_mpi(a.aux_mpi, b.aux_mpi)) why << "aux_mpi; ";
    const std::string s = why.str();
    if (s.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << s;
}

}  // namespace lvtest

// Our own entry point, in an object file: the library exports a `main` of its
// own, which would otherwise satisfy the link before gtest_main's archive.
int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
