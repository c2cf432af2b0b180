"""Inputs at the limits, each beside a peer on the same files in one run: a far-away atom (the
robust engine and TMalign), interpreter exits with a native call in a daemon thread, gzip
bombs (our reading and gemmi's), memory over thousands of mmCIF reads (ours and gemmi's
alone; meant for PyPy), Ctrl-C during one alignment of long chains, the memory and time of
one alignment of long chains (beside TMalign), and a file of many one-residue chains (ours
and gemmi's). Every input is made in a scratch folder.

    python bench/bench_limits.py [--only far,exit,bomb,reads,ctrl-c,long,chains]
                                 [--long 20000] [--reads 5000] [--chains 100000]
"""
import argparse
import gzip
import pathlib
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from common import ROOT, table

SECTIONS = ("far", "exit", "bomb", "reads", "ctrl-c", "long", "chains")
PEER_WAIT = 60  # seconds a peer may take on one input before it is stopped


def walk(n, seed):
    """n C-alpha positions a few hundred A across: a random walk of 3.8 A steps."""
    steps = np.random.default_rng(seed).normal(size=(n, 3))
    steps *= 3.8 / np.linalg.norm(steps, axis=1)[:, None]
    xyz = np.cumsum(steps, axis=0)
    return xyz - xyz.mean(axis=0)


def write_pdb(path, xyz, x_text=None):
    """C-alpha records of xyz; x_text replaces the x field of the record it maps to."""
    x_text = x_text or {}
    path.write_text("".join(
        f"ATOM  {k % 100000:>5}  CA  ALA A{k % 10000:>4}    "
        f"{x_text.get(k, f'{x:8.3f}'):>8}{y:8.3f}{z:8.3f}  1.00 20.00           C\n"
        for k, (x, y, z) in enumerate(xyz, start=1)))
    return path


PEAK = ("\nimport resource as _r, sys as _s\n"
        "print('PEAK', _r.getrusage(_r.RUSAGE_SELF).ru_maxrss, file=_s.stderr)\n")


