"""Times the structure database's commands as users run them, beside `malven scan` over the
same files and TM-align, on sets bench/database_set.py writes (family members of
../shared/data/FAMILIES.tsv and synthetic decoys, gzipped PDB) in a scratch folder.

For each size: `malven createdb` (chains a second, bytes a residue on disk, peak memory),
`malven search` with one query and with a batch of queries in one call (seconds a query,
peak memory, sensitivity on the family members), at the first size `--exhaustive` on a few
of the queries too, and
`malven scan` of one query over the same folder (at sizes up to --scan-max); the folder scan
of the family members alone is the sensitivity reference at every size.

Sensitivity of one query: the share of its family's other members ranked above the first
member of another family (decoys ranked among them are not errors; members missing are).

    python bench/bench_database.py [--sizes 20000 200000] [--scratch DIR] [--sets DIR]
        [--queries 20] [--threads 2] [--scan-max 20000] [--exhaustive-queries 3] [--reuse-db]

--reuse-db keeps each size's database in the scratch folder (dbNNNk) and, when one of the
same files is there, searches it without building it again (its build row says so): for
measuring searches again, a build of 200,000 chains is minutes of both cores.
"""
import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

import database_set as ds
import keldascope
from common import choose_queries, table
from database_driver import entry_name, sensitivity

MALVEN = [sys.executable, "-m", "keldascope.cli"]
TARGETS = {"build chains/s": 2000, "bytes/residue": 16, "s/query at 200k": 2.0,
           "s/query at 1M": 5.0, "peak MB at 1M": 2048, "sensitivity loss": 0.01}


def label(n):
    return f"{n // 1000000}m" if n % 1000000 == 0 else f"{n // 1000}k"


def timed(cmd, cwd=None):
    """(seconds, stdout, stderr) of one command, which must succeed."""
    start = time.perf_counter()
    proc = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    seconds = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit(f"{' '.join(map(str, cmd))} failed ({proc.returncode}): {proc.stderr.strip()}")
    return seconds, proc.stdout, proc.stderr


def run_measured(cmd, cwd=None):
    """(seconds, peak MB, CPU seconds, stdout): the child's own peak resident memory (its
    ru_maxrss) and processor time, by a small wrapper that waits for it alone. On a machine
    that others share, CPU seconds over the threads used tell more than wall time."""
    wrapper = ("import os, subprocess, sys, time\n"
               "p = subprocess.Popen(sys.argv[1:], stdout=sys.stdout, stderr=sys.stderr)\n"
               "_, status, usage = os.wait4(p.pid, 0)\n"
               "cpu = usage.ru_utime + usage.ru_stime\n"
               "sys.stderr.write(f'\\nPEAK_KB {usage.ru_maxrss} CPU {cpu}\\n')\n"
               "sys.exit(os.waitstatus_to_exitcode(status))\n")
    seconds, out, err = timed([sys.executable, "-c", wrapper, *map(str, cmd)], cwd)
    fields = err.rsplit("PEAK_KB", 1)[1].split()
    return seconds, int(fields[0]) / 1024, float(fields[2]), out


def ranked_paths(tsv, query_column):
    """{query: [hit paths, best first]} of a hit table."""
    lines = pathlib.Path(tsv).read_text().splitlines()
    head = lines[0].split("\t")
    q, p = (head.index("query") if query_column else None), head.index("path")
    out = {}
    for line in lines[1:]:
        cells = line.split("\t")
        out.setdefault(cells[q] if query_column else None, []).append(cells[p])
    return out


def mean_sensitivity(picks, members, ranked_of):
    """Mean sensitivity of the picked members, ranked_of(name) their hits' paths."""
    name_of_path = {p: entry_name(p, c) for p, _, c in members}
    family_of = {entry_name(p, c): f for p, f, c in members}
    values = []
    for k in picks:
        name = entry_name(members[k][0], members[k][2])
        ranked = [name_of_path.get(p, p) for p in ranked_of(name)]
        values.append(sensitivity(name, ranked, family_of))
    return statistics.mean(values)


def set_folder(args, n):
    for base in filter(None, [args.sets, args.scratch]):
        folder = pathlib.Path(base) / f"s{label(n)}"
        if (folder / "set.tsv").exists() and len(ds.read_set(folder)) >= n:
            return folder
    folder = pathlib.Path(args.scratch) / f"s{label(n)}"
    print(f"writing a set of {n} chains in {folder} ...", file=sys.stderr)
    ds.write_set(folder, n, jobs=args.threads)
    return folder


