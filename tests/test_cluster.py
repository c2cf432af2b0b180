"""Clustering by TM-score from Python and from `malven cluster`: moved copies together and
other folds apart, every chain once, set cover against components, the TSV's lines, and bad
input as one error line."""
import pathlib

import pytest

import keldascope
from conftest import ROOT
from test_cli import fails, moved_copy, ok

PDB = ROOT / "tests" / "data" / "pdb"


@pytest.fixture(scope="module")
def family(tmp_path_factory):
    """Three moved copies of HIV protease (one cropped), two of interleukin-2, and 5eep alone,
    as files; their family by file name."""
    folder = tmp_path_factory.mktemp("family")
    moved_copy(PDB / "1hpv.pdb", folder / "hpv_a.pdb", 1)
    moved_copy(PDB / "1hpv.pdb", folder / "hpv_b.pdb", 2)
    moved_copy(PDB / "1hpv.pdb", folder / "hpv_c.pdb", 3, keep_residues=85)
    moved_copy(PDB / "il2.pdb", folder / "il2_a.pdb", 4)
    moved_copy(PDB / "il2.pdb", folder / "il2_b.pdb", 5)
    moved_copy(PDB / "5eep.pdb", folder / "eep.pdb", 6)
    return folder


def family_of(name):
    return name.split("_")[0].split(":")[0].split(".")[0]


def check_partition(result, names):
    members = [m for c in result.clusters for m in c.members]
    assert sorted(members) == sorted(names)
    for c in result.clusters:
        assert c.members[0] == c.representative and c.tm[0] == 1.0
        assert all(t >= 0.5 for t in c.tm) and c.size == len(c.tm)


@pytest.mark.parametrize("method", ["set-cover", "components"])
def test_copies_cluster_by_fold(family, method):
    files = sorted(family.iterdir())
    structures = [keldascope.read_structure(f) for f in files]
    seen = []
    result = keldascope.cluster(structures, method=method, threads=2,
                                progress=lambda placed, total: seen.append((placed, total)))
    # FILE:CHAIN by the file's name; il2 has a blank chain.
    names = ["eep.pdb:A", "hpv_a.pdb:A", "hpv_b.pdb:A", "hpv_c.pdb:A", "il2_a.pdb", "il2_b.pdb"]
    assert list(result.names) == names
    check_partition(result, names)
    groups = sorted(sorted(family_of(m) for m in c.members) for c in result.clusters)
    assert groups == [["eep"], ["hpv"] * 3, ["il2"] * 2]
    assert (result.n_chains, result.singletons, result.largest) == (6, 1, 3)
    assert len(result.pairs()) == 6
    # The representative is the longest of its cluster: never the cropped copy.
    assert all(c.representative != "hpv_c.pdb:A" for c in result.clusters)
    assert not seen or seen[-1][1] == 6


def test_settings_and_paths(family):
    files = [str(f) for f in sorted(family.iterdir())]
    settings = keldascope.ClusterSettings(tm=0.5, coverage=0.95,
                                          coverage_of=keldascope.CoverageOf.EACH)
    assert settings.method == keldascope.ClusterMethod.SET_COVER
    strict = keldascope.cluster(files, settings=settings)
    # The copy cropped by 14 residues covers under 95% of the longer copy: a cluster of its own.
    assert len(strict.clusters) == 4
    loose = keldascope.cluster(files, coverage=0.95, coverage_of="shorter")
    assert len(loose.clusters) == 3


@pytest.mark.parametrize("call, message", [
    (lambda fs: keldascope.cluster(fs, tm=1.5), "TM-score threshold"),
    (lambda fs: keldascope.cluster(fs, coverage=-0.5), "coverage"),
    (lambda fs: keldascope.cluster(fs, method="greedy"), "method must be one of"),
    (lambda fs: keldascope.cluster(fs, settings=keldascope.ClusterSettings(), tm=0.4),
     "not both"),
])
def test_bad_settings_are_one_clear_error(family, call, message):
    files = [str(f) for f in sorted(family.iterdir())]
    with pytest.raises((ValueError, TypeError)) as info:
        call(files)
    assert message in str(info.value) and "\n" not in str(info.value)


def test_a_folder_or_one_file_clusters_as_the_command_takes_them(family):
    files = [str(f) for f in sorted(family.iterdir())]
    by_files = keldascope.cluster(files)
    by_folder = keldascope.cluster(str(family))
    assert by_folder.clusters == by_files.clusters and list(by_folder.names) == by_files.names
    assert keldascope.cluster(family / "eep.pdb").names == ["eep.pdb:A"]
    text = repr(by_folder)
    assert text == "ClusterResult(chains=6, clusters=3, largest=3, singletons=1, aligned=" \
        f"{by_folder.aligned}, skipped=0)"


