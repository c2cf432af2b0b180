"""Writes lddt_biotite.tsv: per-residue LDDT of real aligned pairs by biotite, the reference
values of the core's LDDT test.

Each pair's C-alpha atoms are read with the toolkit (the core's reading), aligned by TM-align
(tmtools), and scored by biotite.structure.lddt(reference, subject, aggregation="residue")
over the aligned atoms, with symmetric=False and then True. Run from the checkout with
biotite, tmtools and the toolkit installed:  python tests/data/lddt_biotite.py
"""
import pathlib

import biotite
import biotite.structure as struc
import numpy as np
import tmtools

import keldascope

HERE = pathlib.Path(__file__).resolve().parent
PAIRS = [("1sp1.pdb", "A", "1sp2.pdb", "A"), ("1hpv.pdb", "A", "1hpv.pdb", "B"),
         ("3znf.pdb", "A", "1sp1.pdb", "A"), ("5eep.pdb", "A", "1tii.pdb", "D")]


def atoms(coords):
    arr = struc.AtomArray(len(coords))
    arr.coord = np.asarray(coords, dtype=np.float64)
    arr.res_id = np.arange(1, len(coords) + 1)
    arr.atom_name[:] = "CA"
    arr.element[:] = "C"
    arr.chain_id[:] = "A"
    return arr


def main():
    out = [f"# biotite {biotite.__version__}: per-residue lddt of TM-align's pairs; "
           "written by lddt_biotite.py",
           "# pair FILE_A CHAIN_A FILE_B CHAIN_B, then lines: i j directed symmetric"]
    for fa, ca, fb, cb in PAIRS:
        a = keldascope.read_structure(HERE / "pdb" / fa, chain=ca).domain
        b = keldascope.read_structure(HERE / "pdb" / fb, chain=cb).domain
        xa, xb = np.asarray(a.coordinates), np.asarray(b.coordinates)
        r = tmtools.tm_align(xa, xb, a.sequence, b.sequence)
        pairs, i, j = [], 0, 0
        for p, q in zip(r.seqxA, r.seqyA):
            if p != "-" and q != "-":
                pairs.append((i, j))
            i += p != "-"
            j += q != "-"
        ref = atoms([xa[i] for i, _ in pairs])
        sub = atoms([xb[j] for _, j in pairs])
        directed = struc.lddt(ref, sub, aggregation="residue")
        symmetric = struc.lddt(ref, sub, aggregation="residue", symmetric=True)
        out.append(f"pair {fa} {ca} {fb} {cb}")
        for (i, j), d, s in zip(pairs, directed, symmetric):
            out.append(f"{i} {j} {d:.9f} {s:.9f}")
    (HERE / "lddt_biotite.tsv").write_text("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
