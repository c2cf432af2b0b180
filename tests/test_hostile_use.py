"""The database, its commands and the toolkit under hostile use: outputs that name inputs
found inside folders, lists and databases; special, truncated, damaged and swapped database
files; the remains of killed builds; refusals of createdb; callbacks that raise; values out of
every range. Each ends in one clear error (or a warning) and loses nothing."""
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

import keldascope
from keldascope import DatabaseSearchSettings
from keldascope.database import build

from conftest import DATA
from test_cli import fails, malven_cmd, ok

PDB = DATA / "pdb"


def digest(folder):
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.fixture
def tree(tmp_path):
    """A database of three files, and the same files in folders and a list."""
    for folder in ("src", "qd"):
        (tmp_path / folder).mkdir()
        for name in ("1sp1.pdb", "1sp2.pdb", "3znf.pdb"):
            shutil.copy(PDB / name, tmp_path / folder / name)
    ok("createdb", "w.db", "src", "-q", cwd=tmp_path)
    (tmp_path / "list.txt").write_text("# queries\nqd/1sp2.pdb\n")
    return tmp_path


# ---- outputs never write over inputs ---------------------------------------------------------

@pytest.mark.parametrize("command, output", [
    (["search", "w.db", "src/1sp1.pdb", "--tsv"], "w.db/seg-0000.data"),
    (["search", "w.db", "qd/1sp1.pdb:A", "--tsv"], "w.db/dbtype"),
    (["search", "w.db", "qd/", "--tsv"], "qd/1sp2.pdb"),
    (["search", "w.db", "@list.txt", "--tsv"], "qd/1sp2.pdb"),
    (["search", "w.db", "@list.txt", "--tsv"], "list.txt"),
    (["cluster", "w.db", "--tsv"], "w.db/seg-0000.index"),
    (["cluster", "qd", "--tsv"], "qd/3znf.pdb"),
    (["msa", "qd", "-o", "mo", "--fasta"], "qd/1sp1.pdb"),
    (["scan", "src/1sp1.pdb", "qd", "--tsv"], "qd/1sp2.pdb"),
    (["allvsall", "qd", "--tsv"], "qd/1sp1.pdb"),
])
def test_an_output_naming_a_file_an_input_makes_the_command_read_is_refused(
        tree, command, output):
    before = {folder: digest(tree / folder) for folder in ("w.db", "qd", "src")}
    listing = (tree / "list.txt").read_text()
    line = fails(*command, output, cwd=tree, status=2)
    assert line.endswith(f"error: argument {command[-1]}: '{output}' is the input file "
                         f"'{output}'; choose another output")
    assert {folder: digest(tree / folder) for folder in ("w.db", "qd", "src")} == before
    assert (tree / "list.txt").read_text() == listing
    assert not (tree / "mo").exists()


def test_an_output_beside_the_inputs_is_written(tree):
    # A table left in the folder by an earlier run is no structure file the folder offers.
    (tree / "qd" / "hits.tsv").write_text("old\n")
    ok("search", "w.db", "qd", "--tsv", "qd/hits.tsv", "-q", cwd=tree)
    assert (tree / "qd" / "hits.tsv").read_text().startswith("query\trank")


# ---- database files that are special, cut short, damaged or swapped --------------------------

@pytest.mark.parametrize("name", ["seg-0000.data", "seg-0000.index", "dbtype"])
def test_a_fifo_in_a_database_is_refused_without_blocking(tree, name):
    # Once a search that hung in open(), deaf to Ctrl-C and SIGTERM.
    os.remove(tree / "w.db" / name)
    os.mkfifo(tree / "w.db" / name)
    line = fails("search", "w.db", "qd/1sp1.pdb", cwd=tree)
    what = "its dbtype is not a regular file" if name == "dbtype" else \
        f"{name} is not a regular file"
    assert line.endswith(f"error: w.db is {'not a structure database' if name == 'dbtype' else 'damaged'}: "
                         f"{what}")


def test_a_data_file_cut_short_while_open_is_an_error_not_sigbus(tree):
    code = ("import os, keldascope\n"
            "db = keldascope.Database('w.db')\n"
            "first = db[0].name\n"
            "os.truncate(os.path.join('w.db', 'seg-0000.data'), 100)\n"
            "for k in (0, len(db) - 1):\n"
            "    try:\n"
            "        db[k]\n"
            "    except ValueError as e:\n"
            "        print(e)\n")
    last = len(keldascope.Database(tree / "w.db")) - 1
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=tree, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        f"w.db is truncated: seg-0000.data ends before entry {k} (it was cut short while open)"
        for k in (0, last)]


