"""Transform arithmetic and the coordinate utilities compute_rmsd, centroid,
distance_matrix and superpose."""
import numpy as np
import pytest

import malven
from conftest import full_doc, helix, rotation


def make(rot, trans):
    return malven.Transform.from_matrix(np.asarray(rot, float), np.asarray(trans, float))


def test_identity():
    t = malven.Transform()
    pts = np.arange(12.0).reshape(4, 3)
    np.testing.assert_array_equal(t.apply(pts), pts)
    np.testing.assert_array_equal(t.transformation_matrix(), np.eye(4))
    assert repr(t) == "Transform(translation=[0.000, 0.000, 0.000])"


@pytest.mark.parametrize(
    "trans, text",
    [((1.23456, -0.0005, 2.5), "[1.235, -0.001, 2.500]"),
     ((0.0625, 1e-9, -1e9), "[0.062, 0.000, -1000000000.000]"),
     ((float("nan"), float("inf"), float("-inf")), "[NaN, inf, -inf]")],
)
def test_repr_fixed_three_decimals(trans, text):
    # 0.0625 lies exactly between 0.062 and 0.063: ties go to even.
    assert repr(make(np.eye(3), trans)) == f"Transform(translation={text})"


def test_from_matrix_reads_by_index():
    m = np.arange(9.0).reshape(3, 3)
    t = make(m.T, [1, 2, 3])
    np.testing.assert_array_equal(t.rotation, m.T)
    np.testing.assert_array_equal(t.translation, [1, 2, 3])
    full = t.transformation_matrix()
    np.testing.assert_array_equal(full[:3, :3], m.T)
    np.testing.assert_array_equal(full[:3, 3], [1, 2, 3])
    np.testing.assert_array_equal(full[3], [0, 0, 0, 1])


@pytest.mark.parametrize(
    "rot, trans, message",
    [((3, 3), 4, "Translation must be 3-element vector"),
     ((3, 4), 4, "Rotation must be 3x3 matrix"),
     ((2, 3), 3, "Rotation must be 3x3 matrix")],
)
def test_from_matrix_shape_errors(rot, trans, message):
    with pytest.raises(ValueError) as info:
        malven.Transform.from_matrix(np.zeros(rot), np.zeros(trans))
    assert str(info.value) == message


def test_compose_inverse_and_apply(rng):
    a = make(rotation([1, 2, 3], 0.7), [1, -2, 3])
    b = make(rotation([-1, 0, 2], 2.1), [0.5, 0.25, -4])
    p = rng.normal(size=(6, 3)) * 10
    np.testing.assert_allclose(a.compose(b).apply(p), a.apply(b.apply(p)), atol=1e-12)
    np.testing.assert_allclose(a.compose(a.inverse()).apply(p), p, atol=1e-12)
    np.testing.assert_allclose(a.inverse().compose(a).apply(p), p, atol=1e-12)
    assert a.apply(np.zeros((0, 3))).shape == (0, 3)
    with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
        a.apply(np.zeros((3, 2)))


def test_returned_arrays_are_fresh():
    t = make(rotation([0, 0, 1], 0.3), [1, 2, 3])
    r = t.rotation
    r[:] = 0
    assert t.rotation[2, 2] == 1.0
    for arr in (t.rotation, t.translation, t.transformation_matrix(), t.apply(np.ones((2, 3)))):
        assert arr.dtype == np.float64 and arr.flags["C_CONTIGUOUS"] and arr.flags["WRITEABLE"]


def test_transform_has_no_setters():
    with pytest.raises(AttributeError):
        malven.Transform().rotation = np.eye(3)


def test_compute_rmsd():
    a = helix(10)
    b = a + np.array([1.0, 0.0, 0.0])
    assert malven.compute_rmsd(a, b) == pytest.approx(1.0)
    assert malven.compute_rmsd(np.zeros((0, 3)), np.zeros((0, 3))) == 0.0


