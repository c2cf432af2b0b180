"""align_pdbs against MUSTANG on real families of 5 to 12 members, in one run.

Prints, per family, the median wall time of `malven.align_pdbs` (reading the files,
placing, aligning and writing the superposed files, single-threaded in this process),
MUSTANG's wall time on the same files (process start included), their ratio, and our
core size and average RMSD for orientation.

    python bench/bench_msa.py [--repeat N] [--families NAME ...]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import malven
from common import SHARED, table

DEFAULT = ["antifreeze_type_III", "ef_hand_calmodulin_like", "lipocalin_odorant_binding",
           "kringle", "globins_scop_domains", "PF00040_fibronectin_type_II", "PF00531_death_domain",
           "PF00241_cofilin_ADF", "PF01850_PIN_domain", "TNFR_cysteine_rich_domain"]


def families():
    path = SHARED / "FAMILIES.tsv"
    if not path.exists():
        return {}
    rows = [line.split("\t") for line in path.read_text().splitlines()[1:] if line.strip()]
    return {r[0]: [SHARED / f for f in r[4].split()] for r in rows}


def timed(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--families", nargs="*", default=DEFAULT)
    args = ap.parse_args()
    mustang = shutil.which("mustang")
    if not mustang:
        sys.exit("MUSTANG is needed: apt-get install mustang")
    fams = families()
    rows = []
    for name in args.families:
        files = [f for f in fams.get(name, []) if f.exists()][:12]
        if len(files) < 2:
            print(f"skipping {name}: files absent", file=sys.stderr)
            continue
        paths = [str(f) for f in files]
        with tempfile.TemporaryDirectory() as tmp:
            ours, result = timed(lambda: malven.align_pdbs(paths, os.path.join(tmp, "malven")), args.repeat)
            cmd = [mustang, "-i", *paths, "-o", os.path.join(tmp, "mustang"), "-F", "fasta"]
            theirs, proc = timed(lambda: subprocess.run(cmd, capture_output=True, cwd=tmp), 1)
            ok = proc.returncode == 0
        rows.append((name, len(files), f"{ours:.3f}", f"{theirs:.3f}" + ("" if ok else " (failed)"),
                     f"{theirs / ours:.1f}x", result.n_core, f"{result.avg_rmsd:.2f}"))
        print(f"done {name}", file=sys.stderr)
    print(table(rows, ["family", "n", "malven s", "MUSTANG s", "malven faster by", "core", "avg RMSD"]))


if __name__ == "__main__":
    main()
