"""Database-scan speed: one query against every chain of the bm5 set (200 unbound chains of
the docking benchmark, the largest diverse set of the shared data), loaded once as domains,
in each of the three modes of scan_database, beside TMalign over the same query and targets
in one run, all on one core. Prints targets per second and the ratio to TMalign.

    python bench/bench_scan.py [--query FILE] [--tmalign-targets N]
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import malven
from common import SHARED, manifest, table

MODES = [  # name, keyword arguments, speed-up over TMalign aimed at
    ("scan", dict(scan_mode=True), 5),
    ("full", dict(scan_mode=False), None),
    ("quick", dict(scan_mode=False, quick=True), 50),
]


def timed(fn, repeat):
    """Median wall and CPU seconds of fn() over `repeat` calls (the machine may be shared:
    CPU time is what the work itself costs)."""
    wall, cpu = [], []
    for _ in range(repeat):
        w, c = time.perf_counter(), time.process_time()
        fn()
        wall.append(time.perf_counter() - w)
        cpu.append(time.process_time() - c)
    return statistics.median(wall), statistics.median(cpu)


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--query", help="bm5 file name of the query (default: the median-length chain)")
    ap.add_argument("--tmalign-targets", type=int, default=20,
                    help="targets TMalign is timed on, spread evenly over the set")
    args = ap.parse_args()
    tmalign = shutil.which("TMalign")
    if not tmalign:
        sys.exit("TMalign is needed for this benchmark (Debian package tm-align)")
    rows = [r for r in manifest() if r["file"].startswith("bm5/")]
    if not rows:
        sys.exit(f"no bm5 structures under {SHARED}")
    # One core for everything, TMalign's processes included (they inherit the mask);
    # PyPy's os module has no affinity calls, and every run here is single-threaded anyway.
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})

    targets = [malven.Domain.from_pdb(str(SHARED / r["file"])) for r in rows]
    for d, r in zip(targets, rows):
        d.id = r["file"]
    by_length = sorted(targets, key=len)
    query = (next(d for d in targets if d.id == f"bm5/{args.query}") if args.query
             else by_length[len(by_length) // 2])
    lengths = [len(d) for d in targets]
    print(f"query {query.id} ({len(query)} residues) against {len(targets)} chains of "
          f"{min(lengths)} to {max(lengths)} residues (mean {sum(lengths) / len(lengths):.0f})")

    rates = {}
    for name, kwargs, _ in MODES:
        def run():
            return malven.scan_database(query, targets, max_hits=len(targets), **kwargs)
        wall, cpu = timed(run, 3 if name == "scan" else 15)
        rates[name] = (len(targets) / wall, len(targets) / cpu)
        top = run()[:3]
        print(f"{name:5s} top hits: " + ", ".join(f"{h.target_id} {h.score:.3f}" for h in top))

    # TMalign reads the same C-alpha traces, written once; its time includes starting the
    # process for every pair, as a scan with it would.
    step = max(1, len(targets) // args.tmalign_targets)
    subset = targets[::step][: args.tmalign_targets]
    with tempfile.TemporaryDirectory() as tmp:
        def path(d):
            return os.path.join(tmp, d.id.replace("/", "_"))
        for d in [query] + subset:
            d.to_pdb(path(d), full=False)
        wall, cpu = time.perf_counter(), children_cpu()
        for d in subset:
            subprocess.run([tmalign, path(query), path(d)], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
        tm = (len(subset) / (time.perf_counter() - wall), len(subset) / (children_cpu() - cpu))

    out = [("TMalign", len(subset), f"{tm[0]:.1f}", f"{tm[1]:.1f}", "1.0x", "1.0x", "")]
    for name, _, goal in MODES:
        ratio = [rates[name][k] / tm[k] for k in (0, 1)]
        verdict = ""
        if goal:
            verdict = f">= {goal}x: " + ("met" if min(ratio) >= goal else "NOT met")
        out.append((f"malven {name}", len(targets), f"{rates[name][0]:.1f}",
                    f"{rates[name][1]:.1f}", f"{ratio[0]:.1f}x", f"{ratio[1]:.1f}x", verdict))
    print()
    print(table(out, ["program", "targets", "targets/s (wall)", "targets/s (CPU)",
                      "vs TMalign (wall)", "vs TMalign (CPU)", "target"]))


if __name__ == "__main__":
    main()
