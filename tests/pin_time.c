/* pin_time.c: an LD_PRELOAD shim whose time() answers LUMIVANE_PINNED_TIME. */
#include <stdlib.h>
#include <time.h>

time_t time(time_t *out) {
    const char *v = getenv("LUMIVANE_PINNED_TIME");
    time_t t = v ? (time_t)strtoll(v, NULL, 10) : 0;
    if (out) *out = t;
    return t;
}
