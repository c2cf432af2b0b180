"""Evaluation of the robust pairwise engine against TM-align and tmtools (development aid).

Writes the ordered pairs of six families and 200 fixed cross-family pairs, runs Debian's
`TMalign A B` on each (TM-scores normalised by chain 1 cached under /tmp), runs the C++
driver bench/robust_eval.cpp on the same pairs, and prints per family: pairs aligned, mean
TM-score ours against TM-align's, pairs within 0.01 of TM-align, median ms per pair ours and
tmtools' (in-process, on a few pairs per family), and the cross-family significance figures.

    python bench/robust_eval.py [--driver build/core-tests/robust_eval] [--tmtools-pairs 6]

(the driver is built with the core configured with -DKELDA_BUILD_BENCH=ON, as
scripts/run-tests configures build/core-tests)

tmtools' times are cached in /tmp/robust_eval/tmtools_ms.json (--retime to measure again);
the driver's settings can be overridden with ROBUST_* variables (see robust_eval.cpp) for
experiments. "n close" is the mean of pairs within 5 A, "n KELDA" and "TM KELDA" the
KELDA refinement's pairs and their TM-score, for the choice of the reported alignment.
"""
import argparse
import itertools
import json
import pathlib
import random
import re
import statistics
import subprocess
import sys
import time

from common import CROSS_SEED, N_CROSS, QUALITY_FAMILIES, SHARED, quality_families

ROOT = pathlib.Path(__file__).resolve().parent.parent
WORK = pathlib.Path("/tmp/robust_eval")


def members():
    """The families as the driver and TMalign take them: paths as text, "-" for the first
    chain."""
    return {label: ([str(p) for p in files], chain or "-")
            for label, (files, chain) in quality_families().items()}


def pair_list(fam):
    pairs = []
    for label, (files, chain) in fam.items():
        for a, b in itertools.permutations(files, 2):
            pairs.append((label, a, chain, b, chain))
    rng = random.Random(CROSS_SEED)
    labels = sorted(fam)
    seen = set()
    while len(seen) < N_CROSS:
        la, lb = rng.sample(labels, 2)
        a, b = rng.choice(fam[la][0]), rng.choice(fam[lb][0])
        if (a, b) in seen:
            continue
        seen.add((a, b))
        pairs.append(("cross", a, fam[la][1], b, fam[lb][1]))
    return pairs


def chain_file(path, chain):
    """The file TMalign reads: the original, or its ATOM lines of one chain."""
    if chain == "-":
        return path
    out = WORK / "chains" / (pathlib.Path(path).stem + "_" + chain + ".pdb")
    if not out.exists():
        out.parent.mkdir(parents=True, exist_ok=True)
        lines = []
        for line in open(path):
            if line.startswith("ENDMDL") and lines:
                break
            if line.startswith("ATOM") and line[21] == chain:
                lines.append(line)
        out.write_text("".join(lines) + "END\n")
    return str(out)


def tmalign_scores(pairs):
    cache_file = WORK / "tmalign_cache.tsv"
    cache = {}
    if cache_file.exists():
        for line in cache_file.read_text().splitlines():
            a, b, tm = line.split("\t")
            cache[(a, b)] = float(tm)
    with open(cache_file, "a") as out:
        for _, a, ca, b, cb in pairs:
            fa, fb = chain_file(a, ca), chain_file(b, cb)
            if (fa, fb) in cache:
                continue
            text = subprocess.run(["TMalign", fa, fb], capture_output=True, text=True).stdout
            m = re.search(r"TM-score= ([0-9.]+) \(if normalized by length of Chain_1", text)
            cache[(fa, fb)] = float(m.group(1))
            out.write(f"{fa}\t{fb}\t{cache[(fa, fb)]}\n")
    return [cache[(chain_file(a, ca), chain_file(b, cb))] for _, a, ca, b, cb in pairs]


def ca_trace(path, chain):
    coords, seq = [], []
    codes = dict(ALA="A", ARG="R", ASN="N", ASP="D", CYS="C", GLN="Q", GLU="E", GLY="G",
                 HIS="H", ILE="I", LEU="L", LYS="K", MET="M", PHE="F", PRO="P", SER="S",
                 THR="T", TRP="W", TYR="Y", VAL="V")
    first = None
    for line in open(path):
        if line.startswith("ENDMDL") and coords:
            break
        if not line.startswith("ATOM") or line[12:16] != " CA " or line[16] not in " A":
            continue
        first = first or line[21]
        if line[21] != (first if chain == "-" else chain):
            continue
        coords.append([float(line[30:38]), float(line[38:46]), float(line[46:54])])
        seq.append(codes.get(line[17:20], "X"))
    return coords, "".join(seq)


