"""Finding liblumivane (load()'s path, LUMIVANE_LIBRARY, its SONAME on the loader's path,
the install's copy) and declaring its exported operations for ctypes."""
from __future__ import annotations

import ctypes
import importlib
import os
import threading
from typing import Any, Dict, List, Optional, Tuple, Union

from . import records as r

SONAME = "liblumivane.so.2"

_P = ctypes.POINTER
_SIGNATURES: Dict[str, Tuple[Any, List[Any]]] = {
    # name: (result, [arguments])
    "get_normalized_rand": (r.f64, []),
    "det_rand": (r.u64, [r.u64]),
    "get_rtc_ns": (r.u64, []),
    "rtc_sleep_until": (ctypes.c_int, [r.u64]),
    "bootloader_init_lattice": (None, [_P(r.Lattice), r.i32, _P(r.CheckpointLog)]),
    "mpi_init": (None, [_P(r.Mpi), r.u64]),
    "mpi_free": (None, [_P(r.Mpi)]),
    "mpi_copy": (None, [_P(r.Mpi), _P(r.Mpi)]),
    "mpi_set_value": (None, [_P(r.Mpi), r.u64, ctypes.c_int]),
    "slot_init_apa": (r.Slot, [ctypes.c_int, ctypes.c_int]),
    "ap_free": (None, [_P(r.Slot)]),
    "ap_copy": (None, [_P(r.Slot), _P(r.Slot)]),
    "ap_to_double": (r.f64, [_P(r.Slot)]),
    "ap_from_double": (_P(r.Slot), [ctypes.c_int, ctypes.c_int, r.f64]),
    "ap_shift_right_legacy": (None, [_P(r.u64), r.u64, r.i64]),
    "ap_normalize_legacy": (None, [_P(r.Slot)]),
    "ap_add_legacy": (None, [_P(r.Slot), _P(r.Slot)]),
    "init_apa_constants": (None, []),
    "lattice_init": (_P(r.Lattice), [r.i32, r.i32]),
    "lattice_get_chunk": (_P(r.SlotChunk), [_P(r.Lattice), r.i32]),
    "lattice_get_slot": (_P(r.Slot), [_P(r.Lattice), r.i32]),
    "lattice_free": (None, [_P(r.Lattice)]),
    "lattice_fold": (None, [_P(r.Lattice)]),
    "compute_derivatives": (r.SlotDerivative, [r.SlotState, _P(r.NeighborLink), r.i32, r.f64]),
    "rk4_step": (None, [_P(r.Slot), _P(r.NeighborLink), r.i32, r.f64, r.f64]),
    "exchange_analog_links": (None, [_P(r.NeighborLink), r.i32, r.i32, r.i32]),
    "lattice_integrate_rk4": (None, [_P(r.Lattice), r.f64]),
    "lattice_set_math_mode": (r.i32, [r.i32]),
    "lattice_math_mode": (r.i32, []),
    "detect_harmonic_consensus": (None, [_P(r.Lattice)]),
    "prismatic_recursion": (r.f64, [_P(r.Lattice), r.i32, r.f64]),
    "checkpoint_init": (_P(r.CheckpointLog), []),
    "checkpoint_add": (None, [_P(r.CheckpointLog), r.i32, _P(r.Lattice)]),
    "checkpoint_free": (None, [_P(r.CheckpointLog)]),
    "main": (ctypes.c_int, []),
}
# What the package calls in the C library.
_LIBC_SIGNATURES: Dict[str, Tuple[Any, List[Any]]] = {
    "free": (None, [ctypes.c_void_p]),
    "calloc": (ctypes.c_void_p, [ctypes.c_size_t, ctypes.c_size_t]),
    "srand": (None, [ctypes.c_uint]),
    "fflush": (ctypes.c_int, [ctypes.c_void_p]),
}

_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None
_libc: Optional[ctypes.CDLL] = None


def generated(module: str, name: str, *parts: str) -> Optional[str]:
    """A path that CMake wrote as `name` into a module beside a copy of this package
    (_build_tree in the build tree, _installed in an install), relative to the package and
    joined with `parts`; None where that module is not (the sources)."""
    try:
        found: str = getattr(importlib.import_module(f".{module}", __package__), name)
    except ImportError:
        return None
    return os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), found,
                                         *parts))


def _declare(lib: ctypes.CDLL, signatures: Dict[str, Tuple[Any, List[Any]]]) -> ctypes.CDLL:
    for name, (result, arguments) in signatures.items():
        function = getattr(lib, name)
        function.restype = result
        function.argtypes = arguments
    return lib


def load(path: Union[str, os.PathLike[str], None] = None) -> ctypes.CDLL:
    """Loads liblumivane (once per process) and answers the ctypes library; another `path`
    than the loaded one raises RuntimeError (a copy's records are released by that copy)."""
    global _lib, _libc
    with _lock:
        wanted = os.fspath(path) if path else os.environ.get("LUMIVANE_LIBRARY") or None
        if _lib is not None:
            if path is not None and os.path.realpath(path) != os.path.realpath(_lib._name):
                raise RuntimeError(f"lumivane: {_lib._name} is loaded already, not {path}")
            return _lib
        installed = generated("_installed", "LIBRARY_FROM_PACKAGE", SONAME)
        candidates: List[Optional[str]] = [wanted] if wanted else [SONAME, installed]
        errors: List[str] = []
        for candidate in filter(None, candidates):
            try:
                lib = ctypes.CDLL(candidate)
            except OSError as e:
                errors.append(str(e))
                continue
            _libc = _declare(ctypes.CDLL(None), _LIBC_SIGNATURES)
            _lib = _declare(lib, _SIGNATURES)
            return _lib
        raise OSError("lumivane: cannot load the library (set LUMIVANE_LIBRARY to its path): "
                      + "; ".join(errors))


def libc() -> ctypes.CDLL:
    """The C library that the loaded liblumivane allocates with and draws from."""
    load()
    assert _libc is not None  # load() sets it with the library
    return _libc
