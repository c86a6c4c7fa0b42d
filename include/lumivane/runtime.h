/* lumivane/runtime.h: random source, clock, pacing, the boot sequence and the entry point. */
#ifndef LUMIVANE_RUNTIME_H
#define LUMIVANE_RUNTIME_H

#include <stdint.h>

#include "lumivane/export.h"

LV_BEGIN_DECLS

struct Lattice;
struct CheckpointLog;

/* One rand() draw divided by 2147483647.0: a value in [0, 1], 1.0 included. */
LV_API double get_normalized_rand(void);
/* One xorshift step (13, 7, 17) on the state; pure. */
LV_API uint64_t det_rand(uint64_t state);
/* CLOCK_MONOTONIC in nanoseconds. */
LV_API uint64_t get_rtc_ns(void);
/* Sleeps once until the monotonic deadline; answers 0, or nanosleep's -1 when
   interrupted (the sleep is not resumed). A past deadline answers 0 at once. */
LV_API int rtc_sleep_until(uint64_t deadline_ns);

/* Builds the constants, then runs `steps` sweeps paced at 30517 ns each,
   saving a snapshot into `log` (may be null) after every non-zero multiple of 100. */
LV_API void bootloader_init_lattice(struct Lattice *lattice, int32_t steps,
                                    struct CheckpointLog *log);

/* The library also exports `main`, the fixed run seeded from the calendar
   clock. It is not declared here, since a host has a main of its own: reach it
   with dlsym(handle, "main") or, from Python, ctypes.CDLL(...).main. */

LV_END_DECLS

#endif