def tmtools_ms(pairs, per_family):
    import numpy as np
    import tmtools
    times = {}
    for label in dict.fromkeys(p[0] for p in pairs):
        fam_pairs = [p for p in pairs if p[0] == label][:: max(1, 1)]
        rng = random.Random(1)
        chosen = rng.sample(fam_pairs, min(per_family, len(fam_pairs)))
        ms = []
        for _, a, ca, b, cb in chosen:
            (x, s), (y, t) = ca_trace(a, ca), ca_trace(b, cb)
            x, y = np.array(x), np.array(y)
            best = 1e9
            for _ in range(3):
                t0 = time.perf_counter()
                tmtools.tm_align(x, y, s, t)
                best = min(best, time.perf_counter() - t0)
            ms.append(best * 1e3)
        times[label] = statistics.median(ms)
    return times


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--driver", default=str(ROOT / "build/core-tests/robust_eval"))
    ap.add_argument("--tmtools-pairs", type=int, default=6)
    ap.add_argument("--results", default=str(WORK / "results.tsv"))
    ap.add_argument("--reuse", action="store_true", help="read results instead of running")
    ap.add_argument("--repeats", type=int, default=3, help="runs per pair; the fastest counts")
    ap.add_argument("--retime", action="store_true", help="time tmtools again (else cached)")
    args = ap.parse_args()
    if not (SHARED / "FAMILIES.tsv").exists():
        sys.exit("shared data absent")
    WORK.mkdir(parents=True, exist_ok=True)
    fam = members()
    pairs = pair_list(fam)
    (WORK / "pairs.tsv").write_text("".join("\t".join(p) + "\n" for p in pairs))
    ref = tmalign_scores(pairs)
    if not args.reuse:
        with open(args.results, "w") as out:
            subprocess.run([args.driver, str(WORK / "pairs.tsv"), str(args.repeats)], stdout=out,
                           check=True)
    rows = [line.split("\t") for line in pathlib.Path(args.results).read_text().splitlines()]
    head, rows = rows[0], rows[1:]
    col = {h: k for k, h in enumerate(head)}
    cache = WORK / "tmtools_ms.json"
    if args.retime or not cache.exists():
        cache.write_text(json.dumps(tmtools_ms([p for p in pairs if p[0] != "cross"], args.tmtools_pairs)))
    tmt = json.loads(cache.read_text())
    print(f"{'family':10} {'pairs':>5} {'aligned':>7} {'TM ours':>8} {'TM-align':>8} "
          f"{'within.01':>9} {'worse.01':>8} {'ms ours':>8} {'ms tmtools':>10} {'ratio':>6} "
          f"{'n close':>7} {'n KELDA':>7} {'TM KELDA':>8}")
    worst = []
    for label in [f[0] for f in QUALITY_FAMILIES] + ["cross"]:
        idx = [k for k, p in enumerate(pairs) if p[0] == label]
        ours = [float(rows[k][col["tm_a"]]) for k in idx]
        theirs = [ref[k] for k in idx]
        aligned = sum(int(rows[k][col["aligned"]]) for k in idx)
        within = sum(abs(o - t) <= 0.01 for o, t in zip(ours, theirs))
        worse = sum(o < t - 0.01 for o, t in zip(ours, theirs))
        ms = statistics.median(float(rows[k][col["ms"]]) for k in idx)
        t_ms = tmt.get(label)
        n_close = statistics.mean(int(rows[k][col["n_aligned"]]) for k in idx)
        n_kelda = statistics.mean(int(rows[k][col["kelda_pairs"]]) for k in idx)
        tm_kelda = statistics.mean(float(rows[k][col["kelda_tm_a"]]) for k in idx)
        print(f"{label:10} {len(idx):5} {aligned:7} {statistics.mean(ours):8.5f} "
              f"{statistics.mean(theirs):8.5f} {within:9} {worse:8} {ms:8.2f} "
              + (f"{t_ms:10.2f} {t_ms / ms:6.1f} " if t_ms else " " * 18)
              + f"{n_close:7.1f} {n_kelda:7.1f} {tm_kelda:8.4f}")
        if label != "cross":
            worst += [(o - t, rows[k][1], rows[k][2]) for k, o, t in zip(idx, ours, theirs)]
    cross = [k for k, p in enumerate(pairs) if p[0] == "cross"]
    fam_idx = [k for k, p in enumerate(pairs) if p[0] != "cross"]
    def q(values, f):
        v = sorted(values)
        return v[min(len(v) - 1, int(f * len(v)))]
    for name in ("tm_a", "tm_b", "sc"):
        neg = [float(rows[k][col[name]]) for k in cross]
        pos = [float(rows[k][col[name]]) for k in fam_idx]
        print(f"{name}: cross p95 {q(neg, .95):.3f} max {max(neg):.3f}; family p05 {q(pos, .05):.3f} "
              f"p01 {q(pos, .01):.3f} min {min(pos):.3f}")
    tml = [max(float(rows[k][col["tm_a"]]), float(rows[k][col["tm_b"]])) for k in cross]
    tms = [min(float(rows[k][col["tm_a"]]), float(rows[k][col["tm_b"]])) for k in cross]
    print(f"cross: significant {sum(int(rows[k][col['significant']]) for k in cross)} of {len(cross)}; "
          f"TM by the shorter >= 0.5: {sum(x >= 0.5 for x in tml)}; by the longer >= 0.5: {sum(x >= 0.5 for x in tms)}; "
          f"TM-align (chain 1) >= 0.5: {sum(ref[k] >= 0.5 for k in cross)}")
    print("family pairs significant:", sum(int(rows[k][col["significant"]]) for k in fam_idx), "of", len(fam_idx))
    worst.sort()
    print("largest shortfalls against TM-align:")
    for d, a, b in worst[:8]:
        print(f"  {d:+.4f} {pathlib.Path(a).name} {pathlib.Path(b).name}")


if __name__ == "__main__":
    main()
