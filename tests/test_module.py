"""Module registration, texts and the error-mapping rules shared by every entry."""
import importlib
import os
import sys

import numpy as np
import pytest

import malven
from conftest import IS_PYPY, full_doc

NAMES = [
    "Domain",
    "Parameters",
    "Transform",
    "AlignmentResult",
    "MultipleAlignmentResult",
    "ScanHit",
    "pairwise_align",
    "multiple_align",
    "align_pdbs",
    "scan_database",
    "compute_rmsd",
    "superpose",
    "distance_matrix",
    "centroid",
    "transform_pdb_file",
    "__version__",
]


def test_all_lists_registered_names_in_order():
    # Entries arrive with their own features; whatever exists keeps the documented order.
    present = [n for n in NAMES if hasattr(malven, n)]
    assert malven.__all__ == present
    assert {"Domain", "Parameters", "Transform", "compute_rmsd", "centroid"} <= set(present)


def test_version_and_reimport():
    assert malven.__version__ == "0.1.2"
    again = importlib.import_module("malven")
    assert again is malven
    assert sys.modules["malven"] is malven


def test_module_docstring():
    lines = malven.__doc__.split("\n")
    assert len(lines) == 11
    assert lines[0] == "Malven - Keldascope (KELDA implementation)"
    assert lines[7] == '    >>> d1 = malven.Domain.from_pdb("1abc.pdb", chain=\'A\')'
    assert lines[10] == '    >>> print(f"RMSD: {result.rmsd:.2f}")'
    assert not malven.__doc__.endswith("\n")


@pytest.mark.parametrize(
    "cls", ["Domain", "Parameters", "Transform", "AlignmentResult", "MultipleAlignmentResult", "ScanHit"]
)
def test_classes_live_in_builtins(cls):
    c = getattr(malven, cls)
    assert c.__module__ == "builtins"
    assert c.__name__ == cls


@pytest.mark.parametrize("cls", ["AlignmentResult", "MultipleAlignmentResult", "ScanHit"])
def test_result_classes_cannot_be_constructed(cls):
    with pytest.raises(TypeError):
        getattr(malven, cls)()


@pytest.mark.parametrize(
    "name, text",
    [
        ("centroid", "centroid(coords)\n--\n\nComputes centroid of a coordinate set.\n\nArgs:\n"
         "    coords: Coordinate array (N x 3).\n\nReturns:\n    Centroid as (x, y, z) tuple."),
        ("superpose", "superpose(fixed, mobile)\n--\n\nComputes optimal superposition of two "
         "coordinate sets.\n\nArgs:\n    fixed: Reference coordinates (N x 3).\n"
         "    mobile: Coordinates to transform (N x 3).\n\nReturns:\n    Tuple of (Transform, rmsd)."),
    ],
)
def test_function_docstrings_carry_signature(name, text):
    assert full_doc(getattr(malven, name), name) == text


def test_panic_exception_escapes_except_exception():
    caught = None
    try:
        try:
            malven.centroid(np.zeros((0, 3)))
        except Exception:  # noqa: BLE001 - the point is that this does not catch it
            pytest.fail("PanicException must not derive from Exception")
    except BaseException as e:  # noqa: BLE001
        caught = e
    assert type(caught).__name__ == "PanicException"
    assert type(caught).__bases__ == (BaseException,)
    assert caught.args == ("Cannot compute centroid of empty point set",)
    assert "BaseException" in type(caught).__doc__


# (call, exception, exact message) rows for the binder: the interpreter's own wording.
BINDING_ERRORS = [
    (lambda: malven.centroid(), TypeError, "centroid() missing 1 required positional argument: 'coords'"),
    (lambda: malven.compute_rmsd(), TypeError,
     "compute_rmsd() missing 2 required positional arguments: 'coords1' and 'coords2'"),
    (lambda: malven.centroid(np.zeros((1, 3)), np.zeros((1, 3))), TypeError,
     "centroid() takes 1 positional argument but 2 were given"),
    (lambda: malven.centroid(coords=np.zeros((1, 3)), weights=1), TypeError,
     "centroid() got an unexpected keyword argument 'weights'"),
    (lambda: malven.centroid(np.zeros((1, 3)), coords=np.zeros((1, 3))), TypeError,
     "centroid() got multiple values for argument 'coords'"),
    (lambda: malven.Domain(), TypeError, "Domain.__new__() missing 1 required positional argument: 'id'"),
    (lambda: malven.Domain("a", "B", "C"), TypeError,
     "Domain.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: malven.Domain("a", colour="B"), TypeError,
     "Domain.__new__() got an unexpected keyword argument 'colour'"),
    (lambda: malven.Parameters(1), TypeError, "Parameters.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: malven.Transform().apply(), TypeError,
     "Transform.apply() missing 1 required positional argument: 'coords'"),
    (lambda: malven.Transform.from_matrix(np.eye(3)), TypeError,
     "Transform.from_matrix() missing 1 required positional argument: 'translation'"),
    (lambda: malven.Domain.from_arrays("a", np.zeros((1, 3)), "A", "B", "C"), TypeError,
     "Domain.from_arrays() takes from 3 to 4 positional arguments but 5 were given"),
]


