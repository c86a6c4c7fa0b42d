// fault_tests.cpp: allocation-failure injection.
//
// This executable brings its own malloc, calloc, realloc and free, which
// forward to the C library's allocator. While an operation is armed they count
// the calls, fail the chosen ones (answering null with ENOMEM) and remember
// every block they hand out; after the operation and its caller's cleanup, a
// remembered block that is still live is a leak. Standard output and error are
// captured around each armed operation, so messages are checked byte for byte.
//
// Most cases fail the k-th allocation for k = 1, 2, ... until the operation no
// longer reaches k, and check the result, the message, the state that must not
// change, the random draws and the leak count for each k.
#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "lumivane/lumivane.h"
#include "reference/slot.h"
#include "reference/slot_image.h"
#include "support.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);
void __libc_free(void *p);
}

// ---------------------------------------------------------------------------
// The allocator. Its bookkeeping is plain static data and one private
// mapping, so it never allocates through itself.

namespace {

enum class Call : uint8_t { Malloc, Calloc, Realloc };

struct Injector {
    bool counting = false;   // calls are counted and the chosen ones fail
    bool recording = false;  // blocks handed out are remembered
    bool watching = false;   // the release of a remembered block is noted
    uint64_t calls = 0;
    uint64_t fail[8] = {};
    int nfail = 0;
    int nfailed = 0;
    Call failed_kind[8] = {};
    uint64_t bytes[512] = {};  // what call i asked for, for the first calls
};
Injector g;

// The remembered blocks: an open-addressed set of addresses with linear
// probing, in a mapping of its own: room for the four million live blocks
// of a chunk built from separate buffers, at a quarter load.
namespace live_set {
constexpr unsigned kBits = 24;
constexpr size_t kSlots = size_t{1} << kBits;
constexpr uintptr_t kEmpty = 0;
constexpr uintptr_t kGone = 1;
uintptr_t *table = nullptr;
bool dirty = false;
uint64_t live = 0;

// Blocks handed out one after another lie close together, and so do their
// entries: an operation touches few pages of the set.
size_t home(uintptr_t key) { return static_cast<size_t>(key >> 4) & (kSlots - 1); }

int diagnostics_fd = 2;  // standard error, also while it is captured

[[noreturn]] void overflow() {
    static const char msg[] = "fault harness: no room to remember the live blocks\n";
    (void)!write(diagnostics_fd, msg, sizeof msg - 1);
    std::abort();
}

// Empties the set; called outside any armed window.
void reset() {
    const size_t bytes = kSlots * sizeof(uintptr_t);
    if (table == nullptr) {
        void *m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (m == MAP_FAILED) overflow();
        table = static_cast<uintptr_t *>(m);
    } else if (dirty) {
        madvise(table, bytes, MADV_DONTNEED);  // private anonymous pages read back as zero
    }
    dirty = false;
    live = 0;
}

size_t find(uintptr_t key) {
    for (size_t i = home(key), n = 0; n < kSlots; i = (i + 1) & (kSlots - 1), ++n) {
        if (table[i] == key) return i;
        if (table[i] == kEmpty) return kSlots;
    }
    return kSlots;
}

void insert(const void *p) {
    const auto key = reinterpret_cast<uintptr_t>(p);
    for (size_t i = home(key), n = 0; n < kSlots; i = (i + 1) & (kSlots - 1), ++n)
        if (table[i] == kEmpty || table[i] == kGone) {
            table[i] = key;
            dirty = true;
            ++live;
            if (live > kSlots / 2) overflow();  // probes would grow long
            return;
        }
    overflow();
}

bool contains(const void *p) {
    return table != nullptr && find(reinterpret_cast<uintptr_t>(p)) != kSlots;
}

void erase(const void *p) {
    if (table == nullptr) return;
    const size_t i = find(reinterpret_cast<uintptr_t>(p));
    if (i == kSlots) return;
    table[i] = kGone;
    --live;
}
}  // namespace live_set

// Counts an allocation call and answers whether it is one of those to fail.
bool fails(Call kind, uint64_t bytes) {
    if (!g.counting) return false;
    const uint64_t call = ++g.calls;
    if (call < std::size(g.bytes)) g.bytes[call] = bytes;
    for (int i = 0; i < g.nfail; ++i)
        if (g.fail[i] == call) {
            g.failed_kind[g.nfailed++] = kind;
            errno = ENOMEM;
            return true;
        }
    return false;
}

void *remembered(void *p) {
    if (p != nullptr && g.recording) live_set::insert(p);
    return p;
}

}  // namespace

extern "C" {

void *malloc(size_t size) noexcept {
    if (fails(Call::Malloc, size)) return nullptr;
    return remembered(__libc_malloc(size));
}

void *calloc(size_t count, size_t size) noexcept {
    if (fails(Call::Calloc, uint64_t{count} * size)) return nullptr;
    return remembered(__libc_calloc(count, size));
}

void *realloc(void *p, size_t size) noexcept {
    if (fails(Call::Realloc, size)) return nullptr;  // the old block stays as it was
    if (p == nullptr) return remembered(__libc_realloc(p, size));
    // A moved block is the same block: it stays remembered if it was.
    const bool kept = g.watching && live_set::contains(p);
    void *q = __libc_realloc(p, size);
    if (kept && (q != nullptr || size == 0) && q != p) {
        live_set::erase(p);
        if (q != nullptr) live_set::insert(q);
    }
    return q;
}

void free(void *p) noexcept {
    if (p != nullptr && g.watching) live_set::erase(p);
    __libc_free(p);
}

}  // extern "C"

// ---------------------------------------------------------------------------
// Armed operations.

