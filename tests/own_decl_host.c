/* own_decl_host.c: a host that declares the records and operations itself,
   from the published field tables, without any of our headers, and checks
   that the library agrees with those declarations field by field. */
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

/* ---- The records, as a foreign host writes them down. ---- */

typedef struct HostMpi {
    uint64_t *words;
    uint64_t word_count;
    uint8_t sign;
} HostMpi;

typedef struct HostSlot {
    uint64_t *mantissa_words;
    HostMpi num_words_mpi;
    HostMpi exponent_mpi;
    uint16_t init_tag;
    uint32_t flags;
    HostMpi aux_mpi;
    uint64_t num_words;
    int64_t exponent;
    float base;
    int32_t mantissa_bits;
    int32_t exponent_bits;
    double phase;
    double phase_vel;
    double omega;
    double amp_im;
} HostSlot;

typedef struct HostChunk {
    HostSlot *slots;
    uint64_t num_slots;
} HostChunk;

typedef struct HostLattice {
    HostChunk **chunks;
    int32_t num_chunks;
    int32_t num_instances;
    int32_t slots_per_instance;
    double omega;
    double time;
    int32_t consensus_steps;
    double phase_var;
    uint64_t last_update_ns;
} HostLattice;

typedef struct HostLink {
    double amp_re;
    double amp_im;
    double amp_rate;
    double phase_delta;
    double coupling;
} HostLink;

typedef struct HostState {
    double amp_re;
    double amp_im;
    double phase;
    double phase_vel;
} HostState;

typedef struct HostDerivative {
    double d_amp_re;
    double d_amp_im;
    double d_phase;
    double d_phase_vel;
} HostDerivative;

typedef struct HostSnapshot {
    int32_t evo;
    uint64_t timestamp_ns;
    double phase_var;
    double omega;
    double weight;
} HostSnapshot;

typedef struct HostLog {
    HostSnapshot *snapshots;
    int32_t count;
    int32_t capacity;
} HostLog;

_Static_assert(sizeof(HostMpi) == 24 && offsetof(HostMpi, sign) == 16, "Mpi");
_Static_assert(sizeof(HostSlot) == 152, "Slot is 152 bytes");
_Static_assert(offsetof(HostSlot, num_words_mpi) == 8 && offsetof(HostSlot, exponent_mpi) == 32 &&
                   offsetof(HostSlot, init_tag) == 56 && offsetof(HostSlot, flags) == 60 &&
                   offsetof(HostSlot, aux_mpi) == 64 && offsetof(HostSlot, num_words) == 88 &&
                   offsetof(HostSlot, exponent) == 96 && offsetof(HostSlot, base) == 104 &&
                   offsetof(HostSlot, mantissa_bits) == 108 &&
                   offsetof(HostSlot, exponent_bits) == 112 && offsetof(HostSlot, phase) == 120 &&
                   offsetof(HostSlot, phase_vel) == 128 && offsetof(HostSlot, omega) == 136 &&
                   offsetof(HostSlot, amp_im) == 144,
               "Slot offsets");
_Static_assert(sizeof(HostChunk) == 16, "SlotChunk is 16 bytes");
_Static_assert(sizeof(HostLattice) == 64 && offsetof(HostLattice, omega) == 24 &&
                   offsetof(HostLattice, time) == 32 && offsetof(HostLattice, consensus_steps) == 40 &&
                   offsetof(HostLattice, phase_var) == 48 &&
                   offsetof(HostLattice, last_update_ns) == 56,
               "Lattice");
_Static_assert(sizeof(HostLink) == 40 && offsetof(HostLink, phase_delta) == 24 &&
                   offsetof(HostLink, coupling) == 32,
               "NeighborLink");
_Static_assert(sizeof(HostState) == 32 && sizeof(HostDerivative) == 32, "state and derivative");
_Static_assert(sizeof(HostSnapshot) == 40 && offsetof(HostSnapshot, timestamp_ns) == 8 &&
                   offsetof(HostSnapshot, weight) == 32,
               "Snapshot");
_Static_assert(sizeof(HostLog) == 16 && offsetof(HostLog, count) == 8 &&
                   offsetof(HostLog, capacity) == 12,
               "CheckpointLog");

enum { HOST_FLAG_NEGATIVE = 0x01, HOST_FLAG_LOCKED = 0x10, HOST_SLOTS_PER_CHUNK = 1048576 };

/* ---- The operations, declared from their documented signatures. ---- */

