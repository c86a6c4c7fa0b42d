"""Plots of a run and of an ensemble (needs matplotlib 3.6 or later, and numpy), each on a
Figure of its own (no pyplot, no window) or on the two Axes given as `ax=`."""
from __future__ import annotations

import math
import os
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Union

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


def _axes(ax: Optional[Sequence[Axes]], width: float, height: float, vertical: bool,
          ratios: List[float]) -> Sequence[Axes]:
    """The two Axes to draw on: `ax`, or those of a new Figure with its own Agg canvas
    (no pyplot, nothing global changes)."""
    if ax is not None:
        if len(ax) != 2:
            raise ValueError(f"ax is a pair of matplotlib Axes, not {len(ax)}")
        return ax
    figure_module = require("matplotlib.figure", "lumivane.plot")
    agg = require("matplotlib.backends.backend_agg", "lumivane.plot")
    figure = figure_module.Figure(figsize=(width, height), dpi=100, layout="constrained")
    agg.FigureCanvasAgg(figure)
    if vertical:
        pair: Sequence[Axes] = figure.subplots(2, 1, sharex=True, height_ratios=ratios)
    else:
        pair = figure.subplots(1, 2, width_ratios=ratios)
    return pair


def _save(figure: Figure, path: Optional[PathLike]) -> Figure:
    """Saves the figure, when a path is given, in the format its extension names."""
    if path is not None:
        kind = os.path.splitext(os.fspath(path))[1][1:].lower() or "png"
        with _table.replacing(path) as file:
            figure.savefig(file, format=kind)
    return figure


