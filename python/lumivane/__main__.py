"""python3 -m lumivane: one run, or an ensemble of runs. Status: 0 done; 1 a run failed, a
package is missing or a file cannot be written; 2 bad arguments, outputs among them (or the
replay refused them); 130 interrupted."""
from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
from typing import Any, Callable, List, NoReturn, Optional, Sequence, Set, Tuple

from . import __version__, _state, _table, plot
from ._deps import MissingDependency, require
from ._ensemble import ensemble_rows, record_pattern
from ._owners import MATH_MODES
from ._run import SEED_LIMIT, RunError, _scratch, run, state_options

MAX_SEEDS = 1_000_000  # a range longer than this is more likely a typing slip than a plan


def parse_seed(text: str) -> int:
    """A seed given on the command line: a decimal number in 0..2**32-1."""
    if not text.isdigit() or not text.isascii():
        raise argparse.ArgumentTypeError(f"a seed is a decimal number, not {text!r}")
    value = int(text)
    if value >= SEED_LIMIT:
        raise argparse.ArgumentTypeError(f"seed {value} is outside 0..{SEED_LIMIT - 1}")
    return value


def parse_seeds(text: str) -> List[int]:
    """SEEDS on the command line: seeds and ranges joined by commas, like `1,5,9` or `100-163`."""
    seeds: List[int] = []
    for part in text.split(","):
        first, dash, last = part.partition("-")
        if dash:
            low, high = parse_seed(first), parse_seed(last)
            if low > high:
                raise argparse.ArgumentTypeError(f"the range {part} runs backwards")
            if len(seeds) + high - low + 1 > MAX_SEEDS:
                raise argparse.ArgumentTypeError(f"more than {MAX_SEEDS} seeds")
            seeds.extend(range(low, high + 1))
        else:
            seeds.append(parse_seed(part))
    seen: Set[int] = set()
    for seed in seeds:
        if seed in seen:
            raise argparse.ArgumentTypeError(f"seed {seed} is given twice")
        seen.add(seed)
    return seeds


def _workers(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"workers is a whole number from 1, not {text!r}")
    return int(text)


def _record_arguments(parser: argparse.ArgumentParser, where: str) -> None:
    parser.add_argument("--record", metavar="PATH",
                        help=f"write the run's state (chosen cells after chosen sweeps) {where} "
                             "as netCDF (lumivane-replay --record)")
    parser.add_argument("--record-fields", metavar="LIST",
                        help="of " + ", ".join(_state.FIELDS) + ", joined by commas (default "
                             + ",".join(_state.DEFAULT_FIELDS) + ")")
    parser.add_argument("--record-sweeps", metavar="START:STOP[:STEP]",
                        help="run sweeps 0-1499, by Python's slice rules (default 0:1500:10)")
    parser.add_argument("--record-cells", metavar="START:STOP[:STEP]",
                        help="slots 0-32767, likewise (default: every one)")


class _Parser(argparse.ArgumentParser):
    """Refuses in one line, without the usage (`--help` shows it)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="python3 -m lumivane",
        description="Runs lumivane's fixed run for chosen seeds, as data and plots.")
    parser.add_argument("--version", action="version",
                        version=f"lumivane {__version__ or '(the source tree, no version)'}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    one = commands.add_parser(
        "run", help="one run: its report on standard output, its trace, summary and plot",
        description="Runs lumivane-replay SEED and prints its report. The trace (CSV), "
                    "summary (JSON) and plot (PNG, or any format matplotlib names by the "
                    "extension) go to the paths given; `-` for the trace or the summary sends "
                    "it to standard output and the report to standard error.")
    one.add_argument("seed", type=parse_seed, metavar="SEED", help="0..4294967295")
    one.add_argument("--trace", metavar="PATH", help="write the trace here")
    one.add_argument("--summary", metavar="PATH", help="write the summary here")
    one.add_argument("--plot", metavar="PATH", help="plot the run here (needs matplotlib)")
    _record_arguments(one, "to PATH")
    one.add_argument("--plot-field", metavar="PATH",
                     help="draw the recorded phase field here (needs xarray and matplotlib; "
                          "without --record, the record is made for it and removed)")
    one.add_argument("--math", choices=MATH_MODES, default="system",
                     help="the sweep's arithmetic: the maths library's (system, the default) "
                          "or correctly rounded (correct)")
    many = commands.add_parser(
        "ensemble", help="one run per seed: a table of their figures, and a plot",
        description="Runs every seed, on local processes or on a Dask cluster, and writes "
                    "one CSV row per seed (seed, error, the summary's figures).")
    many.add_argument("seeds", type=parse_seeds, metavar="SEEDS",
                      help="seeds and ranges joined by commas: 1,5,9 or 100-163")
    where = many.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_workers, metavar="N",
                       help="local runs at once (default: the cores, as far as memory allows "
                            "at 48 MiB a run)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a Dask scheduler, such as tcp://host:8786 (needs dask.distributed)")
    many.add_argument("--out", metavar="PATH.csv", help="the table (default: standard output)")
    many.add_argument("--plot", metavar="PATH.png", help="plot the ensemble here "
                                                         "(needs matplotlib)")
    many.add_argument("--no-progress", action="store_true", help="no progress bar")
    _record_arguments(many, "of each seed to PATH, which holds {seed}, as in "
                            "states/seed-{seed}.nc,")
    many.add_argument("--math", choices=MATH_MODES, default="system", help="as for run")
    return parser


def _outputs(arguments: argparse.Namespace) -> List[Tuple[str, str]]:
    """The command's output files as (option, path); standard output (`-`) is none."""
    names = (("trace", "summary", "plot", "record", "plot_field") if arguments.command == "run"
             else ("out", "plot"))
    given = [("--" + name.replace("_", "-"), getattr(arguments, name)) for name in names]
    return [(option, path) for option, path in given if path is not None and path != "-"]


