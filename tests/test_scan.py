"""scan_database as Python sees it: arguments in order, each mode against pairwise_align,
the cutoff, ranks, Z-scores and failures."""
import math

import numpy as np
import pytest

import malven
from conftest import DATA, full_doc, rotation

PDB = DATA / "pdb"
SIGNATURE = ("scan_database(query, targets, params=None, score_cutoff=0.0, max_hits=100, "
             "quick=False, scan_mode=True)\n--\n\n")


def copy_of(d, name, coords=None):
    return malven.Domain.from_arrays(name, d.coordinates if coords is None else coords, d.sequence)


@pytest.fixture(scope="module")
def query():
    return malven.Domain.from_pdb(str(PDB / "1hpv.pdb"), chain="A")


@pytest.fixture(scope="module")
def lib(query):
    """Targets by name: related and unrelated chains in their own frames, copies of the
    query moved away, jittered in place to several degrees, and pieces too short to align."""
    rng = np.random.default_rng(20261208)
    xyz = query.coordinates
    out = {
        "partner": copy_of(malven.Domain.from_pdb(str(PDB / "1hpv.pdb"), chain="B"), "partner"),
        "pentamer": copy_of(malven.Domain.from_pdb(str(PDB / "1tii.pdb"), chain="D"), "pentamer"),
        "unrelated": copy_of(malven.Domain.from_pdb(str(PDB / "5eep.pdb")), "unrelated"),
        # Under half the query's length: scan mode does not try it.
        "zinc": copy_of(malven.Domain.from_pdb(str(PDB / "3znf.pdb")), "zinc"),
        "moved": copy_of(query, "moved", (xyz - xyz.mean(0)) @ rotation([1, 2, 3], 2.0).T + 40.0),
        "two": malven.Domain.from_arrays("two", xyz[:2], query.sequence[:2]),
    }
    for sd in (0.3, 0.6, 0.9):
        name = f"jitter{sd}"
        out[name] = copy_of(query, name, xyz + rng.normal(0.0, sd, xyz.shape))
    return out


def by_id(hits):
    return {h.target_id: h for h in hits}


def fields(h):
    return (h.score, h.rmsd, h.n_aligned, h.seq_identity)


def test_docstring_starts_with_signature():
    doc = full_doc(malven.scan_database, "scan_database")
    assert doc.startswith(SIGNATURE)
    assert "Returns:" in doc


def test_arguments_convert_in_order_and_refuse_none_for_valued_defaults(query):
    t = [query]
    rows = [
        (lambda: malven.scan_database(1, t, score_cutoff=None), TypeError,
         "argument 'query': 'int' object cannot be cast as 'Domain'"),
        (lambda: malven.scan_database(query, "ab"), TypeError,
         "argument 'targets': Can't extract `str` to `Vec`"),
        (lambda: malven.scan_database(query, [query, 3]), TypeError,
         "argument 'targets': 'int' object cannot be cast as 'Domain'"),
        (lambda: malven.scan_database(query, t, query), TypeError,
         "argument 'params': 'Domain' object cannot be cast as 'Parameters'"),
        (lambda: malven.scan_database(query, t, score_cutoff=None, max_hits=None), TypeError,
         "argument 'score_cutoff': "),
        (lambda: malven.scan_database(query, t, max_hits=None), TypeError, "argument 'max_hits': "),
        (lambda: malven.scan_database(query, t, max_hits=-1), OverflowError, ""),
        (lambda: malven.scan_database(query, t, quick=None), TypeError, "argument 'quick': "),
        (lambda: malven.scan_database(query, t, scan_mode=None), TypeError,
         "argument 'scan_mode': "),
        (lambda: malven.scan_database(query, t, slide=10), TypeError, "scan_database"),
    ]
    for call, exc, start in rows:
        with pytest.raises(exc) as info:
            call()
        assert type(info.value) is exc and str(info.value).startswith(start)
        if start.endswith("cast as 'Domain'") or start.endswith("`Vec`"):
            assert str(info.value) == start


def test_empty_targets_max_hits_zero_and_none_params(query, lib):
    assert malven.scan_database(query, []) == []
    assert malven.scan_database(query, (), quick=True, scan_mode=False) == []
    assert malven.scan_database(query, list(lib.values()), None, max_hits=0) == []