def flip(path, at):
    with open(path, "r+b") as f:
        f.seek(at)
        byte = f.read(1)
        f.seek(at)
        f.write(bytes([byte[0] ^ 0x40]))


def test_damaged_coordinates_are_refused_when_read_and_found_by_verify(tree):
    ok("verify", "w.db", cwd=tree)
    flip(tree / "w.db" / "seg-0000.data", 64 + 200)
    # The staged search reads few entries' coordinates: it may not meet the damage; every
    # entry aligned does.
    line = fails("search", "w.db", "qd/1sp1.pdb", "--exhaustive", cwd=tree)
    assert line.endswith("fails its checksum") and "w.db is damaged: entry" in line
    expected = "error: w.db is damaged: seg-0000.data fails its checksum"
    assert fails("verify", "w.db", cwd=tree).endswith(expected)
    assert fails("search", "w.db", "qd/1sp1.pdb", "--verify", cwd=tree).endswith(expected)


@pytest.mark.parametrize("name", ["seg-0000.letters", "seg-0000.lookup", "seg-0000.index"])
def test_damaged_or_swapped_files_are_refused_on_open(tree, name):
    # Two databases of the same files under paths of the same length: files of equal sizes.
    shutil.copytree(tree / "src", tree / "sr2")
    ok("createdb", "o.db", "sr2", "-q", cwd=tree)
    assert os.path.getsize(tree / "o.db" / name) == os.path.getsize(tree / "w.db" / name)
    shutil.copy(tree / "o.db" / name, tree / "w.db" / name)
    assert fails("search", "w.db", "qd/1sp1.pdb", cwd=tree).endswith(
        f"error: w.db is damaged: {name} is a file of another database")
    shutil.rmtree(tree / "w.db")
    ok("createdb", "w.db", "src", "-q", cwd=tree)
    flip(tree / "w.db" / name, os.path.getsize(tree / "w.db" / name) - 1)
    assert fails("search", "w.db", "qd/1sp1.pdb", cwd=tree).endswith(
        f"error: w.db is damaged: {name} fails its checksum")


@pytest.mark.parametrize("version", [1, 2])
def test_a_database_of_an_older_format_asks_for_a_rebuild(tree, version):
    # Format 1 named no database in its files and checked no entry: read as it is, a swapped
    # or damaged file would pass. Format 2 held other letters: searched, its first stages
    # would rank by nonsense.
    with open(tree / "w.db" / "dbtype", "r+b") as f:
        f.seek(8)
        f.write(version.to_bytes(4, "little"))
    for command in (["search", "w.db", "qd/1sp1.pdb"], ["verify", "w.db"],
                    ["createdb", "w.db", "qd", "--append"]):
        assert fails(*command, cwd=tree).endswith(
            f"error: w.db is a structure database of format version {version}; this version "
            "reads format version 3: build it again from its structure files (malven createdb)")


# ---- builds: remains of killed ones, refusals, callbacks that raise ---------------------------

def test_what_killed_builds_left_is_reported_and_removed_by_the_next(tree):
    # A create killed outright leaves its temporary folder beside the database, an append its
    # temporary files inside it; a build still running holds its folder locked and is left be.
    import fcntl
    dead = tree / ".n.db.tmp-4242-1-0"
    dead.mkdir()
    shutil.copy(tree / "w.db" / "seg-0000.data", dead / "seg-0000.data")
    running = tree / ".n.db.tmp-4343-1-0"
    running.mkdir()
    held = os.open(running, os.O_RDONLY)
    fcntl.flock(held, fcntl.LOCK_EX)
    try:
        proc = ok("createdb", "n.db", "src", cwd=tree)
    finally:
        os.close(held)
    assert f"malven createdb: warning: removed ./{dead.name}, left by a build of n.db that " \
           f"was killed" in proc.stderr.splitlines()
    assert not dead.exists() and running.exists()
    stale = tree / "w.db" / ".seg-0001.index.tmp-4242-1-0"
    stale.write_bytes(b"partial")
    proc = ok("createdb", "w.db", "qd", "--append", cwd=tree)
    assert f"malven createdb: warning: removed w.db/{stale.name}, left by a build of w.db " \
           f"that was killed" in proc.stderr.splitlines()
    assert not stale.exists()
    ok("verify", "w.db", cwd=tree)


