"""The `malven` command run as users run it, in a subprocess: output formats, JSON, exit
codes, one-line errors, the progress bar and the demo, on bundled and synthetic files."""
import gzip
import json
import math
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

import malven
from conftest import ROOT, gemmi_or_skip, rotation

BUNDLED = ROOT / "keldascope" / "cli" / "data"
PDB = ROOT / "tests" / "data" / "pdb"
try:
    import matplotlib  # noqa: F401
    HAS_MPL = True
except ImportError:
    HAS_MPL = False


def cli_env():
    # The installed command, whatever the caller's path settings.
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env.pop("COLUMNS", None)
    return env


def malven_cmd(*args, cwd, stderr=subprocess.PIPE):
    return subprocess.run([sys.executable, "-m", "keldascope.cli", *map(str, args)], cwd=cwd,
                          env=cli_env(), stdout=subprocess.PIPE, stderr=stderr,
                          universal_newlines=True, timeout=600)


def ok(*args, cwd):
    proc = malven_cmd(*args, cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    return proc


def fails(*args, cwd, status=1):
    """Run a failing command: the status, one line on stderr, no traceback."""
    proc = malven_cmd(*args, cwd=cwd)
    assert proc.returncode == status, (proc.stdout, proc.stderr)
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and "Traceback" not in proc.stderr, proc.stderr
    return lines[0]


def moved_copy(src, dst, seed, keep_residues=None):
    """Write src moved by a seeded random rigid motion (all atoms), optionally keeping only
    the atom records of its first keep_residues residues. Returns the motion's inverse."""
    rng = np.random.default_rng(seed)
    motion = malven.Transform.from_matrix(rotation(rng.normal(size=3), rng.uniform(0.5, 2.5)),
                                          rng.uniform(-40, 40, size=3))
    malven.transform_pdb_file(str(src), str(dst), motion)
    if keep_residues is not None:
        kept, seen = [], []
        for line in pathlib.Path(dst).read_text().splitlines(keepends=True):
            if line.startswith(("ATOM", "HETATM")):
                if line[22:27] not in seen:
                    seen.append(line[22:27])
                if len(seen) > keep_residues:
                    continue
            kept.append(line)
        pathlib.Path(dst).write_text("".join(kept))
    return motion.inverse()


def ca_file(path, coords, sequence="A"):
    names = {"A": "ALA", "G": "GLY", "K": "LYS"}
    lines = [f"ATOM  {k + 1:>5}  CA  {names[sequence[k % len(sequence)]]} A{k + 1:>4}    "
             f"{x:8.3f}{y:8.3f}{z:8.3f}  1.00 20.00           C\n"
             for k, (x, y, z) in enumerate(coords)]
    pathlib.Path(path).write_text("".join(lines) + "END\n")


def labels_of(path, chain=None):
    """Residue numbers of the C-alpha atoms the reader takes, read independently of the tool."""
    d = malven.Domain.from_pdb(str(path), chain)
    out, last = [], None
    for line in pathlib.Path(path).read_text().splitlines():
        if line.startswith("ENDMDL") and out:
            break
        if line.startswith("ATOM") and line[12:16] == " CA " and line[21] == d.chain \
                and line[16] in " A1LO" and (line[22:27] != last):
            last = line[22:27]
            out.append(line[22:26].strip() + line[26].strip())
    assert len(out) == len(d)
    return out


def parse_blocks(text, names):
    """Read wrapped alignment text back: per name the concatenated row and the (first, last)
    numbers of each block row; the marker lines concatenated."""
    rows = {n: "" for n in names}
    ends = {n: [] for n in names}
    markers = ""
    lines = text.splitlines()
    k = 0
    while k < len(lines):
        if lines[k].split(" ", 1)[0] != names[0]:
            k += 1
            continue
        width = None
        for name in names:
            parts = lines[k].split()
            assert parts[0] == name, lines[k]
            if len(parts) == 4:
                _, first, seq, last = parts
            else:  # a row with gaps only carries no numbers
                _, seq = parts
                first = last = None
            assert len(seq) <= 60
            width = len(seq) if width is None else width
            assert len(seq) == width
            rows[name] += seq
            ends[name].append((first, last, seq))
            k += 1
        mark_line = lines[k] if k < len(lines) else ""
        # The marker line starts where the sequences start.
        indent = re.match(r"^\S+ +(?:\S+ )?", lines[k - 1]).end()
        markers += mark_line[indent:].ljust(width)
        k += 1
    return rows, ends, markers


def check_row_numbers(ends, sequence, labels):
    """Every block row starts and ends with the residue numbers of its first and last
    residue, and the rows together hold the whole chain in order."""
    pos = 0
    for first, last, seq in ends:
        n = len(seq.replace("-", ""))
        if n:
            assert (first, last) == (labels[pos], labels[pos + n - 1])
        assert seq.replace("-", "") == sequence[pos:pos + n]
        pos += n
    assert pos == len(sequence)


# ---- the command line itself ---------------------------------------------------------------

def test_version(tmp_path):
    assert ok("--version", cwd=tmp_path).stdout.strip() == f"malven {malven.__version__}"


@pytest.mark.parametrize("command", [[], ["align"], ["msa"], ["scan"], ["demo"]])
def test_help(tmp_path, command):
    out = ok(*command, "--help", cwd=tmp_path).stdout
    assert out.startswith("usage: malven")


@pytest.mark.parametrize(
    "args, status, message",
    [
        ([], 2, "malven: error: a command is needed"),
        (["frobnicate"], 2, "malven: error: argument COMMAND: invalid choice: 'frobnicate'"),
        (["align", "{t}/1sp1.pdb"], 2, "malven align: error: the following arguments are required: B"),
        (["align", "{t}/1sp1.pdb", "{t}/1sp2.pdb", "--chain1", "A B"], 2,
         "malven align: error: argument --chain1: a chain is a name without blanks, not 'A B'"),
        (["align", "{t}/1sp1.pdb:A", "{t}/1sp2.pdb", "--chain1", "B"], 2,
         "malven align: error: {t}/1sp1.pdb:A names chain 'A' but --chain1 says 'B'"),
        (["align", "{t}/1sp1.pdb", "{t}/1sp2.pdb", "-o", "nowhere/out.pdb"], 2,
         "malven align: error: argument -o/--output: directory 'nowhere' does not exist"),
        (["align", "missing.pdb", "{t}/1sp2.pdb"], 1,
         "malven align: error: cannot open missing.pdb: No such file or directory"),
        (["align", "{t}/1sp1.pdb", "{d}"], 1,
         "malven align: error: {d}: is a directory, not a structure file"),
        (["align", "{t}/1sp1.pdb", "garbage.pdb"], 1,
         "malven align: error: cannot read a structure from garbage.pdb: no protein chain: "
         "no C-alpha atoms (ATOM records named CA)"),
        (["align", "{t}/1sp1.pdb", "{t}/1sp2.pdb", "--chain2", "Z"], 1,
         "malven align: error: cannot read a structure from {t}/1sp2.pdb: no chain 'Z'; "
         "the chains are A"),
        (["align", "{t}/1sp1.pdb", "{t}/1tii.pdb:Z"], 1,
         "malven align: error: cannot read a structure from {t}/1tii.pdb: no chain 'Z'; "
         "the chains are D, E, F, G, H, A, C"),
        (["align", "{t}/1sp1.pdb", "missing.pdb:A"], 1,
         "malven align: error: cannot open missing.pdb: No such file or directory"),
        (["align", "{t}/1sp1.pdb", "{t}/1sp2.pdb", "--model", "0"], 1,
         "malven align: error: cannot read a structure from {t}/1sp1.pdb: no model 0"),
        (["align", "{t}/1sp1.pdb", "{t}/1sp2.pdb", "--model", "one"], 2,
         "malven align: error: argument --model: invalid int value: 'one'"),
        (["align", "{t}/1sp1.pdb", "{t}/1sp2.pdb", "--model", "2"], 1,
         "malven align: error: cannot read a structure from {t}/1sp1.pdb: no model 2"),
        (["align", "{t}/1sp1.pdb", "{t}/1sp2.pdb", "--min-plddt", "inf"], 2,
         "malven align: error: argument --min-plddt: must be a finite number, not inf"),
        (["align", "{t}/1sp1.pdb", "{t}/1sp2.pdb", "-o", "out.cif"], 1,
         "malven align: error: cannot write out.cif: {t}/1sp2.pdb is PDB, written in its own "
         "format: name the output .pdb or .pdb.gz, not out.cif"),
        (["chains", "garbage.pdb"], 1,
         "malven chains: error: cannot read a structure from garbage.pdb: no protein chain"),
        (["msa", "{t}/1sp1.pdb", "-o", "out"], 2, "malven msa: error: msa needs at least two structure files"),
        (["msa", "{t}/1sp1.pdb", "{t}/1sp2.pdb", "-o", "out", "--reference", "3"], 2,
         "malven msa: error: argument --reference: 3 is not between 1 and 2, the number of files"),
        (["msa", "{t}/1sp1.pdb", "{t}/1sp2.pdb"], 2,
         "malven msa: error: the following arguments are required: -o/--output-dir"),
        (["msa", "{t}/1sp1.pdb", "{t}/1sp2.pdb", "-o", "garbage.pdb"], 2,
         "malven msa: error: argument -o/--output-dir: 'garbage.pdb' exists and is not a directory"),
        (["msa", "{t}/1sp1.pdb", "missing.pdb", "-o", "out"], 1,
         "malven msa: error: cannot open missing.pdb: No such file or directory"),
        (["scan", "{t}/1sp1.pdb", "{d}", "--max-hits", "many"], 2,
         "malven scan: error: argument --max-hits: invalid int value: 'many'"),
        (["scan", "{t}/1sp1.pdb", "{d}", "--max-hits", "-1"], 2,
         "malven scan: error: argument --max-hits: must not be negative, got -1"),
        (["scan", "{t}/1sp1.pdb", "{d}", "--cutoff", "nan"], 2,
         "malven scan: error: argument --cutoff: must be a finite number, not nan"),
        (["scan", "{t}/1sp1.pdb", "{d}", "--mode", "fast"], 2,
         "malven scan: error: argument --mode: invalid choice: 'fast'"),
        (["scan", "missing.pdb", "{d}"], 1, "malven scan: error: cannot open missing.pdb: No such file or directory"),
        (["scan", "{t}/1sp1.pdb", "empty"], 1,
         "malven scan: error: no structure files (.pdb, .ent, .cif, .mmcif, or these gzipped) "
         "in directory empty"),
        (["scan", "{t}/1sp1.pdb", "{d}", "--mode", "quick", "--method", "robust"], 2,
         "malven scan: error: argument --mode: only the kelda method has modes"),
        (["scan", "{t}/1sp1.pdb", "{d}", "--keep", "0"], 2,
         "malven scan: error: argument --keep: must be at least 1, got 0"),
        (["scan", "{t}/1sp1.pdb", "{d}", "--threads", "0"], 2,
         "malven scan: error: argument --threads: must be at least 1, got 0"),
        (["allvsall", "{d}", "--newick", "t.txt", "--tsv", "t.txt"], 2,
         "malven allvsall: error: the --tsv, --newick and --plot files must differ"),
        (["allvsall", "{d}", "--mode", "scan", "--method", "robust"], 2,
         "malven allvsall: error: argument --mode: only the kelda method has modes"),
        (["allvsall", "garbage.pdb"], 1,
         "malven allvsall: error: cannot read a structure from garbage.pdb: no protein chain"),
        (["demo", "-o", "garbage.pdb"], 2,
         "malven demo: error: argument -o/--output-dir: 'garbage.pdb' already exists; "
         "the demo writes into a new folder"),
    ],
)
def test_errors_are_one_line(tmp_path, args, status, message):
    (tmp_path / "garbage.pdb").write_text("HEADER    not a structure\n")
    (tmp_path / "empty").mkdir()
    line = fails(*[a.format(d=BUNDLED, t=PDB) for a in args], cwd=tmp_path, status=status)
    assert line.startswith(message.format(d=BUNDLED, t=PDB))


@pytest.mark.skipif(HAS_MPL, reason="matplotlib is installed")
def test_plot_without_matplotlib(tmp_path):
    line = fails("align", PDB / "1sp1.pdb", PDB / "1sp2.pdb", "--plot", "d.png", cwd=tmp_path)
    assert line == ("malven align: error: --plot needs matplotlib, which is not installed: "
                    "pip install matplotlib")
    assert not (tmp_path / "d.png").exists()


def test_console_script(tmp_path):
    """The installed command (pip install . puts it beside the interpreter)."""
    script = shutil.which("malven", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("console script not installed in this environment")
    proc = subprocess.run([script, "--version"], stdout=subprocess.PIPE, universal_newlines=True)
    assert (proc.returncode, proc.stdout.strip()) == (0, f"malven {malven.__version__}")


# ---- align ---------------------------------------------------------------------------------

def align_json(tmp_path, *args):
    return json.loads(ok("align", *args, "--json", cwd=tmp_path).stdout)


@pytest.mark.parametrize("method", ["robust", "kelda"])
def test_align_text_matches_json_and_files(tmp_path, method):
    a, b = BUNDLED / "1ni7.pdb", BUNDLED / "5eep.pdb"
    text = ok("align", a, b, "-o", "moved.pdb", "--method", method, cwd=tmp_path).stdout
    data = align_json(tmp_path, a, b, "--method", method)
    assert data["method"] == method and data["mode"] == ("robust" if method == "robust" else "scan")
    assert data["n_aligned"] == len(data["pairs"]) > 20
    tm = re.search(r"^TM-score\s+(\S+) \(normalised by structure 1\), (\S+) \(by structure 2\)$",
                   text, re.M)
    assert (float(tm[1]), float(tm[2])) == pytest.approx(
        (data["tm_score"]["structure1"], data["tm_score"]["structure2"]), abs=1e-4)
    assert data["tm_score"]["structure1"] > (0.8 if method == "robust" else 0.6)
    head = dict(re.findall(r"^(Score \(Sc\)|RMSD|Aligned pairs|Identity)\s+(\S+)", text, re.M))
    assert float(head["Score (Sc)"]) == pytest.approx(data["score"], abs=1e-4)
    assert float(head["RMSD"]) == pytest.approx(data["rmsd"], abs=1e-3)
    assert int(head["Aligned pairs"]) == data["n_aligned"]
    assert float(head["Identity"].rstrip("%")) == pytest.approx(100 * data["seq_identity"], abs=0.05)
    assert "Structure 1      %s  chain A  149 residues  (reference)" % a in text
    assert "Structure 2      %s  chain A  140 residues  (moved onto 1)" % b in text

    d1, d2 = malven.Domain.from_pdb(str(a)), malven.Domain.from_pdb(str(b))
    rows, ends, markers = parse_blocks(text, ["1ni7", "5eep"])
    check_row_numbers(ends["1ni7"], d1.sequence, labels_of(a))
    check_row_numbers(ends["5eep"], d2.sequence, labels_of(b))
    assert rows["1ni7"] == data["alignment"]["sequence1"]
    assert rows["5eep"] == data["alignment"]["sequence2"]
    assert markers.rstrip() == data["alignment"]["markers"].rstrip()
    if method == "robust":  # the pairs reported are the aligned ones within 5 A
        assert markers.count(":") == data["n_aligned"]
        assert all(p["distance"] < 5.0 for p in data["pairs"])
        assert data["significant"] is True
    else:
        assert sum(markers.count(m) for m in ":.") == data["n_aligned"]

    # The written file is the mobile structure moved by the reported transform, and the
    # reported distances and RMSD are those of the equivalent pairs in it.
    moved = malven.Domain.from_pdb(str(tmp_path / "moved.pdb")).coordinates
    t = malven.Transform.from_matrix(np.array(data["transform"]["rotation"]),
                                     np.array(data["transform"]["translation"]))
    np.testing.assert_allclose(moved, t.apply(d2.coordinates), atol=1e-3)
    pairs = np.array([(p["i"], p["j"]) for p in data["pairs"]])
    dist = np.linalg.norm(d1.coordinates[pairs[:, 0]] - moved[pairs[:, 1]], axis=1)
    np.testing.assert_allclose(dist, [p["distance"] for p in data["pairs"]], atol=2e-3)
    assert math.sqrt(np.mean(dist ** 2)) == pytest.approx(data["rmsd"], abs=2e-3)
    if method == "kelda":
        for p, mark in zip(data["pairs"], (m for m in data["alignment"]["markers"] if m != " ")):
            assert mark == (":" if p["distance"] < 5.0 else ".")
    for p in data["pairs"]:
        assert (p["aa1"], p["aa2"]) == (d1.sequence[p["i"]], d2.sequence[p["j"]])


@pytest.mark.parametrize("keep, mode", [(None, "robust"), (50, "robust"), (None, "scan"),
                                        (50, "scan"), (None, "direct")])
def test_align_recovers_rigid_motion(tmp_path, keep, mode):
    """A moved copy (whole, or its first 50 residues, shorter than half the reference, which
    the KELDA placement handles by swapping roles) aligns residue by residue at RMSD 0, and
    -o puts it back where it came from."""
    src = BUNDLED / "5eep.pdb"
    if mode == "direct":
        shutil.copy(src, tmp_path / "copy.pdb")
    else:
        moved_copy(src, tmp_path / "copy.pdb", seed=7, keep_residues=keep)
    options = {"robust": [], "scan": ["--method", "kelda"], "direct": ["--direct"]}[mode]
    data = align_json(tmp_path, src, "copy.pdb", "-o", "back.pdb", *options)
    n = keep or 140
    assert data["mode"] == mode
    assert [(p["i"], p["j"]) for p in data["pairs"]] == [(k, k) for k in range(n)]
    assert data["rmsd"] == pytest.approx(0.0, abs=2e-3)
    if mode == "scan":
        assert data["placement"]["swapped"] is (keep is not None)
    if mode == "robust":
        assert data["tm_score"]["structure2"] == pytest.approx(1.0, abs=1e-6)
    back = malven.Domain.from_pdb(str(tmp_path / "back.pdb")).coordinates
    np.testing.assert_allclose(back, malven.Domain.from_pdb(str(src)).coordinates[:n], atol=2e-3)


@pytest.mark.parametrize("method", ["robust", "kelda"])
def test_align_too_short_reports_no_alignment_and_fails(tmp_path, method):
    ca_file(tmp_path / "two.pdb", [(0.0, 0.0, 0.0), (3.8, 0.0, 0.0)])
    for extra in ([], ["--json"]):
        proc = malven_cmd("align", PDB / "1sp1.pdb", "two.pdb", "--method", method, *extra,
                          cwd=tmp_path)
        assert proc.returncode == 1
        assert proc.stderr == (f"malven align: error: no alignment of two.pdb onto "
                               f"{PDB / '1sp1.pdb'} was found (fewer than 3 aligned residue "
                               f"pairs)\n")
        if extra:
            data = json.loads(proc.stdout)
            assert (data["rmsd"], data["n_aligned"], data["pairs"]) == (None, 0, [])
        else:
            assert re.search(r"^RMSD\s+-$", proc.stdout, re.M)
            assert "No equivalent residues found." in proc.stdout


def test_align_warns_when_placement_fails(tmp_path):
    """Two unrelated random chains: no start aligns, which the user is told on stderr."""
    rng = np.random.default_rng(5)
    for name in ("p", "q"):
        steps = rng.normal(size=(40, 3))
        ca_file(tmp_path / f"{name}.pdb", np.cumsum(3.8 * steps / np.linalg.norm(steps, axis=1)[:, None], axis=0))
    proc = malven_cmd("align", "p.pdb", "q.pdb", "--method", "kelda", cwd=tmp_path)
    assert proc.returncode == 1
    assert proc.stderr == ("malven align: warning: scan-mode placement found no start that aligns; "
                           "the refinement ran from the input coordinates\n"
                           "malven align: error: no alignment of q.pdb onto p.pdb was found "
                           "(fewer than 3 aligned residue pairs); the KELDA method misses "
                           "distant pairs, the default method (--method robust) aligns them\n")


@pytest.mark.skipif(not HAS_MPL, reason="matplotlib is not installed")
def test_align_plot(tmp_path):
    text = ok("align", PDB / "1sp1.pdb", PDB / "1sp2.pdb", "--plot", "d.png", cwd=tmp_path).stdout
    assert "Plot             d.png" in text
    assert (tmp_path / "d.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# ---- msa -----------------------------------------------------------------------------------

CSDE = [BUNDLED / f"{n}.pdb" for n in ("5eep", "1ni7", "1ni7_model2")]


def test_msa_outputs(tmp_path):
    text = ok("msa", *CSDE, "-o", "out", "--fasta", "al.fasta", "--tsv", "out/t.tsv",
              cwd=tmp_path).stdout
    data = json.loads(ok("msa", *CSDE, "-o", "out2", "--json", cwd=tmp_path).stdout)
    names = ["5eep", "1ni7", "1ni7_model2"]
    domains = [malven.Domain.from_pdb(str(p)) for p in CSDE]
    assert f"Columns          {data['n_columns']}\n" in text
    assert f"Core columns     {data['n_core']} " in text
    assert data["n_core"] == len(data["core_positions"]) > 0

    rows, ends, markers = parse_blocks(text, names)
    for name, d, path, s in zip(names, domains, CSDE, data["structures"]):
        check_row_numbers(ends[name], d.sequence, labels_of(path))
        assert rows[name] == s["aligned"] and len(rows[name]) == data["n_columns"]
    assert [k for k, m in enumerate(markers) if m == "*"] == data["core_positions"]
    for k, col in enumerate(data["columns"]):
        assert (None not in col) == (k in data["core_positions"])
        assert [None if r[k] == "-" else r[k] for r in rows.values()] == \
            [None if i is None else d.sequence[i] for i, d in zip(col, domains)]

    fasta = (tmp_path / "al.fasta").read_text().split(">")[1:]
    assert [rec.split()[0] for rec in fasta] == names
    assert ["".join(rec.splitlines()[1:]) for rec in fasta] == [rows[n] for n in names]
    for name, s in zip(names, data["structures"]):
        assert s["output"] == os.path.join("out2", f"aligned_{name}.pdb")
        assert (tmp_path / "out" / f"aligned_{name}.pdb").is_file()
    # The reference keeps its frame.
    np.testing.assert_allclose(malven.Domain.from_pdb(str(tmp_path / "out" / "aligned_5eep.pdb")).coordinates,
                               domains[0].coordinates, atol=1e-3)
    tsv = [line.split("\t") for line in (tmp_path / "out" / "t.tsv").read_text().splitlines()]
    assert tsv[0] == ["k", "name", "chain", "residues", "tm_score", "path", "output"]
    assert [(r[1], int(r[3]), r[4], r[6]) for r in tsv[1:]] == \
        [(n, len(d), f"{s['tm_score']:.4f}", os.path.join("out", f"aligned_{n}.pdb"))
         for n, d, s in zip(names, domains, data["structures"])]
    assert "TSV              out/t.tsv" in text


@pytest.mark.parametrize("wanted, written", [
    (["--fasta", "al.fasta"], ["al.fasta"]),
    (["--a2m", "al.a2m", "--tsv", "t.tsv"], ["al.a2m", "t.tsv"]),
    (["--json"], []),
])
def test_msa_writes_only_the_alignment_files_without_an_output_dir(tmp_path, wanted, written):
    """Without -o no superposed structure is written: only the files asked for."""
    proc = ok("msa", *CSDE, *wanted, cwd=tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(written)
    assert "->" not in proc.stdout
    if "--json" in wanted:
        assert [s["output"] for s in json.loads(proc.stdout)["structures"]] == [None] * 3
    if "al.fasta" in written:
        records = (tmp_path / "al.fasta").read_text().split(">")[1:]
        assert [rec.split()[0] for rec in records] == ["5eep", "1ni7", "1ni7_model2"]
    if "t.tsv" in written:
        rows = [line.split("\t") for line in (tmp_path / "t.tsv").read_text().splitlines()]
        assert [r[6] for r in rows[1:]] == ["", "", ""]


@pytest.mark.parametrize("quiet", [[], ["-q"]])
def test_msa_warns_of_a_structure_unlike_the_reference(tmp_path, quiet):
    proc = malven_cmd("msa", CSDE[0], PDB / "1sp1.pdb", "-o", "out", *quiet, cwd=tmp_path)
    assert proc.returncode == 0
    warning = (f"malven msa: warning: {PDB / '1sp1.pdb'} shares little with the reference "
               f"(TM-score ")
    assert proc.stderr.startswith(warning) if not quiet else proc.stderr == ""


@pytest.mark.parametrize("reference", [1, 2])
def test_msa_recovers_rigid_motion(tmp_path, reference):
    src = PDB / "3znf.pdb"
    moved_copy(src, tmp_path / "copy.pdb", seed=11)
    data = json.loads(ok("msa", src, "copy.pdb", "-o", "out", "--reference", reference, "--json",
                         cwd=tmp_path).stdout)
    assert data["reference"] == reference and data["n_core"] == data["n_columns"] == 30
    assert data["columns"] == [[k, k] for k in range(30)]
    # Both outputs land in the frame of the reference.
    frame = malven.Domain.from_pdb(str(src if reference == 1 else tmp_path / "copy.pdb")).coordinates
    for name in ("aligned_3znf.pdb", "aligned_copy.pdb"):
        got = malven.Domain.from_pdb(str(tmp_path / "out" / name)).coordinates
        np.testing.assert_allclose(got, frame, atol=2e-3)


def test_msa_refuses_colliding_outputs(tmp_path):
    for sub in ("a", "b"):
        (tmp_path / sub).mkdir()
        shutil.copy(CSDE[0], tmp_path / sub / "csde.pdb")
    line = fails("msa", "a/csde.pdb", "b/csde.pdb", "-o", "out", cwd=tmp_path, status=2)
    assert line == ("malven msa: error: a/csde.pdb and b/csde.pdb would both be written as "
                    "aligned_csde.pdb; give the files different names")
    assert not (tmp_path / "out").exists()


def test_msa_never_overwrites_an_input(tmp_path):
    shutil.copy(CSDE[0], tmp_path / "aligned_x.pdb")
    shutil.copy(CSDE[1], tmp_path / "x.pdb")
    before = (tmp_path / "aligned_x.pdb").read_bytes()
    line = fails("msa", "aligned_x.pdb", "x.pdb", "-o", ".", cwd=tmp_path, status=2)
    assert line == ("malven msa: error: argument -o/--output-dir: './aligned_x.pdb' is the input "
                    "file 'aligned_x.pdb'; choose another output")
    assert (tmp_path / "aligned_x.pdb").read_bytes() == before


# ---- scan ----------------------------------------------------------------------------------

@pytest.fixture
def database(tmp_path):
    """Bundled structures in a directory tree, a moved copy of the query one level down, and
    one file that is not a structure."""
    db = tmp_path / "db"
    (db / "sub").mkdir(parents=True)
    for name in ("1sp1", "1sp2", "3znf", "5eep"):
        shutil.copy(PDB / f"{name}.pdb", db / f"{name}.pdb")
    moved_copy(PDB / "1sp1.pdb", db / "sub" / "moved1sp1.ent", seed=3)
    (db / "sub" / "broken.pdb").write_text("REMARK nothing here\n")
    (db / "notes.txt").write_text("not a target\n")
    return db


def table_rows(text, header):
    lines = text.splitlines()
    start = next(k for k, l in enumerate(lines) if l.split() == header.split())
    return [l.split() for l in lines[start + 1:] if l.strip() and l.split()[0].isdigit()]


@pytest.mark.parametrize("mode", ["scan", "full", "quick"])
def test_scan_ranks_as_the_module_does(tmp_path, database, mode):
    # Ranked by Sc, as the module ranks (the default is the E-value).
    proc = malven_cmd("scan", PDB / "1sp1.pdb", "db", "--mode", mode, "--json", "--sort-by", "score",
                      cwd=tmp_path)
    assert proc.returncode == 0
    assert proc.stderr == "malven scan: warning: skipped: cannot read a structure from " \
        f"db/sub/broken.pdb: no protein chain: no C-alpha atoms (ATOM records named CA)\n"
    data = json.loads(proc.stdout)
    paths = ["db/1sp1.pdb", "db/1sp2.pdb", "db/3znf.pdb", "db/5eep.pdb", "db/sub/moved1sp1.ent"]
    assert (data["n_targets"], data["n_skipped"], data["mode"]) == (5, 1, mode)

    # One call of the module over the whole list is the reference for order, scores and Z.
    flags = {"scan": {}, "full": dict(scan_mode=False), "quick": dict(scan_mode=False, quick=True)}
    expected = malven.scan_database(malven.Domain.from_pdb(str(PDB / "1sp1.pdb")),
                                    [malven.Domain.from_pdb(str(tmp_path / p)) for p in paths],
                                    **flags[mode])
    got = data["hits"]
    # A target the module reports with 0 pairs did not align: listed apart, not as a hit.
    aligned = [h for h in expected if h.n_aligned > 0]
    assert [(h["rank"], h["target"]) for h in got] == [(h.rank, h.target_id) for h in aligned]
    files = {pathlib.Path(p).stem: pathlib.Path(p).name for p in paths}
    assert data["not_aligned"] == [f"{files[h.target_id]}:A"
                                   for h in expected if h.n_aligned == 0]
    for g, e in zip(got, aligned):
        assert g["path"] == paths[[pathlib.Path(p).stem for p in paths].index(e.target_id)]
        assert (g["n_aligned"], g["score"]) == (e.n_aligned, pytest.approx(e.score, abs=1e-12))
        # No RMSD where nothing was superposed (the module's sentinels inf and 100).
        assert g["rmsd"] == (None if e.n_aligned < 3 else pytest.approx(e.rmsd, abs=1e-12))
        assert g["z_score"] == (None if e.z_score is None else pytest.approx(e.z_score, abs=1e-9))


# One layout for every method: the table and the TSV.
SCAN_TABLE = ("rank target TM longer TM query TM target Sc rmsd aligned identity z evalue "
              "same fold")
SCAN_TSV = ("rank target path score tm_query tm_target sc rmsd aligned identity z evalue prob bits "
            "same_fold chain")
SCAN_METHODS = {"kelda": ["--method", "kelda"], "robust": []}


@pytest.mark.parametrize("method", sorted(SCAN_METHODS))
def test_scan_table_tsv_and_limits(tmp_path, database, method):
    options, header, tsv_header, rmsd_at = SCAN_METHODS[method], SCAN_TABLE, SCAN_TSV, 6
    proc = malven_cmd("scan", PDB / "1sp1.pdb", "db", "--max-hits", "2", "--tsv", "hits.tsv",
                      "--quiet", *options, cwd=tmp_path)
    assert (proc.returncode, proc.stderr) == (0, "")
    rows = table_rows(proc.stdout, header)
    # Named by the end of the path that tells them apart, with the chain.
    assert [r[0] for r in rows] == ["1", "2"] and \
        {r[1] for r in rows} == {"1sp1.pdb:A", "moved1sp1.ent:A"}
    assert float(rows[0][2]) >= float(rows[1][2])
    assert all(float(r[rmsd_at]) < 0.005 for r in rows)
    how = "kelda scan" if method == "kelda" else "robust"
    assert f"Targets  5 (1 unreadable skipped), method {how}, cutoff 0: 2 hits (at most 2 shown)" \
        in proc.stdout
    tsv = [l.split("\t") for l in (tmp_path / "hits.tsv").read_text().splitlines()]
    assert tsv[0] == tsv_header.split()
    # The TSV names targets as the table does (FILE:CHAIN), the chain in a column too.
    assert [(r[0], r[1], r[-1]) for r in tsv[1:]] == [(r[0], r[1], "A") for r in rows]
    # The score is the method's: the TM-score by the longer structure, or Sc.
    score_at = 2 if method == "robust" else 5
    assert [float(r[3]) for r in tsv[1:]] == \
        pytest.approx([float(r[score_at]) for r in rows], abs=1e-3)
    # A copy is the same fold, with both TM-scores 1, by either method.
    assert [r[-2] for r in tsv[1:]] == ["yes", "yes"]
    assert [float(v) for r in tsv[1:] for v in r[4:6]] == pytest.approx([1.0] * 4, abs=1e-4)

    none = malven_cmd("scan", PDB / "1sp1.pdb", "db", "--cutoff", "1e9", "-q", *options,
                      cwd=tmp_path)
    assert none.returncode == 0 and "No hits." in none.stdout


@pytest.mark.parametrize("order, column, ascending", [
    (None, 10, True),  # the default: E-value, smallest first
    ("evalue", 10, True), ("tm", 2, False), ("tm-query", 3, False), ("tm-target", 4, False),
])
def test_scan_sorts_by_the_order_asked_for(tmp_path, database, order, column, ascending):
    options = ["--sort-by", order] if order else []
    proc = malven_cmd("scan", PDB / "1sp1.pdb", "db", "--quiet", *options, cwd=tmp_path)
    assert (proc.returncode, proc.stderr) == (0, "")
    values = [float(r[column]) for r in table_rows(proc.stdout, SCAN_TABLE)]
    assert len(values) >= 4 and values == sorted(values, reverse=not ascending)
    shown = {None: "E-value", "evalue": "E-value", "tm": "TM-score (by the longer)",
             "tm-query": "TM-score by the query", "tm-target": "TM-score by the target"}
    assert f"ranked by {shown[order]}" in proc.stdout


def test_sort_by_takes_only_the_orders_it_names(tmp_path, database):
    for command in (["scan", PDB / "1sp1.pdb", "db"], ["search", "db", PDB / "1sp1.pdb"]):
        proc = malven_cmd(*command, "--sort-by", "rmsd", cwd=tmp_path)
        assert proc.returncode == 2 and "invalid choice: 'rmsd'" in proc.stderr


def test_scan_explicit_unreadable_target_is_an_error(tmp_path, database):
    line = fails("scan", PDB / "1sp1.pdb", "db/1sp2.pdb", "db/sub/broken.pdb", cwd=tmp_path)
    assert line.startswith("malven scan: error: cannot read a structure from db/sub/broken.pdb")


def on_a_terminal(cmd, cwd):
    """What the command writes to standard error when that is a terminal."""
    pty = pytest.importorskip("pty")
    master, slave = pty.openpty()
    proc = subprocess.Popen(cmd, cwd=cwd, env=cli_env(), stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the other side closed
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    proc.stdout.read()
    assert proc.wait() == 0
    return seen.decode()


def last_drawn(seen, label):
    """The bar's last state: the text after the last carriage return of its line."""
    # The terminal ends each line with CR LF.
    line = next(line for line in seen.split("\n") if label in line)
    return line.rstrip("\r").split("\r")[-1]


def test_scan_progress_only_on_a_terminal(tmp_path, database):
    cmd = [sys.executable, "-m", "keldascope.cli", "scan", str(PDB / "1sp1.pdb"), "db", "--mode", "quick"]
    seen = on_a_terminal(cmd, tmp_path)
    # The bar starts at none done and ends with every chunk done.
    assert "\rScanning chunks [" in seen and re.search(r"\] 0/(\d+) .*\] \1/\1 ", seen)
    assert "warning: skipped:" in seen

    quiet = subprocess.run(cmd + ["--quiet"], cwd=tmp_path, env=cli_env(),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert (quiet.returncode, quiet.stderr) == (0, b"")


@pytest.mark.parametrize("extra, label, total", [([], "Searching", 5),
                                                 (["--exhaustive"], "Aligning", 10)])
def test_search_progress_only_on_a_terminal(tmp_path, database, extra, label, total):
    ok("createdb", "x.db", "db", "-q", cwd=tmp_path)
    cmd = [sys.executable, "-m", "keldascope.cli", "search", "x.db", str(PDB / "1sp1.pdb"),
           str(PDB / "1sp2.pdb"), *extra]
    seen = on_a_terminal(cmd, tmp_path)
    # Five entries, each through the first stage once for both queries; or with every entry
    # aligned, the ten pairs; the engine's count beside the first stage's.
    assert re.fullmatch(rf"{label} \[#+\] {total}/{total}(, \d+ aligned)? \d+s *",
                        last_drawn(seen, label)), seen
    quiet = subprocess.run(cmd + ["-q"], cwd=tmp_path, env=cli_env(), stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    assert (quiet.returncode, quiet.stderr) == (0, b"")


def test_a_later_round_of_chunks_redraws_its_line(monkeypatch):
    """A scan's second round (alignments after shape scores) counts on the same line from 0
    to its own total, its shorter text leaving nothing of the longer one behind."""
    from keldascope.cli import runners

    stream = io.StringIO()
    monkeypatch.setattr(sys, "stderr", stream)
    with runners.ChunkProgress("Scanning chunks", True) as bar:
        for done in range(59):
            bar(done, 58)
        for done in range(6):
            bar(done, 5)
    final = stream.getvalue().split("\r")[-1]
    assert re.fullmatch(r"Scanning chunks \[#{30}\] 5/5 \d+s *\n", final), final


# ---- allvsall ------------------------------------------------------------------------------

def newick_leaves(text):
    """Leaf names of Newick text, after checking its brackets balance and it ends the tree."""
    assert text.endswith(";") and text.count("(") == text.count(")")
    return re.findall(r"(?<=[(,])([^(),:;]+):", text)


@pytest.mark.parametrize("method", ["robust", "kelda"])
def test_allvsall_tree_and_matrices(tmp_path, method):
    """A file given twice gets two leaves told apart; the printed tree is the one written
    and the one in JSON, its leaf order the JSON's; with the robust method the two CsdE
    structures are a clade."""
    files = [PDB / f"{n}.pdb" for n in ("1sp1", "1ni7", "1sp2", "5eep", "3znf")] + [PDB / "1sp1.pdb"]
    text = ok("allvsall", *files, "--method", method, "--newick", "tree.nwk", "--tsv", "p.tsv",
              cwd=tmp_path).stdout
    data = json.loads(ok("allvsall", *files, "--method", method, "--json", "-q",
                         cwd=tmp_path).stdout)
    newick = (tmp_path / "tree.nwk").read_text().strip()
    assert newick == data["newick"] and newick in text.splitlines()
    leaves = newick_leaves(newick)
    assert sorted(leaves) == sorted(["1sp1_1", "1ni7", "1sp2", "5eep", "3znf", "1sp1_6"])
    order_names = [["1sp1_1", "1ni7", "1sp2", "5eep", "3znf", "1sp1_6"][k - 1] for k in data["order"]]
    assert order_names == leaves
    sc = np.array(data["score"])
    np.testing.assert_array_equal(sc, sc.T)
    assert sc[0, 5] == sc[0, 0]  # the same file twice
    tm = np.array(data["tm_score"])
    np.testing.assert_allclose(np.diag(tm), 1.0, atol=1e-9)
    assert "TM-score (normalised by the longer structure)" in text
    # The tree joins by the method's score.
    assert f"Tree (average linkage over {'TM-score' if method == 'robust' else 'Sc'})" in text
    if method == "robust":
        # Zinc fingers are closer to each other than to a CsdE.
        assert min(tm[0, 2], tm[2, 4]) > max(tm[0, 1], tm[2, 3])
        assert sorted(leaves.index(n) for n in ("1ni7", "5eep")) in ([0, 1], [4, 5])
    assert "Tree written to tree.nwk" in text


@pytest.mark.skipif(not HAS_MPL, reason="matplotlib is not installed")
def test_allvsall_plot(tmp_path):
    text = ok("allvsall", *(PDB / f"{n}.pdb" for n in ("1sp1", "1sp2", "3znf")), "--plot", "h.png",
              cwd=tmp_path).stdout
    assert "Heatmap written to h.png" in text
    assert (tmp_path / "h.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_allvsall_tree_of_nothing_is_an_error(tmp_path):
    (tmp_path / "db").mkdir()
    (tmp_path / "db" / "broken.pdb").write_text("REMARK nothing here\n")
    line = fails("allvsall", "db", "--newick", "t.nwk", "-q", cwd=tmp_path)
    assert line == "malven allvsall: error: no structure could be read: there is no tree to write"
    assert not (tmp_path / "t.nwk").exists()


# ---- demo ----------------------------------------------------------------------------------

def test_demo_end_to_end(tmp_path):
    out = ok("demo", cwd=tmp_path).stdout
    base = tmp_path / "malven-demo"
    assert out.rstrip().splitlines()[-2] == f"Demo outputs are in {base}"
    commands = re.findall(r"^\$ malven (.*)$", out, re.M)
    assert [c.split()[0] for c in commands] == ["align", "msa"]
    for rel in ("align/5eep_on_1ni7.pdb", "msa/aligned_5eep.pdb", "msa/aligned_1ni7.pdb",
                "msa/aligned_1ni7_model2.pdb", "msa/csde.fasta"):
        assert (base / rel).is_file(), rel
    assert (base / "align" / "distances.png").is_file() == HAS_MPL
    # The printed commands work as printed from inside the demo folder.
    again = ok(*commands[0].split(), cwd=base).stdout
    assert again in out
    assert ok("demo", cwd=tmp_path).stdout.rstrip().splitlines()[-2].endswith("malven-demo-2")


# ---- formats and chains ----------------------------------------------------------------------

def mmcif_copy(src, dst, compress=False):
    """gemmi's mmCIF conversion of a PDB file, optionally gzipped."""
    gemmi = gemmi_or_skip()
    st = gemmi.read_structure(str(src))
    st.setup_entities()
    text = st.make_mmcif_document().as_string().encode()
    pathlib.Path(dst).write_bytes(gzip.compress(text) if compress else text)
    return dst


def test_chains_lists_names_and_lengths(tmp_path):
    mmcif_copy(PDB / "3al1.pdb", tmp_path / "3al1.cif.gz", True)
    out = ok("chains", PDB / "1tii.pdb", "3al1.cif.gz", cwd=tmp_path).stdout
    assert out == (f"{PDB / '1tii.pdb'}  (PDB, model 1, 1 model in the file)\n"
                   "chain  residues\n"
                   "D            98\nE            98\nF            98\nG            98\n"
                   "H            98\nA           186\nC            36\n\n"
                   "3al1.cif.gz  (mmCIF, model 1, 1 model in the file)\n"
                   "chain  residues\n"
                   "A            12\nB            12\n")
    data = json.loads(ok("chains", "3al1.cif.gz", "--json", cwd=tmp_path).stdout)
    assert data["files"] == [{"path": "3al1.cif.gz", "format": "mmcif", "model": 1,
                              "models": [1], "chains": [{"chain": "A", "length": 12},
                                         {"chain": "B", "length": 12}]}]


def test_align_reads_mmcif_and_chains_and_writes_mmcif(tmp_path):
    """FILE:CHAIN and the old --chain2 read the same chain; an mmCIF (gzipped) input aligns as
    its PDB file does, and -o writes it superposed as mmCIF."""
    mmcif_copy(BUNDLED / "5eep.pdb", tmp_path / "5eep.cif.gz", True)
    a = BUNDLED / "1ni7.pdb"
    from_pdb = align_json(tmp_path, a, BUNDLED / "5eep.pdb:A")
    from_cif = align_json(tmp_path, f"{a}:A", "5eep.cif.gz", "-o", "moved.cif.gz")
    old_option = align_json(tmp_path, a, BUNDLED / "5eep.pdb", "--chain2", "A")
    for key in ("score", "rmsd", "n_aligned", "pairs"):
        assert from_pdb[key] == from_cif[key] == old_option[key]
    assert from_cif["structure2"]["format"] == "mmcif" and from_cif["output"] == "moved.cif.gz"
    from keldascope import structures
    moved = structures.read_structure(tmp_path / "moved.cif.gz")
    assert (moved.format, moved.compressed) == ("mmcif", True)
    t = malven.Transform.from_matrix(np.array(from_cif["transform"]["rotation"]),
                                     np.array(from_cif["transform"]["translation"]))
    np.testing.assert_allclose(moved.domain.coordinates,
                               t.apply(malven.Domain.from_pdb(str(BUNDLED / "5eep.pdb")).coordinates),
                               atol=1e-3)


def test_msa_of_mmcif_and_gzip_matches_the_pdb_pipeline(tmp_path):
    """msa of mmCIF and gzipped inputs runs the align_pdbs steps over the toolkit's reading:
    the same alignment as the PDB files give, superposed copies in each input's format."""
    mmcif_copy(CSDE[1], tmp_path / "1ni7.cif")
    (tmp_path / "5eep.pdb.gz").write_bytes(gzip.compress(CSDE[0].read_bytes()))
    pdb = json.loads(ok("msa", *CSDE, "-o", "a", "--json", cwd=tmp_path).stdout)
    mixed = json.loads(ok("msa", "5eep.pdb.gz", "1ni7.cif:A", CSDE[2], "-o", "b", "--json",
                          cwd=tmp_path).stdout)
    for key in ("n_columns", "n_core", "columns", "core_positions", "score", "avg_rmsd"):
        assert mixed[key] == pdb[key], key
    assert [s["output"] for s in mixed["structures"]] == \
        [os.path.join("b", n) for n in ("aligned_5eep.pdb", "aligned_1ni7.cif",
                                          "aligned_1ni7_model2.pdb")]
    from keldascope import structures
    for name, other in (("aligned_5eep.pdb", "aligned_5eep.pdb"),
                        ("aligned_1ni7.cif", "aligned_1ni7.pdb")):
        np.testing.assert_allclose(structures.read_structure(tmp_path / "b" / name).domain.coordinates,
                                   structures.read_structure(tmp_path / "a" / other).domain.coordinates,
                                   atol=2e-3)


def test_scan_and_allvsall_take_every_format(tmp_path):
    """Targets as mmCIF, gzipped PDB and FILE:CHAIN, in a directory or named: the same hits
    and matrices as their PDB files give."""
    db = tmp_path / "db"
    db.mkdir()
    mmcif_copy(PDB / "1sp2.pdb", db / "1sp2.cif")
    mmcif_copy(PDB / "3znf.pdb", db / "3znf.mmcif.gz", True)
    (db / "1sp1.ent.gz").write_bytes(gzip.compress((PDB / "1sp1.pdb").read_bytes()))
    query = PDB / "1hpv.pdb"
    plain = [PDB / "1sp1.pdb", PDB / "1sp2.pdb", PDB / "3znf.pdb", f"{PDB / '1hpv.pdb'}:B"]
    mixed = ["db", f"{query}:B"]
    ref = json.loads(ok("scan", f"{query}:A", *plain, "--mode", "quick", "--json", "-q",
                        cwd=tmp_path).stdout)
    got = json.loads(ok("scan", query, *mixed, "--mode", "quick", "--json", "-q",
                        cwd=tmp_path).stdout)
    assert got["n_targets"] == 4
    assert [(h["target"], h["score"]) for h in got["hits"]] == \
        [(h["target"], h["score"]) for h in ref["hits"]]
    # The quick pass in the files' own frames: hits, or targets listed as not aligned.
    listed = sorted([h["target"] for h in ref["hits"]] +
                    [n.split(".")[0] for n in ref["not_aligned"]])
    assert listed == ["1hpv", "1sp1", "1sp2", "3znf"]
    assert [n.split(".")[0] for n in got["not_aligned"]] == \
        [n.split(".")[0] for n in ref["not_aligned"]]

    ref = json.loads(ok("allvsall", *plain, "--mode", "quick", "--json", "-q", "--jobs", "1",
                        cwd=tmp_path).stdout)
    got = json.loads(ok("allvsall", "db", f"{query}:B", "--mode", "quick", "--json", "-q",
                        "--jobs", "1", cwd=tmp_path).stdout)
    assert [s["id"] for s in got["structures"]] == ["1sp1", "1sp2", "3znf", "1hpv"]
    assert got["score"] == ref["score"] and got["n_aligned"] == ref["n_aligned"]
