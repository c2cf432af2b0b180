"""All-against-all that goes sparse: the prefilter's pairs aligned, those reaching the floor
written as TSV; on a set small enough that the prefilter keeps every pair, exactly the dense
comparison's pairs above the floor."""
import json

import numpy as np
import pytest

import keldascope
from conftest import DATA
from test_cli import fails, ok

PDB = DATA / "pdb"
FILES = [PDB / f for f in ("1sp1.pdb", "1sp2.pdb", "3znf.pdb", "1hpv.pdb", "il2.pdb")]


def tsv_pairs(text):
    """{(i, j): (tm_longer, tm_i, tm_j)} of an allvsall TSV, pairs i < j only."""
    lines = text.splitlines()
    head = lines[0].split("\t")
    out = {}
    for line in lines[1:]:
        cells = dict(zip(head, line.split("\t")))
        i, j = int(cells["i"]), int(cells["j"])
        if i < j:
            out[i, j] = tuple(float(cells[k]) for k in ("tm_longer", "tm_i", "tm_j"))
    return out


@pytest.mark.parametrize("floor", [0.0, 0.3, 0.6])
def test_sparse_equals_dense_above_the_floor(tmp_path, floor):
    dense = tmp_path / "dense.tsv"
    ok("allvsall", *FILES, "--tsv", dense, "--dense", cwd=tmp_path)
    sparse = tmp_path / "sparse.tsv"
    proc = ok("allvsall", *FILES, "--tsv", sparse, "--sparse", "--min-score", floor,
              cwd=tmp_path)
    assert "Sparse comparison of 5 structures" in proc.stdout
    want = {k: v for k, v in tsv_pairs(dense.read_text()).items() if v[0] >= floor}
    got = tsv_pairs(sparse.read_text())
    assert got.keys() == want.keys()
    for k in want:
        assert np.allclose(got[k], want[k])


def test_sparse_toolkit_keeps_only_prefilter_partners():
    structures = [keldascope.read_structure(p) for p in FILES]
    everything = keldascope.compare_sparse(structures, min_score=0.0)
    assert everything.candidates == 10 and everything.keep == 4
    one = keldascope.compare_sparse(structures, min_score=0.0, keep=1)
    # Each structure meets its best partner: at least n / 2 distinct pairs, at most n.
    assert 3 <= one.candidates <= 5 and one.n_pairs == one.candidates
    assert {(int(i), int(j)) for i, j in one.pairs[:, :2]} <= \
        {(int(i), int(j)) for i, j in everything.pairs[:, :2]}
    assert all(i < j for i, j in one.pairs[:, :2])


def test_sparse_by_size_and_its_json(tmp_path):
    out = json.loads(ok("allvsall", *FILES, "--sparse-above", 4, "--min-score", 0.4, "--json",
                        cwd=tmp_path).stdout)
    assert out["sparse"] and out["min_score"] == 0.4 and out["aligned"] == 10
    assert all(p["tm_longer"] >= 0.4 and p["i"] < p["j"] for p in out["pairs"])
    # Not above the limit: the dense matrices.
    dense = json.loads(ok("allvsall", *FILES, "--sparse-above", 5, "--json",
                          cwd=tmp_path).stdout)
    assert "tm_score" in dense and "sparse" not in dense


@pytest.mark.parametrize("args, message", [
    (["--sparse", "--newick", "t.nwk"], "no tree or heatmap"),
    (["--sparse", "--jobs", "2"], "drop --jobs"),
    (["--sparse", "--dense"], "not allowed with"),
    (["--min-score", "0.5"], "give --sparse"),
])
def test_sparse_usage_errors(tmp_path, args, message):
    assert message in fails("allvsall", *FILES, *args, cwd=tmp_path, status=2)
