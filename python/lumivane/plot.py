"""Plots of a run and of an ensemble (needs matplotlib 3.6 or later, and numpy), each on a
Figure of its own (no pyplot, no window) or on the Axes given as `ax=` (one, or a pair)."""
from __future__ import annotations

import math
import os
from typing import (TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple,
                    Union)

from . import _table, records as _records
from ._deps import require
from ._table import PathLike

if TYPE_CHECKING:
    from ._run import Run

Axes = Any  # matplotlib.axes.Axes: matplotlib 3.6 carries no type hints
Figure = Any  # matplotlib.figure.Figure

NOMINAL_STEP = _records.NOMINAL_STEP  # 2^-15
_VAR = "#1f5fa8"
_STEP = "#2a7f3f"
_CHECKPOINT = "#7a7a7a"
_FOLD = "#b5651d"
_LOCK = "#c0392b"
_NEVER = "#9a9a9a"


def check_path(path: PathLike) -> str:
    """The format a plot saved to `path` is written in, named by its extension (no extension:
    PNG); ValueError when matplotlib writes no such format (needs matplotlib)."""
    backend = require("matplotlib.backend_bases", "lumivane.plot")
    kind = os.path.splitext(os.fspath(path))[1][1:].lower() or "png"
    formats = backend.FigureCanvasBase.get_supported_filetypes()
    if kind not in formats:
        raise ValueError(f"cannot plot to {os.fspath(path)}: matplotlib writes "
                         f"{', '.join('.' + k for k in sorted(formats))}, not .{kind}")
    return kind


def _is_axes(value: Any) -> bool:
    return hasattr(value, "plot") and hasattr(value, "figure")


def _axes(ax: Union[Axes, Sequence[Axes], None], width: float, height: float,
          vertical: bool, ratios: List[float]) -> Tuple[Axes, Optional[Axes], bool]:
    """The main Axes, the second one (None for a single Axes given) and whether the Figure
    is the plot's own: `ax`, or those of a new Figure with its own Agg canvas (no pyplot,
    nothing global changes)."""
    if ax is not None:
        if _is_axes(ax):
            return ax, None, False
        given = list(ax.flat) if hasattr(ax, "flat") else list(ax)
        if len(given) != 2 or not all(map(_is_axes, given)):
            raise ValueError(f"ax is one matplotlib Axes or a pair of them, not {len(given)} "
                             "objects" if len(given) != 2 else
                             "ax is one matplotlib Axes or a pair of them")
        return given[0], given[1], False
    figure_module = require("matplotlib.figure", "lumivane.plot")
    agg = require("matplotlib.backends.backend_agg", "lumivane.plot")
    figure = figure_module.Figure(figsize=(width, height), dpi=100, layout="constrained")
    agg.FigureCanvasAgg(figure)
    if vertical:
        pair = figure.subplots(2, 1, sharex=True, height_ratios=ratios)
    else:
        pair = figure.subplots(1, 2, width_ratios=ratios)
    return pair[0], pair[1], True


def _present(*axes: Optional[Axes]) -> List[Axes]:
    return [a for a in axes if a is not None]


def _save(figure: Figure, path: Optional[PathLike]) -> Figure:
    """Saves the figure, when a path is given, in the format its extension names."""
    if path is not None:
        kind = check_path(path)
        with _table.replacing(path) as file:
            figure.savefig(file, format=kind)
    return figure


def _spans_decade(values: Any) -> bool:
    """Whether positive values span more than a decade: a log axis shows them better."""
    return len(values) > 0 and float(values.min()) > 0 and \
        float(values.max()) > 10 * float(values.min())


