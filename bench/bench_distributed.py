"""Scale-out speed on a local Dask cluster of 1 and of 2 single-threaded worker processes
(files read by the workers). Prints wall times, the speed-up of 2 workers over 1 (target: at
least 1.8) and the single-process call beside them.

The robust engine (default): the all-against-all of 100 structures of the families of
FAMILIES.tsv (5050 alignments), beside keldascope.compare_all on 1 and 2 threads in this
process. The KELDA modes (--method kelda): one query against the 200 chains of the bm5 set,
and the all-against-all of the 26 SCOP globin domains.

    python bench/bench_distributed.py [--repeat N] [--method robust|kelda]
                                      [--mode scan|full|quick] [--structures 100]
"""
import argparse
import pathlib
import statistics
import sys
import time

import malven
from common import SHARED, table
import keldascope
from keldascope import distributed

TARGET = 1.8
# scan_database's modes and the engine's methods they are.
MODES = {"scan": (dict(scan_mode=True), keldascope.Method.KELDA_SCAN),
         "full": (dict(scan_mode=False), keldascope.Method.KELDA_FULL),
         "quick": (dict(scan_mode=False, quick=True), keldascope.Method.KELDA_QUICK)}


def globins():
    for line in (SHARED / "FAMILIES.tsv").read_text().splitlines():
        cells = line.split("\t")
        if cells[0] == "globins_scop_domains":
            return [SHARED / p for p in cells[-1].split()]
    sys.exit("no globins_scop_domains family in FAMILIES.tsv")


def family_members(n):
    """The first n members of the families, taking the families in turn so that every one
    is represented."""
    groups = []
    for line in (SHARED / "FAMILIES.tsv").read_text().splitlines()[1:]:
        cells = line.split("\t")
        chain = "A" if "use chain A" in cells[3] else None
        groups.append([(SHARED / p, chain) for p in cells[-1].split()])
    out, depth = [], 0
    while len(out) < n and any(depth < len(g) for g in groups):
        out += [g[depth] for g in groups if depth < len(g)][:n - len(out)]
        depth += 1
    return out


