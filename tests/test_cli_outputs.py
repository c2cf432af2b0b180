"""What the commands write: the hit tables of search and scan in the field's columns
(--format-output, --format m8) and on the Python SearchHit, file names with any byte in them
through every TSV, table and JSON, entries named FILE:CHAIN apart, numbers rounded one way,
and every output through the atomic writer (links written through, modes kept, special
files written in place)."""
import importlib.machinery
import importlib.util
import json
import os
import re
import shutil
import stat

import numpy as np
import pytest

import keldascope
from conftest import DATA, ROOT
from test_cli import fails, malven_cmd, ok

PDB = DATA / "pdb"


def unescape(text):
    """The bytes a name escaped by the outputs stands for, undone independently of the
    escaper: \\\\, \\t, \\n, \\r, \\xNN a byte, \\uNNNN a character."""
    out, i = bytearray(), 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            out += c.encode()
            i += 1
        elif text[i + 1] in "\\tnr":
            out += {"\\": b"\\", "t": b"\t", "n": b"\n", "r": b"\r"}[text[i + 1]]
            i += 2
        elif text[i + 1] == "x":
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        else:
            assert text[i + 1] == "u", text
            out += chr(int(text[i + 2:i + 6], 16)).encode()
            i += 6
    return bytes(out)


# File names no table could hold raw, and one whose text is what an escape of another looks
# like when backslashes go unescaped (lit\xff against the byte 0xff).
ODD_NAMES = {b"bad\xff.pdb": "1sp1", b"tab\tname\n.pdb": "1sp2", b"back\\slash.pdb": "3znf",
             b"lit\\xff.pdb": "1sp1", b"lit\xff.pdb": "1sp2"}


@pytest.fixture
def odd(tmp_path):
    folder = tmp_path / "odd"
    folder.mkdir()
    for name, source in ODD_NAMES.items():
        shutil.copyfile(PDB / f"{source}.pdb", os.path.join(os.fsencode(folder), name))
    return folder


def odd_paths():
    return {b"odd/" + name for name in ODD_NAMES}


# Each command's TSV and the columns that hold a path or a name of the odd files.
ODD_TSVS = {
    "scan": (["scan", PDB / "1sp1.pdb", "odd", "--tsv", "out.tsv"], ["path"]),
    "search": (["search", "odd.db", "odd", "--tsv", "out.tsv"], ["path"]),
    "allvsall": (["allvsall", "odd", "--tsv", "out.tsv"], ["path_i", "path_j"]),
    "allvsall-sparse": (["allvsall", "odd", "--sparse", "--min-score", "0", "--tsv",
                         "out.tsv"], ["path_i", "path_j"]),
    "msa": (["msa", "odd", "-o", "aligned", "--tsv", "out.tsv"], ["path"]),
}


def run_on_odd_files(tmp_path, command, argv):
    """The command over the oddly named files (search: over a database of them)."""
    if command == "search":
        ok("createdb", "odd.db", "odd", "-q", cwd=tmp_path)
    return ok(*argv, "-q", cwd=tmp_path)


@pytest.mark.parametrize("command", sorted(ODD_TSVS))
def test_any_byte_of_a_file_name_survives_to_the_tsv(tmp_path, odd, command):
    argv, columns = ODD_TSVS[command]
    proc = run_on_odd_files(tmp_path, command, argv)
    assert "Traceback" not in proc.stderr and "internal error" not in proc.stderr
    lines = (tmp_path / "out.tsv").read_text(encoding="utf-8").split("\n")
    assert lines[-1] == ""
    rows = [line.split("\t") for line in lines[:-1]]
    header = rows[0]
    assert all(len(r) == len(header) for r in rows)  # no tab or newline split a row
    found = {unescape(r[header.index(c)]) for r in rows[1:] for c in columns}
    assert found == odd_paths()
    # The table on the terminal escapes the same way, so its names read back too.
    if command in ("scan", "search"):
        shown = {unescape(line.split()[1]) for line in proc.stdout.splitlines()
                 if re.match(r"\s+\d+\s", line)}
        assert {s.rpartition(b":")[0] for s in shown} == set(ODD_NAMES)


