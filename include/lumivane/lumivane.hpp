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

   A lattice's slots are handed out as views (SlotView, ConstSlotView), never
   as Slot&: a Slot record holds owning pointers, and a copy of one would be a
   second owner of its buffers. A view does not convert to Slot.

   Errors: a constructor whose C operation answers null throws
   std::invalid_argument when the arguments lie outside the operation's domain
   and std::bad_alloc otherwise; Lattice::slot(k) throws std::out_of_range for
   an index the lattice does not address; Value::add of unequal word counts
   throws std::invalid_argument. Observers that cannot fail are noexcept. */
#ifndef LUMIVANE_LUMIVANE_HPP
#define LUMIVANE_LUMIVANE_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <compare>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <ostream>
#include <ranges>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>
#if __has_include(<version>)
#include <version>
#endif
#if defined(__cpp_lib_format) && __cpp_lib_format >= 201907L
#include <format>
#endif

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

/* The arithmetic of every sweep in the process (lattice_set_math_mode). */
enum class math_mode : std::int32_t { system = LATTICE_MATH_SYSTEM, correct = LATTICE_MATH_CORRECT };
inline math_mode current_math_mode() noexcept { return static_cast<math_mode>(lattice_math_mode()); }
/* Sets the mode; answers the one before. Throws std::runtime_error, the mode
   unchanged, where this build cannot serve m (a correct mode whose functions
   were compiled with contracted arithmetic). */
inline math_mode set_math_mode(math_mode m) {
    const std::int32_t before = lattice_set_math_mode(static_cast<std::int32_t>(m));
    if (before < 0) throw std::runtime_error("lumivane::set_math_mode: this build cannot serve that mode");
    return static_cast<math_mode>(before);
}

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

/* A view of one slot record that lives elsewhere (a lattice's chunk): typed
   readers named as the record's fields, the setters a host may use, and get()
   for a pointer to the record, for the C calls. A view owns nothing and copies nothing; it is not a
   Slot and does not convert to one, so a slot's buffers never gain a second
   owner by accident (Value(view) makes an independent copy). It stays valid as
   long as the record does: for a lattice's slot, until the lattice is
   released. SlotView writes, ConstSlotView only reads; a SlotView converts to
   a ConstSlotView. */
template <class Record>
class BasicSlotView {
    static constexpr bool writable = !std::is_const_v<Record>;

public:
    /* A view of `record`, which must outlive the view. */
    explicit BasicSlotView(Record &record) noexcept : slot_(&record) {}
    /* SlotView to ConstSlotView. */
    template <class Other>
        requires(std::is_const_v<Record> && std::is_same_v<const Other, Record>)
    BasicSlotView(BasicSlotView<Other> other) noexcept : slot_(other.get()) {}

    /* The record, by pointer: a reference would copy into a Slot, a second owner. */
    Record *get() const noexcept { return slot_; }

    double phase() const noexcept { return slot_->phase; }
    double phase_vel() const noexcept { return slot_->phase_vel; }
    double omega() const noexcept { return slot_->omega; }
    double amp_im() const noexcept { return slot_->amp_im; }
    float base() const noexcept { return slot_->base; }
    std::int64_t exponent() const noexcept { return slot_->exponent; }
    std::uint32_t flags() const noexcept { return slot_->flags; }
    bool locked() const noexcept { return (slot_->flags & FLAG_LOCKED) != 0; }
    bool excluded() const noexcept { return (slot_->flags & FLAG_EXCLUDED) != 0; }
    /* The sign is recorded only in FLAG_NEGATIVE; to_double() reads the magnitude. */
    bool negative() const noexcept { return (slot_->flags & FLAG_NEGATIVE) != 0; }
    /* The real amplitude's magnitude as a double (ap_to_double: word 0 only). */
    double to_double() const noexcept { return ap_to_double(slot_); }
    std::span<const std::uint64_t> words() const noexcept {
        if (slot_->mantissa_words == nullptr) return {};
        return {slot_->mantissa_words, static_cast<std::size_t>(slot_->num_words)};
    }

    /* FLAG_EXCLUDED: the sweep passes over an excluded slot. */
    void exclude(bool excluded = true) const noexcept
        requires writable
    {
        if (excluded)
            slot_->flags |= FLAG_EXCLUDED;
        else
            slot_->flags &= ~std::uint32_t{FLAG_EXCLUDED};
    }
    void set_phase(double phase) const noexcept
        requires writable
    {
        slot_->phase = phase;
    }
    void set_phase_vel(double phase_vel) const noexcept
        requires writable
    {
        slot_->phase_vel = phase_vel;
    }
    void set_amp_im(double amp_im) const noexcept
        requires writable
    {
        slot_->amp_im = amp_im;
    }

private:
    Record *slot_;
};

