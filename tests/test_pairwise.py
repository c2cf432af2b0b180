"""pairwise_align as Python sees it: statistics, transforms, options and errors."""
import math

import numpy as np
import pytest

import malven
from conftest import DATA, helix, rotation

PDB = DATA / "pdb"


def domain(coords, seq=None, name="d"):
    return malven.Domain.from_arrays(name, coords, seq or "A" * len(coords))


def moved(coords, axis, angle, shift):
    c = coords.mean(axis=0)
    return (coords - c) @ rotation(axis, angle).T + c + shift


@pytest.fixture(scope="module")
def zinc():
    return malven.Domain.from_pdb(str(PDB / "1sp1.pdb"))


def test_identical_domains(zinc):
    r = malven.pairwise_align(zinc, zinc)
    assert r.n_aligned == len(zinc)
    assert r.aligned_pairs == [(i, i) for i in range(len(zinc))]
    assert r.score == pytest.approx(1.25)
    assert r.rmsd == pytest.approx(0.0, abs=1e-6)
    assert r.seq_identity == 1.0
    np.testing.assert_allclose(r.transformation_matrix(), np.eye(4), atol=1e-9)


def test_quarter_substituted_copy_reports_three_quarters_identity():
    seq = "ACDEFGHIKLMNPQRSTVWY" * 2
    mutated = "".join(("G" if c == "W" else "W") if i % 4 == 0 else c for i, c in enumerate(seq))
    coords = helix(40)
    r = malven.pairwise_align(domain(coords, seq), domain(coords, mutated))
    assert r.n_aligned == 40
    assert r.seq_identity == pytest.approx(0.75)


@pytest.mark.parametrize("n", [0, 1, 2])
def test_too_short_domains_give_the_empty_result(n):
    r = malven.pairwise_align(domain(helix(30)), domain(helix(n)) if n else malven.Domain("e"))
    assert math.isinf(r.rmsd) and r.rmsd > 0
    assert (r.n_aligned, r.aligned_pairs, r.score, r.seq_identity) == (0, [], 0.0, 0.0)
    np.testing.assert_array_equal(r.transformation_matrix(), np.eye(4))


def test_scan_mode_none_and_false_are_direct(zinc):
    other = domain(moved(zinc.coordinates, [0, 0, 1], 0.02, 0.3), zinc.sequence)
    results = [malven.pairwise_align(zinc, other, scan_mode=m) for m in (None, False)]
    results.append(malven.pairwise_align(zinc, other))
    assert len({repr(r) for r in results}) == 1
    assert results[0].aligned_pairs == results[1].aligned_pairs


def test_max_iter_zero_runs_one_iteration():
    a = domain(helix(30))
    b = domain(moved(helix(30), [1, 0, 0], 0.05, 0.4))
    p0, p1 = malven.Parameters(), malven.Parameters()
    p0.max_iter, p1.max_iter = 0, 1
    r0, r1 = malven.pairwise_align(a, b, p0), malven.pairwise_align(a, b, p1)
    assert repr(r0) == repr(r1)
    np.testing.assert_array_equal(r0.transformation_matrix(), r1.transformation_matrix())


@pytest.mark.parametrize("seed", range(4))
def test_scan_mode_recovers_a_rigid_motion_of_a_real_structure(seed):
    rng = np.random.default_rng(seed)
    a = malven.Domain.from_pdb(str(PDB / "1hpv.pdb"))
    rot = rotation(rng.normal(size=3), rng.uniform(0.5, 3.0))
    shift = rng.normal(size=3) * 40
    b = domain(a.coordinates @ rot.T + shift, a.sequence)
    r = malven.pairwise_align(a, b, scan_mode=True)
    assert r.score == pytest.approx(1.25)
    assert r.n_aligned == len(a)
    np.testing.assert_allclose(r.get_transformed_coordinates(b), a.coordinates, atol=1e-3)


def test_swapping_inputs_inverts_the_transform():
    a = domain(helix(40))
    b = domain(moved(helix(40), [1, 1, 0], 0.7, [5.0, -4.0, 2.0]))
    ab = malven.pairwise_align(a, b, scan_mode=True)
    ba = malven.pairwise_align(b, a, scan_mode=True)
    np.testing.assert_allclose(ab.transform.compose(ba.transform).transformation_matrix(), np.eye(4), atol=1e-6)


def test_params_are_copied_not_changed(zinc):
    p = malven.Parameters()
    p.gap_open = 4.0
    before = repr(p)
    malven.pairwise_align(zinc, zinc, p, scan_mode=True, slide=0)
    assert repr(p) == before


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"params": 1}, TypeError, "argument 'params': 'int' object cannot be cast as 'Parameters'"),
        ({"scan_mode": 1}, TypeError, "argument 'scan_mode': 'int' object cannot be cast as 'bool'"),
        ({"slide": -1}, OverflowError, None),
        ({"slide": 1.5}, TypeError, None),
        ({"colour": 1}, TypeError, "pairwise_align() got an unexpected keyword argument 'colour'"),
    ],
)
def test_argument_errors(zinc, kwargs, exc, message):
    with pytest.raises(exc) as info:
        malven.pairwise_align(zinc, zinc, **kwargs)
    if message:
        assert str(info.value) == message


@pytest.mark.parametrize("field, value", [("e1", 0.0), ("e2", -1.0), ("e1", float("nan")), ("e2", float("inf"))])
@pytest.mark.parametrize("scan_mode, prefix", [(False, "Alignment failed: "), (True, "Scan alignment failed: ")])
def test_meaningless_similarity_scales_are_refused(zinc, field, value, scan_mode, prefix):
    p = malven.Parameters()
    setattr(p, field, value)
    with pytest.raises(ValueError) as info:
        malven.pairwise_align(zinc, zinc, p, scan_mode=scan_mode)
    assert str(info.value).startswith(prefix + "Invalid parameter: ")
    assert field in str(info.value)


@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_non_finite_coordinates_terminate(bad):
    coords = helix(30)
    coords[5] = bad
    for scan_mode in (False, True):
        r = malven.pairwise_align(domain(helix(30)), domain(coords), scan_mode=scan_mode)
        assert isinstance(r.rmsd, float)
