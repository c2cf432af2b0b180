"""Remote homologs on SCOP40: sensitivity at family, superfamily and fold level, beside
TM-align on the same pairs, and the calibration of the E-values.

Data: the 595 domains of ../shared/data/scop40 (pdb/, labels.tsv). Queries: every 10th domain by
sid (60). The database: the 595 domains and a decoy of each, its C-alpha trace read
backwards (same length, packing and secondary structure, a topology no protein has; not a
perturbed copy, which would still be related), 1,190 entries. Sensitivity as the field
measures it (the folder's README): per query, the share of its true positives ranked above
its first false positive (another fold), the query itself skipped; family level: same
family; superfamily: same superfamily, other family; fold: same fold, other superfamily;
averaged over the queries with at least one true positive at that level. The sensitivity
counts the SCOP40 targets alone, in our rankings as in TMalign's (TMalign never runs on the
decoys, so that neither side meets them there); the calibration counts every hit, decoys as
false positives.

Beside the tables, a diagnosis of the superfamily and fold members TMalign ranks above its
first false positive and our default search does not: how many the staged search never
aligned, how many it aligned with a lower TM-score than TMalign's, and the mean difference of
our TM-scores from TMalign's on the same pairs (our first false positives, the true positives
aligned).

Rankings: our staged search (the default, ranked by E-value), our engine on every entry
(--exhaustive, ranked by E-value and by the old rule, the TM-score by the longer), and
TMalign on every (query, domain) pair ranked by the TM-score by the query, by the longer
and by the mean of the two (its figures cached between runs by tmalign_peer; TMalign takes
the query first).

    python bench/bench_scop.py [--threads 2] [--cached-only] [--staged-only]

--cached-only keeps the queries whose TMalign figures are all cached (the cache is filled
elsewhere), so that the run starts no TMalign; the queries used are printed. --staged-only
leaves out the exhaustive search (four times the staged search's time) and its rows.

    python bench/bench_scop.py --decoys SET [--size 200000] [--scratch DIR] [--every 3]

--decoys asks how much the staged search's first stages lose in a large database: the 1,190
entries above and the synthetic decoys of a bench/database_set.py folder SET (perturbed
copies of chains outside its families) up to --size entries, built once in --scratch and
reused. The set's screen keeps its decoys apart from FAMILIES.tsv, not from SCOP40: its
sources include the PDB chains SCOP40's domains were cut from and their homologs, each copied
some two hundred times, whose copies fill the engine's share of a query with genuine
same-fold hits. So only the decoys of source chains that share no fold with a SCOP40 domain
are taken: the TM-score normalised by the domain below the same-fold line (0.5) against
every domain the search meets (a chain holding such a domain among others is left out too),
screened once and kept in --scratch. About a quarter of the set's sources pass, so a
database of 200,000 needs a set of some 830,000 decoys (database_set.py --start/--count
extends one). The set must have been written with --seed SEED (1, its default). The default search runs on that database, the exhaustive one on the 1,190 entries
alone: a decoy is neither a true nor a false positive (the sensitivity counts SCOP40 targets
alone, as above), and the engine's score of a (query, domain) pair, which ranks the hits,
does not depend on the database around them, so the exhaustive order of the SCOP40 domains is
the same in both; the exhaustive search on every entry of the large one (hours) would only
add decoys between them. Queries: every --every'th of the 60 (a fixed sample); TMalign does
not run in this mode.
"""
import argparse
import math
import pathlib
import resource
import shutil
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from common import SHARED, table  # noqa: E402
from tmalign_peer import CACHE, _key, tmalign_pairs  # noqa: E402

import keldascope  # noqa: E402

SCOP = SHARED / "scop40"
LEVELS = ("family", "superfamily", "fold")
THRESHOLDS = (0.001, 0.01, 0.1, 1.0, 10.0)

THREE = dict(A="ALA", R="ARG", N="ASN", D="ASP", C="CYS", Q="GLN", E="GLU", G="GLY", H="HIS",
             I="ILE", L="LEU", K="LYS", M="MET", F="PHE", P="PRO", S="SER", T="THR", W="TRP",
             Y="TYR", V="VAL")


def labels():
    rows = (SCOP / "labels.tsv").read_text().splitlines()
    head = rows[0].split("\t")
    out = [dict(zip(head, r.split("\t"))) for r in rows[1:] if r.strip()]
    return sorted(out, key=lambda r: r["sid"])