def _log_ticks(axis: Any, low: float, high: float) -> None:
    """Readable tick labels on a log axis whose data spans less than thirty times: 1, 2 and 5
    of each decade."""
    ticker = require("matplotlib.ticker", "lumivane.plot")
    if high <= low * 30:
        axis.set_major_locator(ticker.LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
        axis.set_major_formatter(ticker.FuncFormatter(lambda value, _: f"{value:.6g}"))
        axis.set_minor_formatter(ticker.NullFormatter())


def run(run: "Run", path: Optional[PathLike] = None, *,
        ax: Union[Axes, Sequence[Axes], None] = None) -> Figure:
    """Plots one run: the RMS phase spread over all sweeps and, beneath, the adaptive step;
    `ax` is one Axes (the spread alone) or a pair (top and bottom), whose titles are left
    as they are. Saves to `path` when given and answers the Figure."""
    require("matplotlib", "lumivane.plot")
    np = require("numpy", "lumivane.plot")
    if path is not None:
        check_path(path)
    trace = run.trace
    summary = run.summary
    x = np.arange(len(trace))
    boot = int(np.count_nonzero(trace["stage"] == "boot"))
    spread = trace["phase_var"]
    lock_at = summary.get("lock_run_sweep")

    top, bottom, own = _axes(ax, 11, 6.8, True, [3, 1.3])
    figure = top.figure
    for axes in _present(top, bottom):
        axes.axvspan(-0.5, boot - 0.5, color="#eef2f7", zorder=0)
        axes.axvline(boot - 0.5, color=_FOLD, linestyle="--", linewidth=1.4)
        axes.grid(True, which="major", color="#dddddd", linewidth=0.7)
        axes.set_xlim(-0.5, len(trace) - 0.5)

    top.plot(x, spread, color=_VAR, linewidth=1.6, label="RMS phase spread")
    positive = spread[spread > 0]
    if len(positive) == len(spread) and _spans_decade(positive):
        top.set_yscale("log")
        _log_ticks(top.yaxis, float(positive.min()), float(positive.max()))
    snapshots = summary.get("checkpoints", {}).get("snapshots", []) or []
    if snapshots:
        evo = [s["evo"] for s in snapshots]
        top.plot(evo, [s["var"] for s in snapshots], linestyle="none", marker="o",
                 markersize=7, markerfacecolor="white", markeredgecolor=_CHECKPOINT,
                 markeredgewidth=1.8, label="checkpoints (sweeps " + ", ".join(map(str, evo))
                 + ")")
    fold = summary.get("fold", {})
    fold_text = (f"fold {fold['before']} \u2192 {fold['after']} instances"
                 if "before" in fold and "after" in fold else "fold")
    top.plot([], [], color=_FOLD, linestyle="--", label=fold_text)
    if lock_at is not None:
        at = int(lock_at)
        where = f"sweep {at} ({summary.get('lock_stage')} sweep {summary.get('lock_sweep')})"
        top.axvline(at, color=_LOCK, linewidth=1.6)
        top.plot([at], [spread[at]], marker="v", markersize=10, color=_LOCK, linestyle="none",
                 label=f"consensus locked at {where}")
        if bottom is not None:
            bottom.axvline(at, color=_LOCK, linewidth=1.4)
    else:
        top.plot([], [], linestyle="none", label="consensus never locked")
    for middle, stage in ((boot / 2, "boot"),
                          (boot + (len(trace) - boot) / 2, "extended evolution")):
        top.text(middle, 1.01, stage, transform=top.get_xaxis_transform(), ha="center",
                 va="bottom", fontsize=11, color="#445566")
    top.set_ylabel("RMS phase spread (rad)", fontsize=11)
    top.legend(loc="lower left", fontsize=10, framealpha=0.9)
    sweeps = (f"sweep of the run (0\u2013{boot - 1} boot, {boot}\u2013{len(trace) - 1} after "
              "the fold)")
    if own:
        title = f"lumivane run, seed {run.seed}: " + (
            f"consensus locked at sweep {int(lock_at)}" if lock_at is not None
            else "consensus never locked")
        final = summary.get("final_phase_var")
        if isinstance(final, (int, float)):
            title += f"; final RMS phase spread {final:.6g} rad"
        figure.suptitle(title, fontsize=13)
    if bottom is None:
        top.set_xlabel(sweeps, fontsize=11)
        return _save(figure, path)

    step = trace["dt_end"]
    bottom.plot(x, step, color=_STEP, linewidth=1.3, label="step at the end of the sweep")
    bottom.axhline(NOMINAL_STEP, color="#555555", linestyle=":", linewidth=1.2,
                   label="nominal step 2\u207b\u00b9\u2075")
    if _spans_decade(step):
        bottom.set_yscale("log")
    bottom.set_ylabel("step (time units)", fontsize=11)
    bottom.set_xlabel(sweeps, fontsize=11)
    bottom.legend(loc="upper right", fontsize=9, framealpha=0.9)
    if bottom.get_yscale() == "linear":
        bottom.ticklabel_format(axis="y", style="sci", scilimits=(-3, 3))
    return _save(figure, path)


def _rows(table: Any) -> List[Dict[str, Any]]:
    """An ensemble's rows as dicts, from a DataFrame (indexed by seed or not, as
    ensemble() made it or as pd.read_csv read it back) or any iterable of mappings;
    every missing value (None, NaN, pandas' NA, an empty string) as None."""
    if hasattr(table, "to_dict"):
        if "seed" not in table.columns and table.index.name == "seed":
            table = table.reset_index()
        table = table.astype(object).where(table.notna(), None)
        records: List[Dict[str, Any]] = table.to_dict("records")
    else:
        source: Iterable[Mapping[str, Any]] = table
        records = [dict(row) for row in source]
    return [{k: None if _missing(v) else v for k, v in row.items()} for row in records]


def _missing(value: Any) -> bool:
    return value is None or value == "" or (isinstance(value, float) and math.isnan(value))


STRIP_SEEDS = 24  # up to this many seeds, each one is a point of its own (a strip plot)


def ensemble(table: Any, path: Optional[PathLike] = None, *,
             ax: Union[Axes, Sequence[Axes], None] = None) -> Figure:
    """Plots an ensemble (what ensemble() or ensemble_rows() answers, or pd.read_csv of its
    file): the sweep at which consensus locked and, beside it, the final RMS phase spread,
    a point per seed for up to STRIP_SEEDS seeds and histograms past that; `ax` is one Axes
    (the lock sweeps alone) or a pair (left and right), whose titles are left as they are.
    Saves to `path` when given and answers the Figure."""
    require("matplotlib", "lumivane.plot")
    np = require("numpy", "lumivane.plot")
    if path is not None:
        check_path(path)
    rows = _rows(table)
    good = [row for row in rows if row.get("error") is None]
    failed = len(rows) - len(good)
    locks = [row.get("lock_run_sweep") for row in good]
    never = locks.count(None)
    finals = [row.get("final_phase_var") for row in good]
    strip = len(good) <= STRIP_SEEDS

    left, right, own = _axes(ax, 12, 5.2 if not strip else max(3.6, 1.6 + 0.3 * len(good)),
                             False, [1.25, 1])
    figure = left.figure
    boot = _table.STAGE_SWEEPS["boot"]
    never_at = 1620
    left.axvspan(0, boot, color="#eef2f7", zorder=0, label="boot")
    if strip:
        # One row per seed, in the table's order from the top, in both panels.
        y = np.arange(len(good))[::-1]
        labels = [str(row.get("seed")) for row in good]
        at = [never_at if lock is None else float(lock) for lock in locks]
        locked = [i for i, lock in enumerate(locks) if lock is not None]
        left.plot([at[i] for i in locked], y[locked], linestyle="none", marker="o",
                  markersize=8, color=_LOCK, label="locked")
        unlocked = [i for i, lock in enumerate(locks) if lock is None]
        left.plot([never_at] * len(unlocked), y[unlocked], linestyle="none", marker="x",
                  markersize=9, markeredgewidth=2, color=_NEVER, label="never locked")
        for axes in _present(left, right):
            axes.set_yticks(y, labels)
            axes.set_ylim(-0.7, len(good) - 0.3)
            axes.set_ylabel("seed", fontsize=11)
            axes.grid(True, axis="x", color="#dddddd")
    else:
        edges = np.linspace(0, 1500, 31)
        sweeps = [float(lock) for lock in locks if lock is not None]
        left.hist(sweeps, bins=edges, color=_LOCK, edgecolor="white", label="locked")
        left.bar([never_at], [never], width=100, color=_NEVER, edgecolor="white",
                 label="never locked")
        left.text(never_at, never, f"{never}\n({100.0 * never / len(good):.0f}%)",
                  ha="center", va="bottom", fontsize=10)
        counts = np.histogram(sweeps, bins=edges)[0]
        left.set_ylim(0, max([never, *counts.tolist(), 1]) * 1.22)
        left.set_ylabel("seeds", fontsize=11)
        left.yaxis.get_major_locator().set_params(integer=True)
        left.grid(True, axis="y", color="#dddddd")
    left.set_xticks([0, 250, 500, 750, 1000, 1250, 1500, never_at],
                    ["0", "250", "500", "750", "1000", "1250", "1500", "never"])
    left.set_xlim(-20, 1690)
    left.set_xlabel("sweep of the run in which consensus locked (0\u2013499 boot)",
                    fontsize=11)
    left.legend(loc="upper left", fontsize=10)

    if right is not None:
        values = np.array([np.nan if v is None else float(v) for v in finals], dtype=float)
        known = values[~np.isnan(values)]
        log = len(known) == len(values) and _spans_decade(known)
        if log:
            right.set_xscale("log")
        if strip:
            right.plot(values, y, linestyle="none", marker="o", markersize=8, color=_VAR)
        else:
            count = max(5, min(30, int(math.sqrt(len(known)))))
            bins: Union[List[float], int] = count
            if log:
                bins = list(np.geomspace(float(known.min()), float(known.max()), count + 1))
            heights = right.hist(known, bins=bins, color=_VAR, edgecolor="white")[0]
            right.set_ylim(0, max([*list(heights), 1]) * 1.12)
            right.set_ylabel("seeds", fontsize=11)
            right.yaxis.get_major_locator().set_params(integer=True)
            right.grid(True, axis="y", color="#dddddd")
        if len(known):
            median = float(np.median(known))
            right.axvline(median, color="#555555", linestyle=":", linewidth=1.2,
                          label=f"median {median:.4g} rad")
            right.legend(loc="upper right", fontsize=10)
        right.set_xlabel("RMS phase spread after the last sweep (rad)", fontsize=11)
    if own:
        share = f"{never} of {len(good)} never locked" if good else "no run finished"
        note = f", {failed} failed and left out" if failed else ""
        figure.suptitle(f"lumivane ensemble of {len(rows)} seeds: {share}{note}", fontsize=13)
    return _save(figure, path)


FOLD_AFTER = _table.STAGE_SWEEPS["boot"]  # the fold comes between run sweeps 499 and 500
_NOT_DECLARED = "#d0d0d0"


def _edges(values: Any) -> Any:
    """The cell edges of evenly spaced centres, or None when they are not evenly spaced."""
    np = require("numpy", "lumivane.plot")
    values = np.asarray(values, dtype=float)
    if len(values) < 2:
        return np.array([values[0] - 0.5, values[0] + 0.5]) if len(values) else None
    steps = np.diff(values)
    if not np.all(steps == steps[0]):
        return None
    return np.array([values[0] - steps[0] / 2, values[-1] + steps[0] / 2])


def phase_field(state: Any, path: Optional[PathLike] = None, *,
                ax: Union[Axes, Sequence[Axes], None] = None) -> Figure:
    """Draws a recorded run's phase field (needs xarray for a path): cells across and run
    sweeps down, each cell's phase mod 2\u03c0 in the cyclic `twilight` map (grey where the
    cell was not declared), the fold marked, and beside it the order parameter
    r = |mean over the cells of exp(i\u03b8)| of each sweep. `state` is read_state()'s Dataset,
    or one seed of read_states()'s, or the path of a record; it must hold `phase`. `ax` is
    one Axes (the field alone) or a pair (field, r). Saves to `path` when given and answers
    the Figure."""
    require("matplotlib", "lumivane.plot")
    np = require("numpy", "lumivane.plot")
    if path is not None:
        check_path(path)
    if isinstance(state, (str, os.PathLike)):
        from ._state import read_state
        state = read_state(state)
    if "phase" not in getattr(state, "data_vars", ()):
        raise ValueError("the state holds no phase: record it (record_fields with phase)")
    phase = state["phase"]
    if "seed" in phase.dims:
        if phase.sizes["seed"] != 1:
            raise ValueError("the state holds several seeds: draw one, state.sel(seed=SEED)")
        phase = phase.isel(seed=0)
    if sorted(phase.dims) != ["cell", "sweep"]:
        raise ValueError(f"the phase lies along {', '.join(map(str, phase.dims))}, not sweep "
                         "and cell")
    phase = phase.transpose("sweep", "cell")
    theta = np.asarray(phase.values, dtype=float)
    sweeps = np.asarray(phase["sweep"].values)
    cells = np.asarray(phase["cell"].values)
    declared = ~np.isnan(theta)
    counts = declared.sum(axis=1)
    sums = np.where(declared, np.exp(1j * np.where(declared, theta, 0.0)), 0).sum(axis=1)
    r = np.full(len(sweeps), np.nan)
    r[counts > 0] = np.abs(sums[counts > 0]) / counts[counts > 0]

    left, right, own = _axes(ax, 12, 7.5, False, [5, 1])
    figure = left.figure
    image_data = np.ma.masked_invalid(np.mod(theta, 2 * math.pi))
    across, down = _edges(cells), _edges(sweeps)
    left.set_facecolor(_NOT_DECLARED)
    if across is not None and down is not None:
        image = left.imshow(image_data, cmap="twilight", vmin=0, vmax=2 * math.pi,
                            aspect="auto", interpolation="nearest", origin="upper",
                            extent=(across[0], across[1], down[1], down[0]))
    else:  # uneven spacing: a mesh, slower to draw
        image = left.pcolormesh(cells, sweeps, image_data, cmap="twilight", vmin=0,
                                vmax=2 * math.pi, shading="nearest", rasterized=True)
        left.set_ylim(float(sweeps.max()) + 0.5, float(sweeps.min()) - 0.5)
    left.set_xlabel("cell (slot index)", fontsize=11)
    left.set_ylabel("sweep of the run", fontsize=11)
    fold = len(sweeps) > 0 and sweeps.min() < FOLD_AFTER <= sweeps.max()
    if fold:
        for axes in _present(left, right):
            axes.axhline(FOLD_AFTER - 0.5, color=_FOLD, linestyle="--", linewidth=1.4)
        left.text(1.0, FOLD_AFTER - 0.5, " fold ", transform=left.get_yaxis_transform(),
                  ha="right", va="bottom", fontsize=10, color=_FOLD,
                  bbox={"facecolor": "white", "edgecolor": "none", "alpha": 0.8, "pad": 1})
    if right is not None:
        right.plot(r, sweeps, color=_VAR, linewidth=1.4)
        right.set_ylim(left.get_ylim())
        # r runs from 0 (phases spread evenly) to 1 (all alike); a field far from order
        # is drawn at its own scale, which the ticks give.
        peak = float(np.nanmax(r)) if counts.any() else 1.0
        right.set_xlim(0, 1.02 if peak > 0.5 or peak <= 0 else peak * 1.3)
        right.ticklabel_format(axis="x", style="sci", scilimits=(-2, 3))
        right.set_xlabel("r = |\u27e8e$^{i\u03b8}$\u27e9|", fontsize=11)
        right.tick_params(labelleft=False)
        right.grid(True, color="#dddddd")
    if own:
        bar = figure.colorbar(image, ax=left, location="bottom", shrink=0.5, aspect=40,
                              ticks=[0, math.pi / 2, math.pi, 3 * math.pi / 2, 2 * math.pi])
        bar.ax.set_xticklabels(["0", "\u03c0/2", "\u03c0", "3\u03c0/2", "2\u03c0"])
        bar.set_label("phase \u03b8 mod 2\u03c0 (rad); grey: cell not declared yet",
                      fontsize=10)
        seed = getattr(state, "attrs", {}).get("seed")
        math_mode = getattr(state, "attrs", {}).get("math")
        title = "lumivane phase field" + (f", seed {seed}" if seed is not None else "")
        if math_mode is not None:
            title += f" (math={math_mode})"
        figure.suptitle(title, fontsize=13)
    return _save(figure, path)
