"""One run of the fixed program as data: its report, summary and trace, from the replay
program in a child process, so that the run's memory goes back to the system with it."""
from __future__ import annotations

import contextlib
import glob
import operator
import os
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Tuple

from . import _state, _table
from ._owners import MathMode, check_math
from ._state import Dataset, Fields, Selection
from ._table import PathLike, Row, Summary, TraceRow
from .library import generated

if TYPE_CHECKING:
    import numpy
    import numpy.typing
    from ._typing import pandas

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

    def __reduce__(self) -> Tuple[Any, Tuple[int, int, str]]:
        # Pickled (as Dask sends a task's exception) by the arguments that remake it.
        return type(self), (self.seed, self.status, self.detail)


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


def start(command: List[str]) -> "subprocess.Popen[bytes]":
    """Starts a replay process. On Linux it is given `--parent` with this process's id: the
    replay then ends by SIGTERM when this process ends, or the thread that started it (a
    killed Python, a restarted notebook kernel), so that it removes its unfinished files and its
    memory goes with it; a wrapper in LUMIVANE_REPLAY may stand between, with or without exec."""
    if sys.platform.startswith("linux"):
        command = [*command, "--parent", str(os.getpid())]
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def _remove_unfinished(outputs: Sequence[str], pid: int) -> None:
    """Removes what a replay killed outright (SIGKILL) left of its outputs: the temporary
    files it names after each output's final target (a symbolic link followed) and its own
    pid."""
    for output in outputs:
        target = os.path.realpath(output)
        for part in glob.glob(f"{glob.escape(target)}.{pid}.*.part"):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(part)


def _scratch(suffix: str) -> str:
    """A fresh name in the temporary directory; no directory of our own, which a parent
    killed outright would leave (the replay removes its own `.part` file when ended)."""
    return os.path.join(tempfile.gettempdir(),
                        f"lumivane-{os.getpid()}-{secrets.token_hex(8)}{suffix}")


def replay(seed: int, options: List[str], outputs: Sequence[str] = (), start: Starter = start,
           program: Optional[str] = None) -> str:
    """Runs the replay program (`program`, or replay_program()'s) for `seed` with `options`,
    the child made by `start`, and answers the report; RunError when it fails. Any exception
    while waiting ends it first; the temporary files of `outputs` never outlive it."""
    seed = check_seed(seed)
    process = start([program or replay_program(), str(seed), *options])
    try:
        with process:
            try:
                out, err = process.communicate()
            except BaseException:
                end(process)
                raise
    finally:
        _remove_unfinished(outputs, process.pid)
    if process.returncode != 0:
        lines = err.decode("utf-8", "replace").strip().splitlines()
        raise RunError(seed, process.returncode, " / ".join(lines[-3:]))
    # The report's bytes, kept exactly: its own text back as bytes is
    # report.encode("utf-8", "surrogateescape").
    return out.decode("utf-8", "surrogateescape")


class Run:
    """One completed run: `seed`, `report` (the text the program printed), `summary` (a
    Summary) and the per-sweep trace as `trace` (numpy), `trace_rows()` (dicts),
    `trace_frame()` (pandas) or `trace_text` (the CSV as written); `state`, the recorded
    state (xarray), when the run recorded one to `state_path`."""

    def __init__(self, seed: int, report: str, summary: Summary, trace_text: str,
                 source: str = "trace", state_path: Optional[str] = None) -> None:
        self.seed = seed
        self.report = report
        self.summary = summary
        self.trace_text = trace_text
        self.state_path = state_path
        self._source = source
        self._array: Optional[numpy.typing.NDArray[numpy.void]] = None
        self._state: Optional[Dataset] = None

    @classmethod
    def from_files(cls, trace: PathLike, summary: PathLike, *, seed: Optional[int] = None,
                   report: str = "", state: Optional[PathLike] = None) -> "Run":
        """A Run from a trace and a summary written earlier, and the record of its state
        when given. The seed is the summary's (ValueError when it has none, or when `seed` is
        given and differs)."""
        loaded = _table.read_summary(summary)
        if seed is not None and check_seed(seed) != loaded["seed"]:
            raise ValueError(f"{os.fspath(summary)} is the summary of seed {loaded['seed']}, "
                             f"not {seed}")
        text = _table.read_text(trace)
        _table.parse_trace(text, os.fspath(trace))  # a bad file fails here, not in a plot
        return cls(loaded["seed"], report, loaded, text, os.fspath(trace),
                   os.fspath(state) if state is not None else None)

    @property
    def state(self) -> Dataset:
        """The recorded state as read_state() reads it, read once (needs xarray); ValueError
        for a run that recorded none."""
        if self.state_path is None:
            raise ValueError(f"run {self.seed} recorded no state: run(seed, record=PATH)")
        if self._state is None:
            self._state = _state.read_state(self.state_path)
        return self._state

    @property
    def trace(self) -> "numpy.typing.NDArray[numpy.void]":
        """The trace as a numpy structured array, one record per sweep (needs numpy)."""
        if self._array is None:
            self._array = _table.trace_array(self.trace_text, self._source)
        return self._array

    def trace_rows(self) -> List[TraceRow]:
        """The trace as a list of dicts, one per sweep (standard library only)."""
        return _table.parse_trace(self.trace_text, self._source)

    def trace_frame(self) -> pandas.DataFrame:
        """The trace as a DataFrame indexed by (`stage`, `sweep`) (needs pandas)."""
        return _table.trace_frame(self.trace_text, self._source)

    def row(self) -> Row:
        """The run as an ensemble's row: `seed`, `error` (None), the summary's scalars."""
        return _table.table_row(self.seed, self.summary)

    def __repr__(self) -> str:
        return (f"<lumivane.Run seed={self.seed} lock_sweep={self.summary.get('lock_sweep')} "
                f"final_phase_var={self.summary.get('final_phase_var')}>")


