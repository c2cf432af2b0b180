"""Complex alignment from Python and the command line: self-alignment, moved, renamed and
reordered copies, unequal assemblies, the inputs taken, MM-align's figures on haemoglobin, the
report, JSON and the superposed assembly, and one-line refusals of bad input."""
import json
import pathlib
import signal
import subprocess
import sys

import numpy as np
import pytest

import keldascope
from conftest import ROOT, SHARED, gemmi_or_skip, interrupt_child, needs_gemmi, rotation
from test_cli import cli_env

PDB = ROOT / "tests" / "data" / "pdb"
TOXIN = PDB / "1tii.pdb"   # AB5 toxin: five identical B chains D-H, the A chain as A and C
COMPLEXES = SHARED / "complexes" / "pdb"


def malven(*args, cwd):
    return subprocess.run([sys.executable, "-m", "keldascope.cli", *map(str, args)], cwd=cwd,
                          env=cli_env(), capture_output=True, text=True)


def rewritten(src, dst, order, names, motion=None):
    """The ATOM and HETATM records of src's first model, chains in `order`, renamed by
    `names`, moved by motion (R, t)."""
    by_chain = {}
    for line in src.read_text().splitlines():
        if line.startswith("ENDMDL"):
            break
        if line.startswith(("ATOM  ", "HETATM")):
            by_chain.setdefault(line[21], []).append(line)
    out = []
    for c in order:
        for line in by_chain[c]:
            xyz = np.array([float(line[30:38]), float(line[38:46]), float(line[46:54])])
            if motion is not None:
                xyz = motion[0] @ xyz + motion[1]
            out.append(f"{line[:21]}{names.get(c, c)}{line[22:30]}"
                       f"{xyz[0]:8.3f}{xyz[1]:8.3f}{xyz[2]:8.3f}{line[54:]}")
        out.append("TER")
    dst.write_text("\n".join(out + ["END", ""]))
    return dst


def motion(seed):
    rng = np.random.default_rng(seed)
    return rotation(rng.normal(size=3), rng.uniform(0, 2 * np.pi)), rng.uniform(-40, 40, 3)


def test_self_alignment_is_perfect_with_the_identity_mapping():
    r = keldascope.align_complex(TOXIN, TOXIN)
    names = [c for c in "DEFGHAC"]
    assert r.tm_score_a == pytest.approx(1.0, abs=1e-9)
    assert r.tm_score_b == pytest.approx(1.0, abs=1e-9)
    assert r.mapping == list(zip(names, names))
    assert r.n_aligned == r.length_a == sum(len(s.domain) for s in r.assembly_a.chains)
    assert r.alignment_array.shape == (r.length_a, 4)
    assert np.allclose(r.distances, 0.0, atol=1e-6)
    assert r.mapping_array.tolist() == [[k, k] for k in range(7)]
    assert "\n" not in repr(r) and repr(r).startswith("ComplexAlignment(")
    assert all(p.tm_score_a == pytest.approx(1.0) for p in r.chain_pairs)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_moved_renamed_reordered_copies_score_the_same(tmp_path, seed):
    rng = np.random.default_rng(seed)
    order = list(rng.permutation(list("DEFGHAC")))
    names = dict(zip("DEFGHAC", "PQRSTUV"))
    copy = rewritten(TOXIN, tmp_path / "copy.pdb", order, names, motion(seed))
    r = keldascope.align_complex(TOXIN, copy)
    assert r.tm_score_a == pytest.approx(1.0, abs=1e-3)
    assert r.tm_score_b == pytest.approx(1.0, abs=1e-3)
    mapped = dict(r.mapping)
    # The chains of unique sequence go to their own copies, the ring's to the ring.
    assert mapped["A"] == "U" and mapped["C"] == "V"
    assert {mapped[c] for c in "DEFGH"} == set("PQRST")


def test_unequal_assemblies_leave_chains_unmapped(tmp_path):
    part = rewritten(TOXIN, tmp_path / "part.pdb", ["C", "E", "D"], {}, motion(7))
    r = keldascope.align_complex(TOXIN, part)
    share = r.length_b / r.length_a
    assert r.tm_score_b == pytest.approx(1.0, abs=1e-3)
    assert r.tm_score_a == pytest.approx(share, abs=1e-3)
    assert len(r.mapping) == 3 and len(r.unmapped_a) == 4 and r.unmapped_b == []
    back = keldascope.align_complex(part, TOXIN)
    assert back.tm_score_a == pytest.approx(1.0, abs=1e-3)
    assert back.unmapped_b and len(back.unmapped_b) == 4


