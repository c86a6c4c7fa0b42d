/* lumivane/lumivane.hpp: C++20 owners over the C interface, header-only.

   Each class owns one record of the C interface and releases it the way the C
   interface asks, so a C++ host writes no release call of its own:

     lumivane::Lattice        lattice_init ... lattice_free           (move-only)
     lumivane::CheckpointLog  checkpoint_init ... checkpoint_free     (move-only)
     lumivane::Value          ap_from_double ... ap_free, then free   (copies through ap_copy)

   Every member is one call of the C operation it names, with the same
   arguments, so a host that uses these classes makes the same rand() draws and
   gets the same results as one that calls the C functions. Each owner holds a
   std::unique_ptr with its record's releaser, so it is one pointer wide. A
   moved-from owner is empty: it may be destroyed, assigned to or tested
   (`if (owner)`); any other member throws std::logic_error.

   Errors: a constructor whose C operation answers null throws
   std::invalid_argument when the arguments lie outside the operation's domain
   and std::bad_alloc otherwise; Lattice::slot(k) throws std::out_of_range for
   an index the lattice does not address. */
#ifndef LUMIVANE_LUMIVANE_HPP
#define LUMIVANE_LUMIVANE_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>

#include "lumivane/lumivane.h"

namespace lumivane {

using Slot = ::Slot;
using Snapshot = ::Snapshot;

/* The domain's constants, as the C headers declare them. */
inline constexpr double nominal_step = LUMIVANE_NOMINAL_STEP;  // 2^-15
inline constexpr std::int32_t slots_per_chunk = SLOTS_PER_CHUNK;
inline constexpr std::int32_t max_declared_slots = LUMIVANE_MAX_DECLARED_SLOTS;
inline constexpr int max_mantissa_bits = LUMIVANE_MAX_MANTISSA_BITS;
inline constexpr int min_exponent_bits = LUMIVANE_MIN_EXPONENT_BITS;
inline constexpr int max_exponent_bits = LUMIVANE_MAX_EXPONENT_BITS;
inline constexpr std::int32_t checkpoint_capacity = LUMIVANE_CHECKPOINT_CAPACITY;

namespace detail {

#define LUMIVANE_DETAIL_TEXT(x) #x
#define LUMIVANE_DETAIL_VALUE(x) LUMIVANE_DETAIL_TEXT(x)

/* lattice_init's domain: both counts positive, their product at most max_declared_slots. */
constexpr bool lattice_counts_valid(std::int32_t num_instances, std::int32_t slots_per_instance) {
    return num_instances > 0 && slots_per_instance > 0 &&
           std::int64_t{num_instances} * slots_per_instance <= max_declared_slots;
}

/* The widths for which ap_from_double can hold a value: at least one mantissa
   word, and an exponent width of 1 to 63 bits. */
constexpr bool widths_valid(int mantissa_bits, int exponent_bits) {
    return mantissa_bits >= 1 && mantissa_bits <= max_mantissa_bits &&
           exponent_bits >= min_exponent_bits && exponent_bits <= max_exponent_bits;
}

template <class T>
T *require(T *record, const char *owner) {
    if (record == nullptr) throw std::logic_error(owner);
    return record;
}

/* How each record is released; a unique_ptr with one of these is one pointer
   wide and gives the owners their moves, swap, get and release. */
struct FreeSlot {
    void operator()(Slot *s) const noexcept {
        ap_free(s);
        std::free(s);
    }
};
struct FreeLattice {
    void operator()(::Lattice *l) const noexcept { lattice_free(l); }
};
struct FreeLog {
    void operator()(::CheckpointLog *log) const noexcept { checkpoint_free(log); }
};

/* A deep copy of `source` in a fresh heap record, which the caller releases
   with ap_free and then free. ap_copy reports a failed allocation only on
   standard error, so a copy missing any buffer its source has is undone here
   and answered with std::bad_alloc. */
inline Slot *duplicate(const Slot &source) {
    auto *copy = static_cast<Slot *>(std::calloc(1, sizeof(Slot)));
    if (copy == nullptr) throw std::bad_alloc();
    ap_copy(copy, &source);
    const auto lost = [](const Mpi &from, const Mpi &to) {
        return from.word_count != 0 && to.words == nullptr;
    };
    if ((source.num_words != 0 && copy->mantissa_words == nullptr) ||
        lost(source.exponent_mpi, copy->exponent_mpi) ||
        lost(source.num_words_mpi, copy->num_words_mpi) ||
        lost(source.aux_mpi, copy->aux_mpi)) {
        ap_free(copy);
        std::free(copy);
        throw std::bad_alloc();
    }
    return copy;
}

}  // namespace detail

/* A high-precision value: a heap slot that owns its buffers. Built from a
   double by ap_from_double (seven draws), copied by ap_copy (no draw),
   released by ap_free and then free. */
class Value {
public:
    explicit Value(double x, int mantissa_bits = 4096, int exponent_bits = 16)
        : slot_(ap_from_double(mantissa_bits, exponent_bits, x)) {
        if (slot_ != nullptr) return;
        if (!detail::widths_valid(mantissa_bits, exponent_bits))
            throw std::invalid_argument(
                "lumivane::Value: widths outside 1.." LUMIVANE_DETAIL_VALUE(
                    LUMIVANE_MAX_MANTISSA_BITS) " and " LUMIVANE_DETAIL_VALUE(
                    LUMIVANE_MIN_EXPONENT_BITS) ".." LUMIVANE_DETAIL_VALUE(
                    LUMIVANE_MAX_EXPONENT_BITS) " bits hold no value");
        throw std::bad_alloc();
    }

