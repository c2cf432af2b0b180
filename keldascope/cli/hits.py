"""The hit tables of `malven search` and `malven scan`, written once: the text table, the TSV
(each command's own columns, or the columns --format-output names, Foldseek's among them),
the headerless m8 table and the JSON hits, all from one description of each column."""
import argparse
from dataclasses import dataclass
from typing import Callable, Optional

import keldascope
from keldascope.cli.common import (UsageError, add_sort_argument, evalue_text, finite_or_none,
                                   fmt, percent, rmsd_text)
from keldascope.cli.tables import escaped, num, tsv_line

# The tabular output of the field (BLAST's, as Foldseek extends it): its default columns,
# which `--format m8` writes without a header.
M8_COLUMNS = ("query", "target", "fident", "alnlen", "mismatch", "gapopen", "qstart", "qend",
              "tstart", "tend", "evalue", "bits")

FORMATS = ("table", "tsv", "m8", "json")


class Hit:
    """One hit with what its columns read: the SearchHit, the query's and the target's names
    (FILE:CHAIN, the shortest end of the path that tells them apart) and paths, and a loader
    of the two structures for the columns that need their residues (read once, when asked)."""

    def __init__(self, hit, query, target, qpath, tpath, chain, structures):
        self.hit, self.query, self.target = hit, query, target
        self.qpath, self.tpath, self.chain = qpath, tpath, chain
        self._structures = structures
        self._alignment = None

    @property
    def alignment(self):
        """The hit's keldascope.HitAlignment (aligned sequences, identity, LDDT)."""
        if self._alignment is None:
            query, target = self._structures()
            self._alignment = keldascope.hit_alignment(self.hit, query, target)
        return self._alignment


@dataclass(frozen=True)
class Column:
    meaning: str
    cell: Callable[[Hit], str]


def _number(read, kind="score"):
    return lambda h: num(read(h), kind)


def _numbers(read, kind):
    return lambda h: ",".join(num(v, kind) for v in read(h))


def _aligned(field, kind="score"):
    return lambda h: num(getattr(h.alignment, field), kind)


def _text(read):
    return lambda h: escaped(read(h))


def _attr(name):
    return lambda h: getattr(h.hit, name)