def test_inputs_lists_chains_and_settings():
    listed = keldascope.align_complex([f"{TOXIN}:A", f"{TOXIN}:C"],
                                      [keldascope.read_structure(TOXIN, "C").domain,
                                       keldascope.read_structure(TOXIN, "A")])
    assert listed.tm_score_a == pytest.approx(1.0, abs=1e-6)
    assert listed.mapping_array.tolist() == [[0, 1], [1, 0]]
    chosen = keldascope.align_complex(TOXIN, TOXIN, chains_a=["A", "C"], chains_b=["C", "A"],
                                      threads=1)
    assert chosen.mapping == [("A", "A"), ("C", "C")]
    one = keldascope.read_assembly(f"{TOXIN}:D")
    assert one.names == ["D"] and "names one chain" in one.notes[0]
    defaults = keldascope.ComplexSettings()
    assert defaults.threads == 0 and defaults.max_chains == keldascope.complex.MAX_CHAINS
    with pytest.raises(TypeError, match="not both"):
        keldascope.align_complex(TOXIN, TOXIN, defaults, threads=1)


@pytest.mark.parametrize("call, message", [
    (lambda: keldascope.read_assembly(TOXIN, ["A", "A"]),
     "the chain list has two chains named 'A'; each chain of an assembly needs its own name"),
    (lambda: keldascope.read_assembly(TOXIN, ["B"]),
     f"{TOXIN} has no protein chain 'B'; it has D, E, F, G, H, A, C"),
    (lambda: keldascope.read_assembly(f"{TOXIN}:A", ["C"]),
     f"{TOXIN}:A names chain 'A' and the chain list names others; give one or the other"),
    (lambda: keldascope.read_assembly([TOXIN], ["A"]),
     "chains names chains of a file; a list of structures is taken whole"),
    (lambda: keldascope.read_assembly([]), "an assembly needs at least one chain"),
])
def test_refusals(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


# MM-align's figures from US-align (version 20260819), run as
# `USalign 1hho.pdb 4hhb.pdb -mm 1 -ter 0` on the shared files: TM-score 0.98126 normalised
# by 1hho (287 residues), 0.49460 by 4hhb (574), 1hho's A and B mapped onto 4hhb's C and D.
@pytest.mark.skipif(not (COMPLEXES / "4hhb.pdb").exists(), reason="shared data absent")
def test_haemoglobin_half_against_the_tetramer_as_mm_align_scores_it():
    r = keldascope.align_complex(COMPLEXES / "4hhb.pdb", COMPLEXES / "1hho.pdb")
    assert r.tm_score_b == pytest.approx(0.98126, abs=2e-3)
    assert r.tm_score_a == pytest.approx(0.49460, abs=2e-3)
    assert sorted(r.mapping) == [("C", "A"), ("D", "B")]


def test_command_report_json_and_superposed_assembly(tmp_path):
    copy = rewritten(TOXIN, tmp_path / "copy.pdb", list("ACDEFGH"), {}, motion(4))
    before = copy.read_bytes()
    out = malven("align", TOXIN, copy, "--complex", "-o", "moved.pdb", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    tm = next(line for line in lines if line.startswith("TM-score"))
    assert tm.startswith("TM-score         1.0000 (normalised by structure 1")
    assert "Mapped chains    7 of 7 (structure 1), 7 of 7 (structure 2)" in lines
    table = lines.index("Chain mapping (TM-scores of each pair under the complex's superposition)")
    assert lines[table + 1].split()[:2] == ["Chain", "1"]
    assert copy.read_bytes() == before
    written = keldascope.align_complex(TOXIN, tmp_path / "moved.pdb")
    assert written.rmsd == pytest.approx(0.0, abs=2e-3)  # moved back onto the reference
    assert keldascope.list_chains(tmp_path / "moved.pdb") == keldascope.list_chains(copy)
    report = json.loads(malven("align", TOXIN, copy, "--complex", "--json",
                               cwd=tmp_path).stdout)
    assert report["complex"] is True and report["tm_score"]["structure1"] == pytest.approx(1.0, abs=1e-3)
    assert [(m["chain1"], m["chain2"]) for m in report["mapping"]][:1] == [("D", "D")]
    assert report["unmapped1"] == [] and len(report["mapping"]) == 7


def _no_protein(path):
    path.write_text("HETATM    1  O   HOH A   1       1.000   2.000   3.000  1.00  0.00           O\nEND\n")
    return path


def _duplicate_chains(path):
    lines = [line for line in TOXIN.read_text().splitlines() if line.startswith("ATOM")]
    a = [line for line in lines if line[21] == "A"]
    c = [line for line in lines if line[21] == "C"]
    path.write_text("\n".join(a + ["TER"] + c + ["TER"] + a[:40] + ["TER", "END", ""]))
    return path


def _many_chains(path):
    names = [f"{k:04d}" for k in range(1200)]  # segment ids name chains of a blank column
    rows = []
    for k, name in enumerate(names):
        for r in range(3):
            rows.append(f"ATOM  {k % 99999:5d}  CA  ALA  {r + 1:4d}    "
                        f"{k * 4.0:8.3f}{r * 3.8:8.3f}{0.0:8.3f}  1.00  0.00      {name}")
    path.write_text("\n".join(rows + ["END", ""]))
    return path


@pytest.mark.parametrize("make, extra, message", [
    (_no_protein, (), "no protein chain"),
    (_duplicate_chains, (), "two chains named 'A'"),
    (_many_chains, (), "chains; complex alignment takes at most 1000"),
    pytest.param(None, ("--assembly", "1"), "defines no biological assembly", marks=needs_gemmi),
    (None, ("--chain1", "A"), "--complex takes --chains1/--chains2"),
])
def test_command_refusals_are_one_line(tmp_path, make, extra, message):
    bad = make(tmp_path / "bad.pdb") if make else TOXIN
    out = malven("align", bad, TOXIN, "--complex", *extra, "-o", "out.pdb", cwd=tmp_path)
    assert out.returncode != 0
    assert out.stdout == ""
    err = out.stderr.strip().splitlines()
    assert len(err) == 1 and message in err[0], out.stderr
    assert not (tmp_path / "out.pdb").exists()


def test_command_says_when_it_aligns_one_chain(tmp_path):
    out = malven("align", f"{TOXIN}:A", TOXIN, "--complex", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stderr.strip() == f"malven align: {TOXIN}:A names one chain: chain A alone is aligned"
    assert "Mapped chains    1 of 1 (structure 1), 1 of 7 (structure 2)" in out.stdout
    stray = malven("align", TOXIN, TOXIN, "--chains2", "A", cwd=tmp_path)
    assert stray.returncode != 0 and "--chains2 belongs to --complex" in stray.stderr


def test_command_reads_an_mmcif_assembly(tmp_path):
    gemmi = gemmi_or_skip()
    st = gemmi.read_structure(str(PDB / "5eep.pdb"))  # REMARK 350: assembly 1, chain A
    st.setup_entities()
    st.make_mmcif_document().write_file(str(tmp_path / "5eep.cif"))
    out = malven("align", "5eep.cif", "5eep.cif", "--complex", "--assembly", "1", "--json",
                 cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    report = json.loads(out.stdout)
    assert report["structure1"]["assembly"] == "1"
    assert report["tm_score"]["structure2"] == pytest.approx(1.0, abs=1e-6)
    missing = malven("align", "5eep.cif", "5eep.cif", "--complex", "--assembly", "3",
                     cwd=tmp_path)
    assert missing.returncode != 0
    assert missing.stderr.strip().endswith("5eep.cif has no assembly 3; it defines 1")


@pytest.mark.skipif(not hasattr(signal, "SIGINT"), reason="needs signals")
@pytest.mark.parametrize("call", [
    f"for _ in range(100000): keldascope.align_complex({str(TOXIN)!r}, [d, d])",
    # A search's many targets at once, on every thread, in one native call.
    "keldascope._native.align_complexes([d.domain], [[d.domain, d.domain]] * 5000, [], "
    "keldascope.ComplexSettings())",
], ids=["one pair after another", "many targets at once"])
def test_ctrl_c_stops_complex_alignments(tmp_path, call):
    """Minutes of work, most of it native: the child ends well inside the minute
    interrupt_child waits."""
    interrupt_child(tmp_path, TOXIN, call)


@pytest.mark.parametrize("seeds, message", [
    ([[((0, 2), [(0, 0), (1, 1), (2, 2)])]], "names chain pair (0, 2) of assemblies of 1 and 2"),
    ([[((0, 1), [(0, 0), (1, 1), (5000, 2)])]], "pairs residue 5000 with 2"),
    ([[], []], "2 seed lists for 1 targets"),
])
def test_seeds_beyond_the_chains_are_refused(seeds, message):
    d = keldascope.read_structure(TOXIN).domain
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        keldascope._native.align_complexes([d], [[d, d]], seeds, keldascope.ComplexSettings())


def test_many_targets_at_once_score_as_each_alone():
    chains = [keldascope.read_structure(TOXIN, c).domain for c in "DEFAC"]
    targets = [chains[:2], chains[3:], chains[1:4], [chains[0]]]
    settings = keldascope.ComplexSettings()
    together = keldascope._native.align_complexes(chains, targets, [], settings)
    for target, r in zip(targets, together):
        alone = keldascope._native.align_complex(chains, target, settings)
        assert (r.tm_score_a, r.tm_score_b, r.mapping) == \
            (alone.tm_score_a, alone.tm_score_b, alone.mapping)


@pytest.fixture(scope="module")
def assemblies_db(tmp_path_factory):
    folder = tmp_path_factory.mktemp("complex-db")
    return keldascope.Database.create(folder / "db", [PDB / "1tii.pdb", PDB / "1hpv.pdb",
                                                      PDB / "5eep.pdb", PDB / "1ni7.pdb"])


def test_database_search_of_assemblies(tmp_path, assemblies_db):
    copy = rewritten(TOXIN, tmp_path / "copy.pdb", list("CAHGFED"),
                     dict(zip("DEFGHAC", "PQRSTUV")), motion(9))
    [found] = assemblies_db.search([copy], complex=True, threads=1)
    assert found.n_assemblies == 4
    best = found.hits[0]
    assert best.rank == 1 and best.path == str(PDB / "1tii.pdb")
    assert best.score == pytest.approx(1.0, abs=1e-3)
    assert dict(best.mapping)["U"] == "A" and dict(best.mapping)["V"] == "C"
    assert [h.score for h in found.hits] == sorted((h.score for h in found.hits), reverse=True)
    # The dimer shares at most one chain's worth with the toxin: it ranks by that.
    dimer = next(h for h in found.hits if h.path.endswith("1hpv.pdb"))
    assert dimer.score < 0.3 and len(dimer.entries) == 2
    assert "\n" not in repr(found) and "\n" not in repr(best)


def test_command_search_complex_table(tmp_path, assemblies_db):
    out = malven("search", assemblies_db.path, PDB / "1hpv.pdb", "--complex", "--tsv", "hits.tsv",
                 "--max-hits", "2", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    rows = [line.split("\t") for line in (tmp_path / "hits.tsv").read_text().splitlines()]
    assert rows[0] == ["query", "target", "rank", "score", "tm_query", "tm_target", "rmsd",
                       "aligned", "mapping", "u", "t"]
    assert len(rows) == 3 and rows[1][1] == str(PDB / "1hpv.pdb")
    assert float(rows[1][4]) == pytest.approx(1.0) and rows[1][8] == "A:A,B:B"
    assert len(rows[1][9].split(",")) == 9 and len(rows[1][10].split(",")) == 3
    refused = malven("search", assemblies_db.path, PDB / "1hpv.pdb", "--complex", "--exhaustive",
                     cwd=tmp_path)
    assert refused.returncode != 0 and len(refused.stderr.strip().splitlines()) == 1


def test_complex_outputs_escape_names_and_round_numbers(tmp_path):
    # A tab in a file name must not split a TSV cell or a report line, and the TSV's numbers
    # are rounded as every other TSV's.
    odd = tmp_path / "toxin\tcopy.pdb"
    odd.write_bytes(TOXIN.read_bytes())
    db = keldascope.Database.create(tmp_path / "odd.db", [odd, PDB / "1hpv.pdb"])
    report = malven("align", TOXIN, odd, "--complex", cwd=tmp_path)
    assert report.returncode == 0, report.stderr
    assert "toxin\\tcopy.pdb" in report.stdout and "\t" not in report.stdout
    out = malven("search", db.path, odd, "--complex", "--tsv", "hits.tsv", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    rows = [line.split("\t") for line in (tmp_path / "hits.tsv").read_text().splitlines()]
    assert {len(r) for r in rows} == {11}
    assert rows[1][0].endswith("toxin\\tcopy.pdb") and rows[1][1].endswith("toxin\\tcopy.pdb")
    for cell in (rows[1][3], rows[1][4], rows[1][5]):
        assert len(cell.split(".")[1]) <= 4
    assert all(len(v.split(".")[1]) <= 6 for v in rows[1][9].split(","))


def test_cluster_assemblies_by_complex_tm(tmp_path):
    dimer = PDB / "1hpv.pdb"
    toxin_copy = rewritten(TOXIN, tmp_path / "toxin_copy.pdb", list("ACDEFGH"), {}, motion(2))
    dimer_copy = rewritten(dimer, tmp_path / "dimer_copy.pdb", ["B", "A"], {"A": "X"}, motion(3))
    sources = [dimer, toxin_copy, PDB / "5eep.pdb", TOXIN, dimer_copy]
    placed = []
    result = keldascope.cluster_complexes(sources, progress=lambda done, n: placed.append(done))
    groups = {c.representative: [m for m, _ in c.members] for c in result.clusters}
    # The larger files lead, ties by name: which of a copy and its original
    # leads depends on where the checkout and the scratch folder live.
    pair = lambda *names: {min(map(str, names)): sorted(map(str, names))}
    assert groups == {**pair(toxin_copy, TOXIN), **pair(dimer_copy, dimer),
                      **pair(PDB / "5eep.pdb")}
    assert all(tm == pytest.approx(1.0, abs=1e-3) for c in result.clusters for _, tm in c.members)
    # The toxin is never aligned with the smaller files: their lengths alone keep it apart.
    assert result.aligned < 4 + 3 + 2 + 1 and placed[-1] == 5
    assert sorted(m for _, m in result.pairs()) == sorted(map(str, sources))
    out = malven("cluster", *sources, "--complex", "--tsv", "clusters.tsv", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "clusters\t3" in out.stdout.splitlines()
    rows = [line.split("\t") for line in (tmp_path / "clusters.tsv").read_text().splitlines()]
    assert sorted(r[1] for r in rows) == sorted(map(str, sources))
    with pytest.raises(ValueError, match=r"tm must lie in \(0, 1\]"):
        keldascope.cluster_complexes(sources, tm=0.0)


@pytest.fixture(scope="module")
def shared_complexes_db(tmp_path_factory):
    if not (COMPLEXES / "4hhb.pdb").exists():
        pytest.skip("shared data absent")
    folder = tmp_path_factory.mktemp("complexes-db")
    return keldascope.Database.create(folder / "db", [COMPLEXES])


@pytest.mark.parametrize("query, group", [
    ("4hhb.pdb", ["4hhb", "2hhb", "1bz0", "1gzx", "1hho"]),
    ("1tim.pdb", ["1tim", "8tim", "7tim"]),
    ("tnf_1tnf.pdb", ["1a8m", "tnf_1tnf", "tnf_3wd5", "baff_1kxg", "baff_5y9j"]),
    ("fab_4g5z.pdb", ["fab_1l7i", "fab_4nyl", "fab_5wuv", "fab_5y9k", "fab_4g6k", "fab_4g5z",
                      "fab_1fgn", "fab_2xa8"]),
])
def test_search_estimate_keeps_every_assembly_of_the_top(shared_complexes_db, query, group):
    """The assemblies left unaligned by the chain hits' estimate: the few aligned hold the
    same top as aligning every assembly of the database, scored as align_complex scores each
    pair (the chain hits' alignments seed it in place of the engine's)."""
    db, n = shared_complexes_db, len(group)
    few = keldascope.search_complex(db, COMPLEXES / query, candidates=n + 1)
    every = keldascope.search_complex(db, COMPLEXES / query, candidates=10 ** 6,
                                      chain_hits=len(db))
    assert few.n_aligned == n + 1 and every.n_aligned > 2 * few.n_aligned
    top = [(h.path, round(h.score, 4)) for h in every.hits[:n]]
    assert [(h.path, round(h.score, 4)) for h in few.hits[:n]] == top
    assert {pathlib.Path(p).stem for p, _ in top} == set(group)
    for h in few.hits[:n]:
        alone = keldascope.align_complex(COMPLEXES / query, h.path)
        assert h.score == pytest.approx(min(alone.tm_score_a, alone.tm_score_b), abs=1e-3)
