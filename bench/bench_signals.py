"""Signals at the worst moments of a command: Ctrl-C (or SIGTERM) sent to the command's whole
process group, as a terminal sends it, at a random point of its first instants (while Python
loads the toolkit) or while a --jobs cluster starts; counts the runs that ended as documented
(one line on standard error, status 130 or 143) and shows the others. Inputs are copies of
tests/data in a scratch folder.

    python bench/bench_signals.py [--runs 30] [--only scan,allvsall,msa,jobs,term] [--seed 1]
                                  [--early 0.3] [-v]
"""
import argparse
import collections
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from common import ROOT, table

PDB = ROOT / "tests" / "data" / "pdb"
SECTIONS = ("scan", "allvsall", "msa", "jobs", "term")


def commands(work, window):
    """Each section: (command line, signal, window of delays in seconds, expected status)."""
    folder = work / "set"
    folder.mkdir()
    for k in range(24):
        shutil.copy(PDB / ("1tii.pdb" if k % 2 else "1hpv.pdb"), folder / f"c{k}.pdb")
    query = str(PDB / "1sp1.pdb")
    few = [str(PDB / f"{n}.pdb") for n in ("1tii", "1hpv", "3al1", "1ni7")]
    early = (0.0, window)
    return {
        "scan": (["scan", query, str(folder)], signal.SIGINT, early, 130),
        "allvsall": (["allvsall", str(folder), "--tsv", str(work / "p.tsv")], signal.SIGINT,
                     early, 130),
        "msa": (["msa", *few, "-o", str(work / "out")], signal.SIGINT, early, 130),
        "jobs": (["scan", query, str(folder), "--jobs", "2"], signal.SIGINT, (0.2, 2.5), 130),
        "term": (["allvsall", str(folder), "--tsv", str(work / "t.tsv")], signal.SIGTERM,
                 (0.0, 2.0), 143),
    }


def as_at_a_terminal():
    # A benchmark started in the background of a shell inherits Ctrl-C ignored, which the
    # command then keeps ignoring (as `nohup` asks): a terminal's foreground job has it set.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def one_run(args, signum, delay, cwd):
    """(status, stderr) of the command sent `signum` after `delay` seconds."""
    proc = subprocess.Popen([sys.executable, "-m", "keldascope.cli", *args], cwd=cwd,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            start_new_session=True, preexec_fn=as_at_a_terminal)
    time.sleep(delay)
    try:
        os.killpg(proc.pid, signum)
    except ProcessLookupError:  # already finished
        pass
    _, err = proc.communicate(timeout=300)
    return proc.returncode, err


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=30)
    ap.add_argument("--only", default=",".join(SECTIONS))
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--early", type=float, default=0.3,
                    help="the early window, in seconds (PyPy starts more slowly)")
    ap.add_argument("-v", "--verbose", action="store_true", help="list the runs that failed")
    args = ap.parse_args()
    rng = random.Random(args.seed)
    work = tempfile.mkdtemp(prefix="malven-signals-")
    try:
        from pathlib import Path
        sections = commands(Path(work), args.early)
        rows, odd = [], []
        for name in args.only.split(","):
            command, signum, (low, high), status = sections[name]
            outcomes = collections.Counter()
            for _ in range(args.runs):
                delay = rng.uniform(low, high)
                got, err = one_run(command, signum, delay, work)
                lines = err.strip().splitlines()
                clean = got == status and len(lines) == 1 and \
                    lines[0].endswith(("interrupted", "terminated"))
                # Before malven's first instruction the interpreter itself is starting (its
                # site imports, the .pth files of the environment): killed by the signal, or
                # a traceback that never reaches our code.
                starting = not clean and got != 0 and "keldascope" not in err and \
                    (got < 0 or "Traceback" in err)
                kind = "clean" if clean else "finished" if got == 0 else \
                    "starting" if starting else "other"
                outcomes[kind] += 1
                if kind in ("other", "starting"):
                    odd.append(f"{name} at {delay:.3f} s ({kind}): status {got}, "
                               f"{len(lines)} lines: {(lines or [''])[-1][:80]}")
            rows.append([name, signal.Signals(signum).name, f"{low:.1f}-{high:.1f} s",
                         args.runs, outcomes["clean"], outcomes["finished"],
                         outcomes["starting"], outcomes["other"]])
        print(f"Signals sent to the process group ({sys.implementation.name} "
              f"{sys.version.split()[0]})")
        print(table(rows, ["command", "signal", "sent after", "runs", "one line + status",
                           "finished first", "in Python's start-up", "other"]))
        if args.verbose:
            for line in odd:
                print("  " + line)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
