"""How every command names its structures: FILE or FILE:CHAIN (PDB or mmCIF, plain or
gzipped), the older chain options as aliases, directories of structure files, and the reading
options --model and --min-plddt, turned into the toolkit's reading calls."""
import argparse
import math
import os
from dataclasses import dataclass
from typing import Optional

from keldascope.cli.common import CliError, UsageError, warn
from keldascope._resolve import split_chain
from keldascope.structures import (UnreadableStructure, find_structure_files, list_chains,
                                   read_structure)

FORMATS = ("structures are PDB or mmCIF files, plain or gzipped (.pdb, .ent, .cif, .mmcif, "
           "each also .gz)")
SYNTAX = FORMATS + "; FILE:CHAIN reads one chain (default: the file's first)"


@dataclass(frozen=True)
class Source:
    """A structure as the command line names it: the file and the chain asked for."""
    path: str
    chain: Optional[str] = None
    text: str = ""  # the argument as given

    def with_chain(self, chain, option):
        """The chain of an older option (--chain1, --chain, --query-chain) where the
        argument names none; both naming different chains is a usage error."""
        if chain is None:
            return self
        if self.chain is not None and self.chain != chain:
            raise UsageError(f"{self.text} names chain '{self.chain}' but {option} says "
                             f"'{chain}'")
        return Source(self.path, chain, self.text)


    def or_chain(self, chain):
        """This source, with `chain` where it names none (an option for every file)."""
        return self if self.chain is not None or chain is None else \
            Source(self.path, chain, self.text)


def chain_name(text):
    """A chain as an option gives it: the author chain id (mmCIF ids may be longer than one
    character; a segment id stands for a blank PDB chain)."""
    if not text or any(c.isspace() for c in text):
        raise argparse.ArgumentTypeError(f"a chain is a name without blanks, not '{text}'")
    return text


def source(text):
    """FILE or FILE:CHAIN. A path that exists is a file even when it holds a colon; otherwise
    the text after the last colon is the chain, when it is no path component."""
    path, chain = split_chain(text)
    return Source(path, chain, text)


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: '{text}'")
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def whole_number(text):
    """Any integer: model numbers may be 0 or negative, as files number them."""
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: '{text}'")


def finite_float(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid float value: '{text}'")
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, not {text}")
    return value


def add_chain_argument(p, chain_type):
    p.add_argument("--chain", type=chain_type, metavar="X",
                   help="chain to read from every file not named as FILE:CHAIN (default: each "
                        "file's first chain)")


def add_all_chains_argument(p, file="file", each="structure"):
    """--all-chains: every protein chain of each `file` read as a `each` of its own."""
    p.add_argument("--all-chains", action="store_true",
                   help=f"every protein chain of each {file} is a {each}, named FILE:CHAIN "
                        "(default: each file's first chain)")


def add_reading_arguments(p, syntax=SYNTAX, first_ter=False):
    group = p.add_argument_group("reading structures", syntax)
    if first_ter:
        group.add_argument("--first-ter", action="store_true",
                           help="read a PDB file only up to the chain's first TER record, as "
                                "TM-align does (by default the chain is read past TER records)")
    group.add_argument("--model", type=whole_number, metavar="N",
                       help="read model N of every file (its number in the file; default: the "
                            "first model with C-alpha atoms)")
    group.add_argument("--min-plddt", type=finite_float, metavar="X",
                       help="leave out residues whose B-factor column is below X (the pLDDT of "
                            "predicted models such as AlphaFold's)")


def reading(args):
    """The reading options as keyword arguments of read_structure."""
    out = {"model": args.model, "min_plddt": args.min_plddt}
    if getattr(args, "first_ter", False):
        out["stop_at_ter"] = True
    return out


def read(src, args):
    """The structure a Source names, read with the command's reading options."""
    return read_structure(src.path, src.chain, **reading(args))


def find_targets(sources, special=None):
    """(path, chain, explicit) of every structure the sources name: files as named,
    directories expanded (their files that are not regular files left out and listed in
    `special`). explicit is False for files found inside a directory."""
    return [(path, src.chain, explicit) for src in sources
            for path, explicit in find_structure_files([src.path], special)]


def every_chain(found, prog, quiet=False):
    """find_targets' rows with each file that names no chain split into one row per protein
    chain (--all-chains). A file named on the command line that cannot be read is an error;
    one found inside a directory is skipped with a warning."""
    out = []
    for path, chain, explicit in found:
        if chain is not None:
            out.append((path, chain, explicit))
            continue
        try:
            chains = list_chains(path)
        except UnreadableStructure as exc:
            if explicit:
                raise CliError(str(exc))
            if not quiet:
                warn(prog, f"skipped: {exc}")
            continue
        out += [(path, name, explicit) for name, _ in chains]
    return out


def read_found(found, args, prog, quiet=False, chain=None):
    """The structures of find_targets' rows, read with the command's reading options (a row
    that names no chain: `chain`, default each file's first); a file found inside a
    directory that cannot be read is skipped with a warning, one named on the command line
    raises UnreadableStructure."""
    structures = []
    for path, named, explicit in found:
        try:
            structures.append(read(Source(path, chain if named is None else named, path), args))
        except UnreadableStructure as exc:
            if explicit:
                raise
            if not quiet:
                warn(prog, f"skipped: {exc}")
    return structures


def structures_of(found):
    """The toolkit's form of what find_targets found: (path, chain) pairs, and whether each
    may be skipped when it cannot be read (those found inside a directory)."""
    return [(path, chain) for path, chain, _ in found], [not explicit for *_, explicit in found]


def expand_lists(texts):
    """The sources with every @LIST replaced by the paths its lines name, in order (blank
    lines and lines opening with # left out; paths as written, relative ones from the current
    folder). A list that cannot be read, or that names a path that does not exist, is an
    error naming the list and the line."""
    out = []
    for text in texts:
        if not text.startswith("@"):
            out.append(text)
            continue
        listing = text[1:]
        try:
            with open(listing, encoding="utf-8", errors="surrogateescape") as f:
                lines = f.read().splitlines()
        except OSError as exc:
            raise CliError(f"cannot read the list {listing}: {exc.strerror or exc}")
        for number, line in enumerate(lines, 1):
            path = line.strip()
            if not path or path.startswith("#"):
                continue
            if not os.path.exists(source(path).path):
                raise CliError(f"{listing}, line {number}: cannot open {path}: No such file "
                               f"or directory")
            out.append(path)
    return out
