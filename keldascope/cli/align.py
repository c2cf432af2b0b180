"""`malven align A B`: pairwise structural alignment of two structure files, B moved onto A,
printed as numbers and alignment text, optionally written as a superposed file (in B's
format), JSON and a distance plot."""
from dataclasses import dataclass

import malven
import numpy as np

import keldascope
from keldascope import _native, kelda
from keldascope.cli import inputs, layout, plot
from keldascope.cli.common import (CliError, check_output_file, dump_json, finite_or_none, fmt,
                                   percent, rmsd_text, transform_json, warn)
from keldascope.structures import UnreadableStructure, check_output_path, write_superposed

DESCRIPTION = """\
Align structure B onto structure A (the reference) and print the TM-score normalised by
each structure, the KELDA score Sc, the RMSD of the aligned C-alpha pairs after
superposition, their number, the sequence identity and the alignment itself.

The files may come in unrelated coordinate frames. The default method, robust, searches
superpositions by TM-score from several kinds of seeds (gapless threadings, fragment pairs,
secondary structure) and reports the aligned pairs lying within 5 A, as TM-align does; Sc is
that of a KELDA refinement started from its superposition. Two structures share a fold
when the TM-score normalised by the longer one reaches 0.5 or Sc reaches 0.35.

--method kelda places B onto A by scan-mode placement (sliding the start of one chain along
the other) and refines, as the malven module's pairwise_align does; --direct refines from
the coordinates as they stand (files already in a common frame)."""

EPILOG = """\
alignment text: ':' marks an aligned pair within 5 A after superposition, '.' one further
apart, '-' a gap; numbers are the residue numbers of the files. A run that finds no
alignment prints its report and ends with status 1.

examples:
  malven align 1ni7.pdb 5eep.pdb
  malven align model.pdb native.cif.gz:B -o native_on_model.cif
  malven align model.pdb:A native.pdb:B -o native_on_model.pdb
  malven align a.pdb b.pdb --json > ab.json
  malven align a.pdb b.pdb --method kelda --plot distances.png"""

METHODS = ("robust", "kelda")


def add_parser(sub, chain_type):
    p = sub.add_parser("align", help="align two structures (B is moved onto A)",
                       description=DESCRIPTION, epilog=EPILOG)
    p.add_argument("structure1", metavar="A", type=inputs.source,
                   help="reference structure, FILE or FILE:CHAIN (stays in place)")
    p.add_argument("structure2", metavar="B", type=inputs.source,
                   help="mobile structure, FILE or FILE:CHAIN (moved onto A)")
    p.add_argument("--chain1", type=chain_type, metavar="X",
                   help="chain of A, as A:X (default: the first chain in the file)")
    p.add_argument("--chain2", type=chain_type, metavar="X",
                   help="chain of B, as B:X (default: the first chain in the file)")
    p.add_argument("--method", choices=METHODS, default="robust",
                   help="robust (default): TM-score search in any frames; kelda: scan-mode "
                        "placement and KELDA refinement")
    p.add_argument("--direct", action="store_true",
                   help="KELDA refinement from the input coordinates, without placement "
                        "(implies --method kelda)")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="write B superposed onto A, all atoms of its model, in B's format "
                        "(PDB or mmCIF; gzipped when OUT ends in .gz)")
    p.add_argument("--json", action="store_true",
                   help="print one JSON object instead of the text report")
    p.add_argument("--plot", metavar="OUT.png",
                   help="draw the distance of each equivalent pair after superposition "
                        "along the alignment (needs matplotlib)")
    inputs.add_reading_arguments(p)
    p.set_defaults(run=run)
    return p


@dataclass
class Outcome:
    method: str  # robust, kelda (placement and refinement) or direct (refinement only)
    score: float
    rmsd: float
    n_aligned: int
    seq_identity: float
    pairs: list  # the pairs reported (and counted)
    alignment: list  # every aligned pair, for the alignment text
    transform: object  # malven.Transform carrying B onto A
    tm_scores: tuple  # normalised by structure 1, by structure 2
    significant: object  # the robust engine's same-fold call; None for the KELDA methods
    placement: dict  # scan-mode step of the kelda method, else None

    @property
    def aligned(self):
        return self.n_aligned >= 3


def place(d1, d2):
    """Scan-mode placement of d2 onto d1.

    The placement slides the second structure under the first and needs it to be long enough;
    when it is not, the first is placed onto it instead and the motion inverted, so the
    command works for either order of the files."""
    reference, mobile, swapped = kelda.leading_order(d1, d2)
    found = _native.kelda_align(reference, mobile, scan_mode=True)
    transform = found.transform.inverse() if swapped else found.transform
    summary = {"score": found.score, "rmsd": found.rmsd, "n_aligned": found.n_aligned,
               "seq_identity": found.seq_identity, "swapped": swapped}
    return transform, summary