ODD_JSON = {
    "scan": (["scan", PDB / "1sp1.pdb", "odd", "--json"],
             lambda d: [h["path"] for h in d["hits"]]),
    "search": (["search", "odd.db", "odd", "--json"],
               lambda d: [h["path"] for q in d["queries"] for h in q["hits"]] +
               [q["query"]["path"] for q in d["queries"]]),
    "allvsall": (["allvsall", "odd", "--json"], lambda d: [s["path"] for s in d["structures"]]),
    "allvsall-sparse": (["allvsall", "odd", "--sparse", "--json"],
                        lambda d: [s["path"] for s in d["structures"]]),
    "msa": (["msa", "odd", "-o", "aligned", "--json"],
            lambda d: [s["path"] for s in d["structures"]]),
}


@pytest.mark.parametrize("command", sorted(ODD_JSON))
def test_json_keeps_file_names_exactly(tmp_path, odd, command):
    argv, paths_of = ODD_JSON[command]
    proc = run_on_odd_files(tmp_path, command, argv)
    # Undecodable bytes as the surrogates U+DC80..U+DCFF, given back by os.fsencode.
    assert {os.fsencode(p) for p in paths_of(json.loads(proc.stdout))} == odd_paths()


def test_cluster_names_odd_files_apart(tmp_path, odd):
    ok("cluster", "odd", "--tsv", "out.tsv", "-q", cwd=tmp_path)
    rows = [line.split("\t") for line in (tmp_path / "out.tsv").read_text().splitlines()]
    assert all(len(r) == 2 for r in rows)
    assert {unescape(m) for _, m in rows} == {name + b":A" for name in ODD_NAMES}


# ---- names ---------------------------------------------------------------------------------

@pytest.fixture
def twins(tmp_path):
    """Two files of one name in two folders, and a file of four chains."""
    for sub, source in (("a", "1ni7"), ("b", "5eep")):
        (tmp_path / "twins" / sub).mkdir(parents=True)
        shutil.copyfile(PDB / f"{source}.pdb", tmp_path / "twins" / sub / "x.pdb")
    return tmp_path / "twins"


def test_cluster_and_search_tell_files_of_one_name_apart(tmp_path, twins):
    ok("cluster", "twins", "--tsv", "files.tsv", "-q", cwd=tmp_path)
    ok("createdb", "twins.db", "twins", "-q", cwd=tmp_path)
    ok("cluster", "twins.db", "--tsv", "db.tsv", "-q", cwd=tmp_path)
    for tsv in ("files.tsv", "db.tsv"):
        members = [line.split("\t")[1] for line in (tmp_path / tsv).read_text().splitlines()]
        assert sorted(members) == ["a/x.pdb:A", "b/x.pdb:A"]
    out = ok("search", "twins.db", "twins", "--format-output", "query,target,qpath,tpath",
             cwd=tmp_path).stdout.splitlines()
    rows = [line.split("\t") for line in out[1:]]
    # Each query finds itself first, named as the database's entry is.
    assert {(r[0], r[1]) for r in rows if r[2] == r[3]} == {("a/x.pdb:A", "a/x.pdb:A"),
                                                            ("b/x.pdb:A", "b/x.pdb:A")}


@pytest.mark.parametrize("sparse", [False, True])
def test_allvsall_names_every_chain_of_a_file(tmp_path, sparse):
    argv = ["allvsall", PDB / "1tii.pdb", "--all-chains", "--tsv", "out.tsv", "-q"]
    ok(*argv, *(["--sparse", "--min-score", "0"] if sparse else []), cwd=tmp_path)
    rows = [line.split("\t") for line in (tmp_path / "out.tsv").read_text().splitlines()]
    names = {r[2] for r in rows[1:]} | {r[3] for r in rows[1:]}
    chains = [c for c, _ in keldascope.list_chains(PDB / "1tii.pdb")]
    assert names == {f"1tii.pdb:{c}" for c in chains}
    if sparse:
        doc = json.loads(ok(*argv[:-3], "--sparse", "--json", cwd=tmp_path).stdout)
        assert [s["name"] for s in doc["structures"]] == [f"1tii.pdb:{c}" for c in chains]


# ---- numbers -------------------------------------------------------------------------------

NUMBER = re.compile(r"-?\d+(\.\d+)?")


