"""Structure files as the toolkit reads and writes them: PDB and mmCIF, plain or gzipped (told
apart by their content), one chain of one model as a `malven.Domain` with the residue numbers
of the file, failures as one exception that names the file, the structure files found under
directories, and superposed copies written in the format they came in. The core's reader
reads every file, for every command as for `createdb`; gemmi serves what the core does not
do: gemmi objects handed in, biological assemblies and the rewriting of mmCIF files. gemmi
is optional (PyPI has no PyPy wheel of it): without it those three fail with MissingLibrary
and everything else works."""
import contextlib
import gzip
import os
import platform
import stat
from dataclasses import dataclass

import malven
import numpy as np

from keldascope import _native
from keldascope.outputs import atomic_output

# Files picked up inside a directory: PDB, the wwPDB archive's .ent, mmCIF, each also gzipped.
PDB_SUFFIXES = (".pdb", ".ent")
CIF_SUFFIXES = (".cif", ".mmcif")
STRUCTURE_SUFFIXES = tuple(s + gz for s in PDB_SUFFIXES + CIF_SUFFIXES for gz in ("", ".gz"))

PDB = "pdb"
MMCIF = "mmcif"

# gemmi's element number of calcium, whose ions are named CA like a C-alpha.
CALCIUM = 20

IS_PYPY = platform.python_implementation() == "PyPy"


class MissingLibrary(ImportError):
    """A feature needs an optional library that cannot be imported; the message says which
    feature, and what to install, on one line."""


def need_gemmi(what):
    """The gemmi module, or MissingLibrary saying that `what` (a feature, as the message's
    subject) needs it."""
    try:
        import gemmi
    except ImportError as exc:
        why = "which is not installed" if isinstance(exc, ModuleNotFoundError) and \
            exc.name == "gemmi" else f"which cannot be imported ({exc})"
        raise MissingLibrary(f"{what} needs gemmi, {why}: pip install gemmi") from None
    return gemmi


class UnreadableStructure(ValueError):
    """A structure file that cannot be read; `path` is the file as the caller named it and
    the message says why, naming it."""

    def __init__(self, path, message):
        super().__init__(path, message)
        self.path = path
        self.message = message

    def __str__(self):
        return self.message


@dataclass(frozen=True, repr=False)
class Structure:
    """One chain of one model of a structure file: the domain, its residue labels (author
    residue numbers with insertion codes), the file's format ("pdb" or
    "mmcif") and whether it is gzipped, the chain's name (author chain id; for a PDB file's
    blank chain with segment ids, the segment id), the model read (its number in the file),
    and the model's chains with C-alpha atoms as (name, length) pairs."""
    path: str
    domain: malven.Domain
    labels: tuple
    format: str = PDB
    compressed: bool = False
    chain: str = ""
    model: int = 1
    chains: tuple = ()

    def __repr__(self):
        return (f"Structure(path={self.path!r}, chain={self.chain!r}, model={self.model}, "
                f"residues={len(self.domain)}, format={self.format!r})")

    @property
    def name(self):
        return self.domain.id

    def describe(self):
        return {"path": self.path, "id": self.domain.id, "chain": self.chain or self.domain.chain,
                "length": len(self.domain), "format": self.format, "model": self.model}


def residue_labels(domain):
    """The residue labels of a `malven.Domain`, in residue order."""
    return _native.residue_labels(domain)


def _check_readable(path):
    """Name the path and the system's reason when a file cannot be opened; the reader's own
    message for this case says nothing of the path."""
    if os.path.isdir(path):
        raise UnreadableStructure(path, f"{path}: is a directory, not a structure file")
    try:
        with open(path, "rb"):
            pass
    except OSError as exc:
        raise UnreadableStructure(path, f"cannot open {path}: {exc.strerror or exc}")


def _unreadable(path, reason):
    return UnreadableStructure(path, f"cannot read a structure from {path}: {reason}")


def _plain_name(path):
    name = os.fspath(path).lower()
    return name[:-3] if name.endswith(".gz") else name


@contextlib.contextmanager
def _reading(path):
    """The core reader's failures as UnreadableStructure naming the file, once it is known
    to open."""
    _check_readable(path)
    try:
        yield
    except OSError as exc:
        raise UnreadableStructure(path, f"cannot read {path}: {exc}")
    except ValueError as exc:
        if isinstance(exc, UnreadableStructure):
            raise
        raise _unreadable(path, str(exc))


