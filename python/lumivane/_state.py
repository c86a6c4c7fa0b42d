"""The run's state as a field: the netCDF files that `lumivane-replay --record` writes, read as
xarray Datasets (needs xarray, and netCDF4 or scipy to read the files), and the record's
options as the replay takes them."""
from __future__ import annotations

import os
import re
from typing import Any, Iterable, List, Optional, Sequence, Union

from ._deps import MissingDependency, available, require
from ._table import PathLike

FIELDS = ("phase", "amplitude", "phase_vel", "omega", "amp_im", "flags")
DEFAULT_FIELDS = ("phase", "amplitude")
RUN_SWEEPS = 1500  # the trace's run_sweep: 0 to 1499
CELLS = 32768  # the slots a record may name: 0 to 32767 (declared after the fold)

Dataset = Any  # xarray.Dataset: named loosely, so that the package imports without xarray
Fields = Union[str, Sequence[str], None]
Selection = Union[str, slice, None]

_BOUND = re.compile(r"[+-]?[0-9]+")


def _slice_of(text: str, option: str, length: int) -> slice:
    """START:STOP[:STEP] as a slice, checked as the replay checks it: each part a whole number
    or nothing, a step other than zero, and at least one index picked of range(length)."""
    parts = text.split(":")
    if len(parts) not in (2, 3):
        raise ValueError(f"{option} {text!r} is not START:STOP[:STEP]")
    bounds: List[Optional[int]] = []
    for part in parts:
        if part and not _BOUND.fullmatch(part):
            raise ValueError(f"{option} {text!r} has {part!r} where a whole number or nothing "
                             "goes")
        bounds.append(int(part) if part else None)
    picked = slice(*bounds)
    if picked.step == 0:
        raise ValueError(f"{option} {text!r} has a step of zero")
    if not len(range(length)[picked]):
        raise ValueError(f"{option} {text!r} selects nothing of 0:{length}")
    return picked


def range_text(value: Selection, option: str, length: int) -> Optional[str]:
    """A selection as the replay's START:STOP[:STEP] (None: the default): a slice of whole
    numbers, or that text; ValueError or TypeError, naming `option`, for anything the replay
    would refuse."""
    if value is None:
        return None
    if isinstance(value, slice):
        for bound in (value.start, value.stop, value.step):
            if bound is not None and (isinstance(bound, bool) or not isinstance(bound, int)):
                raise TypeError(f"{option} is a slice of whole numbers, not {value!r}")
        bounds = (value.start, value.stop) + ((value.step,) if value.step is not None else ())
        text = ":".join("" if b is None else str(b) for b in bounds)
    elif isinstance(value, str):
        text = value
    else:
        raise TypeError(f"{option} is a slice or START:STOP[:STEP], not {value!r}")
    _slice_of(text, option, length)
    return text


def fields_text(value: Fields, option: str = "record_fields") -> Optional[str]:
    """The fields as the replay's comma-separated LIST (None: the default), from a list of
    names or that text; ValueError for an unknown field, an empty name or one given twice."""
    if value is None:
        return None
    names = value.split(",") if isinstance(value, str) else list(value)
    if not names:
        raise ValueError(f"{option} names no field (the fields are {', '.join(FIELDS)})")
    for i, name in enumerate(names):
        if not isinstance(name, str) or name not in FIELDS:
            raise ValueError(f"{option}: unknown field {name!r} (the fields are "
                             f"{', '.join(FIELDS)})")
        if name in names[:i]:
            raise ValueError(f"{option}: field {name!r} given twice")
    return ",".join(names)


def record_options(fields: Fields = None, sweeps: Selection = None,
                   cells: Selection = None) -> List[str]:
    """The replay's --record-* options for these selections (checked; none for a default)."""
    options: List[str] = []
    for option, text in (("--record-fields", fields_text(fields)),
                         ("--record-sweeps", range_text(sweeps, "record_sweeps", RUN_SWEEPS)),
                         ("--record-cells", range_text(cells, "record_cells", CELLS))):
        if text is not None:
            options.append(f"{option}={text}")
    return options


def reader(feature: str) -> Any:
    """xarray, for `feature`, with a backend that reads the records (MissingDependency)."""
    xarray = require("xarray", feature)
    # xarray reads the classic format through either of these.
    if not available("netCDF4") and not available("scipy"):
        raise MissingDependency("netCDF4", feature)
    return xarray


def read_state(path: PathLike) -> Dataset:
    """A record of `lumivane-replay --record` as an xarray Dataset, loaded into memory and the
    file closed: dimensions `sweep` and `cell` with those coordinates, `time` and `stage`
    along `sweep`, a float64 variable per recorded field (NaN where a cell was not declared
    after that sweep), the file's attributes with `seed` as an int (needs xarray, and netCDF4
    or scipy)."""
    xarray = reader("lumivane.read_state")
    state = xarray.load_dataset(os.fspath(path))
    if "seed" in state.attrs:
        state.attrs["seed"] = int(state.attrs["seed"])
    return state


def read_states(paths: Iterable[PathLike]) -> Dataset:
    """Records of several seeds (one file each, the same selection) as one Dataset along a
    new first dimension `seed`, whose coordinate is each file's seed; `time`, which depends
    on the seed, goes along (seed, sweep). Attributes that differ between the files (the
    seed) are dropped. Every file is loaded into memory: for more than memory holds, see
    xarray.open_mfdataset (docs/analysis.md)."""
    xarray = reader("lumivane.read_states")
    states = [read_state(path) for path in paths]
    if not states:
        raise ValueError("read_states() needs at least one file")
    seeds = [state.attrs.get("seed") for state in states]
    if None in seeds:
        raise ValueError("a record without a seed attribute cannot be placed along `seed`")
    if len(set(seeds)) != len(seeds):
        raise ValueError("two of the records are of the same seed")
    return xarray.concat(states, dim=xarray.DataArray(seeds, dims="seed", name="seed"),
                         coords="different", compat="equals", combine_attrs="drop_conflicts")
