"""Whatever a caller holds, turned into the toolkit's structures in one place: paths, folders,
FILE:CHAIN names, Structures, malven.Domains, coordinate arrays of any real dtype, biotite
AtomArrays and gemmi Structures, alone or in lists mixing them; unreadable files skipped
with a warning or raised, as the caller chooses."""
import os
import warnings
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

import malven
import numpy as np

from keldascope import _native
from keldascope.structures import (IS_PYPY, MMCIF, PDB, STRUCTURE_SUFFIXES, Structure,
                                   UnreadableStructure, _flat_rows, _hierarchy_rows,
                                   find_structure_files, list_chains, need_gemmi,
                                   read_structure, residue_labels)

ERRORS = ("warn", "ignore", "raise")


class UnreadableStructureWarning(UserWarning):
    """A structure file left out of a job over many structures because it cannot be read."""


def split_chain(text):
    """(path, chain) of FILE or FILE:CHAIN. A path that exists is a file even when it holds a
    colon; otherwise the text after the last colon is the chain when it is no path
    component. chain is None when the text names none."""
    text = os.fsdecode(text)
    if os.path.exists(text) or ":" not in text:
        return text, None
    path, _, chain = text.rpartition(":")
    if not path or not chain or "/" in chain or any(c.isspace() for c in chain):
        return text, None
    return path, chain


def short_names(paths, chains=None):
    """A name per structure that tells them apart: the shortest tail of its path (its last
    components) that no other file shares, with ":CHAIN" when a chain is given; the same
    file under two chains differs by the chain. Paths are taken as given, normalised."""
    parts = [tuple(os.path.normpath(os.fsdecode(p)).split(os.sep)) for p in paths]
    depth = [1] * len(parts)
    pending = set(range(len(parts)))
    while pending:
        # Which distinct files end with each tail of the depth asked for: only tails shared
        # by two files need a longer one.
        owners = {}
        depths = {depth[i] for i in pending}
        for whole in parts:
            for d in depths:
                owners.setdefault(whole[-d:], set()).add(whole)
        pending = {i for i in pending
                   if len(owners[parts[i][-depth[i]:]]) > 1 and depth[i] < len(parts[i])}
        for i in pending:
            depth[i] += 1
    names = [os.path.join(*whole[-d:]) if whole[-d:] != ("",) else os.sep
             for whole, d in zip(parts, depth)]
    if chains is None:
        return names
    return [f"{n}:{c}" if c and c.strip() else n for n, c in zip(names, chains)]


# ---- arrays and the structures of other libraries ---------------------------------------

def coordinates(values, what="coordinates"):
    """An (N, 3) float64 array of `values` (any real dtype: float32 from biotite or
    MDAnalysis, integers), C-contiguous; TypeError or ValueError saying what was expected."""
    try:
        array = np.asarray(values)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{what} must be an (N, 3) array of real numbers ({exc})")
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{what} must be an (N, 3) array of real numbers (float or integer), "
                        f"not of dtype {array.dtype}")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"{what} must be an (N, 3) array, not one of shape {array.shape}")
    return np.ascontiguousarray(array, dtype=np.float64)


def from_arrays(coords, sequence=None, name="coordinates", chain="A"):
    """A Structure of C-alpha coordinates: `coords` an (N, 3) array of any real dtype
    (converted to float64), `sequence` one letter per residue (default all 'X'); residues
    are numbered from 1. Returns a Structure; TypeError or ValueError for anything else."""
    xyz = coordinates(coords)
    if sequence is None:
        sequence = "X" * len(xyz)
    sequence = str(sequence)
    if len(sequence) != len(xyz):
        raise ValueError(f"{len(xyz)} coordinates but {len(sequence)} sequence letters")
    domain = malven.Domain.from_arrays(str(name), xyz, sequence, chain)
    return Structure("", domain, tuple(residue_labels(domain)), PDB, False, str(chain), 1,
                     ((str(chain), len(xyz)),))


