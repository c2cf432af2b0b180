"""The keldascope toolkit's own pieces: structures with their residue labels, the typed
settings and results of its native module (defaults from the native records, checks,
pickling), the rules it takes from the core (output names, the shorter structure leading a
KELDA comparison), and failures that name the file."""
import os
import pickle
import re
import subprocess
import sys

import numpy as np
import pytest

import keldascope
import malven
from conftest import DATA, IS_PYPY, rotation
from keldascope import (CompareSettings, DatabaseSearchSettings, EngineSettings, Method,
                        MsaSettings, SearchSettings, _native, structures)

PDB = DATA / "pdb"


def ca(serial, resseq, icode=" ", chain="A", x=0.0):
    return (f"ATOM  {serial:>5}  CA  ALA {chain}{resseq:>4}{icode}   "
            f"{x:8.3f}{1.0:8.3f}{2.0:8.3f}  1.00 20.00           C\n")


def test_labels_keep_numbers_and_insertion_codes(tmp_path):
    path = tmp_path / "ins.pdb"
    path.write_text(ca(1, -3) + ca(2, 52) + ca(3, 52, "A") + ca(4, 1000, "B") + ca(5, 53))
    s = structures.read_structure(str(path))
    assert s.labels == ("-3", "52", "52A", "1000B", "53")
    assert structures.residue_labels(s.domain) == list(s.labels)
    # Built from arrays, a domain counts its residues from 1.
    d = malven.Domain.from_arrays("x", np.zeros((3, 3)), "AAA")
    assert structures.residue_labels(d) == ["1", "2", "3"]


@pytest.mark.parametrize("make, message", [
    (lambda p: p / "missing.pdb", "cannot open {}: No such file or directory"),
    (lambda p: p, "{}: is a directory, not a structure file"),
    (lambda p: (p / "water.pdb").write_text(
        "HETATM    1  O   HOH A   1       0.000   0.000   0.000\n") and p / "water.pdb",
     "cannot read a structure from {}: no protein chain: no C-alpha atoms (ATOM records "
     "named CA)"),
])
def test_unreadable_structures_name_the_file(tmp_path, make, message):
    path = str(make(tmp_path))
    with pytest.raises(structures.UnreadableStructure) as info:
        structures.read_structure(path)
    assert str(info.value).startswith(message.format(path))
    assert info.value.path == path and isinstance(info.value, ValueError)


def test_structure_files_under_directories(tmp_path):
    (tmp_path / "db" / "sub").mkdir(parents=True)
    for name in ("b.pdb", "a.ENT", "notes.txt", "sub/c.pdb"):
        (tmp_path / "db" / name).write_text(ca(1, 1))
    found = structures.find_structure_files([str(tmp_path / "db"), str(tmp_path / "db/b.pdb")])
    db = str(tmp_path / "db")
    assert found == [(os.path.join(db, "a.ENT"), False), (os.path.join(db, "b.pdb"), False),
                     (os.path.join(db, "sub", "c.pdb"), False), (os.path.join(db, "b.pdb"), True)]
    (tmp_path / "empty").mkdir()
    for bad in ("empty", "absent"):
        with pytest.raises(structures.UnreadableStructure, match=bad):
            structures.find_structure_files([str(tmp_path / bad)])


@pytest.mark.parametrize("kind, fields", [
    (EngineSettings, dict(method=Method.ROBUST, same_fold_tm=0.5, same_fold_sc=0.35,
                          full_scores=True)),
    (SearchSettings, dict(method=Method.ROBUST, prefilter=True, keep=0, max_hits=100,
                          min_score=0.0, threads=0)),
    (CompareSettings, dict(method=Method.ROBUST, threads=0)),
    (MsaSettings, dict(method=Method.ROBUST, reference=0, threads=0)),
])
def test_settings_defaults_fields_and_pickling(kind, fields):
    """The defaults are the native records'; keywords set fields; a copy travels whole."""
    default = kind()
    assert {k: getattr(default, k) for k in fields} == fields
    changed = kind(method=Method.KELDA_QUICK, same_fold_tm=0.6)
    back = pickle.loads(pickle.dumps(changed))
    assert repr(back) == repr(changed) and back.method is Method.KELDA_QUICK
    assert back.same_fold_tm == 0.6 and repr(kind()) == repr(default)
    assert repr(changed).startswith(f"{kind.__name__}(method=<Method.KELDA_QUICK: 3>")


