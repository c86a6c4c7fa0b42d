// rk4.cpp: the slot derivative, the RK4 step as written, and its in-place twin for the sweep.
#include <cmath>
#include <cstring>
#include <type_traits>

#include "dynamics/step.h"
#include "runtime/fpenv.h"

static_assert(std::is_standard_layout_v<NeighborLink> && offsetof(NeighborLink, amp_re) == 0 &&
              offsetof(NeighborLink, amp_im) == 8 && offsetof(NeighborLink, amp_rate) == 16 &&
              offsetof(NeighborLink, phase_delta) == 24 && offsetof(NeighborLink, coupling) == 32 &&
              sizeof(NeighborLink) == 40);
static_assert(std::is_standard_layout_v<SlotState> && offsetof(SlotState, amp_re) == 0 &&
              offsetof(SlotState, amp_im) == 8 && offsetof(SlotState, phase) == 16 &&
              offsetof(SlotState, phase_vel) == 24 && sizeof(SlotState) == 32);
static_assert(std::is_standard_layout_v<SlotDerivative> &&
              offsetof(SlotDerivative, d_amp_re) == 0 && offsetof(SlotDerivative, d_amp_im) == 8 &&
              offsetof(SlotDerivative, d_phase) == 16 &&
              offsetof(SlotDerivative, d_phase_vel) == 24 && sizeof(SlotDerivative) == 32);

namespace {

bool owns_one_word(const Mpi &v) { return v.words != nullptr && v.word_count >= 1; }

// The slot already owns buffers of exactly the sizes the temporary would bring.
bool can_write_in_place(const Slot *s) {
    return s->mantissa_words != nullptr && s->num_words >= 1 &&
           lv::exponent_bits_valid(s->exponent_bits) &&
           lv::words_for_bits(s->mantissa_bits) == static_cast<int64_t>(s->num_words) &&
           owns_one_word(s->exponent_mpi) && owns_one_word(s->num_words_mpi) &&
           owns_one_word(s->aux_mpi);
}

// Whether words 1 to n - 1 are all zero. Two 16-byte lanes per block instead
// of a chain of single-word ORs: this check reads some seventy words a step.
bool lower_words_zero(const uint64_t *w, uint64_t n) {
    using Lane = uint64_t __attribute__((vector_size(16)));
    Lane a{}, b{};
    uint64_t i = 1;
    for (; i + 4 <= n; i += 4) {
        Lane x, y;
        std::memcpy(&x, w + i, sizeof x);
        std::memcpy(&y, w + i + 2, sizeof y);
        a |= x;
        b |= y;
    }
    uint64_t rest = 0;
    for (; i < n; ++i) rest |= w[i];
    a |= b;
    return (a[0] | a[1] | rest) == 0;
}

// What the general write-back leaves, made in the slot's own buffers with the same
// draws in the same order: the temporary's initialisation, then the conversion.
void write_back_in_place(Slot *slot, double re) {
    const uint64_t n = slot->num_words;
    uint64_t *w = slot->mantissa_words;
    uint64_t *aux = slot->aux_mpi.words;
    lv::slot_fill_random(slot, slot->mantissa_bits, slot->exponent_bits, n, w,
                         slot->exponent_mpi.words, slot->num_words_mpi.words, aux);
    aux[0] = 0;
    // A converted value's lower words are zero; they almost always are
    // already, so read them and write only when needed.
    if (!lower_words_zero(w, n)) std::memset(w + 1, 0, (n - 1) * sizeof(uint64_t));
    lv::set_converted(slot, re);
    // phase, phase_vel and amp_im are the step's own, stored by the caller.
}

struct Evolved {
    SlotState y1;
    lv::Amplitude a;
};

// The stages and the renormalisation, compiled once and shared by both
// steps. Where two NaNs meet in a sum, the compiler's operand order picks
// whose sign survives, so two inlined copies of the same source may disagree
// on a NaN's sign; one shared body cannot.
#if defined(__clang__)
#define LV_ONE_BODY [[gnu::noinline]]
#else
#define LV_ONE_BODY [[gnu::noinline, gnu::noclone]]
#endif

LV_ONE_BODY Evolved evolve(const SlotState &y0, const NeighborLink *links, int32_t n,
                           double omega, double dt, lv::StepMath &m) {
    const SlotState y1 = lv::rk4_integrate(y0, links, n, omega, dt, m.sincos8);
    return Evolved{y1, lv::renormalise(y1, dt, m)};
}

// One RK4 step of a slot whose amplitude reads as a_own. The exported step is
// the plain one (fmod, temporary slot); the sweep's takes the exact shortcuts
// and writes in place when the slot's buffers allow.
template <bool Fast>
void advance(Slot *slot, const NeighborLink *links, int32_t n, double a_own, double dt,
             lv::StepMath &m) {
    const SlotState y0{a_own, slot->amp_im, slot->phase, slot->phase_vel};
    const auto [y1, a] = evolve(y0, links, n, slot->omega, dt, m);
    const double phi = Fast ? lv::wrap_phase_fast(y1.phase) : lv::wrap_phase(y1.phase);
    // The general write-back converts into a temporary slot and copies it
    // over; without a conversion the slot keeps its amplitude, omega, base
    // and flags.
    if (Fast && can_write_in_place(slot))
        write_back_in_place(slot, a.re);
    else
        lv::assign_converted(slot, a.re);
    slot->amp_im = a.im;
    slot->phase = phi;
    slot->phase_vel = y1.phase_vel;
}

}  // namespace

namespace lv {

void step_in_place(Slot *slot, const NeighborLink *links, double a_own, double dt, StepMath &m) {
    advance<true>(slot, links, 8, a_own, dt, m);
}

}  // namespace lv

extern "C" {

SlotDerivative compute_derivatives(SlotState state, const NeighborLink *links, int32_t num_links,
                                   double omega) {
    const lv::DefaultFloatEnv float_env;
    return lv::derive(state, links, links == nullptr ? 0 : num_links, omega);
}

void rk4_step(Slot *slot, const NeighborLink *links, int32_t num_links, double time, double dt) {
    const lv::DefaultFloatEnv float_env;
    (void)time;  // the field does not depend on time
    if (slot == nullptr) return;
    lv::StepMath library{lv::sincos8_scalar, lv::library_exp};
    advance<false>(slot, links, links == nullptr ? 0 : num_links, ap_to_double(slot), dt, library);
}

}  // extern "C"