def state_options(record: Optional[PathLike], fields: Fields, sweeps: Selection,
                  cells: Selection) -> List[str]:
    """The replay's options for a record to `record` (none without one), checked before
    any run: ValueError or TypeError for a selection the replay would refuse, or one given
    without a record."""
    options = _state.record_options(fields, sweeps, cells)
    if record is None:
        if options:
            raise ValueError("record_fields, record_sweeps and record_cells (--record-*) choose "
                             "what a record holds: they need record=PATH (--record PATH)")
        return []
    path = os.fspath(record)
    if path in ("", "-"):
        raise ValueError(f"record is the path of a file, not {path!r}")
    return ["--record", path, *options]


def run(seed: int, *, trace: Optional[PathLike] = None,
        summary: Optional[PathLike] = None, math: MathMode = "system",
        record: Optional[PathLike] = None, record_fields: Fields = None,
        record_sweeps: Selection = None, record_cells: Selection = None) -> Run:
    """Runs the fixed program for `seed` in a child process and answers the Run; `trace` and
    `summary` keep those files; `math`: "system" (the maths library's sin, cos and exp, the
    run lumivane makes) or "correct" (correctly rounded, the same on every machine).
    `record` writes the run's state there as netCDF (Run.state reads it): `record_fields`
    (names, or "phase,amplitude" as text), `record_sweeps` and `record_cells` (slices, or
    "START:STOP:STEP" as text) choose what, as lumivane-replay's --record-* options do."""
    seed = check_seed(seed)
    math = check_math(math)
    if any(path is not None and os.fspath(path) == "-" for path in (trace, summary)):
        raise ValueError("run() reads the files it asks for: `-` (standard output) is for "
                         "the command line")
    recording = state_options(record, record_fields, record_sweeps, record_cells)
    paths = (os.fspath(trace) if trace is not None else _scratch(".csv"),
             os.fspath(summary) if summary is not None else _scratch(".json"))
    named = [("the trace", paths[0]), ("the summary", paths[1])]
    if record is not None:
        named.append(("the record", os.fspath(record)))
    for i, (what, path) in enumerate(named):
        for other, other_path in named[i + 1:]:
            if _table.same_file(path, other_path):
                raise ValueError(f"{what} and {other} cannot both be written to {path}")
    kept = (trace is not None, summary is not None)
    try:
        report = replay(seed, ["--trace", paths[0], "--summary", paths[1], f"--math={math}",
                               *recording], [path for _, path in named])
        # Only a run that succeeded wrote the files; a failed one leaves the paths as they
        # were, and its refusal stands.
        text = _table.read_text(paths[0])
        summary_text = _table.read_text(paths[1])
    finally:
        for path, keep in zip(paths, kept):
            if not keep:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(path)
    return Run(seed, report, _table.parse_summary(summary_text, paths[1]), text, paths[0],
               os.fspath(record) if record is not None else None)


def summary_row(seed: int, starter: Starter = start, math: MathMode = "system",
                program: Optional[str] = None, record: Optional[str] = None,
                record_options: Sequence[str] = ()) -> Row:
    """One seed's ensemble row (its summary alone is asked for): the summary's scalars, or
    its error (never raises for a run). `record`, a path with `{seed}` in it, keeps the
    seed's state there, chosen by `record_options` (the replay's --record-* options)."""
    path = _scratch(".json")
    recording = [] if record is None else ["--record", record.format(seed=seed),
                                           *record_options]
    try:
        try:
            replay(seed, ["--summary", path, f"--math={check_math(math)}", *recording],
                   [path, *recording[1:2]], starter, program)
            text = _table.read_text(path)
        finally:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
        return _table.table_row(seed, _table.parse_summary(text, path))
    except (RunError, OSError, ValueError) as error:
        return _table.table_row(seed, error=str(error))
