"""Helpers shared by the benchmarks: timing, data discovery and a plain-text table."""
import argparse
import os
import pathlib
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The shared structures beside the checkout, or where MALVEN_SHARED_DATA says (as the tests).
SHARED = pathlib.Path(os.environ.get("MALVEN_SHARED_DATA", ROOT.parent / "shared" / "data"))


def median_time(fn, repeat=5, min_time=0.2):
    """Median wall time of fn() over `repeat` rounds, each looping for at least min_time."""
    times = []
    for _ in range(repeat):
        n, start = 0, time.perf_counter()
        while True:
            fn()
            n += 1
            elapsed = time.perf_counter() - start
            if elapsed >= min_time:
                break
        times.append(elapsed / n)
    return statistics.median(times)


def manifest():
    """Rows of the shared MANIFEST.tsv as dicts; empty when the data is absent."""
    path = SHARED / "MANIFEST.tsv"
    if not path.exists():
        return []
    lines = path.read_text().splitlines()
    head = lines[0].split("\t")
    return [dict(zip(head, line.split("\t"))) for line in lines[1:] if line.strip()]


def reading_benchmark(description, suffix=None):
    """The reading benchmarks' command line (--top N) and what they read: (gemmi, the N
    largest structure files of the shared data, those ending in `suffix` where given)."""
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--top", type=int, default=8, help="how many of the largest files")
    args = ap.parse_args()
    try:
        import gemmi
    except ImportError:
        sys.exit("gemmi is needed for this benchmark: pip install gemmi")
    files = [SHARED / row["file"] for row in manifest()]
    files = [f for f in files if f.exists() and (suffix is None or f.suffix == suffix)]
    files = sorted(files, key=lambda f: f.stat().st_size)[-args.top:]
    if not files:
        sys.exit(f"no structures under {SHARED}")
    return gemmi, files


# The six families the pairwise quality benchmarks align, as (label, FAMILIES.tsv name, the
# chain to read or None for each file's first), and their fixed draw of cross-family pairs.
QUALITY_FAMILIES = [
    ("globins", "globins_full_entries", "A"),
    ("kringle", "kringle", None),
    ("PF00531", "PF00531_death_domain", None),
    ("PF00241", "PF00241_cofilin_ADF", None),
    ("PF03143", "PF03143_EF-Tu_domain_3", None),
    ("PF00047", "PF00047_immunoglobulin_domain", None),
]
CROSS_SEED = 20261208
N_CROSS = 200


def quality_families():
    """{label: (member paths, chain)} of QUALITY_FAMILIES that FAMILIES.tsv lists."""
    rows = {}
    for line in (SHARED / "FAMILIES.tsv").read_text().splitlines()[1:]:
        cols = line.split("\t")
        rows[cols[0]] = [SHARED / p for p in cols[4].split()]
    return {label: (rows[name], chain) for label, name, chain in QUALITY_FAMILIES
            if name in rows}


def choose_queries(families, n):
    """The first member of every family of at least three, then the second, and so on."""
    by_family = {}
    for k, f in enumerate(families):
        by_family.setdefault(f, []).append(k)
    groups = [ks for ks in by_family.values() if len(ks) >= 3]
    queries, depth = [], 0
    while len(queries) < n and any(depth < len(g) for g in groups):
        queries += [g[depth] for g in groups if depth < len(g)][:n - len(queries)]
        depth += 1
    return queries


def table(rows, header):
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    out = ["  ".join(str(h).ljust(w) for h, w in zip(header, widths))]
    out += ["  ".join(str(c).rjust(w) for c, w in zip(r, widths)) for r in rows]
    return "\n".join(out)
