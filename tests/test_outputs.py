"""Outputs appear whole or not at all, and a run asked to stop ends cleanly at any point: the
atomic writer, full disks and unwritable paths, SIGTERM and Ctrl-C from the first
instructions of the command to the start of a Dask cluster, warnings of many skipped files."""
import os
import pathlib
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

import pytest

from conftest import DATA, IS_PYPY
from test_cli import BUNDLED, cli_env, fails, malven_cmd

from keldascope.cli.interrupts import Terminated
from keldascope.outputs import TEMPORARY_MARK, atomic_output

PDB = DATA / "pdb"


def leftovers(folder):
    return sorted(p.name for p in pathlib.Path(folder).rglob("*") if TEMPORARY_MARK in p.name)


# ---- the writer ------------------------------------------------------------------------------

@pytest.mark.parametrize("error", [ValueError, KeyboardInterrupt, Terminated, OSError])
@pytest.mark.parametrize("existing", [None, b"old content\n"])
def test_a_write_cut_short_leaves_the_target_as_it_was(tmp_path, error, existing):
    target = tmp_path / "out.tsv"
    if existing is not None:
        target.write_bytes(existing)
    with pytest.raises(error):
        with atomic_output(target) as out:
            out.write("x" * 100000)
            raise error
    assert (target.read_bytes() if target.exists() else None) == existing
    assert leftovers(tmp_path) == []


def test_a_finished_write_replaces_the_target_whole(tmp_path):
    target = tmp_path / "out.pdb"
    target.write_bytes(b"old\n")
    target.chmod(0o640)
    link = tmp_path / "link.pdb"
    link.symlink_to(target.name)
    with atomic_output(link, "wb") as out:
        out.write(b"new\n")
    # Written through the link: the link still points at the file, which keeps its mode.
    assert link.is_symlink() and target.read_bytes() == b"new\n"
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    fresh = tmp_path / "fresh.tsv"
    with atomic_output(fresh) as out:
        out.write("a\tb\n")
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(fresh.stat().st_mode) == 0o666 & ~umask
    assert leftovers(tmp_path) == []


def test_a_special_file_is_written_in_place():
    with atomic_output("/dev/null") as out:
        out.write("nothing\n")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


# ---- the commands: outputs refused before the work, never half written ----------------------

def two_inputs(tmp_path):
    for name in ("1ni7", "5eep"):
        shutil.copy(BUNDLED / f"{name}.pdb", tmp_path / f"{name}.pdb")


# /sys refuses new files even to root; the second input is missing, so an error about it would
# show that the output was checked only after reading.
UNWRITABLE = [
    (["align", "1ni7.pdb", "none.pdb", "-o", "/sys/moved.pdb"],
     "malven align: error: cannot write /sys/moved.pdb: Permission denied"),
    (["align", "1ni7.pdb", "none.pdb", "--plot", "dangling.png"],
     "malven align: error: cannot write dangling.png: No such file or directory"),
    (["scan", "1ni7.pdb", "none.pdb", "--tsv", "dangling.tsv"],
     "malven scan: error: cannot write dangling.tsv: No such file or directory"),
    (["allvsall", "1ni7.pdb", "none.pdb", "--newick", "/sys/tree.nwk"],
     "malven allvsall: error: cannot write /sys/tree.nwk: Permission denied"),
    (["msa", "1ni7.pdb", "none.pdb", "-o", "/sys/aligned"],
     "malven msa: error: argument -o/--output-dir: cannot write into /sys/aligned: "
     "Permission denied"),
    (["msa", "1ni7.pdb", "none.pdb", "-o", "out", "--tsv", "dangling.tsv"],
     "malven msa: error: cannot write dangling.tsv: No such file or directory"),
]


def refuses_new_files(folder):
    try:
        fd, path = tempfile.mkstemp(dir=folder)
    except OSError:
        return True
    os.close(fd)
    os.unlink(path)
    return False


@pytest.mark.skipif(not refuses_new_files("/sys"), reason="needs a folder that refuses new files")
@pytest.mark.parametrize("args, message", UNWRITABLE)
def test_an_output_that_cannot_be_written_is_refused_first(tmp_path, args, message):
    two_inputs(tmp_path)
    for name in ("dangling.png", "dangling.tsv"):
        (tmp_path / name).symlink_to("missing-folder/" + name)
    assert fails(*args, cwd=tmp_path) == message


def run_with_file_size_limit(args, cwd, limit):
    def apply():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return subprocess.run([sys.executable, "-m", "keldascope.cli", *map(str, args)], cwd=cwd,
                          env=cli_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=300, preexec_fn=apply)


# A file size limit stands for a full disk: the write fails part of the way through.
FULL_DISK = [
    (["align", "1ni7.pdb", "5eep.pdb", "-o", "moved.pdb"], "moved.pdb"),
    (["msa", "1ni7.pdb", "5eep.pdb", "-o", "aligned"], "aligned/aligned_1ni7.pdb"),
    (["allvsall", "1ni7.pdb", "5eep.pdb", "1ni7.pdb", "5eep.pdb", "1ni7.pdb", "5eep.pdb",
      "--tsv", "pairs.tsv"], "pairs.tsv"),
]


@pytest.mark.parametrize("args, output", FULL_DISK)
def test_a_full_disk_leaves_no_part_of_an_output(tmp_path, args, output):
    two_inputs(tmp_path)
    proc = run_with_file_size_limit(args, tmp_path, 1024)
    lines = proc.stderr.splitlines()
    assert proc.returncode == 1 and len(lines) == 1, proc.stderr
    assert "File too large" in lines[0], lines[0]
    assert not (tmp_path / output).exists()
    assert leftovers(tmp_path) == []