namespace {

std::string read_all(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    return s;
}

// Standard output and error of this process, redirected into two memory files.
class Capture {
public:
    Capture() {
        static const int out_file = memfd_create("lumivane-fault-out", 0);
        static const int err_file = memfd_create("lumivane-fault-err", 0);
        out_file_ = out_file;
        err_file_ = err_file;
        std::fflush(stdout);
        std::fflush(stderr);
        if (ftruncate(out_file_, 0) != 0 || ftruncate(err_file_, 0) != 0) std::abort();
        lseek(out_file_, 0, SEEK_SET);
        lseek(err_file_, 0, SEEK_SET);
        saved_out_ = dup(1);
        saved_err_ = dup(2);
        live_set::diagnostics_fd = saved_err_;
        dup2(out_file_, 1);
        dup2(err_file_, 2);
    }
    void end(std::string *out, std::string *err) {
        if (saved_out_ < 0) return;
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved_out_, 1);
        dup2(saved_err_, 2);
        live_set::diagnostics_fd = 2;
        close(saved_out_);
        close(saved_err_);
        saved_out_ = saved_err_ = -1;
        if (out != nullptr) *out = read_all(out_file_);
        if (err != nullptr) *err = read_all(err_file_);
    }
    ~Capture() { end(nullptr, nullptr); }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

private:
    int out_file_ = -1, err_file_ = -1, saved_out_ = -1, saved_err_ = -1;
};

// One armed operation: from construction to finish() the chosen allocation
// calls fail (counted from 1) and every block handed out is remembered; from
// finish() to destruction (the caller's cleanup) releases are still noted.
// Nothing that allocates may run between construction and finish().
class Armed {
public:
    explicit Armed(std::initializer_list<uint64_t> fail = {}) {
        live_set::reset();
        capture_ = std::make_unique<Capture>();
        g = Injector{};
        for (uint64_t call : fail) g.fail[g.nfail++] = call;
        g.counting = g.recording = g.watching = true;
    }
    void finish() {
        if (finished_) return;
        g.counting = g.recording = false;
        finished_ = true;
        capture_->end(&out, &err);
    }
    ~Armed() {
        finish();
        g.watching = false;
    }
    Armed(const Armed &) = delete;
    Armed &operator=(const Armed &) = delete;

    uint64_t calls() const { return g.calls; }
    // Every chosen call was made (and failed).
    bool reached() const { return g.nfailed == g.nfail; }
    Call failed_kind(int i) const { return g.failed_kind[i]; }
    // What the chosen call was for, told apart by its size rather than by its
    // place in the order of the operation's allocations, which the contract
    // leaves open: the bytes it asked for and which call of that size it was
    // (1 for the first). {0, 0} when it was not reached.
    struct Purpose {
        uint64_t bytes = 0;
        int nth = 0;
    };
    Purpose failed(uint64_t call) const {
        if (!reached() || call >= std::size(g.bytes)) return {};
        Purpose p{g.bytes[call], 0};
        for (uint64_t i = 1; i <= call; ++i) p.nth += g.bytes[i] == p.bytes;
        return p;
    }
    // Blocks handed out during the operation and not yet released.
    uint64_t live() const { return live_set::live; }
    bool handed_out(const void *p) const { return live_set::contains(p); }

    std::string out, err;

private:
    std::unique_ptr<Capture> capture_;
    bool finished_ = false;
};

// Fails the k-th allocation of `attempt` for k = 1, 2, ... until an attempt no
// longer reaches its k-th allocation; answers how many the operation makes.
template <class F>
uint64_t every_allocation(F attempt) {
    for (uint64_t k = 1; k <= 1000; ++k) {
        SCOPED_TRACE(::testing::Message() << "allocation " << k << " fails");
        if (!attempt(k) || ::testing::Test::HasFatalFailure()) return k - 1;
    }
    ADD_FAILURE() << "the operation never stopped allocating";
    return 0;
}

// ---------------------------------------------------------------------------
// Slot images (reference/slot_image.h): every field and word of a slot, kept
// apart from it, so that a slot can be compared with what it held before or
// with a reference.

using lvref::draws_since;
using lvref::image;
using lvref::SlotImage;
using lvref::Vec;
using lvref::VecImage;
using lvref::kAuxVec;
using lvref::kCountVec;
using lvref::kExponentVec;
using lvtest::same_slot;

constexpr uint64_t kWordBytes = sizeof(uint64_t);  // a vector's one word
constexpr uint64_t kRecordBytes = sizeof(Slot);

