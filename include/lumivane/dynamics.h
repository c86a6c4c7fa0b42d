/* lumivane/dynamics.h: derivatives, the RK4 step, the sweep, consensus and prismatic recursion. */
#ifndef LUMIVANE_DYNAMICS_H
#define LUMIVANE_DYNAMICS_H

#include <stdint.h>

#include "lumivane/apa.h"
#include "lumivane/export.h"
#include "lumivane/lattice.h"

LV_BEGIN_DECLS

typedef struct NeighborLink {
    double amp_re;
    double amp_im;
    double amp_rate;
    double phase_delta;
    double coupling;
} NeighborLink;

typedef struct SlotState {
    double amp_re;
    double amp_im;
    double phase;
    double phase_vel;
} SlotState;

typedef struct SlotDerivative {
    double d_amp_re;
    double d_amp_im;
    double d_phase;
    double d_phase_vel;
} SlotDerivative;

LV_API SlotDerivative compute_derivatives(SlotState state, const NeighborLink *links,
                                          int32_t num_links, double omega);
LV_API void rk4_step(Slot *slot, const NeighborLink *links, int32_t num_links, double time,
                     double dt);
LV_API void exchange_analog_links(NeighborLink *links, int32_t instance_id,
                                  int32_t num_instances, int32_t num_links);
LV_API void lattice_integrate_rk4(Lattice *lattice, double dt);
LV_API void detect_harmonic_consensus(Lattice *lattice);
LV_API double prismatic_recursion(const Lattice *lattice, int32_t index, double value);

LV_END_DECLS

#endif
