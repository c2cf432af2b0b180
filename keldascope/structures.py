"""Structure files as the toolkit reads them: one chain of a PDB file as a `malven.Domain`
with the residue numbers of the file, failures as one exception that names the file, and the
structure files found under directories."""
import os
import stat
from dataclasses import dataclass

import malven

from keldascope import _native

# Files picked up inside a directory (PDB and the wwPDB archive's .ent).
STRUCTURE_SUFFIXES = (".pdb", ".ent")


class UnreadableStructure(ValueError):
    """A structure file that cannot be read; `path` is the file as the caller named it and
    the message says why, naming it."""

    def __init__(self, path, message):
        super().__init__(path, message)
        self.path = path
        self.message = message

    def __str__(self):
        return self.message


@dataclass(frozen=True)
class Structure:
    """One chain of a structure file: the domain, and its residue labels (residue numbers
    with insertion codes, as the file writes them)."""
    path: str
    domain: malven.Domain
    labels: tuple

    @property
    def name(self):
        return self.domain.id

    def describe(self):
        return {"path": self.path, "id": self.domain.id, "chain": self.domain.chain,
                "length": len(self.domain)}


def residue_labels(domain):
    """The residue labels of a `malven.Domain`, in residue order."""
    return _native.residue_labels(domain)


def _check_readable(path):
    """Name the path and the system's reason when a file cannot be opened; the reader's own
    message for this case says nothing of the path."""
    if os.path.isdir(path):
        raise UnreadableStructure(path, f"{path}: is a directory, not a PDB file")
    try:
        with open(path, "rb"):
            pass
    except OSError as exc:
        raise UnreadableStructure(path, f"cannot open {path}: {exc.strerror or exc}")


def read_domain(path, chain=None):
    """`malven.Domain.from_pdb`, with a failure raised as UnreadableStructure."""
    _check_readable(path)
    try:
        return malven.Domain.from_pdb(path, chain)
    except ValueError as exc:
        reason = str(exc)
        prefix = "Failed to parse PDB: "
        if reason.startswith(prefix):
            reason = reason[len(prefix):]
        raise UnreadableStructure(path, f"cannot read a structure from {path}: {reason}")


def read_structure(path, chain=None):
    """One chain (default: the first) of a PDB file as a Structure."""
    domain = read_domain(path, chain)
    return Structure(path, domain, tuple(residue_labels(domain)))


def _regular_file(path):
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return True  # let the reader report why it cannot be read


def find_structure_files(arguments, skipped=None):
    """Expand files and directories: files as given, directories to every .pdb and .ent file
    below them (sorted, so that results are reproducible). Returns (path, explicit) pairs;
    explicit is False for files found inside a directory. Of those, only regular files are
    taken: a FIFO or a device would block or never end; each one left out is appended to
    `skipped` (when given) as (path, reason). A missing argument or a directory without
    structure files raises UnreadableStructure."""
    found = []
    for arg in arguments:
        if os.path.isdir(arg):
            inside = []
            for top, dirs, files in os.walk(arg):
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
                raise UnreadableStructure(arg, f"no .pdb or .ent files in directory {arg}")
            found += [(p, False) for p in inside]
        elif os.path.exists(arg):
            found.append((arg, True))
        else:
            raise UnreadableStructure(arg, f"cannot open {arg}: No such file or directory")
    return found