def compute_robust(s1, s2):
    r = keldascope.align(s1, s2)
    return Outcome("robust", r.sc, r.rmsd, r.n_aligned, r.seq_identity, r.pairs, r.alignment,
                   r.transform, (r.tm_score_1, r.tm_score_2), r.significant, None)


def compute_kelda(s1, s2, direct):
    """Align s2 onto s1 by the KELDA procedures of pairwise_align.

    Scan mode reports the placement; one refinement from the placed coordinates gives the
    equivalences to print, and its numbers (consistent with those pairs) are the ones
    reported. The placement's own numbers stay in the JSON output."""
    d1, d2 = s1.domain, s2.domain
    if direct:
        res = _native.kelda_align(d1, d2, scan_mode=False)
        transform, placement = res.transform, None
    else:
        start, placement = place(d1, d2)
        moved = d2.copy()
        moved.coordinates = start.apply(d2.coordinates)
        res = _native.kelda_align(d1, moved, scan_mode=False)
        transform = res.transform.compose(start)
    pairs = [tuple(p) for p in res.aligned_pairs]
    tm = _native.tm_scores(d1, d2, pairs) if pairs else (0.0, 0.0)
    return Outcome("direct" if direct else "kelda", res.score, res.rmsd, res.n_aligned,
                   res.seq_identity, pairs, pairs, transform, tm, None, placement)


def compute(s1, s2, method, direct):
    try:
        if method == "robust" and not direct:
            return compute_robust(s1, s2)
        return compute_kelda(s1, s2, direct)
    except ValueError as exc:
        raise CliError(f"alignment of {s2.path} onto {s1.path} failed: {exc}")


def pair_distances(d1, d2, outcome):
    """The distance after superposition of every aligned pair."""
    if not outcome.alignment:
        return {}
    c1 = d1.coordinates
    c2 = outcome.transform.apply(d2.coordinates)
    idx = np.array(outcome.alignment, dtype=np.intp)
    dist = np.sqrt(((c1[idx[:, 0]] - c2[idx[:, 1]]) ** 2).sum(axis=1))
    return {tuple(p): float(d) for p, d in zip(outcome.alignment, dist)}


def display_names(s1, s2):
    a, b = s1.name, s2.name
    if a == b:
        return f"{a}_1", f"{b}_2"
    return a, b


def text_report(s1, s2, outcome, columns, markers, names, written):
    lines = []
    for tag, s, role in (("1", s1, "reference"), ("2", s2, "moved onto 1")):
        d = s.domain
        lines.append(f"Structure {tag}      {s.path}  chain {s.chain}  {len(d)} residues  ({role})")
    if outcome.method == "robust":
        lines.append("Method           robust: TM-score search from several seeds; Sc of a KELDA "
                     "refinement from its superposition")
    elif outcome.method == "direct":
        lines.append("Method           KELDA refinement from the input coordinates")
    else:
        pl = outcome.placement
        lines.append(f"Method           KELDA scan-mode placement (Sc {fmt(pl['score'], 3)}, "
                     f"RMSD {rmsd_text(pl['rmsd'], pl['n_aligned'], 2)}, {pl['n_aligned']} pairs), "
                     f"then refinement")
    tm1, tm2 = outcome.tm_scores
    lines.append(f"TM-score         {fmt(tm1, 4)} (normalised by structure 1), "
                 f"{fmt(tm2, 4)} (by structure 2)")
    lines.append(f"Score (Sc)       {fmt(outcome.score, 4)}")
    lines.append(f"RMSD             {rmsd_text(outcome.rmsd, outcome.n_aligned)}")
    within = " (within 5 A)" if outcome.method == "robust" else ""
    lines.append(f"Aligned pairs    {outcome.n_aligned}{within}")
    lines.append(f"Identity         {percent(outcome.seq_identity)}")
    if outcome.significant is not None:
        lines.append(f"Same fold        {'yes' if outcome.significant else 'no'} (TM-score >= "
                     f"{keldascope.SAME_FOLD_TM:g} by the longer structure, or Sc >= "
                     f"{keldascope.SAME_FOLD_SC:g})")
    for what, path in written:
        lines.append(f"{what:<17}{path}")
    lines.append("")
    if not outcome.alignment:
        lines.append("No equivalent residues found.")
        return lines
    lines.append("Alignment (':' pair within 5 A after superposition, '.' further apart)")
    lines.append("")
    rows = [(names[0], s1.domain.sequence, s1.labels, [c[0] for c in columns]),
            (names[1], s2.domain.sequence, s2.labels, [c[1] for c in columns])]
    lines += layout.blocks(rows, markers)
    return lines


