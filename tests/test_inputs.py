"""What the toolkit's jobs accept as structures, as users hold them: folders and bare path
strings, lists mixing files, FILE:CHAIN names, Structures and arrays of any real dtype,
biotite and gemmi structures; unreadable files skipped with a warning; one-line reprs,
results as arrays, and TM-align's figures beside ours."""
import json
import os
import re
import shutil
import subprocess
import sys
import warnings

import malven
import numpy as np
import pytest

import keldascope
from conftest import DATA, SHARED, gemmi_or_skip, helix
from keldascope._resolve import short_names

PDB = DATA / "pdb"
GLOBINS = SHARED / "foldmason_analysis" / "globins"


@pytest.fixture
def folder(tmp_path):
    """Three readable structures and one broken file, one of them in a subfolder."""
    db = tmp_path / "db"
    (db / "sub").mkdir(parents=True)
    for name in ("1sp1.pdb", "1sp2.pdb"):
        shutil.copy(PDB / name, db / name)
    shutil.copy(PDB / "3znf.pdb", db / "sub" / "3znf.pdb")
    (db / "broken.pdb").write_text("REMARK no atoms\n")
    return db


def quiet_resolve(items, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", keldascope.UnreadableStructureWarning)
        return keldascope.resolve(items, **options)


def test_a_folder_string_is_one_path_and_unreadable_files_are_skipped(folder):
    with pytest.warns(keldascope.UnreadableStructureWarning, match="broken.pdb"):
        found = keldascope.resolve(str(folder))
    assert [os.path.basename(s.path) for s in found.structures] == \
        ["1sp1.pdb", "1sp2.pdb", "3znf.pdb"]
    assert [p for p, _ in found.skipped] == [str(folder / "broken.pdb")]
    with pytest.raises(keldascope.UnreadableStructure, match="broken.pdb"):
        keldascope.resolve(folder, errors="raise")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(keldascope.resolve(folder, errors="ignore").skipped) == 1
    with pytest.raises(ValueError, match="errors must be one of"):
        keldascope.resolve(folder, errors="skip")


def test_a_list_mixes_every_kind(folder):
    domain = malven.Domain.from_pdb(str(PDB / "5eep.pdb"))
    coords = keldascope.read_structure(PDB / "1ni7.pdb").domain.coordinates.astype(np.float32)
    rows = keldascope.find_structure_files([str(folder / "sub")])
    items = [folder / "1sp1.pdb", f"{PDB / '1tii.pdb'}:H", (str(PDB / "1tii.pdb"), "E"),
             keldascope.read_structure(PDB / "il2.pdb"), domain, coords, *rows,
             str(folder / "missing.pdb")]
    with pytest.warns(keldascope.UnreadableStructureWarning, match="missing.pdb"):
        found = keldascope.resolve(items)
    assert [len(s.domain) for s in found.structures] == \
        [len(keldascope.read_structure(PDB / "1sp1.pdb").domain),
         len(keldascope.read_structure(PDB / "1tii.pdb", "H").domain),
         len(keldascope.read_structure(PDB / "1tii.pdb", "E").domain),
         len(keldascope.read_structure(PDB / "il2.pdb").domain), len(domain), len(coords),
         len(keldascope.read_structure(folder / "sub" / "3znf.pdb").domain)]
    assert [s.chain for s in found.structures[1:3]] == ["H", "E"]
    np.testing.assert_allclose(found.structures[5].domain.coordinates, coords, atol=0)


def test_all_chains_makes_every_chain_a_structure():
    found = keldascope.resolve(PDB / "1tii.pdb", all_chains=True)
    assert [s.chain for s in found.structures] == \
        [name for name, _ in keldascope.list_chains(PDB / "1tii.pdb")]


def test_search_compare_and_multiple_align_take_folders(folder):
    with pytest.warns(keldascope.UnreadableStructureWarning):
        found = keldascope.search(PDB / "1sp1.pdb", str(folder), method=keldascope.Method.KELDA_QUICK)
    assert found.n_targets == 3 and [p for p, _ in found.skipped] == [str(folder / "broken.pdb")]
    assert found.name(found.hits[0]) == "1sp1"
    with pytest.raises(keldascope.UnreadableStructure):
        keldascope.search(PDB / "1sp1.pdb", folder, errors="raise")
    with pytest.warns(keldascope.UnreadableStructureWarning):
        c = keldascope.compare_all(folder)
    assert c.names == ["1sp1", "1sp2", "3znf"] and len(c.skipped) == 1
    with pytest.warns(keldascope.UnreadableStructureWarning):
        m = keldascope.multiple_align(folder)
    assert len(m.structures) == 3 and len(m.skipped) == 1
    columns = m.column_array()
    assert columns.shape == (m.n_columns, 3) and columns.dtype == np.int64
    assert [[None if v < 0 else int(v) for v in row] for row in columns] == \
        [list(c) for c in m.columns]


def test_distributed_runs_take_folders_and_chain_names(folder):
    """The runs whose workers read the files take what search takes of files: a folder as
    one string (its unreadable files skipped), FILE:CHAIN for the query."""
    found = keldascope.distributed_search(f"{PDB / '1tii.pdb'}:H", str(folder),
                                          client=keldascope.IN_PROCESS,
                                          method=keldascope.Method.KELDA_QUICK)
    assert found.query.chain == "H" and found.n_targets == 3
    assert [p for p, _ in found.skipped] == [str(folder / "broken.pdb")]
    c = keldascope.distributed_compare([folder / "sub", (str(PDB / "1tii.pdb"), "E")],
                                       client=keldascope.IN_PROCESS)
    assert c.names == ["3znf", "1tii"] and c.chains == ["A", "E"]
    with pytest.raises(TypeError, match="take paths, folders and FILE:CHAIN names, not ndarray"):
        keldascope.distributed_compare([helix(10)], client=keldascope.IN_PROCESS)


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int32, np.int64, np.float16])
def test_coordinates_of_any_real_dtype(dtype):
    xyz = helix(40) * 3
    exact = xyz.astype(dtype).astype(np.float64)  # what the dtype holds of the helix
    a = keldascope.from_arrays(xyz.astype(dtype))
    assert a.domain.coordinates.dtype == np.float64 and len(a.domain) == 40
    np.testing.assert_array_equal(a.domain.coordinates, exact)
    r = keldascope.align(xyz.astype(dtype), exact)
    assert r.tm_score_a == pytest.approx(1.0, abs=1e-3)


