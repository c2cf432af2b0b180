"""The Domain class: construction, attributes, arrays, copies and text forms."""
import numpy as np
import pytest

import malven
from conftest import full_doc, helix


def test_empty_domain():
    d = malven.Domain("x")
    assert (d.id, d.chain, len(d), bool(d)) == ("x", "A", 0, False)
    assert d.sequence == "" and d.secondary_structure == "" and d.pdb_file == ""
    assert d.has_dssp is False
    assert d.coordinates.shape == (0, 3)
    assert repr(d) == "Domain(id='x', chain='A', n_residues=0)"
    assert str(d) == "<Domain x chain A with 0 residues>"
    assert d.ss_content() == (0.0, 0.0, 0.0)


def test_from_arrays_builds_residues():
    d = malven.Domain.from_arrays("d", np.zeros((3, 3)), "AGX")
    assert d.sequence == "AGX"
    assert d.secondary_structure == "CCC"
    assert d.ss_content() == (0.0, 0.0, 1.0)
    assert len(d) == 3 and bool(d)
    assert repr(d) == "Domain(id='d', chain='A', n_residues=3)"


def test_text_forms_insert_fields_unescaped():
    d = malven.Domain("it's", chain="'")
    assert repr(d) == "Domain(id='it's', chain=''', n_residues=0)"
    assert str(d) == "<Domain it's chain ' with 0 residues>"


@pytest.mark.parametrize(
    "shape, seq, message",
    [
        ((3, 4), "AGX", "Coordinates must have shape (N, 3)"),
        ((3, 3), "AGXY", "Number of coordinates must match sequence length"),
        ((0, 2), "", "Coordinates must have shape (N, 3)"),
    ],
)
def test_from_arrays_shape_errors(shape, seq, message):
    with pytest.raises(ValueError) as info:
        malven.Domain.from_arrays("d", np.zeros(shape), seq)
    assert str(info.value) == message


def test_from_arrays_counts_characters_not_bytes():
    d = malven.Domain.from_arrays("d", np.zeros((2, 3)), "\u00c5G", chain="\u00e9")
    assert d.sequence == "\u00c5G"
    assert d.chain == "\u00e9"
    assert len(d) == 2


def test_from_arrays_keeps_letters_unchanged_and_empty_is_allowed():
    d = malven.Domain.from_arrays("d", np.zeros((3, 3)), "a-*")
    assert d.sequence == "a-*"
    e = malven.Domain.from_arrays("e", np.zeros((0, 3)), "")
    assert len(e) == 0


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a,
        lambda a: np.asfortranarray(a),
        lambda a: np.repeat(a, 2, axis=0)[::2],
        lambda a: a[::-1][::-1],
        lambda a: np.hstack([a, np.ones((len(a), 2))])[:, :3],
    ],
    ids=["c-order", "fortran", "every-second-row", "negative-strides", "column-slice"],
)
def test_any_memory_layout_is_read_by_index(make):
    coords = helix(7)
    d = malven.Domain.from_arrays("d", make(coords.copy()), "A" * 7)
    np.testing.assert_array_equal(d.coordinates, coords)


def test_coordinates_round_trip_and_independence():
    coords = helix(5)
    d = malven.Domain.from_arrays("d", coords, "ACDEF")
    got = d.coordinates
    assert got.flags["C_CONTIGUOUS"] and got.flags["WRITEABLE"] and got.dtype == np.float64
    got[0, 0] = 1000.0
    coords[1, 1] = 1000.0
    np.testing.assert_array_equal(d.coordinates, helix(5))


def test_coordinates_setter():
    d = malven.Domain.from_arrays("d", helix(4), "ACDE")
    moved = helix(4) + 10.0
    d.coordinates = moved
    np.testing.assert_array_equal(d.coordinates, moved)
    assert d.sequence == "ACDE"

    with pytest.raises(ValueError) as info:
        d.coordinates = np.zeros((5, 3))
    assert str(info.value) == "Expected 4 coordinates, got 5"
    with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
        d.coordinates = np.zeros((4, 2))
    with pytest.raises(TypeError, match=r"^argument 'coords': 'list' object cannot be cast as 'ndarray'$"):
        d.coordinates = moved.tolist()
    np.testing.assert_array_equal(d.coordinates, moved)


@pytest.mark.parametrize("attr", ["id", "chain", "coordinates"])
def test_deleting_settable_attributes(attr):
    d = malven.Domain("x")
    with pytest.raises(AttributeError) as info:
        delattr(d, attr)
    assert str(info.value) == "can't delete attribute"


@pytest.mark.parametrize("attr", ["pdb_file", "sequence", "secondary_structure", "has_dssp"])
def test_read_only_attributes(attr):
    with pytest.raises(AttributeError):
        setattr(malven.Domain("x"), attr, "A")


def test_setters_and_failed_setters_leave_domain_unchanged():
    d = malven.Domain("x", "B")
    d.id = "renamed"
    d.chain = "Z"
    assert (d.id, d.chain) == ("renamed", "Z")
    for bad in ["", "AB"]:
        with pytest.raises(ValueError, match="^expected a string of length 1$"):
            d.chain = bad
    with pytest.raises(TypeError, match="^argument 'id': 'int' object cannot be cast as 'str'$"):
        d.id = 3
    assert (d.id, d.chain) == ("renamed", "Z")


def test_copy_is_deep():
    d = malven.Domain.from_arrays("d", helix(3), "ACD")
    c = d.copy()
    c.coordinates = np.zeros((3, 3))
    c.id = "other"
    np.testing.assert_array_equal(d.coordinates, helix(3))
    assert d.id == "d"
    assert repr(c) == "Domain(id='other', chain='A', n_residues=3)"


def test_subclass_instances_are_accepted():
    class MyDomain(malven.Domain):
        pass

    d = MyDomain("sub")
    assert isinstance(d, malven.Domain)
    assert d.copy().id == "sub"


def test_class_and_method_docstrings():
    assert full_doc(malven.Domain, "Domain") == (
        "Domain(id, chain=None)\n--\n\nPython wrapper for Domain.\n\n"
        "Represents a protein domain with C-alpha coordinates and optional\n"
        "secondary structure information."
    )
    doc = full_doc(malven.Domain.copy, "copy")
    if doc is not None:
        assert doc == "copy($self)\n--\n\nReturns a copy of this domain."
    doc = full_doc(malven.Domain.from_arrays, "from_arrays")
    if doc is not None:
        assert doc.startswith("from_arrays(id, coords, sequence, chain=None)\n--\n\n"
                              "Creates a domain from coordinates and sequence.\n\nArgs:\n")
        assert doc.endswith("Returns:\n    New Domain object.")
