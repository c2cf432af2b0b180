"""Database search beside TM-align, in one run: sensitivity and time per target.

The database is every member of the families of ../shared/data/FAMILIES.tsv (the two globin
families merged), 30 queries drawn from it in a fixed order. For each query, its
sensitivity is the share of its family's other members ranked above the first member of
another family (the query itself left out), as Foldseek's benchmarks measure it. Three
searches are measured: the engine on every target, the prefiltered search (shape strings,
then the engine on the best), and TM-align's command on every target, ranked by its
TM-score normalised by the query and by the longer structure. Then the search on 1 and 2
threads.

    python bench/bench_search.py [--queries 30] [--skip-tmalign] [--thread-queries 6]
"""
import argparse
import re
import shutil
import statistics
import subprocess
import sys
import time

import keldascope
from common import SHARED, choose_queries, table


def database():
    """(family, path, chain) of every member, in the order of FAMILIES.tsv."""
    out = []
    for line in (SHARED / "FAMILIES.tsv").read_text().splitlines()[1:]:
        name, _, _, note, _, members = line.split("\t")
        family = "globins" if name.startswith("globins") else name
        chain = "A" if "use chain A" in note else None
        out += [(family, SHARED / m, chain) for m in members.split()]
    return out


def sensitivity(query, ranked, families):
    """ranked: target indices best first."""
    members = sum(1 for k, f in enumerate(families) if f == families[query] and k != query)
    found = 0
    for k in ranked:
        if k == query:
            continue
        if families[k] != families[query]:
            break
        found += 1
    return found / members if members else None


def tmalign_scores(exe, query, target, files):
    text = subprocess.run([exe, files[query], files[target]], stdout=subprocess.PIPE,
                          universal_newlines=True, check=True).stdout
    tm = re.findall(r"TM-score= ([0-9.]+) \(if normalized by length of Chain_([12])", text)
    return float(tm[0][0]), float(tm[1][0])


