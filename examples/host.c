/* host.c: a C11 host of the installed library: seed the generator, build a
   small lattice, sweep it, fold it, sweep again, print what it holds, and
   release everything.

   Build it against an installed lumivane either way:
     cmake -S examples -B host-build -DCMAKE_PREFIX_PATH=PREFIX && cmake --build host-build
     cc host.c $(pkg-config --cflags --libs lumivane) -lm -o host   (PKG_CONFIG_PATH=PREFIX/lib/pkgconfig)
*/
#include <lumivane/lumivane.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

static void print_slot(Lattice *lattice, int32_t index) {
    const Slot *s = lattice_get_slot(lattice, index);
    if (s == NULL) {
        printf("  slot %d: absent\n", index);
        return;
    }
    /* The real amplitude is high precision; ap_to_double reads it as a double. */
    const double re = ap_to_double(s);
    printf("  slot %4d: re=%.9e im=%.9e phase=%.6f omega=%.6f exp=%ld flags=0x%x\n", index, re,
           s->amp_im, s->phase, s->omega, (long)s->exponent, s->flags);
}

static void print_lattice(const char *title, const Lattice *l) {
    printf("%s: %d instances x %d slots, %d chunk(s), omega=%.9f time=%.9f phase_var=%.6f "
           "consensus_steps=%d\n",
           title, l->num_instances, l->slots_per_instance, l->num_chunks, l->omega, l->time,
           l->phase_var, l->consensus_steps);
}

int main(void) {
    /* Every draw comes from rand(): the host's seed decides the whole result. */
    srand(2026u);

    Lattice *lattice = lattice_init(64, 4);
    if (lattice == NULL) {
        fputs("host: could not create the lattice\n", stderr);
        return 1;
    }
    /* The first slot access materialises the chunk that holds the lattice. */
    const double dt = 3.0517578125e-05; /* 2^-15, the nominal step */
    for (int sweep = 0; sweep < 20; ++sweep) lattice_integrate_rk4(lattice, dt);
    print_lattice("after 20 sweeps", lattice);
    for (int32_t i = 0; i < 4; ++i) print_slot(lattice, i);

    lattice_fold(lattice); /* 64 -> 128 instances: the new half holds perturbed copies */
    for (int sweep = 0; sweep < 20; ++sweep) lattice_integrate_rk4(lattice, dt);
    print_lattice("after the fold and 20 more", lattice);
    for (int32_t i = 0; i < 4; ++i) print_slot(lattice, i);
    print_slot(lattice, 256); /* the first slot of the folded half */

    /* A standalone high-precision number: owned by the caller, released twice over. */
    Slot *x = ap_from_double(4096, 16, -2.5);
    if (x != NULL) {
        printf("ap_from_double(-2.5): word0=0x%016llx exp=%ld flags=0x%x reads %.1f\n",
               (unsigned long long)x->mantissa_words[0], (long)x->exponent, x->flags,
               ap_to_double(x)); /* magnitudes only: the sign lives in FLAG_NEGATIVE */
        ap_free(x);
        free(x);
    }

    lattice_free(lattice);
    return 0;
}
