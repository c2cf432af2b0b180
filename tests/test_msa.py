"""multiple_align and align_pdbs as Python sees them: checks in order, messages, and
superposed output files."""
import os

import numpy as np
import pytest

import malven
from conftest import DATA, SHARED, helix, rotation

PDB = DATA / "pdb"


def test_multiple_align_check_order():
    d = malven.Domain.from_arrays("d", helix(30), "A" * 30)
    rows = [
        (lambda: malven.multiple_align("ab"), TypeError, "argument 'domains': Can't extract `str` to `Vec`"),
        (lambda: malven.multiple_align(5), TypeError, "argument 'domains': 'int' object cannot be cast as 'Sequence'"),
        (lambda: malven.multiple_align([d, 3]), TypeError, "argument 'domains': 'int' object cannot be cast as 'Domain'"),
        (lambda: malven.multiple_align([d, d], params=d), TypeError,
         "argument 'params': 'Domain' object cannot be cast as 'Parameters'"),
        (lambda: malven.multiple_align([d, d], pre_transforms=[d]), TypeError,
         "argument 'pre_transforms': 'Domain' object cannot be cast as 'Transform'"),
        (lambda: malven.multiple_align([d]), ValueError, "Need at least 2 domains for multiple alignment"),
        (lambda: malven.multiple_align(()), ValueError, "Need at least 2 domains for multiple alignment"),
    ]
    for call, exc, message in rows:
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == message


def test_multiple_align_accepts_any_sequence_and_reports_core_errors():
    d = malven.Domain.from_arrays("d", helix(30), "A" * 30)
    r = malven.multiple_align((d, d.copy()))
    assert r.n_core == 30 and r.avg_rmsd == pytest.approx(0.0, abs=1e-6)
    p = malven.Parameters()
    p.e1 = 0.0
    with pytest.raises(ValueError, match="^Multiple alignment failed: Invalid parameter: "):
        malven.multiple_align([d, d], p)


def test_align_pdbs_check_order(tmp_path):
    good = str(PDB / "1sp1.pdb")
    missing = str(tmp_path / "missing.pdb")
    rows = [
        (lambda: malven.align_pdbs([good], str(tmp_path)), ValueError, "Need at least 2 PDB files"),
        (lambda: malven.align_pdbs([good, good], str(tmp_path), reference_index=2), ValueError,
         "Reference index 2 out of range for 2 structures"),
        (lambda: malven.align_pdbs([good, missing], str(tmp_path / "out")), ValueError,
         f"Failed to parse {missing}: I/O error: No such file or directory (os error 2)"),
        (lambda: malven.align_pdbs([good, good], str(tmp_path), reference_index=None), TypeError, None),
    ]
    for call, exc, message in rows:
        with pytest.raises(exc) as info:
            call()
        if message:
            assert str(info.value) == message
    assert not (tmp_path / "out").exists()


def write_moved_copy(src, dst, rot, shift):
    t = malven.Transform.from_matrix(rot, np.asarray(shift, float))
    malven.transform_pdb_file(str(src), str(dst), t)


@pytest.mark.parametrize("reference", [0, 2])
def test_align_pdbs_brings_moved_copies_home(tmp_path, reference):
    src = PDB / "1hpv.pdb"
    files = [tmp_path / f"copy{k}.pdb" for k in range(3)]
    rng = np.random.default_rng(reference)
    for k, f in enumerate(files):
        write_moved_copy(src, f, rotation(rng.normal(size=3), rng.uniform(0, 3)), rng.normal(size=3) * 30)
    out = tmp_path / "out"
    r = malven.align_pdbs([str(f) for f in files], str(out), reference_index=reference)
    names = sorted(os.listdir(out))
    assert names == [f"aligned_copy{k}.pdb" for k in range(3)]
    ref = malven.Domain.from_pdb(str(files[reference])).coordinates
    for k in range(3):
        got = malven.Domain.from_pdb(str(out / f"aligned_copy{k}.pdb")).coordinates
        np.testing.assert_allclose(got, ref, atol=2e-3)
    assert r.n_core == len(ref)
    # the written files are exactly the full transforms applied to the inputs
    again = r.write_all(str(tmp_path / "again"), prefix="x_")
    assert [os.path.basename(p) for p in again] == [f"x_copy{k}.pdb" for k in range(3)]


def core_rmsd(out_dir, files, result):
    """Largest RMSD, over the structures, of the core columns against the reference as
    written, with no further fit: the files themselves must be superposed."""
    coords = [malven.Domain.from_pdb(str(out_dir / ("aligned_" + os.path.basename(f)))).coordinates
              for f in files]
    core = [result.columns[k] for k in result.core_positions]
    ref = np.array([coords[0][col[0]] for col in core])
    return max(malven.compute_rmsd(ref, np.array([coords[d][col[d]] for col in core]))
               for d in range(1, len(files)))


# Families the method aligns with its default settings; members are first scattered into
# unrelated frames so that only the scan-mode placement can bring them together.
FAMILIES = {
    "antifreeze_type_III": 50,
    "aspartic_protease": 150,
    "PF00040_fibronectin_type_II": 25,
}


@pytest.mark.parametrize("family, min_core", sorted(FAMILIES.items()))
def test_real_families_in_unrelated_frames_are_superposed(tmp_path, family, min_core):
    table = SHARED / "FAMILIES.tsv"
    if not table.exists():
        pytest.skip("shared data absent")
    rows = {line.split("\t")[0]: line.split("\t") for line in table.read_text().splitlines()[1:]}
    sources = [SHARED / f for f in rows[family][4].split()][:8]
    if not all(f.exists() for f in sources):
        pytest.skip("family files absent")
    rng = np.random.default_rng(len(family))
    files = []
    for src in sources:
        dst = tmp_path / src.name
        write_moved_copy(src, dst, rotation(rng.normal(size=3), rng.uniform(0.5, 3.0)), rng.normal(size=3) * 50)
        files.append(str(dst))
    out = tmp_path / "out"
    r = malven.align_pdbs(files, str(out))
    assert r.n_core >= min_core
    assert core_rmsd(out, files, r) < 2.5
    # the reference keeps its own coordinates
    before = malven.Domain.from_pdb(files[0]).coordinates
    after = malven.Domain.from_pdb(str(out / ("aligned_" + os.path.basename(files[0])))).coordinates
    np.testing.assert_allclose(after, before, atol=1e-3)
