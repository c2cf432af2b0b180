"""Native calls at the edges of a process's life: the interpreter exiting while a toolkit call
runs in a daemon thread, Ctrl-C arriving while NumPy's table is being loaded, and Ctrl-C in
the middle of one alignment of long chains."""
import signal
import sys

import numpy as np
import pytest

from conftest import DATA, interrupt_child, run_python

PDB = DATA / "pdb"

# Long enough to be still running when the script ends: two chains of 1,500 residues, or a
# search over a few hundred targets.
DAEMON_CALLS = {
    "align": "keldascope.align(long, long)",
    "search": "keldascope.search(s, [s] * 400, threads=2)",
    "compare_all": "keldascope.compare_all([s] * 40, threads=2)",
}


@pytest.mark.parametrize("call", sorted(DAEMON_CALLS))
def test_exit_while_a_daemon_thread_runs_a_native_call(call):
    code = ("import threading, numpy as np, keldascope, malven\n"
            f"s = keldascope.read_structure({str(PDB / '1tii.pdb')!r})\n"
            "t = np.arange(1500) * 1.745\n"
            "xyz = np.column_stack([2.3 * np.cos(t), 2.3 * np.sin(t), 1.5 * np.arange(1500)])\n"
            "long = malven.Domain.from_arrays('h', xyz, 'A' * 1500)\n"
            f"threading.Thread(target=lambda: {DAEMON_CALLS[call]}, daemon=True).start()\n")
    # The fault came in most runs, not all: the exit has to be safe every time.
    for _ in range(3):
        out = run_python(code)
        assert out.returncode == 0, out.stderr
        assert "terminate" not in out.stderr and "Traceback" not in out.stderr, out.stderr


# NumPy's version reader raising KeyboardInterrupt stands for Ctrl-C arriving while the table
# loads (the first array operation of a process loads it).
INTERRUPT_NUMPY = ("import numpy as np, numpy.lib\n"
                   "version = numpy.lib.NumpyVersion\n"
                   "def interrupted(*args):\n"
                   "    raise KeyboardInterrupt\n"
                   "numpy.lib.NumpyVersion = interrupted\n")


@pytest.mark.parametrize("call", [
    "malven.centroid(np.ones((2, 3)))",
    "keldascope.align(d, d)",
])
def test_interrupt_while_loading_numpy_propagates_as_itself(call):
    code = (INTERRUPT_NUMPY +
            "import malven, keldascope\n"
            f"d = malven.Domain.from_pdb({str(PDB / '1sp1.pdb')!r})\n"
            "try:\n"
            f"    {call}\n"
            "except BaseException as e:\n"
            "    print(type(e).__name__)\n"
            "numpy.lib.NumpyVersion = version\n"
            f"{call}\n"  # the table was not cached: the next call loads it
            "print('loaded')\n")
    out = run_python(code)
    assert out.stdout.split() == ["KeyboardInterrupt", "loaded"], out.stderr


def test_interrupt_while_loading_numpy_ends_the_command_as_ctrl_c():
    one = str(PDB / "1sp1.pdb")
    code = (INTERRUPT_NUMPY +
            "import sys\n"
            "from keldascope.cli.main import main\n"
            f"sys.exit(main(['align', {one!r}, {one!r}]))\n")
    out = run_python(code)
    assert out.returncode == 130, out.stderr
    assert out.stderr.strip() == "malven align: interrupted"


def long_chain_pdb(path, n, seed=8000):
    """A chain of n C-alpha atoms a few hundred A across: a random walk of 3.8 A steps."""
    rng = np.random.default_rng(seed)
    steps = rng.normal(size=(n, 3))
    steps *= 3.8 / np.linalg.norm(steps, axis=1)[:, None]
    xyz = np.cumsum(steps, axis=0)
    xyz -= xyz.mean(axis=0)
    path.write_text("".join(
        f"ATOM  {k % 100000:>5}  CA  ALA A{k % 10000:>4}    {x:8.3f}{y:8.3f}{z:8.3f}"
        f"  1.00 20.00           C\n" for k, (x, y, z) in enumerate(xyz, start=1)))
    return path


@pytest.mark.skipif(not hasattr(signal, "SIGINT"), reason="needs signals")
@pytest.mark.parametrize("delay", [1.5, 4.0])
def test_ctrl_c_stops_one_alignment_of_long_chains(tmp_path, delay):
    """Chains of 10,000 residues: the stages of one alignment run for seconds each, and each
    looks at the stop request as it goes, not only at its end; Ctrl-C meets them at two
    points of the alignment."""
    path = long_chain_pdb(tmp_path / "long.pdb", 10000)
    elapsed = interrupt_child(tmp_path, path, "for _ in range(20): keldascope.align(d, d)",
                              delay)
    assert elapsed < 1.5, "Ctrl-C took too long"


@pytest.mark.parametrize("signum", ["SIGINT", "SIGTERM"])
def test_an_interrupt_dropped_inside_a_finaliser_still_ends_the_command(signum):
    # Python drops an exception raised in a finaliser or a garbage collector's callback (Dask
    # runs such callbacks often): a Ctrl-C landing there let a scan run on and exit 0, with an
    # "Exception ignored" traceback. The command now raises it at its next check, silently.
    code = ("import gc, os, signal\n"
            "from keldascope.cli import interrupts\n"
            "interrupts.install(lambda: 'malven test')\n"
            "interrupts.started()\n"
            "class Landing:\n"
            "    def __del__(self):\n"
            f"        os.kill(os.getpid(), signal.{signum})\n"
            "        for _ in range(1000000):\n"
            "            pass\n"
            "Landing()\n"
            "gc.collect()\n"
            "print('survived', flush=True)\n"
            "try:\n"
            "    interrupts.check()\n"
            "except KeyboardInterrupt as exc:\n"
            "    print(type(exc).__name__, interrupts.status_and_word(exc)[0])\n")
    out = run_python(code)
    assert out.stdout.split("\n")[:2] == [
        "survived", "Terminated 143" if signum == "SIGTERM" else "KeyboardInterrupt 130"], out.stderr
    assert "Exception ignored" not in out.stderr and "Traceback" not in out.stderr, out.stderr
