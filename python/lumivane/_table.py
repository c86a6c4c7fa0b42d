"""A run's trace (CSV) and summary (JSON), ensemble tables (columns of fixed types whatever
the data), and files written whole."""
from __future__ import annotations

import contextlib
import csv
import json
import os
import secrets
import stat
from typing import (IO, TYPE_CHECKING, Any, Dict, Iterator, List, Literal, Mapping,
                    Optional, Sequence, Tuple, TypedDict, Union, cast)

from ._deps import require

if TYPE_CHECKING:
    import numpy
    import numpy.typing
    from ._typing import pandas

Scalar = Union[int, float, str, None]
Row = Dict[str, Scalar]
PathLike = Union[str, "os.PathLike[str]"]
Stage = Literal["boot", "extended"]

TRACE_COLUMNS: Tuple[str, ...] = ("stage", "sweep", "run_sweep", "dt_start", "dt_end", "time",
                                  "omega", "phase_var", "consensus_steps", "locked")
TRACE_HEADER = ",".join(TRACE_COLUMNS)
STAGES: Tuple[Stage, Stage] = ("boot", "extended")
STAGE_SWEEPS = {"boot": 500, "extended": 1000}
_INTEGERS = frozenset({"sweep", "run_sweep", "consensus_steps", "locked"})
# The columns' kinds as for an ensemble (see _pandas_dtype), and numpy's types for them.
_TRACE_KINDS = {name: "stage" if name == "stage" else "int64" if name in _INTEGERS else "float"
                for name in TRACE_COLUMNS}
_DTYPE = [(name, {"stage": "U8", "int64": "i8", "float": "f8"}[kind])
          for name, kind in _TRACE_KINDS.items()]


class TraceRow(TypedDict):
    """One sweep of the trace: TRACE_COLUMNS."""
    stage: Stage
    sweep: int
    run_sweep: int
    dt_start: float
    dt_end: float
    time: float
    omega: float
    phase_var: float
    consensus_steps: int
    locked: int


# The summary's parts. A double is None where the report prints inf or nan.
_F = Optional[float]
Boot = TypedDict("Boot", {"instances": int, "slots": int, "steps": int, "omega": _F,
                          "time": _F, "phase_var": _F})
Snapshot = TypedDict("Snapshot", {"evo": int, "weight": _F, "var": _F})
Checkpoints = TypedDict("Checkpoints", {"total": int, "snapshots": List[Snapshot]})
Constant = TypedDict("Constant", {"value": _F, "exp": int, "words": int})
SlotFigures = TypedDict("SlotFigures", {"index": int, "amp": _F, "phase": _F, "omega": _F,
                                        "base": _F, "exp": int, "flags": int})
Fold = TypedDict("Fold", {"before": int, "after": int})
Progress = TypedDict("Progress", {"step": int, "var": _F, "consensus": int})
# A "[CONSENSUS] Domain locked" line: the sweep that printed it, and its figures.
Lock = TypedDict("Lock", {"stage": Stage, "sweep": int, "run_sweep": int, "t": _F, "var": _F,
                          "evo": int})


class Summary(TypedDict):
    """The replay's summary: the value behind every figure of the report."""
    seed: int
    version: str
    math: str
    sincos: str
    boot: Boot
    checkpoints: Checkpoints
    constants: Dict[str, Constant]
    slots: List[SlotFigures]
    fold: Fold
    progress: List[Progress]
    lock_sweep: Optional[int]
    lock_stage: Optional[Stage]
    lock_run_sweep: Optional[int]
    consensus: List[Lock]
    final_phase_var: _F
    wall_s: float


# An ensemble table's columns and their kinds: "int64" (the seed, never empty), "int" (pandas
# Int64, NA when empty), "float" (float64, NaN), "str" (string, NA), "stage" (a category).
ENSEMBLE_COLUMNS: Tuple[Tuple[str, str], ...] = (
    ("seed", "int64"), ("error", "str"), ("version", "str"), ("math", "str"), ("sincos", "str"),
    ("boot.instances", "int"), ("boot.slots", "int"), ("boot.steps", "int"),
    ("boot.omega", "float"), ("boot.time", "float"), ("boot.phase_var", "float"),
    ("checkpoints.total", "int"),
    *((f"constants.{c}.{k}", kind) for c in ("phi", "pi")
      for k, kind in (("value", "float"), ("exp", "int"), ("words", "int"))),
    ("fold.before", "int"), ("fold.after", "int"),
    ("lock_sweep", "int"), ("lock_stage", "stage"), ("lock_run_sweep", "int"),
    ("final_phase_var", "float"), ("wall_s", "float"))


def _fail(source: str, line: int, what: str) -> ValueError:
    return ValueError(f"{source}:{line}: {what}")


def read_text(path: PathLike) -> str:
    """A file's UTF-8 text, line ends as written."""
    with open(path, encoding="utf-8", newline="") as file:
        return file.read()