@pytest.mark.parametrize("argv", [
    ["scan", PDB / "1ni7.pdb", PDB, "--tsv", "out.tsv"],
    ["allvsall", PDB / "1sp1.pdb", PDB / "1sp2.pdb", PDB / "3znf.pdb", "--tsv", "out.tsv"],
    ["allvsall", PDB, "--sparse", "--min-score", "0", "--tsv", "out.tsv"],
], ids=["scan", "allvsall", "allvsall-sparse"])
def test_tsv_numbers_are_rounded_one_way(tmp_path, argv):
    ok(*argv, "-q", cwd=tmp_path)
    rows = [line.split("\t") for line in (tmp_path / "out.tsv").read_text().splitlines()]
    header = rows[0]
    decimals = {"rmsd": 3, "bits": 1}  # angstroms to 3 decimals, bits to 1, scores to 4
    for row in rows[1:]:
        for name, value in zip(header, row):
            if name == "evalue":  # 3 significant digits, whatever the magnitude
                assert value == f"{float(value):.3g}"
                continue
            if NUMBER.fullmatch(value) and "." in value:
                assert len(value.split(".")[1]) == decimals.get(name, 4), (name, value)
            assert "e-" not in value and "e+" not in value


# ---- the field's columns -------------------------------------------------------------------

def read_table(text):
    rows = [line.split("\t") for line in text.splitlines()]
    return [dict(zip(rows[0], r)) for r in rows[1:]]


WIDE = "query,target,qstart,qend,tstart,tend,alnlen,gapopen,mismatch,fident,cigar,qaln,taln," \
       "qseq,tseq,qlen,tlen,qtmscore,ttmscore,lddt,u,t,qpath,tpath"


@pytest.fixture
def small_db(tmp_path):
    ok("createdb", "w.db", PDB / "1ni7.pdb", PDB / "5eep.pdb", PDB / "1sp1.pdb",
       PDB / "il2.pdb", "-q", cwd=tmp_path)
    return "w.db"


@pytest.mark.parametrize("command", ["search", "scan"])
def test_format_output_columns_agree_with_the_structures(tmp_path, small_db, command):
    targets = [PDB / n for n in ("1ni7.pdb", "5eep.pdb", "1sp1.pdb", "il2.pdb")]
    argv = ["search", small_db, PDB / "1ni7.pdb"] if command == "search" else \
        ["scan", PDB / "1ni7.pdb", *targets]
    rows = read_table(ok(*argv, "--format-output", WIDE, cwd=tmp_path).stdout)
    assert len(rows) == 4
    query = keldascope.read_structure(PDB / "1ni7.pdb")
    for r in rows:
        target = keldascope.read_structure(r["tpath"])
        qs, ts = query.domain.sequence, target.domain.sequence
        assert (r["qseq"], r["tseq"]) == (qs, ts)
        assert (int(r["qlen"]), int(r["tlen"])) == (len(qs), len(ts))
        qaln, taln = r["qaln"], r["taln"]
        assert len(qaln) == len(taln) == int(r["alnlen"])
        # The aligned strings are the sequences' stretches between start and end, gapped.
        assert qaln.replace("-", "") == qs[int(r["qstart"]) - 1:int(r["qend"])]
        assert taln.replace("-", "") == ts[int(r["tstart"]) - 1:int(r["tend"])]
        # The CIGAR spells the same columns: M both residues, I the query's, D the target's.
        ops = "".join(op * int(n) for n, op in re.findall(r"(\d+)([MID])", r["cigar"]))
        assert ops == "".join("I" if b == "-" else "D" if a == "-" else "M"
                              for a, b in zip(qaln, taln))
        assert int(r["gapopen"]) == len(re.findall(r"I+|D+", ops))
        pairs = [(a, b) for a, b in zip(qaln, taln) if "-" not in (a, b)]
        same = sum(a == b for a, b in pairs)
        assert int(r["mismatch"]) == len(pairs) - same
        assert float(r["fident"]) == pytest.approx(same / len(qaln), abs=5e-5)
        # u and t move the target onto the query: the aligned pairs' distances after them
        # give the TM-score by the query that the row reports (Zhang and Skolnick's d0).
        u = np.array([float(v) for v in r["u"].split(",")]).reshape(3, 3)
        t = np.array([float(v) for v in r["t"].split(",")])
        qi = [k for k, a in enumerate(qaln) if a != "-"]
        index_q = np.cumsum([a != "-" for a in qaln]) - 1 + int(r["qstart"]) - 1
        index_t = np.cumsum([b != "-" for b in taln]) - 1 + int(r["tstart"]) - 1
        both = [k for k in qi if taln[k] != "-"]
        moved = target.domain.coordinates[index_t[both]] @ u.T + t
        d = np.linalg.norm(query.domain.coordinates[index_q[both]] - moved, axis=1)
        d0 = 1.24 * (len(qs) - 15) ** (1 / 3) - 1.8
        assert float(r["qtmscore"]) == pytest.approx(np.sum(1 / (1 + (d / d0) ** 2)) / len(qs),
                                                     abs=2e-3)
        assert 0 < float(r["lddt"]) <= 1
    self_hit = next(r for r in rows if r["tpath"] == str(PDB / "1ni7.pdb"))
    assert (self_hit["fident"], self_hit["lddt"], self_hit["cigar"]) == \
        ("1.0000", "1.0000", f"{len(query.domain)}M")