def robust_main(args):
    members = family_members(args.structures)
    specs = [(str(p), chain) for p, chain in members]
    structures = [keldascope.read_structure(str(p), chain) for p, chain in members]
    n = len(specs)
    print(f"robust engine: all-against-all of {n} structures ({n * (n + 1) // 2} alignments); "
          f"{args.repeat} rounds")
    runs = ("1 thread here", "2 threads here", "1 worker", "2 workers")
    times = {run: [] for run in runs}
    results = {}
    warm = specs[:8]
    for _ in range(args.repeat):
        for threads in (1, 2):
            t, results[threads] = timed(lambda: keldascope.compare_all(structures,
                                                                       threads=threads))
            times[runs[threads - 1]].append(t)
        for workers in (1, 2):
            with distributed.local_client(workers) as client:
                client.wait_for_workers(workers)
                distributed.distributed_compare(warm, client=client)  # imports, first reads
                t, results["w", workers] = timed(
                    lambda: distributed.distributed_compare(specs, client=client))
                times[runs[1 + workers]].append(t)
    base = statistics.median(times["1 worker"])
    rows = [(run, f"{statistics.median(times[run]):.2f}", f"{min(times[run]):.2f}",
             f"{base / statistics.median(times[run]):.2f}") for run in runs]
    print(table(rows, ("run on", "median s", "best s", "speed-up vs 1 worker")))
    a, b, here = results["w", 1], results["w", 2], results[1]
    same = all((getattr(a, m) == getattr(b, m)).all() for m in ("tm", "sc", "n_aligned")) and \
        (a.tm == here.tm).all()
    print(f"matrices of 1 worker, 2 workers and one process identical: {same}")
    s = base / statistics.median(times["2 workers"])
    threads = statistics.median(times["1 thread here"]) / statistics.median(times["2 threads here"])
    print(f"2 workers {s:.2f}x faster than 1 ({'meets' if s >= TARGET else 'misses'} the "
          f"{TARGET}x target); 2 threads {threads:.2f}x faster than 1 in one process")


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5,
                    help="rounds, each with a new cluster and two timed runs per case "
                         "(default 5; the robust method runs at most 3, one run each)")
    ap.add_argument("--method", choices=("robust", "kelda"), default="robust")
    ap.add_argument("--mode", choices=sorted(MODES), default="scan",
                    help="how the kelda method aligns targets and pairs (default scan)")
    ap.add_argument("--structures", type=int, default=100,
                    help="structures in the robust all-against-all (default 100)")
    args = ap.parse_args()
    reason = distributed.dask_unavailable()
    if reason:
        sys.exit(reason)
    if args.method == "robust":
        args.repeat = min(args.repeat, 3)
        return robust_main(args)
    targets = sorted((SHARED / "bm5").glob("*.pdb"))
    if len(targets) != 200:
        sys.exit(f"expected the 200 chains of {SHARED / 'bm5'}, found {len(targets)}")
    domains = [malven.Domain.from_pdb(str(t)) for t in targets]
    # The median-length chain, as in bench_scan.py.
    query = targets[sorted(range(200), key=lambda k: len(domains[k]))[100]]
    family = globins()
    flags, method = MODES[args.mode]
    print(f"mode {args.mode}; query {pathlib.Path(query).stem} against {len(targets)} bm5 "
          f"chains; all-against-all of {len(family)} globins "
          f"({len(family) * (len(family) + 1) // 2} alignments); {2 * args.repeat} runs each")

    qdomain = malven.Domain.from_pdb(str(query))
    cases = {
        "scan": (lambda client: distributed.distributed_search(
                     query, targets, max_hits=len(targets), client=client, method=method),
                 lambda: malven.scan_database(qdomain, domains, max_hits=len(domains), **flags)),
        "allvsall": (lambda client: distributed.distributed_compare(family, client=client,
                                                                    method=method),
                     lambda: distributed.distributed_compare(family, client=distributed.IN_PROCESS,
                                                             method=method, threads=1)),
    }
    runs = ("one process", "1 worker", "2 workers")
    times = {(name, run): [] for name in cases for run in runs}
    starts = {1: [], 2: []}
    results = {}
    for _, plain in cases.values():
        plain()  # imports and first reads
    # The machine is shared: the runs take turns, round after round, so that a busy spell of
    # other work slows them alike. One cluster at a time: an idle one's heartbeats and
    # monitors would take a share of the cores from the other.
    for _ in range(args.repeat):
        for name, (_, plain) in cases.items():
            for _ in range(2):
                times[name, "one process"].append(timed(plain)[0])
        for workers in (1, 2):
            start = time.perf_counter()
            with distributed.local_client(workers) as client:
                client.wait_for_workers(workers)
                starts[workers].append(time.perf_counter() - start)
                for name, (on_cluster, _) in cases.items():
                    for _ in range(2):
                        on_cluster(client)  # the workers' imports and first reads
                    for _ in range(2):
                        t, results[name, workers] = timed(lambda: on_cluster(client))
                        times[name, runs[workers]].append(t)

    print(f"cluster start (median): {statistics.median(starts[1]):.2f} s with 1 worker, "
          f"{statistics.median(starts[2]):.2f} s with 2")
    rows, speedups = [], {}
    for name in cases:
        base = statistics.median(times[name, "1 worker"])
        for run in runs:
            median = statistics.median(times[name, run])
            rows.append((name, run, f"{median:.3f}", f"{min(times[name, run]):.3f}",
                         f"{base / median:.2f}" if run != "one process" else ""))
        speedups[name] = base / statistics.median(times[name, "2 workers"])
    print(table(rows, ("case", "run on", "median s", "best s", "speed-up vs 1 worker")))

    same_scan = [(h.target, h.score, h.z_score) for h in results["scan", 1].hits] == \
        [(h.target, h.score, h.z_score) for h in results["scan", 2].hits]
    a, b = results["allvsall", 1], results["allvsall", 2]
    same_matrix = all((getattr(a, m) == getattr(b, m)).all() for m in ("sc", "n_aligned"))
    print(f"results of 1 and 2 workers identical: scan {same_scan}, allvsall {same_matrix}")
    for name, s in speedups.items():
        verdict = "meets" if s >= TARGET else "misses"
        print(f"{name}: 2 workers {s:.2f}x faster than 1 ({verdict} the {TARGET}x target)")


if __name__ == "__main__":
    main()
