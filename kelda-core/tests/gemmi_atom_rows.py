"""For the core's tests: converts PDB files to mmCIF with gemmi and writes, beside each, the
C-alpha rows the toolkit hands the core when it reads that mmCIF file through gemmi (as
keldascope/structures.py's _cif_rows gathers them), one TSV line a row.

    python gemmi_atom_rows.py OUT_DIR LIST   (LIST: one PDB path a line; OUT_DIR/K.cif and
                                              OUT_DIR/K.rows for the K-th path that converts)
Exits 3 when gemmi or NumPy cannot be imported."""
import os
import sys

try:
    import gemmi
    import numpy as np
except ImportError:
    sys.exit(3)

CALCIUM = 20  # gemmi's element number of calcium


def text_column(array, rows):
    return [bytes(np.asarray(array)[k]).split(b"\0")[0].decode("utf-8", "replace") for k in rows]


def rows_of(path):
    st = gemmi.read_structure(path, merge_chain_parts=False, format=gemmi.CoorFormat.Mmcif)
    flat = gemmi.FlatStructure(st)
    names = np.asarray(flat.atom_names)
    if len(names) == 0:
        return []
    rows = np.nonzero((names[:, 0] == ord("C")) & (names[:, 1] == ord("A")) & (names[:, 2] == 0))[0]
    xyz = np.asarray(flat.pos, dtype=np.float64)[rows].reshape(-1, 3)
    b = np.round(np.asarray(flat.b_iso, dtype=np.float64)[rows], 3)
    het = np.asarray(flat.het_flags)[rows] == ord("H")
    calcium = np.asarray(flat.elements)[rows] == CALCIUM
    altloc = np.maximum(np.asarray(flat.altlocs)[rows], 0)
    icode = np.maximum(np.asarray(flat.icodes)[rows], 0)
    resnum = np.asarray(flat.resnums)[rows]
    model = np.asarray(flat.model_num)[rows]
    residue = text_column(flat.residue_names, rows)
    chain = text_column(flat.chain_ids, rows)
    return [(int(het[k]), int(calcium[k]), int(altloc[k]), int(icode[k]), int(resnum[k]),
             repr(float(xyz[k, 0])), repr(float(xyz[k, 1])), repr(float(xyz[k, 2])),
             repr(float(b[k])), int(model[k]), residue[k], chain[k]) for k in range(len(rows))]


def main():
    out_dir, listing = sys.argv[1], sys.argv[2]
    with open(listing) as f:
        paths = [line.rstrip("\n") for line in f if line.strip()]
    for k, path in enumerate(paths):
        cif = os.path.join(out_dir, f"{k}.cif")
        try:
            gemmi.read_structure(path).make_mmcif_document().write_file(cif)
            rows = rows_of(cif)
        except (RuntimeError, ValueError, IndexError):
            continue  # gemmi cannot convert it: nothing to compare
        with open(os.path.join(out_dir, f"{k}.rows"), "w") as out:
            for row in rows:
                out.write("\t".join(str(v) for v in row) + "\n")


if __name__ == "__main__":
    main()
