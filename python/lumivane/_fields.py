"""Fields of the C records read in place (Field), a slot record's fields (_SlotFields), and
the indexing that a lattice's slots and a log's snapshots share (_Indexed); the owners
(_owners.py) build on these, and nothing here imports them."""
from __future__ import annotations

import collections.abc
import ctypes
import operator
from typing import (TYPE_CHECKING, Any, Callable, Generic, List, NoReturn, Optional, Protocol,
                    SupportsFloat, SupportsIndex, Tuple, TypeVar, Union, overload)

from . import records as r
from .library import load

if TYPE_CHECKING:
    _SlotPointer = ctypes._Pointer[r.Slot]
else:  # the same pointer type at run time, where _Pointer cannot be subscripted
    _SlotPointer = ctypes.POINTER(r.Slot)

_T = TypeVar("_T")
_Item = TypeVar("_Item")


class _Holder(Protocol):
    def _struct(self) -> ctypes.Structure: ...


class Field(Generic[_T]):
    """A field of the C record that its holder's _struct() answers, read when asked for.
    Assigning it is refused (AttributeError, and a type checker's error): the holders have
    __slots__, so nothing can stand in front of the record's value either."""

    def __init__(self, doc: str, convert: Callable[[Any], _T]) -> None:
        self.__doc__ = doc
        self._convert = convert
        self._name = ""

    def __set_name__(self, owner: type, name: str) -> None:
        self._name = name

    @overload
    def __get__(self, holder: None, owner: Optional[type] = None) -> Field[_T]: ...

    @overload
    def __get__(self, holder: _Holder, owner: Optional[type] = None) -> _T: ...

    def __get__(self, holder: Optional[_Holder],
                owner: Optional[type] = None) -> Union[Field[_T], _T]:
        if holder is None:
            return self
        return self._convert(getattr(holder._struct(), self._name))

    def __set__(self, holder: _Holder, value: NoReturn) -> None:
        raise AttributeError(f"{self._name} is read-only: the library sets it")


class WritableField(Field[float]):
    """A double field that a host may also set."""

    def __set__(self, holder: _Holder, value: SupportsFloat) -> None:
        setattr(holder._struct(), self._name, float(value))


class _Indexed(collections.abc.Sequence[_Item]):
    """A sequence of len(self) items made by _item(k), indexed like a list."""

    __slots__ = ()
    _what = "item"

    def _item(self, k: int) -> _Item:
        raise NotImplementedError

    @overload
    def __getitem__(self, i: SupportsIndex) -> _Item: ...

    @overload
    def __getitem__(self, i: slice) -> List[_Item]: ...

    def __getitem__(self, i: Union[SupportsIndex, slice]) -> Union[_Item, List[_Item]]:
        n = len(self)
        if isinstance(i, slice):
            return [self._item(k) for k in range(*i.indices(n))]
        k = operator.index(i)
        if not -n <= k < n:
            raise IndexError(f"{self._what} {k} is out of range (there are {n})")
        return self._item(k + n if k < 0 else k)


class _SlotFields:
    """Read access to a slot record: the scalar fields, the words, the value."""

    __slots__ = ()

    def _pointer(self) -> _SlotPointer:
        raise NotImplementedError

    def _struct(self) -> r.Slot:
        return self._pointer().contents

    def to_double(self) -> float:
        """The magnitude as a double (ap_to_double: word 0 only, never negative)."""
        value: float = load().ap_to_double(self._pointer())
        return value

    def __float__(self) -> float:
        """The value with its sign (FLAG_NEGATIVE), as repr() and C++'s operator<< show it;
        to_double() is the magnitude."""
        return -self.to_double() if self.negative else self.to_double()

    init_tag = Field("The slot's init_tag (u16).", int)
    flags = Field("The slot's flags: FLAG_NEGATIVE, FLAG_EXCLUDED, FLAG_OVERFLOW, "
                  "FLAG_UNDERFLOW, FLAG_LOCKED.", int)
    num_words = Field("How many mantissa words the slot holds.", int)
    exponent = Field("The power-of-two exponent of the real amplitude.", int)
    base = Field("The slot's base (f32).", float)
    mantissa_bits = Field("The mantissa width in bits.", int)
    exponent_bits = Field("The exponent width in bits.", int)
    phase = Field("The slot's phase in radians.", float)
    phase_vel = Field("The slot's phase velocity.", float)
    omega = Field("The slot's natural frequency.", float)
    amp_im = Field("The imaginary part of the slot's amplitude.", float)

    @property
    def negative(self) -> bool:
        """FLAG_NEGATIVE: the only place the sign of the real amplitude is kept."""
        return bool(self.flags & r.FLAG_NEGATIVE)

    @property
    def locked(self) -> bool:
        """FLAG_LOCKED: set by the consensus lock, never cleared."""
        return bool(self.flags & r.FLAG_LOCKED)

    @property
    def excluded(self) -> bool:
        """FLAG_EXCLUDED: the sweep passes over the slot."""
        return bool(self.flags & r.FLAG_EXCLUDED)

    @property
    def words(self) -> Tuple[int, ...]:
        """A copy of the mantissa words, word 0 the most significant."""
        s = self._struct()
        if not s.mantissa_words:
            return ()
        return tuple(s.mantissa_words[:s.num_words])
