"""The keldascope toolkit's own pieces: structures with their residue labels, the rules it
takes from the core (ranking, the order of a scan-mode comparison, output names), and
failures that name the file."""
import os

import numpy as np
import pytest

import malven
from conftest import DATA, rotation
from keldascope import _native, kelda, structures

PDB = DATA / "pdb"


def ca(serial, resseq, icode=" ", chain="A", x=0.0):
    return (f"ATOM  {serial:>5}  CA  ALA {chain}{resseq:>4}{icode}   "
            f"{x:8.3f}{1.0:8.3f}{2.0:8.3f}  1.00 20.00           C\n")


def test_labels_keep_numbers_and_insertion_codes(tmp_path):
    path = tmp_path / "ins.pdb"
    path.write_text(ca(1, -3) + ca(2, 52) + ca(3, 52, "A") + ca(4, 1000, "B") + ca(5, 53))
    s = structures.read_structure(str(path))
    assert s.labels == ("-3", "52", "52A", "1000B", "53")
    assert structures.residue_labels(s.domain) == list(s.labels)
    # Built from arrays, a domain counts its residues from 1.
    d = malven.Domain.from_arrays("x", np.zeros((3, 3)), "AAA")
    assert structures.residue_labels(d) == ["1", "2", "3"]


@pytest.mark.parametrize("make, message", [
    (lambda p: p / "missing.pdb", "cannot open {}: No such file or directory"),
    (lambda p: p, "{}: is a directory, not a structure file"),
    (lambda p: (p / "water.pdb").write_text(
        "HETATM    1  O   HOH A   1       0.000   0.000   0.000\n") and p / "water.pdb",
     "cannot read a structure from {}: no protein chain: no C-alpha atoms (ATOM records "
     "named CA)"),
])
def test_unreadable_structures_name_the_file(tmp_path, make, message):
    path = str(make(tmp_path))
    with pytest.raises(structures.UnreadableStructure) as info:
        structures.read_structure(path)
    assert str(info.value).startswith(message.format(path))
    assert info.value.path == path and isinstance(info.value, ValueError)


def test_structure_files_under_directories(tmp_path):
    (tmp_path / "db" / "sub").mkdir(parents=True)
    for name in ("b.pdb", "a.ENT", "notes.txt", "sub/c.pdb"):
        (tmp_path / "db" / name).write_text(ca(1, 1))
    found = structures.find_structure_files([str(tmp_path / "db"), str(tmp_path / "db/b.pdb")])
    db = str(tmp_path / "db")
    assert found == [(os.path.join(db, "a.ENT"), False), (os.path.join(db, "b.pdb"), False),
                     (os.path.join(db, "sub", "c.pdb"), False), (os.path.join(db, "b.pdb"), True)]
    (tmp_path / "empty").mkdir()
    for bad in ("empty", "absent"):
        with pytest.raises(structures.UnreadableStructure, match=bad):
            structures.find_structure_files([str(tmp_path / bad)])


def test_ranking_is_the_scans_own(rng):
    """Targets scanned one call each and ranked by the toolkit come out as one call over the
    whole list ranks them: order, ties in input order, truncation, Z-scores."""
    query = malven.Domain.from_pdb(str(PDB / "1hpv.pdb"), chain="A")
    xyz = query.coordinates
    targets = [malven.Domain.from_arrays(f"t{k}", xyz + rng.normal(0.0, sd, xyz.shape),
                                         query.sequence)
               for k, sd in enumerate((0.9, 0.3, 0.6, 0.3))]
    targets.insert(2, targets[1])  # an exact tie
    for max_hits in (100, 3, 1, 0):
        whole = malven.scan_database(query, targets, max_hits=max_hits, scan_mode=False)
        single = [malven.scan_database(query, [t], max_hits=1, scan_mode=False)[0]
                  for t in targets]
        ranked = kelda.rank(single, max_hits)
        assert [(h.target_id, h.score, h.rank, h.z_score) for h in whole] == \
            [(h.target_id, h.score, r, z) for h, r, z in ranked]


@pytest.mark.parametrize("scores, max_hits, order", [
    ([], 5, []), ([1.0], 5, [0]), ([2.0, 1.0, 3.0, 2.0], 10, [2, 0, 3, 1]),
    ([0.5, 0.7, 0.5, 0.7], 3, [1, 3, 0]),
])
def test_rank_scores_orders_stably(scores, max_hits, order):
    got, z = _native.rank_scores(scores, max_hits)
    assert got == order and len(z) == len(order)


def test_leading_order_is_the_placements_own_rule():
    """A structure under half the reference's length is not placed; the toolkit then lets the
    shorter one lead, and the placement runs."""
    long_ = malven.Domain.from_pdb(str(PDB / "1hpv.pdb"), chain="A")
    xyz = long_.coordinates[:48]
    short = malven.Domain.from_arrays("short", (xyz - xyz.mean(0)) @ rotation([0, 1, 1], 1.0).T,
                                      long_.sequence[:48])
    assert len(short) < len(long_) // 2
    assert malven.pairwise_align(long_, short, scan_mode=True).n_aligned == 0
    ref, mob, swapped = kelda.leading_order(long_, short)
    assert (ref.id, mob.id, swapped) == ("short", long_.id, True)
    assert malven.pairwise_align(ref, mob, scan_mode=True).n_aligned > 40
    assert kelda.leading_order(short, long_)[2] is False


@pytest.mark.parametrize("source, index, prefix, name", [
    ("/x/1abc.pdb", 0, "aligned_", "aligned_1abc.pdb"),
    ("a/b.tar.gz", 1, "p_", "p_b.tar.pdb"),
    ("/", 3, "aligned_", "aligned_domain3.pdb"),
])
def test_output_names_are_write_alls(source, index, prefix, name):
    assert _native.output_file_name(source, index, prefix) == name


def test_native_module_shares_malvens_classes():
    d = malven.Domain("x")
    with pytest.raises(TypeError, match="argument 'domain'"):
        _native.residue_labels(malven.Parameters())
    assert _native.residue_labels(d) == []