@pytest.mark.parametrize("value, error, message", [
    (np.zeros((5, 3), dtype=complex), TypeError, "real numbers (float or integer), not of "
                                                 "dtype complex128"),
    (np.array([["a", "b", "c"]]), TypeError, "not of dtype <U1"),
    (np.zeros((5, 2)), ValueError, "must be an (N, 3) array, not one of shape (5, 2)"),
    (np.zeros((2, 5, 2)), ValueError, "not one of shape (2, 5, 2)"),
])
def test_coordinates_refused_say_what_was_expected(value, error, message):
    with pytest.raises(error) as info:
        keldascope.compare_all([value, helix(10)])
    assert message in str(info.value)


def test_sequences_must_match_the_coordinates():
    with pytest.raises(ValueError, match="10 coordinates but 3 sequence letters"):
        keldascope.from_arrays(helix(10), "ACD")


def same_structure(a, b):
    np.testing.assert_allclose(a.domain.coordinates, b.domain.coordinates, atol=1e-5)
    assert (a.domain.sequence, a.labels, a.chain) == (b.domain.sequence, b.labels, b.chain)


@pytest.mark.parametrize("name, chain", [("1ni7.pdb", None), ("1tii.pdb", "H"),
                                         ("3al1.pdb", "B")])
def test_one_liners_from_biotite_and_gemmi(name, chain):
    biotite_io = pytest.importorskip("biotite.structure.io")
    gemmi = gemmi_or_skip()
    expected = keldascope.read_structure(PDB / name, chain)
    atoms = biotite_io.load_structure(str(PDB / name))  # float32 coordinates
    same_structure(keldascope.from_biotite(atoms, chain), expected)
    st = gemmi.read_structure(str(PDB / name))
    n_atoms = st[0].count_atom_sites()
    same_structure(keldascope.from_gemmi(st, chain), expected)
    assert st[0].count_atom_sites() == n_atoms  # the caller's structure is left alone
    # Given straight to the jobs.
    r = keldascope.align(atoms if chain is None else PDB / name, st, chain_a=chain,
                         chain_b=chain)
    assert r.tm_score_a == pytest.approx(1.0, abs=1e-6)


