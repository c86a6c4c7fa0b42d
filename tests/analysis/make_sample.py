"""make_sample.py: writes the small run the analysis tests read, sample_trace.csv and
sample_summary.json, in the replay program's formats.

    python3 make_sample.py OUTDIR

The figures are made up (smooth curves, no simulation) but keep a real run's
shape and its internal agreements: 500 boot sweeps then 1000 extended ones, a
phase variance that falls until consensus locks at extended sweep 612, an
adaptive step near 2^-15, checkpoints every 100 boot sweeps, progress lines
every 100 extended sweeps, and summary figures equal to the trace's rows.
"""
import json
import math
import os
import sys

NOMINAL = 2.0 ** -15
LOCK = 612


def main(out):
    rows, time, dt = [], 0.0, NOMINAL
    consensus, locked_at = 0, None
    for stage, count in (("boot", 500), ("extended", 1000)):
        for sweep in range(count):
            start = dt
            dt = NOMINAL * (1.0 + 0.35 * math.sin(sweep / 37.0) * math.exp(-sweep / 400.0))
            time += dt
            if stage == "boot":
                var = 1.809329 + 1e-5 * math.sin(sweep / 11.0)
                omega = 6e-6 * (1 + sweep / 500.0)
            else:
                var = 1.8093 * math.exp(-sweep / 80.0) + 2e-6 * (1 + math.sin(sweep / 7.0))
                omega = 1.2e-5 + 1e-8 * sweep
                if var < 1e-3:
                    consensus += 1
                if locked_at is None and consensus >= 1 and sweep >= LOCK:
                    locked_at = sweep
            locked = 0 if stage == "boot" or locked_at is None else min(16384, 64 * (sweep - locked_at + 1))
            rows.append((stage, sweep, len(rows), start, dt, time, omega, var,
                         consensus if stage == "extended" else 0, locked))
    with open(os.path.join(out, "sample_trace.csv"), "w", encoding="utf-8", newline="") as f:
        f.write("stage,sweep,run_sweep,dt_start,dt_end,time,omega,phase_var,consensus_steps,locked\n")
        for r in rows:
            f.write("%s,%d,%d,%.17g,%.17g,%.17g,%.17g,%.17g,%d,%d\n" % r)
    boot, extended = rows[499], rows[500:]
    summary = {
        "seed": 2026, "version": "2.6.0",
        "boot": {"instances": 4096, "slots": 16384, "steps": 500, "omega": boot[6],
                 "time": boot[5], "phase_var": boot[7]},
        "checkpoints": {"total": 4, "snapshots": [
            {"evo": e, "weight": 0.95 ** ((400 - e) / 100), "var": rows[e][7]}
            for e in (100, 200, 300, 400)]},
        "constants": {"phi": {"value": (1 + 5 ** 0.5) / 2, "exp": 1, "words": 64},
                      "pi": {"value": math.pi, "exp": 2, "words": 64}},
        "slots": [{"index": k, "amp": 0.1 * k, "phase": 0.7 * k, "omega": 1.0 + 0.05 * k,
                   "base": 1.62, "exp": -k, "flags": 0} for k in range(1, 9)],
        "fold": {"before": 4096, "after": 8192},
        "progress": [{"step": s, "var": extended[s][7], "consensus": extended[s][8]}
                     for s in range(0, 1000, 100)],
        "lock_sweep": LOCK, "lock_stage": "extended", "lock_run_sweep": 500 + LOCK,
        "consensus": [{"stage": "extended", "sweep": LOCK, "run_sweep": 500 + LOCK,
                       "t": extended[LOCK - 1][5], "var": extended[LOCK][7],
                       "evo": int(32768 * extended[LOCK - 1][5])}],
        "final_phase_var": extended[-1][7],
        "wall_s": 28.5,
    }
    with open(os.path.join(out, "sample_summary.json"), "w", encoding="utf-8") as f:
        json.dump(summary, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__)))
