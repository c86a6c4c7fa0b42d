"""lumivane: Python owners over liblumivane's C interface (standard library only).

    import lumivane
    lumivane.seed(2026)                      # srand: every draw of the library comes from rand()
    with lumivane.Lattice(64, 4) as lattice:
        for _ in range(20):
            lattice.sweep()                  # lattice_integrate_rk4 with the nominal step 2^-15
        s = lattice.slot(0)                  # a view of the record in the chunk, not a copy
        print(s.to_double(), s.phase, lattice.phase_var)

Lattice, Value and CheckpointLog release their records on close(), at the end of
a `with` block, or when collected. Lattice.records() and Lattice.array() give
numpy views of the declared slots when numpy is importable. The raw operations
are at lumivane.load() (a ctypes library with every signature declared) and the
records at lumivane.records. __version__ is the project's version, written in by
CMake (None when the package is imported straight from the sources).
"""
import importlib
import sys
from typing import Optional

if sys.version_info < (3, 9):  # the annotations and the standard library calls it uses
    raise ImportError(f"lumivane needs Python 3.9 or later, not {sys.version.split()[0]}")

from . import plot, records
from ._owners import NOMINAL_STEP, CheckpointLog, Lattice, SnapshotRecord, Value, math_mode, seed
from ._slots import SlotView
from ._deps import MissingDependency
from ._ensemble import default_workers, ensemble, ensemble_rows
from ._run import Run, RunError, replay_program, run
from ._table import (ENSEMBLE_COLUMNS, TRACE_COLUMNS, Summary, TraceRow, read_ensemble,
                     read_summary, read_trace)
from .library import SONAME, libc, load
from .records import (FLAG_EXCLUDED, FLAG_LOCKED, FLAG_NEGATIVE, FLAG_OVERFLOW, FLAG_UNDERFLOW,
                      SLOTS_PER_CHUNK)


def _version() -> Optional[str]:
    try:
        built = importlib.import_module("._version", __name__)
    except ImportError:  # python/ in the sources: CMake writes the version into the build tree's copy
        return None
    version: str = built.VERSION
    return version


__version__ = _version()

__all__ = ["CheckpointLog", "Lattice", "SlotView", "SnapshotRecord", "Value", "seed", "math_mode", "load",
           "libc", "records", "NOMINAL_STEP", "SONAME", "SLOTS_PER_CHUNK", "FLAG_NEGATIVE",
           "FLAG_EXCLUDED", "FLAG_OVERFLOW", "FLAG_UNDERFLOW", "FLAG_LOCKED",
           "run", "Run", "RunError", "ensemble", "ensemble_rows", "default_workers",
           "replay_program", "plot", "read_trace", "read_summary", "read_ensemble", "Summary",
           "TraceRow", "TRACE_COLUMNS", "ENSEMBLE_COLUMNS", "MissingDependency"]