def test_createdb_refusals_are_one_line(tree):
    import fcntl
    (tree / "plain").write_text("x\n")
    (tree / "folder").mkdir()
    assert fails("createdb", "plain", "src", "--append", cwd=tree).endswith(
        "error: plain is not a structure database: it is a file, and a database is a directory")
    assert fails("createdb", "folder", "src", "--append", cwd=tree).endswith(
        "error: folder is not a structure database: it has no dbtype file")
    held = os.open(tree / "w.db", os.O_RDONLY)  # as a running append holds it
    fcntl.flock(held, fcntl.LOCK_EX)
    try:
        assert fails("createdb", "w.db", "src", "--append", cwd=tree).endswith(
            "error: w.db is being appended to by another build")
    finally:
        os.close(held)


def test_two_builds_of_one_name_at_once_leave_one_database(tree):
    def other_build_finishes_first(done, total):
        if done == total:
            shutil.copytree(tree / "w.db", tree / "x.db")

    with pytest.raises(ValueError) as info:
        build(tree / "x.db", [tree / "src" / "1sp1.pdb"],
                                  progress=other_build_finishes_first)
    assert str(info.value) == f"{tree / 'x.db'} came into being while the database was " \
                              f"built; the new one was not put in its place"
    assert sorted(p.name for p in tree.iterdir() if p.name.startswith(".x.db")) == []
    assert len(keldascope.Database(tree / "x.db")) == len(keldascope.Database(tree / "w.db"))


class Refusal(Exception):
    pass


@pytest.mark.parametrize("at", ["first", "last"])
@pytest.mark.parametrize("append", [False, True])
def test_a_raising_progress_callback_stops_the_build_and_keeps_nothing(tree, at, append):
    files = [tree / "src" / name for name in ("1sp1.pdb", "1sp2.pdb", "3znf.pdb")] * 20
    target = tree / ("w.db" if append else "new.db")
    before = digest(target) if append else None
    per_round = len(keldascope.Database(tree / "w.db"))  # w.db holds the three files
    calls = []

    def progress(done, total):
        calls.append(done)
        if at == "first" or done == total:
            raise Refusal(f"refused at {done} of {total}")

    with pytest.raises(Refusal):
        keldascope.Database.create(target, files, append=append, progress=progress)
    assert len(calls) == 1
    if append:
        assert digest(target) == before
    else:
        assert not target.exists()
    assert not [p for p in tree.rglob("*.tmp-*")]
    db = keldascope.Database.create(target, files, append=append)  # a re-run succeeds
    assert db.report.entries == 20 * per_round


# ---- a database handed to the toolkit, and values out of range -------------------------------

@pytest.mark.parametrize("call", [
    lambda db: [s.name for s in keldascope.resolve(db).structures],
    lambda db: [s.name for s in keldascope.multiple_align(db).structures],
    lambda db: list(keldascope.compare_all(db).names),
])
def test_a_bare_database_is_taken_as_its_entries(tree, call, monkeypatch):
    db = keldascope.Database(tree / "w.db")
    # A file in the working folder named as an entry would have been read in its place.
    monkeypatch.chdir(tree)
    for name in db:
        (tree / name).write_text("not a structure\n")
    assert call(db) == [s.name for s in db.structures()]


def test_a_database_keeps_its_absolute_path_and_numpy_indices(tree, monkeypatch):
    import pickle

    import numpy as np
    monkeypatch.chdir(tree)
    db = keldascope.Database("w.db")
    assert db.path == str(tree / "w.db")
    monkeypatch.chdir(tree / "qd")
    again = pickle.loads(pickle.dumps(db))
    assert len(again) == len(db)
    assert db[np.int64(0)].domain.pdb_file == db[0].domain.pdb_file
    assert db[np.uint8(len(db) - 1)].name == db[-1].name
    with pytest.raises(TypeError, match="an entry is named by a str or an int, not float"):
        db[0.0]


def test_distributed_search_takes_a_structure_query(tree):
    from keldascope.distributed import IN_PROCESS, distributed_search
    db = keldascope.Database(tree / "w.db")
    query = keldascope.read_structure(tree / "qd" / "1sp1.pdb")
    found = distributed_search(query, db, client=IN_PROCESS)
    assert [h.target for h in found.hits] == [h.target for h in db.search_one(query).hits]
    with pytest.raises(TypeError, match="the query is a Structure, a malven.Domain, a file "
                                        "path or a"):
        distributed_search(3.5, db, client=IN_PROCESS)


