"""The C records and constants of liblumivane (include/lumivane/*.h) for ctypes; the sizes,
and the constants against the headers' (_constants.py, from the build), checked on import."""
from __future__ import annotations

import ctypes
import importlib
from typing import Dict, Type

u8, u16, u32, u64 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_uint64
i32, i64, f32, f64 = ctypes.c_int32, ctypes.c_int64, ctypes.c_float, ctypes.c_double

FLAG_NEGATIVE = 0x01
FLAG_EXCLUDED = 0x02
FLAG_OVERFLOW = 0x04
FLAG_UNDERFLOW = 0x08
FLAG_LOCKED = 0x10
SLOTS_PER_CHUNK = 1048576
MAX_INSTANCES = 8388608
MAX_DECLARED_SLOTS = 2146435072
MAX_MANTISSA_BITS = 2147483584
MIN_EXPONENT_BITS = 1
MAX_EXPONENT_BITS = 63
CHECKPOINT_CAPACITY = 10
NOMINAL_STEP = 3.0517578125e-05  # 2^-15
CONSTANTS = ("FLAG_NEGATIVE", "FLAG_EXCLUDED", "FLAG_OVERFLOW", "FLAG_UNDERFLOW", "FLAG_LOCKED",
             "SLOTS_PER_CHUNK", "MAX_INSTANCES", "MAX_DECLARED_SLOTS", "MAX_MANTISSA_BITS",
             "MIN_EXPONENT_BITS", "MAX_EXPONENT_BITS", "CHECKPOINT_CAPACITY", "NOMINAL_STEP")


def _check_constants() -> None:
    """Compares the copies above with the headers' values the build wrote, if any."""
    try:
        built = importlib.import_module("._constants", __package__)
    except ImportError:  # python/ in the sources: nothing is generated there
        return
    for name in CONSTANTS:
        header = getattr(built, name, None)
        if header != globals()[name]:
            raise ImportError(f"lumivane: {name} is {globals()[name]!r} here, {header!r} in "
                              "the C headers")


_check_constants()


class Mpi(ctypes.Structure):
    """A one-word vector inside a slot; owns `words` (null when it has none)."""

    _fields_ = [("words", ctypes.POINTER(u64)), ("word_count", u64), ("sign", u8)]


class Slot(ctypes.Structure):
    """A lattice cell and a high-precision number (152 bytes); owns its buffers."""

    _fields_ = [("mantissa_words", ctypes.POINTER(u64)), ("num_words_mpi", Mpi),
                ("exponent_mpi", Mpi), ("init_tag", u16), ("flags", u32), ("aux_mpi", Mpi),
                ("num_words", u64), ("exponent", i64), ("base", f32), ("mantissa_bits", i32),
                ("exponent_bits", i32), ("phase", f64), ("phase_vel", f64), ("omega", f64),
                ("amp_im", f64)]


class SlotChunk(ctypes.Structure):
    """A materialised chunk: SLOTS_PER_CHUNK slot records."""

    _fields_ = [("slots", ctypes.POINTER(Slot)), ("num_slots", u64)]


class Lattice(ctypes.Structure):
    """The container of every slot and the simulation's global state."""

    _fields_ = [("chunks", ctypes.POINTER(ctypes.POINTER(SlotChunk))), ("num_chunks", i32),
                ("num_instances", i32), ("slots_per_instance", i32), ("omega", f64),
                ("time", f64), ("consensus_steps", i32), ("phase_var", f64),
                ("last_update_ns", u64)]


class NeighborLink(ctypes.Structure):
    """What one neighbour contributes to a slot's derivative."""

    _fields_ = [(n, f64) for n in ("amp_re", "amp_im", "amp_rate", "phase_delta", "coupling")]


class SlotState(ctypes.Structure):
    """The integrated state of one slot."""

    _fields_ = [(n, f64) for n in ("amp_re", "amp_im", "phase", "phase_vel")]


class SlotDerivative(ctypes.Structure):
    """The time derivative of a SlotState, field by field."""

    _fields_ = [(n, f64) for n in ("d_amp_re", "d_amp_im", "d_phase", "d_phase_vel")]


class Snapshot(ctypes.Structure):
    """One save of the checkpoint log."""

    _fields_ = [("evo", i32), ("timestamp_ns", u64), ("phase_var", f64), ("omega", f64),
                ("weight", f64)]


class CheckpointLog(ctypes.Structure):
    """The bounded log of weighted snapshots; owns its array."""

    _fields_ = [("snapshots", ctypes.POINTER(Snapshot)), ("count", i32), ("capacity", i32)]


SIZES: Dict[Type[ctypes.Structure], int] = {Mpi: 24, Slot: 152, SlotChunk: 16, Lattice: 64,
                                            NeighborLink: 40, SlotState: 32, SlotDerivative: 32,
                                            Snapshot: 40, CheckpointLog: 16}
for _record, _size in SIZES.items():
    if ctypes.sizeof(_record) != _size:  # a mismatch would read garbage
        raise ImportError(f"lumivane: {_record.__name__} is {ctypes.sizeof(_record)} bytes "
                          f"here, {_size} in the library")
