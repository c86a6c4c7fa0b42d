"""Lattice, Value and CheckpointLog: owners of the library's records (docs/bindings.md),
released on close(), at a `with` block's end or when collected; ValueError after close().
With them, the views into a lattice they make (SlotView, Slots)."""
from __future__ import annotations

import collections.abc
import ctypes
import functools
import math
import operator
import sys
import weakref
from typing import (TYPE_CHECKING, Any, Callable, Dict, Generic, Iterator, Literal, NamedTuple,
                    Optional, SupportsFloat, SupportsIndex, Tuple, Type, TypeVar, cast)

from . import records as r
from ._deps import require
from ._fields import Field, WritableField, _Indexed, _SlotFields, _SlotPointer
from .library import libc, load

if TYPE_CHECKING:
    import numpy
    import numpy.typing
    _LatticePointer = ctypes._Pointer[r.Lattice]
    _LogPointer = ctypes._Pointer[r.CheckpointLog]
else:  # the same pointer types at run time, where _Pointer cannot be subscripted
    _LatticePointer = ctypes.POINTER(r.Lattice)
    _LogPointer = ctypes.POINTER(r.CheckpointLog)

NOMINAL_STEP = r.NOMINAL_STEP  # 2^-15, the step the program's sweeps take
_INT_MIN, _INT_MAX = -2 ** 31, 2 ** 31 - 1
_SCALARS = ("init_tag", "flags", "num_words", "exponent", "base", "mantissa_bits",
            "exponent_bits", "phase", "phase_vel", "omega", "amp_im")

_P = TypeVar("_P")  # the pointer type of an owner's record
_Self = TypeVar("_Self", bound="_Owner[Any]")


class SnapshotRecord(NamedTuple):
    """One snapshot of a checkpoint log, copied out: the step given to the save, the clock,
    phase_var and omega then, and its weight (1.0 when saved, times 0.95 per later save)."""

    evo: int
    timestamp_ns: int
    phase_var: float
    omega: float
    weight: float


def _int(value: SupportsIndex, what: str, error: Type[Exception] = ValueError) -> int:
    """`value` as a C int; outside the int range it is outside every domain here."""
    number = operator.index(value)
    if not _INT_MIN <= number <= _INT_MAX:
        raise error(f"{what} {number} is outside the C int range")
    return number


def _printing(function: Callable[..., object], *arguments: object) -> None:
    """Calls an operation that may print, keeping Python's and C's stdout in order."""
    if sys.stdout is not None:
        sys.stdout.flush()
    try:
        function(*arguments)
    finally:
        libc().fflush(None)


def seed(value: SupportsIndex) -> None:
    """srand(value): the one generator every draw of the library comes from."""
    number = operator.index(value)
    if not 0 <= number < 2 ** 32:
        raise ValueError(f"seed {number} is outside 0..2**32-1")
    libc().srand(number)


MathMode = Literal["system", "correct"]
MATH_MODES: Tuple[MathMode, MathMode] = ("system", "correct")  # the C interface's 0 and 1


def check_math(mode: object, name: str = "math") -> MathMode:
    """`mode` itself when it names a math mode (ValueError naming `name` otherwise)."""
    if mode not in MATH_MODES:
        raise ValueError(f"{name} must be one of {', '.join(MATH_MODES)}, not {mode!r}")
    return cast(MathMode, mode)


def math_mode(mode: Optional[MathMode] = None) -> MathMode:
    """The arithmetic of every sweep in this process (lattice_set_math_mode): "system"
    (the maths library's sin, cos and exp) or "correct" (correctly rounded ones, the same
    on every machine). Sets it when `mode` is given; answers the mode before the call.
    RuntimeError, the mode unchanged, where the library cannot serve `mode` (a correct
    mode built with contracted arithmetic)."""
    lib = load()
    if mode is None:
        return MATH_MODES[lib.lattice_math_mode()]
    before = lib.lattice_set_math_mode(MATH_MODES.index(check_math(mode, "mode")))
    if before < 0:
        raise RuntimeError(f"this build of lumivane cannot serve the {mode} math mode")
    return MATH_MODES[before]


class _Record(Generic[_P]):
    """A record of the library and its release, made once: by release(), or when collected."""

    __slots__ = ("pointer", "release", "__weakref__")

    def __init__(self, pointer: _P, release: Callable[..., object], *arguments: object) -> None:
        self.pointer = pointer
        self.release: Callable[[], object] = weakref.finalize(self, release, *arguments)


