"""Times the structure database's build and search on a set of bench/database_set.py and
measures the search's sensitivity on the family members (development aid; the benchmark of
the commands, bench_database.py, comes with them).

Sensitivity of one query: the share of its family's other members ranked above the first
member of another family; decoys ranked among them are not errors, members missing from the
hits are. The queries are 20 members chosen as bench/bench_search.py chooses them.

    python bench/database_driver.py SET [--chains 20000] [--build] [--search] [--exhaustive]
        [--first-fraction F] [--engine-pairs P] [--threads 2] [--driver build/core-tests/database_driver]

SET is a folder of database_set.py (written first when --chains is given and it is absent).
The C++ driver (bench/database_driver.cpp) is built with the core configured with
-DKELDA_BUILD_BENCH=ON, as scripts/run-tests configures build/core-tests.
"""
import argparse
import pathlib
import resource
import statistics
import subprocess
import sys
import time

import database_set as ds
from common import ROOT, choose_queries, table


def driver_path(path):
    exe = pathlib.Path(path)
    if not exe.exists():
        sys.exit(f"no {exe}: build it with the core (cmake -S kelda-core -B build/core-tests "
                 "-DKELDA_BUILD_BENCH=ON && cmake --build build/core-tests --target "
                 "database_driver)")
    return str(exe)


def entry_name(path, chain):
    """The database's name of a one-chain file's entry (FILE:CHAIN, FILE for a blank chain)."""
    name = pathlib.Path(path).name
    if name.lower().endswith(".gz"):
        name = name[:-3]
    stem = name.rsplit(".", 1)[0] if "." in name[1:] else name
    return stem if not chain.strip() else f"{stem}:{chain}"


def sensitivity(query, ranked, family_of):
    """ranked: entry names best first; family_of: member name -> family."""
    family = family_of[query]
    members = sum(1 for m, f in family_of.items() if f == family and m != query)
    found = 0
    for name in ranked:
        if name == query or name not in family_of:
            continue  # the query itself, or a decoy
        if family_of[name] != family:
            break
        found += 1
    return found / members if members else None


def run(cmd):
    start = time.perf_counter()
    out = subprocess.run(cmd, stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
    return out, time.perf_counter() - start


def fields(line):
    parts = line.strip().split("\t")
    return {p.split(" ")[0]: p.split(" ", 1)[1] for p in parts[1:]}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("set")
    ap.add_argument("--chains", type=int)
    ap.add_argument("--db", help="database path (default SET.db)")
    ap.add_argument("--build", action="store_true")
    ap.add_argument("--search", action="store_true")
    ap.add_argument("--exhaustive", action="store_true")
    ap.add_argument("--first-fraction", type=float)
    ap.add_argument("--engine-pairs", type=float)
    ap.add_argument("--max-hits", type=int, default=100000)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--queries", type=int, default=20)
    ap.add_argument("--driver", default=str(ROOT / "build" / "core-tests" / "database_driver"))
    args = ap.parse_args()
    folder = pathlib.Path(args.set)
    if not (folder / "set.tsv").exists():
        if not args.chains:
            sys.exit(f"no set in {folder}: give --chains to write one")
        ds.write_set(folder, args.chains, jobs=args.threads)
    exe = driver_path(args.driver)
    rows = ds.read_set(folder)
    db = args.db or str(folder) + ".db"
    work = pathlib.Path(db + ".work")
    work.mkdir(exist_ok=True)

    if args.build:
        listing = work / "files.txt"
        listing.write_text("".join(r[0] + "\n" for r in rows))
        out, seconds = run([exe, "build", db, str(listing), "--threads", str(args.threads)])
        f = fields(out.splitlines()[0])
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = usage.ru_utime + usage.ru_stime
        print(table([[f["entries"], f["seconds"], f["chains/s"],
                      f"{int(f['entries']) / cpu * args.threads:.0f}", f["bytes/residue"],
                      f["peak_mb"]]],
                    ["chains", "seconds", "chains/s", "chains/s (cpu)", "bytes/residue",
                     "peak MB"]))

    if args.search or args.exhaustive:
        members = [(r[0], r[2], r[3]) for r in rows if r[1] == "member"]
        family_of = {entry_name(p, c): f for p, f, c in members}
        names = [entry_name(p, c) for p, _, c in members]
        picks = choose_queries([f for _, f, _ in members], args.queries)
        qfile = work / "queries.txt"
        qfile.write_text("".join(names[k] + "\n" for k in picks))
        cmd = [exe, "search", db, str(qfile), str(work / "hits.tsv"), "--threads", str(args.threads),
               "--max-hits", str(args.max_hits)]
        if args.exhaustive:
            cmd.append("--exhaustive")
        if args.first_fraction is not None:
            cmd += ["--first-fraction", str(args.first_fraction)]
        if args.engine_pairs:
            cmd += ["--engine-pairs", str(args.engine_pairs)]
        out, seconds = run(cmd)
        f = fields(out.splitlines()[0])
        ranked = {}
        for line in (work / "hits.tsv").read_text().splitlines()[1:]:
            q, _, target = line.split("\t")[:3]
            ranked.setdefault(q, []).append(target)
        result = []
        for k in picks:
            q = names[k]
            s = sensitivity(q, ranked.get(q, []), family_of)
            result.append([q, family_of[q][:30], f"{s:.3f}"])
        print(table(result, ["query", "family", "sensitivity"]))
        print(f"\n{'exhaustive' if args.exhaustive else 'staged'} search: {f['entries']} entries, "
              f"{f['queries']} queries, {f['seconds']} s ({f['per_query']} s a query; first two "
              f"stages {f['screen']} s), {f['aligned']} aligned, peak {f['peak_mb']} MB; mean "
              f"sensitivity {statistics.mean(float(r[2]) for r in result):.4f}")


if __name__ == "__main__":
    main()
