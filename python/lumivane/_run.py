"""One run of the fixed program as data: its report, summary and trace.

lumivane.run(seed) starts the replay program `lumivane-replay SEED --trace T
--summary S` in a child process, so that the run's 765 MB go back to the system
with that process, and reads what it wrote. The program is found through the
environment variable LUMIVANE_REPLAY, else beside the library: the build
tree's, or the install's `bin/`, else on PATH.
"""
from __future__ import annotations

import operator
import os
import shutil
import signal
import subprocess
import tempfile
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional

from . import _table
from ._deps import require
from ._table import PathLike, Row, Scalar

if TYPE_CHECKING:
    import numpy
    import numpy.typing

PROGRAM = "lumivane-replay"
SEED_LIMIT = 2 ** 32  # the replay's seed is an unsigned 32-bit number


class RunError(RuntimeError):
    """The replay program failed for a seed: it ended with a non-zero status or a signal.

    `seed` is the seed, `status` the program's exit status (negative: the
    signal that ended it) and `detail` what it said on standard error.
    """

    def __init__(self, seed: int, status: int, detail: str) -> None:
        if status < 0:
            try:
                how = f"was ended by {signal.Signals(-status).name}"
            except ValueError:
                how = f"was ended by signal {-status}"
            if -status == signal.SIGKILL:
                how += " (out of memory?)"
        else:
            how = f"ended with status {status}"
        super().__init__(f"{PROGRAM} {seed} {how}" + (f": {detail}" if detail else ""))
        self.seed = seed
        self.status = status
        self.detail = detail


def check_seed(seed: int) -> int:
    """`seed` as an int in the replay's range 0..2**32-1; ValueError or TypeError otherwise."""
    if isinstance(seed, bool):
        raise TypeError("a seed is an integer, not a bool")
    value = operator.index(seed)
    if not 0 <= value < SEED_LIMIT:
        raise ValueError(f"seed {value} is outside 0..{SEED_LIMIT - 1}")
    return value


def _executable(path: str) -> bool:
    return os.path.isfile(path) and os.access(path, os.X_OK)


def _candidates() -> List[str]:
    """Where the replay program may be, after LUMIVANE_REPLAY, in order."""
    here = os.path.dirname(os.path.abspath(__file__))
    places: List[str] = []
    library = os.environ.get("LUMIVANE_LIBRARY")
    if library:  # beside the library the package is told to load: a build tree, or lib/ of a prefix
        directory = os.path.dirname(os.path.abspath(library))
        places += [os.path.join(directory, PROGRAM),
                   os.path.join(directory, os.pardir, "bin", PROGRAM)]
    try:  # the build tree's package: CMake wrote the program's path beside it
        from ._build_tree import REPLAY  # type: ignore[import]
        places.append(str(REPLAY))
    except ImportError:
        pass
    try:  # an installed package: bin/ relative to it
        from ._installed import PROGRAMS_FROM_PACKAGE  # type: ignore[import]
        places.append(os.path.join(here, str(PROGRAMS_FROM_PACKAGE), PROGRAM))
    except ImportError:
        pass
    on_path = shutil.which(PROGRAM)
    if on_path:
        places.append(on_path)
    return [os.path.normpath(p) for p in places]


def replay_program() -> str:
    """The path of the replay program that run() and ensemble() start.

    LUMIVANE_REPLAY, when set, names it; otherwise it is looked for beside the
    library named by LUMIVANE_LIBRARY, beside this package's build tree or
    install, and on PATH. Raises FileNotFoundError naming the places tried.
    """
    named = os.environ.get("LUMIVANE_REPLAY")
    if named:
        if not _executable(named):
            raise FileNotFoundError(f"LUMIVANE_REPLAY names {named}, which is not an "
                                    "executable file")
        return named
    places = _candidates()
    for place in places:
        if _executable(place):
            return place
    raise FileNotFoundError(f"cannot find {PROGRAM} (set LUMIVANE_REPLAY to its path); looked "
                            "at " + (", ".join(places) if places else "PATH"))