def write_reversed(structure, path):
    """The C-alpha trace read backwards, as a PDB file of CA atoms."""
    d = structure.domain
    xyz = d.coordinates[::-1]
    seq = d.sequence[::-1]
    with open(path, "w") as out:
        for k, (p, aa) in enumerate(zip(xyz, seq), 1):
            out.write(f"ATOM  {k:5d}  CA  {THREE.get(aa, 'GLY')} A{k:4d}    "
                      f"{p[0]:8.3f}{p[1]:8.3f}{p[2]:8.3f}  1.00  0.00           C\n")
        out.write("END\n")


def relation(q, t):
    """'family', 'superfamily', 'fold' (a true positive at that level) or 'fp'."""
    if q["family"] == t["family"]:
        return "family"
    if q["superfamily"] == t["superfamily"]:
        return "superfamily"
    if q["fold"] == t["fold"]:
        return "fold"
    return "fp"


def sensitivities(rankings, queries, doms):
    """{level: mean sensitivity} of rankings {query index: target indices best first}
    (SCOP40 domains only; unranked targets count as not found)."""
    per = {lv: [] for lv in LEVELS}
    for qi in queries:
        q = doms[qi]
        totals = {lv: 0 for lv in LEVELS}
        for ti, t in enumerate(doms):
            if ti != qi and relation(q, t) != "fp":
                totals[relation(q, t)] += 1
        found = {lv: 0 for lv in LEVELS}
        for ti in rankings[qi]:
            if ti == qi:
                continue
            r = relation(q, doms[ti])
            if r == "fp":
                break
            found[r] += 1
        for lv in LEVELS:
            if totals[lv]:
                per[lv].append(found[lv] / totals[lv])
    return {lv: sum(v) / len(v) if v else math.nan for lv, v in per.items()}


def first_fp_and_found(ranking, qi, doms):
    """The first false positive of a ranking (None if none) and the targets above it."""
    found = set()
    for ti in ranking:
        if ti == qi:
            continue
        if relation(doms[qi], doms[ti]) == "fp":
            return ti, found
        found.add(ti)
    return None, found


def diagnose(result, queries, doms, files, index, tm):
    """Why TMalign finds remote members our default search misses (see the docstring)."""
    mean_tm = lambda r: (r[0] + r[1]) / 2  # noqa: E731
    rows, fp_diff, tp_diff = [], [], []
    for lv in ("superfamily", "fold"):
        missed = unaligned = worse = 0
        for qi, found in zip(queries, result):
            ours = {index[h.target]: h for h in found.hits if index[h.target] is not None}
            ranked = [index[h.target] for h in found.hits if index[h.target] is not None]
            scored = sorted(((mean_tm(tm[(files[qi], files[t])]), t) for t in range(len(doms))
                             if tm[(files[qi], files[t])] is not None), key=lambda x: (-x[0], x[1]))
            _, theirs_found = first_fp_and_found([t for _, t in scored], qi, doms)
            fp, ours_found = first_fp_and_found(ranked, qi, doms)
            if lv == "superfamily" and fp is not None and tm[(files[qi], files[fp])] is not None:
                h = ours[fp]
                fp_diff.append((h.tm_score_a + h.tm_score_b) / 2 - mean_tm(tm[(files[qi], files[fp])]))
            for t in theirs_found - ours_found:
                if relation(doms[qi], doms[t]) != lv:
                    continue
                missed += 1
                if t not in ours:
                    unaligned += 1
                elif (ours[t].tm_score_a + ours[t].tm_score_b) / 2 < mean_tm(tm[(files[qi], files[t])]) - 0.01:
                    worse += 1
            if lv == "superfamily":
                tp_diff += [(h.tm_score_a + h.tm_score_b) / 2 - mean_tm(tm[(files[qi], files[t])])
                            for t, h in ours.items() if t != qi and relation(doms[qi], doms[t]) != "fp"
                            and tm[(files[qi], files[t])] is not None]
        rows.append((lv, str(missed), str(unaligned), str(worse), str(missed - unaligned - worse)))
    print("members TMalign (by mean TM) ranks above its first false positive, our default not:")
    print(table(rows, ("level", "missed", "never aligned (staging)",
                       "aligned, TM below TMalign's by > 0.01", "aligned no worse")))
    avg = lambda v: sum(v) / len(v) if v else math.nan  # noqa: E731
    print(f"our mean TM minus TMalign's on the same pairs: our first false positives "
          f"{avg(fp_diff):+.4f} ({len(fp_diff)}), true positives aligned {avg(tp_diff):+.4f} "
          f"({len(tp_diff)})")


