"""`malven align A B`: pairwise structural alignment of two structure files, B moved onto A,
printed as numbers and alignment text, optionally written as a superposed file (in B's
format), JSON and a distance plot."""
import keldascope
from keldascope import EngineSettings
from keldascope.cli import complex as complexes
from keldascope.cli import inputs, layout, plot
from keldascope.cli.common import (METHOD_TEXT, CliError, add_json_argument, add_method_arguments,
                                   check_output_file, dump_json, finite_or_none, fmt, method_of,
                                   percent, rmsd_text, transform_json, warn,
                                   write_superposed_output)
from keldascope.cli.tables import written_lines
from keldascope.structures import check_output_path, read_structure, write_superposed

RULE = EngineSettings()  # the same-fold rule's thresholds, as the native side holds them

HELP = "align two structures (B is moved onto A)"
DESCRIPTION = f"""\
Align structure B onto structure A (the reference) and print the TM-score normalised by
each structure, the KELDA score Sc, the RMSD of the aligned C-alpha pairs after
superposition, their number, the sequence identity and the alignment itself.

The files may come in unrelated coordinate frames. The default method, robust, searches
superpositions by TM-score from several kinds of seeds (gapless threadings, fragment pairs,
secondary structure) and reports the aligned pairs lying within 5 A, as TM-align does; Sc is
that of a KELDA refinement started from its superposition. Two structures share a fold
when the TM-score normalised by the longer one reaches {RULE.same_fold_tm:g} or Sc reaches
{RULE.same_fold_sc:g}, whichever method aligned them.

Beside them come TM-align's own figures: "Aligned length" (the aligned pairs within its
final cutoff, 1.5 L^0.3 + 3.5 A for the longer length L) and the RMSD over those pairs after
their own superposition.

The order of the arguments is the opposite of TM-align's: TM-align moves its first structure
onto its second, malven moves B onto A, so 'malven align A B' is 'TMalign B A' (its
TM-score "normalized by length of Chain_2" is ours normalised by structure 1).

--method kelda places B onto A by scan-mode placement (sliding the start of one chain along
the other) and refines, as the malven module's pairwise_align does; --direct refines from
the coordinates as they stand (files already in a common frame). --model1 and --model2 read
one model of each file: two models of one NMR entry align as 'malven align X.pdb X.pdb
--model2 2'."""

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


def add_arguments(p, chain_type):
    p.add_argument("structure1", metavar="A", type=inputs.source,
                   help="reference structure, FILE or FILE:CHAIN (stays in place)")
    p.add_argument("structure2", metavar="B", type=inputs.source,
                   help="mobile structure, FILE or FILE:CHAIN (moved onto A)")
    p.add_argument("--chain1", type=chain_type, metavar="X",
                   help="chain of A, as A:X (default: the first chain in the file)")
    p.add_argument("--chain2", type=chain_type, metavar="X",
                   help="chain of B, as B:X (default: the first chain in the file)")
    p.add_argument("--model1", type=inputs.whole_number, metavar="N",
                   help="model of A (default: --model, or the first model with C-alpha atoms)")
    p.add_argument("--model2", type=inputs.whole_number, metavar="N",
                   help="model of B (default: --model, or the first model with C-alpha atoms)")
    add_method_arguments(p, "pair", modes=False)
    p.add_argument("--direct", action="store_true",
                   help="KELDA refinement from the input coordinates, without placement "
                        "(implies --method kelda)")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="write B superposed onto A, all atoms of its model, in B's format "
                        "(PDB or mmCIF; gzipped when OUT ends in .gz)")
    add_json_argument(p, "text report")
    p.add_argument("--plot", metavar="OUT.png",
                   help="draw the distance of each equivalent pair after superposition "
                        "along the alignment (needs matplotlib)")
    complexes.add_arguments(p, complexes.chain_list)
    inputs.add_reading_arguments(p, first_ter=True)