@pytest.mark.parametrize("call, exc, message", BINDING_ERRORS)
def test_binding_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


# Conversion failures: TypeErrors get the argument name and keep the original as cause.
CONVERSION_ERRORS = [
    (lambda: malven.Domain(5), TypeError, "argument 'id': 'int' object cannot be cast as 'str'"),
    (lambda: malven.Domain("a", chain="AB"), ValueError, "expected a string of length 1"),
    (lambda: malven.Domain("a", chain=""), ValueError, "expected a string of length 1"),
    (lambda: malven.Domain("a", chain=7), TypeError, "argument 'chain': 'int' object cannot be cast as 'str'"),
    (lambda: malven.Transform().compose("x"), TypeError,
     "argument 'other': 'str' object cannot be cast as 'Transform'"),
    (lambda: malven.centroid([[1.0, 2.0, 3.0]]), TypeError,
     "argument 'coords': 'list' object cannot be cast as 'ndarray'"),
    (lambda: malven.centroid(np.zeros((2, 3), dtype=np.int64)), TypeError,
     "argument 'coords': 'ndarray' object cannot be cast as 'ndarray'"),
    (lambda: malven.centroid(np.zeros((2, 3), dtype=np.float32)), TypeError,
     "argument 'coords': 'ndarray' object cannot be cast as 'ndarray'"),
    (lambda: malven.centroid(np.zeros(3)), TypeError,
     "argument 'coords': 'ndarray' object cannot be cast as 'ndarray'"),
    (lambda: malven.Transform.from_matrix(np.eye(3), np.zeros((1, 3))), TypeError,
     "argument 'translation': 'ndarray' object cannot be cast as 'ndarray'"),
]


@pytest.mark.parametrize("call, exc, message", CONVERSION_ERRORS)
def test_conversion_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message
    if exc is TypeError:
        assert isinstance(info.value.__cause__, TypeError)
        assert message.endswith(str(info.value.__cause__))


def test_none_for_optional_equals_leaving_it_out():
    assert repr(malven.Domain("a", None)) == repr(malven.Domain("a"))
    coords = np.zeros((2, 3))
    with_none = malven.Domain.from_arrays("a", coords, "AG", chain=None)
    assert with_none.chain == "A"


def test_calls_from_threads_do_not_overlap():
    import threading

    # Every call holds the interpreter lock to its end; concurrent callers get correct,
    # independent results.
    rng = np.random.default_rng(1)
    pts = [rng.normal(size=(400, 3)) for _ in range(4)]
    out = [None] * 4

    def work(k):
        for _ in range(20):
            out[k] = malven.distance_matrix(pts[k], pts[k]).sum()

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in range(4):
        d = np.linalg.norm(pts[k][:, None, :] - pts[k][None, :, :], axis=2).sum()
        assert out[k] == pytest.approx(d)


@pytest.mark.skipif(IS_PYPY, reason="reference counts are a CPython notion")
def test_results_do_not_leak_references():
    coords = np.ones((5, 3))
    before = sys.getrefcount(coords)
    for _ in range(100):
        malven.centroid(coords)
        malven.Transform().apply(coords)
        try:
            malven.centroid(coords[:, :2].copy())
        except ValueError:
            pass
    assert sys.getrefcount(coords) == before


def test_allocation_failure_is_memory_error():
    # A million by a million distances cannot be allocated; the interpreter must survive.
    big = np.broadcast_to(np.zeros(3), (10**6, 3))
    with pytest.raises(MemoryError):
        malven.distance_matrix(big, big)
    assert malven.centroid(np.ones((2, 3))) == (1.0, 1.0, 1.0)


