"""The database, its commands and the toolkit under hostile use: outputs that name inputs
found inside folders, lists and databases; special, truncated, damaged and swapped database
files; the remains of killed builds; refusals of createdb; callbacks that raise; values out of
every range. Each ends in one clear error (or a warning) and loses nothing."""
import hashlib
import os
import shutil
import subprocess
import sys

import pytest

import keldascope

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