def test_search_hit_fields_in_python(tmp_path):
    found = keldascope.search(PDB / "1ni7.pdb", [PDB / "5eep.pdb", PDB / "il2.pdb"])
    for h in found.hits:
        pairs = h.alignment
        assert (h.qstart, h.qend) == (pairs[0][0] + 1, pairs[-1][0] + 1)
        assert (h.tstart, h.tend) == (pairs[0][1] + 1, pairs[-1][1] + 1)
        assert (h.qlen, h.tlen) == (h.length_a, h.length_b)
        assert h.alnlen == (h.qend - h.qstart + 1) + (h.tend - h.tstart + 1) - len(pairs)
        rotation = np.array(h.u).reshape(3, 3)
        np.testing.assert_allclose(rotation, h.transform.rotation)
        np.testing.assert_allclose(h.t, h.transform.translation)
        aligned = keldascope.hit_alignment(h, found.query, keldascope.read_structure(
            found.path(h)))
        assert len(aligned.qaln) == h.alnlen
        assert aligned.identical + aligned.mismatch == len(pairs)


@pytest.mark.parametrize("command", ["search", "scan"])
@pytest.mark.parametrize("columns, unknown", [("query,target,banana", "'banana'"),
                                               ("query,,target", "''"),
                                               ("Query", "'Query'")])
def test_unknown_column_is_a_usage_error_naming_the_valid_ones(tmp_path, small_db, command,
                                                                columns, unknown):
    argv = ["search", small_db, PDB / "1ni7.pdb"] if command == "search" else \
        ["scan", PDB / "1ni7.pdb", PDB / "5eep.pdb"]
    line = fails(*argv, "--format-output", columns, cwd=tmp_path, status=2)
    assert f"argument --format-output: unknown column {unknown}" in line
    assert "query,target,fident,alnlen,mismatch,gapopen,qstart,qend,tstart,tend" in line


# ---- files written -------------------------------------------------------------------------

WRITERS = {
    "search": lambda out: ["search", "w.db", PDB / "1ni7.pdb", "--tsv", out],
    "cluster": lambda out: ["cluster", "w.db", "--tsv", out],
}


@pytest.mark.parametrize("command", sorted(WRITERS))
def test_outputs_keep_links_modes_and_special_files(tmp_path, small_db, command):
    (tmp_path / "real.tsv").write_text("old\n")
    os.chmod(tmp_path / "real.tsv", 0o640)
    os.symlink("real.tsv", tmp_path / "link.tsv")
    ok(*WRITERS[command]("link.tsv"), "-q", cwd=tmp_path)
    assert os.path.islink(tmp_path / "link.tsv")  # written through, not replaced
    assert stat.S_IMODE(os.stat(tmp_path / "real.tsv").st_mode) == 0o640
    text = (tmp_path / "real.tsv").read_text()
    assert text != "old\n" and "1ni7.pdb:A" in text
    assert sorted(os.listdir(tmp_path)) == ["link.tsv", "real.tsv", "w.db"]  # no debris
    proc = malven_cmd(*WRITERS[command]("/dev/stdout"), "-q", cwd=tmp_path)
    assert proc.returncode == 0 and "1ni7.pdb:A" in proc.stdout


