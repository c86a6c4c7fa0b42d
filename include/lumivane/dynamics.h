/* lumivane/dynamics.h: derivatives, the RK4 step, the sweep, consensus and prismatic recursion.

   Nothing here allocates anything a caller must release. A null lattice or
   slot is never dereferenced: the operation does nothing (draws nothing), and
   prismatic_recursion answers 0.0. A null link array counts as zero links. */
#ifndef LUMIVANE_DYNAMICS_H
#define LUMIVANE_DYNAMICS_H

#include <stdint.h>

#include "lumivane/apa.h"
#include "lumivane/export.h"
#include "lumivane/lattice.h"

LV_BEGIN_DECLS

/* The step the program gives every sweep, 2^-15. */
#define LUMIVANE_NOMINAL_STEP 3.0517578125e-05

/* What one neighbour contributes to a slot. Only phase_delta (neighbour's
   phase - own phase) and coupling (exp(-|1 - |A_nb| / (|A_own| + 1e-10)|))
   reach the derivative; an all-zero link still pulls the phase velocity by
   -sin(phase). */
typedef struct NeighborLink {
    double amp_re;
    double amp_im;
    double amp_rate;
    double phase_delta;
    double coupling;
} NeighborLink;

/* The integrated state of one slot. */
typedef struct SlotState {
    double amp_re;
    double amp_im;
    double phase;
    double phase_vel;
} SlotState;

/* The time derivative of a SlotState, field by field. */
typedef struct SlotDerivative {
    double d_amp_re;
    double d_amp_im;
    double d_phase;
    double d_phase_vel;
} SlotDerivative;

/* The slot's vector field: d_amp = -0.02 amp + sum coupling x (cos, sin) of
   theta_j = phase_delta_j - phase; d_phase = phase_vel; d_phase_vel = sum
   sin theta_j + omega. Pure; draws nothing. num_links <= 0: no links. */
LV_API SlotDerivative compute_derivatives(SlotState state, const NeighborLink *links,
                                          int32_t num_links, double omega);
/* One classic RK4 step of the slot, then the amplitude's modulus decays by
   exp(-0.05 dt), is capped at 1e6 and jittered within +-0.01 (when above
   1e-10), and the phase is wrapped into one turn. The new real amplitude is
   written back through ap_from_double at the slot's widths and ap_copy, so the
   slot also takes that conversion's fresh omega and base, and its flags become
   FLAG_NEGATIVE or 0. Draws eight values: the jitter's, then the
   conversion's seven (what slot_init_apa draws at the slot's widths). When
   the conversion answers null the slot keeps its amplitude, omega, base and
   flags. `time` is not used. */
LV_API void rk4_step(Slot *slot, const NeighborLink *links, int32_t num_links, double time,
                     double dt);
/* Multiplies amp_re and amp_im of the first num_links links by 0.95. The
   instance arguments are not used. Null links or num_links <= 0: nothing. */
LV_API void exchange_analog_links(NeighborLink *links, int32_t instance_id,
                                  int32_t num_instances, int32_t num_links);
/* One sweep: every declared slot in index order, in place, except those with
   FLAG_EXCLUDED, FLAG_OVERFLOW or FLAG_LOCKED, gets one rk4_step against its
   eight neighbours, with a step that adapts from slot to slot (starting at
   dt); then detect_harmonic_consensus, and omega += 0.01 x the final step,
   time += the final step. Draws eight values per stepped slot, plus seven per
   slot of any chunk it materialises (the first sweep of a new lattice
   materialises chunk 0 at its first fetch). */
LV_API void lattice_integrate_rk4(Lattice *lattice, double dt);
/* Measures the spread of the unlocked slots' phases into phase_var, counts
   quiet sweeps (phase_var < 1e-6) in consensus_steps, and at 100 prints the
   lock line, locks every unlocked slot (phase_vel 0, FLAG_LOCKED) and resets
   the count. No unlocked slot, or no declared slot: nothing changes. Draws
   nothing (beyond materialising an absent chunk it reaches). */
LV_API void detect_harmonic_consensus(Lattice *lattice);
/* The arithmetic of lattice_integrate_rk4's sines, cosines and exponentials,
   for the whole process: LATTICE_MATH_SYSTEM (the default) takes the maths
   library's sincos and exp, bit for bit; LATTICE_MATH_CORRECT takes
   correctly rounded sin, cos and exp computed without the maths library, so
   that a run is the same on every machine and maths library (a different run
   from the default's). compute_derivatives and rk4_step always take the
   library's. Answers the mode before the call, or -1 (and changes nothing)
   for an unknown mode, or for LATTICE_MATH_CORRECT in a build that compiled
   the correctly rounded functions with contracted arithmetic. Set it between
   sweeps, not while another thread sweeps. */
#define LATTICE_MATH_SYSTEM 0
#define LATTICE_MATH_CORRECT 1
LV_API int32_t lattice_set_math_mode(int32_t mode);
/* The mode lattice_integrate_rk4 takes now. */
LV_API int32_t lattice_math_mode(void);
/* sqrt(2^k phi^k fib[k] prime[k] (sin(0.01 index + time) / 2 + 1/2)) x
   |value|^(m/8), with k = index mod 16 and m = index mod 7 + 1 (Euclidean
   remainders, so a negative index is taken into the cycles: -1 gives k = 15,
   m = 7). Reads only the lattice's time; draws nothing. */
LV_API double prismatic_recursion(const Lattice *lattice, int32_t index, double value);

LV_END_DECLS

#endif