def method_for(args):
    """--method kelda aligns in scan mode; --direct refines the input coordinates."""
    if args.direct:
        args.method, args.mode = "kelda", "full"
    elif args.method == "kelda":
        args.mode = "scan"
    return method_of(args)


def read_one(src, args, model):
    """One structure, of its own model when --model1/--model2 names one."""
    reading = inputs.reading(args)
    if model is not None:
        reading["model"] = model
    return read_structure(src.path, src.chain, **reading)


def compute(s1, s2, method):
    try:
        return keldascope.align(s1, s2, EngineSettings(method=method))
    except ValueError as exc:
        raise CliError(f"alignment of {s2.path} onto {s1.path} failed: {exc}")


def pair_distances(outcome):
    """The distance after superposition of every aligned pair, by (i, j)."""
    return {tuple(p): d for p, d in zip(outcome.alignment, outcome.distances.tolist())}


def display_names(s1, s2):
    a, b = s1.name, s2.name
    if a == b:
        return f"{a}_1", f"{b}_2"
    return a, b


# The robust method reports the pairs within 5 A; the KELDA methods their equivalent pairs.
PAIRS_TEXT = {keldascope.Method.ROBUST: " (within 5 A)"}


def text_report(s1, s2, outcome, columns, markers, names, written):
    lines = []
    for tag, s, role in (("1", s1, "reference"), ("2", s2, "moved onto 1")):
        d = s.domain
        lines.append(f"Structure {tag}      {s.path}  chain {s.chain}  {len(d)} residues  ({role})")
    lines.append(f"Method           {METHOD_TEXT[outcome.method]}")
    pl = outcome.placement
    if pl is not None:
        lines.append(f"Placement        Sc {fmt(pl.sc, 3)}, RMSD "
                     f"{rmsd_text(pl.rmsd, pl.n_aligned, 2)}, {pl.n_aligned} pairs"
                     + (" (structure 1 placed onto 2, the motion inverted)" if pl.swapped
                        else ""))
    lines.append(f"TM-score         {fmt(outcome.tm_score_a, 4)} (normalised by structure 1), "
                 f"{fmt(outcome.tm_score_b, 4)} (by structure 2)")
    lines.append(f"Score (Sc)       {fmt(outcome.sc, 4)}")
    lines.append(f"RMSD             {rmsd_text(outcome.rmsd, outcome.n_aligned)}")
    lines.append(f"Aligned pairs    {outcome.n_aligned}{PAIRS_TEXT.get(outcome.method, '')}")
    lines.append(f"All aligned      {outcome.n_aligned_all} pairs, RMSD "
                 f"{rmsd_text(outcome.rmsd_all, outcome.n_aligned_all)} (TM-align's Aligned "
                 f"length and RMSD)")
    lines.append(f"Identity         {percent(outcome.identity)}")
    lines.append(f"Same fold        {'yes' if outcome.same_fold else 'no'} (TM-score >= "
                 f"{RULE.same_fold_tm:g} by the longer structure, or Sc >= "
                 f"{RULE.same_fold_sc:g})")
    lines += written_lines(written)
    if not outcome.alignment:
        return lines + ["No equivalent residues found."]
    lines.append("Alignment (':' pair within 5 A after superposition, '.' further apart)")
    lines.append("")
    rows = [(names[0], s1.domain.sequence, s1.labels, [c[0] for c in columns]),
            (names[1], s2.domain.sequence, s2.labels, [c[1] for c in columns])]
    lines += layout.blocks(rows, markers)
    return lines


def placement_json(pl):
    return None if pl is None else {
        "score": finite_or_none(pl.sc), "rmsd": finite_or_none(pl.rmsd),
        "n_aligned": pl.n_aligned, "seq_identity": finite_or_none(pl.identity),
        "swapped": pl.swapped}


