"""Structure databases from Python and the command line: build, open, entries, the search
against keldascope.search on the same structures, shards (in this process and on Dask), the
tables of `malven search`, and what bad databases, lists and Ctrl-C leave behind."""
import gzip
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import time
import warnings

import pytest

import keldascope
from conftest import IS_PYPY, ROOT
from keldascope import Database, DatabaseSearchSettings

PDB = ROOT / "tests" / "data" / "pdb"
sys.path.insert(0, str(ROOT / "tests"))
from test_cli import cli_env, fails, malven_cmd, ok  # noqa: E402

FIGURES = ("target", "rank", "tm_score_a", "tm_score_b", "sc", "rmsd", "n_aligned", "identity",
           "same_fold", "evalue", "bits", "prob")


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """A database of the bundled files and a gzipped copy of one: (db, its folder)."""
    folder = tmp_path_factory.mktemp("db")
    sources = folder / "sources"
    shutil.copytree(PDB, sources)
    (sources / "copy").mkdir()
    with open(PDB / "5eep.pdb", "rb") as f:
        (sources / "copy" / "5eep_copy.pdb.gz").write_bytes(gzip.compress(f.read()))
    db = Database.create(folder / "all.db", [sources])
    return db, folder


def figures(hit):
    return tuple(None if isinstance(v, float) and math.isnan(v) else v
                 for v in (getattr(hit, f) for f in FIGURES))


def test_entries_are_every_chain_read_as_the_toolkit_reads_it(built):
    db, _ = built
    assert db.report.entries == len(db) > 9 and not db.report.skipped
    names = list(db)
    assert names == list(db.names) and len(set(names)) == len(names)
    assert "5eep_copy:A" in db and "5eep:A" in db
    for name in names:
        entry = db[name]
        chain = name.rsplit(":", 1)[1] if ":" in name else None
        read = keldascope.read_structure(entry.path, chain)
        assert (entry.chain, len(entry.domain), entry.labels) == \
            (read.chain, len(read.domain), read.labels)
        assert entry.domain.sequence == read.domain.sequence
        assert abs(entry.domain.coordinates - read.domain.coordinates).max() <= 5e-4
    assert db[-1].domain.sequence == db[names[-1]].domain.sequence


@pytest.mark.parametrize("fields, files", [
    ({"first_chain": True}, ["1tii.pdb", "1hpv.pdb", "il2.pdb"]),
    ({"min_plddt": 30.0}, ["1tii.pdb", "5eep.pdb"]),
    ({"model": 2}, ["1ni7.pdb"]),
])
def test_reading_settings_give_the_chains_the_toolkit_reads(tmp_path, fields, files):
    db = Database.create(tmp_path / "x.db", [PDB / f for f in files], threads=1, **fields)
    reading = {k: v for k, v in fields.items() if k != "first_chain"}
    expected = []
    for f in files:
        chains = [keldascope.list_chains(PDB / f, fields.get("model"))[0]] \
            if fields.get("first_chain") else keldascope.list_chains(PDB / f, fields.get("model"))
        expected += [keldascope.read_structure(PDB / f, c, **reading) for c, _ in chains]
    assert len(db) == len(expected)
    for entry, read in zip(db.structures(), expected):
        assert (entry.path, entry.chain, entry.model) == (read.path, read.chain, read.model)
        assert entry.labels == read.labels


@pytest.mark.parametrize("key, error, text", [
    ("9xyz:A", KeyError, "no entry named '9xyz:A'"),
    (10 ** 6, IndexError, "out of range"),
    (1.5, TypeError, "str or an int"),
])
def test_a_missing_entry_is_a_clear_error(built, key, error, text):
    db, _ = built
    with pytest.raises(error, match=text):
        db[key]