@pytest.mark.parametrize("n", [0, 1, 2])
def test_queries_too_short_to_align_are_refused(tree, n):
    import malven
    import numpy as np
    coords = np.arange(3 * n, dtype=float).reshape(n, 3) * 3.8
    db = keldascope.Database(tree / "w.db")
    short = tree / "short.pdb"
    short.write_text("".join(
        f"ATOM  {k + 1:>5}  CA  ALA A{k + 1:>4}    {x:8.3f}{y:8.3f}{z:8.3f}  1.00 20.00"
        f"           C\n" for k, (x, y, z) in enumerate(coords)) + "END\n")
    with pytest.raises(ValueError, match=f"has {n} residues: too short to search with "
                                         f"\\(at least 3\\)"):
        db.search([malven.Domain.from_arrays("short", coords, "A" * n)])
    line = fails("search", "w.db", "short.pdb", cwd=tree)
    # A file without residues is no structure to begin with.
    assert line.endswith(f"short.pdb has {n} residues: too short to search with (at least 3)"
                         if n else "cannot read a structure from short.pdb: no protein chain: "
                                   "no C-alpha atoms (ATOM records named CA)")


@pytest.mark.parametrize("command, value, message", [
    (["search", "w.db", "qd/1sp1.pdb"], "18446744073709551616",
     "argument --max-hits: must be at most 1000000000, got 18446744073709551616"),
    (["search", "w.db", "qd/1sp1.pdb"], "12297829382473034411",
     "argument --max-hits: must be at most 1000000000, got 12297829382473034411"),
    (["scan", "qd/1sp1.pdb", "qd"], "18446744073709551616",
     "argument --max-hits: must be at most 1000000000, got 18446744073709551616"),
    (["search", "w.db", "qd/1sp1.pdb"], "-1", "argument --max-hits: must not be negative, got -1"),
])
def test_max_hits_out_of_range_is_a_usage_error(tree, command, value, message):
    assert fails(*command, "--max-hits", value, cwd=tree, status=2).endswith(f"error: {message}")


def test_a_huge_max_hits_through_the_toolkit_lists_every_entry(tree):
    db = keldascope.Database(tree / "w.db")
    query = tree / "qd" / "1sp1.pdb"
    found = db.search_one(query, max_hits=12297829382473034411, exhaustive=True)
    assert len(found.hits) == len(db)


@pytest.mark.parametrize("tm", ["0", "0.0", "-0.1", "1.5"])
def test_cluster_refuses_a_tm_score_that_separates_nothing(tree, tm):
    line = fails("cluster", "qd", "--tm", tm, cwd=tree, status=2)
    assert "argument --tm: must lie" in line


# ---- msa --lddt: records that leave structures out or do not match them ---------------------

FINGERS = ["1sp1.pdb", "1sp2.pdb", "3znf.pdb"]


def fingers_fasta(path, rows):
    path.write_text("".join(f">{name.split('.')[0]}\n{row}\n" for name, row in zip(FINGERS, rows)))


@pytest.fixture
def fingers(tree):
    return [keldascope.read_structure(tree / "qd" / name) for name in FINGERS]


@pytest.mark.parametrize("blank", [[0], [1, 2], [0, 1, 2]])
def test_lddt_refuses_records_that_leave_a_structure_out(tree, fingers, blank):
    # An all-gap record once scored higher than the true alignment: nothing of it was wrong.
    width = max(len(s.domain) for s in fingers)
    rows = ["-" * width if k in blank else s.domain.sequence.ljust(width, "-")
            for k, s in enumerate(fingers)]
    aln = tree / "gaps.fasta"
    fingers_fasta(aln, rows)
    first = FINGERS[blank[0]]
    line = fails("msa", "--lddt", aln, *[f"qd/{n}" for n in FINGERS], cwd=tree)
    assert line.endswith(f"{aln}: record {first.split('.')[0]} holds no residues: it leaves "
                         f"qd/{first} out of the alignment")


