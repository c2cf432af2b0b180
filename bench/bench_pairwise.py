"""Pairwise alignment speed against TM-align on real structure pairs, in one run.

For every pair (skipped when a file is absent) it times, from the same two PDB files:
  - malven: reading both files with Domain.from_pdb, then pairwise_align, with
    scan_mode=False and scan_mode=True;
  - TM-align (Debian package tm-align): one TMalign process, whose time includes its
    process start and its own file reading;
and prints both medians and their ratio, plus the cost of one refinement iteration in
nanoseconds per evaluated band cell (similarity and dynamic programme together), measured
on the pair after placement with max_iter=1.

    python bench/bench_pairwise.py [--repeat N]
"""
import argparse
import math
import shutil
import subprocess
import sys

import malven
from common import SHARED, median_time, table

PAIRS = [
    ("debian/1sp1.pdb", "debian/1sp2.pdb"),
    ("debian/1sp1.pdb", "debian/3znf.pdb"),
    ("caretta/antifreeze/1msi.pdb", "caretta/antifreeze/1ops.pdb"),
    ("caretta/kringle/1kdu.pdb", "caretta/kringle/1pk4.pdb"),
    ("debian/il2.pdb", "debian/1tii.pdb"),
    ("debian/1ni7.pdb", "debian/5eep.pdb"),
    ("debian/5eep.pdb", "debian/1ni7.pdb"),
    ("foldseek/d1asha_.pdb", "foldseek/d1b0ba_.pdb"),
    ("foldseek/d1h97a_.pdb", "foldseek/d1x9fc_.pdb"),
    ("foldmason_analysis/globins/1mbn.pdb", "foldmason_analysis/globins/2hhb.pdb"),
]


def band_cells(n_a, n_b, base=100.0):
    """Cells of the dynamic programme's band for chains of n_a and n_b residues."""
    w = base + abs(n_a - n_b - 4)
    t, u = n_a + 2.0, n_b + 2.0
    v = (w / math.sqrt(2.0)) * (t / u + u / t) / math.sqrt(t * t + u * u)
    return sum(1 for b in range(1, n_b + 1) for a in range(1, n_a + 1) if abs(a / t - b / u) <= v)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5, help="timing rounds per median")
    args = ap.parse_args()
    tmalign = shutil.which("TMalign")
    if tmalign is None:
        sys.exit("TMalign not found: apt-get install tm-align")
    rows = []
    for fa, fb in PAIRS:
        pa, pb = SHARED / fa, SHARED / fb
        if not (pa.exists() and pb.exists()):
            print(f"skipped {fa} / {fb}: absent", file=sys.stderr)
            continue
        da, db = malven.Domain.from_pdb(str(pa)), malven.Domain.from_pdb(str(pb))

        def ours(scan):
            a, b = malven.Domain.from_pdb(str(pa)), malven.Domain.from_pdb(str(pb))
            return malven.pairwise_align(a, b, scan_mode=scan)

        def theirs():
            subprocess.run([tmalign, str(pa), str(pb)], check=True, capture_output=True)

        direct = median_time(lambda: ours(False), repeat=args.repeat)
        scan = median_time(lambda: ours(True), repeat=args.repeat)
        tm = median_time(theirs, repeat=args.repeat)

        # One iteration on the placed pair, per band cell.
        placed = malven.pairwise_align(da, db, scan_mode=True)
        moved = malven.Domain.from_arrays("moved", placed.get_transformed_coordinates(db),
                                          db.sequence)
        one = malven.Parameters()
        one.max_iter = 1
        iteration = median_time(lambda: malven.pairwise_align(da, moved, one), repeat=args.repeat)
        per_cell = iteration / band_cells(len(da), len(db)) * 1e9

        rows.append((f"{fa} / {pb.stem}", len(da), len(db), f"{placed.score:.3f}",
                     f"{direct * 1e3:.2f}", f"{scan * 1e3:.2f}", f"{tm * 1e3:.2f}",
                     f"{tm / scan:.1f}x", f"{per_cell:.2f}"))
    print(table(rows, ["pair", "n_a", "n_b", "Sc (scan)", "direct ms", "scan ms", "TMalign ms",
                       "TMalign/scan", "ns/cell/iter"]))


if __name__ == "__main__":
    main()
