"""One run of the fixed program as data: its report, summary and trace, from the replay
program in a child process, so that the run's 765 MB go back to the system with it."""
from __future__ import annotations

import contextlib
import ctypes
import operator
import os
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
from typing import TYPE_CHECKING, Callable, List, Optional

from . import _table
from ._owners import check_math
from ._table import PathLike, Row, Summary, TraceRow
from .library import generated

if TYPE_CHECKING:
    import numpy
    import numpy.typing
    import pandas  # type: ignore[import]

PROGRAM = "lumivane-replay"
SEED_LIMIT = 2 ** 32  # the replay's seed is an unsigned 32-bit number


class RunError(RuntimeError):
    """The replay program failed for `seed`: `status` is its exit status (negative: the
    signal that ended it), `detail` the end of what it said on standard error."""

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


def replay_program() -> str:
    """The path of the replay program that run() and ensemble() start: LUMIVANE_REPLAY, or
    the first found of the places docs/analysis.md lists (FileNotFoundError naming them)."""
    named = os.environ.get("LUMIVANE_REPLAY")
    if named:
        if not _executable(named):
            raise FileNotFoundError(f"LUMIVANE_REPLAY names {named}, which is not an "
                                    "executable file")
        return named
    candidates: List[Optional[str]] = []
    library = os.environ.get("LUMIVANE_LIBRARY")
    if library:  # beside the library the package is told to load: a build tree, or lib/ of a prefix
        directory = os.path.dirname(os.path.abspath(library))
        candidates += [os.path.join(directory, PROGRAM),
                       os.path.join(directory, os.pardir, "bin", PROGRAM)]
    # The build tree's program, the install's (bin/ relative to the package), one on PATH.
    candidates += [generated("_build_tree", "REPLAY"),
                   generated("_installed", "PROGRAMS_FROM_PACKAGE", PROGRAM),
                   shutil.which(PROGRAM)]
    places = [os.path.normpath(p) for p in candidates if p]
    for place in places:
        if _executable(place):
            return place
    raise FileNotFoundError(f"cannot find {PROGRAM} (set LUMIVANE_REPLAY to its path); looked "
                            "at " + (", ".join(places) if places else "PATH"))


