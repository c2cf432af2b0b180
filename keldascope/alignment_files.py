"""Multiple alignments as sequence-alignment files: aligned FASTA and A2M written with a
column-score line (each column's LDDT), and read back (ours or another tool's) onto the
structures they align, so that any alignment of them can be scored by LDDT."""
import difflib
import math
import os
from dataclasses import dataclass
from typing import List, Tuple

from keldascope import _native
from keldascope._native import MsaLddt
from keldascope.outputs import escaped

WIDTH = 60
GAPS = "-."
# A row whose letters match fewer of them than this share along the structure's sequence
# is another sequence: its residue numbers would be guesses.
MIN_MATCHED = 0.9


class AlignmentFileError(ValueError):
    """An alignment file that cannot be read or does not fit the structures."""


def column_scores(column_lddt):
    """One character per column: the tenths of its LDDT ('9' for 0.9 and above), '-' for a
    column no two members share."""
    return "".join("-" if not math.isfinite(v) else str(min(9, int(v * 10)))
                   for v in column_lddt)


def _score_lines(scores, mean):
    head = (f"; LDDT {mean:.4f} (mean over columns); per column below, 0-9 its tenths, "
            f"'-' no two members share it" if math.isfinite(mean) else
            "; LDDT none: no two members share a column")
    return [head] + ["; " + scores[k:k + WIDTH] for k in range(0, len(scores), WIDTH)]


def _record(name, text):
    return [f">{name}"] + [text[k:k + WIDTH] for k in range(0, len(text), WIDTH)]


def _header(structure):
    """A record's header line: name, chain and path escaped (outputs.escaped), so that a
    tab, newline or undecodable byte of a file name neither breaks the record nor the
    file's encoding."""
    return " ".join([escaped(structure.name), "chain",
                     escaped(structure.chain or structure.domain.chain),
                     escaped(structure.path)])


def to_fasta(structures, columns, column_lddt, lddt):
    """Aligned FASTA: every column, '-' for a gap, the column scores first as ';' lines."""
    lines = _score_lines(column_scores(column_lddt), lddt)
    for k, s in enumerate(structures):
        sequence = s.domain.sequence
        lines += _record(_header(s), "".join("-" if c[k] is None else sequence[c[k]]
                                             for c in columns))
    return "\n".join(lines) + "\n"


def match_columns(columns):
    """A2M's match columns: those at least half of the members fill."""
    n = len(columns[0]) if columns else 0
    return [sum(r is not None for r in c) * 2 >= n for c in columns]


def to_a2m(structures, columns, column_lddt, lddt):
    """A2M: residues of match columns in upper case ('-' a gap there), of the other columns
    in lower case ('.' a gap there); the column scores cover the match columns."""
    match = match_columns(columns)
    scores = column_scores(v for v, m in zip(column_lddt, match) if m)
    lines = _score_lines(scores, lddt)
    for k, s in enumerate(structures):
        sequence = s.domain.sequence
        row = []
        for c, m in zip(columns, match):
            r = c[k]
            if m:
                row.append("-" if r is None else sequence[r].upper())
            else:
                row.append("." if r is None else sequence[r].lower())
        lines += _record(_header(s), "".join(row))
    return "\n".join(lines) + "\n"