@pytest.mark.parametrize(
    "fn, a, b, message",
    [
        (malven.compute_rmsd, (5, 3), (4, 3), "Coordinate arrays must have same shape"),
        (malven.compute_rmsd, (5, 2), (5, 2), "Coordinates must have shape (N, 3)"),
        (malven.compute_rmsd, (5, 2), (5, 3), "Coordinate arrays must have same shape"),
        (malven.distance_matrix, (5, 2), (5, 3), "Coordinates must have shape (N, 3)"),
        (malven.distance_matrix, (5, 3), (5, 4), "Coordinates must have shape (N, 3)"),
        (malven.superpose, (5, 3), (4, 3), "Coordinate arrays must have same shape"),
    ],
)
def test_shape_errors(fn, a, b, message):
    with pytest.raises(ValueError) as info:
        fn(np.zeros(a), np.zeros(b))
    assert str(info.value) == message


def test_centroid():
    assert malven.centroid(np.array([[1.5, -2.0, 3.0]])) == (1.5, -2.0, 3.0)
    pts = helix(9)
    assert malven.centroid(pts) == pytest.approx(tuple(pts.mean(axis=0)))
    with pytest.raises(ValueError, match=r"^Coordinates must have shape \(N, 3\)$"):
        malven.centroid(np.zeros((2, 2)))


def test_distance_matrix(rng):
    a, b = rng.normal(size=(4, 3)), rng.normal(size=(6, 3))
    d = malven.distance_matrix(a, b)
    np.testing.assert_allclose(d, np.linalg.norm(a[:, None] - b[None], axis=2), atol=1e-12)
    assert malven.distance_matrix(a, np.zeros((0, 3))).shape == (4, 0)
    assert malven.distance_matrix(np.zeros((0, 3)), b).shape == (0, 6)


@pytest.mark.parametrize("seed", range(5))
def test_superpose_recovers_rigid_motion(seed):
    rng = np.random.default_rng(seed)
    mobile = rng.normal(size=(20, 3)) * 10
    rot = rotation(rng.normal(size=3), rng.uniform(-3, 3))
    trans = rng.normal(size=3) * 20
    fixed = mobile @ rot.T + trans
    t, rmsd = malven.superpose(fixed, mobile)
    assert rmsd == pytest.approx(0.0, abs=1e-9)
    np.testing.assert_allclose(t.rotation, rot, atol=1e-9)
    np.testing.assert_allclose(t.translation, trans, atol=1e-8)


def test_superpose_special_inputs(rng):
    t, rmsd = malven.superpose(np.zeros((0, 3)), np.zeros((0, 3)))
    np.testing.assert_array_equal(t.transformation_matrix(), np.eye(4))
    assert rmsd == 0.0

    t, rmsd = malven.superpose(np.array([[4.0, 6, 8]]), np.array([[1.0, 2, 3]]))
    np.testing.assert_array_equal(t.rotation, np.eye(3))
    np.testing.assert_array_equal(t.translation, [3, 4, 5])
    assert rmsd == 0.0

    fixed = rng.normal(size=(12, 3))
    t, rmsd = malven.superpose(fixed, fixed * [1, 1, -1])
    assert np.linalg.det(t.rotation) == pytest.approx(1.0)
    assert rmsd > 0.1

    # Extra columns are ignored; only the first three form the points.
    wide = np.hstack([fixed, rng.normal(size=(12, 1))])
    t4, r4 = malven.superpose(wide, wide)
    assert r4 == pytest.approx(0.0, abs=1e-9)

    with pytest.raises(ValueError):
        malven.superpose(np.zeros((3, 2)), np.zeros((3, 2)))


def test_transform_docstrings():
    assert full_doc(malven.Transform, "Transform") == (
        "Transform()\n--\n\nPython wrapper for 3D rigid body transformation.\n\n"
        "Represents a rotation followed by translation."
    )
    doc = full_doc(malven.Transform.compose, "compose")
    if doc is not None:
        assert doc == "compose($self, other)\n--\n\nComposes this transformation with another (self * other)."