@pytest.mark.parametrize("staged", [False, True])
def test_search_gives_the_figures_of_the_toolkit_search(built, staged):
    db, _ = built
    queries = [db["5eep:A"], db["3znf:A"], db["1tii:D"]]
    everything = list(db.structures())
    found = db.search(queries, exhaustive=not staged, max_hits=len(db))
    for query, result in zip(queries, found):
        assert result.query is query and result.n_targets == len(db)
        assert result.hits[0].tm_score_a == pytest.approx(1.0)
        reference = keldascope.search(query, everything, prefilter=False, max_hits=len(db))
        by_target = {h.target: figures(h) for h in reference.hits}
        if not staged:
            assert [figures(h) for h in result.hits] == [figures(h) for h in reference.hits]
            assert result.n_aligned == len(db)
        for h in result.hits:  # every hit the staged search reports, as the engine scores it
            assert figures(h)[2:] == by_target[h.target][2:]
            assert result.name(h) == db.names[h.target] and result.path(h) == db.sources[h.target]
        # The database as the toolkit search's targets: the same hits.
        via_search = keldascope.search(query, db, prefilter=staged, max_hits=len(db))
        assert [figures(h) for h in via_search.hits] == [figures(h) for h in result.hits]


@pytest.mark.parametrize("exhaustive", [False, True])
@pytest.mark.parametrize("chunk_size", [1, 4, None])
def test_shards_merge_to_the_hits_of_one_search(built, exhaustive, chunk_size):
    db, _ = built
    settings = DatabaseSearchSettings(exhaustive=exhaustive, max_hits=6, engine_targets=5)
    whole = db.search([db["1hpv:A"]], settings)[0]
    sharded = keldascope.distributed_search(db.sources[db.index("1hpv:A")], db, settings,
                                            client=keldascope.IN_PROCESS, chunk_size=chunk_size)
    assert [figures(h) for h in sharded.hits] == [figures(h) for h in whole.hits]
    assert sharded.n_aligned == whole.n_aligned == (len(db) if exhaustive else 5)


@pytest.mark.parametrize("as_pair", [False, True])
def test_a_sharded_search_takes_a_chain_of_its_query_file(built, as_pair):
    """FILE:CHAIN or a (path, chain) pair against a database names a chain of the file, as
    against a list of files, not a file of that name."""
    db, _ = built
    path = str(PDB / "1tii.pdb")
    query = (path, "E") if as_pair else f"{path}:E"
    sharded = keldascope.distributed_search(query, db, client=keldascope.IN_PROCESS)
    whole = db.search_one(keldascope.read_structure(path, "E"))
    assert (sharded.query.path, sharded.query.chain) == (path, "E")
    assert [figures(h) for h in sharded.hits] == [figures(h) for h in whole.hits]
    assert db.names[sharded.hits[0].target] == "1tii:E"


@pytest.mark.skipif(IS_PYPY, reason="dask.distributed does not run on PyPy")
def test_dask_workers_map_their_own_shards(built):
    db, _ = built
    whole = db.search([db["3al1:A"]], max_hits=8)[0]
    with keldascope.local_client(2) as client:
        found = keldascope.distributed_search(db.sources[db.index("3al1:A")], db,
                                              max_hits=8, client=client)
    assert [figures(h) for h in found.hits] == [figures(h) for h in whole.hits]


def test_settings_are_checked_and_a_kelda_method_refused(built):
    db, _ = built
    with pytest.raises(TypeError, match="unexpected keyword argument 'frobnicate'"):
        db.search([db[0]], frobnicate=1)
    with pytest.raises(ValueError, match="robust method"):
        db.search([db[0]], keldascope.SearchSettings(method=keldascope.Method.KELDA_SCAN))


def test_append_adds_entries_and_progress_is_polled(tmp_path):
    seen = []
    first = Database.create(tmp_path / "x.db", [PDB / "1tii.pdb"])
    more = Database.create(tmp_path / "x.db", [PDB / "5eep.pdb", PDB / "3znf.pdb"],
                           append=True, progress=lambda done, total: seen.append((done, total)))
    assert len(more) == len(first) + more.report.entries
    assert list(more)[:len(first)] == list(first)
    assert seen[-1] == (2, 2)


# ---- the command line ------------------------------------------------------------------------