def read_records(path):
    """(name, aligned text) per record of a FASTA or A2M file; ';' lines are comments."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError as exc:
        raise AlignmentFileError(f"cannot read {path}: {exc.strerror or exc}")
    records, name = [], None
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith(";"):
            continue
        if line.startswith(">"):
            name = line[1:].split()[0] if line[1:].split() else ""
            records.append([name, []])
        elif name is None:
            raise AlignmentFileError(f"{path} is not a FASTA or A2M alignment: line {number} "
                                     f"comes before any '>' record")
        else:
            records[-1][1].append(line.replace(" ", ""))
    if not records:
        raise AlignmentFileError(f"{path} holds no alignment records")
    return [(n, "".join(parts)) for n, parts in records]


def is_a2m(path, records):
    """A2M by the file's suffix, or by rows of unequal length (only A2M's insertions may
    make them so)."""
    if os.path.basename(path).lower().endswith(".a2m"):
        return True
    return len({len(text) for _, text in records}) > 1


def aligned_positions(text, a2m):
    """Per column, the index among the row's letters of the one there (None for a gap);
    with A2M, lower-case letters and '.' are insertions: in no column."""
    out, k = [], 0
    for ch in text:
        if ch in GAPS:
            if not (a2m and ch == "."):
                out.append(None)
        elif a2m and ch.islower():
            k += 1
        else:
            out.append(k)
            k += 1
    return out


def residue_map(letters, sequence):
    """Letter k of a row -> the structure's residue index, or None: an exact copy of the
    sequence maps one to one; otherwise the longest matching blocks (another program's
    reading of a file can differ: modified residues, alternate locations)."""
    if letters == sequence:
        return list(range(len(letters)))
    out = [None] * len(letters)
    matcher = difflib.SequenceMatcher(None, letters, sequence, autojunk=False)
    for block in matcher.get_matching_blocks():
        for k in range(block.size):
            out[block.a + k] = block.b + k
    return out


def _names_of(structure):
    base = os.path.basename(structure.path)
    stem = base.split(".")[0]
    chain = structure.chain or structure.domain.chain
    return {structure.name, base, stem, structure.path, f"{base}:{chain}", f"{stem}:{chain}",
            f"{stem}_{chain}", f"{stem}{chain}"}


def order_records(records, structures, path):
    """The records in the structures' order: by name when every structure's name (id, file
    name or stem, with or without its chain) picks exactly one record, otherwise in the
    order given when the counts agree."""
    if len(records) == len(structures):
        by_name = []
        for s in structures:
            keys = _names_of(s)
            found = [r for r in records if r[0] in keys]
            if len(found) != 1:
                break
            by_name.append(found[0])
        else:
            if len({id(r) for r in by_name}) == len(records):
                return by_name
        return records
    raise AlignmentFileError(f"{path} has {len(records)} records for {len(structures)} "
                             f"structures")


@dataclass(frozen=True)
class ScoredAlignment:
    """An alignment file read onto the structures and scored: the record names in the
    structures' order, the rows (per structure, per column: its residue index or -1), the
    residues each row matched to its structure, the LDDT (an MsaLddt: mean, columns,
    pairs_scored, sampled), and a warning per record that leaves much of its structure out
    or holds residues that are not its structure's."""
    names: List[str]
    rows: List[List[int]]
    matched: List[int]
    a2m: bool
    lddt: MsaLddt
    warnings: Tuple[str, ...] = ()

    @property
    def n_columns(self):
        return len(self.rows[0]) if self.rows else 0

    @property
    def structures_scored(self):
        """The structures that share a column with another: those the score covers."""
        n = len(self.rows)
        shared = set()
        for c in range(self.n_columns):
            present = [k for k in range(n) if self.rows[k][c] >= 0]
            if len(present) > 1:
                shared.update(present)
        return len(shared)


def read_alignment(path, structures):
    """(names, rows, matched, a2m, warnings) of the alignment file on the structures, rows as
    msa_lddt takes them. A record without residues leaves its structure out and is refused;
    one that aligns fewer than MIN_MATCHED of its structure's residues, or holds residues its
    structure's sequence does not match, is warned of (they score nothing)."""
    records = read_records(path)
    a2m = is_a2m(path, records)
    records = order_records(records, structures, path)
    rows, matched, warnings = [], [], []
    width = None
    for (name, text), s in zip(records, structures):
        positions = aligned_positions(text, a2m)
        if width is None:
            width = len(positions)
        elif len(positions) != width:
            raise AlignmentFileError(f"{path}: record {name} has {len(positions)} columns, the "
                                     f"first {width}" + ("" if a2m else
                                                         " (an A2M file needs the .a2m suffix)"))
        letters = "".join(ch for ch in text if ch not in GAPS).upper()
        if not letters:
            raise AlignmentFileError(f"{path}: record {name} holds no residues: it leaves "
                                     f"{s.path} out of the alignment")
        mapping = residue_map(letters, s.domain.sequence)
        hits = sum(m is not None for m in mapping)
        if hits < MIN_MATCHED * len(letters):
            raise AlignmentFileError(f"{path}: record {name} matches {s.path} at only {hits} of "
                                     f"its {len(letters)} residues")
        if hits < len(letters):
            warnings.append(f"{path}: record {name}: {len(letters) - hits} of its "
                            f"{len(letters)} residues do not match the sequence of {s.path}; "
                            f"they score nothing")
        if hits < MIN_MATCHED * len(s.domain):
            warnings.append(f"{path}: record {name} aligns {hits} of the {len(s.domain)} "
                            f"residues of {s.path}; the others score nothing")
        rows.append([-1 if p is None or mapping[p] is None else mapping[p] for p in positions])
        matched.append(hits)
    return [n for n, _ in records], rows, matched, a2m, warnings


def score_alignment(structures, path, threads=0):
    """The LDDT of the alignment in a FASTA or A2M file (made by any tool) of the structures
    (Structures, in the file's order or named by its records): a ScoredAlignment.
    AlignmentFileError (a ValueError) for a file that cannot be read or does not fit."""
    names, rows, matched, a2m, warnings = read_alignment(path, structures)
    lddt = _native.msa_lddt([s.domain for s in structures], rows, threads)
    return ScoredAlignment(names, rows, matched, a2m, lddt, tuple(warnings))
