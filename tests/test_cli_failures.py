"""The command line under hostile use: outputs that name inputs, special files in target
folders, file system and memory failures, odd option values and file content, a cluster that
cannot be reached. Every failure is one line and a documented status; no input is lost."""
import json
import os
import pathlib
import resource
import shutil
import subprocess
import sys

import pytest

from conftest import DATA, IS_PYPY
from test_cli import BUNDLED, cli_env, fails, malven_cmd, ok

PDB = DATA / "pdb"


def copy_inputs(tmp_path, *names):
    for name in names:
        shutil.copy(BUNDLED / f"{name}.pdb", tmp_path / f"{name}.pdb")


def snapshot(folder):
    return {p.name: p.read_bytes() for p in pathlib.Path(folder).iterdir() if p.is_file()}


# Each row: the files to prepare, the command, the status and the start of the error line.
# After the failure every input file must be byte for byte what it was.
REFUSED = [
    (["1ni7", "5eep"], ["align", "1ni7.pdb", "5eep.pdb", "-o", "1ni7.pdb"], 2,
     "malven align: error: argument -o/--output: '1ni7.pdb' is the input file '1ni7.pdb'"),
    (["1ni7", "5eep"], ["align", "1ni7.pdb", "5eep.pdb", "-o", "./5eep.pdb"], 2,
     "malven align: error: argument -o/--output: './5eep.pdb' is the input file"),
    (["1ni7", "5eep"], ["align", "1ni7.pdb", "5eep.pdb", "--plot", "5eep.pdb"], 2,
     "malven align: error: argument --plot: '5eep.pdb' is the input file"),
    (["1ni7", "5eep"], ["msa", "1ni7.pdb", "5eep.pdb", "-o", "out", "--fasta", "1ni7.pdb"], 2,
     "malven msa: error: argument --fasta: '1ni7.pdb' is the input file"),
    (["1ni7", "5eep"], ["scan", "1ni7.pdb", "5eep.pdb", "--tsv", "5eep.pdb"], 2,
     "malven scan: error: argument --tsv: '5eep.pdb' is the input file"),
    (["1ni7", "5eep"], ["allvsall", "1ni7.pdb", "5eep.pdb", "--tsv", "1ni7.pdb"], 2,
     "malven allvsall: error: argument --tsv: '1ni7.pdb' is the input file"),
    # Files found inside a directory argument are inputs as well.
    (["1ni7", "5eep"], ["scan", "1ni7.pdb", ".", "--tsv", "5eep.pdb"], 2,
     "malven scan: error: argument --tsv: '5eep.pdb' is the input file './5eep.pdb'"),
    (["1ni7", "5eep"], ["allvsall", ".", "--newick", "5eep.pdb"], 2,
     "malven allvsall: error: argument --newick: '5eep.pdb' is the input file './5eep.pdb'"),
    (["1ni7", "5eep"], ["allvsall", ".", "--tsv", "t.tsv", "--newick", "t.tsv"], 2,
     "malven allvsall: error: the --tsv, --newick and --plot files must differ"),
    (["1ni7", "5eep"], ["align", "1ni7.pdb", "5eep.pdb", "-o", ""], 2,
     "malven align: error: argument -o/--output: an empty value is not allowed"),
    (["1ni7", "5eep"], ["msa", "1ni7.pdb", "5eep.pdb", "-o", ""], 2,
     "malven msa: error: argument -o/--output-dir: an empty value is not allowed"),
    (["1ni7", "5eep"], ["scan", "1ni7.pdb", "5eep.pdb", "--tsv", " "], 2,
     "malven scan: error: argument --tsv: an empty value is not allowed"),
    (["1ni7", "5eep"], ["demo", "-o", ""], 2,
     "malven demo: error: argument -o/--output-dir: an empty value is not allowed"),
    (["1ni7"], ["demo", "-o", "1ni7.pdb/sub"], 1, "malven demo: error: cannot create the demo folder"),
    (["1ni7"], ["demo", "-o", "/proc/malven-demo"], 1, "malven demo: error: cannot create the demo folder"),
]


@pytest.mark.parametrize("names, args, status, message", REFUSED)
def test_refused_before_anything_is_written(tmp_path, names, args, status, message):
    copy_inputs(tmp_path, *names)
    before = snapshot(tmp_path)
    line = fails(*args, cwd=tmp_path, status=status)
    assert line.startswith(message), line
    assert snapshot(tmp_path) == before