HostSlot slot_init_apa(int mantissa_bits, int exponent_bits);
void ap_free(HostSlot *slot);
void ap_copy(HostSlot *destination, const HostSlot *source);
double ap_to_double(const HostSlot *slot);
HostSlot *ap_from_double(int mantissa_bits, int exponent_bits, double x);
HostLattice *lattice_init(int32_t num_instances, int32_t slots_per_instance);
HostSlot *lattice_get_slot(HostLattice *lattice, int32_t slot_index);
void lattice_free(HostLattice *lattice);
HostDerivative compute_derivatives(HostState state, const HostLink *links, int32_t num_links,
                                   double omega);
void rk4_step(HostSlot *slot, const HostLink *links, int32_t num_links, double time, double dt);
void lattice_integrate_rk4(HostLattice *lattice, double dt);
void detect_harmonic_consensus(HostLattice *lattice);
HostLog *checkpoint_init(void);
void checkpoint_add(HostLog *log, int32_t evo, HostLattice *lattice);
void checkpoint_free(HostLog *log);
uint64_t det_rand(uint64_t state);

static int failures = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

static void records_by_value(void) {
    /* A 152-byte record returned by value lands whole in the host's copy. */
    srand(2024u);
    HostSlot s = slot_init_apa(4160, 18);
    CHECK(s.mantissa_bits == 4160 && s.exponent_bits == 18 && s.num_words == 65);
    CHECK(s.mantissa_words != NULL && (s.mantissa_words[0] >> 63) == 1);
    CHECK(s.exponent >= -131072 && s.exponent <= 131071);
    CHECK(s.init_tag == 4096 && s.flags == 0 && s.phase_vel == 0.0);
    CHECK(s.base >= 1.618f && s.base <= 1.6281f);
    CHECK(s.phase >= 0.0 && s.phase <= 6.283185307179586);
    CHECK(s.omega >= 1.0 && s.omega <= 1.5 && s.amp_im >= 0.0 && s.amp_im <= 0.1);
    CHECK(s.num_words_mpi.word_count == 1 && s.num_words_mpi.words[0] == 65);
    CHECK(s.exponent_mpi.words[0] == (uint64_t)(s.exponent < 0 ? -s.exponent : s.exponent));
    CHECK(s.exponent_mpi.sign == (s.exponent < 0));
    CHECK(s.aux_mpi.word_count == 1 && s.aux_mpi.words[0] == 0);
    ap_free(&s);
    CHECK(s.mantissa_words == NULL && s.num_words == 0 && s.exponent_mpi.words == NULL);

    /* The library reads a record the host built by hand. */
    uint64_t word = 0xC90FDAA22168C000ull;
    HostSlot pi = {0};
    pi.mantissa_words = &word;
    pi.num_words = 1;
    pi.exponent = 2;
    pi.flags = HOST_FLAG_NEGATIVE;
    CHECK(ap_to_double(&pi) == 3.141592653589793);

    /* And writes one the host then reads. */
    HostSlot *x = ap_from_double(4096, 16, -2.5);
    CHECK(x != NULL);
    if (x != NULL) {
        CHECK(x->num_words == 64 && x->mantissa_words[0] == 0xA000000000000000ull);
        CHECK(x->exponent == 2 && x->flags == HOST_FLAG_NEGATIVE);
        CHECK(x->exponent_mpi.words[0] == 2 && x->exponent_mpi.sign == 0);
        CHECK(ap_to_double(x) == 2.5);
        HostSlot copy = {0};
        ap_copy(&copy, x);
        CHECK(copy.mantissa_words != x->mantissa_words && copy.exponent == 2 &&
              copy.flags == HOST_FLAG_NEGATIVE && copy.num_words == 64);
        ap_free(x);
        free(x);
        CHECK(ap_to_double(&copy) == 2.5);
        ap_free(&copy);
    }

    /* Both directions of a by-value state and derivative. */
    HostState st = {2.0, -1.0, 0.25, 0.75};
    HostDerivative d = compute_derivatives(st, NULL, 0, 1.25);
    CHECK(d.d_amp_re == -0.04 && d.d_amp_im == 0.02 && d.d_phase == 0.75 && d.d_phase_vel == 1.25);
    HostLink half_turn = {9.0, 9.0, 9.0, 1.5707963267948966, 0.5};
    HostState one = {1.0, 0.0, 0.0, 0.5};
    d = compute_derivatives(one, &half_turn, 1, 1.0);
    CHECK(fabs(d.d_amp_re + 0.02) < 1e-15 && d.d_amp_im == 0.5 && d.d_phase == 0.5 &&
          d.d_phase_vel == 2.0);

    CHECK(det_rand(1) == 1082269761ull);
}