def _fixed_text(values):
    texts = [str(v).encode("utf-8") for v in values]
    width = max([len(t) for t in texts] + [1])
    return b"".join(t.ljust(width, b"\0") for t in texts)


def _code_points(values):
    return np.array([ord(v[0]) if v else 0 for v in (str(x) for x in values)], dtype=float)


def _structure(name, numbers, residue_names, chains, chain, model, fmt):
    try:
        domain, found, number, listed = _native.read_atom_table_chain(
            name, numbers, residue_names, chains, chain, model, None, True)
    except ValueError as exc:
        raise UnreadableStructure(name, f"cannot read a structure from {name}: {exc}")
    return Structure("", domain, tuple(residue_labels(domain)), fmt, False, found, number,
                     tuple(listed))


def from_biotite(atoms, chain=None, model=None, name=None):
    """A Structure of one chain of a biotite AtomArray (or of one model of an AtomArrayStack,
    `model` counted from 1, default the first), under the C-alpha rules of every reader:
    `keldascope.from_biotite(biotite.structure.io.load_structure("1mbn.cif"))`. chain: the
    chain id (default the first chain's). Coordinates of any dtype (biotite keeps float32)
    are converted. Returns a Structure."""
    number = 1
    if getattr(atoms, "stack_depth", None) is not None:  # an AtomArrayStack: pick a model
        number = 1 if model is None else int(model)
        if not 1 <= number <= atoms.stack_depth():
            raise ValueError(f"model {number} is not between 1 and {atoms.stack_depth()}")
        atoms = atoms[number - 1]
        model = None
    ca = atoms[atoms.atom_name == "CA"]
    n = len(ca)
    annotations = set(ca.get_annotation_categories())

    def column(key, default):
        return getattr(ca, key) if key in annotations else [default] * n

    numbers = np.column_stack([
        np.asarray(column("hetero", False), dtype=float),
        np.asarray(column("element", "C")) == "CA",
        _code_points(column("altloc_id", "")) * (np.asarray(column("altloc_id", ".")) != "."),
        _code_points(column("ins_code", "")),
        np.asarray(ca.res_id, dtype=float),
        coordinates(ca.coord) if n else np.zeros((0, 3)),
        np.asarray(column("b_factor", 0.0), dtype=float),
        np.full(n, number, dtype=float)]).astype(np.float64) if n else np.zeros((0, 10))
    return _structure(name or "AtomArray", numbers, _fixed_text(column("res_name", "UNK")),
                      _fixed_text(column("chain_id", "A")), chain, model, PDB)


def from_gemmi(st, chain=None, model=None):
    """A Structure of one chain of one model of a gemmi.Structure, under the C-alpha rules of
    every reader: `keldascope.from_gemmi(gemmi.read_structure("1mbn.cif"))`. chain: the
    author chain id (default the first chain's); model: its number (default the first with
    C-alpha atoms). The gemmi structure is left unchanged. Returns a Structure."""
    gemmi = need_gemmi("from_gemmi")

    name = st.name or "gemmi.Structure"
    rows = _hierarchy_rows(gemmi, st.clone()) if IS_PYPY else None
    if rows is None:
        try:
            rows = _flat_rows(gemmi, st)
        except RuntimeError:  # names too long for gemmi's flat arrays
            rows = _hierarchy_rows(gemmi, st.clone())
    # The format gemmi read it from; a structure built in memory (Unknown) is mmCIF's model.
    pdb = getattr(getattr(gemmi, "CoorFormat", None), "Pdb", None)
    fmt = PDB if pdb is not None and getattr(st, "input_format", None) == pdb else MMCIF
    return _structure(name, *rows, None if chain is None else str(chain), model, fmt)


def _kind(item):
    """Which of the other libraries' structures `item` is: "biotite", "gemmi" or None."""
    module = type(item).__module__ or ""
    if module.startswith("biotite") and hasattr(item, "atom_name"):
        return "biotite"
    if module.startswith("gemmi") and type(item).__name__ == "Structure":
        return "gemmi"
    return None