def test_createdb_and_search_tables(tmp_path):
    (tmp_path / "list.txt").write_text(f"# queries\n{PDB / '5eep.pdb'}\n\n{PDB / '3znf.pdb'}\n")
    out = ok("createdb", "x.db", PDB, cwd=tmp_path).stdout
    assert out.startswith("x.db: ") and " entries (" in out and "from 9 files" in out
    text = ok("search", "x.db", "@list.txt", "--tsv", "hits.tsv", "--max-hits", "3",
              cwd=tmp_path).stdout
    assert text.count("Query    ") == 2 and "Table written to hits.tsv" in text
    rows = [line.split("\t") for line in (tmp_path / "hits.tsv").read_text().splitlines()]
    assert rows[0] == ["query", "rank", "target", "path", "score", "tm_query", "tm_target", "sc",
                       "rmsd", "aligned", "identity", "same_fold", "evalue", "prob", "bits"]
    assert [r[:3] for r in rows[1:] if r[1] == "1"] == [["5eep.pdb:A", "1", "5eep.pdb:A"],
                                                        ["3znf.pdb:A", "1", "3znf.pdb:A"]]
    assert all(len(r) == 15 for r in rows) and len(rows) == 7
    # Best first by E-value, each the database's entries times 2^-bits.
    n = len(Database(tmp_path / "x.db"))
    for query in ("5eep.pdb:A", "3znf.pdb:A"):
        mine = [r for r in rows[1:] if r[0] == query]
        assert [float(r[12]) for r in mine] == sorted(float(r[12]) for r in mine)
        # The TSV rounds E-values to 3 significant digits and bits to 1 decimal (2^0.05).
        assert all(float(r[12]) == pytest.approx(n * 2 ** -float(r[14]), rel=0.04)
                   for r in mine)
        assert all(0 <= float(r[13]) <= 1 for r in mine)
    assert {r[3] for r in rows[1:]} <= {str(p) for p in PDB.iterdir()}

    doc = json.loads(ok("search", "x.db", "x.db", "--json", "--max-hits", "1", "--exhaustive",
                        cwd=tmp_path).stdout)
    assert doc["n_entries"] == len(Database(tmp_path / "x.db")) == len(doc["queries"])
    for q in doc["queries"]:  # the database as queries: every entry finds itself first
        assert q["n_aligned"] == doc["n_entries"]
        assert q["hits"][0]["target"] == q["query"]["name"]
        assert q["hits"][0]["tm_score"]["query"] == pytest.approx(1.0)
        assert {"evalue", "prob", "bits"} <= set(q["hits"][0])