def test_full_mode_hits_equal_pairwise_align(query, lib):
    hits = malven.scan_database(query, list(lib.values()), scan_mode=False)
    assert [h.rank for h in hits] == list(range(1, len(lib) + 1))
    got = by_id(hits)
    for name, t in lib.items():
        r = malven.pairwise_align(query, t)
        assert fields(got[name]) == (r.score, r.rmsd, r.n_aligned, r.seq_identity), name
        assert got[name].e_value is None
    assert got["jitter0.3"].score > got["jitter0.9"].score > 0.0
    assert got["unrelated"].score == 0.0  # kept at the default cutoff
    assert math.isinf(got["two"].rmsd)  # too short to refine


# The scan jumps ahead after every new best start (cutoff 0.0), pairwise_align only from
# Sc 2.0, which no Sc reaches. Here the jump changes nothing: the moved copy reaches the
# highest Sc, 1.25, from the first start, and unrelated or short targets never pair the
# 30 residues a jump needs.
@pytest.mark.parametrize("quick", [False, True])
def test_scan_mode_hits_equal_pairwise_align_when_the_jump_cannot_matter(query, lib, quick):
    names = ["moved", "unrelated", "zinc", "two"]
    hits = by_id(malven.scan_database(query, [lib[n] for n in names], quick=quick))
    for name in names:
        r = malven.pairwise_align(query, lib[name], scan_mode=True, slide=10)
        assert fields(hits[name]) == (r.score, r.rmsd, r.n_aligned, r.seq_identity), name
    assert hits["moved"].score == 1.25
    assert hits["zinc"].score == 0.0 and math.isinf(hits["zinc"].rmsd)


def test_quick_mode_keeps_the_input_frames(query, lib):
    ts = [lib["moved"], lib["jitter0.3"], lib["two"]]
    quick = by_id(malven.scan_database(query, ts, quick=True, scan_mode=False))
    assert quick["moved"].score == 0.0 and quick["moved"].rmsd == 100.0  # no path found
    assert quick["two"].score == 0.0
    assert quick["jitter0.3"].score > 1.0
    assert quick["jitter0.3"].n_aligned > 0.9 * len(query)
    assert quick["jitter0.3"].seq_identity == 1.0  # every pair aligns a residue with its copy


def test_equal_scores_keep_input_order_without_z_scores(query, lib):
    a, b = copy_of(lib["moved"], "a"), copy_of(lib["moved"], "b")
    hits = malven.scan_database(query, [lib["two"], a, b])
    assert [(h.target_id, h.rank) for h in hits[:2]] == [("a", 1), ("b", 2)]
    assert all(h.z_score is None for h in malven.scan_database(query, [a, b]))
    (one,) = malven.scan_database(query, [a])
    assert (one.rank, one.z_score, one.e_value) == (1, None, None)


def test_z_scores_use_the_population_deviation_of_the_returned_hits(query, lib):
    ts = [lib[n] for n in ("jitter0.9", "jitter0.3", "jitter0.6")]
    hits = malven.scan_database(query, ts, scan_mode=False)
    scores = np.array([h.score for h in hits])
    assert list(scores) == sorted(scores, reverse=True) and len(set(scores)) == 3
    np.testing.assert_allclose([h.z_score for h in hits], (scores - scores.mean()) / scores.std(),
                               rtol=1e-12)
    top = malven.scan_database(query, ts, max_hits=2, scan_mode=False)
    # Two scores lie one deviation either side of their mean.
    assert [h.z_score for h in top] == pytest.approx([1.0, -1.0], rel=1e-12)


def test_cutoff_keeps_scores_at_or_above_it(query, lib):
    ts = [lib[n] for n in ("jitter0.9", "jitter0.3", "jitter0.6", "unrelated")]
    scores = [h.score for h in malven.scan_database(query, ts, scan_mode=False)]
    assert scores[-1] == 0.0
    kept = malven.scan_database(query, ts, scan_mode=False, score_cutoff=scores[1])
    assert [h.score for h in kept] == scores[:2]
    assert len(malven.scan_database(query, ts, scan_mode=False, score_cutoff=1e-12)) == 3


def test_failing_alignment_fails_the_scan_and_inputs_stay_unchanged(query, lib):
    p = malven.Parameters()
    p.e1 = 0.0
    before = query.coordinates.copy()
    for quick, scan_mode in [(False, True), (False, False), (True, False)]:
        with pytest.raises(ValueError) as info:
            malven.scan_database(query, [lib["moved"]], p, quick=quick, scan_mode=scan_mode)
        assert str(info.value) == ("Scan failed: Invalid parameter: e1 must be a positive "
                                   "finite number (got 0)")
    assert malven.scan_database(query, [], p) == []
    malven.scan_database(query, [query, lib["moved"]])
    np.testing.assert_array_equal(query.coordinates, before)
