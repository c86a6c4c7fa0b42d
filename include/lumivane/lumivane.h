/* lumivane/lumivane.h: everything a C11 or C++ host needs, in one include.

   The floating-point environment: every operation that computes in floating
   point (main with its printing, the boot, the sweep and its pieces, the
   fold, the recursion, the log's snapshots, materialising a chunk, making a
   slot, conversion both ways, the constants, the draws) computes in the
   default environment, round to nearest without flush-to-zero or
   denormals-are-zero, whatever the calling thread has set, and gives the
   caller its own environment back when it returns (the exception flags it
   raised stay raised). On x86-64 that is MXCSR and the x87 control word, on
   AArch64 FPCR, elsewhere the rounding mode <fenv.h> sets. Where the
   environment is the default already, this costs a read and a comparison. */
#ifndef LUMIVANE_LUMIVANE_H
#define LUMIVANE_LUMIVANE_H

#include "lumivane/apa.h"
#include "lumivane/checkpoint.h"
#include "lumivane/dynamics.h"
#include "lumivane/lattice.h"
#include "lumivane/runtime.h"

#endif