def parse_trace(text: str, source: str = "trace") -> List[TraceRow]:
    """The rows of a trace's CSV text; a ValueError naming `source` and the line for a file
    that does not read (docs/analysis.md lists how)."""
    lines = text.removesuffix("\n").split("\n")
    if lines[0] != TRACE_HEADER:
        raise _fail(source, 1, f"the header is {lines[0]!r}, not {TRACE_HEADER!r}")
    expected = [(stage, sweep) for stage in STAGES for sweep in range(STAGE_SWEEPS[stage])]
    if len(lines) - 1 > len(expected):
        raise _fail(source, len(expected) + 2, f"more than {len(expected)} sweeps")
    rows: List[TraceRow] = []
    for number, line in enumerate(lines[1:], start=2):
        fields = line.split(",")
        if len(fields) != len(TRACE_COLUMNS):
            raise _fail(source, number, f"{len(fields)} fields, not {len(TRACE_COLUMNS)}: "
                        f"{line!r}")
        try:
            row = cast(TraceRow, {name: int(f) if name in _INTEGERS else f if name == "stage"
                                  else float(f) for name, f in zip(TRACE_COLUMNS, fields)})
        except ValueError as error:
            raise _fail(source, number, f"{error}: {line!r}") from None
        stage, sweep = expected[number - 2]
        if (row["stage"], row["sweep"], row["run_sweep"]) != (stage, sweep, number - 2):
            raise _fail(source, number, f"expected {stage} sweep {sweep} (run sweep "
                        f"{number - 2}): {line!r}")
        rows.append(row)
    if len(rows) < len(expected):
        raise _fail(source, len(lines) + 1, f"the trace ends after {len(rows)} of "
                    f"{len(expected)} sweeps")
    return rows


def trace_array(text: str, source: str = "trace") -> "numpy.typing.NDArray[numpy.void]":
    """The trace as a numpy structured array with one field per column (needs numpy)."""
    np = require("numpy", "the trace as an array")
    rows = [tuple(row.values()) for row in parse_trace(text, source)]
    array: numpy.typing.NDArray[numpy.void] = np.array(rows, dtype=_DTYPE)
    return array


def trace_frame(text: str, source: str = "trace") -> pandas.DataFrame:
    """The trace as a DataFrame indexed by (`stage`, `sweep`), `stage` a category (needs pandas)."""
    pd = require("pandas", "the trace as a DataFrame")
    return _frame(pd, parse_trace(text, source), _TRACE_KINDS, ["stage", "sweep"])


def read_trace(path: PathLike) -> "numpy.typing.NDArray[numpy.void]":
    """Reads a trace CSV file into a numpy structured array of TRACE_COLUMNS (needs numpy)."""
    return trace_array(read_text(path), os.fspath(path))


def parse_summary(text: str, source: str = "summary") -> Summary:
    """A summary's JSON text; ValueError unless it is one JSON object with an integer seed."""
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"{source}: not JSON: {error}") from None
    if not isinstance(value, dict):
        raise ValueError(f"{source}: a JSON {type(value).__name__}, not an object")
    seed = value.get("seed")
    if not isinstance(seed, int) or isinstance(seed, bool):
        raise ValueError(f"{source}: no integer seed (\"seed\": {json.dumps(seed)})")
    return cast(Summary, value)


def read_summary(path: PathLike) -> Summary:
    """Reads a summary JSON file (standard library only)."""
    with open(path, encoding="utf-8") as file:
        return parse_summary(file.read(), os.fspath(path))


def _flatten(summary: Mapping[str, Any], prefix: str = "") -> Row:
    flat: Row = {}
    for key, value in summary.items():
        if isinstance(value, Mapping):
            flat.update(_flatten(value, prefix + key + "."))
        elif isinstance(value, (int, float, str)) or value is None:
            flat[prefix + key] = value
    return flat


def table_row(seed: int, summary: Optional[Summary] = None, error: Optional[str] = None) -> Row:
    """One seed's ensemble row: ENSEMBLE_COLUMNS in order, then any other scalar of the
    summary (its lists left out); None where there is no value."""
    flat = _flatten(cast(Mapping[str, Any], summary or {}))
    row: Row = {name: flat.pop(name, None) for name, _ in ENSEMBLE_COLUMNS}
    row.update(seed=seed, error=error, **flat)
    return row


def _pandas_dtype(pd: Any, kind: str) -> Any:
    return {"int": "Int64", "float": "float64", "str": "string", "int64": "int64",
            "stage": pd.CategoricalDtype(list(STAGES))}.get(kind, object)