# ---- signals ---------------------------------------------------------------------------------

def terminal_signals():
    """A run started from a shell's background inherits Ctrl-C ignored, and keeps ignoring
    it as asked; these runs stand for the terminal's foreground job, where it is set."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def many_copies(tmp_path, n):
    folder = tmp_path / "set"
    folder.mkdir()
    for k in range(n):
        shutil.copy(PDB / ("1tii.pdb" if k % 2 else "1hpv.pdb"), folder / f"c{k}.pdb")
    return folder


@pytest.mark.parametrize("signum, status, word", [(signal.SIGTERM, 143, "terminated"),
                                                  (signal.SIGINT, 130, "interrupted")])
def test_a_signal_during_a_run_ends_it_cleanly(tmp_path, signum, status, word):
    """Sent once the run is well under way (or, on a slow machine, while it starts: either
    way the same end): one line, the status, no output and no temporary file."""
    folder = many_copies(tmp_path, 120)
    proc = subprocess.Popen([sys.executable, "-m", "keldascope.cli", "allvsall", str(folder),
                             "--tsv", "pairs.tsv", "--threads", "2"], cwd=tmp_path,
                            env=cli_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, preexec_fn=terminal_signals)
    time.sleep(2.0)
    proc.send_signal(signum)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == status, err
    assert err.strip() == f"malven allvsall: {word}"
    assert not (tmp_path / "pairs.tsv").exists() and leftovers(tmp_path) == []


# A signal sent by the process to itself while Python imports `module`, the moment a Ctrl-C
# at the terminal may come: before the command's own code runs.
SIGNAL_DURING_IMPORT = """\
import os, signal, sys
class Hook:
    def find_spec(self, name, path=None, target=None):
        if name == {module!r}:
            sys.meta_path.remove(self)
            os.kill(os.getpid(), {signum})
        return None
sys.meta_path.insert(0, Hook())
sys.argv = ["malven", "align", {a!r}, {b!r}]
from keldascope.cli.main import main
sys.exit(main())
"""


@pytest.mark.parametrize("module", ["numpy", "malven", "keldascope._native"])
@pytest.mark.parametrize("signum, status, word", [(signal.SIGINT, 130, "interrupted"),
                                                  (signal.SIGTERM, 143, "terminated")])
def test_a_signal_while_the_command_starts_is_one_line(tmp_path, module, signum, status, word):
    code = SIGNAL_DURING_IMPORT.format(module=module, signum=int(signum),
                                       a=str(BUNDLED / "1ni7.pdb"), b=str(BUNDLED / "5eep.pdb"))
    out = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=cli_env(),
                         capture_output=True, text=True, timeout=120,
                         preexec_fn=terminal_signals)
    assert out.returncode == status, out.stderr
    assert out.stderr.strip() == f"malven align: {word}"


def test_dask_is_imported_only_when_asked_for(tmp_path):
    code = ("import sys\n"
            "from keldascope.cli.main import main\n"
            f"main(['scan', {str(PDB / '1sp1.pdb')!r}, {str(PDB / '1sp2.pdb')!r}, '-q'])\n"
            "print(sorted({m.split('.')[0] for m in sys.modules} &\n"
            "             {'asyncio', 'ssl', 'dask', 'distributed'}))\n")
    out = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=cli_env(),
                         capture_output=True, text=True, timeout=120)
    assert out.stdout.strip().splitlines()[-1] == "[]", out.stderr


# LocalCluster's start with a Ctrl-C sent to the whole process group at its first step, as a
# terminal sends it.
CTRL_C_WHILE_THE_CLUSTER_STARTS = """\
import os, signal, sys
import dask.distributed
start = dask.distributed.LocalCluster.__init__
def interrupted_start(self, *args, **kwargs):
    os.killpg(os.getpgid(0), signal.SIGINT)
    start(self, *args, **kwargs)
dask.distributed.LocalCluster.__init__ = interrupted_start
from keldascope.cli.main import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.skipif(IS_PYPY, reason="Dask does not run on PyPy")
def test_ctrl_c_while_the_cluster_starts_ends_the_run(tmp_path):
    pytest.importorskip("dask.distributed")
    folder = many_copies(tmp_path, 8)
    proc = subprocess.run([sys.executable, "-c", CTRL_C_WHILE_THE_CLUSTER_STARTS, "scan",
                           str(PDB / "1sp1.pdb"), str(folder), "--jobs", "2"], cwd=tmp_path,
                          env=cli_env(), capture_output=True, text=True, timeout=120,
                          start_new_session=True, preexec_fn=terminal_signals)
    assert proc.returncode == 130, proc.stderr
    assert proc.stderr.strip() == "malven scan: interrupted"


# ---- warnings --------------------------------------------------------------------------------

@pytest.mark.parametrize("n_bad, shown", [(3, 3), (5, 5), (40, 6)])
def test_many_unreadable_files_are_counted_after_a_few(tmp_path, n_bad, shown):
    folder = tmp_path / "set"
    folder.mkdir()
    for k in range(n_bad):
        (folder / f"empty{k:02}.pdb").write_text("")
    shutil.copy(PDB / "1sp2.pdb", folder)
    proc = malven_cmd("scan", PDB / "1sp1.pdb", folder, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stderr.splitlines()
    assert len(lines) == shown, proc.stderr
    assert all(line.startswith("malven scan: warning: skipped: ") for line in lines[:5])
    if n_bad > 5:
        assert lines[-1] == (f"malven scan: warning: skipped {n_bad - 5} more files that "
                             f"cannot be read ({n_bad} in all)")
