"""Python entries of the structure files: reading PDB and DSSP, writing C-alpha and
whole-file PDB output, and the exceptions each entry raises."""
import os

import numpy as np
import pytest

import malven
from conftest import DATA, SHARED, full_doc, rotation

PDB = DATA / "pdb"


def atom(serial, name, resname, chain, resseq, x, y, z, record="ATOM", altloc=" ", icode=" "):
    return (f"{record:<6}{serial:>5} {name:<4}{altloc}{resname:>3} {chain}{resseq:>4}{icode}   "
            f"{x:8.3f}{y:8.3f}{z:8.3f}  1.00 20.00           C\n")


def ca_line(i, chain="A", resname="ALA", x=None, **kw):
    x = float(i) * 3.8 if x is None else x
    return atom(i, " CA ", resname, chain, i, x, 1.0, 2.0, **kw)


@pytest.fixture
def two_chain_file(tmp_path):
    lines = [ca_line(i, "A", "GLY") for i in range(1, 5)]
    lines += [atom(10 + i, " N  ", "GLY", "A", i, 0.5, 0.5, 0.5) for i in range(1, 3)]
    lines += [ca_line(i, "B", "TRP") for i in range(1, 4)]
    lines += [atom(30, " O  ", "HOH", "W", 1, 9.0, 9.0, 9.0, record="HETATM")]
    lines += ["END\n"]
    path = tmp_path / "two.pdb"
    path.write_text("".join(lines))
    return path


def test_from_pdb_real_file():
    d = malven.Domain.from_pdb(str(PDB / "1sp1.pdb"))
    assert (d.id, d.chain, d.pdb_file) == ("1sp1", "A", str(PDB / "1sp1.pdb"))
    assert len(d) == 29 and d.sequence.startswith("KKFACPECPK")
    assert d.secondary_structure == "C" * 29 and not d.has_dssp


def test_chain_selection(two_chain_file):
    a = malven.Domain.from_pdb(str(two_chain_file))
    b = malven.Domain.from_pdb(str(two_chain_file), chain="B")
    q = malven.Domain.from_pdb(str(two_chain_file), chain="?")
    assert (a.chain, a.sequence) == ("A", "GGGG")
    assert (b.chain, b.sequence) == ("B", "WWW")
    assert q.sequence == a.sequence


@pytest.mark.parametrize(
    "content, message",
    [
        ("", "Failed to parse PDB: PDB parsing error: No C-alpha atoms found in chain '_' of "),
        (b"\xff\xfe garbage\n", "Failed to parse PDB: I/O error: stream did not contain valid UTF-8"),
    ],
)
def test_from_pdb_unreadable_content(tmp_path, content, message):
    path = tmp_path / "bad.pdb"
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    with pytest.raises(ValueError) as info:
        malven.Domain.from_pdb(str(path))
    assert str(info.value).startswith(message)


def test_from_pdb_missing_file_and_directory(tmp_path):
    with pytest.raises(ValueError) as info:
        malven.Domain.from_pdb(str(tmp_path / "missing.pdb"))
    assert str(info.value) == "Failed to parse PDB: I/O error: No such file or directory (os error 2)"
    with pytest.raises(ValueError) as info:
        malven.Domain.from_pdb(str(tmp_path))
    assert str(info.value).startswith("Failed to parse PDB: I/O error: ")


def test_from_pdb_argument_errors():
    with pytest.raises(TypeError, match="^argument 'path': 'int' object cannot be cast as 'str'$"):
        malven.Domain.from_pdb(5)
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        malven.Domain.from_pdb(str(PDB / "1sp1.pdb"), chain="AB")


def test_dssp_entries(tmp_path):
    dssp = SHARED / "dssp" / "debian" / "1sp1.dssp"
    if not dssp.exists():
        pytest.skip("shared DSSP files are absent")
    d = malven.Domain.from_dssp(str(PDB / "1sp1.pdb"), str(dssp))
    assert d.has_dssp and len(d) == 29
    assert set(d.secondary_structure) <= set("HEC") and "H" in d.secondary_structure

    e = malven.Domain.from_pdb(str(PDB / "1sp1.pdb"))
    assert e.load_dssp(str(dssp)) is None
    assert e.secondary_structure == d.secondary_structure and e.has_dssp


def test_dssp_failures_name_the_failing_file(tmp_path):
    with pytest.raises(ValueError) as info:
        malven.Domain.from_dssp(str(tmp_path / "none.pdb"), str(tmp_path / "none.dssp"))
    assert str(info.value).startswith("Failed to parse PDB: I/O error: ")
    with pytest.raises(ValueError) as info:
        malven.Domain.from_dssp(str(PDB / "1sp1.pdb"), str(tmp_path / "none.dssp"))
    assert str(info.value) == "Failed to parse DSSP: I/O error: No such file or directory (os error 2)"

    d = malven.Domain.from_pdb(str(PDB / "1sp1.pdb"))
    with pytest.raises(ValueError, match="^Failed to parse DSSP: I/O error: "):
        d.load_dssp(str(tmp_path / "none.dssp"))
    assert not d.has_dssp and d.secondary_structure == "C" * 29