def _frame(pd: Any, rows: Sequence[Mapping[str, object]], kinds: Mapping[str, str],
           index: Any) -> pandas.DataFrame:
    """`rows` as a DataFrame: the columns of `kinds`, each of its kind, then any others."""
    names = dict.fromkeys([*kinds, *(name for row in rows for name in row)])
    data = {name: pd.Series([row.get(name) for row in rows],
                            dtype=_pandas_dtype(pd, kinds.get(name, "")))
            for name in names}
    table: pandas.DataFrame = pd.DataFrame(data).set_index(index)
    return table


def frame(rows: List[Row]) -> pandas.DataFrame:
    """Ensemble rows as a DataFrame indexed by `seed`, each column of its fixed type."""
    pd = require("pandas", "the ensemble as a DataFrame")
    return _frame(pd, rows, dict(ENSEMBLE_COLUMNS), "seed")


def read_ensemble(path: PathLike) -> pandas.DataFrame:
    """Reads a table that `python3 -m lumivane ensemble --out` (or DataFrame.to_csv) wrote,
    with the column types of frame() and every double exactly as written (needs pandas);
    ValueError for a file that is not such a table."""
    pd = require("pandas", "lumivane.read_ensemble()")
    source = os.fspath(path)
    with open(path, encoding="utf-8", newline="") as file:
        header: List[str] = next(csv.reader(file), [])
    if "seed" not in header:
        raise _fail(source, 1, f"not an ensemble table: no seed column in {','.join(header)!r}")
    dtypes = {name: _pandas_dtype(pd, kind) for name, kind in ENSEMBLE_COLUMNS
              if name in header}
    # float_precision: pandas' default parser may miss a double's last bit; an empty cell
    # alone is a missing value, so that a text such as "NA" stays itself.
    table: pandas.DataFrame = pd.read_csv(
        path, dtype=dtypes, float_precision="round_trip", keep_default_na=False,
        na_values=[""]).set_index("seed")
    return table


def write_csv(rows: List[Row], out: IO[str]) -> None:
    """Writes table rows as CSV: doubles as their shortest exact text, None as empty."""
    names = list(dict.fromkeys(name for row in rows for name in row)) or ["seed", "error"]
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(names)
    for row in rows:
        writer.writerow(["" if row.get(n) is None else repr(row[n])
                         if isinstance(row[n], float) else row[n] for n in names])


def _temporary_beside(target: str) -> Tuple[int, str]:
    """A new file beside `target` (`NAME.PID.XXXXXX.part`), open for writing: made with
    O_EXCL and mode 0666, so that the kernel applies the umask in force now."""
    directory, name = os.path.split(target)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    while True:
        temporary = os.path.join(directory, f"{name}.{os.getpid()}.{secrets.token_hex(3)}.part")
        try:
            return os.open(temporary, flags, 0o666), temporary
        except FileExistsError:
            continue


def output_path(path: PathLike, what: str = "output") -> str:
    """The file a write of `path` replaces, checked as it would be written (following a
    symbolic link): ValueError in one line for an empty path, a directory, anything but a
    regular file, or a directory where no new file can be made."""
    text = os.fspath(path)
    if not text:
        raise ValueError(f"{what}: an empty path names no file")
    target = os.path.realpath(text)
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as error:
        raise ValueError(f"cannot write {text}: {error.strerror}") from None
    if mode is not None and stat.S_ISDIR(mode):
        raise ValueError(f"cannot write {text}: it is a directory")
    if mode is not None and not stat.S_ISREG(mode):
        raise ValueError(f"cannot write {text}: it is not a regular file")
    try:
        fd, temporary = _temporary_beside(target)
    except OSError as error:
        raise ValueError(f"cannot write {text}: {error.strerror}") from None
    os.close(fd)
    os.unlink(temporary)
    return target


def _identity(path: PathLike) -> Tuple[int, int, str]:
    """What a write of `path` replaces, whatever its spelling: the device and inode of the
    file its symbolic links end at, or for a file not made yet (a dangling link's target
    too) its directory's device and inode and its name."""
    target = os.path.realpath(path)
    with contextlib.suppress(OSError):
        found = os.stat(target)
        return found.st_dev, found.st_ino, ""
    directory, name = os.path.split(target)
    try:
        found = os.stat(directory or os.curdir)
    except OSError:
        return 0, 0, target
    return found.st_dev, found.st_ino, name


def same_file(a: PathLike, b: PathLike) -> bool:
    """Whether two output paths name one file: by any spelling (`./x`, `d/../x`), a hard
    link or a symbolic link, including a link to a file not made yet."""
    return _identity(a) == _identity(b)


@contextlib.contextmanager
def replacing(path: PathLike) -> Iterator[IO[bytes]]:
    """A file to write `path` through: a temporary file beside it, renamed to `path` when
    the block ends normally and removed when it raises, so that `path` is always whole."""
    target = os.path.realpath(path)
    fd, temporary = _temporary_beside(target)
    try:
        with os.fdopen(fd, "wb") as file:
            yield file
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
