/* fail_calloc.c: an LD_PRELOAD shim for the programs. LUMIVANE_FAIL_CALLOC
   holds "COUNT,SIZE" or "COUNT,SIZE,N": the Nth call calloc(COUNT, SIZE)
   (the first when N is absent) answers null; every other call goes to the
   C library's allocator. */
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

void *__libc_calloc(size_t count, size_t size);

static int active;
static size_t want_count;
static size_t want_size;
static unsigned long want_nth = 1;
static unsigned long seen;

/* Read once, before the program's own code runs; calls made earlier (by the
   loader) pass through. */
__attribute__((constructor)) static void configure(void) {
    const char *choice = getenv("LUMIVANE_FAIL_CALLOC");
    char *end = NULL;
    if (choice == NULL) return;
    want_count = strtoul(choice, &end, 10);
    if (*end != ',') return;
    want_size = strtoul(end + 1, &end, 10);
    if (*end == ',') want_nth = strtoul(end + 1, &end, 10);
    active = 1;
}

void *calloc(size_t count, size_t size) {
    if (active && count == want_count && size == want_size && ++seen == want_nth) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_calloc(count, size);
}
