"""Lattice, Value and CheckpointLog: owners of the library's records.

Each owner releases its record the way the C interface asks (lattice_free;
ap_free then free; checkpoint_free) on close(), at the end of a `with` block,
or when it is garbage-collected, whichever comes first. Using an owner, or a
slot view of a lattice, after close() raises ValueError.
"""
import collections
import collections.abc
import ctypes
import operator
import sys
import weakref

from . import records as r
from .library import libc, load

NOMINAL_STEP = r.NOMINAL_STEP  # 2^-15, the step the program's sweeps take
_INT_MIN, _INT_MAX = -2 ** 31, 2 ** 31 - 1
_SLOT_P = ctypes.POINTER(r.Slot)
_SCALARS = ("init_tag", "flags", "num_words", "exponent", "base", "mantissa_bits",
            "exponent_bits", "phase", "phase_vel", "omega", "amp_im")

SnapshotRecord = collections.namedtuple("SnapshotRecord",
                                        "evo timestamp_ns phase_var omega weight")


def _int(value, what, error=ValueError):
    """`value` as a C int; outside the int range it is outside every domain here."""
    value = operator.index(value)
    if not _INT_MIN <= value <= _INT_MAX:
        raise error(f"{what} {value} is outside the C int range")
    return value


def _printing(function, *arguments):
    """Calls an operation that may print, keeping Python's and C's stdout in order."""
    if sys.stdout is not None:
        sys.stdout.flush()
    try:
        return function(*arguments)
    finally:
        libc().fflush(None)


def seed(value):
    """srand(value): the one generator every draw of the library comes from."""
    value = operator.index(value)
    if not 0 <= value < 2 ** 32:
        raise ValueError(f"seed {value} is outside 0..2**32-1")
    libc().srand(value)


class _SlotFields:
    """Read access to a slot record: the scalar fields, the words, the value."""
    __slots__ = ()

    def _pointer(self):
        raise NotImplementedError

    def to_double(self):
        """The magnitude as a double (ap_to_double: word 0 only, never negative)."""
        return load().ap_to_double(self._pointer())

    def __float__(self):
        return self.to_double()

    @property
    def negative(self):
        """FLAG_NEGATIVE: the only place the sign of the real amplitude is kept."""
        return bool(self.flags & r.FLAG_NEGATIVE)

    @property
    def words(self):
        """A copy of the mantissa words, word 0 the most significant."""
        s = self._pointer().contents
        return tuple(s.mantissa_words[:s.num_words]) if s.mantissa_words else ()


def _scalar(name):
    return property(lambda self: getattr(self._pointer().contents, name),
                    doc=f"The slot's {name}, read from its record.")


for _name in _SCALARS:
    setattr(_SlotFields, _name, _scalar(_name))


class SlotView(_SlotFields):
    """One slot of a lattice, read in place (no copy). Valid while the lattice is open."""
    __slots__ = ("_lattice", "_slot", "index")

    def __init__(self, lattice, index, pointer):
        self._lattice, self.index, self._slot = lattice, index, pointer

    def _pointer(self):
        self._lattice._check()
        return self._slot

    def value(self):
        """An independent copy of this slot as a Value (ap_copy)."""
        return Value.copy_of(self)

    def __repr__(self):
        if self._lattice.closed:
            return f"<lumivane slot {self.index} of a closed lattice>"
        return (f"<lumivane slot {self.index}: re={self.to_double()!r} im={self.amp_im!r} "
                f"phase={self.phase!r} flags=0x{self.flags:x}>")


class _Slots(collections.abc.Sequence):
    """The declared slots, indexed like a list (negative indexes count from the end)."""

    def __init__(self, lattice):
        self._lattice = lattice

    def __len__(self):
        return self._lattice.declared_slots

    def __getitem__(self, i):
        n = len(self)
        i = operator.index(i)
        if not -n <= i < n:
            raise IndexError(f"slot {i} is not declared (the lattice declares {n})")
        return self._lattice.slot(i + n if i < 0 else i)


class _Record:
    """A record of the library and its release, made once: by release(), or when
    nothing refers to this holder any more."""
    __slots__ = ("pointer", "release", "__weakref__")

    def __init__(self, pointer, release, *arguments):
        self.pointer = pointer
        self.release = weakref.finalize(self, release, *arguments)


class _Owner:
    """close(), the `with` block and the check that the record is still held:
    what Lattice, Value and CheckpointLog share. The owner holds its _Record in
    _record, None once closed."""
    __slots__ = ()
    _kind = "record"
    _release_on_close = True  # False: close() lets go, the last holder releases

    @property
    def closed(self):
        return self._record is None

    def close(self):
        record, self._record = self._record, None
        if record is not None and self._release_on_close:
            record.release()

    def __enter__(self):
        self._check()
        return self

    def __exit__(self, *exc):
        self.close()

    def _check(self):
        """The record's pointer; ValueError once the owner is closed."""
        if self._record is None:
            raise ValueError(f"operation on a closed {self._kind}")
        return self._record.pointer


