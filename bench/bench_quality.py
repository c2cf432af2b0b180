"""Pairwise alignment quality and speed of the robust engine beside TM-align, in one run.

For every ordered pair of six families of ../shared/data (FAMILIES.tsv suggested cores):
our engine (keldascope.align, in this process), Debian's `TMalign` command and, in this
process too, tmtools (TM-align's algorithm as a Python extension), on the same chains.
Per family: pairs aligned, mean TM-score normalised by the first structure (ours beside
TM-align's), pairs where ours is at least TM-align's minus 0.01, median time per pair and
the ratios. Then 200 fixed cross-family pairs: how many pass the same-fold rule.

    python bench/bench_quality.py [--repeat 3] [--families globins,kringle,...]

Needs TMalign (apt-get install tm-align) and tmtools (pip install tmtools); either missing
is reported and its columns left empty."""
import argparse
import itertools
import pathlib
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import keldascope
from common import CROSS_SEED, N_CROSS, SHARED, quality_families, table

def cross_pairs(fam):
    rng = random.Random(CROSS_SEED)
    labels = sorted(fam)
    seen = []
    while len(seen) < N_CROSS:
        la, lb = rng.sample(labels, 2)
        pair = (rng.choice(fam[la][0]), fam[la][1], rng.choice(fam[lb][0]), fam[lb][1])
        if pair not in seen:
            seen.append(pair)
    return seen


def best_time(fn, repeat):
    best, value = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        value = fn()
        best = min(best, time.perf_counter() - start)
    return value, best


class TMalignCommand:
    """Debian's TMalign on one chain of each file (written out when a chain is chosen)."""

    def __init__(self, work):
        self.exe = shutil.which("TMalign")
        self.work = work
        self.files = {}

    def file(self, path, chain):
        if chain is None:
            return str(path)
        key = (path, chain)
        if key not in self.files:
            out = self.work / f"{path.stem}_{chain}.pdb"
            lines = []
            for line in open(path):
                if line.startswith("ENDMDL") and lines:
                    break
                if line.startswith(("ATOM", "HETATM")) and line[21] == chain:
                    lines.append(line)
            out.write_text("".join(lines) + "END\n")
            self.files[key] = str(out)
        return self.files[key]

    def align(self, a, ca, b, cb):
        text = subprocess.run([self.exe, self.file(a, ca), self.file(b, cb)], check=True,
                              stdout=subprocess.PIPE, universal_newlines=True).stdout
        return float(re.search(r"TM-score= ([0-9.]+) \(if normalized by length of Chain_1", text)[1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=3, help="timed runs per pair, fastest kept")
    ap.add_argument("--families", help="comma-separated labels (default: all six)")
    args = ap.parse_args()
    if not (SHARED / "FAMILIES.tsv").exists():
        sys.exit(f"no FAMILIES.tsv under {SHARED}")
    every = quality_families()
    fam = every
    if args.families:
        fam = {k: v for k, v in every.items() if k in args.families.split(",")}
    try:
        import tmtools
    except ImportError:
        tmtools = None
        print("tmtools is not installed: its columns stay empty (pip install tmtools)")
    work = tempfile.TemporaryDirectory(prefix="bench-quality-")
    tm_cmd = TMalignCommand(pathlib.Path(work.name))
    if tm_cmd.exe is None:
        print("TMalign is not installed: its columns stay empty (apt-get install tm-align)")

    cache = {}

    def structure(path, chain):
        if (path, chain) not in cache:
            cache[(path, chain)] = keldascope.read_structure(str(path), chain)
        return cache[(path, chain)]

    def run_pair(a, ca, b, cb):
        s1, s2 = structure(a, ca), structure(b, cb)
        ours, t_ours = best_time(lambda: keldascope.align(s1, s2), args.repeat)
        row = {"ours": ours, "t_ours": t_ours, "tmalign": None, "t_tmalign": None,
               "t_tmtools": None}
        if tm_cmd.exe:
            row["tmalign"], row["t_tmalign"] = best_time(lambda: tm_cmd.align(a, ca, b, cb), 1)
        if tmtools is not None:
            x1, x2 = s1.domain.coordinates, s2.domain.coordinates
            q1, q2 = s1.domain.sequence, s2.domain.sequence
            _, row["t_tmtools"] = best_time(lambda: tmtools.tm_align(x1, x2, q1, q2), args.repeat)
        return row

    header = ["family", "pairs", "aligned", "TM ours", "TM TM-align", ">= TM-align-0.01",
              "ms ours", "ms tmtools", "ms TMalign", "tmtools/ours", "TMalign/ours"]
    rows, all_within, all_pairs = [], 0, 0
    for label, (files, chain) in fam.items():
        results = [run_pair(a, chain, b, chain) for a, b in itertools.permutations(files, 2)]
        n = len(results)
        aligned = sum(r["ours"].aligned for r in results)
        mean_ours = statistics.mean(r["ours"].tm_score_a for r in results)
        have_tm = all(r["tmalign"] is not None for r in results)
        mean_tm = statistics.mean(r["tmalign"] for r in results) if have_tm else None
        within = sum(r["ours"].tm_score_a >= r["tmalign"] - 0.01 for r in results) if have_tm else None
        ms = statistics.median(1e3 * r["t_ours"] for r in results)
        ms_tt = statistics.median(1e3 * r["t_tmtools"] for r in results) if tmtools else None
        ms_tc = statistics.median(1e3 * r["t_tmalign"] for r in results) if have_tm else None
        all_pairs += n
        all_within += within or 0
        rows.append([label, n, aligned, f"{mean_ours:.4f}", f"{mean_tm:.4f}" if have_tm else "-",
                     f"{within}/{n}" if have_tm else "-", f"{ms:.2f}",
                     f"{ms_tt:.2f}" if ms_tt else "-", f"{ms_tc:.1f}" if ms_tc else "-",
                     f"{ms_tt / ms:.1f}x" if ms_tt else "-", f"{ms_tc / ms:.1f}x" if ms_tc else "-"])
        print(f"... {label} done", file=sys.stderr)
    print(table(rows, header))
    if tm_cmd.exe:
        print(f"\nPairs with TM-score at least TM-align's minus 0.01: {all_within}/{all_pairs} "
              f"({100.0 * all_within / all_pairs:.1f}%; target 99%)")

    cross = [run_pair(a, ca, b, cb) for a, ca, b, cb in cross_pairs(every)]
    significant = sum(r["ours"].same_fold for r in cross)
    rule = keldascope.EngineSettings()
    print(f"\nCross-family pairs ({len(cross)}, seed {CROSS_SEED}): {significant} significant "
          f"under the same-fold rule (TM-score by the longer structure >= "
          f"{rule.same_fold_tm}, or Sc >= {rule.same_fold_sc}); target at most 1%")
    longer = keldascope.NormaliseBy.LONGER
    print(f"  largest Sc {max(r['ours'].sc for r in cross):.3f}, largest TM-score by the longer "
          f"{max(r['ours'].tm_score(longer) for r in cross):.3f}")
    work.cleanup()


if __name__ == "__main__":
    main()
