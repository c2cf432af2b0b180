"""Signals at the worst moments of a command: Ctrl-C (or SIGTERM) sent to the command's whole
process group, as a terminal sends it, at a random point of its first instants (while Python
loads the toolkit) or while a --jobs cluster starts; counts the runs that ended as documented
(one line on standard error, status 130 or 143) and shows the others. Inputs are copies of
tests/data in a scratch folder.

    python bench/bench_signals.py [--runs 30] [--only scan,allvsall,msa,jobs,term] [--seed 1]
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


def commands(work):
    """Each section: (command line, signal, window of delays in seconds, expected status)."""
    folder = work / "set"
    folder.mkdir()
    for k in range(24):
        shutil.copy(PDB / ("1tii.pdb" if k % 2 else "1hpv.pdb"), folder / f"c{k}.pdb")
    query = str(PDB / "1sp1.pdb")
    few = [str(PDB / f"{n}.pdb") for n in ("1tii", "1hpv", "3al1", "1ni7")]
    early = (0.0, 0.3)
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
    args = ap.parse_args()
    rng = random.Random(args.seed)
    work = tempfile.mkdtemp(prefix="malven-signals-")
    try:
        from pathlib import Path
        sections = commands(Path(work))
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
                finished = got == 0
                outcomes["one line, " + str(status) if clean else
                         "finished first (0)" if finished else "other"] += 1
                if not clean and not finished:
                    odd.append(f"{name} at {delay:.3f} s: status {got}, {len(lines)} lines: "
                               f"{(lines or [''])[-1][:90]}")
            rows.append([name, signal.Signals(signum).name, f"{low:.1f}-{high:.1f} s",
                         args.runs, outcomes[f"one line, {status}"],
                         outcomes["finished first (0)"], outcomes["other"]])
        print(f"Signals sent to the process group ({sys.implementation.name} "
              f"{sys.version.split()[0]})")
        print(table(rows, ["command", "signal", "sent after", "runs", "one line + status",
                           "finished first", "other"]))
        for line in odd:
            print("  " + line)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