# Every column a hit table may hold: the field's (Foldseek's names and meanings) and each
# command's own. Names and paths are escaped (tables.escaped); numbers rounded by tables.num.
COLUMNS = {
    "query": Column("the query, FILE:CHAIN by the shortest end of its path that tells the "
                    "queries apart", _text(lambda h: h.query)),
    "target": Column("the target, FILE:CHAIN by the shortest end of its path that tells the "
                     "targets (a database's files) apart", _text(lambda h: h.target)),
    "fident": Column("identical residue pairs over the alignment's columns, gaps included "
                     "(0 to 1)", _aligned("fident")),
    "alnlen": Column("the alignment's columns from its first pair to its last, gaps included",
                     _number(_attr("alnlen"))),
    "mismatch": Column("aligned pairs of different residues", _aligned("mismatch")),
    "gapopen": Column("gaps opened (runs of one structure's residues against a gap)",
                      _number(_attr("gapopen"))),
    "qstart": Column("the query's first aligned residue (counted from 1)",
                     _number(_attr("qstart"))),
    "qend": Column("the query's last aligned residue", _number(_attr("qend"))),
    "tstart": Column("the target's first aligned residue (counted from 1)",
                     _number(_attr("tstart"))),
    "tend": Column("the target's last aligned residue", _number(_attr("tend"))),
    "evalue": Column("the expected number of unrelated targets scoring as well in a database "
                     "of this size", _number(_attr("evalue"), "evalue")),
    "bits": Column("the bit score: -log2 of the chance that an unrelated pair scores as well "
                   "(evalue = targets x 2^-bits)", _number(_attr("bits"), "bits")),
    "prob": Column("the probability that query and target share a SCOP superfamily",
                   _number(_attr("prob"))),
    "alntmscore": Column("TM-score of the aligned pairs under the hit's superposition, "
                         "normalised by the alignment's columns", _aligned("alntmscore")),
    "qtmscore": Column("TM-score normalised by the query's length",
                       _number(_attr("tm_score_a"))),
    "ttmscore": Column("TM-score normalised by the target's length",
                       _number(_attr("tm_score_b"))),
    "lddt": Column("C-alpha LDDT of the aligned pairs (contacts within 15 A in either "
                   "structure)", _aligned("lddt")),
    "rmsd": Column("RMSD (A) of the pairs within 5 A after the superposition (empty under 3 "
                   "pairs)", lambda h: num(h.hit.rmsd if h.hit.n_aligned >= 3 else None,
                                           "distance")),
    "u": Column("the rotation moving the target onto the query, 9 numbers row by row",
                _numbers(_attr("u"), "rotation")),
    "t": Column("the translation after it (A), 3 numbers: query = u target + t",
                _numbers(_attr("t"), "distance")),
    "qaln": Column("the query's aligned residues, '-' for a gap", _text(lambda h: h.alignment.qaln)),
    "taln": Column("the target's aligned residues, '-' for a gap", _text(lambda h: h.alignment.taln)),
    "cigar": Column("the alignment as CIGAR: M a pair, I a query residue against a gap, D a "
                    "target residue against a gap", _text(lambda h: h.hit.cigar)),
    "qlen": Column("the query's residues", _number(_attr("qlen"))),
    "tlen": Column("the target's residues", _number(_attr("tlen"))),
    "qseq": Column("the query's sequence", _text(lambda h: h.alignment.qseq)),
    "tseq": Column("the target's sequence", _text(lambda h: h.alignment.tseq)),
    "qpath": Column("the query's file", _text(lambda h: h.qpath)),
    "tpath": Column("the target's file", _text(lambda h: h.tpath)),
    # The commands' own columns (their TSVs before --format-output).
    "rank": Column("the hit's rank, from 1", _number(_attr("rank"))),
    "path": Column("the target's file (as tpath)", _text(lambda h: h.tpath)),
    "chain": Column("the target's chain", _text(lambda h: h.chain)),
    "score": Column("the method's score, by which hits are ranked (TM-score normalised by "
                    "the longer structure, or Sc for the KELDA method)",
                    _number(_attr("score"))),
    "tm_query": Column("TM-score normalised by the query (as qtmscore)",
                       _number(_attr("tm_score_a"))),
    "tm_target": Column("TM-score normalised by the target (as ttmscore)",
                        _number(_attr("tm_score_b"))),
    "sc": Column("the KELDA score Sc", _number(_attr("sc"))),
    "aligned": Column("pairs within 5 A after the superposition", _number(_attr("n_aligned"))),
    "identity": Column("identical residues among those pairs (0 to 1)",
                       _number(_attr("identity"))),
    "z": Column("the Z-score of the score among the hits reported", _number(_attr("z_score"))),
    "same_fold": Column("yes when the same-fold rule holds",
                        lambda h: "yes" if h.hit.same_fold else "no"),
}

# The columns that need the structures' residues, not the hit alone.
NEEDS_STRUCTURES = frozenset({"fident", "mismatch", "alntmscore", "lddt", "qaln", "taln",
                              "qseq", "tseq"})


def column_list(text):
    """The columns --format-output names (comma-separated); argparse's error, naming the
    valid ones, for an unknown one."""
    names = [c.strip() for c in text.split(",")]
    unknown = [c for c in names if c not in COLUMNS]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown column{'s' * (len(unknown) > 1)} {', '.join(map(repr, unknown))}; "
            f"valid: {','.join(COLUMNS)}")
    return tuple(names)


def add_ranking_arguments(p, defaults, score, per=""):
    """--cutoff (on `score`), --max-hits (`per` query, when given) and --sort-by, their
    defaults the native settings' (`defaults`)."""
    p.add_argument("--cutoff", type=float, default=defaults.min_score, metavar="X",
                   help=f"report only hits with a {score} of at least X (default %(default)s)")
    p.add_argument("--max-hits", type=int, default=defaults.max_hits, metavar="N",
                   help=f"report at most N hits{per} (default %(default)s)")
    add_sort_argument(p, defaults.sort_by)