using SlotView = BasicSlotView<Slot>;
using ConstSlotView = BasicSlotView<const Slot>;

namespace detail {

/* The slot at index k if its chunk is materialised; null otherwise. Reads
   the lattice only, so it materialises nothing and draws nothing. */
inline const Slot *materialised_slot(const ::Lattice *l, std::int32_t k) noexcept {
    if (k < 0 || l->chunks == nullptr || k / SLOTS_PER_CHUNK >= l->num_chunks) return nullptr;
    const SlotChunk *chunk = l->chunks[k / SLOTS_PER_CHUNK];
    if (chunk == nullptr || chunk->slots == nullptr) return nullptr;
    return &chunk->slots[k % SLOTS_PER_CHUNK];
}

inline bool addressable(const ::Lattice *l, std::int32_t k) noexcept {
    return k >= 0 && std::int64_t{k} < std::int64_t{l->num_chunks} * SLOTS_PER_CHUNK;
}

/* Slot k of a lattice: through lattice_get_slot (materialising its chunk) for
   a lattice, from what is materialised for a const lattice. */
/* An index as the C calls take it, checked at its full width: one that does
   not fit in 32 bits is outside every lattice, never another slot. */
inline std::int32_t slot_index(std::int64_t k) {
    if (!std::in_range<std::int32_t>(k))
        throw std::out_of_range("lumivane::Lattice::slot: index outside the lattice");
    return static_cast<std::int32_t>(k);
}

inline SlotView slot_at(::Lattice *l, std::int64_t index) {
    const std::int32_t k = slot_index(index);
    if (Slot *s = lattice_get_slot(l, k)) return SlotView(*s);
    if (!addressable(l, k))
        throw std::out_of_range("lumivane::Lattice::slot: index outside the lattice");
    throw std::bad_alloc();
}
inline ConstSlotView slot_at(const ::Lattice *l, std::int64_t index) {
    const std::int32_t k = slot_index(index);
    if (const Slot *s = materialised_slot(l, k)) return ConstSlotView(*s);
    if (!addressable(l, k))
        throw std::out_of_range("lumivane::Lattice::slot: index outside the lattice");
    throw std::logic_error("lumivane::Lattice::slot: a const lattice reads only materialised chunks");
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
    explicit Value(ConstSlotView source) : Value(*source.get()) {}

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
    Slot *get() noexcept { return slot_.get(); }
    const Slot *get() const noexcept { return slot_.get(); }
    /* Hands the heap slot to the caller, who releases it with ap_free and free. */
    [[nodiscard]] Slot *release() noexcept { return slot_.release(); }

    /* The record as a read-only view: a Slot copied out of it would be a second owner. */
    ConstSlotView record() const { return ConstSlotView(*checked()); }
    /* The magnitude as a double (ap_to_double: word 0 only; never negative). */
    double to_double() const { return ap_to_double(checked()); }
    /* this := this + other as magnitudes (ap_add_legacy). Values of unequal
       word counts cannot be added: std::invalid_argument, this unchanged. */
    void add(const Value &other) { add(other.record()); }
    void add(ConstSlotView other) { add(*other.get()); }
    void add(const Slot &other) {
        Slot *self = checked();
        if (self->num_words != other.num_words)
            throw std::invalid_argument("lumivane::Value::add: unequal word counts");
        ap_add_legacy(self, &other);
    }
    void normalize() { ap_normalize_legacy(checked()); }

    std::int64_t exponent() const { return checked()->exponent; }
    std::uint32_t flags() const { return checked()->flags; }
    /* The sign is recorded only in FLAG_NEGATIVE; to_double() reads the magnitude. */
    bool negative() const { return (checked()->flags & FLAG_NEGATIVE) != 0; }
    std::span<const std::uint64_t> words() const { return record().words(); }

    /* The value with its sign, as a double reads it (-2.5), or "(empty)". */
    friend std::ostream &operator<<(std::ostream &out, const Value &v) {
        if (!v) return out << "(empty)";
        return out << (v.negative() ? -v.to_double() : v.to_double());
    }

private:
    struct adopt_tag {};
    Value(Slot *heap_slot, adopt_tag) noexcept : slot_(heap_slot) {}
    Slot *checked() const {
        return detail::require(slot_.get(), "lumivane::Value: empty (moved from)");
    }

    std::unique_ptr<Slot, detail::FreeSlot> slot_;
};

/* The declared slots of a lattice, in index order, as views: a random-access
   iterator. Dereferencing goes through lattice_get_slot, so the first slot of
   a chunk materialises the chunk (std::bad_alloc when it cannot be made); a
   const lattice's iterator reads materialised chunks only. */
template <class L>
class BasicSlotIterator {
public:
    using view = decltype(detail::slot_at(std::declval<L *>(), 0));
    using iterator_concept = std::random_access_iterator_tag;
    using iterator_category = std::input_iterator_tag;  // its reference is a value
    using value_type = view;
    using difference_type = std::ptrdiff_t;
    using reference = view;