static void lattice_through_own_records(void) {
    HostLattice *l = lattice_init(2, 2);
    CHECK(l != NULL);
    if (l == NULL) return;
    CHECK(l->num_chunks == 1 && l->num_instances == 2 && l->slots_per_instance == 2);
    CHECK(l->omega == 0.0 && l->time == 0.0 && l->consensus_steps == 0 &&
          l->phase_var == 1000000.0 && l->last_update_ns != 0);
    CHECK(l->chunks[0] == NULL);

    /* The first lookup materialises the chunk from the seed's draws, seven
       per slot in position order. */
    srand(31u);
    HostSlot *s3 = lattice_get_slot(l, 3);
    CHECK(s3 != NULL && l->chunks[0] != NULL);
    if (s3 == NULL || l->chunks[0] == NULL) {
        lattice_free(l);
        return;
    }
    CHECK(l->chunks[0]->num_slots == HOST_SLOTS_PER_CHUNK);
    CHECK(s3 == &l->chunks[0]->slots[3]);
    CHECK(s3->mantissa_bits == 4288 && s3->exponent_bits == 22 && s3->num_words == 67);
    HostSlot *s8 = lattice_get_slot(l, 8);
    CHECK(s8 != NULL && s8->mantissa_bits == 4096 && s8->exponent_bits == 16 && s8->num_words == 64);
    CHECK(lattice_get_slot(l, HOST_SLOTS_PER_CHUNK) == NULL);

    srand(31u);
    for (int i = 0; i < 3 * 7; ++i) (void)rand();
    HostSlot again = slot_init_apa(4288, 22);
    CHECK(again.mantissa_words[0] == s3->mantissa_words[0] && again.exponent == s3->exponent);
    CHECK(again.base == s3->base && again.phase == s3->phase && again.omega == s3->omega &&
          again.amp_im == s3->amp_im && again.init_tag == s3->init_tag);
    ap_free(&again);

    /* One RK4 step on slot 0 with eight absent neighbours. */
    HostSlot *s0 = lattice_get_slot(l, 0);
    HostLink links[8] = {{0}};
    s0->flags = HOST_FLAG_LOCKED;
    rk4_step(s0, links, 8, 0.0, 3.0517578125e-05);
    CHECK(s0->num_words == 64 && s0->mantissa_bits == 4096 && s0->init_tag == 4096);
    CHECK((s0->flags & ~(uint32_t)HOST_FLAG_NEGATIVE) == 0);
    CHECK(s0->phase >= 0.0 && s0->phase <= 6.283185307179586);
    CHECK(s0->omega >= 1.0 && s0->omega <= 1.5);

    /* With every declared slot locked a sweep moves nothing but the clock. */
    for (int k = 0; k < 4; ++k) lattice_get_slot(l, k)->flags |= HOST_FLAG_LOCKED;
    l->phase_var = 0.25;
    lattice_integrate_rk4(l, 3.0517578125e-05);
    CHECK(l->time == 3.0517578125e-05 && l->omega == 0.01 * 3.0517578125e-05);
    CHECK(l->phase_var == 0.25 && l->consensus_steps == 0);

    /* Consensus over two unlocked slots at phases 0.5 and 1.5: spread 0.5. */
    l->num_instances = 1;
    HostSlot *a = lattice_get_slot(l, 0), *b = lattice_get_slot(l, 1);
    a->flags = 0;
    b->flags = 0;
    a->phase = 0.5;
    b->phase = 1.5;
    detect_harmonic_consensus(l);
    CHECK(l->phase_var == 0.5 && l->consensus_steps == 0);
    /* One participating slot: spread 0, counted as quiet. */
    a->flags = HOST_FLAG_LOCKED;
    detect_harmonic_consensus(l);
    CHECK(l->phase_var == 0.0 && l->consensus_steps == 1);
    l->num_instances = 2;

    /* The log reads phase_var and omega where the host put them. */
    HostLog *log = checkpoint_init();
    CHECK(log != NULL && log->count == 0 && log->capacity == 10 && log->snapshots != NULL);
    if (log != NULL) {
        l->phase_var = 0.75;
        l->omega = 0.125;
        checkpoint_add(log, 100, l);
        checkpoint_add(log, 200, l);
        CHECK(log->count == 2);
        CHECK(log->snapshots[0].evo == 100 && log->snapshots[0].weight == 0.95);
        CHECK(log->snapshots[1].evo == 200 && log->snapshots[1].weight == 1.0);
        CHECK(log->snapshots[1].phase_var == 0.75 && log->snapshots[1].omega == 0.125);
        CHECK(log->snapshots[1].timestamp_ns >= log->snapshots[0].timestamp_ns);
    }
    checkpoint_free(log);
    lattice_free(l);
}

int main(void) {
    records_by_value();
    lattice_through_own_records();
    if (failures != 0) {
        fprintf(stderr, "own_decl_host: %d check(s) failed\n", failures);
        return 1;
    }
    return 0;
}