def _check_outputs(arguments: argparse.Namespace) -> None:
    """Refuses (ValueError, one line) before any run: an output that cannot be written, a
    plot in a format matplotlib does not write, two outputs naming one file."""
    if arguments.command == "run" and arguments.trace == "-" and arguments.summary == "-":
        raise ValueError("--trace - and --summary - cannot share standard output")
    selection = (arguments.record_fields, arguments.record_sweeps, arguments.record_cells)
    if arguments.command == "run":
        recording = arguments.record or (_scratch(".nc") if arguments.plot_field else None)
        state_options(recording, *selection)
    else:
        pattern = record_pattern(arguments.record)
        state_options(pattern, *selection)
        if pattern is not None and arguments.seeds:  # its directory, by the first seed's file
            _table.output_path(pattern.format(seed=arguments.seeds[0]), "--record")
    outputs = _outputs(arguments)
    for option, path in outputs:
        _table.output_path(path, option)
        if option in ("--plot", "--plot-field"):
            plot.check_path(path)
    for i, (option, path) in enumerate(outputs):
        for other, other_path in outputs[i + 1:]:
            if _table.same_file(path, other_path):
                raise ValueError(f"{option} and {other} name the same file, {path}")


def _one(arguments: argparse.Namespace) -> int:
    # The summary for standard output is written to a file first, to be copied as written;
    # a phase field drawn without --record is drawn from a record made for it.
    summary = _scratch(".json") if arguments.summary == "-" else arguments.summary
    trace = None if arguments.trace == "-" else arguments.trace
    scratch_record = _scratch(".nc") if arguments.plot_field and not arguments.record else None
    try:
        result = run(arguments.seed, trace=trace, summary=summary, math=arguments.math,
                     record=arguments.record or scratch_record,
                     record_fields=arguments.record_fields,
                     record_sweeps=arguments.record_sweeps, record_cells=arguments.record_cells)
        data = (result.trace_text if arguments.trace == "-" else _table.read_text(summary)
                if arguments.summary == "-" else None)
        # Read while the record is there.
        state = result.state if arguments.plot_field is not None else None
    finally:
        for scratch in (summary if arguments.summary == "-" else None, scratch_record):
            if scratch is not None:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(scratch)
    report = result.report.encode("utf-8", "surrogateescape")
    if data is not None:  # the data alone on standard output
        sys.stderr.buffer.write(report)
        sys.stderr.flush()
        sys.stdout.buffer.write(data.encode("utf-8"))
    else:
        sys.stdout.buffer.write(report)
    sys.stdout.flush()
    drawings: List[Tuple[Optional[str], Callable[[str], Any]]] = [
        (arguments.plot, lambda where: plot.run(result, where)),
        (arguments.plot_field, lambda where: plot.phase_field(state, where))]
    for path, draw in drawings:
        if path is not None:
            try:
                draw(path)
            except OSError as error:
                print(f"lumivane: could not write {path}: {error}", file=sys.stderr)
                return 1
    return 0


def _many(arguments: argparse.Namespace) -> int:
    client = None
    if arguments.scheduler is not None:
        distributed = require("distributed", "--scheduler")
        client = distributed.Client(arguments.scheduler)
    try:
        found = ensemble_rows(arguments.seeds, workers=arguments.workers, client=client,
                              progress=not arguments.no_progress, math=arguments.math,
                              record=arguments.record, record_fields=arguments.record_fields,
                              record_sweeps=arguments.record_sweeps,
                              record_cells=arguments.record_cells)
    finally:
        if client is not None:
            client.close()
    text = io.StringIO()
    _table.write_csv(found, text)
    status = 0
    if arguments.out is not None:
        try:
            with _table.replacing(arguments.out) as file:
                file.write(text.getvalue().encode("utf-8"))
        except OSError as error:  # the runs are done: their table goes where it can
            print(f"lumivane: could not write {arguments.out} ({error}): the table follows "
                  "on standard output", file=sys.stderr)
            status = 1
    if arguments.out is None or status:
        sys.stdout.write(text.getvalue())
        sys.stdout.flush()
    if arguments.plot is not None:
        try:
            plot.ensemble(found, arguments.plot)
        except OSError as error:
            print(f"lumivane: could not write {arguments.plot}: {error}", file=sys.stderr)
            status = 1
    failed = [row for row in found if row.get("error")]
    if failed:
        print(f"lumivane: {len(failed)} of {len(found)} runs failed; seed {failed[0]['seed']}: "
              f"{failed[0]['error']}", file=sys.stderr)
        return 1
    return status


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The command line; answers the exit status."""
    arguments = _parser().parse_args(argv)
    try:
        if arguments.plot is not None:
            require("matplotlib", "--plot")
            require("numpy", "--plot")
        if getattr(arguments, "plot_field", None) is not None:
            _state.reader("--plot-field")
            require("matplotlib", "--plot-field")
            require("numpy", "--plot-field")
        try:
            _check_outputs(arguments)
        except ValueError as error:  # before any run: one line, status 2
            print(f"lumivane: {error}", file=sys.stderr)
            return 2
        return _one(arguments) if arguments.command == "run" else _many(arguments)
    except RunError as error:
        print(f"lumivane: {error}", file=sys.stderr)
        return 2 if error.status == 2 else 1  # 2: the replay refused what it was given
    except (MissingDependency, OSError, ValueError) as error:
        print(f"lumivane: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("lumivane: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