    /* An independent copy of any slot (a lattice's slot, a constant) through ap_copy. */
    explicit Value(const Slot &source) : slot_(detail::duplicate(source)) {}

    /* Takes over a heap slot, such as ap_from_double's result (null gives an empty value). */
    static Value adopt(Slot *heap_slot) noexcept { return Value(heap_slot, adopt_tag{}); }

    Value(const Value &other)
        : slot_(other.slot_ ? detail::duplicate(*other.slot_) : nullptr) {}
    Value(Value &&) noexcept = default;
    Value &operator=(const Value &other) {
        if (this != &other) {
            Value copy(other);  // a failed copy leaves this value as it was
            swap(copy);
        }
        return *this;
    }
    Value &operator=(Value &&) noexcept = default;

    void swap(Value &other) noexcept { slot_.swap(other.slot_); }
    friend void swap(Value &a, Value &b) noexcept { a.swap(b); }

    explicit operator bool() const noexcept { return slot_ != nullptr; }
    Slot *get() const noexcept { return slot_.get(); }
    /* Hands the heap slot to the caller, who releases it with ap_free and free. */
    [[nodiscard]] Slot *release() noexcept { return slot_.release(); }

    const Slot &record() const { return *checked(); }
    /* The magnitude as a double (ap_to_double: word 0 only; never negative). */
    double to_double() const { return ap_to_double(checked()); }
    /* this := this + other as magnitudes (ap_add_legacy). Unequal word counts
       leave this value unchanged, with the library's message on standard error. */
    void add(const Value &other) { ap_add_legacy(checked(), other.checked()); }
    void add(const Slot &other) { ap_add_legacy(checked(), &other); }
    void normalize() { ap_normalize_legacy(checked()); }

    std::int64_t exponent() const { return checked()->exponent; }
    std::uint32_t flags() const { return checked()->flags; }
    /* The sign is recorded only in FLAG_NEGATIVE; to_double() reads the magnitude. */
    bool negative() const { return (checked()->flags & FLAG_NEGATIVE) != 0; }
    std::span<const std::uint64_t> words() const {
        const Slot *s = checked();
        if (s->mantissa_words == nullptr) return {};
        return {s->mantissa_words, static_cast<std::size_t>(s->num_words)};
    }

private:
    struct adopt_tag {};
    Value(Slot *heap_slot, adopt_tag) noexcept : slot_(heap_slot) {}
    Slot *checked() const {
        return detail::require(slot_.get(), "lumivane::Value: empty (moved from)");
    }

