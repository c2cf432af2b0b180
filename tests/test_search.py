"""The toolkit's searches on threads: the query search equals the engine run target by target
for any thread count, the prefilter never drops the query's copy, and the all-against-all
comparison gives symmetric matrices and a tree holding every structure once."""
import re
import signal

import numpy as np
import pytest

import keldascope
import malven
from conftest import DATA, rotation, seconds_to_interrupt
from keldascope import _native, trees

PDB = DATA / "pdb"


def moved(d, rng, name):
    r = rotation(rng.normal(size=3), rng.uniform(0.3, 3.0))
    return malven.Domain.from_arrays(name, d.coordinates @ r.T + rng.uniform(-30, 30, 3),
                                     d.sequence)


@pytest.fixture(scope="module")
def library():
    rng = np.random.default_rng(11)
    files = sorted(PDB.glob("*.pdb"))
    domains = [malven.Domain.from_pdb(str(f)) for f in files]
    query = domains[0]
    targets = domains[1:] + [moved(query, rng, "copy")] + domains[1:3]  # ties by repetition
    return query, targets


@pytest.mark.parametrize("threads", [1, 2, 5])
def test_search_equals_the_engine_target_by_target(library, threads):
    query, targets = library
    found = keldascope.search(query, targets, prefilter=False, threads=threads)
    assert found.n_aligned == len(targets) == found.n_targets
    assert [h.rank for h in found.hits] == list(range(1, len(found.hits) + 1))
    single = [_native.search(query, [t], max_hits=1, min_score=-1.0, threads=1)[0][0]
              for t in targets]
    expect = sorted(range(len(targets)), key=lambda k: -single[k]["rank_score"])  # stable
    expect = [k for k in expect if single[k]["rank_score"] >= 0.0]
    assert [h.index for h in found.hits] == expect
    for h in found.hits:
        s = single[h.index]
        assert (h.score, h.tm_score_query, h.tm_score_target, h.sc, h.pairs) == \
            (s["rank_score"], s["tm_score_1"], s["tm_score_2"], s["sc"], s["pairs"])
        assert h.score == min(h.tm_score_query, h.tm_score_target)
    assert found.hits[0].structure.name == "copy" and found.hits[0].score == pytest.approx(1.0)


@pytest.mark.parametrize("keep", [1, 2, 3])
def test_the_prefilter_never_drops_the_querys_copy(library, keep):
    query, targets = library
    found = keldascope.search(query, targets, keep=keep)
    assert found.prefilter_keep == keep and found.n_aligned >= keep
    assert found.hits[0].structure.name == "copy" and found.hits[0].prefilter == 1.0
    with pytest.raises(ValueError):
        keldascope.search(query, targets, keep=0)


def test_search_limits_and_files(library):
    query, targets = library
    found = keldascope.search(str(PDB / "1ni7.pdb"), [str(PDB / "5eep.pdb"), str(PDB / "1sp1.pdb")],
                              max_hits=1, prefilter=False)
    assert len(found.hits) == 1 and found.hits[0].structure.path.endswith("5eep.pdb")
    assert found.hits[0].significant
    assert keldascope.search(query, targets, min_score=1.5).hits == []
    assert keldascope.search(query, []).hits == []


def parse_newick(text):
    """Leaf names of a Newick string, checking its brackets and ending."""
    assert text.endswith(";") and text.count("(") == text.count(")")
    body = re.sub(r"'(?:[^']|'')*'", lambda m: "Q" * len(m.group()), text)
    names = []
    for m in re.finditer(r"(?<=[(,])([^(),:;]+):", body):
        names.append(text[m.start(1):m.end(1)])
    return names


@pytest.mark.parametrize("threads", [1, 3])
def test_compare_all_is_symmetric_and_its_tree_holds_everyone_once(library, threads):
    query, targets = library
    structures = [query] + targets[:5]
    c = keldascope.compare_all(structures, threads=threads)
    n = len(structures)
    assert c.tm.shape == (n, n)
    np.testing.assert_allclose(np.diag(c.tm), 1.0, atol=1e-9)
    np.testing.assert_array_equal(c.sc, c.sc.T)
    np.testing.assert_array_equal(c.n_aligned, c.n_aligned.T)
    np.testing.assert_array_equal(c.tm_longer, c.tm_longer.T)
    for i in range(n):
        for j in range(i + 1, n):
            r = keldascope.align(structures[i], structures[j])
            assert (c.tm[i, j], c.tm[j, i]) == (r.tm_score_1, r.tm_score_2)
    names = parse_newick(c.newick())
    assert sorted(names) == sorted(s.id for s in structures)
    assert sorted(c.order()) == list(range(n))
    again = keldascope.compare_all(structures, threads=1)
    np.testing.assert_array_equal(again.tm, c.tm)


def test_newick_quotes_names_and_keeps_heights():
    tree = ((0, 1, 0.2), 2, 0.6)
    text = trees.newick(tree, ["a b", "it's", "c"])
    assert text == "(('a b':0.1,'it''s':0.1):0.2,c:0.3);"
    assert trees.leaves(tree) == [0, 1, 2]
    scores = np.array([[1.0, 0.9, 0.1], [0.9, 1.0, 0.2], [0.1, 0.2, 1.0]])
    assert trees.leaves(trees.guide_tree(scores)) in ([0, 1, 2], [2, 0, 1])


@pytest.mark.skipif(not hasattr(signal, "SIGINT"), reason="needs signals")
@pytest.mark.parametrize("call", [
    "keldascope.search(d, [d] * 4000, prefilter=False, threads=2)",
    "keldascope.compare_all([d] * 90, threads=2)",
])
def test_ctrl_c_stops_one_long_native_call(tmp_path, call):
    """One call of several seconds on two threads: Ctrl-C ends it within a second."""
    elapsed = seconds_to_interrupt(tmp_path, PDB / "1ni7.pdb", call)
    assert elapsed < 1.5, "Ctrl-C took too long"
