"""The toolkit's pairwise alignment: the robust engine's invariants under rigid motions and
swapped inputs, TM-align's own scores for real pairs, edge cases, the KELDA methods as the
malven module's procedures, and native work that runs without the interpreter lock on copies
of its inputs and stops on Ctrl-C."""
import signal
import threading
import time

import numpy as np
import pytest

import keldascope
import malven
from conftest import DATA, SHARED, rotation, interrupt_child
from keldascope import Method, NormaliseBy

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
    for ours, theirs in ((r.tm_score_a, tm_a), (r.tm_score_b, tm_b)):
        assert ours >= theirs - 0.02
        if max(tm_a, tm_b) >= 0.5:
            assert ours <= theirs + 0.02


def test_rigid_motions_leave_the_alignment_unchanged(pair, rng):
    a, b = pair
    base = keldascope.align(a, b)
    assert base.same_fold and base.tm_score_a > 0.8
    for _ in range(3):
        ma, mb = moved(a, rng), moved(b, rng)
        r = keldascope.align(ma, mb)
        assert r.pairs == base.pairs and r.alignment == base.alignment
        assert (r.tm_score_a, r.tm_score_b) == pytest.approx((base.tm_score_a, base.tm_score_b),
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
        assert (r.tm_score_a, r.tm_score_b) == pytest.approx((1.0, 1.0), abs=1e-9)
        assert r.pairs == [(k, k) for k in range(len(a))] and r.rmsd < 1e-6
        assert r.identity == 1.0 and r.same_fold


def test_swapping_the_inputs_inverts_the_transform(pair):
    a, b = pair
    ab, ba = keldascope.align(a, b), keldascope.align(b, a)
    assert (ba.tm_score_a, ba.tm_score_b) == pytest.approx((ab.tm_score_b, ab.tm_score_a), abs=1e-3)
    product = ba.transform.compose(ab.transform)  # b -> a -> b
    np.testing.assert_allclose(product.rotation, np.eye(3), atol=1e-2)
    np.testing.assert_allclose(product.translation, 0.0, atol=0.2)
    assert abs(ab.n_aligned - ba.n_aligned) <= 2


def test_labels_and_files(pair, tmp_path):
    r = keldascope.align(str(PDB / "1ni7.pdb"), str(PDB / "5eep.pdb"))
    assert r.structure_a.path.endswith("1ni7.pdb") and len(r.labels) == r.n_aligned
    i, j = r.pairs[0]
    assert r.labels[0] == (r.structure_a.labels[i], r.structure_b.labels[j])
    # 149 and 140 residues: the longer is A.
    assert r.tm_score(NormaliseBy.A) == r.tm_score(NormaliseBy.LONGER) == r.tm_score_a == r.score
    assert r.tm_score(NormaliseBy.SHORTER) == r.tm_score_b
    assert (r.length_a, r.length_b, r.method, r.placement) == (149, 140, Method.ROBUST, None)


@pytest.mark.parametrize("n_small", [0, 1, 4])
def test_fewer_than_five_residues_are_not_aligned(pair, n_small):
    a, _ = pair
    tiny = malven.Domain.from_arrays("tiny", a.coordinates[:n_small], a.sequence[:n_small])
    for first, second in ((a, tiny), (tiny, a)):
        r = keldascope.align(first, second)
        assert not r.aligned and r.pairs == [] and r.tm_score_a == 0.0
        assert r.rmsd is None and not r.same_fold
        assert r.status == keldascope.PairStatus.NOT_ATTEMPTED


def test_a_short_piece_is_found_inside_a_long_chain(rng):
    long_ = domain(PDB / "1hpv.pdb", "A")
    xyz = np.concatenate([long_.coordinates] * 3)  # about 300 residues
    big = malven.Domain.from_arrays("big", xyz + np.arange(len(xyz))[:, None] * [0.0, 0.0, 0.01],
                                    long_.sequence * 3)
    piece = malven.Domain.from_arrays("piece", long_.coordinates[40:70], long_.sequence[40:70])
    r = keldascope.align(big, moved(piece, rng))
    assert r.n_aligned >= 28 and r.tm_score_b > 0.9


def test_identical_points_and_non_finite_coordinates(pair):
    same = malven.Domain.from_arrays("same", np.ones((20, 3)), "A" * 20)
    r = keldascope.align(same, same)  # degenerate, but no failure
    assert np.isfinite(r.tm_score_a)
    a, _ = pair
    xyz = a.coordinates
    xyz[7, 1] = np.nan
    bad = malven.Domain.from_arrays("bad", xyz, a.sequence)
    with pytest.raises(ValueError, match="not finite|finite"):
        keldascope.align(a, bad)


@pytest.mark.parametrize("params", [None, {"e1": 3.0, "cutoff_dist": 8.0}])
def test_the_kelda_methods_are_the_modules_procedures(pair, rng, params):
    """KELDA_FULL is pairwise_align's refinement; KELDA_SCAN places B by pairwise_align's scan
    mode and refines from there, the two motions composed; both add TM-scores."""
    a, b = pair[0], moved(pair[1], rng)
    p = None if params is None else keldascope.parameters.from_dict(params)
    full = keldascope.align(a, b, method=Method.KELDA_FULL, params=p)
    direct = malven.pairwise_align(a, b, params=p)
    assert (full.pairs, full.sc, full.n_aligned) == (direct.aligned_pairs, direct.score,
                                                    direct.n_aligned)
    assert full.identity == direct.seq_identity and full.placement is None
    scan = keldascope.align(a, b, method=Method.KELDA_SCAN, params=p)
    placed = malven.pairwise_align(a, b, params=p, scan_mode=True)
    assert (scan.placement.sc, scan.placement.n_aligned, scan.placement.swapped) == \
        (placed.score, placed.n_aligned, False)
    start = b.copy()
    start.coordinates = placed.transform.apply(b.coordinates)
    refined = malven.pairwise_align(a, start, params=p)
    assert (scan.pairs, scan.sc) == (refined.aligned_pairs, refined.score)
    np.testing.assert_array_equal(scan.transform.rotation,
                                  refined.transform.compose(placed.transform).rotation)
    assert scan.tm_score_a > 0.6 and scan.same_fold and scan.score == scan.sc
    assert (scan.tm_score_a, scan.tm_score_b) == \
        keldascope._native.tm_scores(a, b, scan.pairs)


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


def test_records_change_while_native_work_runs_on_copies(pair):
    """Busy threads align a domain while this one renames it: the native calls copy their
    inputs and hold no borrow while they run, so every rename succeeds."""
    a, b = pair
    done = threading.Event()
    errors = []

    def work():
        try:
            while not done.is_set():
                keldascope.align(a, b)
        except Exception as exc:  # noqa: BLE001 (reported below)
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(6)]
    for t in threads:
        t.start()
    try:
        for k in range(300):
            a.id = f"renamed{k}"
            time.sleep(0.001)
    finally:
        done.set()
        for t in threads:
            t.join()
    assert errors == [] and a.id == "renamed299"


@pytest.mark.skipif(not hasattr(signal, "SIGINT"), reason="needs signals")
def test_ctrl_c_stops_a_long_alignment(tmp_path):
    """Minutes of work: the child ends well inside the minute interrupt_child waits."""
    big = SHARED / "foldseek_large" / "d1kqfa2.pdb"
    if not big.exists():
        pytest.skip("shared data absent")
    interrupt_child(tmp_path, big, "for _ in range(100000): keldascope.align(d, d)")