def test_missing_numpy_is_a_panic_retried_on_next_use(tmp_path):
    import subprocess

    # A stand-in numpy that fails to import; the module must report it and not cache it.
    fake = tmp_path / "numpy"
    fake.mkdir()
    (fake / "__init__.py").write_text("raise ImportError('numpy is broken here')\n")
    code = (
        "import malven\n"
        "for _ in range(2):\n"
        "    try:\n"
        "        malven.centroid([[1.0, 2.0, 3.0]])\n"
        "    except BaseException as e:\n"
        "        print(type(e).__name__, e)\n"
    )
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=tmp_path)
    lines = out.stdout.splitlines()
    assert len(lines) == 2, out.stderr
    for line in lines:
        assert line.startswith("PanicException Failed to access NumPy array API capsule")
        assert "numpy is broken here" in line


# ---- instances made the wrong way -------------------------------------------------------
# CPython refuses these calls itself; PyPy lets them reach the module, which must refuse them
# (or keep the object unreadable) instead of building one class's record in another's memory.

CLASSES = ["Domain", "Parameters", "Transform", "AlignmentResult", "MultipleAlignmentResult",
           "ScanHit"]
CONSTRUCTIBLE = {"Domain": ("x",), "Parameters": (), "Transform": ()}


def run_isolated(code):
    """Run code in a fresh interpreter: a fault must show as a failed process, not end ours."""
    import subprocess
    return subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)


@pytest.mark.parametrize("name", CLASSES)
def test_instances_made_without_their_constructor_are_never_read(name):
    code = f"""
import gc, malven
cls = malven.{name}
try:
    obj = object.__new__(cls)
except TypeError:
    print("refused")
else:
    for attr in dir(cls):
        if attr.startswith("__"):
            continue
        try:
            value = getattr(obj, attr)
            if callable(value):  # a method reads the record only when called
                value()
        except TypeError as exc:
            assert callable(getattr(cls, attr)) or "uninitialised" in str(exc), exc
        else:
            raise SystemExit(attr + " was readable")
    try:
        repr(obj)
    except TypeError:
        pass
    else:
        raise SystemExit("repr was readable")
    del obj
    gc.collect()
    print("unreadable")
"""
    proc = run_isolated(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == ("unreadable" if IS_PYPY else "refused")


@pytest.mark.parametrize("maker", list(CONSTRUCTIBLE))
@pytest.mark.parametrize("other", CLASSES + ["object_subclass"])
def test_constructors_build_only_their_own_class(maker, other):
    if maker == other:
        return
    code = f"""
import gc, malven
class Other:
    pass
other = Other if "{other}" == "object_subclass" else malven.{other}
try:
    obj = malven.{maker}.__new__(other, *{CONSTRUCTIBLE[maker]!r})
except TypeError as exc:
    print(exc)
else:
    raise SystemExit("built " + type(obj).__name__)
gc.collect()
"""
    proc = run_isolated(code)
    assert proc.returncode == 0, proc.stderr
    assert "is not a subtype of" in proc.stdout


def test_subclasses_are_built_with_their_layout():
    class Labelled(malven.Domain):
        pass

    d = Labelled("x", "B")
    d.note = "kept"
    assert (type(d), d.id, d.chain, d.note) == (Labelled, "x", "B", "kept")
    assert malven.Domain.__new__(Labelled, "y").id == "y"


def test_messages_keep_nul_and_what_follows(tmp_path):
    line = "ATOM      1  CA  ALA A   1      1\x00.000   0.000   0.000  1.00 20.00           C\n"
    (tmp_path / "nul.pdb").write_text(line)
    with pytest.raises(ValueError) as info:
        malven.Domain.from_pdb(str(tmp_path / "nul.pdb"))
    assert "1\x00.000   0.000" in str(info.value)


def resident_mb():
    import gc
    gc.collect()
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 1e6


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("what", ["columns", "multiple_align"])
def test_repeated_calls_do_not_grow_memory(what):
    """Rounds of calls after a warm-up: the resident size settles (PyPy's heap grows during
    the first rounds and is not given back, so the later rounds are the measure)."""
    a = malven.Domain.from_pdb(os.path.join(os.path.dirname(__file__), "data/pdb/1sp1.pdb"))
    b = malven.Domain.from_pdb(os.path.join(os.path.dirname(__file__), "data/pdb/1sp2.pdb"))
    r = malven.multiple_align([a, a])
    call = (lambda: r.columns) if what == "columns" else (lambda: malven.multiple_align([a, b, a]))
    rounds = 2000 if what == "columns" else 300
    growth = []
    for _ in range(4):
        start = resident_mb()
        for _ in range(rounds):
            call()
        growth.append(resident_mb() - start)
    # A leak of the size once seen (27 kB a call) would add 50 MB a round.
    assert max(growth[2:]) < 5.0, growth