def end(process: "subprocess.Popen[bytes]", grace: float = 2.0) -> None:
    """Ends a replay process: SIGTERM first, so that it removes its unfinished files, then
    SIGKILL if it is still there after `grace` seconds."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


Starter = Callable[[List[str]], "subprocess.Popen[bytes]"]


def _start(command: List[str]) -> "subprocess.Popen[bytes]":
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def replay(seed: int, options: List[str], start: Starter = _start) -> str:
    """Runs the replay program for `seed` with `options`; answers the report it printed.

    `start` makes the child process (the local ensemble passes one that keeps
    track of its children). An exception while waiting, KeyboardInterrupt
    included, ends the child (end()) before it propagates. Raises RunError when the
    program fails.
    """
    seed = check_seed(seed)
    process = start([replay_program(), str(seed), *options])
    with process:
        try:
            out, err = process.communicate()
        except BaseException:
            end(process)
            raise
    if process.returncode != 0:
        lines = err.decode("utf-8", "replace").strip().splitlines()
        raise RunError(seed, process.returncode, " / ".join(lines[-3:]))
    # The report's bytes, kept exactly: its own text back as bytes is
    # report.encode("utf-8", "surrogateescape").
    return out.decode("utf-8", "surrogateescape")


class Run:
    """One completed run: the printed report, the summary and the per-sweep trace.

    `seed` is the run's seed, `report` the text the program printed, `summary`
    the summary as a dict (its keys `seed`, `version`, `boot`, `checkpoints`,
    `constants`, `slots`, `fold`, `progress`, `lock_sweep`, `final_phase_var`,
    `wall_s`). The trace is `trace` (numpy), `trace_rows()` (dicts) or
    `trace_frame()` (pandas); `trace_text` is the CSV as written.
    """

    def __init__(self, seed: int, report: str, summary: Dict[str, Any], trace_text: str,
                 source: str = "trace") -> None:
        self.seed = seed
        self.report = report
        self.summary = summary
        self.trace_text = trace_text
        self._source = source
        self._array: Optional[numpy.typing.NDArray[numpy.void]] = None

    @classmethod
    def from_files(cls, trace: PathLike, summary: PathLike, report: str = "") -> "Run":
        """A Run from a trace and a summary written earlier (the seed is the summary's)."""
        loaded = _table.read_summary(summary)
        with open(trace, encoding="utf-8", newline="") as file:
            text = file.read()
        _table.parse_trace(text, os.fspath(trace))  # a bad file fails here, not in a plot
        return cls(int(loaded.get("seed", 0)), report, loaded, text, os.fspath(trace))

    @property
    def trace(self) -> "numpy.typing.NDArray[numpy.void]":
        """The trace as a numpy structured array, one record per sweep (needs numpy).

        Fields: `phase` (`boot` or `extended`), `sweep`, `dt_start`, `dt_end`,
        `time`, `omega`, `phase_var`, `consensus_steps`, `locked`.
        """
        if self._array is None:
            self._array = _table.trace_array(self.trace_text, self._source)
        return self._array

    def trace_rows(self) -> List[Dict[str, Scalar]]:
        """The trace as a list of dicts, one per sweep (standard library only)."""
        return _table.trace_rows(self.trace_text, self._source)

    def trace_frame(self) -> Any:
        """The trace as a pandas DataFrame, one row per sweep (needs pandas)."""
        pandas = require("pandas", "Run.trace_frame()")
        return pandas.DataFrame(self.trace_rows(), columns=list(_table.TRACE_COLUMNS))

    def row(self) -> Row:
        """The run as an ensemble's row: `seed`, an empty `error`, the summary's scalars."""
        return {"seed": self.seed, "error": "", **_table.flatten(self.summary)}

    def __repr__(self) -> str:
        return (f"<lumivane.Run seed={self.seed} lock_sweep={self.summary.get('lock_sweep')} "
                f"final_phase_var={self.summary.get('final_phase_var')}>")


def run(seed: int, *, trace: Optional[PathLike] = None,
        summary: Optional[PathLike] = None) -> Run:
    """Runs the fixed program for `seed` in a child process and answers the Run.

    The trace and summary go to temporary files, or to `trace` and `summary`
    when given, which then keep them. Raises ValueError for a seed outside
    0..2**32-1, FileNotFoundError when the replay program cannot be found and
    RunError when it fails.
    """
    seed = check_seed(seed)
    if "-" in (trace, summary):
        raise ValueError("run() reads the files it asks for: `-` (standard output) is for "
                         "the command line")
    with tempfile.TemporaryDirectory(prefix="lumivane-run-") as scratch:
        trace_path = os.fspath(trace) if trace is not None else os.path.join(scratch, "trace.csv")
        summary_path = (os.fspath(summary) if summary is not None
                        else os.path.join(scratch, "summary.json"))
        report = replay(seed, ["--trace", trace_path, "--summary", summary_path])
        with open(trace_path, encoding="utf-8", newline="") as file:
            text = file.read()
        return Run(seed, report, _table.read_summary(summary_path), text, trace_path)


def summary_row(seed: int, start: Starter = _start) -> Row:
    """One seed's ensemble row: its summary's scalars, or its error (never raises for a run).

    Only the summary is asked for: an ensemble keeps no traces.
    """
    try:
        with tempfile.TemporaryDirectory(prefix="lumivane-run-") as scratch:
            path = os.path.join(scratch, "summary.json")
            replay(seed, ["--summary", path], start)
            summary = _table.read_summary(path)
    except (RunError, OSError, ValueError) as error:
        return {"seed": seed, "error": str(error)}
    return {"seed": seed, "error": "", **_table.flatten(summary)}
