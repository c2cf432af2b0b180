"""Helpers shared by the benchmarks: timing, data discovery and a plain-text table."""
import os
import pathlib
import statistics
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The shared structures beside the checkout, or where MALVEN_SHARED_DATA says (as for the tests).
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
