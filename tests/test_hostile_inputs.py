"""Inputs made to break the toolkit: coordinates no structure holds, gzip bombs, names too long
for gemmi's flat arrays, missing coordinate columns, odd model numbers, many chains and
looping folders. Each ends in a result or one clear error naming the file and residue, and
never in a hang, a crash or a runaway allocation. The mmCIF files are written here, so that
all of it runs where gemmi is absent too."""
import gzip
import os
import sys

import numpy as np
import pytest

import malven
from conftest import DATA, IS_PYPY, helix, run_python
from keldascope import structures
from test_cli import fails, malven_cmd

PDB = DATA / "pdb"


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
    out = run_python(code)
    kind = "non-finite coordinate" if np.isinf(far) else "coordinate beyond 100000 A"
    assert out.stdout.strip() == (f"Alignment failed: Invalid parameter: structure B ('far') "
                                  f"has a {kind} at residue 31"), out.stderr


@pytest.mark.parametrize("fmt", ["pdb", "cif"])
def test_reading_refuses_coordinates_no_structure_holds(tmp_path, fmt):
    path = helix_pdb(tmp_path / "far.pdb", far_at=31)
    if fmt == "cif":
        path = tmp_path / "far.cif"
        path.write_text(cif_text([cif_ca(k, k, "A", 1e10 if k == 31 else x)
                                  for k, (x, _, _) in enumerate(helix(60), start=1)]))
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

CHAIN = ("import numpy as np, malven, keldascope\n"
         "def chain(n, seed):\n"
         "    steps = np.random.default_rng(seed).normal(size=(n, 3))\n"
         "    steps *= 3.8 / np.linalg.norm(steps, axis=1)[:, None]\n"
         "    return malven.Domain.from_arrays(f'c{seed}', np.cumsum(steps, axis=0), 'A' * n)\n")


@pytest.mark.skipif(IS_PYPY, reason="PyPy's own heap needs more address space than the limit")
def test_long_chains_align_in_memory_that_grows_by_the_byte():
    # Two chains of 2,500 residues under 200 MB more address space than the interpreter has
    # taken: a byte a residue pair fits, the 43 bytes of whole score matrices did not.
    code = (CHAIN +
            "import resource\n"
            "keldascope.align(chain(40, 1), chain(40, 2))  # every library loaded\n"
            "a, b = chain(2500, 3), chain(2500, 4)\n"
            "size = next(int(line.split()[1]) for line in open('/proc/self/status')\n"
            "            if line.startswith('VmSize:')) * 1024\n"
            "resource.setrlimit(resource.RLIMIT_AS, (size + (200 << 20), resource.RLIM_INFINITY))\n"
            "r = keldascope.align(a, b)\n"
            "print(r.tm_score_a > 0)\n")
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


# ---- gzip bombs -------------------------------------------------------------------------------