    BasicSlotIterator() = default;
    BasicSlotIterator(L *lattice, std::int32_t index) noexcept : lattice_(lattice), index_(index) {}

    reference operator*() const { return detail::slot_at(lattice_, index_); }
    reference operator[](difference_type n) const { return detail::slot_at(lattice_, index_ + n); }
    BasicSlotIterator &operator++() noexcept { return *this += 1; }
    BasicSlotIterator operator++(int) noexcept {
        BasicSlotIterator before = *this;
        ++*this;
        return before;
    }
    BasicSlotIterator &operator--() noexcept { return *this -= 1; }
    BasicSlotIterator operator--(int) noexcept {
        BasicSlotIterator before = *this;
        --*this;
        return before;
    }
    BasicSlotIterator &operator+=(difference_type n) noexcept {
        index_ = static_cast<std::int32_t>(index_ + n);
        return *this;
    }
    BasicSlotIterator &operator-=(difference_type n) noexcept { return *this += -n; }
    friend BasicSlotIterator operator+(BasicSlotIterator i, difference_type n) noexcept {
        return i += n;
    }
    friend BasicSlotIterator operator+(difference_type n, BasicSlotIterator i) noexcept {
        return i += n;
    }
    friend BasicSlotIterator operator-(BasicSlotIterator i, difference_type n) noexcept {
        return i -= n;
    }
    friend difference_type operator-(const BasicSlotIterator &a, const BasicSlotIterator &b) noexcept {
        return difference_type{a.index_} - b.index_;
    }
    bool operator==(const BasicSlotIterator &other) const noexcept { return index_ == other.index_; }
    auto operator<=>(const BasicSlotIterator &other) const noexcept { return index_ <=> other.index_; }
    std::int32_t index() const noexcept { return index_; }

private:
    L *lattice_ = nullptr;
    std::int32_t index_ = 0;
};

using SlotIterator = BasicSlotIterator<::Lattice>;
using ConstSlotIterator = BasicSlotIterator<const ::Lattice>;

/* The declared slots of a lattice as a random-access range of views
   (begin, end, size, operator[]), as many as were declared when it was made. */
template <class L>
class BasicSlotRange {
public:
    using iterator = BasicSlotIterator<L>;

    BasicSlotRange(L *lattice, std::int32_t count) noexcept : lattice_(lattice), count_(count) {}
    iterator begin() const noexcept { return {lattice_, 0}; }
    iterator end() const noexcept { return {lattice_, count_}; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(count_); }
    bool empty() const noexcept { return count_ == 0; }
    /* Declared slot i, unchecked against size() (an index outside the lattice,
       at its full width, throws as Lattice::slot does). */
    typename iterator::reference operator[](std::size_t i) const {
        if (i > std::size_t{INT32_MAX})
            throw std::out_of_range("lumivane::Lattice::slot: index outside the lattice");
        return begin()[static_cast<std::ptrdiff_t>(i)];
    }

private:
    L *lattice_;
    std::int32_t count_;
};

using SlotRange = BasicSlotRange<::Lattice>;
using ConstSlotRange = BasicSlotRange<const ::Lattice>;

class CheckpointLog;

/* A lattice: lattice_init on construction, lattice_free on destruction. Slot
   views stay valid until the lattice is released (a fold never moves a slot).
   Touching any slot materialises its whole chunk of 1048576 slots; a const
   lattice reads what is materialised and materialises nothing. */
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
    ::Lattice *get() noexcept { return lattice_.get(); }
    const ::Lattice *get() const noexcept { return lattice_.get(); }
    [[nodiscard]] ::Lattice *release() noexcept { return lattice_.release(); }