def _load(path):
    """(format, compressed, text) of one file, its text decompressed, by the core's reader."""
    with _reading(path):
        return _native.read_structure_text(path)


def _one_line(exc):
    """gemmi's message on one line (some span several)."""
    return "; ".join(line.strip() for line in str(exc).splitlines() if line.strip())


def _cif_document(path, text):
    """The parsed mmCIF file (gemmi), with at least one data block."""
    gemmi = need_gemmi(f"writing a superposed copy of the mmCIF file {path}")
    try:
        doc = gemmi.cif.read_string(text) if text is not None else gemmi.cif.read_file(path)
    except (RuntimeError, ValueError) as exc:
        raise _unreadable(path, f"mmCIF parse error: {_one_line(exc)}")
    if len(doc) == 0:
        raise _unreadable(path, "no mmCIF data block")
    return doc


def _flat_rows(gemmi, st):
    """The atoms named CA as (numbers, residue names, chains) from gemmi's flat arrays, a few
    calls whatever the size. RuntimeError when a name is too long for their 8 bytes."""
    flat = gemmi.FlatStructure(st)
    names = np.asarray(flat.atom_names)
    rows = np.nonzero((names[:, 0] == ord("C")) & (names[:, 1] == ord("A")) &
                      (names[:, 2] == 0))[0]
    xyz = np.asarray(flat.pos, dtype=np.float64)[rows].reshape(-1, 3)
    # gemmi keeps B-factors in single precision: rounded to three decimals they are the
    # file's values again, so a threshold cuts an mmCIF file where it cuts the PDB file.
    b = np.round(np.asarray(flat.b_iso, dtype=np.float64)[rows], 3)
    numbers = np.column_stack([
        np.asarray(flat.het_flags)[rows] == ord("H"),
        np.asarray(flat.elements)[rows] == CALCIUM,
        np.maximum(np.asarray(flat.altlocs)[rows], 0),
        np.maximum(np.asarray(flat.icodes)[rows], 0),
        np.asarray(flat.resnums)[rows], xyz, b,
        np.asarray(flat.model_num)[rows]]).astype(np.float64)

    def text(array):
        return np.ascontiguousarray(np.asarray(array)[rows], dtype=np.int8).tobytes()

    return numbers, text(flat.residue_names), text(flat.chain_ids)


def _hierarchy_rows(gemmi, st):
    """The same rows from gemmi's hierarchy, its atoms other than those named CA removed
    first in one call, with names as wide as the longest needs: for files whose chain or
    residue names the flat arrays cannot hold, and on PyPy, where every array they return
    leaks about a kilobyte that never comes back (and, before the copy was dropped, the
    whole structure)."""
    gemmi.Selection("/*/*/*/CA").remove_not_selected(st)
    found = [(model, chain, residue, atom)
             for model in st for chain in model for residue in chain for atom in residue]
    numbers = np.zeros((len(found), 10))
    residue_names, chains = [], []
    for k, (model, chain, residue, atom) in enumerate(found):
        p = atom.pos
        seqid = residue.seqid
        numbers[k] = (residue.het_flag == "H", atom.element.atomic_number == CALCIUM,
                      ord(atom.altloc), ord(seqid.icode), seqid.num, p.x, p.y, p.z,
                      atom.b_iso, model.num)
        residue_names.append(residue.name.encode("utf-8"))
        chains.append(chain.name.encode("utf-8"))
    numbers[:, 8] = np.round(numbers[:, 8], 3)  # as _flat_rows rounds them

    def fixed(texts):
        width = max([len(t) for t in texts] + [1])
        return b"".join(t.ljust(width, b"\0") for t in texts)

    return numbers, fixed(residue_names), fixed(chains)


def _read(path, chain, model, min_plddt, select, stop_at_ter=False):
    """(format, compressed, native result) for one file."""
    if chain is not None:
        chain = str(chain)
    with _reading(path):
        if stop_at_ter:
            fmt, compressed, text = _native.read_structure_text(path)
            if fmt == PDB:
                return fmt, compressed, _native.read_pdb_chain(
                    path, _up_to_first_ter(text, chain, model), chain, model, min_plddt, select)
        return _native.read_structure_chain(path, chain, model, min_plddt, select)