def test_msa_run_twice_in_one_folder_keeps_its_inputs(tmp_path):
    """The second run finds aligned_a.pdb among its inputs: every output name is checked
    against every input before anything is written."""
    copy_inputs(tmp_path, "1ni7", "5eep", "1ni7_model2")
    ok("msa", "1ni7.pdb", "5eep.pdb", "-o", ".", cwd=tmp_path)
    before = snapshot(tmp_path)
    inputs = sorted(p.name for p in tmp_path.glob("*.pdb"))
    assert "aligned_1ni7.pdb" in inputs
    line = fails("msa", *inputs, "-o", ".", cwd=tmp_path, status=2)
    assert "is the input file" in line
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("command", ["scan", "allvsall"])
def test_special_files_in_folders_are_skipped_not_waited_on(tmp_path, command):
    db = tmp_path / "db"
    db.mkdir()
    shutil.copy(PDB / "1sp1.pdb", db / "a.pdb")
    shutil.copy(PDB / "1sp2.pdb", db / "b.pdb")
    os.mkfifo(db / "x.pdb")
    args = ["scan", str(PDB / "1sp1.pdb"), "db"] if command == "scan" else ["allvsall", "db"]
    proc = malven_cmd(*args, "--jobs", "1", cwd=tmp_path)  # would block in open() if read
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.strip() == f"malven {command}: warning: skipped: db/x.pdb: not a regular file"


def test_control_characters_in_file_content_are_escaped(tmp_path):
    line = "ATOM      1  CA  ALA A   1    \x1b[2J  0.000   0.000  1.00 20.00           C\n"
    (tmp_path / "evil.pdb").write_text(line)
    err = fails("align", "evil.pdb", PDB / "1sp1.pdb", cwd=tmp_path)
    assert "\x1b" not in err and "\\x1b[2J" in err


@pytest.mark.parametrize("address, status, message", [
    ("garbage", 2, "argument --scheduler: 'garbage' is not an address of the form"),
    ("", 2, "argument --scheduler: an empty value is not allowed"),
    ("tcp://127.0.0.1:1", 1, "cannot reach the Dask scheduler at tcp://127.0.0.1:1"),
])
def test_unreachable_scheduler_fails_at_once(tmp_path, address, status, message):
    from keldascope.distributed import dask_unavailable
    if status == 1 and dask_unavailable():  # a well-formed address needs Dask to go further
        message = "--scheduler needs Dask"
    proc = subprocess.run([sys.executable, "-m", "keldascope.cli", "scan", str(PDB / "1sp1.pdb"),
                           str(PDB / "1sp2.pdb"), "--scheduler", address], env=cli_env(),
                          cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=30)
    lines = proc.stderr.splitlines()
    assert proc.returncode == status and len(lines) == 1, proc.stderr
    assert lines[0].startswith(f"malven scan: error: {message}"), lines[0]