# ---- many structures ----------------------------------------------------------------------

@dataclass(frozen=True)
class Entry:
    """One structure to read or already held: a file (path and chain) or an object."""
    path: Optional[str] = None
    chain: Optional[str] = None
    held: object = None


@dataclass
class Resolved:
    """The structures a job runs on, in input order, and the files left out as (path,
    reason)."""
    structures: List[Structure]
    skipped: List[Tuple[str, str]] = field(default_factory=list)


def _is_one_path(item):
    return isinstance(item, (str, bytes, os.PathLike))


def _pair(item):
    """(path, chain) for a (path, chain) pair or a (path, explicit) row of
    find_structure_files; None for any other tuple (a tuple of two files)."""
    if not (isinstance(item, tuple) and len(item) == 2 and _is_one_path(item[0])):
        return None
    second = item[1]
    if second is None or isinstance(second, (bool, np.bool_)):
        return os.fsdecode(item[0]), None
    # A chain name holds no path separator and is no structure file's name.
    if isinstance(second, str) and os.sep not in second and \
            not second.lower().endswith(STRUCTURE_SUFFIXES):
        return os.fsdecode(item[0]), second
    return None


def _is_database(item):
    # A keldascope.Database (built above this module, so known by what it does).
    return callable(getattr(item, "structures", None)) and hasattr(item, "search_one")


def items_of(items):
    """The top-level items: one structure, path or database alone (a database iterates
    over its entries' names, which are no paths), or the members of a list."""
    if _is_one_path(items) or isinstance(items, (Structure, malven.Domain)) or \
            _kind(items) or _pair(items) is not None or _is_database(items) or \
            (isinstance(items, np.ndarray) and items.ndim == 2):
        return [items]
    if isinstance(items, np.ndarray) and items.ndim != 3:
        raise ValueError(f"coordinates must be an (N, 3) array or a stack of them, not one of "
                         f"shape {items.shape}")
    return list(items)


def _numbers(item):
    """Whether a nested list holds numbers only (one coordinate array)."""
    try:
        return bool(item) and np.asarray(item).dtype.kind in "fiu"
    except ValueError:  # ragged: a list of lists of files
        return False


def _entries(item, special):
    """The entries one item names, in order: a folder expanded (its files that are not
    regular files appended to `special`), FILE:CHAIN split. A path that does not exist
    raises UnreadableStructure; an item of another type TypeError."""
    pair = _pair(item)
    if pair is not None:
        path, chain = pair
    elif _is_one_path(item):
        path, chain = split_chain(item)
    elif isinstance(item, (Structure, malven.Domain, np.ndarray)) or _kind(item):
        return [Entry(held=item)]
    elif isinstance(item, (list, tuple)) and _numbers(item):
        return [Entry(held=np.asarray(item))]  # nested lists of numbers: one array
    elif isinstance(item, (list, tuple)):  # a nested list: its members in order
        return [entry for member in item for entry in _entries(member, special)]
    elif _is_database(item):  # its entries, each read from the database
        return [Entry(held=structure) for structure in item.structures()]
    else:
        raise TypeError(f"expected structure files, folders, FILE:CHAIN names, Structures, "
                        f"malven.Domains or (N, 3) coordinate arrays, not "
                        f"{type(item).__name__}")
    if os.path.isdir(path):
        return [Entry(found, chain) for found, _ in find_structure_files([path], special)]
    if not os.path.exists(path):
        raise UnreadableStructure(path, f"cannot open {path}: No such file or directory")
    return [Entry(path, chain)]


