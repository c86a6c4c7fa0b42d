"""Many runs at once, one table row per seed: each a replay process (38 MB) started and
waited for by a pool of threads here, or by a task on the Dask worker that takes it."""
from __future__ import annotations

import concurrent.futures
import contextlib
import operator
import os
import subprocess
import sys
import threading
from typing import IO, TYPE_CHECKING, Any, Iterable, List, Optional, Set

from . import _table
from ._deps import available, require
from ._owners import MathMode, check_math
from ._run import check_seed, end, replay_program, start, state_options, summary_row
from ._state import Fields, Selection
from ._table import PathLike, Row

if TYPE_CHECKING:
    from ._typing import pandas

RUN_MEMORY = 48 * 2 ** 20  # what one run claims at its peak (38 MB), with some room


# A cgroup's memory limit and use: v2's files, then v1's (whose "no limit" is a huge number).
_CGROUP_FILES = (("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory.current"),
                 ("/sys/fs/cgroup/memory/memory.limit_in_bytes",
                  "/sys/fs/cgroup/memory/memory.usage_in_bytes"))


def _available_memory() -> Optional[int]:
    """Bytes this process may still claim: MemAvailable, within a cgroup's limit if any."""
    found: List[int] = []
    with contextlib.suppress(OSError, ValueError, IndexError):
        with open("/proc/meminfo", encoding="ascii") as file:
            found += [int(line.split()[1]) * 1024 for line in file
                      if line.startswith("MemAvailable:")]
    for limit_file, usage_file in _CGROUP_FILES:
        with contextlib.suppress(OSError, ValueError):
            with open(limit_file, encoding="ascii") as file:
                limit = file.read().strip()
            with open(usage_file, encoding="ascii") as file:
                current = int(file.read())
            if limit != "max":
                found.append(max(0, int(limit) - current))
            break
    if not found:
        with contextlib.suppress(OSError, ValueError):
            found.append(os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"))
    return min(found) if found else None


def default_workers(runs: Optional[int] = None) -> int:
    """How many runs to make at once here: one per core, as far as the memory available now
    allows at RUN_MEMORY a run; at least one, and at most `runs` when it is given."""
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:
        cores = os.cpu_count() or 1
    memory = _available_memory()
    count = min(cores, memory // RUN_MEMORY) if memory is not None else cores
    return max(1, count if runs is None else min(count, runs))


def _in_notebook() -> bool:
    """Whether this is a Jupyter (IPython) kernel, whose standard error is no terminal."""
    shell = getattr(sys.modules.get("IPython"), "get_ipython", lambda: None)()
    return shell is not None and "IPKernelApp" in getattr(shell, "config", {})


class _Progress:
    """A progress bar on standard error, when it is a terminal or in a notebook: tqdm's
    (tqdm.auto: a widget in a notebook), or a plain one."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total, self.done, self.failed = total, 0, 0
        self.out: IO[str] = sys.stderr
        self.enabled = enabled and total > 0 and self.out is not None and (
            self.out.isatty() or _in_notebook())
        self.tqdm: Any = None
        if self.enabled and available("tqdm"):
            tqdm = require("tqdm.auto", "the progress bar")
            self.tqdm = tqdm.tqdm(total=total, unit="run", desc="lumivane", file=self.out)
        elif self.enabled:
            self._draw()

    def update(self, row: Row) -> None:
        """Counts one finished row, failed when its `error` is not empty."""
        self.done += 1
        self.failed += bool(row.get("error"))
        if self.tqdm is not None:
            if self.failed:
                self.tqdm.set_postfix(failed=self.failed, refresh=False)
            self.tqdm.update(1)
        elif self.enabled:
            self._draw()

    def _draw(self) -> None:
        width = 30
        filled = width * self.done // self.total
        failed = f", {self.failed} failed" if self.failed else ""
        self.out.write(f"\rlumivane [{'#' * filled}{'.' * (width - filled)}] "
                       f"{self.done}/{self.total} runs{failed}")
        self.out.flush()

    def close(self) -> None:
        """Ends the bar's line."""
        if self.tqdm is not None:
            self.tqdm.close()
        elif self.enabled:
            self.out.write("\n")
            self.out.flush()


class _Children:
    """The replay processes the local pool has started, so that an interrupt can end them."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.live: Set["subprocess.Popen[bytes]"] = set()
        self.stopped = False

    def start(self, command: List[str]) -> "subprocess.Popen[bytes]":
        """Starts a child unless the ensemble is stopping (then KeyboardInterrupt)."""
        with self.lock:
            if self.stopped:
                raise KeyboardInterrupt
            process = start(command)
            self.live.add(process)
            return process

    def row(self, seed: int, math: MathMode, program: str, record: Optional[str],
            options: List[str]) -> Row:
        """One seed's row from a child this object keeps track of."""
        try:
            return summary_row(seed, self.start, math, program, record, options)
        finally:
            with self.lock:
                self.live = {p for p in self.live if p.poll() is None}

    def stop(self) -> None:
        """Starts nothing more and ends every live child (SIGTERM, then SIGKILL)."""
        with self.lock:
            self.stopped = True
            live = list(self.live)
        for process in live:  # all of them at once, then each waited for
            process.terminate()
        for process in live:
            end(process)


def _local(seeds: List[int], workers: int, progress: _Progress, math: MathMode,
           program: str, record: Optional[str], options: List[str]) -> List[Row]:
    rows: List[Optional[Row]] = [None] * len(seeds)
    children = _Children()
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers,
                                                 thread_name_prefix="lumivane-run")
    try:
        futures = {pool.submit(children.row, seed, math, program, record, options): i
                   for i, seed in enumerate(seeds)}
        for future in concurrent.futures.as_completed(futures):
            row = future.result()
            rows[futures[future]] = row
            progress.update(row)
    except BaseException:
        children.stop()
        raise
    finally:
        # After stop() every thread returns at once: its child is dead and no other starts.
        pool.shutdown(wait=True, cancel_futures=True)
    return [row for row in rows if row is not None]


def _on_cluster(seeds: List[int], client: Any, progress: _Progress,
                math: MathMode, record: Optional[str], options: List[str]) -> List[Row]:
    distributed = require("distributed", "an ensemble on a Dask cluster")
    futures = client.map(summary_row, seeds, pure=False, math=math, record=record,
                         record_options=options)
    index = {future.key: i for i, future in enumerate(futures)}
    rows: List[Row] = [_table.table_row(seed, error="no result") for seed in seeds]
    try:
        for future in distributed.as_completed(futures):
            i = index[future.key]
            try:
                rows[i] = future.result()
            except Exception as error:  # a lost worker or task: that seed's error alone
                rows[i] = _table.table_row(seeds[i], error=f"{type(error).__name__}: {error}")
            progress.update(rows[i])
    except BaseException:
        client.cancel(futures)
        raise
    return rows


def _check_workers(workers: object) -> int:
    """`workers` as a count of runs at once: an integer from 1 (TypeError, ValueError)."""
    if isinstance(workers, bool) or not hasattr(workers, "__index__"):
        raise TypeError(f"workers is an integer, not {workers!r}")
    count = operator.index(workers)
    if count < 1:
        raise ValueError(f"workers must be at least 1, not {count}")
    return count


def check_seeds(seeds: Iterable[int]) -> List[int]:
    """The seeds as a list of replay seeds, each once (ValueError for one given twice)."""
    wanted = [check_seed(seed) for seed in seeds]
    seen: Set[int] = set()
    for seed in wanted:
        if seed in seen:
            raise ValueError(f"seed {seed} is given twice: an ensemble has one row per seed")
        seen.add(seed)
    return wanted


def record_pattern(record: Optional[PathLike]) -> Optional[str]:
    """An ensemble's record path: one file per seed, named by `{seed}` in the path
    (ValueError without it, or with any other replacement field)."""
    if record is None:
        return None
    pattern = os.fspath(record)
    try:
        distinct = pattern.format(seed=0) != pattern.format(seed=1)
    except (IndexError, KeyError, ValueError) as error:
        raise ValueError(f"record={pattern!r} may hold {{seed}} and nothing else in braces "
                         f"(double them for a brace itself): {error}") from None
    if not distinct:
        raise ValueError(f"record={pattern!r} names one file for every seed: put {{seed}} "
                         "in it, as in states/seed-{seed}.nc")
    return pattern


def ensemble_rows(seeds: Iterable[int], *, workers: Optional[int] = None, client: Any = None,
                  progress: bool = True, math: MathMode = "system",
                  record: Optional[PathLike] = None, record_fields: Fields = None,
                  record_sweeps: Selection = None, record_cells: Selection = None) -> List[Row]:
    """ensemble()'s table as a list of dicts, one per seed (standard library only), None
    where there is no value (the `error` of a seed that ran)."""
    wanted = check_seeds(seeds)
    math = check_math(math)
    pattern = record_pattern(record)
    options = state_options(pattern, record_fields, record_sweeps, record_cells)[2:]
    if client is not None and workers is not None:
        raise ValueError("workers is for local runs: a Dask cluster's workers are its own")
    count = _check_workers(workers) if workers is not None else None
    # A local ensemble finds its program once, before any run; a cluster's workers each
    # find their own.
    program = replay_program() if client is None and wanted else ""
    bar = _Progress(len(wanted), progress)
    try:
        if client is not None:
            found = _on_cluster(wanted, client, bar, math, pattern, options)
        elif wanted:
            found = _local(wanted, count or default_workers(len(wanted)), bar, math, program,
                           pattern, options)
        else:
            found = []
    finally:
        bar.close()
    return found


def ensemble(seeds: Iterable[int], *, workers: Optional[int] = None, client: Any = None,
             progress: bool = True, math: MathMode = "system",
             record: Optional[PathLike] = None, record_fields: Fields = None,
             record_sweeps: Selection = None, record_cells: Selection = None
             ) -> pandas.DataFrame:
    """Runs the fixed program once per seed: a DataFrame indexed by `seed` (needs pandas;
    ensemble_rows() needs none). The runs are local, `workers` at a time, or tasks on a
    dask.distributed `client`; `math` is run()'s (docs/analysis.md). `record`, a path with
    `{seed}` in it, keeps each seed's state in a file of its own, chosen by the record_*
    options as for run(); read_states() reads them back along `seed`."""
    require("pandas", "lumivane.ensemble() (ensemble_rows() gives plain rows)")
    return _table.frame(ensemble_rows(seeds, workers=workers, client=client, progress=progress,
                                       math=math, record=record, record_fields=record_fields,
                                       record_sweeps=record_sweeps, record_cells=record_cells))