@pytest.mark.parametrize("name, member", [
    ("robust", Method.ROBUST), ("KELDA_QUICK", Method.KELDA_QUICK),
    ("kelda-full", Method.KELDA_FULL), ("kelda", Method.KELDA_SCAN),
])
def test_methods_may_be_named(name, member):
    """A method's name in any case (or the command line's 'kelda', scan mode) is the member."""
    assert EngineSettings(method=name).method is member
    assert SearchSettings(method=name).method is member
    assert keldascope.align(PDB / "1sp1.pdb", PDB / "1sp2.pdb", method=name).method is member


@pytest.mark.parametrize("old, new", [("tm_score_1", "tm_score_a"), ("tm_score_2", "tm_score_b"),
                                      ("structure1", "structure_a"),
                                      ("seq_identity", "identity"), ("significant", "same_fold")])
def test_earlier_names_still_read_with_a_warning(old, new):
    r = keldascope.align(PDB / "1sp1.pdb", PDB / "1sp2.pdb")
    with pytest.warns(DeprecationWarning, match=f"PairAlignment.{old} is now {new}"):
        assert getattr(r, old) == getattr(r, new)


def test_the_package_names_its_functions_whatever_loaded_first(tmp_path):
    """The submodules behind align, search and resolve, loaded before the package's names
    (as the command line loads them), leave those names the functions."""
    code = ("import keldascope.cli.main, keldascope._align, keldascope._search, "
            "keldascope._resolve, keldascope\n"
            "print([type(getattr(keldascope, n)).__name__ for n in ('align', 'search', 'resolve')])")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True, cwd=tmp_path).stdout
    assert out.split() == ["['function',", "'function',", "'function']"]