def _up_to_first_ter(text, chain, model):
    """The PDB text up to the first TER record after the chain's first atom (the first
    atom's chain when none is named; in the model named, if any): what TM-align reads of a
    file. The text unchanged when no TER follows."""
    at = 0
    seen = False
    current = None  # the model of the MODEL record above, None before any
    for line in text.splitlines(keepends=True):
        at += len(line)
        record = line[:6]
        if record == b"MODEL ":
            try:
                current = int(line[6:].split()[0])
            except (IndexError, ValueError):
                current = None
        elif record in (b"ATOM  ", b"HETATM") and (model is None or current == model) and (
                chain is None or line[21:22].decode("latin-1") == chain):
            seen = True
        elif seen and record.rstrip() == b"TER":
            return text[:at]
    return text


def read_structure(path, chain=None, model=None, min_plddt=None, stop_at_ter=False):
    """One chain of one model of a PDB or mmCIF file, plain or gzipped, as a Structure.

    chain: the author chain id (default: the chain of the model's first C-alpha atom).
    model: the model's number in the file (default: the first model with C-alpha atoms).
    min_plddt: leave out residues whose B-factor column (where predicted models keep their
    pLDDT) is below this value. stop_at_ter: read a PDB file only up to the first TER record
    after the chain's first atom, as TM-align does (by default the chain is read past TER
    records, which some files hold within a chain). The C-alpha rules are
    malven.Domain.from_pdb's for every format; left-justified CHARMM names ("CA  ") are read
    too. Failures raise UnreadableStructure naming the file."""
    path = os.fsdecode(path)  # bytes and path objects too; undecodable bytes as escapes
    fmt, compressed, (domain, name, number, chains) = _read(path, chain, model, min_plddt,
                                                            True, stop_at_ter)
    return Structure(path, domain, tuple(residue_labels(domain)), fmt, compressed, name,
                     number, tuple(chains))


def read_domain(path, chain=None, model=None, min_plddt=None):
    """read_structure's domain alone."""
    return read_structure(path, chain, model, min_plddt).domain


def chain_listing(path, model=None):
    """(format, model, chains) of one model of a file (default: the first with C-alpha
    atoms): chains as list_chains gives them."""
    path = os.fsdecode(path)  # bytes and path objects too; undecodable bytes as escapes
    fmt, _, (_, _, number, chains) = _read(path, None, model, None, False)
    if not chains:
        raise _unreadable(path, "no protein chain: no C-alpha atoms (ATOM records named CA)")
    return fmt, number, [tuple(c) for c in chains]


def list_models(path):
    """The numbers of a file's models, in file order (PDB MODEL records, mmCIF's
    pdbx_PDB_model_num of its C-alpha atoms); [1] for a PDB file of one model without them."""
    path = os.fsdecode(path)
    with _reading(path):
        return _native.structure_models(path)


def list_chains(path, model=None):
    """The chains with C-alpha atoms of one model (default: the first that has any) as
    (name, length) pairs, in the order of their first C-alpha atom; the first is the chain
    read_structure reads when none is named."""
    return chain_listing(path, model)[2]


def _regular_file(path):
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return True  # let the reader report why it cannot be read


def find_structure_files(arguments, skipped=None):
    """Expand files and directories: files as given, directories to every PDB and mmCIF file
    below them (.pdb, .ent, .cif, .mmcif, each also .gz; sorted, so that results are
    reproducible), following symbolic links to folders and searching each folder once. Returns (path, explicit) pairs; explicit is False for files found inside a
    directory. Of those, only regular files are taken: a FIFO or a device would block or
    never end; each one left out is appended to `skipped` (when given) as (path, reason). A
    missing argument or a directory without structure files raises UnreadableStructure."""
    found = []
    for arg in arguments:
        if os.path.isdir(arg):
            inside = []
            # Symbolic links to folders are followed; a folder met again (a link to one of
            # its parents, or a second way to it) is not searched again.
            searched = set()
            for top, dirs, files in os.walk(arg, followlinks=True):
                try:
                    info = os.stat(top)
                except OSError:
                    dirs[:] = []
                    continue
                if (info.st_dev, info.st_ino) in searched:
                    dirs[:] = []
                    continue
                searched.add((info.st_dev, info.st_ino))
                dirs.sort()
                for f in sorted(files):
                    if not f.lower().endswith(STRUCTURE_SUFFIXES):
                        continue
                    path = os.path.join(top, f)
                    if _regular_file(path):
                        inside.append(path)
                    elif skipped is not None:
                        skipped.append((path, f"{path}: not a regular file"))
            if not inside:
                raise UnreadableStructure(arg, f"no structure files (.pdb, .ent, .cif, .mmcif, "
                                               f"or these gzipped) in directory {arg}")
            found += [(p, False) for p in inside]
        elif os.path.exists(arg):
            found.append((arg, True))
        else:
            raise UnreadableStructure(arg, f"cannot open {arg}: No such file or directory")
    return found