def test_ca_round_trip(tmp_path):
    coords = np.array([[1.0, 2.0, 3.0], [4.5, -5.25, 6.0], [-7.0, 8.0, 9.125]])
    d = malven.Domain.from_arrays("x", coords, "ACD", chain="C")
    out = tmp_path / "ca.pdb"
    d.to_pdb(str(out))  # no source file: C-alpha format although full defaults to true
    back = malven.Domain.from_pdb(str(out))
    assert (back.sequence, back.chain, back.id) == ("ACD", "C", "ca")
    np.testing.assert_allclose(back.coordinates, coords, atol=5e-4)

    t = malven.Transform.from_matrix(rotation([0, 0, 1], np.pi / 2), np.array([1.0, 0, 0]))
    d.to_pdb(str(out), transform=t, full=False)
    np.testing.assert_allclose(malven.Domain.from_pdb(str(out)).coordinates, t.apply(coords), atol=5e-4)


def test_full_rewrite_moves_only_the_domain_chain(two_chain_file, tmp_path):
    a = malven.Domain.from_pdb(str(two_chain_file))
    t = malven.Transform.from_matrix(np.eye(3), np.array([10.0, 0.0, 0.0]))
    out = tmp_path / "full.pdb"
    a.to_pdb(str(out), transform=t)
    lines = [l for l in out.read_text().splitlines() if l.startswith(("ATOM", "HETATM"))]
    original = [l for l in two_chain_file.read_text().splitlines() if l.startswith(("ATOM", "HETATM"))]
    assert len(lines) == len(original)
    for new, old in zip(lines, original):
        shift = float(new[30:38]) - float(old[30:38])
        assert shift == pytest.approx(10.0 if old[21] == "A" else 0.0, abs=1e-3)
        assert new[38:] == old[38:] and new[:30] == old[:30]


def test_transform_pdb_file(two_chain_file, tmp_path):
    t = malven.Transform.from_matrix(np.eye(3), np.array([0.0, 0.0, -5.0]))
    out = tmp_path / "moved.pdb"
    assert malven.transform_pdb_file(str(two_chain_file), str(out), t) is None
    moved = malven.Domain.from_pdb(str(out), chain="B")
    orig = malven.Domain.from_pdb(str(two_chain_file), chain="B")
    np.testing.assert_allclose(moved.coordinates, t.apply(orig.coordinates), atol=5e-4)

    malven.transform_pdb_file(str(two_chain_file), str(out), t, chain="A")
    np.testing.assert_allclose(malven.Domain.from_pdb(str(out), chain="B").coordinates,
                               orig.coordinates, atol=5e-4)


@pytest.mark.parametrize(
    "call, exc, prefix",
    [
        (lambda d, p: malven.transform_pdb_file(str(p / "none.pdb"), str(p / "o.pdb"), malven.Transform()),
         OSError, "Failed to transform PDB: I/O error: No such file or directory (os error 2)"),
        (lambda d, p: malven.transform_pdb_file(str(PDB / "1sp1.pdb"), str(p), malven.Transform()),
         OSError, "Failed to transform PDB: I/O error: "),
        (lambda d, p: d.to_pdb(str(p / "no" / "dir" / "x.pdb")),
         OSError, "Failed to write PDB: I/O error: No such file or directory (os error 2)"),
        (lambda d, p: malven.transform_pdb_file(str(PDB / "1sp1.pdb"), str(p / "o.pdb"), None),
         TypeError, "argument 'transform': 'NoneType' object cannot be cast as 'Transform'"),
        (lambda d, p: d.to_pdb(str(p / "x.pdb"), full=None),
         TypeError, "argument 'full': 'NoneType' object cannot be cast as 'bool'"),
    ],
)
def test_writer_errors(tmp_path, call, exc, prefix):
    d = malven.Domain.from_arrays("x", np.zeros((2, 3)), "AA")
    with pytest.raises(exc) as info:
        call(d, tmp_path)
    assert str(info.value).startswith(prefix)


def test_input_is_not_lost_when_rewritten_onto_itself(tmp_path):
    path = tmp_path / "self.pdb"
    path.write_bytes((PDB / "1sp1.pdb").read_bytes())
    before = malven.Domain.from_pdb(str(path)).coordinates
    t = malven.Transform.from_matrix(np.eye(3), np.array([1.0, 2.0, 3.0]))
    malven.transform_pdb_file(str(path), str(path), t)
    np.testing.assert_allclose(malven.Domain.from_pdb(str(path)).coordinates, before + [1, 2, 3], atol=5e-4)


def test_file_method_docstrings():
    doc = full_doc(malven.transform_pdb_file, "transform_pdb_file")
    assert doc.startswith("transform_pdb_file(input_path, output_path, transform, chain=None)\n--\n\n"
                          "Transforms an entire PDB file by applying a rigid body transformation.")
    assert doc.endswith('malven.transform_pdb_file("mobile.pdb", "mobile_aligned.pdb", result.transform)')
    doc = full_doc(malven.Domain.from_pdb, "from_pdb")
    if doc is not None:  # None on PyPy, which drops method docstrings of extension types
        assert doc.startswith("from_pdb(path, chain=None)\n--\n\nCreates a domain from a PDB file.")


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes through permission bits")
def test_unwritable_output(tmp_path):
    ro = tmp_path / "ro"
    ro.mkdir()
    ro.chmod(0o500)
    d = malven.Domain.from_arrays("x", np.zeros((1, 3)), "A")
    with pytest.raises(OSError, match="^Failed to write PDB: I/O error: Permission denied"):
        d.to_pdb(str(ro / "x.pdb"))