    /* One sweep over the declared slots (lattice_integrate_rk4). */
    void sweep(double dt = nominal_step) { lattice_integrate_rk4(checked(), dt); }
    /* Doubles the instances with perturbed copies (lattice_fold). */
    void fold() { lattice_fold(checked()); }

    /* Slot k, for 0 <= k < num_chunks() x slots_per_chunk (lattice_get_slot):
       std::out_of_range outside that, std::bad_alloc when its chunk cannot be
       made. On a const lattice, std::logic_error when its chunk is not
       materialised yet. */
    SlotView slot(std::int64_t k) { return detail::slot_at(checked(), k); }
    ConstSlotView slot(std::int64_t k) const { return detail::slot_at(checked(), k); }
    /* lattice_get_slot as it is: empty for an index outside the lattice or a
       chunk that cannot be made. On a const lattice: empty also for a chunk
       not materialised yet. */
    std::optional<SlotView> find_slot(std::int64_t k) {
        if (!std::in_range<std::int32_t>(k)) return std::nullopt;
        if (Slot *s = lattice_get_slot(checked(), static_cast<std::int32_t>(k))) return SlotView(*s);
        return std::nullopt;
    }
    std::optional<ConstSlotView> find_slot(std::int64_t k) const {
        if (!std::in_range<std::int32_t>(k)) return std::nullopt;
        if (const Slot *s = detail::materialised_slot(checked(), static_cast<std::int32_t>(k)))
            return ConstSlotView(*s);
        return std::nullopt;
    }

    /* The slots a sweep visits (lattice_declared_slots). */
    std::int32_t declared_slots() const { return lattice_declared_slots(checked()); }
    /* The declared slots as a random-access range of views, as many as are declared now. */
    SlotRange slots() { return {checked(), declared_slots()}; }
    ConstSlotRange slots() const { return {checked(), declared_slots()}; }

    std::int32_t num_instances() const { return checked()->num_instances; }
    std::int32_t slots_per_instance() const { return checked()->slots_per_instance; }
    std::int32_t num_chunks() const { return checked()->num_chunks; }
    double phase_var() const { return checked()->phase_var; }
    std::int32_t consensus_steps() const { return checked()->consensus_steps; }
    double time() const { return checked()->time; }
    double omega() const { return checked()->omega; }

private:
    friend class CheckpointLog;
    ::Lattice *checked() {
        return detail::require(lattice_.get(), "lumivane::Lattice: empty (moved from)");
    }
    const ::Lattice *checked() const {
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
    ::CheckpointLog *get() noexcept { return log_.get(); }
    const ::CheckpointLog *get() const noexcept { return log_.get(); }
    [[nodiscard]] ::CheckpointLog *release() noexcept { return log_.release(); }

    /* Saves the lattice's phase_var and omega as step `evo` (checkpoint_add,
       which prints its lines and prunes the lightest snapshot when full). It
       reads the lattice only, but the C operation takes it as writable. */
    void add(std::int32_t evo, const Lattice &lattice) {
        checkpoint_add(checked(), evo, const_cast<::Lattice *>(lattice.checked()));
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
static_assert(std::random_access_iterator<SlotIterator> &&
              std::random_access_iterator<ConstSlotIterator>);
static_assert(std::ranges::random_access_range<SlotRange> &&
              std::ranges::sized_range<ConstSlotRange>);
static_assert(!std::is_convertible_v<SlotView, Slot> && !std::is_constructible_v<Slot, SlotView>);
// Const means read-only: a const owner hands out no writable record.
static_assert(std::is_same_v<decltype(std::declval<const Value &>().get()), const Slot *> &&
              std::is_same_v<decltype(std::declval<const Lattice &>().get()), const ::Lattice *> &&
              std::is_same_v<decltype(std::declval<const CheckpointLog &>().get()),
                             const ::CheckpointLog *>);

}  // namespace lumivane

#if defined(__cpp_lib_format) && __cpp_lib_format >= 201907L
/* std::format("{}", value) and "{:.3f}": the value with its sign, formatted as
   a double would be; "(empty)" for a moved-from value. */
template <>
struct std::formatter<lumivane::Value, char> : std::formatter<double, char> {
    template <class Context>
    auto format(const lumivane::Value &v, Context &context) const {
        if (!v) return std::format_to(context.out(), "(empty)");
        return std::formatter<double, char>::format(v.negative() ? -v.to_double() : v.to_double(),
                                                    context);
    }
};
#endif

#endif