def large_database(path, sources):
    """The database of `sources` at `path`, built when absent or of other sources (the
    listing beside it says which it holds)."""
    listing = pathlib.Path(str(path) + ".sources")
    text = "".join(str(f) + "\n" for f in sources)
    if pathlib.Path(path).exists() and listing.exists() and listing.read_text() == text:
        return keldascope.Database(str(path))
    # One of this benchmark's own, of other sources: built again.
    if pathlib.Path(path).is_dir():
        shutil.rmtree(path)
    elif pathlib.Path(path).exists():
        pathlib.Path(path).unlink()
    print(f"building a database of {len(sources)} entries at {path} ...", file=sys.stderr)
    start = time.perf_counter()
    db = keldascope.Database.create(str(path), [str(f) for f in sources])
    listing.write_text(text)
    print(f"  built in {time.perf_counter() - start:.0f} s", file=sys.stderr)
    return db


def timed_search(db, qs, **fields):
    """(result, wall seconds, CPU seconds) of one search of every query."""
    wall, cpu = time.perf_counter(), time.process_time()
    result = db.search(qs, **fields)
    return result, time.perf_counter() - wall, time.process_time() - cpu


UNRELATED_TM = 0.5  # database_set's SAME_FOLD_TM, normalised by the domain here


def unrelated_decoys(args, decoys, structures, scratch):
    """The decoys whose source chain shares no fold with a SCOP40 domain (see the module's
    text); the screen of the sources is kept in scratch/scop_screen.tsv."""
    import database_set as ds
    sources = ds.screened_sources(args.decoys)
    screen = scratch / "scop_screen.tsv"
    known = {}
    if screen.exists():
        for line in screen.read_text().splitlines()[1:]:
            path, chain, tm = line.split("\t")
            known[(path, chain)] = float(tm)
    todo = [src for src in sources if src not in known]
    if todo:
        print(f"screening {len(todo)} decoy sources against SCOP40 ...", file=sys.stderr)
        for k, (path, chain) in enumerate(todo):
            s = keldascope.read_structure(path, chain)
            hits = keldascope.search(s, structures, max_hits=40, threads=args.threads).hits
            known[(path, chain)] = max((h.tm_score_b for h in hits), default=0.0)
            if (k + 1) % 100 == 0:
                print(f"  {k + 1}/{len(todo)}", file=sys.stderr)
        scratch.mkdir(parents=True, exist_ok=True)
        screen.write_text("path\tchain\tbest_tm_by_domain\n" + "".join(
            f"{p}\t{c}\t{tm:.4f}\n" for (p, c), tm in known.items()))
    kept = {i for i, src in enumerate(sources) if known[src] < UNRELATED_TM}
    out = []
    for path in decoys:
        k = int(path.name.split(".")[0].split("_")[1])
        if ds.decoy_plan(k, len(sources), args.seed)[0] in kept:
            out.append(path)
    print(f"decoy sources sharing no fold with SCOP40: {len(kept)} of {len(sources)}; "
          f"their decoys: {len(out)} of {len(decoys)}", file=sys.stderr)
    return out


