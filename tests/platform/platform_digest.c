/* platform_digest.c: a short workload whose digest two machines compare:
   build a 4096 x 4 lattice, sweep 60 times, fold, sweep 40 times more, and
   print one FNV-1a digest of the lattice's globals and of every declared
   slot's doubles, integers and mantissa words, each fed in little-endian
   byte order, whatever the machine's (.ci/platforms.sh). A second digest
   reads every NaN as one value: RISC-V's arithmetic returns its canonical NaN
   where x86-64, aarch64 and s390x pass an operand's NaN on with its sign, and
   the run's values may become NaN.

     platform_digest system|correct [SEED]
*/
#include <lumivane/lumivane.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct Digest {
    uint64_t h;       /* every bit */
    uint64_t folded;  /* every NaN as one value */
} Digest;

static uint64_t fnv1a(uint64_t h, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        h ^= (v >> (8 * i)) & 0xffu;
        h *= 0x100000001b3ull;
    }
    return h;
}

static void feed_u64(Digest *d, uint64_t v) {
    d->h = fnv1a(d->h, v);
    d->folded = fnv1a(d->folded, v);
}

static void feed_double(Digest *d, double v) {
    uint64_t bits;
    memcpy(&bits, &v, sizeof bits);
    d->h = fnv1a(d->h, bits);
    d->folded = fnv1a(d->folded, v != v ? 0x7ff8000000000000ull : bits);
}

static void feed_slot(Digest *d, const Slot *s) {
    feed_double(d, s->phase);
    feed_double(d, s->phase_vel);
    feed_double(d, s->omega);
    feed_double(d, s->amp_im);
    feed_u64(d, (uint64_t)s->exponent);
    feed_u64(d, s->flags);
    feed_u64(d, s->num_words);
    for (uint64_t w = 0; w < s->num_words && s->mantissa_words != NULL; ++w) feed_u64(d, s->mantissa_words[w]);
}

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3 || (strcmp(argv[1], "system") != 0 && strcmp(argv[1], "correct") != 0)) {
        fputs("usage: platform_digest system|correct [SEED]\n", stderr);
        return 2;
    }
    const int32_t mode = strcmp(argv[1], "correct") == 0 ? LATTICE_MATH_CORRECT : LATTICE_MATH_SYSTEM;
    const unsigned seed = argc == 3 ? (unsigned)strtoul(argv[2], NULL, 10) : 20260101u;
    lattice_set_math_mode(mode);
    srand(seed);
    Lattice *lattice = lattice_init(4096, 4);
    if (lattice == NULL) {
        fputs("platform_digest: could not create the lattice\n", stderr);
        return 1;
    }
    const double dt = 3.0517578125e-05; /* 2^-15 */
    for (int sweep = 0; sweep < 60; ++sweep) lattice_integrate_rk4(lattice, dt);
    lattice_fold(lattice);
    for (int sweep = 0; sweep < 40; ++sweep) lattice_integrate_rk4(lattice, dt);

    Digest d = {0xcbf29ce484222325ull, 0xcbf29ce484222325ull};
    feed_u64(&d, (uint64_t)lattice->num_instances);
    feed_u64(&d, (uint64_t)lattice->slots_per_instance);
    feed_double(&d, lattice->omega);
    feed_double(&d, lattice->time);
    feed_u64(&d, (uint64_t)lattice->consensus_steps);
    feed_double(&d, lattice->phase_var);
    const int32_t n = lattice_declared_slots(lattice);
    for (int32_t i = 0; i < n; ++i) {
        const Slot *s = lattice_get_slot(lattice, i);
        if (s != NULL) feed_slot(&d, s);
    }
    printf("%s %d slots, time %a: %016llx, NaN as one value %016llx\n", argv[1], n, lattice->time,
           (unsigned long long)d.h, (unsigned long long)d.folded);
    lattice_free(lattice);
    return 0;
}