def json_report(s1, s2, outcome, columns, markers, distances, written):
    seq1, seq2 = s1.domain.sequence, s2.domain.sequence
    return {
        "command": "align",
        "version": malven.__version__,
        "method": "robust" if outcome.method == "robust" else "kelda",
        "mode": {"robust": "robust", "kelda": "scan", "direct": "direct"}[outcome.method],
        "structure1": s1.describe(),
        "structure2": s2.describe(),
        "tm_score": {"structure1": finite_or_none(outcome.tm_scores[0]),
                     "structure2": finite_or_none(outcome.tm_scores[1])},
        "significant": outcome.significant,
        "score": finite_or_none(outcome.score),
        "rmsd": finite_or_none(outcome.rmsd),
        "n_aligned": outcome.n_aligned,
        "seq_identity": finite_or_none(outcome.seq_identity),
        "transform": transform_json(outcome.transform),
        "placement": None if outcome.placement is None else {
            k: (v if isinstance(v, (bool, int)) else finite_or_none(v))
            for k, v in outcome.placement.items()},
        "pairs": [{"i": i, "j": j, "label1": s1.labels[i], "label2": s2.labels[j],
                   "aa1": seq1[i], "aa2": seq2[j], "distance": distances[(i, j)]}
                  for i, j in outcome.pairs],
        "alignment": {
            "sequence1": layout.row_text(seq1, [c[0] for c in columns]),
            "sequence2": layout.row_text(seq2, [c[1] for c in columns]),
            "markers": markers,
        },
        "output": dict(written).get("Superposed file"),
        "plot": dict(written).get("Plot"),
    }


def draw(path, s1, names, outcome, columns, distances):
    points, ticks = [], []
    for col, pair in enumerate(columns):
        if pair in distances:
            points.append((col, distances[pair]))
    # About a dozen ticks, each naming the residue of structure 1 in that column.
    step = max(1, len(columns) // 12)
    for col in range(0, len(columns), step):
        i = columns[col][0]
        if i is not None:
            ticks.append((col, s1.labels[i]))
    title = (f"{names[1]} onto {names[0]}: Sc {fmt(outcome.score, 3)}, "
             f"RMSD {fmt(outcome.rmsd, 2)} \u00c5 over {outcome.n_aligned} pairs")
    plot.distance_plot(path, title, points, ticks)


def run(args, context):
    prog = context.prog
    paths = (args.structure1.path, args.structure2.path)
    if args.plot is not None:
        check_output_file(args.plot, "--plot", paths)
        plot.require_matplotlib()
    if args.output is not None:
        check_output_file(args.output, "-o/--output", paths)
    s1 = inputs.read(args.structure1.with_chain(args.chain1, "--chain1"), args)
    s2 = inputs.read(args.structure2.with_chain(args.chain2, "--chain2"), args)
    if args.output is not None:
        try:
            check_output_path(s2, args.output)
        except ValueError as exc:
            raise CliError(f"cannot write {args.output}: {exc}")
    outcome = compute(s1, s2, args.method, args.direct)
    if outcome.placement is not None and outcome.placement["n_aligned"] == 0 \
            and min(len(s1.domain), len(s2.domain)) >= 3:
        warn(prog, "scan-mode placement found no start that aligns; the refinement ran "
                   "from the input coordinates")

    columns = layout.pairwise_columns(len(s1.domain), len(s2.domain), outcome.alignment)
    distances = pair_distances(s1.domain, s2.domain, outcome)
    markers = layout.pair_markers(columns, distances)
    names = display_names(s1, s2)

    written = []
    if args.output:
        try:
            write_superposed(s2, outcome.transform, args.output)
        except UnreadableStructure as exc:
            raise CliError(str(exc))
        except OSError as exc:
            raise CliError(f"cannot write {args.output}: {exc.strerror or exc}")
        except ValueError as exc:
            raise CliError(f"cannot write {args.output}: {exc}")
        written.append(("Superposed file", args.output))
    if args.plot:
        draw(args.plot, s1, names, outcome, columns, distances)
        written.append(("Plot", args.plot))

    if args.json:
        dump_json(json_report(s1, s2, outcome, columns, markers, distances, written))
    else:
        print("\n".join(text_report(s1, s2, outcome, columns, markers, names, written)))
    if not outcome.aligned:
        raise CliError(f"no alignment of {s2.path} onto {s1.path} was found "
                       f"(fewer than 3 aligned residue pairs)")
    return 0