@pytest.mark.parametrize("suffix", [".pdb", ".cif"])
def test_gemmi_structures_keep_the_format_gemmi_read(tmp_path, suffix):
    gemmi = gemmi_or_skip()
    path = tmp_path / f"1ni7{suffix}"
    if suffix == ".pdb":
        shutil.copy(PDB / "1ni7.pdb", path)
    else:
        gemmi.read_structure(str(PDB / "1ni7.pdb")).make_mmcif_document().write_file(str(path))
    s = keldascope.from_gemmi(gemmi.read_structure(str(path)))
    assert s.format == keldascope.read_structure(path).format == suffix[1:].replace("cif", "mmcif")


def with_ter_before_residue(source, k, path):
    """A copy of the PDB file with a TER record inserted before the C-alpha atom of its k-th
    residue (counting from 1), as files with a chain break marked so hold."""
    out, seen = [], set()
    for line in source.read_text().splitlines(keepends=True):
        if line.startswith("ATOM") and line[12:16] == " CA ":
            seen.add(line[22:27])
            if len(seen) == k and not any(x.startswith("TER") for x in out):
                out.append("TER\n")
        out.append(line)
    path.write_text("".join(out))
    return path


@pytest.mark.parametrize("name, before", [("5eep.pdb", 41), ("1ni7.pdb", 12)])
def test_stop_at_ter_reads_what_tmalign_reads(tmp_path, name, before):
    path = with_ter_before_residue(PDB / name, before, tmp_path / name)
    full = keldascope.read_structure(PDB / name)
    assert len(keldascope.read_structure(path).domain) == len(full.domain)  # read past TER
    cut = keldascope.read_structure(path, stop_at_ter=True)
    assert cut.labels == full.labels[:before - 1]
    if shutil.which("TMalign"):
        out = subprocess.run(["TMalign", str(path), str(PDB / name)], capture_output=True,
                             text=True, timeout=120).stdout
        assert f"Length of Chain_1: {len(cut.domain):>4} residues" in out
    text = subprocess.run([sys.executable, "-m", "keldascope.cli", "align", str(path),
                           str(PDB / name), "--first-ter", "--json"], capture_output=True,
                          text=True, cwd=tmp_path, timeout=120).stdout
    assert json.loads(text)["structure1"]["length"] == before - 1


def test_a_biotite_stack_gives_its_models():
    biotite_io = pytest.importorskip("biotite.structure.io")
    stack = biotite_io.load_structure(str(PDB / "1ni7.pdb"))
    same_structure(keldascope.from_biotite(stack, model=3),
                   keldascope.read_structure(PDB / "1ni7.pdb", model=3))
    with pytest.raises(ValueError, match="model 21 is not between 1 and 20"):
        keldascope.from_biotite(stack, model=21)


def test_reprs_are_one_short_line(folder):
    r = keldascope.align(PDB / "1ni7.pdb", PDB / "5eep.pdb")
    with pytest.warns(keldascope.UnreadableStructureWarning):
        objects = [r, r.structure_a, keldascope.search(PDB / "1sp1.pdb", folder),
                   keldascope.compare_all(folder), keldascope.multiple_align(folder)]
    for obj in objects:
        text = repr(obj)
        assert "\n" not in text and len(text) < 400, text
        assert text.startswith(type(obj).__name__ + "(")


def test_a_pair_not_attempted_prints_without_an_rmsd():
    # Three residues are too few to attempt: no superposition, so no RMSD to format.
    r = keldascope.align(np.array([[0, 0, 0], [3.8, 0, 0], [7.6, 0, 0]], float), PDB / "5eep.pdb")
    text = repr(r)
    assert "status=NOT_ATTEMPTED" in text and "rmsd=None" in text and "n_aligned_all=0" in text


def test_pairs_as_arrays_and_tm_align_figures():
    r = keldascope.align(PDB / "1ni7.pdb", PDB / "5eep.pdb")
    assert r.pair_array.dtype == np.int64 and r.pair_array.tolist() == [list(p) for p in r.pairs]
    assert r.alignment_array.tolist() == [list(p) for p in r.alignment]
    a, b = r.structure_a.domain.coordinates, r.structure_b.domain.coordinates
    moved = r.transform.apply(b)
    expected = [np.linalg.norm(a[i] - moved[j]) for i, j in r.alignment]
    np.testing.assert_allclose(r.distances, expected, atol=1e-9)
    # The robust method reports the pairs within 5 A; every aligned pair is in `alignment`,
    # and TM-align's figures count those within its cutoff (all of them for this close pair).
    assert r.n_aligned == int(r.close.sum()) and r.n_aligned_all == len(r.alignment)
    idx = r.alignment_array
    assert r.rmsd_all == pytest.approx(
        malven.superpose(a[idx[:, 0]].copy(), b[idx[:, 1]].copy())[1], abs=1e-9)