def test_a_foreign_database_is_refused(tmp_path):
    db = tmp_path / "db"
    db.mkdir()
    (db / "dbtype").write_text("not a database\n")
    with pytest.raises((ValueError, OSError)) as info:
        keldascope.cluster(str(db))
    assert "\n" not in str(info.value)


def read_tsv(path):
    return [line.split("\t") for line in pathlib.Path(path).read_text().splitlines()]


@pytest.mark.parametrize("extra, clusters", [([], 3), (["--components"], 3),
                                             (["--coverage", "0.95"], 4),
                                             (["--tm", "0.9"], 4)])
def test_command_writes_every_chain_once(family, tmp_path, extra, clusters):
    out = tmp_path / "clusters.tsv"
    proc = ok("cluster", family, "--tsv", out, "--threads", "2", *extra, cwd=tmp_path)
    rows = read_tsv(out)
    assert all(len(r) == 2 for r in rows)
    members = [m for _, m in rows]
    assert sorted(members) == ["eep.pdb:A", "hpv_a.pdb:A", "hpv_b.pdb:A", "hpv_c.pdb:A",
                               "il2_a.pdb", "il2_b.pdb"]
    representatives = {r for r, _ in rows}
    assert len(representatives) == clusters
    assert all([r, r] in rows for r in representatives)
    summary = dict(line.split("\t", 1) for line in proc.stdout.splitlines())
    assert summary["chains"] == "6" and summary["clusters"] == str(clusters)
    assert int(summary["largest"]) == max(sum(1 for r2, _ in rows if r2 == r)
                                          for r in representatives)
    assert not list(tmp_path.glob("*.part*"))


@pytest.mark.parametrize("args, status, text", [
    (["--tm", "1.5"], 2, "between 0 and 1"),
    (["--coverage", "nan"], 2, "finite"),
    (["--tsv", "missing/out.tsv"], 2, "does not exist"),
    (["--threads", "0"], 2, "at least 1"),
])
def test_command_usage_errors(family, tmp_path, args, status, text):
    line = fails("cluster", family, *args, cwd=tmp_path, status=status)
    assert text in line


def test_command_file_errors(family, tmp_path):
    assert "no-such.pdb" in fails("cluster", "no-such.pdb", cwd=tmp_path, status=1)
    db = tmp_path / "db"
    db.mkdir()
    (db / "dbtype").write_text("x\n")
    assert "database" in fails("cluster", db, family, cwd=tmp_path, status=2)
    fails("cluster", db, cwd=tmp_path, status=1)


def test_a_database_a_folder_and_its_files_cluster_alike(family, tmp_path):
    # The first chains given as a keldascope.Database, as its path and as a folder (an
    # unreadable file in it skipped with a warning): the same clusters by name.
    (tmp_path / "folder").mkdir()
    for f in family.iterdir():
        (tmp_path / "folder" / f.name).write_bytes(f.read_bytes())
    (tmp_path / "folder" / "broken.pdb").write_text("not a structure\n")
    db = keldascope.Database.create(tmp_path / "family.db", [family], first_chain=True)

    def partition(result):
        return sorted(sorted(c.members) for c in result.clusters)

    by_object, by_path = keldascope.cluster(db), keldascope.cluster(str(tmp_path / "family.db"))
    with pytest.warns(keldascope.UnreadableStructureWarning):
        by_folder = keldascope.cluster([tmp_path / "folder"])
    assert partition(by_object) == partition(by_path) == partition(by_folder)
    assert [path for path, _ in by_folder.skipped] == [str(tmp_path / "folder" / "broken.pdb")]


@pytest.mark.parametrize("value, message", [
    (float("inf"), "structure 1 ('coordinates') has a non-finite coordinate at residue"),
    (float("nan"), "structure 1 ('coordinates') has a non-finite coordinate at residue"),
    (3e5, "structure 1 ('coordinates') has a coordinate beyond 100000 A at residue"),
])
def test_chains_in_memory_with_unusable_coordinates_are_refused(value, message):
    # The cheap judging path aligns without the engine: such a chain once joined a cluster.
    import numpy as np
    xyz = np.asarray(keldascope.read_structure(str(ROOT / "tests/data/pdb/5eep.pdb")).domain.coordinates, float)
    bad = xyz.copy()
    bad[5, 0] = value
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        keldascope.cluster([bad, xyz], tm=0.5)