# ---- writing --------------------------------------------------------------------------------

def superposed_file_name(structure, index=0, prefix="aligned_", compress=False):
    """The file name of a superposed copy: write_all's name for the source (prefix and stem),
    with the suffix of the structure's format, and .gz when compressed."""
    stem_source = structure.path[:-3] if structure.path.lower().endswith(".gz") \
        else structure.path
    name = _native.output_file_name(stem_source, index, prefix)
    if structure.format == MMCIF:
        name = name[:-len(".pdb")] + ".cif"
    return name + (".gz" if compress else "")


def check_output_path(structure, path):
    """Refuse (ValueError) an output path of the other format's suffix, or one that names the
    structure's own file; write_superposed makes the same checks."""
    plain = _plain_name(path)
    wanted = CIF_SUFFIXES if structure.format == MMCIF else PDB_SUFFIXES
    other = PDB_SUFFIXES if structure.format == MMCIF else CIF_SUFFIXES
    if plain.endswith(other):
        kind = "mmCIF" if structure.format == MMCIF else "PDB"
        raise ValueError(f"{structure.path} is {kind}, written in its own format: name the "
                         f"output {wanted[0]} or {wanted[0]}.gz, not {os.path.basename(path)}")
    if os.path.exists(path) and os.path.exists(structure.path) and \
            os.path.samefile(path, structure.path):
        raise ValueError(f"{path} is the input file; superposed copies never overwrite "
                         f"their input")


def _cif_text(structure, transform, text):
    """The mmCIF text with the chosen model's atoms moved and the other models' rows left
    out; every other category as the file has it."""
    doc = _cif_document(structure.path, text)
    block = doc[0]
    xs = block.find_values("_atom_site.Cartn_x")
    if not xs:
        raise _unreadable(structure.path, "no atom table (_atom_site) in the mmCIF file")
    loop = xs.get_loop()
    tags = loop.tags
    columns = [list(block.find_values(tag)) for tag in tags]
    models = block.find_values("_atom_site.pdbx_PDB_model_num")
    if models:
        keep = [k for k, m in enumerate(models) if m == str(structure.model)]
        columns = [[column[k] for k in keep] for column in columns]
    index = {tag.lower(): k for k, tag in enumerate(tags)}
    axes = [index["_atom_site.cartn_" + a] for a in "xyz"]
    try:
        xyz = np.array([[float(v) for v in columns[a]] for a in axes], dtype=float)
    except ValueError as exc:
        raise _unreadable(structure.path, f"a coordinate is not a number ({exc})")
    moved = transform.apply(np.ascontiguousarray(xyz.T.reshape(-1, 3)))
    for a, k in enumerate(axes):
        columns[k] = [f"{v:.3f}" for v in moved[:, a]]
    loop.set_all_values(columns)
    return doc.as_string()


def write_superposed(structure, transform, path, compress=None):
    """Write every atom of the structure's model, moved by `transform` (a malven.Transform),
    in the format of its file: PDB through malven's line-preserving rewriter, mmCIF through
    gemmi with every other category kept; other models are left out. compress=None gzips when
    path ends in .gz. The output never replaces the input file; an output suffix of the other
    format raises ValueError."""
    path = os.fsdecode(path)  # bytes and path objects too; undecodable bytes as escapes
    if compress is None:
        compress = path.lower().endswith(".gz")
    check_output_path(structure, path)
    text = _load(structure.path)[2] if structure.compressed else None
    if structure.format == PDB:
        try:
            data = _native.transform_pdb_model(structure.path, transform, structure.model, text)
        except ValueError as exc:
            raise _unreadable(structure.path, str(exc))
    else:
        data = _cif_text(structure, transform, text).encode("utf-8")
    with atomic_output(path, "wb") as out:
        out.write(gzip.compress(data, mtime=0) if compress else data)
    return path