def test_the_default_keep_is_stated_as_the_prefilter_applies_it():
    """The rule the help texts print (the native side's) is the one the prefilter runs: the
    larger of a floor and a share of the targets, rounded up; none when it keeps them all."""
    rule = re.fullmatch(r"max\((\d+), (\d+)% of the targets\)", _native.DEFAULT_KEEP_RULE)
    least, percent = map(int, rule.groups())
    assert _native.prefilter_keep(SearchSettings(), least) is None
    for n in (least + 1, 100 * least // percent, 100 * least // percent + 1, 12345):
        assert _native.prefilter_keep(SearchSettings(), n) == max(least, -(-n * percent // 100))
    # PyPy's C-API emulation gives the settings' fields no __doc__ (None): there the help
    # texts are checked through the command line's own tests alone.
    if not IS_PYPY:
        assert _native.DEFAULT_KEEP_RULE in SearchSettings.keep.__doc__


def test_a_renamed_setting_still_sets_its_field_with_a_warning():
    """DatabaseSearchSettings.keep is engine_targets' earlier name: it reads and writes that
    field, warns, and stays out of the repr and the pickled state."""
    with pytest.warns(DeprecationWarning, match="DatabaseSearchSettings.keep is now engine_targets"):
        s = DatabaseSearchSettings(keep=7)
    assert s.engine_targets == 7
    with pytest.warns(DeprecationWarning, match="is now engine_targets"):
        assert s.keep == 7
    with pytest.warns(DeprecationWarning):
        s.keep = 9
    assert s.engine_targets == 9
    assert "keep" not in repr(s) and "engine_targets=9" in repr(s)
    assert "keep" not in s.__getstate__()
    assert pickle.loads(pickle.dumps(s)).engine_targets == 9


@pytest.mark.parametrize("call, error, message", [
    (lambda: SearchSettings(3), TypeError, "SearchSettings() takes keyword arguments only"),
    (lambda: SearchSettings(maxhits=3), TypeError,
     "SearchSettings() got an unexpected keyword argument 'maxhits'"),
    (lambda: SearchSettings(max_hits=-1), OverflowError, "can't convert negative int"),
    (lambda: SearchSettings(max_hits="3"), TypeError, "argument 'value'"),
    (lambda: EngineSettings(method="greedy"), ValueError,
     "'greedy' is not a Method: one of robust, kelda_scan, kelda_full, kelda_quick, kelda"),
    (lambda: EngineSettings(method=1), TypeError,
     "argument 'value': 'int' object cannot be cast as 'Method'"),
    (lambda: MsaSettings(threads=2 ** 40), OverflowError, "out of range"),
    (lambda: EngineSettings().__setstate__({"nothing": 1}), ValueError,
     "EngineSettings has no setting 'nothing'"),
    (lambda: keldascope.search("x.pdb", [], EngineSettings()), TypeError,
     "settings must be SearchSettings, not EngineSettings"),
    (lambda: keldascope.compare_all([], CompareSettings(), threads=1), TypeError,
     "give settings or its fields"),
    (lambda: _native.PairResult(), TypeError, "cannot create 'PairResult' instances"),
])
def test_settings_refuse_what_they_cannot_hold(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)


def test_results_pickle_whole():
    a = malven.Domain.from_pdb(str(PDB / "1sp1.pdb"))
    b = malven.Domain.from_pdb(str(PDB / "1sp2.pdb"))
    found = keldascope.search(a, [b, a], method=Method.KELDA_SCAN)
    for hit in found.hits:
        back = pickle.loads(pickle.dumps(hit))
        for name in ("target", "rank", "z_score", "prefilter", "score", "pairs", "alignment",
                     "sc", "tm_score_a", "tm_score_b", "length_a", "same_fold", "status",
                     "method"):
            assert getattr(back, name) == getattr(hit, name), name
        np.testing.assert_array_equal(back.transform.rotation, hit.transform.rotation)
        r = pickle.loads(pickle.dumps(hit.result))
        assert (r.pairs, r.placement) == (hit.pairs, None)
    placed = keldascope.align(a, b, method=Method.KELDA_SCAN).result
    back = pickle.loads(pickle.dumps(placed))
    assert (back.placement.sc, back.placement.swapped) == (placed.placement.sc, False)
    d = _native._restore("Domain", _native.pack_domain(a))
    assert (d.id, d.chain, d.pdb_file, d.sequence, structures.residue_labels(d)) == \
        (a.id, a.chain, a.pdb_file, a.sequence, structures.residue_labels(a))
    with pytest.raises(ValueError, match="not a packed toolkit record"):
        _native._restore("SearchHit", _native.pack_domain(a)[:-3])


def test_a_kelda_comparison_lets_the_shorter_structure_lead():
    """A structure under half the other's length is not placed under it; the comparison then
    lets the shorter one lead, and the pair is aligned."""
    long_ = malven.Domain.from_pdb(str(PDB / "1hpv.pdb"), chain="A")
    xyz = long_.coordinates[:48]
    short = malven.Domain.from_arrays("short", (xyz - xyz.mean(0)) @ rotation([0, 1, 1], 1.0).T,
                                      long_.sequence[:48])
    assert len(short) < len(long_) // 2
    assert malven.pairwise_align(long_, short, scan_mode=True).n_aligned == 0
    c = keldascope.compare_all([long_, short], method=Method.KELDA_SCAN)
    assert c.n_aligned[0, 1] == c.n_aligned[1, 0] > 40
    assert c.sc[0, 1] == malven.scan_database(short, [long_], max_hits=1)[0].score
    assert c.tm[1, 0] > 0.9  # by the short one: it lies whole on the long one


@pytest.mark.parametrize("source, index, prefix, name", [
    ("/x/1abc.pdb", 0, "aligned_", "aligned_1abc.pdb"),
    ("a/b.tar.gz", 1, "p_", "p_b.tar.pdb"),
    ("/", 3, "aligned_", "aligned_domain3.pdb"),
])
def test_output_names_are_write_alls(source, index, prefix, name):
    assert _native.output_file_name(source, index, prefix) == name


def test_native_module_shares_malvens_classes():
    d = malven.Domain("x")
    with pytest.raises(TypeError, match="argument 'domain'"):
        _native.residue_labels(malven.Parameters())
    assert _native.residue_labels(d) == []
