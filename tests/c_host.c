/* c_host.c: a C11 host built on the umbrella header: the records as C sees
   them, and a tour of the operations through plain C calls. */
#include <lumivane/lumivane.h>

#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

/* The records' layout is part of the interface: a host compiled against the
   header must agree with the library byte for byte. */
_Static_assert(sizeof(Mpi) == 24, "Mpi is 24 bytes");
_Static_assert(offsetof(Mpi, words) == 0 && offsetof(Mpi, word_count) == 8 &&
                   offsetof(Mpi, sign) == 16,
               "Mpi field offsets");
_Static_assert(sizeof(Slot) == 152, "Slot is 152 bytes");
_Static_assert(offsetof(Slot, mantissa_words) == 0 && offsetof(Slot, num_words_mpi) == 8 &&
                   offsetof(Slot, exponent_mpi) == 32 && offsetof(Slot, init_tag) == 56 &&
                   offsetof(Slot, flags) == 60 && offsetof(Slot, aux_mpi) == 64 &&
                   offsetof(Slot, num_words) == 88 && offsetof(Slot, exponent) == 96 &&
                   offsetof(Slot, base) == 104 && offsetof(Slot, mantissa_bits) == 108 &&
                   offsetof(Slot, exponent_bits) == 112 && offsetof(Slot, phase) == 120 &&
                   offsetof(Slot, phase_vel) == 128 && offsetof(Slot, omega) == 136 &&
                   offsetof(Slot, amp_im) == 144,
               "Slot field offsets");
_Static_assert(sizeof(SlotChunk) == 16 && offsetof(SlotChunk, num_slots) == 8, "SlotChunk");
_Static_assert(sizeof(Lattice) == 64, "Lattice is 64 bytes");
_Static_assert(offsetof(Lattice, chunks) == 0 && offsetof(Lattice, num_chunks) == 8 &&
                   offsetof(Lattice, num_instances) == 12 &&
                   offsetof(Lattice, slots_per_instance) == 16 && offsetof(Lattice, omega) == 24 &&
                   offsetof(Lattice, time) == 32 && offsetof(Lattice, consensus_steps) == 40 &&
                   offsetof(Lattice, phase_var) == 48 && offsetof(Lattice, last_update_ns) == 56,
               "Lattice field offsets");
_Static_assert(sizeof(NeighborLink) == 40 && offsetof(NeighborLink, amp_re) == 0 &&
                   offsetof(NeighborLink, amp_im) == 8 && offsetof(NeighborLink, amp_rate) == 16 &&
                   offsetof(NeighborLink, phase_delta) == 24 &&
                   offsetof(NeighborLink, coupling) == 32,
               "NeighborLink");
_Static_assert(sizeof(SlotState) == 32 && offsetof(SlotState, phase) == 16 &&
                   offsetof(SlotState, phase_vel) == 24,
               "SlotState");
_Static_assert(sizeof(SlotDerivative) == 32 && offsetof(SlotDerivative, d_phase_vel) == 24,
               "SlotDerivative");
_Static_assert(sizeof(Snapshot) == 40 && offsetof(Snapshot, evo) == 0 &&
                   offsetof(Snapshot, timestamp_ns) == 8 && offsetof(Snapshot, phase_var) == 16 &&
                   offsetof(Snapshot, omega) == 24 && offsetof(Snapshot, weight) == 32,
               "Snapshot");
_Static_assert(sizeof(CheckpointLog) == 16 && offsetof(CheckpointLog, count) == 8 &&
                   offsetof(CheckpointLog, capacity) == 12,
               "CheckpointLog");
_Static_assert(SLOTS_PER_CHUNK == 1048576, "chunk size");
_Static_assert(FLAG_NEGATIVE == 0x01 && FLAG_EXCLUDED == 0x02 && FLAG_OVERFLOW == 0x04 &&
                   FLAG_UNDERFLOW == 0x08 && FLAG_LOCKED == 0x10,
               "flag bits");

static int failures = 0;

#define CHECK(cond)                                                             \
    do {                                                                        \
        if (!(cond)) {                                                          \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                         \
        }                                                                       \
    } while (0)

static int near(double a, double b, double tolerance) { return fabs(a - b) <= tolerance; }