def test_jobs_beyond_the_cores_are_capped(tmp_path):
    proc = malven_cmd("scan", PDB / "1sp1.pdb", PDB / "1sp2.pdb", "--jobs", "1000",
                      "--mode", "quick", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "malven scan: warning: --jobs 1000 is more than the" in proc.stderr


def limited(kind, value):
    def apply():
        resource.setrlimit(kind, (value, value))
    return apply


def run_limited(args, cwd, kind, value):
    return subprocess.run([sys.executable, "-m", "keldascope.cli", *map(str, args)], cwd=cwd,
                          env=cli_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=300, preexec_fn=limited(kind, value))


def test_align_needs_no_scratch_files(tmp_path):
    """A file size limit of 8 blocks fails any scratch file; the report goes to a pipe."""
    proc = run_limited(["align", BUNDLED / "1ni7.pdb", BUNDLED / "5eep.pdb"], tmp_path,
                       resource.RLIMIT_FSIZE, 8 * 512)
    assert proc.returncode == 0, proc.stderr
    assert "Aligned pairs" in proc.stdout


@pytest.mark.skipif(IS_PYPY, reason="PyPy's own heap needs more address space than the limit")
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_out_of_memory_is_one_line(tmp_path, jobs):
    """A quick-mode scan of a 30,000-residue chain needs a 7 GB similarity matrix: under a
    4 GB address-space limit the allocation fails, and the command says so in one line."""
    n = 30000
    lines = [f"ATOM  {k % 100000:>5}  CA  ALA A{k % 10000:>4}    "
             f"{(k % 50) * 3.8:8.3f}{(k // 50) * 3.8:8.3f}{0.0:8.3f}  1.00 20.00           C\n"
             for k in range(n)]
    (tmp_path / "huge.pdb").write_text("".join(lines))
    if jobs == "2":
        pytest.importorskip("dask.distributed")
    proc = run_limited(["scan", "huge.pdb", "huge.pdb", "huge.pdb", "--mode", "quick",
                        "--jobs", jobs], tmp_path, resource.RLIMIT_AS, 4 << 30)
    assert proc.returncode == 1, proc.stderr
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and "out of memory" in lines[0], proc.stderr


needs_utf8_names = pytest.mark.skipif(sys.getfilesystemencoding().lower() != "utf-8",
                                      reason="file names are not UTF-8 here")


def run_bytes(*args, cwd):
    """The command with its output as bytes: names that are not UTF-8 come back as such."""
    return subprocess.run([sys.executable, "-m", "keldascope.cli", *args], cwd=cwd,
                          env=cli_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)


@needs_utf8_names
def test_file_names_that_are_not_utf8(tmp_path):
    """A Latin-1 name (the byte 0xE9) is a valid file name that Python hands over with a
    surrogate escape: every command reads it, writes beside it and prints it back as the
    same bytes; the structure's name escapes the byte."""
    raw = os.fsencode(str(tmp_path)) + b"/caf\xe9.pdb"
    shutil.copy(BUNDLED / "5eep.pdb", raw)
    copy_inputs(tmp_path, "1ni7")
    name = os.fsdecode(b"caf\xe9.pdb")
    out = run_bytes("align", "1ni7.pdb", name, "-o", os.fsdecode(b"out\xe9.pdb"), cwd=tmp_path)
    assert (out.returncode, out.stderr) == (0, b"")
    assert b"Structure 2      caf\xe9.pdb  chain A" in out.stdout
    assert b"\ncaf\\xe9 " in out.stdout  # the alignment rows name it
    assert os.path.exists(os.fsencode(str(tmp_path)) + b"/out\xe9.pdb")
    msa = run_bytes("msa", "1ni7.pdb", name, "-o", "out", cwd=tmp_path)
    assert msa.returncode == 0, msa.stderr
    # Copies are named as write_all names them: a stem that is not UTF-8 gives way to the
    # structure's number.
    assert sorted(os.listdir(os.fsencode(str(tmp_path / "out")))) == \
        [b"aligned_1ni7.pdb", b"aligned_domain1.pdb"]
    scan = run_bytes("scan", "1ni7.pdb", ".", "-q", cwd=tmp_path)
    assert scan.returncode == 0 and b"  caf\\xe9.pdb:A  " in scan.stdout, scan.stderr
    table = json.loads(run_bytes("allvsall", ".", "--json", "-q", cwd=tmp_path).stdout)
    assert {"id": "caf\\xe9", "path": "./" + name} in \
        [{k: s[k] for k in ("id", "path")} for s in table["structures"]]
    # Errors name the file with the byte escaped.
    (tmp_path / os.fsdecode(b"bad\xe9.pdb")).write_text("REMARK nothing\n")
    line = fails("align", "1ni7.pdb", os.fsdecode(b"bad\xe9.pdb"), cwd=tmp_path)
    assert line.startswith("malven align: error: cannot read a structure from bad\\xe9.pdb")


@needs_utf8_names
def test_module_and_toolkit_open_names_that_are_not_utf8(tmp_path):
    import keldascope
    import malven

    raw = os.fsencode(str(tmp_path)) + b"/caf\xe9.pdb"
    shutil.copy(BUNDLED / "5eep.pdb", raw)
    name = os.fsdecode(raw)
    d = malven.Domain.from_pdb(name)
    # The module names it "unknown", as it names any stem that is not UTF-8; the toolkit
    # keeps the readable part.
    assert d.id == "unknown" and d.pdb_file == name
    d.to_pdb(os.fsdecode(os.fsencode(str(tmp_path)) + b"/moved\xe9.pdb"))
    assert os.path.exists(os.fsencode(str(tmp_path)) + b"/moved\xe9.pdb")
    written = malven.align_pdbs([name, str(BUNDLED / "1ni7.pdb")], str(tmp_path / "out")).write_all(
        str(tmp_path / "again"))
    assert written[0].endswith("/aligned_domain0.pdb")  # write_all's name for such a stem
    for given in (raw, name, pathlib.Path(name)):
        s = keldascope.read_structure(given)
        assert s.domain.coordinates.tolist() == d.coordinates.tolist()
        assert (s.path, s.domain.id) == (name, "caf\\xe9")
    with pytest.raises(TypeError, match="'bytes' object cannot be cast as 'str'"):
        malven.Domain.from_pdb(raw)  # the module takes str paths only
