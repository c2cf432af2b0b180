"""The database, its commands and the toolkit under hostile use: outputs that name inputs
found inside folders, lists and databases; special, truncated, damaged and swapped database
files; the remains of killed builds; refusals of createdb; callbacks that raise; values out of
every range. Each ends in one clear error (or a warning) and loses nothing."""
import hashlib
import os
import shutil

import pytest

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