static void conversions(void) {
    Slot *phi = ap_from_double(4096, 16, 1.618033988749895);
    CHECK(phi != NULL);
    if (phi == NULL) return;
    CHECK(phi->num_words == 64 && phi->mantissa_bits == 4096 && phi->exponent_bits == 16);
    CHECK(phi->mantissa_words[0] == 0xCF1BBCDCBFA54000ull);
    CHECK(phi->mantissa_words[63] == 0);
    CHECK(phi->exponent == 1 && phi->flags == 0 && phi->init_tag == 4096);
    CHECK(phi->exponent_mpi.words != NULL && phi->exponent_mpi.words[0] == 1 &&
          phi->exponent_mpi.sign == 0);
    CHECK(phi->num_words_mpi.words != NULL && phi->num_words_mpi.words[0] == 64);
    CHECK(ap_to_double(phi) == 1.618033988749895);

    /* A deep copy survives the release of its source. */
    Slot copy = {0};
    ap_copy(&copy, phi);
    CHECK(copy.mantissa_words != phi->mantissa_words);
    ap_free(phi);
    ap_free(phi); /* twice is harmless */
    free(phi);
    CHECK(ap_to_double(&copy) == 1.618033988749895);
    ap_free(&copy);
    CHECK(ap_to_double(&copy) == 0.0 && copy.num_words == 0);

    Slot *neg = ap_from_double(4096, 16, -2.5);
    CHECK(neg != NULL);
    if (neg != NULL) {
        CHECK(neg->flags == FLAG_NEGATIVE);
        CHECK(neg->mantissa_words[0] == 0xA000000000000000ull && neg->exponent == 2);
        CHECK(ap_to_double(neg) == 2.5); /* a magnitude: the sign lives in the flag */
        ap_free(neg);
        free(neg);
    }
    Slot *quarter = ap_from_double(4096, 16, 0.25);
    CHECK(quarter != NULL);
    if (quarter != NULL) {
        CHECK(quarter->exponent == -1 && quarter->exponent_mpi.words[0] == 1 &&
              quarter->exponent_mpi.sign == 1);
        ap_free(quarter);
        free(quarter);
    }
    CHECK(ap_to_double(NULL) == 0.0);
}

static void fresh_slots(void) {
    srand(99u);
    Slot s = slot_init_apa(4544, 30);
    CHECK(s.num_words == 71 && s.mantissa_bits == 4544 && s.exponent_bits == 30);
    CHECK(s.mantissa_words != NULL && (s.mantissa_words[0] >> 63) == 1);
    CHECK(((s.mantissa_words[0] >> 31) & 1u) == 0);
    CHECK(s.exponent >= -(1ll << 29) && s.exponent < (1ll << 29));
    CHECK(s.init_tag == 4096 && s.flags == 0 && s.phase_vel == 0.0);
    CHECK(s.omega >= 1.0 && s.omega <= 1.5 && s.amp_im >= 0.0 && s.amp_im <= 0.1);
    CHECK(s.exponent_mpi.sign == (s.exponent < 0 ? 1 : 0));
    CHECK(s.aux_mpi.words != NULL && s.aux_mpi.words[0] == 0);

    /* Seven draws per slot: the eighth rand() after the seed is the next one. */
    srand(99u);
    int expected_next = 0;
    for (int i = 0; i < 8; ++i) expected_next = rand();
    srand(99u);
    Slot t = slot_init_apa(4544, 30);
    CHECK(rand() == expected_next);
    CHECK(t.mantissa_words[0] == s.mantissa_words[0] && t.exponent == s.exponent);
    ap_free(&s);
    ap_free(&t);
}

static void vectors_and_arithmetic(void) {
    Mpi v;
    mpi_init(&v, 1);
    CHECK(v.words != NULL && v.word_count == 1 && v.sign == 0 && v.words[0] == 0);
    mpi_set_value(&v, 42, 1);
    Mpi w = {0};
    mpi_copy(&w, &v);
    CHECK(w.words != NULL && w.words != v.words && w.words[0] == 42 && w.sign == 1);
    mpi_free(&v);
    CHECK(v.words == NULL && v.word_count == 0 && v.sign == 1);
    mpi_free(&w);

    uint64_t words[2] = {1, 0};
    ap_shift_right_legacy(words, 2, 1);
    CHECK(words[0] == 0 && words[1] == 0x8000000000000000ull);

    Slot *a = ap_from_double(4096, 16, 1.0);
    Slot *b = ap_from_double(4096, 16, 0.5);
    CHECK(a != NULL && b != NULL);
    if (a != NULL && b != NULL) {
        ap_add_legacy(a, b);
        CHECK(ap_to_double(a) == 1.5 && a->exponent == 1);
        CHECK(a->mantissa_words[0] == 0xC000000000000000ull);
    }
    if (a != NULL) {
        ap_free(a);
        free(a);
    }
    if (b != NULL) {
        ap_free(b);
        free(b);
    }
}

