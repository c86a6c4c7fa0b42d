"""lumivane: Python owners over liblumivane's C interface (standard library only).

    import lumivane
    lumivane.seed(2026)                      # srand: every draw of the library comes from rand()
    with lumivane.Lattice(64, 4) as lattice:
        for _ in range(20):
            lattice.sweep()                  # lattice_integrate_rk4 with the nominal step 2^-15
        s = lattice.slot(0)                  # a view of the record in the chunk, not a copy
        print(s.to_double(), s.phase, lattice.phase_var)

The raw operations are at load(), the records at lumivane.records; runs as data
at run(seed), ensemble(seeds), read_state(path), plot and `python3 -m lumivane` (docs/bindings.md,
docs/analysis.md).
"""
import importlib
import sys
from typing import Optional

if sys.version_info < (3, 9):  # the annotations and the standard library calls it uses
    raise ImportError(f"lumivane needs Python 3.9 or later, not {sys.version.split()[0]}")

from . import plot, records
from ._owners import (NOMINAL_STEP, CheckpointLog, Lattice, SlotView, SnapshotRecord, Value,
                      math_mode, seed)
from ._deps import MissingDependency
from ._ensemble import default_workers, ensemble, ensemble_rows
from ._run import Run, RunError, replay_program, run
from ._state import read_state, read_states
from ._table import (ENSEMBLE_COLUMNS, TRACE_COLUMNS, Summary, TraceRow, read_ensemble,
                     read_summary, read_trace)
from .library import SONAME, libc, load
from .records import (FLAG_EXCLUDED, FLAG_LOCKED, FLAG_NEGATIVE, FLAG_OVERFLOW, FLAG_UNDERFLOW,
                      SLOTS_PER_CHUNK)

try:  # the project's version, which CMake writes into the build tree's and the install's copy
    __version__: Optional[str] = importlib.import_module("._version", __name__).VERSION
except ImportError:  # python/ in the sources
    __version__ = None

__all__ = ["CheckpointLog", "Lattice", "SlotView", "SnapshotRecord", "Value", "seed", "math_mode",
           "load", "libc", "records", "NOMINAL_STEP", "SONAME", "SLOTS_PER_CHUNK", "FLAG_NEGATIVE",
           "FLAG_EXCLUDED", "FLAG_OVERFLOW", "FLAG_UNDERFLOW", "FLAG_LOCKED",
           "run", "Run", "RunError", "ensemble", "ensemble_rows", "default_workers",
           "replay_program", "plot", "read_trace", "read_summary", "read_ensemble", "Summary",
           "TraceRow", "TRACE_COLUMNS", "ENSEMBLE_COLUMNS", "MissingDependency", "read_state",
           "read_states"]