def gzip_bomb(path, head, filler, inflated):
    """A gzip file whose text is `head` and then `filler` repeated to `inflated` bytes,
    compressed a megabyte at a time (a thousand times smaller)."""
    block = filler * ((1 << 20) // len(filler))
    with gzip.open(path, "wb", compresslevel=9) as out:
        out.write(head)
        for _ in range(inflated // len(block)):
            out.write(block)
    return path


@pytest.mark.parametrize("name, head, filler", [
    ("bomb.pdb.gz", b"HEADER    BOMB\n", b"REMARK 999\n"),
    ("bomb.cif.gz", b"data_bomb\nloop_\n_atom_site.id\n", b"# nothing\n"),
])
def test_gzip_bombs_are_refused_as_they_inflate(tmp_path, name, head, filler):
    path = gzip_bomb(tmp_path / name, head, filler, 80 << 20)
    assert path.stat().st_size < 1 << 20
    with pytest.raises(structures.UnreadableStructure) as info:
        structures.read_structure(path)
    assert str(info.value) == (f"cannot read a structure from {path}: gzip data that inflates "
                               f"past 64 MiB, 32 times the compressed file (at least 64 MiB): "
                               f"not a structure file")
    line = fails("chains", path, cwd=tmp_path)
    assert "inflates past 64 MiB" in line


@pytest.mark.parametrize("members", [1, 3])
def test_gzip_members_and_padding_read_as_gzip_reads_them(tmp_path, members):
    # A file split into members, with zero padding between them, as some archives write.
    text = (PDB / "1sp1.pdb").read_bytes()
    parts = [text[k * len(text) // members:(k + 1) * len(text) // members] for k in range(members)]
    path = tmp_path / "parts.pdb.gz"
    path.write_bytes(b"\0\0".join(gzip.compress(p) for p in parts) + b"\0" * 7)
    assert gzip.decompress(path.read_bytes()) == text
    s = structures.read_structure(path)
    assert len(s.domain) == len(structures.read_structure(PDB / "1sp1.pdb").domain)
    path.write_bytes(path.read_bytes() + b"junk")
    with pytest.raises(structures.UnreadableStructure, match="corrupt gzip data"):
        structures.read_structure(path)


# ---- names gemmi's flat arrays cannot hold ----------------------------------------------------

CIF_ITEMS = ("group_PDB", "id", "type_symbol", "label_atom_id", "label_alt_id", "label_comp_id",
             "label_asym_id", "label_entity_id", "label_seq_id", "pdbx_PDB_ins_code", "Cartn_x",
             "Cartn_y", "Cartn_z", "occupancy", "B_iso_or_equiv", "auth_seq_id", "auth_asym_id",
             "pdbx_PDB_model_num")


def cif_text(rows, items=CIF_ITEMS):
    return ("data_x\nloop_\n" + "".join(f"_atom_site.{item}\n" for item in items) +
            "".join(row + "\n" for row in rows))


def cif_ca(serial, resseq, chain, x, residue="ALA", model=1, asym=None, items=CIF_ITEMS):
    values = {"group_PDB": "ATOM", "id": serial, "type_symbol": "C", "label_atom_id": "CA",
              "label_alt_id": ".", "label_comp_id": residue, "label_asym_id": asym or chain,
              "label_entity_id": 1, "label_seq_id": resseq, "pdbx_PDB_ins_code": "?",
              "Cartn_x": f"{x:.3f}", "Cartn_y": "1.000", "Cartn_z": "2.000", "occupancy": 1,
              "B_iso_or_equiv": "20.0", "auth_seq_id": resseq, "auth_asym_id": chain,
              "pdbx_PDB_model_num": model}
    return " ".join(str(values[item]) for item in items)


def test_long_chain_and_residue_names_are_read(tmp_path):
    rows = [cif_ca(k, k, "CHAINLONGNAME", 3.8 * k, "LONGRESIDUE" if k == 2 else "GLY")
            for k in range(1, 6)]
    rows += [cif_ca(10 + k, k, "B", 3.8 * k, asym="SUBCHAINLONG") for k in range(1, 4)]
    path = tmp_path / "long.cif"
    path.write_text(cif_text(rows))
    s = structures.read_structure(path)
    assert (s.chain, s.domain.sequence, s.chains) == ("CHAINLONGNAME", "GXGGG",
                                                      (("CHAINLONGNAME", 5), ("B", 3)))
    assert len(structures.read_structure(path, chain="B").domain) == 3
    out = malven_cmd("chains", path, cwd=tmp_path)
    assert out.returncode == 0 and "CHAINLONGNAME" in out.stdout, out.stderr
    # In a folder it is read like any other file.
    db = tmp_path / "db"
    db.mkdir()
    (db / "long.cif").write_text(path.read_text())
    helix_pdb(db / "helix.pdb")
    proc = malven_cmd("scan", db / "helix.pdb", "db", "--no-prefilter", cwd=tmp_path)
    assert proc.returncode == 0 and "long" in proc.stdout and not proc.stderr, proc.stderr


# ---- columns, models, chains and folders ------------------------------------------------------

@pytest.mark.parametrize("missing", ["Cartn_x", "Cartn_y", "Cartn_z"])
def test_a_missing_coordinate_column_is_named(tmp_path, missing):
    items = tuple(i for i in CIF_ITEMS if i != missing)
    path = tmp_path / "partial.cif"
    path.write_text(cif_text([cif_ca(k, k, "A", 3.8 * k, items=items) for k in (1, 2)], items))
    with pytest.raises(structures.UnreadableStructure) as info:
        structures.read_structure(path)
    assert str(info.value) == (f"cannot read a structure from {path}: the atom table "
                               f"(_atom_site) has no {missing} column")


@pytest.mark.parametrize("fmt", ["pdb", "cif"])
def test_models_numbered_zero_or_below_are_read_when_asked_for(tmp_path, fmt):
    models = {0: 3, -2: 5}
    if fmt == "pdb":
        text = "".join(f"MODEL     {number:>4}\n" +
                       "".join(ca_line(k, k, f"{3.8 * k:8.3f}") for k in range(1, n + 1)) +
                       "ENDMDL\n" for number, n in models.items())
    else:
        text = cif_text([cif_ca(k, k, "A", 3.8 * k, model=number)
                         for number, n in models.items() for k in range(1, n + 1)])
    path = tmp_path / f"models.{fmt}"
    path.write_text(text)
    assert structures.read_structure(path).model == 0
    for number, n in models.items():
        s = structures.read_structure(path, model=number)
        assert (s.model, len(s.domain)) == (number, n)
        out = malven_cmd("chains", path, "--model", str(number), "--json", cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        assert f'"model": {number}' in out.stdout


def test_reading_mmcif_again_and_again_keeps_memory_flat(tmp_path):
    # PyPy kept every structure read (each array gemmi returned held it): 170 KB a read of a
    # 1,100-atom file, 200 MB over the 1,200 reads between the two looks below.
    # The file is written here as 5eep is built, 1,120 atoms in 140 residues. Between full
    # collections PyPy's heap grows by some 70 MB over 1,200 reads and never gives it back,
    # though nothing stays alive: the reads collect every hundred, as a leak survives that.
    atoms = (("N", "N"), ("C", "CA"), ("C", "C"), ("O", "O"), ("C", "CB"), ("C", "CG"),
             ("C", "CD"), ("N", "NE"))
    rows = [cif_ca(8 * r + k, r, "A", x + 0.4 * k).replace(" C CA ", f" {element} {name} ")
            for r, (x, _, _) in enumerate(helix(140), start=1)
            for k, (element, name) in enumerate(atoms)]
    (tmp_path / "helix.cif").write_text(cif_text(rows))
    code = ("import gc\n"
            "from keldascope import structures\n"
            "def rss():\n"
            "    gc.collect()\n"
            "    return next(int(line.split()[1]) for line in open('/proc/self/status')\n"
            "                if line.startswith('VmRSS:')) // 1024\n"
            "def read(n):\n"
            "    for k in range(n):\n"
            f"        structures.read_structure({str(tmp_path / 'helix.cif')!r})\n"
            "        if k % 100 == 99:\n"
            "            gc.collect()\n"
            "read(300)\n"
            "before = rss()\n"
            "read(1200)\n"
            "print(rss() - before)\n")
    out = run_python(code)
    assert int(out.stdout) < 60, f"{out.stdout.strip()} MB more after 1,200 reads"


def test_a_file_of_many_chains_is_read_whole(tmp_path):
    # 200,000 chains of one residue: a search through the chains read so far for every atom
    # took many minutes. Run apart so that a return of it ends in a timeout, not a stalled
    # suite; its time beside gemmi's own is bench/bench_limits.py's "chains" section.
    path = tmp_path / "many.cif"
    path.write_text(cif_text(cif_ca(k, 1, f"C{k:06d}", float(k % 1000)) for k in range(200_000)))
    code = ("from keldascope import structures\n"
            f"s = structures.read_structure({str(path)!r}, chain='C199999')\n"
            "print(len(s.chains), s.chain)\n")
    out = run_python(code, timeout=600)
    assert out.stdout.split() == ["200000", "C199999"], out.stderr


def test_symlinked_folders_are_searched_once(tmp_path):
    db = tmp_path / "db"
    (db / "real").mkdir(parents=True)
    helix_pdb(db / "top.pdb")
    helix_pdb(db / "real" / "inner.pdb")
    outside = tmp_path / "outside"
    outside.mkdir()
    helix_pdb(outside / "linked.pdb")
    os.symlink(outside, db / "link")
    os.symlink(db, db / "real" / "loop")       # a way back up: a loop
    os.symlink(db / "real", db / "again")      # a second way to a folder
    found = [os.path.relpath(p, db) for p, _ in structures.find_structure_files([str(db)])]
    assert sorted(found) == ["again/inner.pdb", "link/linked.pdb", "top.pdb"]