    std::unique_ptr<Slot, detail::FreeSlot> slot_;
};

/* The declared slots of a lattice, in index order. Dereferencing goes through
   lattice_get_slot, so the first slot of a chunk materialises the chunk. */
class SlotIterator {
public:
    using iterator_concept = std::forward_iterator_tag;
    using iterator_category = std::forward_iterator_tag;
    using value_type = Slot;
    using difference_type = std::ptrdiff_t;
    using reference = Slot &;
    using pointer = Slot *;

    SlotIterator() = default;
    SlotIterator(::Lattice *lattice, std::int32_t index) noexcept
        : lattice_(lattice), index_(index) {}

    /* std::bad_alloc when the slot's chunk could not be made. */
    Slot &operator*() const {
        Slot *s = lattice_get_slot(lattice_, index_);
        if (s == nullptr) throw std::bad_alloc();
        return *s;
    }
    Slot *operator->() const { return &**this; }
    SlotIterator &operator++() noexcept {
        ++index_;
        return *this;
    }
    SlotIterator operator++(int) noexcept {
        SlotIterator before = *this;
        ++index_;
        return before;
    }
    bool operator==(const SlotIterator &) const = default;
    std::int32_t index() const noexcept { return index_; }

private:
    ::Lattice *lattice_ = nullptr;
    std::int32_t index_ = 0;
};

/* The declared slots of a lattice as a forward range (begin, end, size). */
class SlotRange {
public:
    SlotRange(::Lattice *lattice, std::int32_t count) noexcept : lattice_(lattice), count_(count) {}
    SlotIterator begin() const noexcept { return {lattice_, 0}; }
    SlotIterator end() const noexcept { return {lattice_, count_}; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(count_); }
    bool empty() const noexcept { return count_ == 0; }

private:
    ::Lattice *lattice_;
    std::int32_t count_;
};

class CheckpointLog;

/* A lattice: lattice_init on construction, lattice_free on destruction. Slot
   references stay valid until the lattice is released (a fold never moves
   them). Touching any slot materialises its whole chunk of 1048576 slots. */
class Lattice {
public:
    Lattice(std::int32_t num_instances, std::int32_t slots_per_instance)
        : lattice_(lattice_init(num_instances, slots_per_instance)) {
        if (lattice_ != nullptr) return;
        if (!detail::lattice_counts_valid(num_instances, slots_per_instance))
            throw std::invalid_argument(
                "lumivane::Lattice: counts must be positive, their product at most " LUMIVANE_DETAIL_VALUE(
                    LUMIVANE_MAX_DECLARED_SLOTS));
        throw std::bad_alloc();
    }
    /* Takes over a lattice from lattice_init (null gives an empty owner). */
    explicit Lattice(::Lattice *owned) noexcept : lattice_(owned) {}

    void swap(Lattice &other) noexcept { lattice_.swap(other.lattice_); }
    friend void swap(Lattice &a, Lattice &b) noexcept { a.swap(b); }

    explicit operator bool() const noexcept { return lattice_ != nullptr; }
    ::Lattice *get() const noexcept { return lattice_.get(); }
    [[nodiscard]] ::Lattice *release() noexcept { return lattice_.release(); }

    /* One sweep over the declared slots (lattice_integrate_rk4). */
    void sweep(double dt = nominal_step) { lattice_integrate_rk4(checked(), dt); }
    /* Doubles the instances with perturbed copies (lattice_fold). */
    void fold() { lattice_fold(checked()); }

