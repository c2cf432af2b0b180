"""The toolkit's multiple alignment as users meet it: the pipeline chosen by the number of
structures, its LDDT against biotite's, the alignment written as FASTA and A2M and read back,
and `malven msa --lddt` scoring a file made elsewhere."""
import json
import math

import numpy as np
import pytest

import keldascope
from conftest import DATA, SHARED, interrupt_child
from keldascope import AlignmentFileError, Method, MsaPipeline, MsaSettings
from keldascope import _native
from test_cli import fails, ok

PDB = DATA / "pdb"
FINGERS = [PDB / "1sp1.pdb", PDB / "1sp2.pdb", PDB / "3znf.pdb"]


@pytest.fixture(scope="module")
def fingers():
    return [keldascope.read_structure(p) for p in FINGERS]


@pytest.mark.parametrize("fields, n, expected", [
    ({}, 3, MsaPipeline.TREE_WISE),
    ({"tree_wise_up_to": 2}, 3, MsaPipeline.SCALABLE),
    ({"tree_wise_up_to": 3}, 3, MsaPipeline.TREE_WISE),
    ({"tree_wise_up_to": 0, "pipeline": MsaPipeline.TREE_WISE}, 50, MsaPipeline.TREE_WISE),
    ({"pipeline": MsaPipeline.SCALABLE}, 2, MsaPipeline.SCALABLE),
    # The scalable pipeline aligns with the robust method only.
    ({"tree_wise_up_to": 0, "method": Method.KELDA_SCAN}, 50, MsaPipeline.TREE_WISE),
])
def test_pipeline_rule(fields, n, expected):
    assert _native.msa_pipeline(n, MsaSettings(**fields)) == expected


def test_default_limit_is_a_few_dozen_at_most():
    limit = MsaSettings().tree_wise_up_to
    assert 2 <= limit <= 40
    assert _native.msa_pipeline(limit + 1, MsaSettings()) == MsaPipeline.SCALABLE


@pytest.mark.parametrize("fields, ran", [
    ({}, MsaPipeline.TREE_WISE),
    ({"tree_wise_up_to": 2}, MsaPipeline.SCALABLE),
])
def test_either_pipeline_reports_lddt(fingers, fields, ran):
    m = keldascope.multiple_align(fingers, threads=2, **fields)
    assert m.pipeline == ran
    assert (m.scheme is None) == (ran == MsaPipeline.TREE_WISE)
    columns = m.column_lddt
    assert columns.shape == (m.n_columns,)
    assert 0.0 < m.lddt <= 1.0
    assert m.lddt == pytest.approx(float(np.nanmean(columns)))
    # Every structure's residues appear once, in order, whichever pipeline ran.
    for k, s in enumerate(fingers):
        residues = [c[k] for c in m.columns if c[k] is not None]
        assert residues == sorted(set(residues)) and len(residues) <= len(s.domain)
    assert len(m.transforms) == 3 and len(m.tm_by_reference) == 3