def test_damaged_foreign_and_missing_databases_are_one_line(tmp_path):
    ok("createdb", "x.db", PDB / "1tii.pdb", PDB / "5eep.pdb", cwd=tmp_path)
    shutil.copytree(tmp_path / "x.db", tmp_path / "cut.db")
    data = max((tmp_path / "cut.db").iterdir(), key=lambda p: p.stat().st_size)
    with open(data, "r+b") as f:
        f.truncate(data.stat().st_size // 2)
    shutil.copytree(tmp_path / "x.db", tmp_path / "foreign.db")
    manifest = tmp_path / "foreign.db" / "dbtype"
    manifest.write_bytes(b"NOTADB!!" + manifest.read_bytes()[8:])
    shutil.copytree(tmp_path / "x.db", tmp_path / "newer.db")
    manifest = tmp_path / "newer.db" / "dbtype"
    header = manifest.read_bytes()
    manifest.write_bytes(header[:8] + (99).to_bytes(4, "little") + header[12:])  # the version
    for db, says in [("cut.db", "truncated"), ("foreign.db", "foreign file"),
                     ("newer.db", "version"), (str(PDB), "not a structure database"),
                     ("absent.db", "not a structure database")]:
        line = fails("search", db, PDB / "1tii.pdb", cwd=tmp_path)
        assert line.startswith("malven search: error: ") and db.split("/")[-1] in line
        assert says in line
    assert "cut.db" in fails("search", "x.db", "cut.db", cwd=tmp_path)  # as queries
    assert "exists" in fails("createdb", "x.db", PDB / "1tii.pdb", cwd=tmp_path, status=2)
    (tmp_path / "bad.txt").write_text(f"{PDB / '1tii.pdb'}\nmissing.pdb\n")
    line = fails("createdb", "y.db", "@bad.txt", cwd=tmp_path)
    assert "bad.txt, line 2: cannot open missing.pdb" in line
    assert not (tmp_path / "y.db").exists()
    (tmp_path / "empty.pdb").write_text("HEADER    NOTHING\nEND\n")
    assert "no protein chain" in fails("search", "x.db", "empty.pdb", cwd=tmp_path)


def test_unreadable_files_are_skipped_with_a_warning_each(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    shutil.copy(PDB / "1tii.pdb", folder)
    (folder / "broken.pdb").write_text("not a structure\n")
    (folder / "broken2.cif").write_text("data_x\nloop_\n_atom_site.id\n1\n")
    proc = ok("createdb", "x.db", folder, cwd=tmp_path)
    warnings = proc.stderr.splitlines()
    assert len(warnings) == 2 and all("warning: skipped: " in w for w in warnings)
    assert "2 files skipped" in proc.stdout


def test_create_names_each_file_it_leaves_out(tmp_path):
    """Database.create warns as `malven createdb` does, one warning a file, naming it."""
    folder = tmp_path / "in"
    folder.mkdir()
    shutil.copy(PDB / "1tii.pdb", folder)
    (folder / "broken.pdb").write_text("not a structure\n")
    with pytest.warns(keldascope.UnreadableStructureWarning) as seen:
        db = Database.create(tmp_path / "x.db", [folder])
    assert [str(w.message).split(":")[0:2] for w in seen] == \
        [["skipped", f" {folder / 'broken.pdb'}"]]
    assert [p for p, _ in db.report.skipped] == [str(folder / "broken.pdb")]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        Database.create(tmp_path / "y.db", [folder], errors="ignore")


def test_swapped_search_arguments_name_the_order(tmp_path):
    ok("createdb", "x.db", PDB / "1tii.pdb", cwd=tmp_path)
    line = fails("search", PDB / "5eep.pdb", "x.db", cwd=tmp_path)
    assert line.startswith(f"malven search: error: {PDB / '5eep.pdb'} is not a structure "
                           f"database")
    assert line.endswith(f"; the database comes first: malven search x.db {PDB / '5eep.pdb'}")


def test_createdb_help_says_what_it_does(tmp_path):
    """createdb reads files (it aligns nothing) and takes every chain (FILE:CHAIN names none)."""
    text = " ".join(ok("createdb", "--help", cwd=tmp_path).stdout.split())
    assert "C++ threads for reading the files" in text and "alignments" not in text
    assert "every protein chain of a file becomes an entry" in text
    assert "FILE:CHAIN reads one chain" not in text


@pytest.mark.parametrize("command", ["createdb", "search"])
def test_interrupted_commands_leave_nothing(tmp_path, command):
    # The same files named many times: a build, or an exhaustive search, of some seconds.
    before = []
    if command == "search":
        ok("createdb", "x.db", PDB, cwd=tmp_path)
        before = ["x.db"]
        args = ["search", "x.db", "@many.txt", "--exhaustive", "--tsv", "hits.tsv"]
        copies = 60
    else:
        args = ["createdb", "y.db", "@many.txt"]
        copies = 3000
    (tmp_path / "many.txt").write_text("".join(f"{p}\n" for p in sorted(PDB.iterdir())) * copies)
    # The command's modules loaded first, so that Ctrl-C reaches its work.
    code = ("import sys\nfrom keldascope.cli import main\nprint('ready', flush=True)\n"
            "sys.exit(main.main(sys.argv[1:]))\n")
    proc = subprocess.Popen([sys.executable, "-c", code, *args, "--threads", "1"],
                            cwd=tmp_path, env=cli_env(), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True)
    assert proc.stdout.readline().strip() == "ready"
    time.sleep(1.5)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130, err
    assert err.strip().splitlines()[-1] == f"malven {command}: interrupted"
    assert sorted(os.listdir(tmp_path)) == sorted(before + ["many.txt"])


def test_a_database_among_other_inputs_gives_its_entries(built):
    # Where the toolkit takes many structures, a database stands for its entries, beside
    # files and structures in the same list.
    db, _ = built
    extra = keldascope.read_structure(PDB / "1tii.pdb", "D")
    found = keldascope.resolve([db, extra])
    assert [s.name for s in found.structures[:-1]] == [s.name for s in db.structures()]
    assert found.structures[-1].name == extra.name and len(found.structures) == len(db) + 1
