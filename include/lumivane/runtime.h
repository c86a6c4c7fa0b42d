/* lumivane/runtime.h: random source, clock, pacing, the boot sequence and the entry point.

   Every value the library draws comes from rand(), one value at a time in
   program order: srand() in the host decides them all. rand() is one
   generator for the whole process, so draws made by two threads at once
   interleave. The fixed run (main) alone, on its own thread and while it
   lasts, draws the same values from a private copy of the C library's
   generator once it has checked that copy against rand(). */
#ifndef LUMIVANE_RUNTIME_H
#define LUMIVANE_RUNTIME_H

#include <stdint.h>

#include "lumivane/export.h"

LV_BEGIN_DECLS

struct Lattice;
struct CheckpointLog;

/* One rand() draw divided by 2147483647.0: a value in [0, 1], 1.0 included.
   Draws one value. */
LV_API double get_normalized_rand(void);
/* One xorshift step (13, 7, 17) on the state; pure, draws nothing. */
LV_API uint64_t det_rand(uint64_t state);
/* CLOCK_MONOTONIC in nanoseconds (seconds x 1e9 + nanoseconds). */
LV_API uint64_t get_rtc_ns(void);
/* Sleeps once until the monotonic deadline; answers 0, or nanosleep's -1 when
   interrupted (the sleep is not resumed). A past deadline answers 0 at once. */
LV_API int rtc_sleep_until(uint64_t deadline_ns);

/* Builds the constants (init_apa_constants), then runs `steps` sweeps of
   step 2^-15 paced against absolute deadlines 30517 ns apart (a slow sweep is
   caught up, never forgiven), saving a snapshot into `log` after every sweep
   whose index is a non-zero multiple of 100, and prints its report lines.
   Draws the constants' 28 values, then the sweeps'. A null lattice prints
   the error line and does nothing else; a null log records nothing. */
LV_API void bootloader_init_lattice(struct Lattice *lattice, int32_t steps,
                                    struct CheckpointLog *log);

/* The library also exports `main`, the fixed run seeded from the calendar
   clock. It is not declared here, since a host has a main of its own: reach it
   with dlsym(handle, "main") or, from Python, ctypes.CDLL(...).main. It runs,
   printing included, in the default floating-point environment whatever the
   caller's, as every operation here does (lumivane/lumivane.h). */

LV_END_DECLS

#endif