def file_sources(items):
    """(path, chain, explicit) of every file `items` names, for runs that read the files
    where they run (Dask workers): one path, a folder (its files have explicit False), a
    FILE:CHAIN name, a (path, chain) pair, or a list of them. A path that does not exist is
    left for the reader to report; structures in memory raise TypeError."""
    out = []
    for item in items_of(items):
        pair = _pair(item)
        if pair is None and not _is_one_path(item):
            raise TypeError(f"runs that read their files where they run take paths, folders "
                            f"and FILE:CHAIN names, not {type(item).__name__}")
        path, chain = pair if pair is not None else split_chain(item)
        if os.path.isdir(path):
            out += [(found, chain, False) for found, _ in find_structure_files([path])]
        else:
            out.append((path, chain, True))
    return out


def as_structure(item, chain=None, model=None, min_plddt=None):
    """A Structure from a Structure, a malven.Domain, a file path (FILE or FILE:CHAIN), an
    (N, 3) coordinate array, a biotite AtomArray or a gemmi.Structure."""
    if isinstance(item, Structure):
        return item
    if isinstance(item, malven.Domain):
        return Structure(item.pdb_file, item, tuple(residue_labels(item)))
    kind = _kind(item)
    if kind == "biotite":
        return from_biotite(item, chain, model)
    if kind == "gemmi":
        return from_gemmi(item, chain, model)
    if _is_one_path(item):
        path, named = split_chain(item) if chain is None else (os.fsdecode(item), chain)
        return read_structure(path, named, model, min_plddt)
    if isinstance(item, np.ndarray):
        return from_arrays(item, name="coordinates")
    raise TypeError(f"expected a Structure, a malven.Domain, a file path, an (N, 3) "
                    f"coordinate array, a biotite AtomArray or a gemmi.Structure, not "
                    f"{type(item).__name__}")


def _file_entries(entries, all_chains, skip):
    """Each file entry, or with all_chains one entry per protein chain of a file that names
    none."""
    for entry in entries:
        if not all_chains or entry.path is None or entry.chain is not None:
            yield entry
            continue
        try:
            chains = list_chains(entry.path)
        except UnreadableStructure as exc:
            skip(entry.path, exc)
            continue
        for name, _ in chains:
            yield Entry(entry.path, name)


def check_errors(errors):
    if errors not in ERRORS:
        raise ValueError(f"errors must be one of {', '.join(map(repr, ERRORS))}, not "
                         f"{errors!r}")


def resolve(items, *, errors="warn", all_chains=False, model=None, min_plddt=None):
    """The structures `items` names, in order: one path (a bare string is one path, never
    its characters), a folder (every PDB and mmCIF file below it), FILE:CHAIN, a (path,
    chain) pair, a Structure, a malven.Domain, an (N, 3) coordinate array of any real dtype,
    a biotite AtomArray or a gemmi.Structure, or a list (or stack of arrays) mixing them.
    A file that cannot be read is left out with an UnreadableStructureWarning
    (errors="warn"), silently ("ignore"; in `skipped` either way), or raises
    UnreadableStructure (errors="raise"). all_chains: every protein chain of each file that
    names none becomes a structure. model and min_plddt are read_structure's. Returns a
    Resolved (structures and skipped)."""
    check_errors(errors)
    skipped = []

    def skip(path, exc):
        if errors == "raise":
            raise exc
        reason = str(exc)
        skipped.append((path, reason))
        if errors == "warn":
            warnings.warn(f"skipped: {reason}", UnreadableStructureWarning, stacklevel=4)

    special, entries = [], []
    for item in items_of(items):
        try:
            entries += _entries(item, special)
        except UnreadableStructure as exc:  # a missing path, a folder without structures
            skip(exc.path, exc)
    for path, reason in special:
        skip(path, UnreadableStructure(path, reason))
    structures = []
    for entry in _file_entries(entries, all_chains, skip):
        if entry.path is None:
            structures.append(as_structure(entry.held, model=model, min_plddt=min_plddt))
            continue
        try:
            structures.append(read_structure(entry.path, entry.chain, model, min_plddt))
        except UnreadableStructure as exc:
            skip(entry.path, exc)
    return Resolved(structures, skipped)