STRIKE2 = SHARED / "tcoffee_strike2"


# TMalign (version 20190822) run as `TMalign B A` on these files printed these Aligned
# length and RMSD; on each pair the engine finds the alignment TMalign finds, so the figures
# test the cutoff rule. Their alignments hold 1 to 37 pairs more, farther than the cutoff.
@pytest.mark.skipif(not STRIKE2.is_dir(), reason="shared data absent")
@pytest.mark.parametrize("a, b, length, rmsd", [
    ("PF00004/1D2NA-1", "PF00004/1KSFX-1", 120, 2.96),
    ("PF00004/1E94E-1", "PF00004/1KSFX-1", 53, 3.99),
    ("PF00047/1N26A-1", "PF00047/1NKRA-1", 62, 2.48),
    ("PF00047/1NKRA-1", "PF00047/2AW2A-1", 76, 2.76),
    ("PF00047/1N26A-1", "PF00047/1NKRA-2", 58, 2.23),
])
def test_aligned_length_and_rmsd_are_tmaligns_on_weaker_pairs(a, b, length, rmsd):
    r = keldascope.align(STRIKE2 / f"{a}.pdb", STRIKE2 / f"{b}.pdb")
    assert len(r.alignment) > length
    assert (r.n_aligned_all, round(r.rmsd_all, 2)) == (length, rmsd)


def tmalign(first, second):
    """TM-align's Aligned length, RMSD and TM-scores (by its chain 1, by chain 2)."""
    out = subprocess.run(["TMalign", str(first), str(second)], capture_output=True, text=True,
                         timeout=120).stdout
    length, rmsd = re.search(r"Aligned length=\s*(\d+), RMSD=\s*([\d.]+)", out).groups()
    tm = [float(v) for v in re.findall(r"TM-score= ([\d.]+)", out)[:2]]
    return int(length), float(rmsd), tm


@pytest.mark.skipif(shutil.which("TMalign") is None, reason="TMalign is not installed")
@pytest.mark.skipif(not GLOBINS.is_dir(), reason="shared data absent")
@pytest.mark.parametrize("a, b", [("1mbn", "2hhb"), ("1mbn", "1hho"), ("2hhb", "1h97")])
def test_figures_match_tmalign_with_the_arguments_swapped(a, b):
    """`align(A, B)` moves B onto A, as `TMalign B A` does: where the two find the same
    alignment (TM-scores equal to three decimals), the same aligned length and RMSD."""
    r = keldascope.align(GLOBINS / f"{a}.pdb", GLOBINS / f"{b}.pdb")
    length, rmsd, (tm_by_b, tm_by_a) = tmalign(GLOBINS / f"{b}.pdb", GLOBINS / f"{a}.pdb")
    assert (r.tm_score_a, r.tm_score_b) == (pytest.approx(tm_by_a, abs=2e-3),
                                            pytest.approx(tm_by_b, abs=2e-3))
    assert r.n_aligned_all == length
    assert r.rmsd_all == pytest.approx(rmsd, abs=0.006)


@pytest.mark.parametrize("paths, chains, expected", [
    (["db/1mbn.pdb", "db/1mbn.cif", "db/1mbn.cif.gz"], ["A", "A", "A"],
     ["1mbn.pdb:A", "1mbn.cif:A", "1mbn.cif.gz:A"]),
    (["x/a/1abc.pdb", "y/a/1abc.pdb", "y/b.pdb"], None, ["x/a/1abc.pdb", "y/a/1abc.pdb", "b.pdb"]),
    (["t/1tii.pdb", "t/1tii.pdb", "u/1tii.pdb"], ["D", "E", "D"],
     ["t/1tii.pdb:D", "t/1tii.pdb:E", "u/1tii.pdb:D"]),
    (["one.pdb"], [" "], ["one.pdb"]),
])
def test_short_names_tell_structures_apart(paths, chains, expected):
    assert short_names(paths, chains) == expected