def end(process: "subprocess.Popen[bytes]", grace: float = 2.0) -> None:
    """Ends a replay process: SIGTERM, so that it removes its unfinished files, and SIGKILL
    if it is still there `grace` seconds later."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


Starter = Callable[[List[str]], "subprocess.Popen[bytes]"]


def _die_with_parent() -> Optional[Callable[[], None]]:
    """What a child runs before the replay starts, on Linux: SIGTERM when the thread that
    started it ends (a killed Python, a restarted notebook kernel), so that the replay
    removes its unfinished files and its 765 MB go with it."""
    if not sys.platform.startswith("linux"):
        return None
    prctl = ctypes.CDLL(None, use_errno=True).prctl
    parent = os.getpid()

    def arm() -> None:
        prctl(1, int(signal.SIGTERM), 0, 0, 0)  # 1: PR_SET_PDEATHSIG
        if os.getppid() != parent:  # the parent died before the signal was asked for
            os.kill(os.getpid(), signal.SIGTERM)
    return arm


def start(command: List[str]) -> "subprocess.Popen[bytes]":
    """Starts a replay process that ends with the thread that started it (see _die_with_parent)."""
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, preexec_fn=_die_with_parent())


def _scratch(suffix: str) -> str:
    """A fresh name in the temporary directory; no directory of our own, which a parent
    killed outright would leave (the replay removes its own `.part` file when ended)."""
    return os.path.join(tempfile.gettempdir(),
                        f"lumivane-{os.getpid()}-{secrets.token_hex(8)}{suffix}")


def _take(path: str, keep: bool) -> str:
    """The text of a file the replay wrote ("" when it wrote none), removed unless kept."""
    if not os.path.exists(path):
        return ""
    try:
        return _table.read_text(path)
    finally:
        if not keep:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)


def replay(seed: int, options: List[str], start: Starter = start) -> str:
    """Runs the replay program for `seed` with `options`, the child made by `start`, and
    answers the report; RunError when it fails. Any exception while waiting ends it first."""
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
    """One completed run: `seed`, `report` (the text the program printed), `summary` (a
    Summary) and the per-sweep trace as `trace` (numpy), `trace_rows()` (dicts),
    `trace_frame()` (pandas) or `trace_text` (the CSV as written)."""

    def __init__(self, seed: int, report: str, summary: Summary, trace_text: str,
                 source: str = "trace") -> None:
        self.seed = seed
        self.report = report
        self.summary = summary
        self.trace_text = trace_text
        self._source = source
        self._array: Optional[numpy.typing.NDArray[numpy.void]] = None

    @classmethod
    def from_files(cls, trace: PathLike, summary: PathLike, *, seed: Optional[int] = None,
                   report: str = "") -> "Run":
        """A Run from a trace and a summary written earlier. The seed is the summary's
        (ValueError when it has none, or when `seed` is given and differs)."""
        loaded = _table.read_summary(summary)
        if seed is not None and check_seed(seed) != loaded["seed"]:
            raise ValueError(f"{os.fspath(summary)} is the summary of seed {loaded['seed']}, "
                             f"not {seed}")
        text = _table.read_text(trace)
        _table.parse_trace(text, os.fspath(trace))  # a bad file fails here, not in a plot
        return cls(loaded["seed"], report, loaded, text, os.fspath(trace))

    @property
    def trace(self) -> "numpy.typing.NDArray[numpy.void]":
        """The trace as a numpy structured array, one record per sweep (needs numpy)."""
        if self._array is None:
            self._array = _table.trace_array(self.trace_text, self._source)
        return self._array

    def trace_rows(self) -> List[TraceRow]:
        """The trace as a list of dicts, one per sweep (standard library only)."""
        return _table.parse_trace(self.trace_text, self._source)

    def trace_frame(self) -> "pandas.DataFrame":
        """The trace as a DataFrame indexed by (`stage`, `sweep`) (needs pandas)."""
        return _table.trace_frame(self.trace_text, self._source)

    def row(self) -> Row:
        """The run as an ensemble's row: `seed`, `error` (None), the summary's scalars."""
        return _table.table_row(self.seed, self.summary)

    def __repr__(self) -> str:
        return (f"<lumivane.Run seed={self.seed} lock_sweep={self.summary.get('lock_sweep')} "
                f"final_phase_var={self.summary.get('final_phase_var')}>")


def run(seed: int, *, trace: Optional[PathLike] = None,
        summary: Optional[PathLike] = None, math: str = "system") -> Run:
    """Runs the fixed program for `seed` in a child process and answers the Run; `trace` and
    `summary` keep those files; `math`: "system" (the maths library's sin, cos and exp, the
    run lumivane makes) or "correct" (correctly rounded, the same on every machine)."""
    seed = check_seed(seed)
    math = check_math(math)
    if any(path is not None and os.fspath(path) == "-" for path in (trace, summary)):
        raise ValueError("run() reads the files it asks for: `-` (standard output) is for "
                         "the command line")
    paths = (os.fspath(trace) if trace is not None else _scratch(".csv"),
             os.fspath(summary) if summary is not None else _scratch(".json"))
    if os.path.abspath(paths[0]) == os.path.abspath(paths[1]):
        raise ValueError(f"the trace and the summary cannot both be written to {paths[0]}")
    try:
        report = replay(seed, ["--trace", paths[0], "--summary", paths[1], f"--math={math}"])
    finally:
        text = _take(paths[0], trace is not None)
        summary_text = _take(paths[1], summary is not None)
    return Run(seed, report, _table.parse_summary(summary_text, paths[1]), text, paths[0])


def summary_row(seed: int, starter: Starter = start, math: str = "system") -> Row:
    """One seed's ensemble row (its summary alone is asked for): the summary's scalars, or
    its error (never raises for a run)."""
    path = _scratch(".json")
    try:
        try:
            replay(seed, ["--summary", path, f"--math={check_math(math)}"], starter)
        finally:
            text = _take(path, False)
        return _table.table_row(seed, _table.parse_summary(text, path))
    except (RunError, OSError, ValueError) as error:
        return _table.table_row(seed, error=str(error))
