"""Reading structures for the subcommands: PDB files into `Domain`s with one-line errors that
name the path, residue labels for alignment text, and the target lists of a scan."""
import os
import tempfile
from dataclasses import dataclass, field

from malven_cli.common import CliError, module

# Files a scan picks up inside a target directory (PDB and the wwPDB archive's .ent).
STRUCTURE_SUFFIXES = (".pdb", ".ent")


@dataclass
class Structure:
    path: str
    domain: object  # malven.Domain
    labels: list = field(default_factory=list)

    @property
    def name(self):
        return self.domain.id

    def describe(self):
        return {"path": self.path, "id": self.domain.id, "chain": self.domain.chain,
                "length": len(self.domain)}


def check_readable(path):
    """Name the path and the system's reason when a file cannot be opened; the reader's
    own message for this case starts with its prefixes and says nothing of the path."""
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory, not a PDB file")
    try:
        with open(path, "rb"):
            pass
    except OSError as exc:
        raise CliError(f"cannot open {path}: {exc.strerror or exc}")


def read_domain(path, chain=None):
    """`Domain.from_pdb` with the failure turned into a one-line `CliError`."""
    check_readable(path)
    try:
        return module().Domain.from_pdb(path, chain)
    except ValueError as exc:
        reason = str(exc)
        prefix = "Failed to parse PDB: "
        if reason.startswith(prefix):
            reason = reason[len(prefix):]
        raise CliError(f"cannot read a structure from {path}: {reason}")


def residue_labels(domain):
    """The residue numbers (with insertion codes) as the source file writes them.

    `Domain` does not hand out its labels, but its C-alpha writer prints each one,
    left-justified from column 23 and never containing a blank, so one write to a
    scratch file recovers them in residue order."""
    labels = []
    with tempfile.TemporaryDirectory(prefix="malven-") as tmp:
        path = os.path.join(tmp, "trace.pdb")
        domain.to_pdb(path, full=False)
        with open(path, encoding="utf-8") as trace:
            for line in trace:
                if line.startswith("ATOM"):
                    labels.append("" if line[22] == " " else line[22:].split(" ", 1)[0])
    if len(labels) != len(domain):
        # Cannot happen with the writer as specified; numbering by position still reads well.
        return [str(i + 1) for i in range(len(domain))]
    return labels


def load_structure(path, chain=None):
    domain = read_domain(path, chain)
    return Structure(path, domain, residue_labels(domain))


def find_targets(arguments):
    """Expand scan targets: files as given, directories to every .pdb and .ent file below
    them (sorted, so that ranks of equal scores are reproducible). Returns (path, explicit)
    pairs; explicit is False for files found inside a directory."""
    found = []
    for arg in arguments:
        if os.path.isdir(arg):
            inside = []
            for top, dirs, files in os.walk(arg):
                dirs.sort()
                inside += [os.path.join(top, f) for f in sorted(files)
                           if f.lower().endswith(STRUCTURE_SUFFIXES)]
            if not inside:
                raise CliError(f"no .pdb or .ent files in directory {arg}")
            found += [(p, False) for p in inside]
        elif os.path.exists(arg):
            found.append((arg, True))
        else:
            raise CliError(f"cannot open {arg}: No such file or directory")
    return found
