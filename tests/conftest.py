"""Shared helpers for the pytest suite of the malven module and the keldascope toolkit."""
import importlib.util
import os
import pathlib
import platform
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np  # noqa: E402
import pytest  # noqa: E402

import malven  # noqa: E402

IS_PYPY = platform.python_implementation() == "PyPy"
ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
# The real structures kept beside the checkout (../shared/data), or wherever
# MALVEN_SHARED_DATA says; tests that need them skip, with a reason naming them, when absent.
SHARED = pathlib.Path(os.environ.get("MALVEN_SHARED_DATA") or ROOT.parent / "shared" / "data")

# gemmi is optional, and PyPy goes without it (PyPI has no PyPy wheel; scripts/run-tests does
# not spend the ten minutes of its source build): the tests that use it, as the feature they
# test or to write mmCIF files, skip where it is absent, saying so; every other test runs.
HAS_GEMMI = importlib.util.find_spec("gemmi") is not None
NO_GEMMI = "gemmi is not installed (optional; PyPI has no PyPy wheel of it)"
needs_gemmi = pytest.mark.skipif(not HAS_GEMMI, reason=NO_GEMMI)


def gemmi_or_skip():
    """The gemmi module, or a skip of the calling test where it is absent."""
    if not HAS_GEMMI:
        pytest.skip(NO_GEMMI)
    import gemmi
    return gemmi

# The suite tests the installed package. `python -m pytest` run from the checkout puts the
# checkout first on the path, where the keldascope folder (without its compiled module) would
# shadow the installed one.
sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() != ROOT]


def full_doc(obj, name):
    """The docstring as written in the module, text signature included.

    CPython splits "sig\\n--\\n\\n" off into __text_signature__; PyPy keeps it in
    __doc__ for functions and classes, and reports None for method and attribute
    docstrings of extension types (a limit of its C-API emulation), in which case
    None is returned and callers skip the check.
    """
    doc = obj.__doc__
    if doc is None:
        return None
    sig = getattr(obj, "__text_signature__", None)
    if sig:
        return f"{name}{sig}\n--\n\n{doc}"
    return doc


def helix(n, rise=1.5, radius=2.3, start=0.0):
    """An ideal alpha-helix C-alpha trace of n residues (3.8 A steps)."""
    t = np.arange(n) * np.deg2rad(100.0) + start
    return np.column_stack([radius * np.cos(t), radius * np.sin(t), rise * np.arange(n)])


def rotation(axis, angle):
    axis = np.asarray(axis, dtype=float)
    axis = axis / np.linalg.norm(axis)
    x, y, z = axis
    c, s = np.cos(angle), np.sin(angle)
    t = 1 - c
    return np.array(
        [
            [t * x * x + c, t * x * y - s * z, t * x * z + s * y],
            [t * x * y + s * z, t * y * y + c, t * y * z - s * x],
            [t * x * z - s * y, t * y * z + s * x, t * z * z + c],
        ]
    )


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


def run_python(code, timeout=300):
    """Runs `code` in a fresh interpreter, from a folder outside the checkout so that it
    imports the installed package, not the source tree beside the tests."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, cwd=tempfile.gettempdir())


def interrupt_child(tmp_path, path, call, delay=0.5):
    """Starts a child that reads `path` as `d` and runs the one-line statement `call` (work of
    many minutes), sends it Ctrl-C `delay` seconds in, waits at most a minute for it to end
    and returns the seconds it took. The child must have printed "interrupted", having
    caught KeyboardInterrupt."""
    code = ("import keldascope, sys\n"
            f"d = keldascope.read_structure({str(path)!r})\n"
            "print('ready', flush=True)\n"
            "try:\n"
            f"    {call}\n"
            "    print('finished', flush=True)\n"
            "except KeyboardInterrupt:\n"
            "    print('interrupted', flush=True)\n")
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, cwd=tmp_path,
                            stderr=subprocess.PIPE, universal_newlines=True)
    assert proc.stdout.readline().strip() == "ready"
    time.sleep(delay)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    try:
        out, err = proc.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise AssertionError("Ctrl-C did not stop the work")
    elapsed = time.monotonic() - sent
    assert out.strip() == "interrupted", err
    return elapsed


def pytest_terminal_summary(terminalreporter):
    """One line saying how many tests skipped for want of the shared structures, so that a
    run beside nothing does not pass for a full one."""
    wanting = [r for r in terminalreporter.stats.get("skipped", [])
               if "shared" in str(getattr(r, "longrepr", "")).lower()]
    if wanting and not SHARED.is_dir():
        terminalreporter.write_line(
            f"{len(wanting)} tests skipped for want of the shared structures: {SHARED} is "
            f"absent (set MALVEN_SHARED_DATA to their folder)")