def add_format_arguments(p):
    p.add_argument("--format", choices=FORMATS, default=None, dest="output_format",
                   help="table (default): the hit tables on standard output, --tsv adding the "
                        "command's TSV; tsv: the TSV (with a header) to --tsv or standard "
                        "output; m8: the field's tabular output, no header, by default its 12 "
                        "columns (" + ",".join(M8_COLUMNS) + "); json: as --json")
    p.add_argument("--format-output", type=column_list, metavar="COLS",
                   help="the TSV's columns, comma-separated (Foldseek's names: see the "
                        "README for each; implies --format tsv unless m8 is asked for)")


@dataclass(frozen=True)
class Layout:
    """What a command's hit output is: which format goes where, with which columns."""
    format: str
    columns: tuple
    header: bool
    tsv: Optional[str]  # a file, or None for standard output

    @property
    def to_stdout(self):
        """The tabular output replaces the text tables on standard output."""
        return self.format in ("tsv", "m8") and self.tsv is None


def layout_of(args, own_columns):
    """The output the arguments ask for; `own_columns` the command's TSV columns. A usage
    error for options that contradict each other."""
    fmt_ = args.output_format
    if args.json:
        if fmt_ not in (None, "json"):
            raise UsageError(f"argument --json: not allowed with --format {fmt_}")
        fmt_ = "json"
    if fmt_ is None:
        fmt_ = "tsv" if args.format_output and args.tsv is None else "table"
    if fmt_ == "json" and args.format_output:
        raise UsageError("argument --format-output: chooses TSV columns, not JSON fields")
    if fmt_ == "table" and args.format_output and args.tsv is None:
        raise UsageError("argument --format-output: the text tables have fixed columns; give "
                         "--tsv OUT or --format tsv")
    if fmt_ == "m8":
        columns = args.format_output or M8_COLUMNS
    else:
        columns = args.format_output or own_columns
    args.json = fmt_ == "json"
    return Layout(fmt_, columns, fmt_ != "m8", args.tsv)


def tsv_lines(layout, hits):
    """The TSV of `hits` (Hit rows) in the layout's columns, with its header unless m8."""
    cells = [COLUMNS[c].cell for c in layout.columns]
    if layout.header:
        yield tsv_line(layout.columns)
    for h in hits:
        yield tsv_line([cell(h) for cell in cells])


HEADER = ("rank", "target", "TM longer", "TM query", "TM target", "Sc", "rmsd", "aligned",
          "identity", "z", "evalue", "same fold")


def table(hits):
    """The hits as the commands print them: aligned columns, names escaped."""
    cells = [HEADER]
    for row in hits:
        h = row.hit
        cells.append((str(h.rank), escaped(row.target),
                      fmt(h.tm_score(keldascope.NormaliseBy.LONGER), 4),
                      fmt(h.tm_score_a, 4), fmt(h.tm_score_b, 4), fmt(h.sc, 3),
                      rmsd_text(h.rmsd, h.n_aligned), str(h.n_aligned), percent(h.identity),
                      fmt(h.z_score, 2), evalue_text(h.evalue), "yes" if h.same_fold else "no"))
    widths = [max(len(c[k]) for c in cells) for k in range(len(HEADER))]
    return ["  ".join([c[0].rjust(widths[0]), c[1].ljust(widths[1])] +
                      [c[k].rjust(widths[k]) for k in range(2, len(HEADER))]).rstrip()
            for c in cells]


def json_hit(row, target=None, **extra):
    """A hit as the commands' JSON holds it (names as given: JSON strings keep every
    character, and a file name's undecodable bytes as the lone surrogates U+DC80..U+DCFF
    Python decodes them to; json.load and os.fsencode give the bytes back). target: the
    name under "target" when it is not the row's (scan's JSON gives the structure's id
    there, its FILE:CHAIN name under "name")."""
    h = row.hit
    out = dict(rank=h.rank, target=row.target if target is None else target, path=row.tpath,
               score=finite_or_none(h.score), **extra,
               tm_score={"query": finite_or_none(h.tm_score_a),
                         "target": finite_or_none(h.tm_score_b)},
               sc=finite_or_none(h.sc), rmsd=finite_or_none(h.rmsd), n_aligned=h.n_aligned,
               seq_identity=finite_or_none(h.identity), z_score=finite_or_none(h.z_score),
               significant=h.same_fold, prefilter=finite_or_none(h.prefilter),
               evalue=finite_or_none(h.evalue), prob=finite_or_none(h.prob),
               bits=finite_or_none(h.bits))
    return out
