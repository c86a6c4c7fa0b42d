"""Reading a run's trace (CSV) and summary (JSON), and writing ensemble tables.

The trace has one row per sweep: 500 of the boot, then 1000 of the extended
evolution, under the header TRACE_HEADER. Its doubles are written with 17
significant digits, so float() reads back the exact values. The summary is one
JSON object; flatten() turns its scalars into the dotted columns of an ensemble
table (`boot.omega`, `constants.phi.value`, `fold.after`), leaving out lists.
"""
from __future__ import annotations

import csv
import json
import os
from typing import IO, TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Tuple, Union

from ._deps import require

if TYPE_CHECKING:
    import numpy
    import numpy.typing

Scalar = Union[int, float, str, bool, None]
Row = Dict[str, Scalar]
PathLike = Union[str, "os.PathLike[str]"]

TRACE_COLUMNS: Tuple[str, ...] = ("phase", "sweep", "dt_start", "dt_end", "time", "omega",
                                  "phase_var", "consensus_steps", "locked")
TRACE_HEADER = ",".join(TRACE_COLUMNS)
TRACE_PHASES = ("boot", "extended")
_INTEGERS = frozenset({"sweep", "consensus_steps", "locked"})
# numpy's types for the columns: the phase as a short string, counts as 64-bit integers.
_DTYPE = [(name, "U8" if name == "phase" else "i8" if name in _INTEGERS else "f8")
          for name in TRACE_COLUMNS]

TraceRow = Tuple[str, int, float, float, float, float, float, int, int]


def parse_trace(text: str, source: str = "trace") -> List[TraceRow]:
    """The rows of a trace's CSV text as tuples of Python values, in TRACE_COLUMNS order.

    Raises ValueError naming `source` and the line for a wrong header, a row
    with another number of fields, an unknown phase or a value that does not
    read as its column's type.
    """
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    if not lines or lines[0] != TRACE_HEADER:
        first = lines[0] if lines else ""
        raise ValueError(f"{source}:1: the header is {first!r}, not {TRACE_HEADER!r}")
    rows: List[TraceRow] = []
    for number, line in enumerate(lines[1:], start=2):
        fields = line.split(",")
        if len(fields) != len(TRACE_COLUMNS):
            raise ValueError(f"{source}:{number}: {len(fields)} fields, "
                             f"not {len(TRACE_COLUMNS)}: {line!r}")
        if fields[0] not in TRACE_PHASES:
            raise ValueError(f"{source}:{number}: unknown phase {fields[0]!r}")
        try:
            rows.append((fields[0], int(fields[1]), float(fields[2]), float(fields[3]),
                         float(fields[4]), float(fields[5]), float(fields[6]), int(fields[7]),
                         int(fields[8])))
        except ValueError as error:
            raise ValueError(f"{source}:{number}: {error}: {line!r}") from None
    return rows


def trace_rows(text: str, source: str = "trace") -> List[Dict[str, Scalar]]:
    """The trace's rows as dicts keyed by the column names (standard library only)."""
    return [dict(zip(TRACE_COLUMNS, row)) for row in parse_trace(text, source)]


def trace_array(text: str, source: str = "trace") -> "numpy.typing.NDArray[numpy.void]":
    """The trace as a numpy structured array with one field per column (needs numpy)."""
    np = require("numpy", "the trace as an array")
    array: numpy.typing.NDArray[numpy.void] = np.array(parse_trace(text, source), dtype=_DTYPE)
    return array


def read_trace(path: PathLike) -> "numpy.typing.NDArray[numpy.void]":
    """Reads a trace CSV file into a numpy structured array (needs numpy).

    The fields are TRACE_COLUMNS: `phase` a string (`boot` or `extended`),
    `sweep`, `consensus_steps` and `locked` 64-bit integers, the rest doubles
    read back exactly.
    """
    with open(path, encoding="utf-8", newline="") as file:
        return trace_array(file.read(), os.fspath(path))


def parse_summary(text: str, source: str = "summary") -> Dict[str, Any]:
    """A summary's JSON text as a dict; ValueError unless it is one JSON object."""
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"{source}: not JSON: {error}") from None
    if not isinstance(value, dict):
        raise ValueError(f"{source}: a JSON {type(value).__name__}, not an object")
    return value


def read_summary(path: PathLike) -> Dict[str, Any]:
    """Reads a summary JSON file into a dict (standard library only)."""
    with open(path, encoding="utf-8") as file:
        return parse_summary(file.read(), os.fspath(path))


def flatten(summary: Mapping[str, Any], prefix: str = "") -> Row:
    """The summary's scalar figures under dotted names, in the summary's order.

    Nested objects give `outer.inner` names; lists (the snapshots, the slots,
    the progress lines) are left out.
    """
    flat: Row = {}
    for key, value in summary.items():
        name = prefix + key
        if isinstance(value, Mapping):
            flat.update(flatten(value, name + "."))
        elif isinstance(value, (int, float, str, bool)) or value is None:
            flat[name] = value
    return flat


def columns(rows: Iterable[Mapping[str, Any]], first: Iterable[str] = ()) -> List[str]:
    """The union of the rows' keys in the order first seen, starting with `first`."""
    seen = dict.fromkeys(first)
    for row in rows:
        seen.update(dict.fromkeys(row))
    return list(seen)


def write_csv(rows: List[Row], out: IO[str]) -> None:
    """Writes table rows as CSV: doubles as their shortest exact text, None as empty."""
    names = columns(rows)
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(names)
    for row in rows:
        writer.writerow(["" if row.get(n) is None else repr(row[n])
                         if isinstance(row[n], float) else row[n] for n in names])