def test_lddt_warns_of_records_that_cover_part_of_a_structure_or_do_not_match(tree, fingers):
    width = max(len(s.domain) for s in fingers)
    seqs = [s.domain.sequence for s in fingers]
    # The first record: its structure's residues with one changed; the second: its first
    # half only.
    changed = ("W" if seqs[0][5] != "W" else "Y").join([seqs[0][:5], seqs[0][6:]])
    half = len(seqs[1]) // 2
    rows = [changed.ljust(width, "-"), (seqs[1][:half]).ljust(width, "-"),
            seqs[2].ljust(width, "-")]
    aln = tree / "part.fasta"
    fingers_fasta(aln, rows)
    proc = ok("msa", "--lddt", aln, *[f"qd/{n}" for n in FINGERS], cwd=tree)
    assert proc.stderr.splitlines() == [
        f"malven msa: warning: {aln}: record 1sp1: 1 of its {len(seqs[0])} residues do not "
        f"match the sequence of qd/1sp1.pdb; they score nothing",
        f"malven msa: warning: {aln}: record 1sp2 aligns {half} of the {len(seqs[1])} residues "
        f"of qd/1sp2.pdb; the others score nothing"]
    assert "(mean over columns; 3 of 3 structure pairs share columns, 3 of 3 structures)" \
        in proc.stdout
    quiet = ok("msa", "--lddt", aln, *[f"qd/{n}" for n in FINGERS], "-q", cwd=tree)
    assert quiet.stderr == ""


def test_lddt_says_how_many_structures_its_score_covers(tree, fingers):
    # Two records share columns, the third stands in columns of its own.
    seqs = [s.domain.sequence for s in fingers]
    w = max(len(seqs[0]), len(seqs[1]))
    rows = [seqs[0].ljust(w, "-") + "-" * len(seqs[2]),
            seqs[1].ljust(w, "-") + "-" * len(seqs[2]),
            "-" * w + seqs[2]]
    aln = tree / "apart.fasta"
    fingers_fasta(aln, rows)
    import json
    out = json.loads(ok("msa", "--lddt", aln, *[f"qd/{n}" for n in FINGERS], "--json",
                        cwd=tree).stdout)
    assert (out["pairs_scored"], out["pairs"], out["structures_scored"]) == (1, 3, 2)
    text = ok("msa", "--lddt", aln, *[f"qd/{n}" for n in FINGERS], cwd=tree).stdout
    assert "1 of 3 structure pairs share columns, 2 of 3 structures)" in text


# ---- bounded work -----------------------------------------------------------------------------

@pytest.fixture
def many(tmp_path):
    """A database of a few hundred entries: twelve copies of the bundled files."""
    folder = tmp_path / "many"
    folder.mkdir()
    for k in range(12):
        for p in sorted(PDB.glob("*.pdb")):
            shutil.copy(p, folder / f"c{k}_{p.name}")
    ok("createdb", "many.db", "many", "-q", cwd=tmp_path)
    return tmp_path / "many.db"


def test_ctrl_c_stops_a_staged_search_of_a_very_long_query_within_a_second(many):
    # A 50,000-residue query: its shape string once took seconds (an all-pairs count), and
    # the first stage read the stop only between blocks.
    code = ("import sys, malven, keldascope\n"
            f"sys.path.insert(0, {str(DATA.parent)!r})\n"
            "from conftest import helix\n"
            f"db = keldascope.Database({str(many)!r})\n"
            "q = malven.Domain.from_arrays('long', helix(50000), 'A' * 50000)\n"
            "print('ready', flush=True)\n"
            "try:\n"
            "    db.search([q], threads=2)\n"
            "    print('finished', flush=True)\n"
            "except KeyboardInterrupt:\n"
            "    print('interrupted', flush=True)\n")
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, cwd=many.parent)
    assert proc.stdout.readline().strip() == "ready"
    time.sleep(0.3)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    # Timed to the search's return, not to the interpreter's exit (freeing a 50,000-residue
    # query's structures is no part of the stop).
    said = proc.stdout.readline().strip()
    stopped = time.monotonic() - sent
    out, err = proc.communicate(timeout=60)
    assert said == "interrupted", err
    assert stopped < 1.0


def test_queries_in_groups_that_fit_the_memory_budget_find_the_same_hits(many):
    db = keldascope.Database(many)
    queries = [keldascope.read_structure(p) for p in sorted(PDB.glob("*.pdb"))]
    whole = db.search(queries, threads=2)
    # A budget of one byte: every query in a group of its own.
    one_by_one = db.search(queries, DatabaseSearchSettings(query_memory=1, threads=2))
    assert DatabaseSearchSettings().query_memory == 256 << 20
    assert [[(h.target, h.score) for h in f.hits] for f in one_by_one] == \
        [[(h.target, h.score) for h in f.hits] for f in whole]
    assert all(f.hits for f in whole)
