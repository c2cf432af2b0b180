"""TM-align's "Aligned length" and "RMSD" beside ours (`n_aligned_all`, `rmsd_all`) on pairs of
three domain families, TMalign run in the same run: `align(A, B)` against `TMalign B A`.

Three figures a pair: TMalign's; ours on our own alignment; and ours computed on TMalign's
alignment (its displayed pairs given to the same rule), which tests the rule apart from
the alignment. Where the two alignments agree (the pairs TMalign reports are those our rule
keeps of ours) the figures should agree too: the target is within 1 pair and 0.05 A.

    python bench/bench_tmalign_figures.py [--families PF00004,PF00047,PF01547] [--members 5]
"""
import argparse
import itertools
import os
import pathlib
import re
import shutil
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from common import SHARED, table  # noqa: E402

import keldascope  # noqa: E402
from keldascope import _native  # noqa: E402

DATA = pathlib.Path(os.environ.get("MALVEN_SHARED_DATA") or SHARED) / "tcoffee_strike2"
_FIGURES = re.compile(r"Aligned length=\s*(\d+), RMSD=\s*([0-9.]+)")


def tmalign(first, second):
    """TMalign's aligned length, RMSD and displayed pairs (index in `second`, in `first`):
    its Chain_1 is moved onto Chain_2, so these are (A, B) pairs for `TMalign B A`."""
    out = subprocess.run(["TMalign", str(first), str(second)], capture_output=True, text=True,
                         check=True).stdout
    length, rmsd = _FIGURES.search(out).groups()
    lines = out.splitlines()
    at = next(k for k, line in enumerate(lines) if line.startswith('(":"'))
    chain1, chain2 = lines[at + 1], lines[at + 3]
    pairs, i1, i2 = [], 0, 0
    for c1, c2 in zip(chain1, chain2):
        if c1 != "-" and c2 != "-":
            pairs.append((i2, i1))
        i1 += c1 != "-"
        i2 += c2 != "-"
    return int(length), float(rmsd), pairs


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--families", default="PF00004,PF00047,PF01547")
    ap.add_argument("--members", type=int, default=5, help="first members of each family")
    args = ap.parse_args()
    if shutil.which("TMalign") is None or not DATA.is_dir():
        sys.exit("needs TMalign on the PATH and the shared structures (MALVEN_SHARED_DATA)")
    rows, agreeing, agreeing_ok, rule_ok, total = [], 0, 0, 0, 0
    for family in args.families.split(","):
        members = sorted((DATA / family).glob("*.pdb"))[:args.members]
        for a, b in itertools.combinations(members, 2):
            r = keldascope.align(a, b)
            length, rmsd, tm_pairs = tmalign(b, a)
            if max(max(tm_pairs)) >= max(r.length_a, r.length_b):
                continue  # the two read the files' residues differently: not comparable
            rule_n, rule_rmsd, _ = _native.aligned_figures(r.structure_a.domain,
                                                           r.structure_b.domain, tm_pairs)
            kept = _native.aligned_figures(r.structure_a.domain, r.structure_b.domain,
                                           r.alignment)[2]
            same = set(tm_pairs) == set(kept)
            ours_ok = abs(r.n_aligned_all - length) <= 1 and abs(r.rmsd_all - rmsd) <= 0.05
            rule_fits = abs(rule_n - length) <= 1 and abs(rule_rmsd - rmsd) <= 0.05
            total += 1
            agreeing += same
            agreeing_ok += same and ours_ok
            rule_ok += rule_fits
            rows.append([f"{family}/{a.stem}", b.stem, f"{r.length_a}/{r.length_b}",
                         length, f"{rmsd:.2f}", r.n_aligned_all, f"{r.rmsd_all:.3f}",
                         rule_n, f"{rule_rmsd:.3f}", "yes" if same else "no",
                         "yes" if ours_ok else "no"])
    print(table(rows, ["A", "B", "lengths", "TM len", "TM rmsd", "ours len", "ours rmsd",
                       "rule on TM's len", "rmsd", "same alignment", "within"]))
    print(f"\npairs whose alignments agree: {agreeing} of {total}; of those within 1 pair and "
          f"0.05 A of TMalign: {agreeing_ok} (target: all)")
    print(f"the rule on TMalign's own alignment within 1 pair and 0.05 A: {rule_ok} of {total}")


if __name__ == "__main__":
    main()
