"""fake_replay.py: stands in for lumivane-replay where a test needs a run to fail, hang or
finish at once.

    fake_replay.py SEED [--trace PATH] [--summary PATH] [--math=MODE] [--parent PID]
                        [--record PATH [--record-*=VALUE...]]

--parent arms the parent-death signal as the program does;

FAKE_REPLAY_FAIL=SEED  that seed fails: a line on standard error, status 1;
FAKE_REPLAY_REAL=PATH  every other seed runs the real program at PATH, as a child;
FAKE_REPLAY_PIDS=DIR   every other seed writes DIR/<pid> and sleeps for a minute;
FAKE_REPLAY_RMDIR=DIR  DIR is removed (as if by someone else during the run);
otherwise              every other seed copies FAKE_REPLAY_SAMPLE/sample_*.{csv,json}
                       (the summary with its seed and the --math given), prints a
                       line and ends; --record writes the --record-* options it
                       was given, joined by spaces, to PATH.
"""
import ctypes
import json
import os
import shutil
import signal
import subprocess
import sys
import time


def die_with(parent):
    """SIGTERM when the parent ends, as the program's --parent asks for."""
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    ctypes.CDLL(None).prctl(1, int(signal.SIGTERM), 0, 0, 0)  # 1: PR_SET_PDEATHSIG
    if os.getppid() != parent:
        os.kill(os.getpid(), signal.SIGTERM)


def main(argv):
    if os.environ.get("FAKE_REPLAY_REAL") and argv[1] != os.environ.get("FAKE_REPLAY_FAIL"):
        # A wrapper that does not exec: the program's --parent is this one's parent.
        return subprocess.call([os.environ["FAKE_REPLAY_REAL"], *argv[1:]])
    if "--parent" in argv:
        at = argv.index("--parent")
        die_with(int(argv[at + 1]))
        argv = argv[:at] + argv[at + 2:]
    seed = argv[1]
    if seed == os.environ.get("FAKE_REPLAY_FAIL"):
        sys.stderr.write(f"fake_replay: seed {seed} fails on purpose\n")
        return 1
    if os.environ.get("FAKE_REPLAY_PIDS"):
        with open(os.path.join(os.environ["FAKE_REPLAY_PIDS"], str(os.getpid())), "w"):
            pass
        time.sleep(60)
        return 0
    if os.environ.get("FAKE_REPLAY_RMDIR"):
        shutil.rmtree(os.environ["FAKE_REPLAY_RMDIR"], ignore_errors=True)
    math = [a.partition("=")[2] for a in argv[2:] if a.startswith("--math=")]
    rest = [a for a in argv[2:] if not a.startswith("--math=")]
    if "--record" in rest:
        at = rest.index("--record")
        with open(rest[at + 1], "w", encoding="utf-8") as file:
            file.write(" ".join(a for a in rest if a.startswith("--record-")))
        rest = [a for a in rest[:at] + rest[at + 2:] if not a.startswith("--record-")]
    options = dict(zip(rest[::2], rest[1::2]))
    sample = os.environ["FAKE_REPLAY_SAMPLE"]
    if "--trace" in options:
        with open(os.path.join(sample, "sample_trace.csv"), encoding="utf-8") as file:
            text = file.read()
        with open(options["--trace"], "w", encoding="utf-8") as file:
            file.write(text)
    if "--summary" in options:
        with open(os.path.join(sample, "sample_summary.json"), encoding="utf-8") as file:
            summary = json.load(file)
        summary["seed"] = int(seed)
        if math:  # every one given (the program refuses a second); none, none
            summary["math"] = ",".join(math)
        with open(options["--summary"], "w", encoding="utf-8") as file:
            json.dump(summary, file)
    print(f"fake report for seed {seed}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