def load_check_layers():
    loader = importlib.machinery.SourceFileLoader("check_layers", str(ROOT / "scripts" /
                                                                      "check-layers"))
    spec = importlib.util.spec_from_loader("check_layers", loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


@pytest.mark.parametrize("code, refused", [
    ("os.replace(a, b)", True),
    ("os.rename(a, b)", True),
    ("shutil.copyfile(a, b)", True),
    ("open(p, 'w', encoding='utf-8')", True),
    ("open(p, mode='ab')", True),
    ("open(p, 'r+b')", True),
    ("open(p, m)", True),  # a mode computed at run time may write
    ("pathlib.Path(p).write_text(s)", True),
    ("open(p)", False),
    ("open(p, 'rb')", False),
    ("open(p, encoding='utf-8', errors='surrogateescape')", False),
    ("os.open(os.devnull, os.O_WRONLY)", False),
])
def test_check_layers_refuses_writes_past_the_atomic_writer(tmp_path, code, refused):
    module = load_check_layers()
    source = tmp_path / "command.py"
    source.write_text(f"import os, pathlib, shutil\n\n\ndef run(a, b, p, m, s):\n    {code}\n")
    problems = module.writer_problems(source, "command.py")
    assert bool(problems) == refused, problems
    assert all(p.startswith("command.py:5:") for p in problems)


def test_readme_lists_every_column():
    from keldascope.cli.hits import COLUMNS
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    table = readme[readme.index("### Hit tables"):]
    table = table[:table.index("\n\n", table.index("| column | meaning |"))]
    listed = {name for cell in re.findall(r"^\| ([^|]+) \|", table, re.M)
              for name in re.findall(r"`(\w+)`", cell)}
    assert listed == set(COLUMNS)


@pytest.mark.parametrize("options, says", [
    (["--json", "--format", "m8"], "argument --json: not allowed with --format m8"),
    (["--format", "json", "--format-output", "query"], "chooses TSV columns, not JSON"),
    (["--format", "table", "--format-output", "query"], "the text tables have fixed columns"),
])
def test_contradicting_formats_are_usage_errors(tmp_path, options, says):
    line = fails("scan", PDB / "1ni7.pdb", PDB / "5eep.pdb", *options, cwd=tmp_path, status=2)
    assert says in line


@pytest.mark.parametrize("command", ["search", "scan"])
def test_tsv_to_standard_output_keeps_the_commands_columns(tmp_path, small_db, command):
    argv = ["search", small_db, PDB / "1ni7.pdb"] if command == "search" else \
        ["scan", PDB / "1ni7.pdb", PDB / "5eep.pdb", PDB / "1sp1.pdb"]
    ok(*argv, "--tsv", "hits.tsv", "-q", cwd=tmp_path)
    printed = ok(*argv, "--format", "tsv", "-q", cwd=tmp_path).stdout
    assert printed == (tmp_path / "hits.tsv").read_text()


@pytest.mark.parametrize("command", ["search", "scan"])
def test_m8_is_the_fields_twelve_columns_without_a_header(tmp_path, small_db, command):
    argv = ["search", small_db, PDB / "1ni7.pdb"] if command == "search" else \
        ["scan", PDB / "1ni7.pdb", PDB / "1ni7.pdb", PDB / "5eep.pdb", PDB / "1sp1.pdb",
         PDB / "il2.pdb"]
    m8 = [line.split("\t") for line in ok(*argv, "--format", "m8", cwd=tmp_path).stdout
          .splitlines()]
    wide = read_table(ok(*argv, "--format-output", "query,target,fident,alnlen,mismatch,"
                         "gapopen,qstart,qend,tstart,tend,evalue,bits,qpath", cwd=tmp_path)
                      .stdout)
    assert len(m8) == len(wide) == 4 and all(len(r) == 12 for r in m8)
    assert [r[:12] for r in m8] == [list(w.values())[:12] for w in wide]
    # Best first by E-value; each E-value is the targets searched times 2^-bits.
    evalues = [float(r[10]) for r in m8]
    assert evalues == sorted(evalues)
    assert all(float(r[10]) == pytest.approx(4 * 2 ** -float(r[11]), rel=0.04) for r in m8)
    assert m8[0][:2] == ["1ni7.pdb:A", "1ni7.pdb:A"] and m8[0][2] == "1.0000"
    # Into a file with --tsv, the text tables still on standard output.
    text = ok(*argv, "--format", "m8", "--tsv", "hits.m8", cwd=tmp_path).stdout
    assert "Table written to hits.m8" in text
    assert [line.split("\t") for line in (tmp_path / "hits.m8").read_text().splitlines()] == m8
