"""Structure files as users have them: PDB and mmCIF (converted here with gemmi), plain and
gzipped, read to the same domains; the choice of chain and model, CHARMM names, pLDDT
filtering, failures that name the file, and superposed copies in the format they came in.
Where gemmi is absent the tests of its conversions skip and the rest run."""
import gzip
import os
import pathlib
import shutil

import numpy as np
import pytest

import malven
from conftest import DATA, SHARED, gemmi_or_skip, needs_gemmi, rotation
from keldascope import structures

PDB_DIR = DATA / "pdb"
N_SHARED = 40  # a spread of the shared files keeps the run short


def shared_sample():
    """Every k-th PDB file of the shared data, in path order, at most N_SHARED of them."""
    if not SHARED.is_dir():
        return []
    files = sorted(p for p in SHARED.rglob("*") if p.suffix in (".pdb", ".ent") and p.is_file()
                   and "dssp" not in p.parts)
    step = max(1, len(files) // N_SHARED)
    return files[::step][:N_SHARED]


def to_mmcif(pdb, out):
    """gemmi's conversion of a PDB file, or None for a file gemmi refuses (1hpv's sequence
    numbers in columns 73-80 read as a charge). Skips the test where gemmi is absent."""
    gemmi = gemmi_or_skip()
    try:
        st = gemmi.read_structure(str(pdb))
    except (RuntimeError, ValueError):
        return None
    st.setup_entities()
    st.make_mmcif_document().write_file(str(out))
    return out


def gzipped(path, out):
    out.write_bytes(gzip.compress(pathlib.Path(path).read_bytes()))
    return out


def same_domain(a, b):
    np.testing.assert_array_equal(a.domain.coordinates, b.domain.coordinates)
    assert a.domain.sequence == b.domain.sequence
    assert a.labels == b.labels
    assert len(a.domain) == len(b.domain)


PDB_FILES = sorted(PDB_DIR.glob("*.pdb"))
SHARED_FILES = shared_sample()


@pytest.mark.parametrize("copied", ["gzip", pytest.param("mmcif", marks=needs_gemmi)])
@pytest.mark.parametrize("pdb", PDB_FILES + SHARED_FILES,
                         ids=lambda p: str(p.relative_to(SHARED if SHARED in p.parents else DATA)))
def test_every_format_reads_to_the_same_domain(tmp_path, pdb, copied):
    """The PDB file and its gzip, or gemmi's mmCIF conversion and that gzipped: one domain,
    chain by chain; and the PDB file as malven.Domain.from_pdb reads it."""
    try:
        first = structures.read_structure(pdb)
    except structures.UnreadableStructure as exc:
        with pytest.raises(ValueError):  # the reader of the module refuses it too
            malven.Domain.from_pdb(str(pdb))
        pytest.skip(f"no protein chain: {exc}")
    chains = structures.list_chains(pdb)
    assert chains[0] == (first.chain, len(first.domain))
    if copied == "gzip":
        copies = [gzipped(pdb, tmp_path / (pdb.name + ".gz"))]
    else:
        cif = to_mmcif(pdb, tmp_path / (pdb.stem + ".cif"))
        if cif is None:
            pytest.skip(f"gemmi cannot convert {pdb.name}")
        copies = [cif, gzipped(cif, tmp_path / (pdb.stem + ".cif.gz"))]
    for copy in copies:
        other = structures.read_structure(copy)
        assert (other.format, other.compressed) == \
            ("mmcif" if ".cif" in copy.name else "pdb", copy.suffix == ".gz")
        assert other.domain.id == first.domain.id
        # Chain names agree except where the PDB file has blank chains (named by segment ids
        # here, by gemmi's own rule in its conversion): those compare by the default chain.
        if all(name.strip() and len(name) == 1 for name, _ in chains):
            assert structures.list_chains(copy) == chains
            for name, _ in chains[:3]:
                same_domain(structures.read_structure(pdb, chain=name),
                            structures.read_structure(copy, chain=name))
        else:
            same_domain(first, other)
    if first.chain == first.domain.chain and first.chain != " ":
        module = malven.Domain.from_pdb(str(pdb))
        if len(module) == len(first.domain):  # unless CHARMM names add residues
            np.testing.assert_array_equal(module.coordinates, first.domain.coordinates)
            assert module.sequence == first.domain.sequence
            assert structures.residue_labels(module) == list(first.labels)


# ---- choosing chain and model -----------------------------------------------------------------

@pytest.mark.parametrize("fmt", ["pdb", pytest.param("mmcif", marks=needs_gemmi)])
def test_models_of_an_nmr_entry(tmp_path, fmt):
    pdb = PDB_DIR / "1ni7.pdb"
    path = pdb if fmt == "pdb" else to_mmcif(pdb, tmp_path / "1ni7.cif")
    one, two = (structures.read_structure(path, model=m) for m in (1, 2))
    assert (one.model, two.model, len(two.domain)) == (1, 2, 149)
    assert not np.allclose(one.domain.coordinates, two.domain.coordinates)
    if fmt == "mmcif":
        for m in (2, 20):
            same_domain(structures.read_structure(pdb, model=m),
                        structures.read_structure(path, model=m))
    assert structures.list_chains(path, model=20) == [("A", 149)]
    with pytest.raises(structures.UnreadableStructure, match=f"{path}: no model 21$"):
        structures.read_structure(path, model=21)


def test_chains_listed_in_file_order():
    assert structures.list_chains(PDB_DIR / "1hpv.pdb") == [("A", 99), ("B", 99)]
    s = structures.read_structure(PDB_DIR / "1tii.pdb", chain="H")
    assert (s.chain, s.domain.chain, len(s.domain)) == ("H", "H", 98)
    assert s.chains[0] == ("D", 98)


def ca_line(serial, number, chain="A", b=50.0, name=" CA ", res="ALA", segment="    ", x=0.0):
    return (f"ATOM  {serial:>5} {name} {res} {chain}{number:>4}    {x:8.3f}{1.0:8.3f}{2.0:8.3f}"
            f"  1.00{b:6.2f}      {segment}\n")


@pytest.mark.parametrize("fmt", ["pdb", pytest.param("mmcif", marks=needs_gemmi)])
def test_min_plddt_in_pdb_and_mmcif(tmp_path, fmt):
    """A predicted model keeps its pLDDT in the B-factor column: residues below the threshold
    are left out, in either format, and the labels say which ones remain."""
    pdb = tmp_path / "model.pdb"
    pdb.write_text("".join(ca_line(k, k, b=b, x=3.8 * k)
                           for k, b in enumerate((95.0, 40.0, 70.0, 69.9, 88.0), start=1)))
    path = pdb if fmt == "pdb" else to_mmcif(pdb, tmp_path / "model.cif")
    assert structures.read_structure(path, min_plddt=70).labels == ("1", "3", "5")
    assert len(structures.read_structure(path).domain) == 5
    with pytest.raises(structures.UnreadableStructure,
                       match="no residue of chain 'A' has a B-factor .pLDDT. of at least 99"):
        structures.read_structure(path, min_plddt=99)


def test_charmm_names_and_segment_ids(tmp_path):
    """CHARMM and NAMD write "CA  " from column 13 and leave the chain blank, naming segments
    in columns 73-76 instead; a calcium ion written the same way is not a C-alpha."""
    path = tmp_path / "charmm.pdb"
    path.write_text(ca_line(1, 1, " ", name="CA  ", segment="PROA")
                    + ca_line(2, 2, " ", name="CA  ", segment="PROA", x=3.8)
                    + ca_line(3, 3, " ", name="CA  ", res="CAL", segment="ION ", x=9.0)
                    + ca_line(4, 4, " ", name="CA  ", res=" CA", segment="ION ")
                    + ca_line(5, 1, " ", name="CA  ", segment="PROB"))
    assert structures.list_chains(path) == [("PROA", 2), ("ION", 1), ("PROB", 1)]
    s = structures.read_structure(path)
    assert (s.chain, s.domain.chain, s.labels) == ("PROA", " ", ("1", "2"))
    assert structures.read_structure(path, chain="PROB").labels == ("1",)


@pytest.mark.skipif(not (SHARED / "mdanalysis" / "adk_open.pdb").exists(),
                    reason="shared data absent")
def test_charmm_file_reads():
    s = structures.read_structure(SHARED / "mdanalysis" / "adk_open.pdb")
    # 214 residues of adenylate kinase 4AKE (MANIFEST.tsv), segment 4AKE.
    assert (s.chain, len(s.domain), s.domain.sequence[:6]) == ("4AKE", 214, "MRIILL")


@pytest.mark.parametrize("source, name, packed", [
    pytest.param("mmcif", "as_pdb.pdb", False, marks=needs_gemmi),
    ("pdb", "as_cif.cif", False),
    pytest.param("mmcif", "no_suffix", False, marks=needs_gemmi),
    # gzip magic, whatever the name
    pytest.param("mmcif", "packed.cif", True, marks=needs_gemmi),
    ("pdb", "packed.cif", True),
])
def test_format_by_content_not_suffix(tmp_path, source, name, packed):
    pdb = PDB_DIR / "5eep.pdb"
    reference = structures.read_structure(pdb)
    path = pdb if source == "pdb" else to_mmcif(pdb, tmp_path / "x.cif")
    if packed:
        gzipped(path, tmp_path / name)
    else:
        shutil.copy(path, tmp_path / name)
    s = structures.read_structure(tmp_path / name)
    assert (s.format, s.compressed) == (source, packed)
    same_domain(reference, s)


# ---- failures name the file --------------------------------------------------------------------

def truncated_gzip(tmp_path):
    data = gzip.compress((PDB_DIR / "1sp1.pdb").read_bytes())
    path = tmp_path / "cut.pdb.gz"
    path.write_bytes(data[:len(data) // 2])
    return path


def corrupt_gzip(tmp_path):
    data = bytearray(gzip.compress((PDB_DIR / "1sp1.pdb").read_bytes()))
    data[20:40] = b"\xff" * 20
    path = tmp_path / "bad.cif.gz"
    path.write_bytes(bytes(data))
    return path


def damaged_late(cut):
    """A gzipped mmCIF file damaged past the part read to tell its format: cut short, or
    with bytes overwritten; gemmi meets the damage first."""
    def make(tmp_path):
        cif = to_mmcif(PDB_DIR / "1tii.pdb", tmp_path / "whole.cif")
        data = bytearray(gzip.compress(cif.read_bytes()))
        middle = len(data) * 3 // 4
        path = tmp_path / "late.cif.gz"
        if cut:
            path.write_bytes(bytes(data[:middle]))
        else:
            data[middle:middle + 64] = b"\x00" * 64
            path.write_bytes(bytes(data))
        return path
    return make


def truncated_mmcif(tmp_path):
    text = to_mmcif(PDB_DIR / "5eep.pdb", tmp_path / "whole.cif").read_text()
    cut = text.index("\nATOM", len(text) // 2) + 20  # inside an atom row
    path = tmp_path / "cut.cif"
    path.write_text(text[:cut])
    return path


def write(name, text):
    def make(tmp_path):
        path = tmp_path / name
        path.write_bytes(text if isinstance(text, bytes) else text.encode())
        return path
    return make


CIF_ITEMS = ("group_PDB", "id", "type_symbol", "label_atom_id", "label_alt_id", "label_comp_id",
             "label_asym_id", "label_entity_id", "label_seq_id", "pdbx_PDB_ins_code", "Cartn_x",
             "Cartn_y", "Cartn_z", "occupancy", "B_iso_or_equiv", "auth_seq_id", "auth_asym_id",
             "pdbx_PDB_model_num")


def cif_atoms(*rows):
    """An mmCIF file of the given _atom_site rows, with the items gemmi writes."""
    return "data_x\nloop_\n" + "".join(f"_atom_site.{item}\n" for item in CIF_ITEMS) + \
        "".join(row + "\n" for row in rows)


@pytest.mark.parametrize("make, reason", [
    (truncated_gzip, "truncated gzip file"),
    pytest.param(truncated_mmcif, "mmCIF parse error", marks=needs_gemmi),
    pytest.param(damaged_late(cut=True), "truncated gzip file", marks=needs_gemmi),
    pytest.param(damaged_late(cut=False), "corrupt gzip data", marks=needs_gemmi),
    (corrupt_gzip, "corrupt gzip data"),
    (write("broken.cif", "data_x\nloop_\n_atom_site.id\n_atom_site.Cartn_x\n1 2 3\n'open"),
     "mmCIF parse error"),
    (write("empty.cif", ""), "empty file"),
    (write("comments.cif", "# nothing but a comment\n"), "mmCIF parse error: no data block"),
    (write("nosite.cif", "data_x\n_cell.length_a 10\n"), "no protein chain: no atoms"),
    (write("water.cif", cif_atoms("HETATM 1 O O . HOH B 2 . ? 1.0 2.0 3.0 1 20.0 1 A 1")),
     "no protein chain: no C-alpha atoms"),
    (write("badxyz.cif", cif_atoms("ATOM 1 C CA . ALA A 1 7 ? 1.0 ? 3.0 1 20.0 7 A 1")),
     "no coordinates for the C-alpha atom of residue 7 in chain 'A'"),
    (write("water.pdb", "HETATM    1  O   HOH A   1       0.000   0.000   0.000\n"),
     "no protein chain: no C-alpha atoms"),
    (write("binary.pdb", b"ATOM \xff\xfe\n"), "I/O error: stream did not contain valid UTF-8"),
    (write("ok.pdb", ca_line(1, 1)), None),
])
def test_unreadable_files_say_why_naming_the_file(tmp_path, make, reason):
    path = make(tmp_path)
    if reason is None:
        with pytest.raises(structures.UnreadableStructure, match=r"no chain 'Q'; the chains are A$"):
            structures.read_structure(path, chain="Q")
        return
    with pytest.raises(structures.UnreadableStructure) as info:
        structures.read_structure(path)
    message = str(info.value)
    assert message.startswith(f"cannot read a structure from {path}: ") and reason in message
    assert "\n" not in message and info.value.path == str(path)


# ---- writing ----------------------------------------------------------------------------------

def atom_count(gemmi, path, model_index=0):
    return gemmi.read_structure(str(path))[model_index].count_atom_sites()


@pytest.mark.parametrize("source, model, out", [
    ("5eep.pdb", None, "moved.pdb"),
    ("5eep.pdb", None, "moved.pdb.gz"),
    ("5eep.cif", None, "moved.cif"),
    ("1ni7.cif.gz", 3, "moved.cif.gz"),
    ("1ni7.pdb.gz", 3, "moved.ent"),
])
def test_superposed_copies_keep_format_and_model(tmp_path, rng, source, model, out):
    gemmi = gemmi_or_skip()  # the independent reader that counts the atoms written
    stem = source.split(".")[0]
    pdb = PDB_DIR / f"{stem}.pdb"
    cif = to_mmcif(pdb, tmp_path / f"{stem}.cif")
    if source.endswith(".pdb.gz"):
        gzipped(pdb, tmp_path / source)
    elif source.endswith(".cif.gz"):
        gzipped(cif, tmp_path / source)
    src = tmp_path / source if (tmp_path / source).exists() else pdb
    s = structures.read_structure(src, model=model)
    motion = malven.Transform.from_matrix(rotation(rng.normal(size=3), rng.uniform(0.5, 2.5)),
                                          rng.uniform(-30, 30, 3))
    written = structures.write_superposed(s, motion, tmp_path / out)
    back = structures.read_structure(written)
    assert (back.format, back.compressed) == (s.format, out.endswith(".gz"))
    np.testing.assert_allclose(back.domain.coordinates, motion.apply(s.domain.coordinates),
                               atol=1e-3)
    assert back.labels == s.labels and back.domain.sequence == s.domain.sequence
    # Every atom of the model read, and no other model.
    expected = atom_count(gemmi, src, (model or 1) - 1)
    assert len(gemmi.read_structure(str(written))) == 1
    assert atom_count(gemmi, written) == expected


def test_superposed_copies_refuse_the_input_and_the_other_format(tmp_path):
    shutil.copy(PDB_DIR / "1sp1.pdb", tmp_path / "a.pdb")
    s = structures.read_structure(tmp_path / "a.pdb")
    before = (tmp_path / "a.pdb").read_bytes()
    for out, message in ((tmp_path / "a.pdb", "is the input file"),
                         (tmp_path / "a.cif", "is PDB, written in its own format")):
        with pytest.raises(ValueError, match=message):
            structures.write_superposed(s, malven.Transform(), out)
    assert (tmp_path / "a.pdb").read_bytes() == before and not (tmp_path / "a.cif").exists()
    assert structures.superposed_file_name(s, 0) == "aligned_a.pdb"


def test_superposed_mmcif_copies_are_named_cif(tmp_path):
    cif = structures.read_structure(to_mmcif(PDB_DIR / "1sp1.pdb", tmp_path / "b.cif"))
    assert structures.superposed_file_name(cif, 1, compress=True) == "aligned_b.cif.gz"


def test_directories_pick_up_every_format(tmp_path):
    for name in ("a.pdb", "b.ent.gz", "c.cif", "d.mmCIF.gz", "e.txt", "f.gz"):
        (tmp_path / name).write_text("")
    found = structures.find_structure_files([str(tmp_path)])
    assert [os.path.basename(p) for p, _ in found] == ["a.pdb", "b.ent.gz", "c.cif", "d.mmCIF.gz"]


@pytest.mark.parametrize("name", ["5eep.pdb", "1tii.pdb", "il2.pdb"])
def test_single_model_pdb_copies_are_malvens_rewrite(tmp_path, name):
    """For a file of one model the toolkit's writer gives the bytes of
    malven.transform_pdb_file: the same rewriter, every chain moved."""
    motion = malven.Transform.from_matrix(rotation([1, 2, 3], 0.7), np.array([5.0, -3.0, 1.5]))
    s = structures.read_structure(PDB_DIR / name)
    structures.write_superposed(s, motion, tmp_path / "toolkit.pdb")
    malven.transform_pdb_file(str(PDB_DIR / name), str(tmp_path / "module.pdb"), motion)
    assert (tmp_path / "toolkit.pdb").read_bytes() == (tmp_path / "module.pdb").read_bytes()
