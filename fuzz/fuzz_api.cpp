// fuzz_api.cpp: the exported interface driven with random sequences of
// operations and hostile arguments: negative, huge and boundary indexes and
// counts, null pointers, slots and vectors without storage, NaN, infinities,
// subnormals and exponents at both ends of their range.
//
// Every input runs alone: the generator is seeded from the input and every
// record is released at the end. Two operations are costly: touching a lattice
// slot materialises a whole chunk (750 MB, about a second under the
// sanitizers) and the widest slot takes 268 MB (a tenth of a second). Only one
// input in 64, chosen by a hash of its bytes, may do one of them, once, so
// that the cheap operations keep most of the time; sweeps, consensus passes
// and folds run only on small declared sizes.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>

#include "lumivane/lumivane.h"
#include "reference/slot.h"

// Hostile counts make the library ask for more memory than exists; the
// library answers such a failure itself, so the allocator must say null.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

#define CHECK(cond)                                                             \
    do {                                                                        \
        if (!(cond)) {                                                          \
            std::fprintf(stderr, "fuzz_api: %s fails (line %d)\n", #cond, __LINE__); \
            std::abort();                                                       \
        }                                                                       \
    } while (0)

constexpr uint64_t kTop = uint64_t{1} << 63;
constexpr int32_t kSmall = 4096;  // most declared slots a sweep, a pass or a fold may visit
constexpr int kGiantBits = INT_MAX - 63;  // the widest slot: 33554431 words, 268 MB

struct Input {
    FuzzedDataProvider p;
    Input(const uint8_t *d, size_t n) : p(d, n) {}

    int range(int lo, int hi) { return p.ConsumeIntegralInRange(lo, hi); }
    template <class T, size_t N>
    T pick(const T (&table)[N]) { return table[p.ConsumeIntegralInRange<size_t>(0, N - 1)]; }

    int32_t i32() {
        static constexpr int32_t kTable[] = {INT32_MIN, INT32_MIN + 1, -1048577, -1048576, -16, -2,
                                             -1, 0, 1, 2, 3, 4, 7, 8, 15, 16, 17, 1048575, 1048576,
                                             1048577, 2146435072, 2146435073, INT32_MAX - 1, INT32_MAX};
        return p.ConsumeBool() ? pick(kTable) : p.ConsumeIntegral<int32_t>();
    }
    int64_t i64() {
        static constexpr int64_t kTable[] = {INT64_MIN, INT64_MIN + 1, -32769, -32768, -1075, -1074,
                                             -1, 0, 1, 63, 64, 65, 127, 128, 1023, 1024, 4544, 4608,
                                             32767, 32768, INT64_MAX - 1, INT64_MAX};
        return p.ConsumeBool() ? pick(kTable) : p.ConsumeIntegral<int64_t>();
    }
    double real() {
        static const double kTable[] = {0.0, -0.0, 1.0, -1.0, 0.5, -2.5, 1e-10, 0.8, 0.4944271909999159,
                                        6.283185307179586, -6.283185307179586, 12.566370614359172,
                                        LUMIVANE_NOMINAL_STEP, 1e-6, 0.1, 1e6, 1e300, -1e300, DBL_MAX,
                                        -DBL_MAX, DBL_MIN, DBL_TRUE_MIN, -DBL_TRUE_MIN,
                                        std::bit_cast<double>(uint64_t{0x000fffffffffffff}),
                                        std::ldexp(1.0, 1023), std::ldexp(1.0, -1074), HUGE_VAL,
                                        -HUGE_VAL, NAN, -NAN,
                                        std::bit_cast<double>(uint64_t{0x7ff0000000000001})};
        return p.ConsumeBool() ? pick(kTable) : std::bit_cast<double>(p.ConsumeIntegral<uint64_t>());
    }
    // Mantissa widths, from none to 80 words and outside the domain; never the giant one.
    int mantissa_bits() {
        static constexpr int kTable[] = {INT32_MIN, -64, -1, 0, 1, 63, 64, 65, 128, 4096, 4160, 4544,
                                         4545, 5120, INT32_MAX - 62, INT32_MAX};
        return p.ConsumeBool() ? pick(kTable) : range(0, 64 * 80);
    }
    int exponent_bits() {
        static constexpr int kTable[] = {INT32_MIN, -1, 0, 1, 2, 16, 18, 30, 31, 32, 62, 63, 64, INT32_MAX};
        return p.ConsumeBool() ? pick(kTable) : range(1, 63);
    }
    // Vector counts: small ones, and ones no allocation can satisfy.
    uint64_t count() {
        static constexpr uint64_t kTable[] = {0, 1, 2, 3, 71, uint64_t{1} << 38, (uint64_t{1} << 61) - 1,
                                              uint64_t{1} << 61, kTop, UINT64_MAX};
        return pick(kTable);
    }
};

bool same_double(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

int64_t words_for(int mantissa_bits) {
    return mantissa_bits < 0 || mantissa_bits > INT32_MAX - 63 ? -1 : (mantissa_bits + 63) / 64;
}

bool valid_width(int eb) { return eb >= 1 && eb <= 63; }

// The conversion of x as frexp splits it; zero keeps the drawn word and exponent.
void check_conversion(const Slot *r, int mb, int eb, double x) {
    const int64_t words = words_for(mb);
    CHECK((r != nullptr) == (words > 0 && valid_width(eb)));
    if (r == nullptr) return;
    CHECK(r->num_words == static_cast<uint64_t>(words) && r->mantissa_words != nullptr);
    CHECK(r->mantissa_bits == mb && r->exponent_bits == eb);
    for (uint64_t i = 1; i < r->num_words && i < 80; ++i) CHECK(r->mantissa_words[i] == 0);
    const uint64_t w0 = r->mantissa_words[0];
    if (x == 0.0) {
        CHECK((w0 & kTop) != 0 && r->flags == 0);
    } else if (std::isnan(x)) {
        CHECK(w0 == kTop && r->exponent == 0 && r->flags == 0);
    } else if (std::isinf(x)) {
        CHECK(w0 == 0 && r->exponent == 0 && r->flags == (x < 0 ? FLAG_NEGATIVE : 0u));
    } else {
        int e = 0;
        const double f = std::frexp(x, &e);
        CHECK(w0 == static_cast<uint64_t>(std::fabs(f) * 18446744073709551616.0) && r->exponent == e);
        CHECK(r->flags == (x < 0 ? FLAG_NEGATIVE : 0u));
        if (e < 1024) CHECK(ap_to_double(r) == std::fabs(x));
    }
    const uint64_t mag = r->exponent < 0 ? 0 - static_cast<uint64_t>(r->exponent) : static_cast<uint64_t>(r->exponent);
    CHECK(r->exponent_mpi.words[0] == mag && r->exponent_mpi.sign == (r->exponent < 0 ? 1 : 0));
}

// After ap_copy(d, s): the scalars are s's, the buffers d's own, the words s's
// (zeros for a source without storage); a failed mantissa copy leaves no words.
void check_copy(const Slot *d, const Slot *s) {
    CHECK(d->flags == s->flags && d->exponent == s->exponent && d->mantissa_bits == s->mantissa_bits &&
          d->exponent_bits == s->exponent_bits && same_double(d->phase, s->phase) &&
          same_double(d->amp_im, s->amp_im) && d->init_tag == s->init_tag);
    if (d->mantissa_words == nullptr) {
        CHECK(d->num_words == 0 || d->num_words == s->num_words);
        return;
    }
    CHECK(d->num_words == s->num_words && d->mantissa_words != s->mantissa_words);
    for (uint64_t i = 0; i < d->num_words && i < 80; ++i)
        CHECK(d->mantissa_words[i] == (s->mantissa_words ? s->mantissa_words[i] : 0));
    for (const auto m : {&Slot::exponent_mpi, &Slot::num_words_mpi, &Slot::aux_mpi}) {
        const Mpi &dv = d->*m, &sv = s->*m;
        CHECK(dv.word_count == sv.word_count && dv.sign == sv.sign);
        CHECK(dv.words == nullptr || dv.words != sv.words);
        if (dv.words && sv.words && dv.word_count != 0) CHECK(dv.words[0] == sv.words[0]);
    }
}

struct World {
    Slot pool[4] = {};
    Mpi vectors[3] = {};
    NeighborLink links[16] = {};
    Lattice *lattice = nullptr;
    CheckpointLog *log = nullptr;
    Lattice fake{};  // a record of global state only: read, never given chunks
    bool may_spend = false;  // the one costly operation of this input

    ~World() {
        for (Slot &s : pool) ap_free(&s);
        for (Mpi &v : vectors) mpi_free(&v);
        checkpoint_free(log);
        lattice_free(lattice);
    }

    bool spend() {
        const bool may = may_spend;
        may_spend = false;
        return may;
    }
    // Whether a lookup in chunk c may go ahead: an absent chunk is the costly kind.
    bool may_reach(int32_t c) {
        if (lattice == nullptr || c < 0 || c >= lattice->num_chunks || lattice->chunks[c] != nullptr)
            return true;
        return spend();
    }
    // Operations that visit every declared slot: only small lattices.
    bool may_visit(int64_t declared) { return declared <= 0 || (declared <= kSmall && may_reach(0)); }
    int32_t declared() const {
        return static_cast<int32_t>(static_cast<uint32_t>(lattice->num_instances) *
                                    static_cast<uint32_t>(lattice->slots_per_instance));
    }

    Slot *lattice_slot(Input &in) {
        const int32_t k = in.p.ConsumeBool() ? in.range(0, 31) : in.i32();
        if (!may_reach(k < 0 ? -1 : k / SLOTS_PER_CHUNK)) return nullptr;
        Slot *s = lattice_get_slot(lattice, k);
        if (k < 0 || lattice == nullptr || k / SLOTS_PER_CHUNK >= lattice->num_chunks) CHECK(s == nullptr);
        return s;
    }
    Slot *slot(Input &in) {
        const int k = in.range(0, 9);
        if (k < 8) return &pool[k % 4];
        return k == 8 ? nullptr : lattice_slot(in);
    }
    // Pool slots own heap buffers only, so their mantissa may be dropped by hand.
    Slot *pool_slot(Input &in) { return &pool[in.range(0, 3)]; }
    Mpi *vector(Input &in) {
        const int k = in.range(0, 7);
        if (k < 3) return &vectors[k];
        if (k == 3) return nullptr;
        Slot *s = slot(in);
        if (s == nullptr) return nullptr;
        return k == 4 ? &s->exponent_mpi : k == 5 ? &s->num_words_mpi : &s->aux_mpi;
    }
    const Lattice *any_lattice(Input &in) {
        const int k = in.range(0, 2);
        return k == 0 ? nullptr : k == 1 ? &fake : lattice;
    }
    // A link array and a count that stays within it (any count without one).
    const NeighborLink *link_args(Input &in, int32_t *n) {
        if (in.range(0, 7) == 0) {
            *n = in.i32();
            return nullptr;
        }
        *n = in.p.ConsumeBool() ? in.range(-2, 16) : in.pick({INT32_MIN, -1, 0, 8, 16});
        return links;
    }
};

void mutate_slot(Input &in, World &w) {
    Slot *s = w.slot(in);
    if (s == nullptr) return;
    switch (in.range(0, 9)) {
        case 0: s->exponent = in.i64(); break;
        case 1: {  // an exponent at either end of its width, or just past it
            const int eb = valid_width(s->exponent_bits) ? s->exponent_bits : 16;
            const int64_t half = static_cast<int64_t>(uint64_t{1} << (eb - 1));
            s->exponent = in.pick({-half, -half - 1, -half + 1, half - 1, half, half + 1});
            break;
        }
        case 2: s->exponent_bits = in.exponent_bits(); break;
        case 3: s->mantissa_bits = in.mantissa_bits(); break;
        case 4: s->flags = in.p.ConsumeIntegral<uint32_t>(); break;
        case 5: s->phase = in.real(); s->phase_vel = in.real(); break;
        case 6: s->omega = in.real(); s->amp_im = in.real(); break;
        case 7: if (s->num_words != 0) s->num_words = in.range(0, static_cast<int>(std::min<uint64_t>(s->num_words, 80))); break;
        case 8: {  // a vector without storage, claiming any count
            Mpi *v = in.pick({&s->exponent_mpi, &s->num_words_mpi, &s->aux_mpi});
            mpi_free(v);
            v->word_count = in.count();
            break;
        }
        default: {  // a mantissa without storage, claiming words, as after a failed allocation
            Slot *p = w.pool_slot(in);
            std::free(p->mantissa_words);
            p->mantissa_words = nullptr;
            if (p->num_words == 0 || in.p.ConsumeBool()) p->num_words = in.count();
            break;
        }
    }
}

void slot_op(Input &in, World &w) {
    switch (in.range(0, 9)) {
        case 0: {
            Slot *s = w.slot(in);
            const int mb = in.mantissa_bits(), eb = in.exponent_bits();
            const Slot fresh = slot_init_apa(mb, eb);
            const int64_t words = words_for(mb);
            if (words < 0 || !valid_width(eb)) CHECK(fresh.mantissa_words == nullptr && fresh.num_words == 0);
            else CHECK(fresh.num_words == static_cast<uint64_t>(words));
            if (s == nullptr) {
                Slot t = fresh;
                ap_free(&t);
            } else {
                ap_free(s);
                *s = fresh;
            }
            break;
        }
        case 1: ap_free(w.slot(in)); break;
        case 2: {
            Slot *d = w.slot(in);
            const Slot *s = in.range(0, 7) == 0 ? d : w.slot(in);
            ap_copy(d, s);
            if (d != nullptr && s != nullptr && d != s) check_copy(d, s);
            break;
        }
        case 3: {
            const Slot *s = w.slot(in);
            const double v = ap_to_double(s);
            // word 0 = 0 past 2^1023 reads as NaN
            CHECK(same_double(v, lvref::read_with_pow(s)) && !(v < 0.0));
            break;
        }
        case 4: {  // a conversion, released or copied into a slot
            const int mb = in.p.ConsumeBool() ? in.range(1, 64 * 72) : in.mantissa_bits();
            const int eb = in.exponent_bits();
            const double x = in.real();
            Slot *r = ap_from_double(mb, eb, x);
            check_conversion(r, mb, eb, x);
            if (r != nullptr && in.p.ConsumeBool()) ap_copy(w.slot(in), r);
            ap_free(r);
            std::free(r);
            break;
        }
        case 5: {
            Slot *s = w.slot(in);
            const int64_t bits = in.i64();
            if (s == nullptr || s->mantissa_words == nullptr) {
                ap_shift_right_legacy(nullptr, in.p.ConsumeIntegral<uint64_t>(), bits);
            } else {
                const auto n = static_cast<uint64_t>(in.range(0, static_cast<int>(std::min<uint64_t>(s->num_words, 80))));
                ap_shift_right_legacy(s->mantissa_words, n, bits);
            }
            break;
        }
        case 6: ap_normalize_legacy(w.slot(in)); break;
        case 7: {
            Slot *a = w.slot(in);
            ap_add_legacy(a, in.range(0, 7) == 0 ? a : w.slot(in));
            break;
        }
        case 8: {  // the widest slot there is, made and released at once
            if (!w.spend()) break;
            const int eb = in.exponent_bits();
            Slot s = slot_init_apa(kGiantBits + in.range(0, 1), eb);
            CHECK(s.num_words == (valid_width(eb) && s.mantissa_bits == kGiantBits ? 33554431u : 0u));
            ap_normalize_legacy(&s);
            ap_free(&s);
            const double x = in.real();
            Slot *r = ap_from_double(kGiantBits, eb, x);
            check_conversion(r, kGiantBits, eb, x);
            ap_free(r);
            std::free(r);
            break;
        }
        default: mutate_slot(in, w); break;
    }
}

void vector_op(Input &in, World &w) {
    Mpi *v = w.vector(in);
    switch (in.range(0, 3)) {
        case 0:  // a vector is initialised empty: release it first
            mpi_free(v);
            mpi_init(v, in.count());
            if (v != nullptr && v->words != nullptr && v->word_count != 0) CHECK(v->words[v->word_count - 1] == 0);
            break;
        case 1: mpi_free(v); break;
        case 2: {
            const Mpi *s = in.range(0, 7) == 0 ? v : w.vector(in);
            mpi_copy(v, s);
            if (v != nullptr && s != nullptr && v != s) CHECK(v->word_count == s->word_count && v->sign == s->sign);
            break;
        }
        default: {
            const uint64_t value = in.p.ConsumeIntegral<uint64_t>();
            mpi_set_value(v, value, in.i32());
            break;
        }
    }
}

void dynamics_op(Input &in, World &w) {
    int32_t n = 0;
    switch (in.range(0, 6)) {
        case 0: {
            NeighborLink &l = w.links[in.range(0, 15)];
            l = NeighborLink{in.real(), in.real(), in.real(), in.real(), in.real()};
            break;
        }
        case 1: {
            const SlotState y{in.real(), in.real(), in.real(), in.real()};
            const NeighborLink *links = w.link_args(in, &n);
            (void)compute_derivatives(y, links, n, in.real());
            break;
        }
        case 2: {
            Slot *s = w.slot(in);
            const NeighborLink *links = w.link_args(in, &n);
            const double time = in.real();
            rk4_step(s, links, n, time, in.real());
            break;
        }
        case 3: {
            const bool none = in.range(0, 7) == 0;
            const int32_t id = in.i32(), instances = in.i32();
            exchange_analog_links(none ? nullptr : w.links, id, instances,
                                  none ? in.i32() : in.range(-2, 16));
            break;
        }
        case 4: {
            w.fake.time = in.real();
            const Lattice *l = w.any_lattice(in);
            const int32_t index = in.i32();
            const double r = prismatic_recursion(l, index, in.real());
            if (l == nullptr) CHECK(r == 0.0);
            break;
        }
        case 5: (void)det_rand(in.p.ConsumeIntegral<uint64_t>()); (void)get_normalized_rand(); break;
        default: {  // deadlines in the past (at once), or a few microseconds ahead
            const uint64_t now = get_rtc_ns();
            const uint64_t d = in.p.ConsumeIntegral<uint64_t>();
            switch (in.range(0, 2)) {
                case 0: CHECK(rtc_sleep_until(now - d % now) == 0); break;
                case 1: CHECK(rtc_sleep_until(in.pick({uint64_t{0}, kTop, UINT64_MAX})) == 0); break;
                default: rtc_sleep_until(now + d % 20000); break;  // a signal may cut it short
            }
            break;
        }
    }
}

void lattice_op(Input &in, World &w) {
    switch (in.range(0, 8)) {
        case 0: {
            const int32_t n = in.p.ConsumeBool() ? in.range(1, 64) : in.i32();
            const int32_t s = in.p.ConsumeBool() ? in.range(1, 64) : in.i32();
            Lattice *l = lattice_init(n, s);
            const int64_t total = int64_t{n} * s;
            CHECK((l != nullptr) == (n > 0 && s > 0 && total <= 2146435072));
            if (l != nullptr) CHECK(l->num_chunks == (total + SLOTS_PER_CHUNK - 1) / SLOTS_PER_CHUNK);
            lattice_free(w.lattice);
            w.lattice = l;
            break;
        }
        case 1:
            if (in.range(0, 3) == 0) {
                lattice_free(nullptr);
            } else {
                lattice_free(w.lattice);
                w.lattice = nullptr;
            }
            break;
        case 2: {
            const int32_t c = in.p.ConsumeBool() ? in.range(-1, 2) : in.i32();
            if (w.may_reach(c)) {
                SlotChunk *chunk = lattice_get_chunk(w.lattice, c);
                if (w.lattice == nullptr || c < 0 || c >= w.lattice->num_chunks) CHECK(chunk == nullptr);
            }
            break;
        }
        case 3: (void)w.lattice_slot(in); break;
        case 4: {  // global fields by hand: counts, time, phase spread, quiet sweeps
            Lattice &l = in.p.ConsumeBool() && w.lattice != nullptr ? *w.lattice : w.fake;
            switch (in.range(0, 3)) {
                case 0: l.num_instances = in.p.ConsumeBool() ? in.range(-4, 64) : in.i32(); break;
                case 1: l.slots_per_instance = in.p.ConsumeBool() ? in.range(-4, 64) : in.i32(); break;
                case 2: l.time = in.real(); l.omega = in.real(); l.phase_var = in.real(); break;
                default: l.consensus_steps = in.p.ConsumeBool() ? in.range(95, 100) : in.i32(); break;
            }
            break;
        }
        case 5:
            if (w.lattice == nullptr || w.may_visit(w.declared())) lattice_integrate_rk4(w.lattice, in.real());
            break;
        case 6:
            if (w.lattice == nullptr || w.may_visit(w.declared())) detect_harmonic_consensus(w.lattice);
            break;
        case 7: {
            Lattice *l = w.lattice;
            if (l != nullptr) {
                const int64_t n = l->num_instances, s = l->slots_per_instance;
                const bool refused = n <= 0 || s <= 0 || 2 * n > MAX_INSTANCES || 2 * n * s > 2146435072;
                if (!refused && !w.may_visit(2 * n * s)) break;
                lattice_fold(l);
                CHECK(l->num_instances == (refused ? n : 2 * n));
            } else {
                lattice_fold(nullptr);
            }
            break;
        }
        default: {  // the boot: constants, a few paced sweeps, snapshots after sweep 100
            const int32_t steps = in.pick({INT32_MIN, -1, 0, 1, 2, 101});
            if (w.lattice != nullptr && steps > 0 && !w.may_visit(int64_t{w.declared()} * steps)) break;
            bootloader_init_lattice(w.lattice, steps, in.p.ConsumeBool() ? w.log : nullptr);
            break;
        }
    }
}

void checkpoint_op(Input &in, World &w) {
    switch (in.range(0, 4)) {
        case 0:
            if (w.log == nullptr) w.log = checkpoint_init();
            break;
        case 1: checkpoint_free(w.log); w.log = nullptr; break;
        case 2: {
            Lattice *l = in.p.ConsumeBool() ? w.lattice : &w.fake;
            CheckpointLog *log = in.range(0, 7) == 0 ? nullptr : w.log;
            checkpoint_add(log, in.i32(), l);
            break;
        }
        case 3:  // count and capacity by hand, the capacity also above the array allocated
            if (w.log != nullptr) {
                w.log->capacity = in.p.ConsumeBool() ? in.range(-1, 2 * LUMIVANE_CHECKPOINT_CAPACITY) : in.i32();
                w.log->count = in.p.ConsumeBool() ? in.range(-1, 2 * LUMIVANE_CHECKPOINT_CAPACITY) : in.i32();
                if (w.log->snapshots != nullptr)
                    w.log->snapshots[in.range(0, LUMIVANE_CHECKPOINT_CAPACITY - 1)].weight = in.real();
            }
            break;
        default:  // a log without its table
            if (w.log != nullptr) {
                std::free(w.log->snapshots);
                w.log->snapshots = nullptr;
            }
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    std::srand(in.p.ConsumeIntegral<uint32_t>());
    World w;
    uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3ULL;
    w.may_spend = h % 64 == 0;
    for (int ops = 0; ops < 64 && in.p.remaining_bytes() > 0; ++ops) {
        switch (in.range(0, 9)) {
            case 0: case 1: case 2: case 3: slot_op(in, w); break;
            case 4: vector_op(in, w); break;
            case 5: case 6: dynamics_op(in, w); break;
            case 7: case 8: lattice_op(in, w); break;
            default:
                if (in.p.ConsumeBool()) checkpoint_op(in, w);
                else init_apa_constants();
                break;
        }
    }
    return 0;
}
