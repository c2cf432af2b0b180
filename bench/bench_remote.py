"""Remote homologs: the robust engine's TM-scores beside TM-align's on SCOP40 pairs of the same
superfamily (another family) and the same fold (another superfamily), in one run.

Queries: every 10th domain of ../shared/data/scop40/labels.tsv by sid (60); pairs: each query
with every domain of its fold outside its family. TMalign's figures come from
bench/tmalign_peer.py (`TMalign query target`, cached between runs; missing pairs are run
now). Ours: `align(target, query)`, which is `TMalign query target`, with the default settings
of one alignment (keldascope.align) and with the settings of a search (keldascope.search, the
engine on every target, the same orientation). Per level and settings: the share of pairs
whose TM-score is within 0.01 of TMalign's or above, normalised by the query and by the
longer structure (target: 95%), the mean difference, and the time per pair. The time ratio
comes from a fixed sample of pairs on which TMalign is run again, timed, in this run.

    python bench/bench_remote.py [--queries 60] [--timed 40] [--cached-only]

Needs TMalign (apt-get install tm-align)."""
import argparse
import os
import pathlib
import shutil
import statistics
import sys
import time

import keldascope
from common import SHARED, table
from tmalign_peer import run_pair, tmalign_pairs

SCOP = SHARED / "scop40"
LEVELS = ("superfamily", "fold")


def labels():
    rows = [line.split("\t") for line in (SCOP / "labels.tsv").read_text().splitlines()[1:]]
    return {r[0]: {"sid": r[1], "fold": r[4], "superfamily": r[5], "family": r[6]} for r in rows}


def remote_pairs(lab, n_queries):
    """(level, query file, target file) for every 10th domain by sid against its fold."""
    by_sid = sorted(lab, key=lambda f: lab[f]["sid"])
    out = []
    for q in by_sid[::10][:n_queries]:
        for t in sorted(lab):
            a, b = lab[q], lab[t]
            if t == q or a["fold"] != b["fold"] or a["family"] == b["family"]:
                continue
            out.append(("superfamily" if a["superfamily"] == b["superfamily"] else "fold", q, t))
    return out


def cached_keys():
    path = pathlib.Path(os.environ.get("MALVEN_BENCH_CACHE",
                                       pathlib.Path.home() / ".cache" / "malven-bench"))
    path = path / "tmalign" / "scop40.tsv"
    if not path.exists():
        return set()
    return {tuple(line.split("\t")[:2]) for line in path.read_text().splitlines()}


def key(path):
    return f"{path.name}#{path.stat().st_size}"


def timed(fn):
    start = time.perf_counter()
    value = fn()
    return value, time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--queries", type=int, default=60, help="queries (every 10th by sid)")
    ap.add_argument("--timed", type=int, default=40,
                    help="pairs of a fixed sample on which TMalign is timed")
    ap.add_argument("--cached-only", action="store_true",
                    help="only pairs whose TMalign figures are cached already")
    args = ap.parse_args()
    if not (SCOP / "labels.tsv").exists():
        sys.exit(f"no scop40/labels.tsv under {SHARED}")
    if shutil.which("TMalign") is None:
        sys.exit("TMalign is not installed (apt-get install tm-align)")
    lab = labels()
    pairs = remote_pairs(lab, args.queries)
    pdb = SCOP / "pdb"
    if args.cached_only:
        have = cached_keys()
        pairs = [p for p in pairs if (key(pdb / p[1]), key(pdb / p[2])) in have]
    peer = tmalign_pairs([(pdb / q, pdb / t) for _, q, t in pairs], "scop40")
    structures = {f: keldascope.read_structure(str(pdb / f)) for f in
                  sorted({f for _, q, t in pairs for f in (q, t)})}
    search_settings = keldascope.SearchSettings(prefilter=False, threads=1)

    rows = []
    for level, q, t in pairs:
        figures = peer[(pdb / q, pdb / t)]
        if figures is None:
            continue
        sq, st = structures[q], structures[t]
        ours, t_align = timed(lambda: keldascope.align(st, sq))
        found, t_search = timed(lambda: keldascope.search(st, [sq], search_settings))
        hit = found.hits[0]
        longer_is_q = len(sq.domain.sequence) > len(st.domain.sequence)
        rows.append({
            "level": level, "q": q, "t": t, "tm": figures[:2],
            # (by query, by the longer) of each.
            "peer": (figures[0], figures[0] if longer_is_q else figures[1]),
            "align": (ours.tm_score_b, ours.tm_score_b if longer_is_q else ours.tm_score_a),
            "search": (hit.tm_score_b, hit.tm_score_b if longer_is_q else hit.tm_score_a),
            "t_align": t_align, "t_search": t_search})
        if len(rows) % 100 == 0:
            print(f"... {len(rows)} pairs", file=sys.stderr)

    # TMalign timed on a fixed sample, both of ours on the same pairs.
    step = max(1, len(rows) // max(1, args.timed))
    sample = rows[::step][:args.timed]
    t_peer = sum(timed(lambda: run_pair(pdb / r["q"], pdb / r["t"]))[1] for r in sample)
    ratio = {s: t_peer / sum(r["t_" + s] for r in sample) for s in ("align", "search")}

    header = ["level", "settings", "pairs", "within 0.01 (by query)", "within 0.01 (by longer)",
              "mean diff (by query)", "ms a pair", "TMalign/ours"]
    out = []
    for level in LEVELS:
        at = [r for r in rows if r["level"] == level]
        if not at:
            continue
        for s, name in (("align", "align (default)"), ("search", "search")):
            within = [sum(r[s][k] >= r["peer"][k] - 0.01 for r in at) / len(at) for k in (0, 1)]
            diff = statistics.mean(r[s][0] - r["peer"][0] for r in at)
            ms = 1e3 * statistics.mean(r["t_" + s] for r in at)
            out.append([level, name, len(at), f"{within[0]:.3f}", f"{within[1]:.3f}",
                        f"{diff:+.4f}", f"{ms:.1f}", f"{ratio[s]:.1f}x"])
    print(table(out, header))
    print(f"\nTarget: within 0.01 of TMalign on at least 95% of pairs. Times: one thread; "
          f"TMalign/ours over {len(sample)} pairs on which TMalign ran in this run "
          f"({1e3 * t_peer / max(1, len(sample)):.0f} ms a pair, its process and file reading "
          f"included).")


if __name__ == "__main__":
    main()