def aligned_pairs(columns):
    return sum((k := len(c) - c.count(None)) * (k - 1) // 2 for c in columns)


def family_members(name, count):
    table = SHARED / "FAMILIES.tsv"
    if not table.exists():
        pytest.skip("shared data absent")
    rows = {line.split("\t")[0]: line.split("\t") for line in table.read_text().splitlines()[1:]}
    files = [SHARED / f for f in rows[name][4].split()][:count]
    if not all(f.exists() for f in files):
        pytest.skip("shared family files absent")
    return [keldascope.read_structure(f) for f in files]


# Divergent families (the tree-wise joins leave many gaps there) and the bundled fingers.
@pytest.mark.parametrize("family", [None, "PF00047_immunoglobulin_domain", "kringle"])
def test_filled_gaps_add_pairs_at_no_cost_in_lddt(fingers, family):
    members = fingers if family is None else family_members(family, 8)
    filled = keldascope.multiple_align(members, threads=2)
    plain = keldascope.multiple_align(members, threads=2, fill_gaps=False)
    assert filled.lddt >= plain.lddt - 1e-12
    assert aligned_pairs(filled.columns) >= aligned_pairs(plain.columns)
    if family is not None:
        assert aligned_pairs(filled.columns) > aligned_pairs(plain.columns)
        assert filled.n_columns < plain.n_columns
    for k, s in enumerate(members):
        assert [c[k] for c in filled.columns if c[k] is not None] == list(range(len(s.domain)))
    assert filled.core_positions == [p for p, c in enumerate(filled.columns) if None not in c]
    assert filled.n_core == len(filled.core_positions)
    # The KELDA methods' alignment stays the malven module's, whatever the setting says.
    kelda = [keldascope.multiple_align(members[:3], method=Method.KELDA_FULL, fill_gaps=f)
             for f in (True, False)]
    assert kelda[0].columns == kelda[1].columns


# The scalable pipeline's alignment, trimmed to the tree-wise one's LDDT: taken on families
# whose joins leave residues apart that its library pairs (EF hands, TNF receptor repeats),
# never for fewer pairs or a lower LDDT; fill_from_scalable=False leaves it out.
@pytest.mark.parametrize("family, count, gains", [
    ("ef_hand_calmodulin_like", 4, True),
    ("TNFR_cysteine_rich_domain", 8, True),
    ("kringle", 5, False),
])
def test_scalable_columns_are_taken_only_for_more_pairs(family, count, gains):
    members = family_members(family, count)
    both = keldascope.multiple_align(members, threads=2)
    tree = keldascope.multiple_align(members, threads=2, fill_from_scalable=False)
    assert both.lddt >= tree.lddt - 1e-12
    if gains:
        assert aligned_pairs(both.columns) > aligned_pairs(tree.columns)
        assert both.n_core > tree.n_core
    else:
        assert aligned_pairs(both.columns) >= aligned_pairs(tree.columns)
    n = len(members)
    assert tree.result.engine_alignments == n * (n - 1) // 2
    # The scalable library read the tree-wise stage's pairwise alignments: each pair once.
    assert both.result.engine_alignments == tree.result.engine_alignments
    for k, s in enumerate(members):
        assert [c[k] for c in both.columns if c[k] is not None] == list(range(len(s.domain)))
    assert both.core_positions == [p for p, c in enumerate(both.columns) if None not in c]
    assert MsaSettings().fill_from_scalable is True


def test_scalable_forced_with_kelda_fails(fingers):
    with pytest.raises(ValueError, match="robust method only"):
        keldascope.multiple_align(fingers, method=Method.KELDA_SCAN,
                                  pipeline=MsaPipeline.SCALABLE)


def test_one_structure_is_refused(fingers):
    with pytest.raises(ValueError, match="at least two"):
        keldascope.multiple_align(fingers[:1], pipeline=MsaPipeline.SCALABLE)


def biotite_pairs():
    """(file a, chain a, file b, chain b, [(i, j, symmetric lddt)]) per pair of the table."""
    out = []
    for line in (DATA / "lddt_biotite.tsv").read_text().splitlines():
        if line.startswith("#"):
            continue
        cells = line.split()
        if cells[0] == "pair":
            out.append((*cells[1:5], []))
        else:
            out[-1][4].append((int(cells[0]), int(cells[1]), float(cells[3])))
    return out


@pytest.mark.parametrize("fa, ca, fb, cb, pairs", biotite_pairs(),
                         ids=lambda v: v if isinstance(v, str) else "")
def test_lddt_of_a_known_alignment_is_biotites(fa, ca, fb, cb, pairs):
    a = keldascope.read_structure(PDB / fa, chain=ca).domain
    b = keldascope.read_structure(PDB / fb, chain=cb).domain
    rows = [[i for i, _, _ in pairs], [j for _, j, _ in pairs]]
    scored = _native.msa_lddt([a, b], rows, 2)
    expected = np.array([v for *_, v in pairs])
    assert np.allclose(scored.columns, expected, atol=1e-6)
    assert scored.mean == pytest.approx(float(np.mean(expected)), abs=1e-6)
    assert scored.pairs_scored == 1 and not scored.sampled


def columns_as_rows(columns, n):
    return [[-1 if c[k] is None else c[k] for c in columns] for k in range(n)]


@pytest.mark.parametrize("kind", ["fasta", "a2m"])
def test_written_alignment_reads_back(tmp_path, fingers, kind):
    m = keldascope.multiple_align(fingers, threads=2)
    path = tmp_path / f"fingers.{kind}"
    path.write_text(m.to_fasta() if kind == "fasta" else m.to_a2m())
    text = path.read_text()
    assert text.startswith("; LDDT ") and f"{m.lddt:.4f}" in text.splitlines()[0]
    # Records given in another order than the structures still land on them by name.
    scored = keldascope.score_alignment(fingers[::-1], str(path))
    assert scored.a2m == (kind == "a2m")
    if kind == "fasta":
        expected = m.columns
    else:
        n = len(fingers)
        expected = [c for c in m.columns if 2 * sum(r is not None for r in c) >= n]
    assert scored.rows == columns_as_rows(expected, 3)[::-1]
    assert scored.matched == [len(s.domain) for s in fingers[::-1]]
    if kind == "fasta":
        assert scored.lddt.mean == pytest.approx(m.lddt, abs=1e-9)
        assert np.allclose(scored.lddt.columns, m.column_lddt, equal_nan=True)


def pair_fasta(path, a, b, pairs):
    """Another tool's alignment of a and b as FASTA: the pairs in shared columns, every
    other residue against a gap."""
    sa, sb = a.domain.sequence, b.domain.sequence
    ra, rb, i0, j0 = [], [], 0, 0
    for i, j in pairs:
        ra += list(sa[i0:i]) + ["-"] * (j - j0) + [sa[i]]
        rb += ["-"] * (i - i0) + list(sb[j0:j]) + [sb[j]]
        i0, j0 = i + 1, j + 1
    ra += list(sa[i0:]) + ["-"] * (len(sb) - j0)
    rb += ["-"] * (len(sa) - i0) + list(sb[j0:])
    path.write_text(f">first\n{''.join(ra)}\n>second\n{''.join(rb)}\n")


def test_cli_scores_another_tools_alignment(tmp_path):
    fa, ca, fb, cb, pairs = biotite_pairs()[0]
    a = keldascope.read_structure(PDB / fa, chain=ca)
    b = keldascope.read_structure(PDB / fb, chain=cb)
    aln = tmp_path / "tmalign.fasta"
    pair_fasta(aln, a, b, [(i, j) for i, j, _ in pairs])
    expected = float(np.mean([v for *_, v in pairs]))
    out = json.loads(ok("msa", "--lddt", aln, f"{PDB / fa}:{ca}", f"{PDB / fb}:{cb}", "--json",
                        cwd=tmp_path).stdout)
    assert out["lddt"] == pytest.approx(expected, abs=1e-6)
    assert out["format"] == "fasta" and out["pairs_scored"] == 1
    scored = [v for v in out["column_lddt"] if v is not None]
    assert len(scored) == len(pairs)
    text = ok("msa", "--lddt", aln, PDB / fa, PDB / fb, cwd=tmp_path).stdout
    assert f"LDDT             {expected:.4f}" in text
    assert not list(tmp_path.glob("aligned_*"))  # scoring writes nothing


def test_cli_msa_reports_and_writes_lddt(tmp_path):
    out = tmp_path / "out"
    proc = ok("msa", *FINGERS, "-o", out, "--fasta", out / "a.fasta", "--a2m", out / "a.a2m",
              "--pipeline", "scalable", "--json", cwd=tmp_path)
    report = json.loads(proc.stdout)
    assert report["pipeline"] == "scalable"
    assert len(report["column_lddt"]) == report["n_columns"]
    assert 0 < report["lddt"] <= 1
    for name in ("a.fasta", "a.a2m"):
        again = json.loads(ok("msa", "--lddt", out / name, *FINGERS, "--json",
                              cwd=tmp_path).stdout)
        if name == "a.fasta":
            assert again["lddt"] == pytest.approx(report["lddt"], abs=1e-9)
        else:
            assert again["format"] == "a2m" and 0 < again["lddt"] <= 1
    text = ok("msa", *FINGERS, "-o", out, cwd=tmp_path).stdout
    assert "Method           tree-wise" in text and "LDDT             0." in text


@pytest.mark.parametrize("make, args, status, message", [
    (lambda p: p.write_text(">a\nAC\n"), [], 1, "1 records for 3 structures"),
    (lambda p: p.write_text("no records here\n"), [], 1, "before any '>' record"),
    (lambda p: p.write_text(">a\nWWWWWWWWWW\n>b\nWWWWWWWWWW\n>c\nWWWWWWWWWW\n"), [], 1,
     "matches"),
    (None, [], 1, "cannot read"),
    (lambda p: p.write_text(">a\nA\n"), ["-o", "out"], 2, "drop -o"),
])
def test_cli_lddt_errors_are_one_line(tmp_path, make, args, status, message):
    aln = tmp_path / "x.fasta"
    if make:
        make(aln)
    line = fails("msa", "--lddt", aln, *FINGERS, *args, cwd=tmp_path, status=status)
    assert message in line


def test_alignment_rows_of_unequal_width_fail(tmp_path, fingers):
    aln = tmp_path / "x.a2m"
    seqs = [s.domain.sequence for s in fingers]
    aln.write_text("".join(f">{k}\n{s}\n" for k, s in enumerate(seqs)))
    with pytest.raises(AlignmentFileError, match="columns"):
        keldascope.score_alignment(fingers, str(aln))


def test_msa_without_output_dir_is_usage(tmp_path):
    assert "-o/--output-dir" in fails("msa", *FINGERS, cwd=tmp_path, status=2)


def test_column_scores_text():
    from keldascope.alignment_files import column_scores
    assert column_scores([0.0, 0.449, 0.95, 1.0, math.nan]) == "0499-"


@pytest.mark.parametrize("call", [
    "keldascope.multiple_align([d] * 300, threads=2, pipeline=keldascope.MsaPipeline.SCALABLE)",
    "keldascope.compare_sparse([d] * 400, min_score=0.5, threads=2)",
])
def test_ctrl_c_stops_the_long_jobs(tmp_path, call):
    assert interrupt_child(tmp_path, PDB / "1hpv.pdb", call, delay=1.0) < 2.0