// A slot as `want` with `change` made to one of its three vectors, whichever
// it is: the order in which an operation allocates them is its own affair.
template <class Change>
::testing::AssertionResult same_but_one_vector(const Slot *s, const SlotImage &want, Change change) {
    for (Vec v : {kExponentVec, kCountVec, kAuxVec}) {
        SlotImage w = want;
        change(w, v);
        if (same_slot(s, w)) return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no single vector explains it; against the slot "
                                         << same_slot(s, want).message();
}
const auto without_words = [](SlotImage &w, Vec v) { w.without_words(v); };

// A deep copy made outside any armed window.
Slot clone(const Slot &s) {
    Slot c{};
    ap_copy(&c, &s);
    return c;
}

// A slot holding x, taken over from a conversion.
Slot converted(int mantissa_bits, int exponent_bits, double x) {
    Slot *t = ap_from_double(mantissa_bits, exponent_bits, x);
    if (t == nullptr) std::abort();
    const Slot s = *t;
    std::free(t);
    return s;
}

constexpr char kMantissaMsg[] = "Error: Failed to allocate mantissa.\n";
constexpr char kCopyMsg[] = "Error: Copy allocation failed.\n";
constexpr char kUnalignedMsg[] = "Error: Unaligned word counts.\n";
constexpr char kFoldMsg[] = "Failed to allocate memory for folding\n";

// ---------------------------------------------------------------------------
// Word vectors and slots.

TEST(AllocationFailure, MpiInitKeepsTheCountWithoutWords) {
    for (const uint64_t count : {uint64_t{1}, uint64_t{5}}) {
        SCOPED_TRACE(::testing::Message() << "count " << count);
        const uint64_t made = every_allocation([&](uint64_t k) {
            Mpi v{nullptr, 77, 1};
            Armed a({k});
            mpi_init(&v, count);
            a.finish();
            if (a.reached())
                EXPECT_EQ(v.words, nullptr);
            else
                EXPECT_TRUE(v.words != nullptr && v.words[count - 1] == 0);
            EXPECT_EQ(v.word_count, count);
            EXPECT_EQ(v.sign, 0);
            EXPECT_EQ(a.err, "");
            mpi_free(&v);
            EXPECT_EQ(a.live(), 0u);
            return a.reached();
        });
        EXPECT_EQ(made, 1u);
    }
}

TEST(AllocationFailure, MpiCopyKeepsCountAndSignWithoutWords) {
    uint64_t word = 0x1234;
    const Mpi sources[] = {{&word, 1, 1}, {nullptr, 2, 1}};  // with storage, without
    for (const Mpi &src : sources) {
        SCOPED_TRACE(::testing::Message() << "source with" << (src.words ? "" : "out") << " storage");
        const uint64_t made = every_allocation([&](uint64_t k) {
            Mpi d{};
            mpi_init(&d, 1);
            mpi_set_value(&d, 42, 0);
            Armed a({k});
            mpi_copy(&d, &src);
            a.finish();
            EXPECT_EQ(d.word_count, src.word_count);
            EXPECT_EQ(d.sign, src.sign);
            if (a.reached())
                EXPECT_EQ(d.words, nullptr);
            else
                EXPECT_TRUE(d.words != nullptr && d.words != src.words &&
                            d.words[0] == (src.words ? word : 0));
            EXPECT_EQ(word, 0x1234u);
            EXPECT_EQ(a.err, "");
            mpi_free(&d);
            EXPECT_EQ(a.live(), 0u);
            return a.reached();
        });
        EXPECT_EQ(made, 1u);
    }
}

TEST(AllocationFailure, SlotInitApaMantissaAndVectors) {
    constexpr unsigned kSeed = 101;
    const struct {
        int mantissa_bits, exponent_bits;
    } widths[] = {{4096, 16}, {4544, 30}};
    for (const auto &w : widths) {
        SCOPED_TRACE(::testing::Message() << "widths " << w.mantissa_bits << ", " << w.exponent_bits);
        std::srand(kSeed);
        Slot ref = slot_init_apa(w.mantissa_bits, w.exponent_bits);
        const SlotImage whole = image(ref);
        ap_free(&ref);

        // The mantissa, then the exponent, count and aux vectors.
        const uint64_t made = every_allocation([&](uint64_t k) {
            std::srand(kSeed);
            Armed a({k});
            Slot s = slot_init_apa(w.mantissa_bits, w.exponent_bits);
            a.finish();
            const int64_t draws = draws_since(kSeed);
            const auto failed = a.failed(k);
            if (failed.bytes == whole.num_words * kWordBytes) {
                // Reported, nothing drawn, the count kept, the vectors made but
                // never set.
                SlotImage want;
                want.num_words = whole.num_words;
                want.mantissa_bits = w.mantissa_bits;
                want.exponent_bits = w.exponent_bits;
                for (auto &v : want.vec) v = VecImage{true, 1, 0, 0};
                EXPECT_TRUE(same_slot(&s, want));
                EXPECT_EQ(a.err, kMantissaMsg);
                EXPECT_EQ(draws, 0);
            } else if (failed.bytes == kWordBytes) {
                EXPECT_TRUE(same_but_one_vector(&s, whole, without_words));
                EXPECT_EQ(a.err, "");
                EXPECT_EQ(draws, 7);
            } else {
                EXPECT_FALSE(a.reached()) << "an allocation of " << failed.bytes << " bytes";
                EXPECT_TRUE(same_slot(&s, whole));
            }
            ap_free(&s);
            EXPECT_EQ(a.live(), 0u);
            return a.reached();
        });
        EXPECT_EQ(made, 4u);
    }
}

TEST(AllocationFailure, ApCopyReportsAMissingMantissaAndSharesNothing) {
    std::srand(7);
    Slot src = slot_init_apa(4160, 18);
    src.flags = FLAG_LOCKED | FLAG_NEGATIVE;
    src.phase_vel = 0.25;
    const SlotImage source = image(src);
    for (const bool fresh_destination : {true, false}) {
        SCOPED_TRACE(fresh_destination ? "initialised destination" : "zero-filled destination");
        const uint64_t made = every_allocation([&](uint64_t k) {
            std::srand(8);
            Slot d = fresh_destination ? slot_init_apa(4096, 16) : Slot{};
            Armed a({k});
            ap_copy(&d, &src);
            a.finish();
            SlotImage want = source;
            const auto failed = a.failed(k);
            if (failed.bytes == source.num_words * kWordBytes) {
                // The scalar fields and vector counts are already the source's.
                want.without_mantissa().num_words = 0;
                for (Vec v : {kExponentVec, kCountVec, kAuxVec}) want.without_words(v);
                EXPECT_EQ(a.err, kCopyMsg);
                EXPECT_TRUE(same_slot(&d, want));
            } else if (failed.bytes == kWordBytes) {
                EXPECT_EQ(a.err, "");
                EXPECT_TRUE(same_but_one_vector(&d, want, without_words));
            } else {
                EXPECT_FALSE(a.reached()) << "an allocation of " << failed.bytes << " bytes";
                EXPECT_EQ(a.err, "");
                EXPECT_TRUE(same_slot(&d, want));
            }
            EXPECT_TRUE(same_slot(&src, source));
            for (const void *p : {static_cast<const void *>(d.mantissa_words),
                                  static_cast<const void *>(d.exponent_mpi.words),
                                  static_cast<const void *>(d.num_words_mpi.words),
                                  static_cast<const void *>(d.aux_mpi.words)})
                if (p != nullptr) {
                    EXPECT_TRUE(a.handed_out(p)) << "a buffer not the copy's own";
                }
            ap_free(&d);
            EXPECT_EQ(a.live(), 0u);
            return a.reached();
        });
        EXPECT_EQ(made, 4u);
    }
    ap_free(&src);
}

TEST(AllocationFailure, ApFromDoubleAnswersNullWithoutMantissaOrRecord) {
    constexpr unsigned kSeed = 202;
    for (const double x : {1.618033988749895, -2.5, 0.0}) {
        SCOPED_TRACE(::testing::Message() << "x = " << x);
        std::srand(kSeed);
        Slot *ref = ap_from_double(4096, 16, x);
        ASSERT_NE(ref, nullptr);
        const SlotImage whole = image(*ref);
        ap_free(ref);
        std::free(ref);

        // The inner slot's mantissa and vectors, then the record.
        const uint64_t made = every_allocation([&](uint64_t k) {
            std::srand(kSeed);
            Armed a({k});
            Slot *r = ap_from_double(4096, 16, x);
            a.finish();
            const int64_t draws = draws_since(kSeed);
            const auto failed = a.failed(k);
            const bool mantissa = failed.bytes == whole.num_words * kWordBytes;
            if (mantissa || failed.bytes == kRecordBytes) {
                EXPECT_EQ(r, nullptr);
                EXPECT_EQ(a.err, mantissa ? kMantissaMsg : "");
                EXPECT_EQ(draws, mantissa ? 0 : 7);  // a failed record still draws
            } else {
                if (failed.bytes == kWordBytes)
                    EXPECT_TRUE(same_but_one_vector(r, whole, without_words));
                else
                    EXPECT_TRUE(!a.reached() && same_slot(r, whole)) << failed.bytes << " bytes";
                EXPECT_EQ(a.err, "");
                EXPECT_EQ(draws, 7);
            }
            if (r != nullptr) {
                ap_free(r);
                std::free(r);
            }
            EXPECT_EQ(a.live(), 0u);
            return a.reached();
        });
        EXPECT_EQ(made, 5u);
    }
}

TEST(AllocationFailure, ApAddLegacyLeavesTheTargetWhenItsTemporaryFails) {
    const struct {
        double a, b;
    } sums[] = {{1.0, 0.5}, {0.5, 1.0}};
    for (const auto &sum : sums) {
        SCOPED_TRACE(::testing::Message() << sum.a << " + " << sum.b);
        std::srand(303);
        Slot a0 = converted(4096, 16, sum.a);
        Slot b = converted(4096, 16, sum.b);
        const SlotImage before = image(a0);
        const SlotImage addend = image(b);
        Slot r = clone(a0);
        ap_add_legacy(&r, &b);
        const SlotImage total = image(r);
        ap_free(&r);

        // The temporary copy of b: its mantissa, then its three vectors.
        const uint64_t made = every_allocation([&](uint64_t k) {
            Slot t = clone(a0);
            Armed a({k});
            ap_add_legacy(&t, &b);
            a.finish();
            // Only a temporary without its mantissa stops the addition.
            const bool stopped = a.failed(k).bytes == addend.num_words * kWordBytes;
            EXPECT_TRUE(same_slot(&t, stopped ? before : total));
            EXPECT_TRUE(same_slot(&b, addend));
            EXPECT_EQ(a.err, stopped ? kCopyMsg : "");
            EXPECT_EQ(a.live(), 0u);  // the temporary is released by the addition itself
            ap_free(&t);
            return a.reached();
        });
        EXPECT_EQ(made, 4u);
        ap_free(&a0);
        ap_free(&b);
    }
}

TEST(AllocationFailure, Rk4StepKeepsTheAmplitudeWhenItsWriteBackFails) {
    std::srand(404);
    Slot slot = converted(4096, 16, 0.75);
    slot.flags |= FLAG_LOCKED;
    slot.phase = 1.0;
    slot.phase_vel = 0.5;
    NeighborLink links[8] = {};
    for (int j = 0; j < 8; ++j) {
        links[j].phase_delta = 0.1 * j - 0.3;
        links[j].coupling = 0.125 * j;
    }
    constexpr unsigned kSeed = 405;
    constexpr double kDt = 0.01;
    const SlotImage before = image(slot);
    Slot r = clone(slot);
    std::srand(kSeed);
    rk4_step(&r, links, 8, 0.0, kDt);
    const SlotImage stepped = image(r);
    ap_free(&r);

    // The temporary's mantissa, vectors and record, then the copy's mantissa
    // and vectors.
    const uint64_t made = every_allocation([&](uint64_t k) {
        Slot s = clone(slot);
        std::srand(kSeed);
        Armed a({k});
        rk4_step(&s, links, 8, 0.0, kDt);
        a.finish();
        const int64_t draws = draws_since(kSeed);
        // The temporary's buffers come before the copy's: first and second
        // mantissa, the first three vector words and the next three.
        const auto failed = a.failed(k);
        const bool mantissa = failed.bytes == before.num_words * kWordBytes;
        SlotImage want = stepped;
        std::string err;
        if ((mantissa && failed.nth == 1) || failed.bytes == kRecordBytes) {
            // No temporary: the amplitude, omega, base and flags stay, the
            // motion is stored all the same.
            want = before;
            want.motion_of(stepped);
            if (mantissa) err = kMantissaMsg;
            EXPECT_TRUE(same_slot(&s, want));
        } else if (failed.bytes == kWordBytes && failed.nth <= 3) {
            // a vector without words copies as a zero word
            EXPECT_TRUE(same_but_one_vector(&s, want, [](SlotImage &w, Vec v) { w.vec[v].word0 = 0; }));
        } else if (mantissa) {
            want.without_mantissa().num_words = 0;
            for (Vec v : {kExponentVec, kCountVec, kAuxVec}) want.without_words(v);
            err = kCopyMsg;
            EXPECT_TRUE(same_slot(&s, want));
        } else if (failed.bytes == kWordBytes) {
            EXPECT_TRUE(same_but_one_vector(&s, want, without_words));
        } else {
            EXPECT_FALSE(a.reached()) << "an allocation of " << failed.bytes << " bytes";
            EXPECT_TRUE(same_slot(&s, want));
        }
        EXPECT_EQ(a.err, err);
        EXPECT_EQ(draws, mantissa && failed.nth == 1 ? 1 : 8);
        ap_free(&s);
        EXPECT_EQ(a.live(), 0u);
        return a.reached();
    });
    EXPECT_EQ(made, 9u);
    ap_free(&slot);
}

TEST(AllocationFailure, InitApaConstantsGoesOnAfterEveryFailure) {
    // Each constant: a fresh slot (mantissa, three vectors), a conversion
    // (mantissa, vectors, record) and a copy into the constant (mantissa,
    // vectors). A failed mantissa of a slot initialisation (the fresh slots'
    // and the conversions') saves its seven draws; a failed copy is reported
    // and draws nothing less. What each failure was for is told by its size,
    // and the outcomes are counted, so any order of the allocations passes.
    struct Outcome {
        const char *what;
        const char *err;
        int64_t draws;
        int times;
        int seen = 0;
    };
    Outcome outcomes[] = {{"mantissa of a slot initialisation", kMantissaMsg, 21, 4},
                          {"mantissa of a copy", kCopyMsg, 28, 2},
                          {"vector", "", 28, 18},
                          {"conversion's record", "", 28, 2}};
    constexpr uint64_t kMantissaBytes = 4096 / 64 * kWordBytes;
    constexpr unsigned kSeed = 505;
    const uint64_t made = every_allocation([&](uint64_t k) {
        std::srand(kSeed);
        Armed a({k});
        init_apa_constants();
        a.finish();
        const int64_t draws = draws_since(kSeed);
        const auto failed = a.failed(k);
        const std::string err = a.err;
        EXPECT_EQ(a.out, "[Bootloader] High-precision constants (PHI, PI) initialized.\n");
        {
            // A second call releases what the first left in the constants:
            // every block the first call handed out is then gone.
            Capture quiet;
            init_apa_constants();
        }
        EXPECT_EQ(a.live(), 0u);
        if (!a.reached()) {
            EXPECT_EQ(std::pair(err, draws), std::pair(std::string(), int64_t{28}));
            return false;
        }
        Outcome *o = failed.bytes == kWordBytes     ? &outcomes[2]
                     : failed.bytes == kRecordBytes ? &outcomes[3]
                     : failed.bytes != kMantissaBytes ? nullptr
                     : err == kCopyMsg               ? &outcomes[1]
                                                     : &outcomes[0];
        if (o == nullptr) {
            ADD_FAILURE() << "an allocation of " << failed.bytes << " bytes";
            return true;
        }
        SCOPED_TRACE(o->what);
        EXPECT_EQ(err, o->err);
        EXPECT_EQ(draws, o->draws);
        ++o->seen;
        return true;
    });
    int total = 0;
    for (const Outcome &o : outcomes) {
        EXPECT_EQ(o.seen, o.times) << o.what;
        total += o.times;
    }
    EXPECT_EQ(made, static_cast<uint64_t>(total));
}

// ---------------------------------------------------------------------------
// Lattice records, the checkpoint log.

TEST(AllocationFailure, LatticeInitAnswersNullAndKeepsNothing) {
    const struct {
        int32_t instances, per_instance, chunks;
    } shapes[] = {{4096, 4, 1}, {1048577, 1, 2}};
    for (const auto &shape : shapes) {
        SCOPED_TRACE(::testing::Message() << shape.instances << " x " << shape.per_instance);
        // The record, then the chunk table.
        const uint64_t made = every_allocation([&](uint64_t k) {
            std::srand(1);
            Armed a({k});
            Lattice *l = lattice_init(shape.instances, shape.per_instance);
            a.finish();
            if (a.reached()) {
                EXPECT_EQ(l, nullptr);
            } else {
                EXPECT_TRUE(l != nullptr && l->num_chunks == shape.chunks);
            }
            EXPECT_EQ(a.err, "");
            EXPECT_EQ(draws_since(1), 0);
            lattice_free(l);
            EXPECT_EQ(a.live(), 0u);
            return a.reached();
        });
        EXPECT_EQ(made, 2u);
    }
}

TEST(AllocationFailure, CheckpointInitAnswersNullAndKeepsNothing) {
    // The record, then the snapshot array.
    const uint64_t made = every_allocation([&](uint64_t k) {
        Armed a({k});
        CheckpointLog *log = checkpoint_init();
        a.finish();
        if (a.reached())
            EXPECT_EQ(log, nullptr);
        else
            EXPECT_TRUE(log != nullptr && log->count == 0 && log->capacity == 10);
        EXPECT_EQ(a.err, "");
        checkpoint_free(log);
        EXPECT_EQ(a.live(), 0u);
        return a.reached();
    });
    EXPECT_EQ(made, 2u);
}

// ---------------------------------------------------------------------------
// Chunks. Materialising one takes 1048576 slot initialisations (about half a
// second); when the chunk-wide block cannot be had, every slot allocates its
// own four buffers, four million allocations. So the chunk record, the block
// and the registry entry are failed one by one, and inside the separate
// buffers only chosen slots: the first, one in the middle and the last.

constexpr int32_t kMid = SLOTS_PER_CHUNK / 2;
constexpr int32_t kLast = SLOTS_PER_CHUNK - 1;

// A chunk made from separate buffers leaves a heap of freed pages behind it;
// handing them back keeps this process at one chunk's worth of memory when
// the next chunk is made.
void release_freed_pages() { malloc_trim(0); }

// What position j of a chunk holds when `skip` values were drawn before it.
SlotImage drawn_slot(unsigned seed, int64_t skip, int32_t j) {
    Slot s = lvref::chunk_slot(seed, skip, j);
    SlotImage m = image(s);
    ap_free(&s);
    return m;
}

// A slot whose mantissa allocation failed at position j: nothing drawn.
SlotImage undrawn_slot(int32_t j) {
    SlotImage m;
    m.num_words = static_cast<uint64_t>(64 + j % 8);
    m.mantissa_bits = lvref::chunk_mantissa_bits(j);
    m.exponent_bits = lvref::chunk_exponent_bits(j);
    for (auto &v : m.vec) v = VecImage{true, 1, 0, 0};
    return m;
}

TEST(AllocationFailure, LatticeGetChunkRecordAndBlock) {
    constexpr unsigned kSeed = 606;
    {
        // The registry of chunk-wide blocks keeps its storage between
        // lattices; one materialisation beforehand gives it room, so its
        // growth is not counted as a leak here (it has a case of its own).
        Lattice *warm = lattice_init(1, 1);
        ASSERT_NE(lattice_get_chunk(warm, 0), nullptr);
        lattice_free(warm);
    }
    const int32_t sample[] = {0, 1, 7, 8, kMid, kLast};
    std::vector<SlotImage> expected;
    for (int32_t j : sample) expected.push_back(drawn_slot(kSeed, 7 * int64_t{j}, j));

    // The chunk record, then the chunk-wide block (which falls back to
    // separate buffers for every slot).
    const uint64_t made = every_allocation([&](uint64_t k) {
        Lattice *l = lattice_init(1, 1);
        std::srand(kSeed);
        Armed a({k});
        SlotChunk *c = lattice_get_chunk(l, 0);
        a.finish();
        EXPECT_EQ(a.err, "");
        // The chunk record is small; the block holds every slot's record and words.
        const uint64_t failed = a.failed(k).bytes;
        const bool separate = failed > uint64_t{SLOTS_PER_CHUNK} * sizeof(Slot);
        if (failed == sizeof(SlotChunk)) {
            EXPECT_EQ(c, nullptr);
            EXPECT_EQ(l->chunks[0], nullptr);
            EXPECT_EQ(draws_since(kSeed), 0);
        } else {
            EXPECT_TRUE(separate || !a.reached()) << "an allocation of " << failed << " bytes";
            EXPECT_TRUE(c != nullptr && l->chunks[0] == c && c->num_slots == SLOTS_PER_CHUNK);
            if (c != nullptr)
                for (size_t i = 0; i < std::size(sample); ++i) {
                    const Slot &s = c->slots[sample[i]];
                    EXPECT_TRUE(same_slot(&s, expected[i])) << "position " << sample[i];
                    // Separate buffers exactly when the block failed.
                    EXPECT_EQ(a.handed_out(s.mantissa_words), separate) << "position " << sample[i];
                }
        }
        lattice_free(l);
        EXPECT_EQ(a.live(), 0u);
        release_freed_pages();
        return a.reached();
    });
    EXPECT_EQ(made, 2u);
}

TEST(AllocationFailure, LatticeGetChunkSeparateBuffers) {
    constexpr unsigned kSeed = 707;
    // Calls: 1 the chunk record, 2 the chunk-wide block (failed in every case),
    // 3 the block of slot records, then four per slot: mantissa, exponent,
    // count and aux vectors.
    auto slot_call = [](int32_t j, int which) { return 4 + 4 * uint64_t(j) + uint64_t(which); };
    const SlotImage slot1 = drawn_slot(kSeed, 0, 1);           // draws where slot 0 failed to draw
    const SlotImage mid = drawn_slot(kSeed, 7 * int64_t{kMid - 1}, kMid);
    const SlotImage before_last = drawn_slot(kSeed, 7 * int64_t{kLast - 2}, kLast - 1);

    {
        SCOPED_TRACE("the block of slot records");
        Lattice *l = lattice_init(1, 1);
        std::srand(kSeed);
        Armed a({2, 3});
        SlotChunk *c = lattice_get_chunk(l, 0);
        a.finish();
        EXPECT_TRUE(a.reached());
        EXPECT_EQ(c, nullptr);
        EXPECT_EQ(l->chunks[0], nullptr);
        EXPECT_EQ(a.err, "");
        EXPECT_EQ(draws_since(kSeed), 0);
        EXPECT_EQ(a.live(), 0u);
        lattice_free(l);
    }
    {
        SCOPED_TRACE("slot buffers: first mantissa, middle exponent vector, last mantissa");
        Lattice *l = lattice_init(1, 1);
        std::srand(kSeed);
        Armed a({2, slot_call(0, 0), slot_call(kMid, 1), slot_call(kLast, 0)});
        SlotChunk *c = lattice_get_chunk(l, 0);
        a.finish();
        EXPECT_TRUE(a.reached());
        EXPECT_EQ(a.calls(), 3 + 4 * uint64_t{SLOTS_PER_CHUNK});
        ASSERT_TRUE(c != nullptr && l->chunks[0] == c);
        // Each failed mantissa is reported and draws nothing; the loop goes on.
        EXPECT_EQ(a.err, std::string(kMantissaMsg) + kMantissaMsg);
        EXPECT_EQ(draws_since(kSeed, 8000000), 7 * int64_t{SLOTS_PER_CHUNK} - 14);
        EXPECT_TRUE(same_slot(&c->slots[0], undrawn_slot(0)));
        EXPECT_TRUE(same_slot(&c->slots[1], slot1));
        SlotImage mid_without = mid;
        EXPECT_TRUE(same_slot(&c->slots[kMid], mid_without.without_words(kExponentVec)));
        EXPECT_TRUE(same_slot(&c->slots[kLast - 1], before_last));
        EXPECT_TRUE(same_slot(&c->slots[kLast], undrawn_slot(kLast)));
        lattice_free(l);
        EXPECT_EQ(a.live(), 0u);
        release_freed_pages();
    }
}

TEST(AllocationFailure, LatticeGetChunkRegistryCannotGrow) {
    // The registry has room for as many chunks as were ever live at once:
    // holding one chunk while a second is made makes it grow, at call 3
    // (after the chunk record and the block), unless an earlier case in the
    // same process held two (ctest runs this case in a process of its own).
    constexpr unsigned kSeed = 808;
    const SlotImage first = drawn_slot(kSeed, 0, 0);
    Lattice *held = lattice_init(1, 1);
    ASSERT_NE(lattice_get_chunk(held, 0), nullptr);
    Lattice *l = lattice_init(1, 1);
    SlotChunk *c = nullptr;
    bool threw = false;
    {
        std::srand(kSeed);
        Armed a({3});
        try {
            c = lattice_get_chunk(l, 0);
        } catch (...) {
            threw = true;
        }
        a.finish();
        if (!a.reached() && !threw) {
            lattice_free(l);
            lattice_free(held);
            GTEST_SKIP() << "the registry already had room for a second chunk";
        }
        EXPECT_FALSE(threw) << "an allocation failure escaped as an exception";
        // The chunk still comes into being, from separate buffers.
        EXPECT_TRUE(c != nullptr && l->chunks[0] == c);
        if (c != nullptr) {
            EXPECT_TRUE(same_slot(&c->slots[0], first));
            EXPECT_TRUE(a.handed_out(c->slots[0].mantissa_words));
        }
        EXPECT_EQ(a.err, "");
        lattice_free(l);
        EXPECT_EQ(a.live(), 0u);
    }
    lattice_free(held);
}

// ---------------------------------------------------------------------------
// Folding.

TEST(AllocationFailure, LatticeFoldTableResizeChangesNothing) {
    const struct {
        int32_t instances, per_instance;
    } shapes[] = {{4096, 4}, {1048577, 1}};  // a table that keeps its length, one that grows
    for (const auto &shape : shapes) {
        SCOPED_TRACE(::testing::Message() << shape.instances << " x " << shape.per_instance);
        Lattice *l = lattice_init(shape.instances, shape.per_instance);
        ASSERT_NE(l, nullptr);
        unsigned char before[sizeof(Lattice)];
        std::memcpy(before, l, sizeof before);
        std::srand(9);
        {
            Armed a({1});
            lattice_fold(l);
            a.finish();
            EXPECT_TRUE(a.reached());
            EXPECT_EQ(a.failed_kind(0), Call::Realloc);
            EXPECT_EQ(a.err, kFoldMsg);
            EXPECT_EQ(a.live(), 0u);
        }
        EXPECT_EQ(std::memcmp(l, before, sizeof before), 0) << "the lattice record changed";
        for (int32_t c = 0; c < l->num_chunks; ++c) EXPECT_EQ(l->chunks[c], nullptr);
        EXPECT_EQ(draws_since(9), 0);
        lattice_free(l);
    }
}

TEST(AllocationFailure, LatticeFoldPerSlotWork) {
    // Each copied slot allocates, in order: its copy (mantissa, three
    // vectors), the perturbation (mantissa, three vectors, record) and the
    // addition's temporary (mantissa, three vectors). Every one is failed for
    // the first, a middle and the last slot of the lower half; failing it for
    // all 16384 would mean 200 000 folds.
    enum Outcome {
        kReference,      // as without failure
        kVectorMissing,  // as without failure, but one vector without words
        kUnperturbed,    // the plain copy: no addition
        kEmptied,        // the copy lost its mantissa
    };
    struct Step {
        const char *what;
        std::string err;
        Outcome outcome;  // kVectorMissing: any one of the three, whichever the copy makes first
        bool shifts_draws;
    };
    const Step steps[] = {
        {"copy: mantissa", std::string(kCopyMsg) + kUnalignedMsg, kEmptied, false},
        {"copy: a vector", "", kVectorMissing, false},
        {"copy: another vector", "", kVectorMissing, false},
        {"copy: the third vector", "", kVectorMissing, false},
        {"perturbation: mantissa", kMantissaMsg, kUnperturbed, true},
        {"perturbation: exponent vector", "", kReference, false},
        {"perturbation: count vector", "", kReference, false},
        {"perturbation: aux vector", "", kReference, false},
        {"perturbation: record", "", kUnperturbed, false},
        {"addition: temporary mantissa", kCopyMsg, kUnperturbed, false},
        {"addition: temporary exponent vector", "", kReference, false},
        {"addition: temporary count vector", "", kReference, false},
        {"addition: temporary aux vector", "", kReference, false},
    };
    constexpr int32_t kHalf = 4096 * 4;
    constexpr unsigned kSeed = 909;
    const int32_t picks[] = {0, kHalf / 2, kHalf - 1};

    Lattice *l = lattice_init(4096, 4);
    ASSERT_NE(lattice_get_slot(l, 0), nullptr);
    std::vector<SlotImage> sources;
    for (int32_t i : picks) sources.push_back(image(*lattice_get_slot(l, i)));

    // Releases the upper half (the caller's cleanup: the copies own their
    // buffers) and makes the lattice foldable again.
    auto unfold = [&] {
        for (int32_t i = kHalf; i < 2 * kHalf; ++i) ap_free(lattice_get_slot(l, i));
        l->num_instances = 4096;
    };

    std::vector<SlotImage> reference;  // destinations of the picks, and their successors
    uint64_t per_slot = 0;
    {
        std::srand(kSeed);
        Armed a;
        lattice_fold(l);
        a.finish();
        ASSERT_EQ(l->num_instances, 8192);
        ASSERT_EQ((a.calls() - 1) % kHalf, 0u);
        per_slot = (a.calls() - 1) / kHalf;
        for (int32_t i : picks)
            for (int32_t d : {kHalf + i, kHalf + i + 1})
                reference.push_back(d < 2 * kHalf ? image(*lattice_get_slot(l, d)) : SlotImage{});
        unfold();
        EXPECT_EQ(a.live(), 0u);
    }
    ASSERT_EQ(per_slot, std::size(steps));

    for (size_t p = 0; p < std::size(picks); ++p) {
        const int32_t i = picks[p];
        for (uint64_t m = 0; m < per_slot; ++m) {
            const Step &step = steps[m];
            SCOPED_TRACE(::testing::Message() << "slot " << i << ", " << step.what);
            std::srand(kSeed);
            Armed a({2 + per_slot * uint64_t(i) + m});
            lattice_fold(l);
            a.finish();
            EXPECT_TRUE(a.reached());
            EXPECT_EQ(a.err, step.err);
            EXPECT_EQ(l->num_instances, 8192) << "the fold did not go on";
            const Slot *dst = lattice_get_slot(l, kHalf + i);
            const SlotImage &ref = reference[2 * p];
            SlotImage want = ref;
            switch (step.outcome) {
                case kReference:
                    break;
                case kVectorMissing:
                    break;
                case kUnperturbed:
                case kEmptied:
                    want = sources[p];
                    // The phase and base draws still follow; after a failed
                    // perturbation mantissa they come seven draws earlier.
                    want.phase = step.shifts_draws ? image(*dst).phase : ref.phase;
                    want.base = step.shifts_draws ? image(*dst).base : ref.base;
                    if (step.outcome == kEmptied) {
                        want.without_mantissa().num_words = 0;
                        for (Vec v : {kExponentVec, kCountVec, kAuxVec}) want.without_words(v);
                    }
                    break;
            }
            EXPECT_TRUE(step.outcome == kVectorMissing ? same_but_one_vector(dst, want, without_words)
                                                       : same_slot(dst, want));
            if (i + 1 < kHalf && !step.shifts_draws) {
                EXPECT_TRUE(same_slot(lattice_get_slot(l, kHalf + i + 1), reference[2 * p + 1]))
                    << "the next copy";
            }
            unfold();
            EXPECT_EQ(a.live(), 0u);
        }
    }
    for (size_t p = 0; p < std::size(picks); ++p)
        EXPECT_TRUE(same_slot(lattice_get_slot(l, picks[p]), sources[p])) << "a source changed";
    lattice_free(l);
}

TEST(AllocationFailure, LatticeFoldGoesOnWhenAnAddedChunkCannotBeMade) {
    // One instance of a whole chunk: every copy lands in the added chunk, and
    // the first copy's fetch is the one that would make it.
    constexpr unsigned kSeed = 919;
    constexpr int64_t kChunk = SLOTS_PER_CHUNK;
    Lattice *l = lattice_init(1, SLOTS_PER_CHUNK);
    ASSERT_NE(lattice_get_slot(l, 0), nullptr);
    {
        // Room in the registry of blocks for two chunks at once, so that its
        // growth is not counted as a leak below.
        Lattice *w = lattice_init(1, 1);
        ASSERT_NE(lattice_get_chunk(w, 0), nullptr);
        lattice_free(w);
    }
    const SlotImage source1 = image(*lattice_get_slot(l, 1));
    const SlotImage fresh0 = drawn_slot(kSeed, 0, 0);

    std::srand(kSeed);
    Armed a({2});  // 1 the table, 2 the added chunk's record
    lattice_fold(l);
    a.finish();
    EXPECT_TRUE(a.reached());
    EXPECT_EQ(a.failed_kind(0), Call::Malloc);
    EXPECT_EQ(a.err, "");
    EXPECT_EQ(l->num_instances, 2) << "the fold did not go on";
    ASSERT_EQ(l->num_chunks, 2);
    ASSERT_NE(l->chunks[1], nullptr) << "the next copy's fetch made the chunk";
    // The first copy was skipped, drawing nothing: its destination is the
    // chunk's own first slot, drawn first; every later copy was made.
    EXPECT_TRUE(same_slot(lattice_get_slot(l, kChunk), fresh0));
    const Slot *copy1 = lattice_get_slot(l, kChunk + 1);
    EXPECT_EQ(std::bit_cast<uint64_t>(copy1->omega), source1.omega);
    EXPECT_EQ(copy1->exponent_bits, source1.exponent_bits);
    EXPECT_EQ(draws_since(kSeed, 20000000), 7 * kChunk + 9 * (kChunk - 1));
    lattice_free(l);
    EXPECT_EQ(a.live(), 0u);
}

// ---------------------------------------------------------------------------
// The programs: a failed lattice or log creation ends the run.

struct Finished {
    std::string out, err;
    int status = -1;  // exit status, or -1 when the program did not exit
};

// Runs a program with the calloc-failing shim preloaded.
Finished run_failing(const std::vector<std::string> &argv, const std::string &choice) {
    Finished f;
    const int out = memfd_create("lumivane-child-out", 0);
    const int err = memfd_create("lumivane-child-err", 0);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(err, 2);
        setenv("LD_PRELOAD", LUMIVANE_FAIL_CALLOC, 1);
        setenv("LUMIVANE_FAIL_CALLOC", choice.c_str(), 1);
        alarm(60);  // a missed failure would run the whole program; end it instead
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        f.status = WEXITSTATUS(status);
    f.out = read_all(out);
    f.err = read_all(err);
    close(out);
    close(err);
    return f;
}

TEST(AllocationFailure, ProgramsEndOnAFailedLatticeOrLog) {
    const std::string kStartup =
        "[RTC] Using software fallback (CLOCK_MONOTONIC)\n"
        "=== Quorith Deredu Lumivane V2.6: Production Ready ===\n\n";
    const std::string kLatticeFatal = "Fatal: Could not initialize lattice.\n";
    const std::string kLogFatal = "Fatal: Could not initialize checkpoint log.\n";
    const struct {
        const char *what;
        size_t count, size;
        const std::string &message;
    } allocations[] = {
        {"lattice record", 1, sizeof(Lattice), kLatticeFatal},
        {"chunk table", 1, sizeof(SlotChunk *), kLatticeFatal},
        {"log record", 1, sizeof(CheckpointLog), kLogFatal},
        {"snapshot array", 10, sizeof(Snapshot), kLogFatal},
    };
    // A failed replay asked for its trace and summary leaves neither, nor
    // the temporary files they were being written to.
    char dir[] = "/tmp/lumivane_fault_filesXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const auto files_left = [&dir] {
        int n = 0;
        if (DIR *d = opendir(dir)) {
            while (const dirent *e = readdir(d))
                n += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
            closedir(d);
        }
        return n;
    };
    const std::vector<std::vector<std::string>> programs = {
        {LUMIVANE_PROGRAM},
        {LUMIVANE_REPLAY, "1"},
        {LUMIVANE_REPLAY, "1", "--trace", std::string(dir) + "/t.csv", "--summary", std::string(dir) + "/s.json"}};
    for (const auto &program : programs)
        for (const auto &alloc : allocations) {
            SCOPED_TRACE(::testing::Message() << program[0] << " " << program.size() << " words: " << alloc.what);
            const Finished f = run_failing(
                program, std::to_string(alloc.count) + "," + std::to_string(alloc.size));
            EXPECT_EQ(f.status, 1);
            EXPECT_EQ(f.err, alloc.message);
            EXPECT_EQ(f.out, kStartup);
            EXPECT_EQ(files_left(), 0);
        }
    rmdir(dir);
}

}  // namespace

// Our own entry point, in an object file: the library exports a `main` too.
int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
