"""Clustering by TM-score: agreement with the families of ../shared/data/FAMILIES.tsv at
--tm 0.5 (purity, completeness, adjusted Rand index), the same beside an all-pairs peer on a
subset (every pair aligned by the engine, then the same greedy set cover on the full matrix),
and the time of `malven cluster` on synthetic databases of the database benchmark's kind
(the family members and decoys: chains outside the families under random motions, noise and
crops), made in a scratch folder by bench/database_driver.cpp's `synth`.

    python bench/bench_cluster.py [--sizes 20000 100000] [--threads 2] [--peer-chains 60]
        [--scratch /tmp/bench-cluster] [--members-db DB --sources-db DB --sources TSV]
        [--driver build/core-tests/database_driver]

The members' and sources' databases are built here (driver `build`) from a set of
bench/database_set.py (--set FOLDER, written with no decoys when absent) unless given.
Prints CPU time beside wall time: on a shared machine the wall time follows the load."""
import argparse
import pathlib
import resource
import subprocess
import sys
import time
from collections import Counter

import numpy as np

import database_set as ds
from common import ROOT, table
from database_driver import driver_path, entry_name

import keldascope


def cpu_seconds():
    own = resource.getrusage(resource.RUSAGE_SELF)
    kids = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + kids.ru_utime + kids.ru_stime


# ---- agreement of a partition with the families -------------------------------------------

def comb2(n):
    return n * (n - 1) // 2


def adjusted_rand(truth, found):
    """Hubert and Arabie's adjusted Rand index of two labellings of the same items."""
    pairs = Counter(zip(truth, found))
    a, b = Counter(truth), Counter(found)
    index = sum(comb2(n) for n in pairs.values())
    sum_a, sum_b = sum(comb2(n) for n in a.values()), sum(comb2(n) for n in b.values())
    expected = sum_a * sum_b / comb2(len(truth)) if len(truth) > 1 else 0.0
    top = (sum_a + sum_b) / 2
    return 1.0 if top == expected else (index - expected) / (top - expected)


def purity(truth, found):
    """Share of items whose cluster's most common family is their own."""
    by_cluster = {}
    for t, f in zip(truth, found):
        by_cluster.setdefault(f, Counter())[t] += 1
    return sum(c.most_common(1)[0][1] for c in by_cluster.values()) / len(truth)


def completeness(truth, found):
    """Share of items in their family's most common cluster (purity with the roles swapped)."""
    return purity(found, truth)


def labels_of(result, names):
    where = {m: k for k, c in enumerate(result.clusters) for m in c.members}
    return [where[n] for n in names]


def greedy_cover(tm, lengths, threshold):
    """Set cover over a full matrix of TM-scores (by the longer): longest first."""
    order = sorted(range(len(lengths)), key=lambda k: (-lengths[k], k))
    label = [-1] * len(lengths)
    c = 0
    for r in order:
        if label[r] >= 0:
            continue
        label[r] = c
        for k in order:
            if label[k] < 0 and tm[r, k] >= threshold:
                label[k] = c
        c += 1
    return label


def families_part(args):
    members = ds.family_members()
    structures = [keldascope.read_structure(m.path, m.chain) for m in members]
    truth = [m.family for m in members]
    names = [keldascope.clustering.chain_label(s) for s in structures]
    rows = []
    t0, c0 = time.perf_counter(), cpu_seconds()
    result = keldascope.cluster(structures, tm=args.tm, threads=args.threads)
    wall, cpu = time.perf_counter() - t0, cpu_seconds() - c0
    found = labels_of(result, names)
    rows.append(["malven cluster, all members", len(names), len(result.clusters),
                 f"{purity(truth, found):.3f}", f"{completeness(truth, found):.3f}",
                 f"{adjusted_rand(truth, found):.3f}", f"{wall:.1f}", f"{cpu:.1f}",
                 result.aligned])
    comp = keldascope.cluster(structures, tm=args.tm, threads=args.threads, method="components")
    found = labels_of(comp, names)
    rows.append(["malven cluster --components", len(names), len(comp.clusters),
                 f"{purity(truth, found):.3f}", f"{completeness(truth, found):.3f}",
                 f"{adjusted_rand(truth, found):.3f}", "", "", comp.aligned])

    # The peer: every pair of a subset aligned (the first members of each family in turn).
    by_family = {}
    for k, f in enumerate(truth):
        by_family.setdefault(f, []).append(k)
    subset, depth = [], 0
    while len(subset) < min(args.peer_chains, len(names)):
        for ks in by_family.values():
            if depth < len(ks) and len(subset) < args.peer_chains:
                subset.append(ks[depth])
        depth += 1
    sub = [structures[k] for k in subset]
    sub_truth = [truth[k] for k in subset]
    t0, c0 = time.perf_counter(), cpu_seconds()
    ours = keldascope.cluster(sub, tm=args.tm, threads=args.threads)
    ours_wall, ours_cpu = time.perf_counter() - t0, cpu_seconds() - c0
    t0, c0 = time.perf_counter(), cpu_seconds()
    matrix = keldascope.compare_all(sub, threads=args.threads)
    peer_wall, peer_cpu = time.perf_counter() - t0, cpu_seconds() - c0
    peer = greedy_cover(np.asarray(matrix.tm_longer), [len(s.domain) for s in sub], args.tm)
    found = labels_of(ours, [names[k] for k in subset])
    n_pairs = len(sub) * (len(sub) + 1) // 2
    rows.append([f"malven cluster, subset", len(sub), len(ours.clusters),
                 f"{purity(sub_truth, found):.3f}", f"{completeness(sub_truth, found):.3f}",
                 f"{adjusted_rand(sub_truth, found):.3f}", f"{ours_wall:.1f}", f"{ours_cpu:.1f}",
                 ours.aligned])
    rows.append([f"all pairs + set cover, subset", len(sub), len(set(peer)),
                 f"{purity(sub_truth, peer):.3f}", f"{completeness(sub_truth, peer):.3f}",
                 f"{adjusted_rand(sub_truth, peer):.3f}", f"{peer_wall:.1f}", f"{peer_cpu:.1f}",
                 n_pairs])
    print(f"Families of FAMILIES.tsv at --tm {args.tm} ({len(set(truth))} families)")
    print(table(rows, ["run", "chains", "clusters", "purity", "completeness", "ARI", "wall s",
                       "cpu s", "engine"]))
    print(f"subset: all-pairs peer / malven cluster, wall {peer_wall / ours_wall:.1f}x, "
          f"cpu {peer_cpu / max(ours_cpu, 1e-9):.1f}x; agreement of the two partitions "
          f"(ARI) {adjusted_rand(peer, found):.3f}\n")


