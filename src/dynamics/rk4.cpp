// rk4.cpp: the slot derivative, the RK4 step as written, and its in-place twin for the sweep.
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "dynamics/step.h"

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

// The write-back through a temporary slot: convert, deep-copy over the slot, release.
void write_back_general(Slot *slot, double re) {
    Slot *tmp = ap_from_double(slot->mantissa_bits, slot->exponent_bits, re);
    if (tmp == nullptr) return;  // the slot keeps its amplitude, omega, base and flags
    ap_copy(slot, tmp);
    ap_free(tmp);
    std::free(tmp);
}

bool owns_one_word(const Mpi &v) { return v.words != nullptr && v.word_count >= 1; }

// The slot already owns buffers of exactly the sizes the temporary would bring.
bool can_write_in_place(const Slot *s) {
    return s->mantissa_words != nullptr && s->num_words >= 1 &&
           lv::exponent_bits_valid(s->exponent_bits) &&
           lv::words_for_bits(s->mantissa_bits) == static_cast<int64_t>(s->num_words) &&
           owns_one_word(s->exponent_mpi) && owns_one_word(s->num_words_mpi) &&
           owns_one_word(s->aux_mpi);
}

// Zeroes words 1..n-1; they are almost always zero already, so read first
// and write only when needed.
void clear_tail(uint64_t *w, uint64_t n) {
    uint64_t any0 = 0, any1 = 0, any2 = 0, any3 = 0;
    uint64_t i = 1;
    for (; i + 4 <= n; i += 4) {
        any0 |= w[i];
        any1 |= w[i + 1];
        any2 |= w[i + 2];
        any3 |= w[i + 3];
    }
    for (; i < n; ++i) any0 |= w[i];
    if ((any0 | any1 | any2 | any3) != 0) std::memset(w + 1, 0, (n - 1) * sizeof(uint64_t));
}

// What write_back_general leaves, made in the slot's own buffers with the same
// draws in the same order: those of the temporary's initialisation.
void write_back_in_place(Slot *slot, double re) {
    const uint64_t n = slot->num_words;
    uint64_t *w = slot->mantissa_words;
    const lv::Drawn d = lv::draw_fields(slot->exponent_bits, true);
    clear_tail(w, n);
    uint64_t word0 = d.word0;
    int64_t exponent = d.exponent;
    uint32_t flags = 0;
    if (re != 0.0) {  // zero keeps the drawn word and exponent
        const lv::Converted c = lv::convert_double(re);
        word0 = c.word0;
        exponent = c.exponent;
        if (re < 0.0) flags = FLAG_NEGATIVE;
    }
    w[0] = word0;
    slot->exponent = exponent;
    slot->flags = flags;
    slot->init_tag = 4096;
    slot->base = d.base;
    slot->omega = d.omega;
    slot->exponent_mpi.words[0] = lv::magnitude(exponent);
    slot->exponent_mpi.word_count = 1;
    slot->exponent_mpi.sign = exponent < 0 ? 1 : 0;
    slot->num_words_mpi.words[0] = n;
    slot->num_words_mpi.word_count = 1;
    slot->num_words_mpi.sign = 0;
    slot->aux_mpi.words[0] = 0;
    slot->aux_mpi.word_count = 1;
    slot->aux_mpi.sign = 0;
    // phase, phase_vel and amp_im are the step's own, stored by the caller.
}

}  // namespace

namespace lv {

void step_in_place(Slot *slot, const NeighborLink *links, double a_own, double dt) {
    const SlotState y0{a_own, slot->amp_im, slot->phase, slot->phase_vel};
    const SlotState y1 = rk4_integrate(y0, links, 8, slot->omega, dt);
    const Amplitude a = renormalise(y1, dt);
    const double phi = wrap_phase_fast(y1.phase);
    if (can_write_in_place(slot))
        write_back_in_place(slot, a.re);
    else
        write_back_general(slot, a.re);
    slot->amp_im = a.im;
    slot->phase = phi;
    slot->phase_vel = y1.phase_vel;
}

}  // namespace lv

extern "C" {

SlotDerivative compute_derivatives(SlotState state, const NeighborLink *links, int32_t num_links,
                                   double omega) {
    return lv::derive(state, links, links == nullptr ? 0 : num_links, omega);
}

void rk4_step(Slot *slot, const NeighborLink *links, int32_t num_links, double time, double dt) {
    (void)time;  // the field does not depend on time
    if (slot == nullptr) return;
    if (links == nullptr) num_links = 0;
    const SlotState y0{ap_to_double(slot), slot->amp_im, slot->phase, slot->phase_vel};
    const SlotState y1 = lv::rk4_integrate(y0, links, num_links, slot->omega, dt);
    const lv::Amplitude a = lv::renormalise(y1, dt);
    const double phi = lv::wrap_phase(y1.phase);
    write_back_general(slot, a.re);
    slot->amp_im = a.im;
    slot->phase = phi;
    slot->phase_vel = y1.phase_vel;
}

}  // extern "C"