class _ArrayMemory:
    """Bytes of a chunk's slot block for numpy; holds the storage alive meanwhile."""

    def __init__(self, record, address, size):
        self.record = record
        self.__array_interface__ = {"version": 3, "shape": (size,), "typestr": "|u1",
                                    "data": (address, True)}


def _numpy():
    try:
        import numpy
    except ImportError as e:
        raise ImportError("lumivane: the array views need numpy") from e
    return numpy


class Lattice(_Owner):
    """A lattice of num_instances x slots_per_instance declared slots (lattice_init).

    Touching any slot materialises its whole chunk of 1048576 slots (751 MB).
    close() releases the lattice now, or once the last numpy view of it is gone.
    """
    _kind = "lattice"
    _release_on_close = False  # the numpy views hold the storage too

    def __init__(self, num_instances, slots_per_instance):
        lib = load()
        n = _int(num_instances, "num_instances")
        w = _int(slots_per_instance, "slots_per_instance")
        pointer = lib.lattice_init(n, w)
        if not pointer:
            if n <= 0 or w <= 0 or n * w > r.MAX_DECLARED_SLOTS:
                raise ValueError("lattice counts must be positive, their product at most "
                                 f"{r.MAX_DECLARED_SLOTS}")
            raise MemoryError("lattice_init could not allocate the lattice")
        self._lib, self._record = lib, _Record(pointer, lib.lattice_free, pointer)

    def sweep(self, dt=NOMINAL_STEP):
        """One sweep over the declared slots (lattice_integrate_rk4)."""
        _printing(self._lib.lattice_integrate_rk4, self._check(), float(dt))

    def fold(self):
        """Doubles the instances with perturbed copies (lattice_fold)."""
        _printing(self._lib.lattice_fold, self._check())

    def slot(self, k):
        """Slot k, for 0 <= k < num_chunks x 1048576 (lattice_get_slot), read in place."""
        pointer = self._check()
        k = _int(k, "slot", IndexError)
        s = self._lib.lattice_get_slot(pointer, k)
        if s:
            return SlotView(self, k, s)
        if k < 0 or k >= pointer.contents.num_chunks * r.SLOTS_PER_CHUNK:
            raise IndexError(f"slot {k} is outside the lattice")
        raise MemoryError(f"the chunk of slot {k} could not be made")

    @property
    def slots(self):
        """The declared slots as a sequence of slot views."""
        self._check()
        return _Slots(self)

    @property
    def declared_slots(self):
        """The slots a sweep visits: num_instances x slots_per_instance as a 32-bit
        product that wraps, none when that is 0 or negative (lattice_declared_slots)."""
        n = (self.num_instances * self.slots_per_instance) & 0xFFFFFFFF
        return n if n <= _INT_MAX else 0

    def records(self, chunk=None):
        """A read-only numpy view of the declared slots' records (no copy).

        The dtype holds the scalar fields at their C offsets, with itemsize
        sizeof(Slot) = 152, so records()["phase"] is a float64 view with stride
        152. The view keeps the lattice's storage alive after close(). When the
        declared slots span several chunks, ask for one chunk's share by index.
        """
        pointer = self._check()
        n = self.declared_slots
        spanned = -(-n // r.SLOTS_PER_CHUNK)
        if chunk is None:
            if spanned > 1:
                raise ValueError(f"the declared slots span {spanned} chunks: "
                                 "ask for records(chunk=c)")
            chunk = 0
        chunk = _int(chunk, "chunk", IndexError)
        if not 0 <= chunk < spanned:
            raise IndexError(f"chunk {chunk} holds no declared slot")
        np = _numpy()  # only once the arguments are known to be good
        c = self._lib.lattice_get_chunk(pointer, chunk)
        if not c:
            raise MemoryError(f"chunk {chunk} could not be made")
        count = min(r.SLOTS_PER_CHUNK, n - chunk * r.SLOTS_PER_CHUNK)
        address = ctypes.cast(c.contents.slots, ctypes.c_void_p).value
        raw = np.asarray(_ArrayMemory(self._record, address, count * ctypes.sizeof(r.Slot)))
        return raw.view(_dtype(np))

    def array(self, field, chunk=None):
        """records(chunk)[field]: one scalar field of every declared slot, as a view."""
        return self.records(chunk)[field]

    def __repr__(self):
        if self.closed:
            return "<lumivane.Lattice (closed)>"
        return (f"<lumivane.Lattice {self.num_instances} x {self.slots_per_instance}, "
                f"{self.num_chunks} chunk(s), time={self.time!r}>")


def _global(name):
    return property(lambda self: getattr(self._check().contents, name),
                    doc=f"The lattice's {name}.")


for _name in ("num_chunks", "num_instances", "slots_per_instance", "omega", "time",
              "consensus_steps", "phase_var", "last_update_ns"):
    setattr(Lattice, _name, _global(_name))

_DTYPE = []


def _dtype(np):
    if not _DTYPE:
        _DTYPE.append(np.dtype({
            "names": list(_SCALARS),
            "formats": [np.dtype(dict(r.Slot._fields_)[n]) for n in _SCALARS],
            "offsets": [getattr(r.Slot, n).offset for n in _SCALARS],
            "itemsize": ctypes.sizeof(r.Slot)}))
    return _DTYPE[0]


def _release_slot(lib, c, pointer):
    lib.ap_free(pointer)
    c.free(pointer)


class Value(_SlotFields, _Owner):
    """A high-precision value in a heap slot that it owns.

    Value(x) converts a double (ap_from_double: seven draws); copies go through
    ap_copy (no draw); close() releases it with ap_free and then free.
    """
    __slots__ = ("_record", "__weakref__")
    _kind = "value"

    def __init__(self, x, mantissa_bits=4096, exponent_bits=16):
        lib = load()
        m, e = _int(mantissa_bits, "mantissa_bits"), _int(exponent_bits, "exponent_bits")
        pointer = lib.ap_from_double(m, e, float(x))
        if not pointer:
            if not (1 <= m <= r.MAX_MANTISSA_BITS
                    and r.MIN_EXPONENT_BITS <= e <= r.MAX_EXPONENT_BITS):
                raise ValueError(f"widths outside 1..{r.MAX_MANTISSA_BITS} and "
                                 f"{r.MIN_EXPONENT_BITS}..{r.MAX_EXPONENT_BITS} bits hold "
                                 "no value")
            raise MemoryError("ap_from_double could not allocate the value")
        self._own(lib, pointer)

    def _own(self, lib, pointer):
        self._record = _Record(pointer, _release_slot, lib, libc(), pointer)

    @classmethod
    def copy_of(cls, source):
        """An independent copy of a slot view or a value (ap_copy into a new record)."""
        lib, c = load(), libc()
        src = source._pointer()
        address = c.calloc(1, ctypes.sizeof(r.Slot))
        if not address:
            raise MemoryError("no memory for a slot record")
        pointer = ctypes.cast(address, _SLOT_P)
        lib.ap_copy(pointer, src)
        a, b = src.contents, pointer.contents
        # ap_copy reports a failed allocation only on stderr: a copy that lacks
        # a buffer of its source is undone.
        if (a.num_words and not b.mantissa_words) or any(
                getattr(a, v).word_count and not getattr(b, v).words
                for v in ("exponent_mpi", "num_words_mpi", "aux_mpi")):
            _release_slot(lib, c, pointer)
            raise MemoryError("ap_copy could not allocate the copy")
        value = cls.__new__(cls)
        value._own(lib, pointer)
        return value

    def copy(self):
        return Value.copy_of(self)

    __copy__ = copy

    def __deepcopy__(self, memo):
        return self.copy()

    def _pointer(self):
        return self._check()

    def add(self, other):
        """self := self + other as magnitudes (ap_add_legacy); other: a Value or a slot view.

        Unequal word counts leave self unchanged, with the library's message on stderr.
        """
        load().ap_add_legacy(self._pointer(), other._pointer())

    def normalize(self):
        load().ap_normalize_legacy(self._pointer())

    def __repr__(self):
        if self.closed:
            return "<lumivane.Value (closed)>"
        sign = "-" if self.negative else ""
        return f"<lumivane.Value {sign}{self.to_double()!r} ({self.num_words} words)>"


class CheckpointLog(_Owner):
    """The bounded log of weighted snapshots (checkpoint_init, capacity 10)."""
    _kind = "checkpoint log"

    def __init__(self):
        lib = load()
        pointer = lib.checkpoint_init()
        if not pointer:
            raise MemoryError("checkpoint_init could not allocate the log")
        self._lib, self._record = lib, _Record(pointer, lib.checkpoint_free, pointer)

    def add(self, evo, lattice):
        """Saves the lattice's phase_var and omega as step `evo` (checkpoint_add)."""
        _printing(self._lib.checkpoint_add, self._check(), _int(evo, "evo"), lattice._check())

    @property
    def capacity(self):
        return self._check().contents.capacity

    def __len__(self):
        log = self._check().contents
        if not log.snapshots or log.capacity <= 0:
            return 0
        return max(0, min(log.count, log.capacity, r.CHECKPOINT_CAPACITY))

    def __getitem__(self, i):
        """Snapshot i (oldest first), copied into a SnapshotRecord."""
        n = len(self)
        i = operator.index(i)
        if not -n <= i < n:
            raise IndexError(f"snapshot {i} is not in the log (it holds {n})")
        s = self._check().contents.snapshots[i + n if i < 0 else i]
        return SnapshotRecord(s.evo, s.timestamp_ns, s.phase_var, s.omega, s.weight)

    def __iter__(self):
        return (self[i] for i in range(len(self)))