def decoy_time(structures, queries, tm_ms):
    """Time per target of the prefiltered search over a larger database: the family members
    and every other readable structure file of the shared data (first chain). The engine's
    share of the time is fixed by the targets kept, so it shrinks per target as the database
    grows; sensitivity is not measured here (the other files are not classified)."""
    have = {str(s.path) for s in structures}
    decoys = []
    for path, _ in keldascope.find_structure_files([str(SHARED)]):
        if path in have:
            continue
        try:
            decoys.append(keldascope.read_structure(path))
        except ValueError:
            continue
    database = structures + decoys
    start = time.perf_counter()
    kept = 0
    for q in queries:
        kept = keldascope.search(structures[q], database, threads=1).n_aligned
    per = 1e3 * (time.perf_counter() - start) / (len(queries) * len(database))
    print(f"\nLarger database ({len(structures)} family members and {len(decoys)} other "
          f"structures, {len(queries)} queries, {kept} kept): prefiltered {per:.3f} ms per target"
          + (f", TM-align / prefiltered {tm_ms / per:.0f}x" if tm_ms else ""))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--queries", type=int, default=30)
    ap.add_argument("--skip-tmalign", action="store_true")
    ap.add_argument("--thread-queries", type=int, default=6,
                    help="queries timed on 1 and 2 threads (default 6)")
    ap.add_argument("--decoy-queries", type=int, default=10,
                    help="queries timed against the database with every other structure of "
                         "the shared data added (default 10)")
    args = ap.parse_args()
    if not (SHARED / "FAMILIES.tsv").exists():
        sys.exit(f"no FAMILIES.tsv under {SHARED}")
    entries = database()
    structures = [keldascope.read_structure(str(p), chain) for _, p, chain in entries]
    families = [f for f, _, _ in entries]
    queries = choose_queries(families, args.queries)
    n = len(structures)
    print(f"Database {n} structures of {len(set(families))} families; {len(queries)} queries")

    rows, totals = [], {"full": [], "pre": [], "tm_q": [], "tm_l": []}
    times = {"full": 0.0, "pre": 0.0, "tm": 0.0}
    exe = None if args.skip_tmalign else shutil.which("TMalign")
    files = {}
    if exe:
        # TMalign reads the first chain of a file: chains other than the first go to a copy.
        import tempfile
        work = tempfile.TemporaryDirectory(prefix="bench-search-")
        for k, (_, p, chain) in enumerate(entries):
            if chain is None:
                files[k] = str(p)
            else:
                out = f"{work.name}/{k}.pdb"
                lines = [l for l in open(p) if l.startswith(("ATOM", "HETATM")) and l[21] == chain]
                open(out, "w").write("".join(lines) + "END\n")
                files[k] = out
    for q in queries:
        start = time.perf_counter()
        # The default of 100 hits holds every family's members and the first hit of another.
        full = keldascope.search(structures[q], structures, prefilter=False, threads=1)
        times["full"] += time.perf_counter() - start
        start = time.perf_counter()
        pre = keldascope.search(structures[q], structures, threads=1)
        times["pre"] += time.perf_counter() - start
        s_full = sensitivity(q, [h.target for h in full.hits], families)
        s_pre = sensitivity(q, [h.target for h in pre.hits], families)
        totals["full"].append(s_full)
        totals["pre"].append(s_pre)
        row = [structures[q].name, families[q][:28], f"{s_full:.3f}", f"{s_pre:.3f}"]
        if exe:
            start = time.perf_counter()
            scores = {t: tmalign_scores(exe, q, t, files) for t in range(n) if t != q}
            times["tm"] += time.perf_counter() - start
            by_query = sorted(scores, key=lambda t: -scores[t][0])
            by_longer = sorted(scores, key=lambda t: -min(scores[t]))
            s_q, s_l = sensitivity(q, by_query, families), sensitivity(q, by_longer, families)
            totals["tm_q"].append(s_q)
            totals["tm_l"].append(s_l)
            row += [f"{s_q:.3f}", f"{s_l:.3f}"]
        rows.append(row)
        print(f"... {structures[q].name} done", file=sys.stderr)
    header = ["query", "family", "engine", "prefiltered"] + (["TM-align (query)", "TM-align (longer)"] if exe else [])
    print(table(rows, header))
    per = len(queries) * n
    ms = {k: 1e3 * v / per for k, v in times.items()}
    print(f"\nMean sensitivity: engine {statistics.mean(totals['full']):.3f}, prefiltered "
          f"{statistics.mean(totals['pre']):.3f}"
          + (f", TM-align {statistics.mean(totals['tm_q']):.3f} (ranked by TM-score normalised "
             f"by the query) / {statistics.mean(totals['tm_l']):.3f} (by the longer)" if exe else ""))
    print(f"Time per target (one thread): engine {ms['full']:.2f} ms, prefiltered "
          f"{ms['pre']:.3f} ms" + (f", TM-align {ms['tm']:.1f} ms (its command, process start "
                                    f"included)" if exe else ""))
    if exe:
        print(f"  TM-align / engine {ms['tm'] / ms['full']:.1f}x (target 10x), TM-align / "
              f"prefiltered {ms['tm'] / ms['pre']:.0f}x (target 100x)")
    print(f"  prefiltered within {statistics.mean(totals['full']) - statistics.mean(totals['pre']):.3f}"
          f" of the engine's sensitivity (target 0.02)")

    decoy_time(structures, queries[:args.decoy_queries], ms["tm"] if exe else None)

    tq = queries[:args.thread_queries]
    t1 = t2 = 0.0
    for q in tq:
        start = time.perf_counter()
        a = keldascope.search(structures[q], structures, prefilter=False, max_hits=n, threads=1)
        t1 += time.perf_counter() - start
        start = time.perf_counter()
        b = keldascope.search(structures[q], structures, prefilter=False, max_hits=n, threads=2)
        t2 += time.perf_counter() - start
        assert [(h.target, h.score) for h in a.hits] == [(h.target, h.score) for h in b.hits]
    print(f"\nThreads ({len(tq)} queries, engine on every target): 1 thread {t1:.2f} s, "
          f"2 threads {t2:.2f} s: {t1 / t2:.2f}x (target 1.8x); same hits on both")


if __name__ == "__main__":
    main()
