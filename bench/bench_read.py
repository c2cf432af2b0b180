"""Reading speed of keldascope.read_structure against gemmi's own Python reading
(gemmi.read_structure, then the C-alpha atoms of the first chain) on the largest files of the
shared data, as PDB, mmCIF and both gzipped (converted with gemmi in a scratch folder), in one
run. Prints median times per file and format, and per format the summed times and the ratio.

    python bench/bench_read.py [--top N]
"""
import gzip
import pathlib
import sys
import tempfile

from common import SHARED, median_time, reading_benchmark, table

from keldascope import read_structure

FORMATS = ("pdb", "pdb.gz", "cif", "cif.gz")


def gemmi_calphas(gemmi, path):
    st = gemmi.read_structure(str(path))
    out = []
    for res in st[0][0]:
        atom = res.find_atom("CA", "*")
        if atom is not None:
            out.append(atom.pos)
    return out


def convert(gemmi, pdb, folder):
    """The four files of one structure, or None when gemmi cannot read the PDB file."""
    try:
        st = gemmi.read_structure(str(pdb))
    except (RuntimeError, ValueError) as exc:
        print(f"skipped {pdb.name}: gemmi cannot read it ({exc})", file=sys.stderr)
        return None
    st.setup_entities()
    stem = folder / pdb.stem
    paths = {f: pathlib.Path(f"{stem}.{f}") for f in FORMATS}
    paths["pdb"].write_bytes(pdb.read_bytes())
    st.make_mmcif_document().write_file(str(paths["cif"]))
    for f in ("pdb", "cif"):
        paths[f + ".gz"].write_bytes(gzip.compress(paths[f].read_bytes()))
    return paths


def main():
    gemmi, files = reading_benchmark(__doc__.splitlines()[0], suffix=".pdb")
    rows = []
    totals = {f: [0.0, 0.0] for f in FORMATS}
    with tempfile.TemporaryDirectory(prefix="malven-bench-read-") as tmp:
        for pdb in files:
            paths = convert(gemmi, pdb, pathlib.Path(tmp))
            if paths is None:
                continue
            for f in FORMATS:
                path = paths[f]
                ours_n = len(read_structure(path).domain)
                theirs_n = len(gemmi_calphas(gemmi, path))
                ours = median_time(lambda: read_structure(path))
                theirs = median_time(lambda: gemmi_calphas(gemmi, path))
                totals[f][0] += ours
                totals[f][1] += theirs
                rows.append((pdb.relative_to(SHARED), f, f"{path.stat().st_size / 1e6:.2f}",
                             f"{ours_n}/{theirs_n}", f"{ours * 1e3:.2f}", f"{theirs * 1e3:.2f}",
                             f"{ours / theirs:.2f}"))
    print(table(rows, ["file", "format", "MB", "CA ours/gemmi", "ours ms", "gemmi ms",
                       "ours/gemmi"]))
    print()
    print(table([(f, f"{o * 1e3:.1f}", f"{t * 1e3:.1f}", f"{o / t:.2f}",
                  f"{100 * (o / t - 1):+.0f}%") for f, (o, t) in totals.items() if t],
                ["format", "ours ms (sum)", "gemmi ms (sum)", "ratio", "overhead"]))
    print(f"\ngemmi {gemmi.__version__}; medians of 5 rounds per file")


if __name__ == "__main__":
    main()