def json_report(s1, s2, outcome, columns, markers, distances, written, args):
    seq1, seq2 = s1.domain.sequence, s2.domain.sequence
    return {
        "command": "align",
        "version": keldascope.__version__,
        "method": args.method,
        "mode": {"scan": "scan", "full": "direct", None: "robust"}[args.mode],
        "structure1": s1.describe(),
        "structure2": s2.describe(),
        "tm_score": {"structure1": finite_or_none(outcome.tm_score_a),
                     "structure2": finite_or_none(outcome.tm_score_b)},
        "significant": outcome.same_fold,
        "score": finite_or_none(outcome.sc),
        "rmsd": finite_or_none(outcome.rmsd),
        "n_aligned": outcome.n_aligned,
        "seq_identity": finite_or_none(outcome.identity),
        "transform": transform_json(outcome.transform),
        "placement": placement_json(outcome.placement),
        # TM-align's figures: the aligned pairs within its final cutoff, and their RMSD.
        "n_aligned_all": outcome.n_aligned_all,
        "rmsd_all": finite_or_none(outcome.rmsd_all),
        "pairs": [{"i": i, "j": j, "label1": s1.labels[i], "label2": s2.labels[j],
                   "aa1": seq1[i], "aa2": seq2[j], "distance": distances[(i, j)],
                   "close": distances[(i, j)] < layout.CLOSE_PAIR}
                  for i, j in outcome.alignment],
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
    title = (f"{names[1]} onto {names[0]}: Sc {fmt(outcome.sc, 3)}, "
             f"RMSD {fmt(outcome.rmsd, 2)} \u00c5 over {outcome.n_aligned} pairs")
    plot.distance_plot(path, title, points, ticks)


def run(args, context):
    if args.complex:
        return complexes.run(args, context)
    stray = complexes.used_without_complex(args)
    if stray is not None:
        raise CliError(f"{stray} belongs to --complex")
    prog = context.prog
    method = method_for(args)
    paths = (args.structure1.path, args.structure2.path)
    if args.plot is not None:
        check_output_file(args.plot, "--plot", paths)
        plot.require_matplotlib()
    if args.output is not None:
        check_output_file(args.output, "-o/--output", paths)
    s1 = read_one(args.structure1.with_chain(args.chain1, "--chain1"), args, args.model1)
    s2 = read_one(args.structure2.with_chain(args.chain2, "--chain2"), args, args.model2)
    if args.output is not None:
        try:
            check_output_path(s2, args.output)
        except ValueError as exc:
            raise CliError(f"cannot write {args.output}: {exc}")
    outcome = compute(s1, s2, method)
    if outcome.placement is not None and outcome.placement.n_aligned == 0 \
            and min(len(s1.domain), len(s2.domain)) >= 3:
        warn(prog, "scan-mode placement found no start that aligns; the refinement ran "
                   "from the input coordinates")

    columns = layout.pairwise_columns(len(s1.domain), len(s2.domain), outcome.alignment)
    distances = pair_distances(outcome)
    markers = layout.pair_markers(columns, distances)
    names = display_names(s1, s2)

    written = write_superposed_output(
        lambda path: write_superposed(s2, outcome.transform, path), args.output)
    if args.plot:
        draw(args.plot, s1, names, outcome, columns, distances)
        written.append(("Plot", args.plot))

    if args.json:
        dump_json(json_report(s1, s2, outcome, columns, markers, distances, written, args))
    else:
        print("\n".join(text_report(s1, s2, outcome, columns, markers, names, written)))
    if outcome.n_aligned < 3:
        # Chains of three residues or more may align where the KELDA method finds nothing.
        hint = ("; the KELDA method misses distant pairs, the default method (--method robust) "
                "aligns them" if method != keldascope.Method.ROBUST and
                min(len(s1.domain), len(s2.domain)) >= 3 else "")
        raise CliError(f"no alignment of {s2.path} onto {s1.path} was found "
                       f"(fewer than 3 aligned residue pairs){hint}")
    return 0
