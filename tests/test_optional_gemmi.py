"""Without gemmi (optional: PyPI has no PyPy wheel of it) what needs it fails with one message
naming the feature and what to install, and nothing is written; reading, aligning and PDB
copies go on. Its absence is simulated here, so that CPython runs these tests too."""
import subprocess
import sys

import malven
import pytest

import keldascope
from conftest import DATA, helix
from keldascope import structures
from test_cli import cli_env
from test_hostile_inputs import cif_ca, cif_text

PDB = DATA / "pdb"
INSTALL = "pip install gemmi"


class _BrokenGemmi:
    """An import finder under which gemmi is installed but cannot load."""

    def find_spec(self, name, path=None, target=None):
        if name == "gemmi":
            raise ImportError("libgemmi_cpp.so: cannot open shared object file")
        return None


@pytest.fixture(params=["absent", "broken"])
def without_gemmi(request, monkeypatch):
    """gemmi made unimportable; the message's reason for it."""
    if request.param == "absent":
        monkeypatch.setitem(sys.modules, "gemmi", None)
        return "which is not installed"
    monkeypatch.delitem(sys.modules, "gemmi", raising=False)
    monkeypatch.setattr(sys, "meta_path", [_BrokenGemmi()] + sys.meta_path)
    return "which cannot be imported (libgemmi_cpp.so: cannot open shared object file)"


def helix_cif(path, n=40):
    path.write_text(cif_text([cif_ca(k, k, "A", x) for k, (x, _, _) in
                              enumerate(helix(n), start=1)]))
    return path


def test_superposed_mmcif_copy_needs_gemmi(tmp_path, without_gemmi):
    s = structures.read_structure(helix_cif(tmp_path / "h.cif"))
    out = tmp_path / "moved.cif"
    with pytest.raises(keldascope.MissingLibrary) as info:
        structures.write_superposed(s, malven.Transform(), out)
    assert str(info.value) == (f"writing a superposed copy of the mmCIF file {s.path} needs "
                               f"gemmi, {without_gemmi}: {INSTALL}")
    assert isinstance(info.value, ImportError) and not out.exists()


def test_biological_assembly_needs_gemmi(tmp_path, without_gemmi):
    path = str(helix_cif(tmp_path / "h.cif"))
    with pytest.raises(keldascope.MissingLibrary) as info:
        keldascope.read_assembly(path, assembly="1")
    assert str(info.value) == (f"reading biological assembly 1 of {path} needs gemmi, "
                               f"{without_gemmi}: {INSTALL}")


def test_from_gemmi_needs_gemmi(without_gemmi):
    with pytest.raises(keldascope.MissingLibrary) as info:
        keldascope.from_gemmi(object())
    assert str(info.value) == f"from_gemmi needs gemmi, {without_gemmi}: {INSTALL}"


def test_reading_aligning_and_pdb_copies_need_no_gemmi(tmp_path, without_gemmi):
    cif = structures.read_structure(helix_cif(tmp_path / "h.cif"))
    pdb = structures.read_structure(PDB / "1sp1.pdb")
    result = keldascope.align(pdb, cif)
    assert 0 < result.tm_score_a <= 1
    written = structures.write_superposed(pdb, result.transform, tmp_path / "moved.pdb")
    assert len(structures.read_structure(written).domain) == len(pdb.domain)
    assert keldascope.read_assembly(str(PDB / "1tii.pdb")).path == str(PDB / "1tii.pdb")


# The command line with gemmi unimportable, as on PyPy without it.
WITHOUT_GEMMI = ("import sys\n"
                 "sys.modules['gemmi'] = None\n"
                 "from keldascope.cli.main import main\n"
                 "sys.exit(main(sys.argv[1:]))\n")


@pytest.mark.parametrize("args, message", [
    (("align", "a.cif", "b.cif", "-o", "out.cif"),
     "malven align: error: writing a superposed copy of the mmCIF file b.cif needs gemmi, "
     "which is not installed: pip install gemmi"),
    (("align", "a.cif", "b.cif", "--complex", "--assembly", "1", "-o", "out.cif"),
     "malven align: error: reading biological assembly 1 of a.cif needs gemmi, which is not "
     "installed: pip install gemmi"),
])
def test_command_line_says_what_to_install(tmp_path, args, message):
    helix_cif(tmp_path / "a.cif")
    helix_cif(tmp_path / "b.cif", n=36)
    proc = subprocess.run([sys.executable, "-c", WITHOUT_GEMMI, *args], cwd=tmp_path,
                          env=cli_env(), capture_output=True, text=True, timeout=300)
    assert (proc.returncode, proc.stderr, proc.stdout) == (1, message + "\n", "")
    assert not (tmp_path / "out.cif").exists()