def tmalign_per_target(members, picks, n=20):
    """TM-align's seconds a target: the first query against n members."""
    exe = shutil.which("TMalign")
    if not exe:
        return None
    query = members[picks[0]][0]
    targets = [m[0] for m in members[:n]]
    work = pathlib.Path(os.environ.get("TMPDIR", "/tmp")) / f"tmalign-{os.getpid()}"
    work.mkdir(exist_ok=True)
    plain = []
    for k, path in enumerate([query] + targets):  # TM-align reads plain PDB files
        out = work / f"{k}.pdb"
        out.write_bytes(ds.zlib.decompress(pathlib.Path(path).read_bytes(), wbits=31))
        plain.append(out)
    start = time.perf_counter()
    for t in plain[1:]:
        subprocess.run([exe, str(plain[0]), str(t)], stdout=subprocess.DEVNULL, check=True)
    shutil.rmtree(work)
    return (time.perf_counter() - start) / len(targets)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[20000])
    ap.add_argument("--scratch", default="/tmp/malven-bench-database")
    ap.add_argument("--sets", help="a folder holding earlier sets as s20k, s200k ... to reuse")
    ap.add_argument("--queries", type=int, default=20)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--scan-max", type=int, default=20000,
                    help="largest size at which malven scan runs over the whole folder")
    ap.add_argument("--exhaustive-queries", type=int, default=3,
                    help="queries of the exhaustive search at the first size (0: none)")
    ap.add_argument("--reuse-db", action="store_true",
                    help="keep each size's database in the scratch folder and reuse it")
    args = ap.parse_args()
    scratch = pathlib.Path(args.scratch).resolve()
    scratch.mkdir(parents=True, exist_ok=True)
    threads = ["--threads", str(args.threads)]
    builds, searches, ratios = [], [], []
    reference = None
    for n in args.sizes:
        folder = set_folder(args, n)
        rows = ds.read_set(folder)[:n]
        members = [(r[0], r[2], r[3]) for r in rows if r[1] == "member"]
        picks = choose_queries([f for _, f, _ in members], args.queries)
        work = scratch / f"run{label(n)}"
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir()
        (work / "files.txt").write_text("".join(r[0] + "\n" for r in rows))
        (work / "queries.txt").write_text("".join(members[k][0] + "\n" for k in picks))
        db = work / "x.db"
        kept = scratch / f"db{label(n)}"
        listing = (work / "files.txt").read_text()

        # 1. The build.
        if args.reuse_db and (kept / "files.txt").exists() and \
                (kept / "files.txt").read_text() == listing:
            db = kept / "x.db"
            d = keldascope.Database(db)
            size = sum(f.stat().st_size for f in db.iterdir())
            builds.append([n, len(d), "reused", "", "", "", f"{size / d.residues:.2f}", ""])
        else:
            seconds, peak, cpu, _ = run_measured(MALVEN + ["createdb", db, "@files.txt",
                                                           "--quiet"] + threads, work)
            d = keldascope.Database(db)
            size = sum(f.stat().st_size for f in db.iterdir())
            builds.append([n, len(d), f"{seconds:.1f}", f"{len(d) / seconds:.0f}",
                           f"{cpu:.1f}", f"{len(d) / cpu * args.threads:.0f}",
                           f"{size / d.residues:.2f}", f"{peak:.0f}"])
            if args.reuse_db:
                shutil.rmtree(kept, ignore_errors=True)
                kept.mkdir()
                db = pathlib.Path(shutil.move(str(db), str(kept / "x.db")))
                (kept / "files.txt").write_text(listing)

        # 2. One query, then the batch in one call; at the first size the exhaustive batch.
        one = members[picks[0]][0]
        s1, p1, c1, _ = run_measured(MALVEN + ["search", db, one, "--tsv", "one.tsv", "--max-hits",
                                           "1000", "--quiet"] + threads, work)
        searches.append([n, "search, 1 query", f"{s1:.2f}", f"{s1:.2f}", f"{c1:.1f}",
                         f"{p1:.0f}", ""])
        # The exhaustive search (a minute a query at 20,000 chains) runs on the first few
        # queries; the staged search's sensitivity on those same queries is shown beside it.
        few = picks[:args.exhaustive_queries]
        (work / "few.txt").write_text("".join(members[k][0] + "\n" for k in few))
        modes = [("search, batch", "@queries.txt", picks, [])]
        if n == args.sizes[0] and few:
            modes.append(("search --exhaustive, batch", "@few.txt", few, ["--exhaustive"]))
        per_query = {}
        for mode, listing, chosen, extra in modes:
            sb, pb, cb, _ = run_measured(MALVEN + ["search", db, listing, "--tsv", "batch.tsv",
                                               "--max-hits", "1000", "--quiet"] + extra +
                                     threads, work)
            # The table names its queries as the command shows them (FILE:CHAIN by the end
            # of the path that tells them apart), in the order given: matched by that order.
            shown = list(ranked_paths(work / "batch.tsv", True).values())
            hits = {entry_name(members[k][0], members[k][2]): h for k, h in zip(chosen, shown)}
            sens = mean_sensitivity(chosen, members, lambda name: hits.get(name, []))
            per_query[mode] = sb / len(chosen)
            if not extra:
                staged = hits
            else:
                same = mean_sensitivity(chosen, members, lambda name: staged.get(name, []))
                sens = f"{sens:.4f} (staged {same:.4f})"
            searches.append([n, f"{mode} of {len(chosen)}", f"{sb:.1f}",
                             f"{sb / len(chosen):.2f}", f"{cb / len(chosen):.2f}", f"{pb:.0f}",
                             sens if extra else f"{sens:.4f}"])

        # 3. Today's folder scan: of the members alone (the sensitivity reference, once), and
        # of one query over the whole folder.
        if reference is None:
            hits = {}
            start = time.perf_counter()
            for k in picks:
                _, out, _ = timed(MALVEN + ["scan", members[k][0], folder / "members",
                                            "--max-hits", "1000", "--tsv", "scan.tsv",
                                            "--quiet"] + threads, work)
                hits[entry_name(members[k][0], members[k][2])] = \
                    ranked_paths(work / "scan.tsv", False)[None]
            reference = mean_sensitivity(picks, members, lambda name: hits.get(name, []))
            searches.append([len(members), f"scan of the members alone, {len(picks)} queries",
                             f"{time.perf_counter() - start:.1f}", "", "", "",
                             f"{reference:.4f}"])
        if n <= args.scan_max:
            ss, ps, cs, _ = run_measured(MALVEN + ["scan", one, folder, "--max-hits", "1000",
                                               "--quiet"] + threads, work)
            searches.append([n, "scan over the folder, 1 query", f"{ss:.1f}", f"{ss:.2f}",
                             f"{cs:.1f}", f"{ps:.0f}", ""])
            ratios.append(f"{n} chains: scan {ss:.1f} s a query against search {s1:.2f} s "
                          f"alone ({ss / s1:.1f}x) and {per_query['search, batch']:.2f} s in a "
                          f"batch ({ss / per_query['search, batch']:.1f}x); peak memory "
                          f"{ps:.0f} MB against {p1:.0f} MB ({ps / p1:.1f}x); CPU seconds "
                          f"{cs:.1f} against {c1:.1f} ({cs / c1:.1f}x)")
        shutil.rmtree(work)

    print("Build (malven createdb, gzipped PDB sources, "
          f"{args.threads} threads; target >= {TARGETS['build chains/s']} chains/s, "
          f"<= {TARGETS['bytes/residue']} bytes/residue)")
    print(table(builds, ["chains", "entries", "seconds", "chains/s", "CPU s",
                         "chains/s (CPU, x threads)", "bytes/residue", "peak MB"]))
    print(f"\nSearch (max-hits 1000; targets <= {TARGETS['s/query at 200k']} s a query in a "
          f"batch at 200k, <= {TARGETS['s/query at 1M']} s at 1M; sensitivity within "
          f"{TARGETS['sensitivity loss']} of --exhaustive and of the members' scan)")
    print(table(searches, ["chains", "run", "seconds", "s/query", "CPU s/query", "peak MB",
                           "sensitivity"]))
    tm = tmalign_per_target(members, picks)
    print()
    for line in ratios:
        print(line)
    if tm is not None:
        print(f"TM-align: {tm * 1000:.1f} ms a target (20 members against the first query); "
              f"at that rate one query against {args.sizes[-1]} chains takes "
              f"{tm * args.sizes[-1]:.0f} s")


if __name__ == "__main__":
    main()
