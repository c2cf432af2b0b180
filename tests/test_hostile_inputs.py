"""Inputs made to break the toolkit: coordinates no structure holds, gzip bombs, names too long
for gemmi's flat arrays, missing coordinate columns, odd model numbers, many chains and
looping folders. Each ends in a result or one clear error naming the file and residue, and
never in a hang, a crash or a runaway allocation."""
import gzip
import os
import subprocess
import sys

import numpy as np
import pytest

import malven
from conftest import DATA, IS_PYPY, helix
from keldascope import structures
from test_cli import fails, malven_cmd

PDB = DATA / "pdb"

gemmi = pytest.importorskip("gemmi")


def ca_line(serial, resseq, x, y=0.0, z=0.0, chain="A"):
    return (f"ATOM  {serial:>5}  CA  ALA {chain}{resseq:>4}    "
            f"{x:>8}{y:8.3f}{z:8.3f}  1.00 20.00           C\n")


def helix_pdb(path, n=60, far_at=None, far="  1.0e10"):
    """A helix of n C-alpha atoms as PDB text; residue far_at (1-based) gets x = far."""
    lines = []
    for k, (x, y, z) in enumerate(helix(n), start=1):
        lines.append(ca_line(k, k, far if k == far_at else f"{x:8.3f}", y, z))
    path.write_text("".join(lines))
    return path


# ---- coordinates no structure holds ---------------------------------------------------------

@pytest.mark.parametrize("far", [1e6, 1e10, 1e300, -np.inf])
def test_engine_refuses_coordinates_no_structure_holds(far):
    # Once a search that never ended (one atom at 1e10 A): run apart, so a hang fails.
    code = ("import numpy as np, malven, keldascope, sys\n"
            f"sys.path.insert(0, {str(DATA.parent)!r})\n"
            "from conftest import helix\n"
            "a = helix(60)\n"
            f"b = a.copy(); b[30, 0] = {far!r}\n"
            "da = malven.Domain.from_arrays('a', a, 'A' * 60)\n"
            "db = malven.Domain.from_arrays('far', b, 'A' * 60)\n"
            "try:\n"
            "    keldascope.align(da, db)\n"
            "except ValueError as e:\n"
            "    print(e)\n")
    code = code.replace("-inf", "-np.inf")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120)
    kind = "non-finite coordinate" if np.isinf(far) else "coordinate beyond 100000 A"
    assert out.stdout.strip() == (f"Alignment failed: Invalid parameter: structure B ('far') "
                                  f"has a {kind} at residue 31"), out.stderr


@pytest.mark.parametrize("fmt", ["pdb", "cif"])
def test_reading_refuses_coordinates_no_structure_holds(tmp_path, fmt):
    path = helix_pdb(tmp_path / "far.pdb", far_at=31)
    if fmt == "cif":
        st = gemmi.read_structure(str(path))
        st[0][0][30][0].pos = gemmi.Position(1e10, 0.0, 0.0)
        st.setup_entities()
        path = tmp_path / "far.cif"
        st.make_mmcif_document().write_file(str(path))
    with pytest.raises(structures.UnreadableStructure) as info:
        structures.read_structure(path)
    assert str(info.value) == (f"cannot read a structure from {path}: coordinates of the "
                               f"C-alpha atom of residue 31 in chain 'A' lie beyond 100000 A, "
                               f"farther out than any structure reaches")
    if fmt == "pdb":  # malven's own reader keeps its rules
        assert len(malven.Domain.from_pdb(str(path))) == 60


def test_commands_refuse_or_skip_a_far_file(tmp_path):
    db = tmp_path / "db"
    db.mkdir()
    helix_pdb(db / "far.pdb", far_at=31)
    helix_pdb(db / "near.pdb")
    line = fails("align", db / "near.pdb", db / "far.pdb", cwd=tmp_path)
    assert line.startswith(f"malven align: error: cannot read a structure from {db / 'far.pdb'}")
    # In a folder the file is skipped with a warning and the scan goes on.
    proc = malven_cmd("scan", db / "near.pdb", "db", "--no-prefilter", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "far.pdb" in proc.stderr and "beyond 100000 A" in proc.stderr


# ---- memory of one alignment ------------------------------------------------------------------

def run_python(code, timeout=300):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout)


CHAIN = ("import numpy as np, malven, keldascope\n"
         "def chain(n, seed):\n"
         "    steps = np.random.default_rng(seed).normal(size=(n, 3))\n"
         "    steps *= 3.8 / np.linalg.norm(steps, axis=1)[:, None]\n"
         "    return malven.Domain.from_arrays(f'c{seed}', np.cumsum(steps, axis=0), 'A' * n)\n")


@pytest.mark.skipif(IS_PYPY, reason="PyPy's own heap needs more address space than the limit")
def test_long_chains_align_in_memory_that_grows_by_the_byte():
    # Two chains of 3,000 residues under 200 MB more address space than the interpreter has
    # taken: a byte a residue pair fits, the 43 bytes of whole score matrices did not.
    code = (CHAIN +
            "import resource\n"
            "keldascope.align(chain(40, 1), chain(40, 2))  # every library loaded\n"
            "a, b = chain(3000, 3), chain(3000, 4)\n"
            "size = next(int(line.split()[1]) for line in open('/proc/self/status')\n"
            "            if line.startswith('VmSize:')) * 1024\n"
            "resource.setrlimit(resource.RLIMIT_AS, (size + (200 << 20), resource.RLIM_INFINITY))\n"
            "r = keldascope.align(a, b)\n"
            "print(r.tm_score_1 > 0)\n")
    out = run_python(code)
    assert out.stdout.strip() == "True", out.stderr


def test_an_alignment_larger_than_memory_is_refused_before_it_starts():
    # A million residues each: a terabyte, refused at once with what it needs; the search
    # itself would have run for days.
    code = (CHAIN +
            "d = chain(1_000_000, 5)\n"
            "try:\n"
            "    keldascope.align(d, d)\n"
            "except MemoryError as e:\n"
            "    print(e)\n")
    out = run_python(code, timeout=120)
    assert out.stdout.startswith("aligning chains of 1000000 and 1000000 residues needs about "
                                 "10"), out.stderr
    assert " GB of memory; " in out.stdout and out.stdout.strip().endswith(" GB are available")
