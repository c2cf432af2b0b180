"""The result classes as returned by the alignment entries: getters, methods, texts."""
import numpy as np
import pytest

import malven
from conftest import full_doc, helix, rotation


@pytest.fixture(scope="module")
def pair():
    coords = helix(40)
    a = malven.Domain.from_arrays("a", coords, "ACDEFGHIKL" * 4)
    rot = rotation([1, 2, 3], 0.4)
    b = malven.Domain.from_arrays("b", coords @ rot.T + [3.0, -1.0, 2.0], "ACDEFGHIKL" * 4)
    return a, b, malven.pairwise_align(a, b, scan_mode=True)


def test_alignment_result_getters(pair):
    a, b, r = pair
    assert r.n_aligned == len(r.aligned_pairs) > 0
    assert all(isinstance(i, int) and isinstance(j, int) for i, j in r.aligned_pairs)
    assert isinstance(r.rmsd, float) and isinstance(r.score, float)
    t = r.transform
    np.testing.assert_array_equal(r.get_rotation(), t.rotation)
    np.testing.assert_array_equal(r.get_translation(), t.translation)
    np.testing.assert_array_equal(r.transformation_matrix(), t.transformation_matrix())
    moved = r.get_transformed_coordinates(b)
    np.testing.assert_allclose(moved, r.transform_coordinates(b.coordinates))
    np.testing.assert_allclose(moved, a.coordinates, atol=1e-6)
    assert b.coordinates[0, 0] != moved[0, 0]  # the domain itself is not moved
    assert malven.Domain("e").coordinates.shape == r.get_transformed_coordinates(malven.Domain("e")).shape


def test_alignment_result_arrays_are_fresh(pair):
    r = pair[2]
    rot = r.get_rotation()
    rot[:] = 0.0
    assert np.linalg.det(r.get_rotation()) == pytest.approx(1.0)
    pairs = r.aligned_pairs
    pairs.clear()
    assert r.aligned_pairs


def test_alignment_result_errors(pair):
    r = pair[2]
    with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
        r.transform_coordinates(np.zeros((2, 2)))
    with pytest.raises(TypeError, match="^argument 'domain': 'str' object cannot be cast as 'Domain'$"):
        r.get_transformed_coordinates("a")
    with pytest.raises(AttributeError):
        r.rmsd = 1.0


def test_alignment_result_text(pair):
    r = pair[2]
    assert repr(r) == (f"AlignmentResult(rmsd={r.rmsd:.3f}, n_aligned={r.n_aligned}, "
                       f"score={r.score:.4f}, seq_identity={r.seq_identity:.3f})")


@pytest.fixture(scope="module")
def msa():
    base = helix(30)
    extra = np.vstack([helix(8, start=1.0) + [30.0, 0, 0], base])
    ds = [malven.Domain.from_arrays("d0", base, "A" * 30),
          malven.Domain.from_arrays("d1", extra, "G" * 38),
          malven.Domain.from_arrays("d2", base[:25], "C" * 25)]
    pre = [malven.Transform.from_matrix(np.eye(3), np.array([float(k), 0.0, 0.0])) for k in range(2)]
    return ds, malven.multiple_align(ds, pre_transforms=pre)


def test_multiple_alignment_result(msa):
    ds, r = msa
    n = len(ds)
    assert r.n_columns == len(r.columns) and r.n_core == len(r.core_positions)
    assert all(len(col) == n for col in r.columns)
    for k in r.core_positions:
        assert None not in r.columns[k]
    assert r.core_positions == sorted(r.core_positions)
    # each domain's residues appear once each, in order
    for d in range(n):
        seen = [col[d] for col in r.columns if col[d] is not None]
        assert seen == list(range(len(ds[d])))
    assert len(r.transforms) == n
    assert repr(r) == (f"MultipleAlignmentResult(n_structures={n}, n_columns={r.n_columns}, "
                       f"n_core={r.n_core}, avg_rmsd={r.avg_rmsd:.3f})")


def test_get_transform_and_full_transforms(msa):
    ds, r = msa
    n = len(ds)
    last = r.get_transform(n - 1)
    np.testing.assert_array_equal(last.transformation_matrix(), r.transforms[-1].transformation_matrix())
    with pytest.raises(ValueError) as info:
        r.get_transform(n)
    assert str(info.value) == f"Invalid domain index: {n}"
    with pytest.raises(OverflowError):
        r.get_transform(-1)
    # two pre-alignment transforms for three domains: only two full transforms
    full = r.full_transforms
    assert len(full) == 2
    for k, f in enumerate(full):
        expect = r.transforms[k].compose(malven.Transform.from_matrix(np.eye(3), np.array([float(k), 0, 0])))
        np.testing.assert_allclose(f.transformation_matrix(), expect.transformation_matrix())


def test_result_docstrings():
    assert malven.AlignmentResult.__doc__ == ("Python wrapper for pairwise alignment result.\n\n"
                                              "Contains the transformation, statistics, and alignment path.")
    assert malven.MultipleAlignmentResult.__doc__ == "Python wrapper for multiple alignment result."
    assert malven.ScanHit.__doc__ == "Result of a database scan hit."
    doc = full_doc(malven.MultipleAlignmentResult.get_transform, "get_transform")
    if doc is not None:
        assert doc == "get_transform($self, index)\n--\n\nReturns the transformation for a specific domain."