def large(args, doms, files, structures):
    """The default search in a database of --size entries against the exhaustive search."""
    import database_set as ds
    rows = ds.read_set(args.decoys)
    scratch = pathlib.Path(args.scratch)
    decoys = unrelated_decoys(args, [pathlib.Path(r[0]) for r in rows if r[1] == "decoy"],
                              structures, scratch)
    (scratch / "reversed").mkdir(parents=True, exist_ok=True)
    reversed_files = []
    for d, s in zip(doms, structures):
        path = scratch / "reversed" / f"rev_{d['sid']}.pdb"
        if not path.exists():
            write_reversed(s, path)
        reversed_files.append(path)
    small = files + reversed_files
    if args.size - len(small) > len(decoys):
        sys.exit(f"{args.decoys} holds {len(decoys)} decoys, fewer than --size needs")
    big_sources = small + decoys[:args.size - len(small)]
    queries = list(range(0, len(doms), 10))[::args.every]
    qs = [structures[q] for q in queries]
    print(f"SCOP40 in a large database: {len(doms)} domains, their {len(doms)} reversed "
          f"decoys and {len(big_sources) - len(small)} decoys of {args.decoys}; "
          f"{len(queries)} queries (every {10 * args.every}th domain by sid)")
    by_name = {f.name: i for i, f in enumerate(files)}

    def ranking(db, result):
        index = {k: by_name.get(pathlib.Path(src).name) for k, src in enumerate(db.sources)}
        return {qi: [index[h.target] for h in found.hits if index[h.target] is not None]
                for qi, found in zip(queries, result)}

    big = large_database(scratch / f"scop{len(big_sources)}.db", big_sources)
    found, wall, cpu = timed_search(big, qs, max_hits=args.max_hits, threads=args.threads)
    aligned = sum(r.n_aligned for r in found) / len(qs)
    lines = [f"default, {len(big)} entries: {wall / len(qs):.2f} s a query "
             f"({cpu / len(qs):.2f} CPU s, {args.threads} threads), {aligned:.0f} aligned a "
             f"query, peak {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MB "
             f"(this process)"]
    sens = [("default", len(big), sensitivities(ranking(big, found), queries, doms))]
    if not args.staged_only:
        with tempfile.TemporaryDirectory(prefix="bench-scop-") as tmp:
            db = keldascope.Database.create(str(pathlib.Path(tmp) / "scop.db"),
                                            [str(f) for f in small])
            found, wall, cpu = timed_search(db, qs, max_hits=len(db), threads=args.threads,
                                            exhaustive=True)
            lines.append(f"--exhaustive, {len(db)} entries: {wall / len(qs):.2f} s a query "
                         f"({cpu / len(qs):.2f} CPU s)")
            sens.append(("--exhaustive", len(db), sensitivities(ranking(db, found), queries,
                                                                doms)))
    for line in lines:
        print("  " + line)
    print()
    print(table([(name, str(n), *(f"{s[lv]:.3f}" for lv in LEVELS)) for name, n, s in sens],
                ("search", "entries", *LEVELS)))
    if len(sens) == 2:
        print()
        print("target: the default search within 0.01 of --exhaustive at each level")
        for lv in LEVELS:
            loss = sens[1][2][lv] - sens[0][2][lv]
            print(f"  {lv}: {sens[0][2][lv]:.3f} vs {sens[1][2][lv]:.3f} (loss {loss:+.3f}): "
                  f"{'met' if loss <= 0.01 else 'MISSED'}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--cached-only", action="store_true")
    ap.add_argument("--staged-only", action="store_true")
    ap.add_argument("--decoys", help="a bench/database_set.py folder whose decoys fill a large "
                                     "database")
    ap.add_argument("--size", type=int, default=200000, help="entries of the large database")
    ap.add_argument("--scratch", default="/tmp/malven-bench-scop",
                    help="where the large database is built and kept")
    ap.add_argument("--every", type=int, default=1, help="with --decoys: every K'th query")
    ap.add_argument("--seed", type=int, default=1, help="with --decoys: the seed SET was written with")
    ap.add_argument("--max-hits", type=int, default=5000,
                    help="with --decoys: hits kept a query in the large database")
    args = ap.parse_args()
    if not (SCOP / "labels.tsv").exists():
        sys.exit(f"no SCOP40 data at {SCOP}")
    if args.decoys:
        doms = labels()
        files = [SCOP / "pdb" / d["file"] for d in doms]
        return large(args, doms, files, [keldascope.read_structure(str(f)) for f in files])
    doms = labels()
    files = [SCOP / "pdb" / d["file"] for d in doms]
    queries = list(range(0, len(doms), 10))
    pairs = [(files[q], files[t]) for q in queries for t in range(len(doms))]
    if args.cached_only:
        cache = CACHE / "tmalign" / "scop40.tsv"
        known = set()
        if cache.exists():
            known = {tuple(line.split("\t")[:2]) for line in cache.read_text().splitlines()}
        queries = [q for q in queries
                   if all((_key(files[q]), _key(f)) in known for f in files)]
        pairs = [(files[q], files[t]) for q in queries for t in range(len(doms))]
    print(f"SCOP40: {len(doms)} domains, {len(queries)} queries (every 10th by sid"
          + (", those TMalign has cached" if args.cached_only else "") + ")")
    if not queries:
        sys.exit("no query to run")
    tm = tmalign_pairs(pairs, "scop40")

    structures = [keldascope.read_structure(str(f)) for f in files]
    lengths = [len(s.domain) for s in structures]
    with tempfile.TemporaryDirectory(prefix="bench-scop-") as scratch:
        scratch = pathlib.Path(scratch)
        (scratch / "decoys").mkdir()
        decoys = []
        for d, s in zip(doms, structures):
            path = scratch / "decoys" / f"rev_{d['sid']}.pdb"
            write_reversed(s, path)
            decoys.append(path)
        db = keldascope.Database.create(str(scratch / "scop.db"),
                                        [str(f) for f in files + decoys])
        n_db = len(db)
        by_name = {f.name: i for i, f in enumerate(files)}
        # entry -> domain index, or None for a decoy
        index = {k: by_name.get(pathlib.Path(src).name) for k, src in enumerate(db.sources)}
        qs = [structures[q] for q in queries]
        runs = {}
        kinds = [("default", {})] + ([] if args.staged_only else
                                     [("exhaustive", dict(exhaustive=True))])
        for name, fields in kinds:
            start = time.perf_counter()
            runs[name] = db.search(qs, max_hits=n_db, threads=args.threads, **fields)
            print(f"  {name}: {time.perf_counter() - start:.1f} s "
                  f"({(time.perf_counter() - start) / len(qs):.2f} s a query)")

    def ours(result, key=None):
        out = {}
        for qi, found in zip(queries, result):
            hits = list(found.hits)
            if key is not None:
                hits.sort(key=key)
            out[qi] = [index[h.target] for h in hits if index[h.target] is not None]
        return out

    def tmalign_ranking(key):
        out = {}
        for qi in queries:
            scored = [(key(tm[(files[qi], files[t])], lengths[qi], lengths[t]), t)
                      for t in range(len(doms)) if tm[(files[qi], files[t])] is not None]
            out[qi] = [t for _, t in sorted(scored, key=lambda x: (-x[0], x[1]))]
        return out

    def longer(r, lq, lt):
        return r[1] if lt > lq else r[0]

    rows = [("ours, staged (default: E-value)", ours(runs["default"]))]
    if "exhaustive" in runs:
        rows += [("ours, --exhaustive (E-value)", ours(runs["exhaustive"])),
                 ("ours, --exhaustive, by TM longer (former rule)",
                  ours(runs["exhaustive"],
                       key=lambda h: -h.tm_score(keldascope.NormaliseBy.LONGER)))]
    rows += [("TMalign, by TM query", tmalign_ranking(lambda r, lq, lt: r[0])),
            ("TMalign, by TM longer", tmalign_ranking(longer)),
            ("TMalign, by mean TM", tmalign_ranking(lambda r, lq, lt: (r[0] + r[1]) / 2))]
    sens = [(name, sensitivities(ranking, queries, doms)) for name, ranking in rows]
    print()
    print(table([(name, *(f"{s[lv]:.3f}" for lv in LEVELS)) for name, s in sens],
                ("ranking", *LEVELS)))
    best = {lv: max(s[lv] for name, s in sens if name.startswith("TMalign")) for lv in LEVELS}
    mine = sens[0][1]
    print()
    print("targets (our default against TM-align's best ranking per level):")
    for lv, rule in (("family", "within 0.01"), ("superfamily", "at least"), ("fold", "at least")):
        ok = mine[lv] >= best[lv] - (0.01 if lv == "family" else 0.0)
        print(f"  {lv}: {mine[lv]:.3f} vs {best[lv]:.3f} ({rule}): {'met' if ok else 'MISSED'}")

    print()
    diagnose(runs["default"], queries, doms, files, index, tm)

    print()
    print(f"E-value calibration: false positives (another fold or a decoy) per query among hits "
          f"with E <= x, in the database of {n_db} ({len(doms)} SCOP40 domains, "
          f"{len(doms)} reversed decoys)")
    cal = []
    for name in runs:
        for x in THRESHOLDS:
            fp = decoy = 0
            for qi, found in zip(queries, runs[name]):
                for h in found.hits:
                    if h.evalue is None or h.evalue > x:
                        continue
                    ti = index[h.target]
                    if ti is None:
                        fp += 1
                        decoy += 1
                    elif ti != qi and relation(doms[qi], doms[ti]) == "fp":
                        fp += 1
            per = fp / len(queries)
            ok = per <= 3 * x
            cal.append((name, f"{x:g}", str(fp), str(decoy), f"{per:.4f}",
                        f"{per / x:.2f}", "met" if ok else "MISSED"))
    print(table(cal, ("search", "E <= x", "FP", "of them decoys", "FP/query", "ratio to x",
                      "<= 3x")))


if __name__ == "__main__":
    main()