def run(code, timeout=3600):
    """A child interpreter running `code`: (seconds, peak RSS in MB, stdout, stderr, status);
    one that runs past the timeout is stopped and says so."""
    start = time.perf_counter()
    try:
        proc = subprocess.run([sys.executable, "-c", code + PEAK], capture_output=True,
                              text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return timeout, 0, f"did not return: stopped after {timeout} s", "", None
    elapsed = time.perf_counter() - start
    lines = proc.stderr.strip().splitlines()
    peak = int(lines.pop().split()[1]) / 1024 if lines and lines[-1].startswith("PEAK") else 0
    return elapsed, peak, proc.stdout.strip(), "\n".join(lines), proc.returncode


def run_command(args, timeout=3600):
    """(seconds, completed process), or (None, None) when it ran past the timeout."""
    start = time.perf_counter()
    try:
        proc = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, None
    return time.perf_counter() - start, proc


def first_line(text):
    return (text.splitlines() or [""])[-1][:70]


def far(work):
    rows = []
    tmalign = shutil.which("TMalign")
    near = write_pdb(work / "near.pdb", walk(60, 1))
    for far_x in ("9999.000", " 99999.0", "  1.0e06", "  1.0e10"):
        path = write_pdb(work / "far.pdb", walk(60, 1), {31: far_x})
        t, _, out, err, _ = run("import keldascope\n"
                                "try:\n"
                                f"    r = keldascope.align({str(near)!r}, {str(path)!r})\n"
                                "    print('TM-score', round(r.tm_score_a, 3))\n"
                                "except ValueError as e:\n"
                                "    print(e)\n", timeout=PEER_WAIT * 5)
        peer = "-"
        if tmalign:
            tp, _ = run_command([tmalign, str(near), str(path)], timeout=PEER_WAIT)
            peer = f"{tp:.2f} s" if tp is not None else f"stopped after {PEER_WAIT} s"
        rows.append([far_x.strip(), f"{t:.2f} s", first_line((out or err).split(": ", 1)[-1]),
                     peer])
    print(table(rows, ["atom 31 at x", "ours (with start-up)", "our outcome", "TMalign"]))


def exits(work, runs=10):
    rows = []
    pdb = ROOT / "tests" / "data" / "pdb" / "1tii.pdb"
    calls = {"align": "keldascope.align(d, d)",
             "search": "keldascope.search(s, [s] * 400, threads=2)"}
    for name, call in calls.items():
        code = ("import threading, numpy as np, malven, keldascope\n"
                f"s = keldascope.read_structure({str(pdb)!r})\n"
                "t = np.arange(1500) * 1.745\n"
                "xyz = np.column_stack([2.3 * np.cos(t), 2.3 * np.sin(t), 1.5 * np.arange(1500)])\n"
                "d = malven.Domain.from_arrays('h', xyz, 'A' * 1500)\n"
                f"threading.Thread(target=lambda: {call}, daemon=True).start()\n")
        results = [run(code, timeout=120) for _ in range(runs)]
        clean = sum(r[4] == 0 and not r[3] for r in results)
        rows.append([name, f"{clean}/{runs}", f"{statistics.median(r[0] for r in results):.2f} s",
                     ", ".join(sorted({str(r[4]) for r in results}))])
    print(table(rows, ["daemon thread runs", "clean exits", "median run", "statuses"]))


def bomb(work, inflated):
    rows = []
    for name, head, filler in (("bomb.pdb.gz", b"HEADER    BOMB\n", b"REMARK 999\n"),
                               ("bomb.cif.gz", b"data_b\nloop_\n_atom_site.id\n", b"# none\n")):
        path = work / name
        block = filler * ((1 << 20) // len(filler))
        with gzip.open(path, "wb", compresslevel=9) as out:
            out.write(head)
            for _ in range(inflated // len(block)):
                out.write(block)
        ours = run("from keldascope import read_structure\n"
                   "try:\n"
                   f"    read_structure({str(path)!r})\n"
                   "except ValueError as e:\n"
                   "    print(e)\n", timeout=1200)
        # gemmi holds the whole text, and more: it runs in 4 GiB of address space at most.
        peer = run("import gemmi, resource\n"
                   "resource.setrlimit(resource.RLIMIT_AS, (4 << 30, resource.RLIM_INFINITY))\n"
                   "try:\n"
                   f"    gemmi.read_structure({str(path)!r})\n"
                   "except Exception as e:\n"
                   "    print(type(e).__name__, e)\n", timeout=1200)
        rows.append([name, f"{path.stat().st_size / 1e6:.1f} MB", f"{inflated / (1 << 30):g} GiB",
                     f"{ours[0]:.1f} s", f"{ours[1]:.0f} MB", first_line(ours[2].split(": ", 1)[-1]),
                     f"{peer[0]:.1f} s", f"{peer[1]:.0f} MB", first_line(peer[2] or peer[3])])
    print(table(rows, ["file", "compressed", "inflates to", "ours", "our peak RSS",
                       "our message", "gemmi", "gemmi peak RSS", "gemmi's outcome"]))


def reads(work, n):
    import gemmi
    st = gemmi.read_structure(str(ROOT / "tests" / "data" / "pdb" / "5eep.pdb"))
    st.setup_entities()
    cif = work / "5eep.cif"
    st.make_mmcif_document().write_file(str(cif))
    loop = ("import gc, sys, time\n"
            "import gemmi\n"
            "from keldascope import read_structure\n"
            "def rss():\n"
            "    gc.collect()\n"
            "    return next(int(l.split()[1]) for l in open('/proc/self/status')\n"
            "                if l.startswith('VmRSS:')) // 1024\n"
            "marks, start = [], time.perf_counter()\n"
            f"for k in range({n} + 1):\n"
            "    {read}\n"
            f"    if k % {max(n // 5, 1)} == 0:\n"
            "        marks.append(f'{rss()}')\n"
            "print(' '.join(marks), round(time.perf_counter() - start, 1))\n")
    rows = []
    for label, read in (("read_structure", f"read_structure({str(cif)!r})"),
                        ("gemmi.read_structure", f"gemmi.read_structure({str(cif)!r})")):
        _, peak, out, err, _ = run(loop.replace("{read}", read))
        marks, seconds = out.rsplit(" ", 1) if out else (err[-60:], "-")
        rows.append([label, marks, f"{seconds} s", f"{peak:.0f} MB"])
    print(f"{sys.implementation.name}, {n} reads of a {st[0].count_atom_sites()}-atom mmCIF file")
    print(table(rows, ["reading", f"RSS MB at every {max(n // 5, 1)} reads", "time", "peak"]))


def ctrl_c(work, n=8000, delays=(0.5, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0)):
    path = write_pdb(work / "long.pdb", walk(n, 8000))
    code = ("import keldascope\n"
            f"d = keldascope.read_structure({str(path)!r})\n"
            "print('ready', flush=True)\n"
            "try:\n"
            "    for _ in range(5):\n"
            "        keldascope.align(d, d)\n"
            "except KeyboardInterrupt:\n"
            "    print('interrupted', flush=True)\n")
    rows = []
    for delay in delays:
        # Started from a shell's background, this process and its children inherit Ctrl-C
        # ignored; the child is to meet it as a terminal's foreground job does.
        proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True,
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(delay)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=600)
        rows.append([f"{delay:.1f} s", f"{time.monotonic() - sent:.2f} s", out.strip()])
    print(f"Ctrl-C during alignments of two {n}-residue chains")
    print(table(rows, ["Ctrl-C after", "answered in", "outcome"]))


def long_chains(work, n):
    a, b = write_pdb(work / "a.pdb", walk(n, 1)), write_pdb(work / "b.pdb", walk(n, 2))
    t, peak, out, err, status = run(
        "import time, resource, keldascope\n"
        f"s1, s2 = keldascope.read_structure({str(a)!r}), keldascope.read_structure({str(b)!r})\n"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "start, cpu = time.perf_counter(), time.process_time()\n"
        "r = keldascope.align(s1, s2)\n"
        "print(round(time.perf_counter() - start, 1), round(time.process_time() - cpu, 1),\n"
        "      resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, before)\n")
    if status != 0:
        print(first_line(err))
        return
    wall, cpu, after, before = out.split()
    per_pair = (int(after) - int(before)) * 1024 / (n * n)
    rows = [["ours", f"{wall} s", f"{cpu} s", f"{int(after) / 1024:.0f} MB", f"{per_pair:.2f}"]]
    tmalign = shutil.which("TMalign")
    if tmalign and n <= 10000:
        tp, proc = run_command(["/usr/bin/time", "-f", "%M", tmalign, str(a), str(b)])
        if proc is not None:
            rss = int(proc.stderr.strip().splitlines()[-1])
            rows.append(["TMalign", f"{tp:.1f} s", "-", f"{rss / 1024:.0f} MB",
                         f"{rss * 1024 / (n * n):.2f}"])
    print(f"One alignment of two {n}-residue chains")
    print(table(rows, ["aligner", "wall", "CPU", "peak RSS", "bytes per residue pair"]))


def chains(work, n):
    items = ("group_PDB", "id", "type_symbol", "label_atom_id", "label_alt_id", "label_comp_id",
             "label_asym_id", "label_entity_id", "label_seq_id", "pdbx_PDB_ins_code", "Cartn_x",
             "Cartn_y", "Cartn_z", "occupancy", "B_iso_or_equiv", "auth_seq_id",
             "auth_asym_id", "pdbx_PDB_model_num")
    path = work / "many.cif"
    path.write_text("data_x\nloop_\n" + "".join(f"_atom_site.{i}\n" for i in items) + "".join(
        f"ATOM {k} C CA . ALA C{k:06d} 1 1 ? {k % 1000}.0 1.0 2.0 1 20.0 1 C{k:06d} 1\n"
        for k in range(n)))
    ours = run("import time\nfrom keldascope import read_structure\n"
               "start = time.perf_counter()\n"
               f"s = read_structure({str(path)!r})\n"
               "print(round(time.perf_counter() - start, 2), len(s.chains))\n")
    peer = run("import time, gemmi\nstart = time.perf_counter()\n"
               f"st = gemmi.read_structure({str(path)!r}, merge_chain_parts=False)\n"
               "print(round(time.perf_counter() - start, 2), len(st[0]))\n")
    (t_ours, n_ours), (t_peer, _) = ours[2].split(), peer[2].split()
    print(table([[f"{n}", n_ours, f"{t_ours} s", f"{t_peer} s",
                  f"{float(t_ours) / float(t_peer):.1f}x"]],
                ["chains of one residue", "listed", "read_structure", "gemmi alone",
                 "ours/gemmi"]))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--only", default=",".join(SECTIONS))
    ap.add_argument("--long", type=int, default=20000, help="residues of each long chain")
    ap.add_argument("--reads", type=int, default=5000)
    ap.add_argument("--chains", type=int, default=100000)
    ap.add_argument("--bomb", type=float, default=4.0, help="GiB a gzip bomb inflates to")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-limits-") as scratch:
        work = pathlib.Path(scratch)
        for section in args.only.split(","):
            print(f"\n== {section}", flush=True)
            {"far": lambda: far(work), "exit": lambda: exits(work), "bomb": lambda: bomb(work, int(args.bomb * (1 << 30))),
             "reads": lambda: reads(work, args.reads), "ctrl-c": lambda: ctrl_c(work),
             "long": lambda: long_chains(work, args.long),
             "chains": lambda: chains(work, args.chains)}[section]()
            sys.stdout.flush()


if __name__ == "__main__":
    main()