static void dynamics(void) {
    /* Records travel by value in both directions. */
    SlotState state = {2.0, -1.0, 0.25, 0.75};
    SlotDerivative d = compute_derivatives(state, NULL, 0, 1.25);
    CHECK(d.d_amp_re == -0.04 && d.d_amp_im == 0.02 && d.d_phase == 0.75 && d.d_phase_vel == 1.25);

    NeighborLink absent = {0.0, 0.0, 0.0, 0.0, 0.0};
    SlotState s2 = {0.3, 0.4, 1.0, 0.5};
    d = compute_derivatives(s2, &absent, 1, 1.0);
    CHECK(near(d.d_amp_re, -0.006, 1e-15) && near(d.d_amp_im, -0.008, 1e-15));
    CHECK(d.d_phase == 0.5 && near(d.d_phase_vel, 0.1585290151921035, 1e-15));

    NeighborLink links[2] = {{1.0, 2.0, 3.0, 4.0, 5.0}, {1.0, 2.0, 3.0, 4.0, 5.0}};
    exchange_analog_links(links, 7, 3, 1);
    CHECK(links[0].amp_re == 0.95 && links[0].amp_im == 1.9 && links[0].amp_rate == 3.0 &&
          links[0].phase_delta == 4.0 && links[0].coupling == 5.0);
    CHECK(links[1].amp_re == 1.0 && links[1].amp_im == 2.0);
}

static void lattice_and_log(void) {
    Lattice *l = lattice_init(4096, 4);
    CHECK(l != NULL);
    if (l == NULL) return;
    CHECK(l->num_chunks == 1 && l->chunks != NULL && l->chunks[0] == NULL);
    CHECK(l->num_instances == 4096 && l->slots_per_instance == 4);
    CHECK(l->omega == 0.0 && l->time == 0.0 && l->consensus_steps == 0 &&
          l->phase_var == 1000000.0);
    /* Past the table: null, and no chunk comes into being. */
    CHECK(lattice_get_chunk(l, 1) == NULL);
    CHECK(lattice_get_slot(l, SLOTS_PER_CHUNK) == NULL);
    CHECK(l->chunks[0] == NULL);

    CHECK(prismatic_recursion(l, 0, 256.0) == 2.0);
    CHECK(near(prismatic_recursion(l, 1, 16.0), 4.428382177228714, 1e-12));

    CheckpointLog *log = checkpoint_init();
    CHECK(log != NULL && log->count == 0 && log->capacity == 10);
    if (log != NULL) {
        for (int evo = 100; evo <= 400; evo += 100) {
            l->phase_var = evo / 1000.0;
            l->omega = evo * 1e-6;
            checkpoint_add(log, evo, l);
        }
        CHECK(log->count == 4);
        CHECK(log->snapshots[0].evo == 100 && log->snapshots[3].evo == 400);
        CHECK(log->snapshots[0].weight == 0.95 * 0.95 * 0.95 && log->snapshots[3].weight == 1.0);
        CHECK(log->snapshots[2].phase_var == 0.3 && log->snapshots[2].omega == 300 * 1e-6);
    }
    checkpoint_free(log);
    checkpoint_free(NULL);
    lattice_free(l);
    lattice_free(NULL);

    /* Without a lattice the boot gives up after its error line. */
    bootloader_init_lattice(NULL, 500, NULL);
}

static void runtime(void) {
    CHECK(det_rand(1) == 1082269761ull);
    srand(5u);
    const double u = get_normalized_rand();
    srand(5u);
    CHECK(u == (double)rand() / 2147483647.0);
    const uint64_t t0 = get_rtc_ns();
    CHECK(rtc_sleep_until(0) == 0);
    CHECK(rtc_sleep_until(t0 + 1000000) == 0);
    CHECK(get_rtc_ns() >= t0 + 1000000);
}

int main(void) {
    conversions();
    fresh_slots();
    vectors_and_arithmetic();
    dynamics();
    lattice_and_log();
    runtime();
    if (failures != 0) {
        fprintf(stderr, "c_host: %d check(s) failed\n", failures);
        return 1;
    }
    return 0;
}