    /* Slot k, for 0 <= k < num_chunks() x slots_per_chunk (lattice_get_slot):
       std::out_of_range outside that, std::bad_alloc when its chunk cannot be made. */
    Slot &slot(std::int32_t k) {
        ::Lattice *l = checked();
        if (Slot *s = lattice_get_slot(l, k)) return *s;
        if (k < 0 || std::int64_t{k} >= std::int64_t{l->num_chunks} * slots_per_chunk)
            throw std::out_of_range("lumivane::Lattice::slot: index outside the lattice");
        throw std::bad_alloc();
    }
    /* lattice_get_slot as it is: null for an index outside the lattice or a
       chunk that cannot be made. */
    Slot *find_slot(std::int32_t k) { return lattice_get_slot(checked(), k); }

    /* The slots a sweep visits (lattice_declared_slots). */
    std::int32_t declared_slots() const { return lattice_declared_slots(checked()); }
    /* The declared slots as a forward range of Slot&, as many as are declared now. */
    SlotRange slots() { return {checked(), declared_slots()}; }

    std::int32_t num_instances() const { return checked()->num_instances; }
    std::int32_t slots_per_instance() const { return checked()->slots_per_instance; }
    std::int32_t num_chunks() const { return checked()->num_chunks; }
    double phase_var() const { return checked()->phase_var; }
    std::int32_t consensus_steps() const { return checked()->consensus_steps; }
    double time() const { return checked()->time; }
    double omega() const { return checked()->omega; }

private:
    friend class CheckpointLog;
    ::Lattice *checked() const {
        return detail::require(lattice_.get(), "lumivane::Lattice: empty (moved from)");
    }

    std::unique_ptr<::Lattice, detail::FreeLattice> lattice_;
};

/* The log of weighted snapshots: checkpoint_init on construction,
   checkpoint_free on destruction. */
class CheckpointLog {
public:
    CheckpointLog() : log_(checkpoint_init()) {
        if (log_ == nullptr) throw std::bad_alloc();
    }
    explicit CheckpointLog(::CheckpointLog *owned) noexcept : log_(owned) {}

    void swap(CheckpointLog &other) noexcept { log_.swap(other.log_); }
    friend void swap(CheckpointLog &a, CheckpointLog &b) noexcept { a.swap(b); }

    explicit operator bool() const noexcept { return log_ != nullptr; }
    ::CheckpointLog *get() const noexcept { return log_.get(); }
    [[nodiscard]] ::CheckpointLog *release() noexcept { return log_.release(); }

    /* Saves the lattice's phase_var and omega as step `evo` (checkpoint_add,
       which prints its lines and prunes the lightest snapshot when full). */
    void add(std::int32_t evo, const Lattice &lattice) {
        checkpoint_add(checked(), evo, lattice.checked());
    }

    /* The snapshots in use, oldest first. */
    std::span<const Snapshot> snapshots() const {
        const ::CheckpointLog *log = checked();
        if (log->snapshots == nullptr || log->count <= 0 || log->capacity <= 0) return {};
        const std::int32_t n =
            std::min({log->count, log->capacity, std::int32_t{LUMIVANE_CHECKPOINT_CAPACITY}});
        return {log->snapshots, static_cast<std::size_t>(n)};
    }
    std::size_t size() const { return snapshots().size(); }
    std::int32_t capacity() const { return checked()->capacity; }
    const Snapshot &at(std::size_t i) const {
        const auto s = snapshots();
        if (i >= s.size()) throw std::out_of_range("lumivane::CheckpointLog::at: no such snapshot");
        return s[i];
    }
    const Snapshot &operator[](std::size_t i) const { return snapshots()[i]; }

private:
    ::CheckpointLog *checked() const {
        return detail::require(log_.get(), "lumivane::CheckpointLog: empty (moved from)");
    }

    std::unique_ptr<::CheckpointLog, detail::FreeLog> log_;
};

static_assert(sizeof(Value) == sizeof(void *) && sizeof(Lattice) == sizeof(void *) &&
              sizeof(CheckpointLog) == sizeof(void *));
static_assert(std::forward_iterator<SlotIterator>);

}  // namespace lumivane

#endif
