"""The command line as a newcomer meets it: KELDA alignments that find nothing said so, msa
over folders, every aligned pair in JSON with TM-align's figures, hit names that tell files
and chains apart, --all-chains, the models of NMR files, and the heatmap's colour scale."""
import json
import shutil

import numpy as np
import pytest

from conftest import DATA, gemmi_or_skip
from test_cli import BUNDLED, HAS_MPL, fails, malven_cmd, ok

PDB = DATA / "pdb"


def test_kelda_scan_lists_targets_it_did_not_align(tmp_path):
    proc = ok("scan", PDB / "1ni7.pdb", PDB / "5eep.pdb", PDB / "1ni7.pdb", PDB / "3znf.pdb",
              "--method", "kelda", cwd=tmp_path)
    assert "Not aligned (2): 5eep.pdb:A, 3znf.pdb:A" in proc.stdout
    assert "the default method (--method robust) aligns them" in proc.stdout
    data = json.loads(ok("scan", PDB / "1ni7.pdb", PDB / "5eep.pdb", PDB / "1ni7.pdb",
                         "--method", "kelda", "--json", cwd=tmp_path).stdout)
    assert [h["name"] for h in data["hits"]] == ["1ni7.pdb:A"]
    assert all(h["n_aligned"] > 0 for h in data["hits"]) and data["not_aligned"] == ["5eep.pdb:A"]
    robust = json.loads(ok("scan", PDB / "1ni7.pdb", PDB / "5eep.pdb", "--json",
                           cwd=tmp_path).stdout)
    assert robust["not_aligned"] == [] and robust["hits"][0]["name"] == "5eep.pdb:A"


def test_kelda_align_that_finds_nothing_fails_with_a_hint(tmp_path):
    proc = malven_cmd("align", PDB / "1ni7.pdb", PDB / "1sp1.pdb", "--method", "kelda",
                      cwd=tmp_path)
    assert proc.returncode == 1
    assert proc.stderr.splitlines()[-1].endswith(
        "(fewer than 3 aligned residue pairs); the KELDA method misses distant pairs, the "
        "default method (--method robust) aligns them")
    ok("align", PDB / "1ni7.pdb", PDB / "1sp1.pdb", cwd=tmp_path)


def test_kelda_msa_without_a_core_fails_with_a_hint(tmp_path):
    proc = malven_cmd("msa", PDB / "1sp1.pdb", PDB / "5eep.pdb", PDB / "1ni7.pdb",
                      "--method", "kelda", "-o", "out", cwd=tmp_path)
    assert proc.returncode == 1
    assert proc.stderr.splitlines() == [
        "malven msa: warning: no core columns (no residue aligned in every structure): the "
        "structures were not superposed and no files were written; the KELDA method misses "
        "distant structures, the default method (--method robust) aligns them"]
    assert not (tmp_path / "out").exists()