class _Owner(Generic[_P]):
    """What Lattice, Value and CheckpointLog share: close(), the `with` block and _check();
    _record is None once closed."""

    __slots__ = ("_record",)
    _record: Optional[_Record[_P]]
    _kind = "record"
    _release_on_close = True  # False: close() lets go, the last holder releases

    @property
    def closed(self) -> bool:
        """Whether close() was called (or the `with` block ended)."""
        return self._record is None

    def close(self) -> None:
        """Releases the record (a second call does nothing)."""
        record, self._record = self._record, None
        if record is not None and self._release_on_close:
            record.release()

    def __enter__(self: _Self) -> _Self:
        self._check()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _check(self) -> _P:
        """The record's pointer; ValueError once the owner is closed."""
        if self._record is None:
            raise ValueError(f"operation on a closed {self._kind}")
        return self._record.pointer


class _ArrayMemory:
    """Bytes of a chunk's slot block for numpy; holds the storage alive meanwhile."""

    def __init__(self, record: _Record[_LatticePointer], address: Optional[int],
                 size: int) -> None:
        self.record = record
        self.__array_interface__: Dict[str, Any] = {
            "version": 3, "shape": (size,), "typestr": "|u1", "data": (address, True)}


class Lattice(_Owner[_LatticePointer]):
    """A lattice of num_instances x slots_per_instance declared slots (lattice_init); a
    slot's whole chunk (751 MB) is made when first touched, released by close() or by the
    last numpy view of it."""

    __slots__ = ("_lib", "__weakref__")
    _kind = "lattice"
    _release_on_close = False  # the numpy views hold the storage too

    def __init__(self, num_instances: SupportsIndex, slots_per_instance: SupportsIndex) -> None:
        lib = load()
        n = _int(num_instances, "num_instances")
        w = _int(slots_per_instance, "slots_per_instance")
        pointer: _LatticePointer = lib.lattice_init(n, w)
        if not pointer:
            if n <= 0 or w <= 0 or n * w > r.MAX_DECLARED_SLOTS:
                raise ValueError("lattice counts must be positive, their product at most "
                                 f"{r.MAX_DECLARED_SLOTS}")
            raise MemoryError("lattice_init could not allocate the lattice")
        self._lib = lib
        self._record = _Record(pointer, lib.lattice_free, pointer)

    def _struct(self) -> r.Lattice:
        return self._check().contents

    def sweep(self, dt: SupportsFloat = NOMINAL_STEP) -> None:
        """One sweep over the declared slots (lattice_integrate_rk4); the step must be finite
        and positive (ValueError otherwise), though a host's own C call takes any."""
        step = float(dt)
        if not (math.isfinite(step) and step > 0.0):
            raise ValueError(f"the step must be finite and positive, not {step!r}")
        _printing(self._lib.lattice_integrate_rk4, self._check(), step)

    def fold(self) -> None:
        """Doubles the instances with perturbed copies (lattice_fold)."""
        _printing(self._lib.lattice_fold, self._check())

    def slot(self, k: SupportsIndex) -> SlotView:
        """Slot k, for 0 <= k < num_chunks x 1048576 (lattice_get_slot), in place."""
        pointer = self._check()
        index = _int(k, "slot", IndexError)
        s: _SlotPointer = self._lib.lattice_get_slot(pointer, index)
        if s:
            return SlotView(self, index, s)
        if index < 0 or index >= pointer.contents.num_chunks * r.SLOTS_PER_CHUNK:
            raise IndexError(f"slot {index} is outside the lattice")
        raise MemoryError(f"the chunk of slot {index} could not be made")

    @property
    def slots(self) -> collections.abc.Sequence[SlotView]:
        """The declared slots as a sequence of slot views."""
        self._check()
        return Slots(self)

    @property
    def declared_slots(self) -> int:
        """The slots a sweep visits: num_instances x slots_per_instance as a 32-bit
        product that wraps, none when that is 0 or negative (lattice_declared_slots)."""
        n = (self.num_instances * self.slots_per_instance) & 0xFFFFFFFF
        return n if n <= _INT_MAX else 0

    num_chunks = Field("The entries of the chunk table: slots below num_chunks x 1048576 are "
                       "addressable.", int)
    num_instances = Field("The instances (rows); a fold doubles them.", int)
    slots_per_instance = Field("The slots of each instance (the width of a row).", int)
    omega = Field("The lattice's omega: 0.01 x the final step added by every sweep.", float)
    time = Field("The simulated time: the final step of every sweep added up.", float)
    consensus_steps = Field("Consecutive quiet sweeps counted by the consensus detector.", int)
    phase_var = Field("The spread of the unlocked slots' phases (1000000.0 until measured).",
                      float)
    last_update_ns = Field("The monotonic clock when the lattice was made.", int)

    def records(self,
                chunk: Optional[SupportsIndex] = None) -> "numpy.typing.NDArray[numpy.void]":
        """A read-only numpy view of the declared slots' records, or of `chunk`'s share of them
        (no copy; needs numpy); it keeps the storage alive after close()."""
        pointer = self._check()
        n = self.declared_slots
        spanned = -(-n // r.SLOTS_PER_CHUNK)
        if chunk is None:
            if spanned > 1:
                raise ValueError(f"the declared slots span {spanned} chunks: "
                                 "ask for records(chunk=c)")
            chunk = 0
        c_index = _int(chunk, "chunk", IndexError)
        if not 0 <= c_index < spanned:
            raise IndexError(f"chunk {c_index} holds no declared slot")
        np = require("numpy", "Lattice.records()")  # only once the arguments are known to be good
        c = self._lib.lattice_get_chunk(pointer, c_index)
        if not c:
            raise MemoryError(f"chunk {c_index} could not be made")
        count = min(r.SLOTS_PER_CHUNK, n - c_index * r.SLOTS_PER_CHUNK)
        address = ctypes.cast(c.contents.slots, ctypes.c_void_p).value
        assert self._record is not None
        raw = np.asarray(_ArrayMemory(self._record, address, count * ctypes.sizeof(r.Slot)))
        view: numpy.typing.NDArray[numpy.void] = raw.view(_dtype(np))
        return view

    def array(self, field: str,
              chunk: Optional[SupportsIndex] = None) -> "numpy.typing.NDArray[Any]":
        """records(chunk)[field]: one scalar field of every declared slot, as a view."""
        view: numpy.typing.NDArray[Any] = self.records(chunk)[field]
        return view

    def __repr__(self) -> str:
        if self.closed:
            return "<lumivane.Lattice (closed)>"
        return (f"<lumivane.Lattice {self.num_instances} x {self.slots_per_instance}, "
                f"{self.num_chunks} chunk(s), time={self.time!r}>")


class SlotView(_SlotFields):
    """One slot of a lattice, read and written in place while the lattice is open; a host
    may write phase, phase_vel and amp_im, and exclude() the slot."""

    __slots__ = ("_lattice", "_address", "index")

    def __init__(self, lattice: Lattice, index: int, pointer: _SlotPointer) -> None:
        self._lattice, self.index, self._address = lattice, index, pointer

    def _pointer(self) -> _SlotPointer:
        self._lattice._check()
        return self._address

    phase = WritableField("The slot's phase in radians; a host may set it.", float)
    phase_vel = WritableField("The slot's phase velocity; a host may set it.", float)
    amp_im = WritableField("The imaginary part of the slot's amplitude; a host may set it.",
                           float)

    def exclude(self, excluded: bool = True) -> None:
        """Sets FLAG_EXCLUDED (or clears it): the sweep passes over an excluded slot."""
        s = self._struct()
        s.flags = (s.flags | r.FLAG_EXCLUDED) if excluded else (s.flags & ~r.FLAG_EXCLUDED)

    def value(self) -> Value:
        """An independent copy of this slot as a Value (ap_copy)."""
        return Value.copy_of(self)

    def __repr__(self) -> str:
        if self._lattice.closed:
            return f"<lumivane slot {self.index} of a closed lattice>"
        return (f"<lumivane slot {self.index}: re={float(self)!r} im={self.amp_im!r} "
                f"phase={self.phase!r} flags=0x{self.flags:x}>")


class Slots(_Indexed[SlotView]):
    """The declared slots, indexed like a list (negative indexes count from the end)."""

    __slots__ = ("_lattice",)
    _what = "declared slot"

    def __init__(self, lattice: Lattice) -> None:
        self._lattice = lattice

    def __len__(self) -> int:
        return self._lattice.declared_slots

    def _item(self, k: int) -> SlotView:
        return self._lattice.slot(k)


@functools.lru_cache(maxsize=None)
def _dtype(np: Any) -> Any:
    """The numpy dtype of a slot record's scalar fields, made once."""
    return np.dtype({"names": list(_SCALARS),
                     "formats": [np.dtype(dict(r.Slot._fields_)[n]) for n in _SCALARS],
                     "offsets": [getattr(r.Slot, n).offset for n in _SCALARS],
                     "itemsize": ctypes.sizeof(r.Slot)})


def _release_slot(lib: ctypes.CDLL, c: ctypes.CDLL, pointer: _SlotPointer) -> None:
    lib.ap_free(pointer)
    c.free(pointer)


class Value(_SlotFields, _Owner[_SlotPointer]):
    """A high-precision value in a heap slot that it owns: Value(x) converts a double
    (ap_from_double: seven draws), copies go through ap_copy, close() ap_free then free."""

    __slots__ = ("__weakref__",)
    _kind = "value"

    def __init__(self, x: SupportsFloat, mantissa_bits: SupportsIndex = 4096,
                 exponent_bits: SupportsIndex = 16) -> None:
        lib = load()
        m, e = _int(mantissa_bits, "mantissa_bits"), _int(exponent_bits, "exponent_bits")
        pointer: _SlotPointer = lib.ap_from_double(m, e, float(x))
        if not pointer:
            if not (1 <= m <= r.MAX_MANTISSA_BITS
                    and r.MIN_EXPONENT_BITS <= e <= r.MAX_EXPONENT_BITS):
                raise ValueError(f"widths outside 1..{r.MAX_MANTISSA_BITS} and "
                                 f"{r.MIN_EXPONENT_BITS}..{r.MAX_EXPONENT_BITS} bits hold "
                                 "no value")
            raise MemoryError("ap_from_double could not allocate the value")
        self._own(lib, pointer)

    def _own(self, lib: ctypes.CDLL, pointer: _SlotPointer) -> None:
        self._record = _Record(pointer, _release_slot, lib, libc(), pointer)

    @classmethod
    def copy_of(cls, source: _SlotFields) -> Value:
        """An independent copy of a slot view or a value (ap_copy into a new record)."""
        lib, c = load(), libc()
        src = source._pointer()
        address = c.calloc(1, ctypes.sizeof(r.Slot))
        if not address:
            raise MemoryError("no memory for a slot record")
        pointer = ctypes.cast(address, _SlotPointer)
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

    def copy(self) -> Value:
        """An independent copy (ap_copy into a new record)."""
        return Value.copy_of(self)

    def __copy__(self) -> Value:
        return self.copy()

    def __deepcopy__(self, memo: object) -> Value:
        return self.copy()

    def _pointer(self) -> _SlotPointer:
        return self._check()

    def add(self, other: _SlotFields) -> None:
        """self := self + other as magnitudes (ap_add_legacy); other: a Value or a slot view
        of the same word count (ValueError otherwise, self unchanged)."""
        a, b = self._pointer(), other._pointer()
        if a.contents.num_words != b.contents.num_words:
            raise ValueError(f"unequal word counts: {a.contents.num_words} and "
                             f"{b.contents.num_words}")
        load().ap_add_legacy(a, b)

    def normalize(self) -> None:
        """Shifts the mantissa up to its top bit (ap_normalize_legacy)."""
        load().ap_normalize_legacy(self._pointer())

    def __repr__(self) -> str:
        if self.closed:
            return "<lumivane.Value (closed)>"
        return f"<lumivane.Value {float(self)!r} ({self.num_words} words)>"


class CheckpointLog(_Owner[_LogPointer], _Indexed[SnapshotRecord]):
    """The bounded log of weighted snapshots (checkpoint_init, capacity 10): a read-only
    sequence of SnapshotRecord copies, oldest first; add() saves one."""

    __slots__ = ("_lib", "__weakref__")
    _kind = "checkpoint log"
    _what = "snapshot"

    def __init__(self) -> None:
        lib = load()
        pointer: _LogPointer = lib.checkpoint_init()
        if not pointer:
            raise MemoryError("checkpoint_init could not allocate the log")
        self._lib = lib
        self._record = _Record(pointer, lib.checkpoint_free, pointer)

    def add(self, evo: SupportsIndex, lattice: Lattice) -> None:
        """Saves the lattice's phase_var and omega as step `evo` (checkpoint_add)."""
        _printing(self._lib.checkpoint_add, self._check(), _int(evo, "evo"), lattice._check())

    @property
    def capacity(self) -> int:
        """The log's capacity field (10 as checkpoint_init sets it)."""
        value: int = self._check().contents.capacity
        return value

    def __len__(self) -> int:
        log = self._check().contents
        if not log.snapshots or log.capacity <= 0:
            return 0
        count: int = min(log.count, log.capacity, r.CHECKPOINT_CAPACITY)
        return max(0, count)

    def _item(self, k: int) -> SnapshotRecord:
        """Snapshot k (oldest first) copied into a SnapshotRecord."""
        s = self._check().contents.snapshots[k]
        return SnapshotRecord(s.evo, s.timestamp_ns, s.phase_var, s.omega, s.weight)

    def __iter__(self) -> Iterator[SnapshotRecord]:
        return (self[i] for i in range(len(self)))

    def __repr__(self) -> str:
        if self.closed:
            return "<lumivane.CheckpointLog (closed)>"
        evos = ", ".join(str(s.evo) for s in self)
        return f"<lumivane.CheckpointLog {len(self)} of {self.capacity} snapshots: evo [{evos}]>"