# ---- time on synthetic databases -----------------------------------------------------------

def source_databases(args, scratch, driver):
    if args.members_db and args.sources_db and args.sources:
        return args.members_db, args.sources_db, args.sources
    folder = pathlib.Path(args.set or scratch / "set")
    if not (folder / "set.tsv").exists():
        subprocess.run([sys.executable, str(ROOT / "bench" / "database_set.py"), str(folder),
                        "--chains", "0", "--jobs", str(args.threads)], check=True)
    members = sorted(str(p) for p in (folder / "members").rglob("*.pdb.gz"))
    kept = [line.split("\t") for line in (folder / ds.SCREEN_FILE).read_text().splitlines()[1:]]
    kept = [(p, c) for p, c, _, k in kept if k.strip() == "yes"]
    (scratch / "members.list").write_text("\n".join(members) + "\n")
    (scratch / "sources.list").write_text("\n".join(sorted({p for p, _ in kept})) + "\n")
    (scratch / "sources.tsv").write_text("\n".join(f"{p}\t{c}" for p, c in kept) + "\n")
    for name in ("members", "sources"):
        db = scratch / f"{name}.db"
        if not db.exists():
            subprocess.run([driver, "build", str(db), str(scratch / f"{name}.list")], check=True,
                           stdout=subprocess.DEVNULL)
    return str(scratch / "members.db"), str(scratch / "sources.db"), str(scratch / "sources.tsv")


def timing_part(args):
    scratch = pathlib.Path(args.scratch)
    scratch.mkdir(parents=True, exist_ok=True)
    driver = driver_path(args.driver)
    members_db, sources_db, sources = source_databases(args, scratch, driver)
    rows = []
    for size in args.sizes:
        db = scratch / f"synth{size}.db"
        if not db.exists():
            decoys = size - len(ds.family_members())  # synth writes every member first
            subprocess.run([driver, "synth", str(db), members_db, sources_db, sources,
                            str(decoys)], check=True, stdout=subprocess.DEVNULL)
        out = scratch / f"clusters{size}.tsv"
        t0, c0 = time.perf_counter(), cpu_seconds()
        proc = subprocess.run([sys.executable, "-m", "keldascope.cli", "cluster", str(db),
                               "--tsv", str(out), "--threads", str(args.threads), "-q"],
                              stdout=subprocess.PIPE, universal_newlines=True, check=True)
        wall, cpu = time.perf_counter() - t0, cpu_seconds() - c0
        summary = dict(line.split("\t", 1) for line in proc.stdout.splitlines())
        rows.append([summary["chains"], summary["clusters"], summary["singletons"],
                     summary["largest"], f"{wall:.0f}", f"{cpu:.0f}",
                     f"{float(summary['chains']) / wall:.0f}", summary["work"]])
    print(f"malven cluster on synthetic databases (--tm 0.5, --threads {args.threads}; "
          f"target: 100,000 chains in 600 s on 2 cores)")
    print(table(rows, ["chains", "clusters", "singletons", "largest", "wall s", "cpu s",
                       "chains/s", "work"]))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", type=int, nargs="*", default=[20000, 100000])
    ap.add_argument("--tm", type=float, default=0.5)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--peer-chains", type=int, default=60)
    ap.add_argument("--scratch", default="/tmp/bench-cluster")
    ap.add_argument("--set", help="a folder of bench/database_set.py")
    ap.add_argument("--members-db")
    ap.add_argument("--sources-db")
    ap.add_argument("--sources", help="path<TAB>chain of the decoy sources")
    ap.add_argument("--driver", default=str(ROOT / "build" / "core-tests" / "database_driver"))
    ap.add_argument("--skip-families", action="store_true")
    args = ap.parse_args()
    if not args.skip_families:
        families_part(args)
    if args.sizes:
        timing_part(args)


if __name__ == "__main__":
    main()