def test_msa_takes_folders(tmp_path):
    db = tmp_path / "db"
    db.mkdir()
    for name in ("1ni7.pdb", "5eep.pdb"):
        shutil.copy(BUNDLED / name, db / name)
    (db / "broken.pdb").write_text("REMARK nothing\n")
    proc = malven_cmd("msa", "db", "--json", "-o", "out", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "skipped: cannot read a structure from db/broken.pdb" in proc.stderr
    data = json.loads(proc.stdout)
    assert [s["path"] for s in data["structures"]] == ["db/1ni7.pdb", "db/5eep.pdb"]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == \
        ["aligned_1ni7.pdb", "aligned_5eep.pdb"]
    line = fails("msa", "db", "--reference", "3", "-o", "out2", "-q", cwd=tmp_path, status=2)
    assert line == ("malven msa: error: argument --reference: 3 is not between 1 and 2, the "
                    "number of files")


def test_align_json_holds_every_aligned_pair_and_tmalign_figures(tmp_path):
    data = json.loads(ok("align", PDB / "1sp1.pdb", PDB / "1sp2.pdb", "--json",
                         cwd=tmp_path).stdout)
    pairs = data["pairs"]
    assert len(pairs) >= data["n_aligned_all"] >= data["n_aligned"]
    assert all(p["close"] == (p["distance"] < 5.0) for p in pairs)
    assert sum(p["close"] for p in pairs) == data["n_aligned"]
    assert [(p["i"], p["j"]) for p in pairs] == sorted((p["i"], p["j"]) for p in pairs)
    assert data["rmsd_all"] >= 0.0
    text = ok("align", PDB / "1sp1.pdb", PDB / "1sp2.pdb", cwd=tmp_path).stdout
    rmsd = f"{data['rmsd_all']:.3f}"
    assert f"All aligned      {data['n_aligned_all']} pairs, RMSD {rmsd} (TM-align's" in text


def test_align_help_gives_the_tmalign_order(tmp_path):
    text = " ".join(ok("align", "--help", cwd=tmp_path).stdout.split())
    assert "'malven align A B' is 'TMalign B A'" in text


def test_align_two_models_of_one_nmr_file(tmp_path):
    data = json.loads(ok("align", PDB / "1ni7.pdb", PDB / "1ni7.pdb", "--model2", "7",
                         "--json", cwd=tmp_path).stdout)
    assert (data["structure1"]["model"], data["structure2"]["model"]) == (1, 7)
    assert 0.1 < data["rmsd"] < 5.0 and data["n_aligned"] > 100
    listing = ok("chains", PDB / "1ni7.pdb", cwd=tmp_path).stdout
    assert listing.splitlines()[0] == f"{PDB / '1ni7.pdb'}  (PDB, model 1, 20 models in the " \
                                      f"file (1 to 20))"
    data = json.loads(ok("chains", PDB / "1ni7.pdb", "--json", cwd=tmp_path).stdout)
    assert data["files"][0]["models"] == list(range(1, 21))


def test_scan_names_tell_formats_and_chains_apart(tmp_path):
    gemmi = gemmi_or_skip()
    db = tmp_path / "db"
    db.mkdir()
    shutil.copy(PDB / "1tii.pdb", db / "1tii.pdb")
    st = gemmi.read_structure(str(PDB / "1tii.pdb"))
    st.setup_entities()
    (db / "1tii.cif").write_text(st.make_mmcif_document().as_string())
    data = json.loads(ok("scan", f"{PDB / '1tii.pdb'}:H", "db", "--all-chains", "--json",
                         "--tsv", "hits.tsv", cwd=tmp_path).stdout)
    chains = [name for name, _ in __import__("keldascope").list_chains(PDB / "1tii.pdb")]
    assert data["n_targets"] == 2 * len(chains)
    names = sorted(h["name"] for h in data["hits"]) + sorted(data["not_aligned"])
    assert sorted(names) == sorted(f"1tii.{ext}:{c}" for ext in ("cif", "pdb") for c in chains)
    tsv = [line.split("\t") for line in (tmp_path / "hits.tsv").read_text().splitlines()]
    assert tsv[0][-1] == "chain"
    assert [row[-1] for row in tsv[1:]] == [h["chain"] for h in data["hits"]]
    assert data["hits"][0]["chain"] == "H" and data["hits"][0]["score"] == pytest.approx(1.0)


def test_allvsall_all_chains(tmp_path):
    data = json.loads(ok("allvsall", PDB / "3al1.pdb", PDB / "1sp1.pdb", "--all-chains",
                         "--json", "-q", cwd=tmp_path).stdout)
    assert [s["name"] for s in data["structures"]] == ["3al1.pdb:A", "3al1.pdb:B", "1sp1.pdb:A"]
    assert np.array(data["tm_score"]).shape == (3, 3)
    assert "'3al1.pdb:A'" in data["newick"]


def test_kelda_allvsall_marks_pairs_not_aligned(tmp_path):
    text = ok("allvsall", PDB / "1ni7.pdb", PDB / "3znf.pdb", "--method", "kelda", "-q",
              cwd=tmp_path).stdout
    assert "'-': not aligned; the default method (--method robust) aligns distant pairs" in text


@pytest.mark.parametrize("values, upper, expected", [
    ([[1.0, 0.64], [0.64, 1.0]], None, (0.64, 1.0)),
    ([[1.0, 0.2], [np.nan, 1.0]], None, (0.2, 1.0)),
    ([[1.25, 0.3], [0.3, 1.25]], 1.0, (0.3, 1.0)),
    ([[0.7, 0.7], [0.7, 0.7]], None, (0.2, 1.2)),
    ([[np.nan]], None, (0.0, 1.0)),
])
def test_heatmap_colours_span_the_data(values, upper, expected):
    from keldascope.cli.plot import colour_range
    assert colour_range(np.array(values), upper) == pytest.approx(expected)


@pytest.mark.skipif(not HAS_MPL, reason="matplotlib is not installed")
def test_small_heatmaps_write_their_values(tmp_path, monkeypatch):
    import matplotlib.axes
    from keldascope.cli import plot
    written = []
    original = matplotlib.axes.Axes.text
    monkeypatch.setattr(matplotlib.axes.Axes, "text",
                        lambda self, x, y, s, **kw: written.append(s) or original(self, x, y, s,
                                                                                  **kw))
    matrix = np.array([[1.0, 0.64, 0.8], [0.64, 1.0, 0.7], [0.8, 0.7, 1.0]])
    plot.clustered_heatmap(str(tmp_path / "h.png"), matrix, ["a", "b", "c"], ((0, 2, 0.2), 1, 0.3),
                           "TM-score")
    assert sorted(written) == sorted(f"{v:.2f}" for v in matrix.ravel())