def _log_ticks(axis: Any, low: float, high: float) -> None:
    """Readable tick labels on a log axis whose data spans less than a few decades: evenly
    spaced within a factor of three (nearly linear), 1, 2 and 5 of each decade within thirty."""
    ticker = require("matplotlib.ticker", "lumivane.plot")
    label = ticker.FuncFormatter(lambda value, _: f"{value:.6g}")
    if high <= low * 3:
        axis.set_major_locator(ticker.MaxNLocator(nbins=6))
        axis.set_minor_locator(ticker.NullLocator())
        axis.set_major_formatter(label)
    elif high <= low * 30:
        axis.set_major_locator(ticker.LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
        axis.set_major_formatter(label)
        axis.set_minor_formatter(ticker.NullFormatter())


def run(run: "Run", path: Optional[PathLike] = None, *,
        ax: Optional[Sequence[Axes]] = None) -> Figure:
    """Plots one run: the phase variance over all sweeps, the adaptive step beneath (`ax`:
    top and bottom); saves to `path` when given and answers the Figure."""
    require("matplotlib", "lumivane.plot")
    np = require("numpy", "lumivane.plot")
    trace = run.trace
    summary = run.summary
    x = np.arange(len(trace))
    boot = int(np.count_nonzero(trace["stage"] == "boot"))
    var = trace["phase_var"]
    lock, lock_at = summary.get("lock_sweep"), summary.get("lock_run_sweep")

    top, bottom = _axes(ax, 11, 6.8, True, [3, 1.3])
    figure = top.figure
    for axes in (top, bottom):
        axes.axvspan(-0.5, boot - 0.5, color="#eef2f7", zorder=0)
        axes.axvline(boot - 0.5, color=_FOLD, linestyle="--", linewidth=1.4)
        axes.grid(True, which="major", color="#dddddd", linewidth=0.7)
        axes.set_xlim(-0.5, len(trace) - 0.5)

    positive = var[var > 0]
    top.plot(x, var, color=_VAR, linewidth=1.6, label="phase variance")
    top.set_yscale("log")
    if len(positive):
        _log_ticks(top.yaxis, float(positive.min()), float(positive.max()))
    snapshots = summary.get("checkpoints", {}).get("snapshots", []) or []
    if snapshots:
        evo = [s["evo"] for s in snapshots]
        top.plot(evo, [s["var"] for s in snapshots], linestyle="none", marker="o",
                 markersize=7, markerfacecolor="white", markeredgecolor=_CHECKPOINT,
                 markeredgewidth=1.8, label="checkpoints (evo " + ", ".join(map(str, evo)) + ")")
    fold = summary.get("fold", {})
    fold_text = (f"fold {fold['before']} \u2192 {fold['after']} instances"
                 if "before" in fold and "after" in fold else "fold")
    top.plot([], [], color=_FOLD, linestyle="--", label=fold_text)
    where = f"{summary.get('lock_stage')} sweep {lock}"
    if lock_at is not None:
        at = int(lock_at)
        top.axvline(at, color=_LOCK, linewidth=1.6)
        top.plot([at], [var[at]], marker="v", markersize=10, color=_LOCK, linestyle="none",
                 label=f"consensus locked ({where})")
        bottom.axvline(at, color=_LOCK, linewidth=1.4)
    else:
        top.plot([], [], linestyle="none", label="consensus never locked")
    for middle, stage in ((boot / 2, "boot"),
                          (boot + (len(trace) - boot) / 2, "extended evolution")):
        top.text(middle, 1.01, stage, transform=top.get_xaxis_transform(), ha="center",
                 va="bottom", fontsize=11, color="#445566")
    top.set_ylabel("phase variance (log)", fontsize=11)
    top.legend(loc="lower left", fontsize=10, framealpha=0.9)
    title = f"lumivane run, seed {run.seed}: " + (
        f"locked at {where}" if lock_at is not None else "never locked")
    final = summary.get("final_phase_var")
    if isinstance(final, (int, float)):
        title += f", final phase variance {final:.6g}"
    figure.suptitle(title, fontsize=13)

    step = trace["dt_end"]
    bottom.plot(x, step, color=_STEP, linewidth=1.3, label="step at the end of the sweep")
    bottom.axhline(NOMINAL_STEP, color="#555555", linestyle=":", linewidth=1.2,
                   label="nominal step 2\u207b\u00b9\u2075")
    if len(step) and float(step.min()) > 0 and float(step.max()) > 10 * float(step.min()):
        bottom.set_yscale("log")
    bottom.set_ylabel("adaptive step", fontsize=11)
    bottom.set_xlabel(f"sweep (0\u2013{boot - 1} boot, {boot}\u2013{len(trace) - 1} after the "
                      "fold)", fontsize=11)
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


def ensemble(table: Any, path: Optional[PathLike] = None, *,
             ax: Optional[Sequence[Axes]] = None) -> Figure:
    """Plots an ensemble (what ensemble() or ensemble_rows() answers, or pd.read_csv of its
    file): when consensus locked and the final variance; saves to `path` when given."""
    require("matplotlib", "lumivane.plot")
    np = require("numpy", "lumivane.plot")
    rows = _rows(table)
    good = [row for row in rows if row.get("error") is None]
    failed = len(rows) - len(good)
    locks = [float(row["lock_run_sweep"]) for row in good
             if row.get("lock_run_sweep") is not None]
    never = len(good) - len(locks)
    finals = [float(row["final_phase_var"]) for row in good
              if row.get("final_phase_var") is not None]

    left, right = _axes(ax, 12, 5.2, False, [1.25, 1])
    figure = left.figure
    boot = _table.STAGE_SWEEPS["boot"]
    edges = np.linspace(0, 1500, 31)
    left.axvspan(0, boot, color="#eef2f7", zorder=0, label="boot")
    left.hist(locks, bins=edges, color=_LOCK, edgecolor="white", label="locked")
    left.bar([1620], [never], width=100, color=_NEVER, edgecolor="white", label="never locked")
    share = f"{never} of {len(good)} ({100.0 * never / len(good):.0f}%)" if good else "none"
    left.text(1620, never, f"{never}\n({100.0 * never / len(good):.0f}%)" if good else "",
              ha="center", va="bottom", fontsize=10)
    counts = np.histogram(locks, bins=edges)[0]
    left.set_ylim(0, max([never, *counts.tolist(), 1]) * 1.22)
    left.set_xticks([0, 250, 500, 750, 1000, 1250, 1500, 1620],
                    ["0", "250", "500", "750", "1000", "1250", "1500", "never"])
    left.set_xlim(-20, 1690)
    left.set_xlabel("sweep of the run in which consensus locked (0\u2013499 boot)", fontsize=11)
    left.set_title(f"When consensus locked (never: {share})", fontsize=12)
    left.legend(loc="upper left", fontsize=10)

    values = np.array(finals, dtype=float)
    positive = values[values > 0]
    log = len(positive) == len(values) and len(values) > 0 and \
        float(positive.max()) > 10 * float(positive.min())
    bins: Union[Sequence[float], int] = 20
    if log:
        bins = list(np.geomspace(float(positive.min()), float(positive.max()), 21))
        right.set_xscale("log")
    heights = right.hist(values, bins=bins, color=_VAR, edgecolor="white")[0]
    right.set_ylim(0, max([*list(heights), 1]) * 1.12)
    right.set_xlabel("phase variance after the last sweep" + (" (log)" if log else ""),
                     fontsize=11)
    if len(values):
        right.set_title(f"Final phase variance: median {float(np.median(values)):.4g}",
                        fontsize=12)
    for axes in (left, right):
        axes.set_ylabel("seeds", fontsize=11)
        axes.yaxis.get_major_locator().set_params(integer=True)
        axes.grid(True, axis="y", color="#dddddd")
    note = f", {failed} failed and left out" if failed else ""
    figure.suptitle(f"lumivane ensemble of {len(rows)} seeds{note}", fontsize=13)
    return _save(figure, path)

