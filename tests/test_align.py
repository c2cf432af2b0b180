"""The toolkit's pairwise alignment (the robust engine): invariants under rigid motions and
swapped inputs, TM-align's own scores for real pairs, edge cases, and native work that runs
without the interpreter lock and stops on Ctrl-C."""
import signal
import threading
import time

import numpy as np
import pytest

import keldascope
import malven
from conftest import DATA, SHARED, rotation, seconds_to_interrupt

PDB = DATA / "pdb"


def domain(path, chain=None):
    return malven.Domain.from_pdb(str(path), chain)


def moved(d, rng):
    r = rotation(rng.normal(size=3), rng.uniform(0.3, 3.0))
    xyz = d.coordinates @ r.T + rng.uniform(-50, 50, size=3)
    return malven.Domain.from_arrays(d.id + "_moved", xyz, d.sequence, d.chain)


@pytest.fixture(scope="module")
def pair():
    return domain(PDB / "1ni7.pdb"), domain(PDB / "5eep.pdb")


def tmalign_rows():
    """The stored TM-align table, rows whose files are here."""
    rows = []
    lines = (DATA / "tmalign_scores.tsv").read_text().splitlines()
    header = None
    for line in lines:
        if line.startswith("#"):
            continue
        cells = line.split("\t")
        if header is None:
            header = cells
            continue
        row = dict(zip(header, cells))
        root = PDB if row["root"] == "pdb" else SHARED
        rows.append(pytest.param(root / row["a"], root / row["b"], float(row["tm_a"]),
                                 float(row["tm_b"]), id=f"{row['a']}-{row['b']}"))
    return rows


@pytest.mark.parametrize("a, b, tm_a, tm_b", tmalign_rows())
def test_tm_scores_match_tmaligns(a, b, tm_a, tm_b):
    """Within 0.02 of TM-align's; for unrelated pairs (TM-align under 0.5) a higher score is
    a better superposition found, not an error: TM-score is a maximum over superpositions."""
    if not (a.exists() and b.exists()):
        pytest.skip("shared data absent")
    r = keldascope.align(str(a), str(b))
    for ours, theirs in ((r.tm_score_1, tm_a), (r.tm_score_2, tm_b)):
        assert ours >= theirs - 0.02
        if max(tm_a, tm_b) >= 0.5:
            assert ours <= theirs + 0.02


def test_rigid_motions_leave_the_alignment_unchanged(pair, rng):
    a, b = pair
    base = keldascope.align(a, b)
    assert base.significant and base.tm_score_1 > 0.8
    for _ in range(3):
        ma, mb = moved(a, rng), moved(b, rng)
        r = keldascope.align(ma, mb)
        assert r.pairs == base.pairs and r.alignment == base.alignment
        assert (r.tm_score_1, r.tm_score_2) == pytest.approx((base.tm_score_1, base.tm_score_2),
                                                               abs=1e-6)
        assert r.sc == pytest.approx(base.sc, abs=1e-3)
        # The transform still carries structure 2 onto 1: the pairs lie as close as before.
        got = r.transform.apply(mb.coordinates)[[j for _, j in r.pairs]]
        want = ma.coordinates[[i for i, _ in r.pairs]]
        assert np.sqrt(((got - want) ** 2).sum(1).mean()) == pytest.approx(base.rmsd, abs=1e-6)


def test_self_alignment_is_perfect(pair, rng):
    a, _ = pair
    for other in (a, moved(a, rng)):
        r = keldascope.align(a, other)
        assert (r.tm_score_1, r.tm_score_2) == pytest.approx((1.0, 1.0), abs=1e-9)
        assert r.pairs == [(k, k) for k in range(len(a))] and r.rmsd < 1e-6
        assert r.seq_identity == 1.0 and r.significant


def test_swapping_the_inputs_inverts_the_transform(pair):
    a, b = pair
    ab, ba = keldascope.align(a, b), keldascope.align(b, a)
    assert (ba.tm_score_1, ba.tm_score_2) == pytest.approx((ab.tm_score_2, ab.tm_score_1), abs=1e-3)
    product = ba.transform.compose(ab.transform)  # b -> a -> b
    np.testing.assert_allclose(product.rotation, np.eye(3), atol=1e-2)
    np.testing.assert_allclose(product.translation, 0.0, atol=0.2)
    assert abs(ab.n_aligned - ba.n_aligned) <= 2


def test_labels_and_files(pair, tmp_path):
    r = keldascope.align(str(PDB / "1ni7.pdb"), str(PDB / "5eep.pdb"))
    assert r.structure1.path.endswith("1ni7.pdb") and len(r.labels) == r.n_aligned
    i, j = r.pairs[0]
    assert r.labels[0] == (r.structure1.labels[i], r.structure2.labels[j])
    assert r.tm_score == r.tm_score_1


@pytest.mark.parametrize("n_small", [0, 1, 4])
def test_fewer_than_five_residues_are_not_aligned(pair, n_small):
    a, _ = pair
    tiny = malven.Domain.from_arrays("tiny", a.coordinates[:n_small], a.sequence[:n_small])
    for first, second in ((a, tiny), (tiny, a)):
        r = keldascope.align(first, second)
        assert not r.aligned and r.pairs == [] and r.tm_score_1 == 0.0
        assert np.isnan(r.rmsd) and not r.significant


def test_a_short_piece_is_found_inside_a_long_chain(rng):
    long_ = domain(PDB / "1hpv.pdb", "A")
    xyz = np.concatenate([long_.coordinates] * 3)  # about 300 residues
    big = malven.Domain.from_arrays("big", xyz + np.arange(len(xyz))[:, None] * [0.0, 0.0, 0.01],
                                    long_.sequence * 3)
    piece = malven.Domain.from_arrays("piece", long_.coordinates[40:70], long_.sequence[40:70])
    r = keldascope.align(big, moved(piece, rng))
    assert r.n_aligned >= 28 and r.tm_score_2 > 0.9


def test_identical_points_and_non_finite_coordinates(pair):
    same = malven.Domain.from_arrays("same", np.ones((20, 3)), "A" * 20)
    r = keldascope.align(same, same)  # degenerate, but no failure
    assert np.isfinite(r.tm_score_1)
    a, _ = pair
    xyz = a.coordinates
    xyz[7, 1] = np.nan
    bad = malven.Domain.from_arrays("bad", xyz, a.sequence)
    with pytest.raises(ValueError, match="not finite|finite"):
        keldascope.align(a, bad)


def test_the_native_work_runs_without_the_interpreter_lock(pair):
    """A Python thread keeps counting while alignments run in another."""
    a, b = pair
    counted = []
    done = threading.Event()

    def count():
        n = 0
        while not done.is_set():
            n += 1
        counted.append(n)

    t = threading.Thread(target=count)
    t.start()
    try:
        start = time.perf_counter()
        while time.perf_counter() - start < 0.3:
            keldascope.align(a, b)
    finally:
        done.set()
        t.join()
    assert counted[0] > 1000


@pytest.mark.skipif(not hasattr(signal, "SIGINT"), reason="needs signals")
def test_ctrl_c_stops_a_long_alignment_within_a_second(tmp_path):
    big = SHARED / "foldseek_large" / "d1kqfa2.pdb"
    if not big.exists():
        pytest.skip("shared data absent")
    elapsed = seconds_to_interrupt(tmp_path, big,
                                   "for _ in range(1000): keldascope.align(d, d)")
    assert elapsed < 1.5, "Ctrl-C took too long"
