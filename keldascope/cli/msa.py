"""`malven msa FILE... -o DIR`: multiple structural alignment of structure files (any format,
a chain per file, a model, pLDDT filtering) by the engine, printed as a summary with its LDDT
and alignment text, with the superposed files written into DIR and optionally the alignment
as FASTA or A2M; `malven msa --lddt ALN FILE...` scores another tool's alignment instead."""
import os

import keldascope
from keldascope import AlignmentFileError, MsaPipeline, MsaSettings
from keldascope.cli import inputs, layout
from keldascope.cli.common import (CliError, UsageError, add_file_arguments, add_json_argument,
                                   add_method_arguments, add_quiet_argument, add_threads_argument,
                                   check_distinct_outputs, check_not_an_input, check_option_value,
                                   check_output_file, check_output_files, check_output_folder,
                                   dump_json, finite_or_none, fmt, method_of, threads_for,
                                   transform_json, warn)
from keldascope.alignment_files import column_scores
from keldascope.cli.tables import escaped, num, tsv_line, write_text
from keldascope.structures import UnreadableStructure, superposed_file_name

HELP = "align several structures and superpose them"
DESCRIPTION = """\
Align several structures at once; the files may come in unrelated frames. By default
(--method robust) a few structures are aligned tree-wise: every pair by the robust engine's
TM-score search, on all cores, and the pairs it reports join the structures along the KELDA
guide tree; every structure is superposed onto the reference by its own pairwise alignment
with it. Larger sets (more than --tree-wise-up-to) are aligned by the scalable pipeline:
every pair, or above a few dozen each structure with its prefilter neighbours, merged by
consistency into progressive profile joins, refined where the LDDT rises; --pipeline forces
either. The report says which ran, with the alignment's LDDT (mean and per column). With
--method kelda each structure is first placed onto the reference by scan-mode alignment and
the placed copies are aligned by the KELDA multiple alignment (the malven module's
align_pdbs). Prints the number of alignment columns, the core (columns where every structure
has a residue), the score, the average pairwise RMSD and each structure's TM-score on the
reference, then the alignment with '*' under the core columns and each column's LDDT in
tenths under it, and writes every input superposed onto the reference, all atoms of its
model, as DIR/aligned_<name>.pdb (or .cif for mmCIF files).

With --lddt ALN (no -o), the alignment in ALN (aligned FASTA, or A2M by its .a2m suffix),
made by any tool, is read onto the structure files (its records named after them, or in
their order) and its LDDT printed: nothing is aligned or written."""

EPILOG = """\
In the JSON output, residue and column indices count from 0 (as in the Python API);
--reference counts structures from 1, in the order given.

examples:
  malven msa 1sp1.pdb 1sp2.pdb 3znf.pdb -o superposed
  malven msa *.pdb -o out --reference 3 --fasta out/alignment.fasta
  malven msa 1hpv.pdb:B 1abc.cif.gz:A AF-P12345-F1-model_v4.cif --min-plddt 70 -o out
  malven msa family/*.pdb -o out --a2m out/family.a2m --pipeline scalable
  malven msa --lddt mustang.afasta 1sp1.pdb 1sp2.pdb 3znf.pdb"""

PIPELINES = {"auto": MsaPipeline.AUTO, "tree-wise": MsaPipeline.TREE_WISE,
             "scalable": MsaPipeline.SCALABLE}

# The files named by options: the alignment and the table written, or an alignment scored.
FILES = {
    "fasta": ("OUT.fasta", "write the alignment as aligned FASTA, its column LDDT as ';' lines"),
    "a2m": ("OUT.a2m", "write the alignment as A2M (upper case: columns half the structures "
                       "fill), its column LDDT as ';' lines"),
    "lddt": ("ALN", "score the alignment in ALN (FASTA or A2M, from any tool) of the files by "
                    "LDDT instead of aligning them"),
    "tsv": ("OUT.tsv", "write the table of structures: position, name, chain, residues, "
                       "TM-score on the reference, file and superposed file"),
}
OUTPUT_OPTIONS = tuple(name for name in FILES if name != "lddt")


def add_arguments(p, chain_type):
    p.add_argument("files", nargs="+", metavar="FILE", type=inputs.source,
                   help="structure files (FILE or FILE:CHAIN) or directories of them (at "
                        "least two structures)")
    p.add_argument("-o", "--output-dir", metavar="DIR",
                   help="directory for the superposed files (created when missing; needed "
                        "unless --lddt, or --fasta, --a2m, --tsv or --json without them)")
    p.add_argument("--reference", type=int, default=1, metavar="K",
                   help="the structure the others are moved onto, counted from 1 (default 1)")
    inputs.add_chain_argument(p, chain_type)
    add_method_arguments(p, "structure", modes=False)
    add_threads_argument(p)
    defaults = MsaSettings()
    p.add_argument("--pipeline", choices=list(PIPELINES), default="auto",
                   help="tree-wise (every pair at full effort), scalable (consistency and "
                        "progressive profiles) or auto: tree-wise up to --tree-wise-up-to "
                        "structures (default auto)")
    p.add_argument("--tree-wise-up-to", type=inputs.whole_number, metavar="N",
                   default=defaults.tree_wise_up_to,
                   help=f"auto's limit for the tree-wise pipeline (default "
                        f"{defaults.tree_wise_up_to})")
    add_file_arguments(p, FILES)
    add_json_argument(p, "text report")
    add_quiet_argument(p, progress=False)
    inputs.add_reading_arguments(p)


def check_count(args, n):
    if n < 2:
        raise UsageError("msa needs at least two structure files")
    if not 1 <= args.reference <= n:
        raise UsageError(f"argument --reference: {args.reference} is not between 1 and {n}, "
                         f"the number of files")


def check_arguments(args):
    if not any(os.path.isdir(f.path) for f in args.files):  # else counted once expanded
        check_count(args, len(args.files))
    if args.lddt is not None:
        given = [o for o in ("-o/--output-dir",) + tuple(f"--{o}" for o in OUTPUT_OPTIONS)
                 if getattr(args, "output_dir" if o.startswith("-o") else o[2:])]
        if given:
            raise UsageError(f"--lddt scores an alignment and writes nothing: drop "
                             f"{', '.join(given)}")
        return
    wanted = args.json or any(getattr(args, o) is not None for o in OUTPUT_OPTIONS)
    if args.output_dir is None and not wanted:
        raise UsageError("the following arguments are required: -o/--output-dir")
    if args.pipeline == "scalable" and args.method == "kelda":
        raise UsageError("--pipeline scalable aligns with --method robust only")
    check_distinct_outputs(args, OUTPUT_OPTIONS)
    if args.output_dir is None:  # the alignment's files alone, no superposed structures
        check_output_files(args, OUTPUT_OPTIONS, [f.path for f in args.files])
        return
    check_option_value(args.output_dir, "-o/--output-dir")
    if os.path.exists(args.output_dir) and not os.path.isdir(args.output_dir):
        raise UsageError(f"argument -o/--output-dir: '{args.output_dir}' exists and is not "
                         f"a directory")
    check_output_folder(args.output_dir, "-o/--output-dir")
    for option, path in ((f"--{o}", getattr(args, o)) for o in OUTPUT_OPTIONS):
        if path is None:
            continue
        # The file may go into the output directory, which the alignment creates.
        if os.path.dirname(os.path.abspath(path)) == os.path.abspath(args.output_dir):
            check_option_value(path, option)
            check_not_an_input(path, option, [f.path for f in args.files])
        else:
            check_output_file(path, option, [f.path for f in args.files])


def output_paths(structures, output_dir):
    """Where each structure is written: write_all's names with the format's suffix (None
    each without an output directory). Two inputs with one name would overwrite each
    other's output."""
    if output_dir is None:
        return [None] * len(structures)
    paths = [os.path.join(output_dir, superposed_file_name(s, k, "aligned_"))
             for k, s in enumerate(structures)]
    seen = {}
    inputs_ = [other.path for other in structures]
    for s, path in zip(structures, paths):
        # Nothing is written when any output would replace an input (a second run in the
        # folder of the first: aligned_a.pdb among the inputs).
        check_not_an_input(path, "-o/--output-dir", inputs_)
        name = os.path.basename(path)
        if name in seen:
            raise UsageError(f"{seen[name]} and {s.path} would both be written as {name}; "
                             f"give the files different names")
        seen[name] = s.path
    return paths


def align(structures, settings, output_dir, prog):
    """The alignment, the superposed files written; None when it has no core column (no
    superposition to write)."""
    try:
        result = keldascope.multiple_align(structures, settings, errors="raise")
    except ValueError as exc:
        raise CliError(f"multiple alignment failed: {exc}")
    if result.n_core == 0:
        hint = ("; the KELDA method misses distant structures, the default method "
                "(--method robust) aligns them" if settings.method != keldascope.Method.ROBUST
                else "")
        warn(prog, f"no core columns (no residue aligned in every structure): the structures "
                   f"were not superposed and no files were written{hint}")
        return None
    if output_dir is None:
        return result
    try:
        keldascope.write_aligned(structures, result, output_dir)
    except UnreadableStructure as exc:
        raise CliError(str(exc))
    except (OSError, ValueError) as exc:
        reason = getattr(exc, "strerror", None) or exc
        raise CliError(f"cannot write the superposed files: {reason}")
    return result


def aligned_rows(structures, columns):
    rows = []
    for k, s in enumerate(structures):
        indices = [col[k] for col in columns]
        rows.append((escaped(s.name), s.domain.sequence, s.labels, indices))
    return rows


def write_tsv(path, structures, result, outputs):
    write_text(path, [tsv_line(("k", "name", "chain", "residues", "tm_score", "path",
                                "output"))] +
               [tsv_line([str(k + 1), escaped(s.name), escaped(s.chain), str(len(s.domain)),
                          num(score), escaped(s.path), escaped(output or "")])
                for k, (s, score, output) in enumerate(zip(structures, result.tm_by_reference,
                                                           outputs))])


# How each method makes the multiple alignment, for the report.
MSA_TEXT = {keldascope.Method.ROBUST: "robust: every pair aligned by TM-score search, joined "
                                      "along the KELDA guide tree",
            keldascope.Method.KELDA_SCAN: "KELDA: scan-mode placement onto the reference, then "
                                          "the KELDA multiple alignment"}
SCALABLE_TEXT = {keldascope.MsaScheme.ALL_PAIRS: "scalable: every pair aligned by TM-score "
                                                 "search, merged by consistency into "
                                                 "progressive profile joins",
                 keldascope.MsaScheme.NEIGHBOURS: "scalable: each structure aligned with its "
                                                  "prefilter neighbours, merged by consistency "
                                                  "into progressive profile joins"}


def pipeline_text(result, method):
    if result.pipeline == MsaPipeline.SCALABLE:
        return SCALABLE_TEXT[result.scheme]
    return "tree-wise, " + MSA_TEXT[method]


def lddt_text(lddt):
    return "none (no two structures share a column)" if lddt != lddt else f"{lddt:.4f}"


def text_report(structures, result, reference, outputs, rows, markers, written, method):
    lines = [
        f"Structures       {len(structures)} (reference: "
        f"{escaped(structures[reference].name)})",
        f"Method           {pipeline_text(result, method)}",
        f"LDDT             {lddt_text(result.lddt)} (mean over columns)",
        f"Columns          {result.n_columns}",
        f"Core columns     {result.n_core} (every structure has a residue)",
        f"Score            {fmt(result.score, 4)}",
        f"Average RMSD     {fmt(result.avg_rmsd, 3)}",
        "",
    ]
    names = [escaped(s.name) for s in structures]
    paths = [escaped(s.path) for s in structures]
    name_w = max(map(len, names))
    path_w = max(map(len, paths))
    tm = result.tm_by_reference
    for k, (s, name, path, out) in enumerate(zip(structures, names, paths, outputs)):
        role = "  (reference)" if k == reference else ""
        lines.append(f"{k + 1:>3}  {name:<{name_w}}  chain {escaped(s.chain)}  "
                     f"{len(s.domain):>5} residues  TM {fmt(tm[k], 4)}  "
                     f"{path:<{path_w}}" + (f"  -> {escaped(out)}" if out else "") + role)
    for what, path in written:
        lines.append(f"{what:<17}{escaped(path)}")
    lines += ["", "Alignment ('*' marks the core columns; under them each column's LDDT in "
                  "tenths, '-' none)", ""]
    lines += layout.blocks(rows, markers, scores=column_scores(result.column_lddt))
    return lines


def json_report(structures, result, reference, outputs, rows, markers, fasta, args):
    full = result.full_transforms
    tm = result.tm_by_reference
    return {
        "command": "msa",
        "version": keldascope.__version__,
        "method": args.method,
        "pipeline": result.pipeline.name.lower().replace("_", "-"),
        "lddt": finite_or_none(result.lddt),
        "column_lddt": [finite_or_none(v) for v in result.column_lddt.tolist()],
        "reference": reference + 1,
        "n_columns": result.n_columns,
        "n_core": result.n_core,
        "score": finite_or_none(result.score),
        "avg_rmsd": finite_or_none(result.avg_rmsd),
        "structures": [
            dict(s.describe(), output=out, transform=transform_json(t),
                 aligned=layout.row_text(row[1], row[3]), tm_score=finite_or_none(score))
            for s, out, t, row, score in zip(structures, outputs, full, rows, tm)],
        "core_positions": list(result.core_positions),
        "columns": result.columns,
        "markers": markers,
        "fasta": fasta,
        "a2m": args.a2m,
        "tsv": args.tsv,
    }


def score_file(args, structures, threads, prog):
    try:
        scored = keldascope.score_alignment(structures, args.lddt, threads)
    except AlignmentFileError as exc:
        raise CliError(str(exc))
    except ValueError as exc:
        raise CliError(f"cannot score {args.lddt}: {exc}")
    lddt = scored.lddt
    if not args.quiet:
        for message in scored.warnings:
            warn(prog, message)
    n = len(structures)
    pairs, covered = n * (n - 1) // 2, scored.structures_scored
    if args.json:
        dump_json({
            "command": "msa",
            "version": keldascope.__version__,
            "alignment": args.lddt,
            "format": "a2m" if scored.a2m else "fasta",
            "n_columns": scored.n_columns,
            "lddt": finite_or_none(lddt.mean),
            "column_lddt": [finite_or_none(v) for v in lddt.columns.tolist()],
            "pairs_scored": lddt.pairs_scored,
            "pairs": pairs,
            "structures_scored": covered,
            "warnings": list(scored.warnings),
            "structures": [dict(s.describe(), record=name, matched=m)
                           for s, name, m in zip(structures, scored.names, scored.matched)],
        })
        return 0
    lines = [f"Alignment        {escaped(args.lddt)} ({'A2M' if scored.a2m else 'FASTA'}, "
             f"{scored.n_columns} columns)",
             f"LDDT             {lddt_text(lddt.mean)} (mean over columns; "
             f"{lddt.pairs_scored} of {pairs} structure pairs share columns, {covered} of "
             f"{n} structures)", ""]
    names = [escaped(x) for x in scored.names]
    name_w = max(map(len, names))
    for k, (s, name, m) in enumerate(zip(structures, names, scored.matched)):
        lines.append(f"{k + 1:>3}  {name:<{name_w}}  {escaped(s.path)} chain {escaped(s.chain)}  "
                     f"{m}/{len(s.domain)} residues matched")
    scores = column_scores(lddt.columns)
    lines += ["", "Column LDDT in tenths ('-' none)", ""]
    lines += [scores[k:k + layout.WIDTH] for k in range(0, len(scores), layout.WIDTH)]
    print("\n".join(lines))
    return 0


def run(args, context):
    check_arguments(args)
    reference = args.reference - 1
    threads = threads_for(args.threads, context.prog)
    sources = [src.or_chain(args.chain) for src in args.files]
    special = []
    found = inputs.find_targets(sources, special)
    if not args.quiet:
        for _, reason in special:
            warn(context.prog, f"skipped: {reason}")
    structures = inputs.read_found(found, args, context.prog, args.quiet)
    check_count(args, len(structures))
    if args.lddt is not None:
        return score_file(args, structures, threads, context.prog)
    # The KELDA method places the structures onto the reference first: its scan mode.
    settings = MsaSettings(method=method_of(args), reference=reference, threads=threads,
                           pipeline=PIPELINES[args.pipeline],
                           tree_wise_up_to=args.tree_wise_up_to)
    outputs = output_paths(structures, args.output_dir)
    result = align(structures, settings, args.output_dir, context.prog)
    if result is None:
        return 1
    if not args.quiet:
        isolated = set(result.isolated)
        for k, score in enumerate(result.tm_by_reference):
            if k != reference and score < settings.same_fold_tm and k not in isolated:
                warn(context.prog, f"{structures[k].path} shares little with the reference "
                                   f"(TM-score {score:.3f} on it)")
        for k in result.isolated:
            warn(context.prog, f"{structures[k].path} shares no column with the other "
                               f"structures: its residues stand in columns of their own")

    columns = result.columns
    core = set(result.core_positions)
    markers = "".join("*" if c in core else " " for c in range(len(columns)))
    rows = aligned_rows(structures, columns)
    if args.fasta:
        write_text(args.fasta, [result.to_fasta()])
    if args.a2m:
        write_text(args.a2m, [result.to_a2m()])
    if args.tsv:
        write_tsv(args.tsv, structures, result, outputs)
    if args.json:
        dump_json(json_report(structures, result, reference, outputs, rows, markers, args.fasta,
                              args))
    else:
        written = [(what, path) for what, path in (("FASTA", args.fasta), ("A2M", args.a2m),
                                                   ("TSV", args.tsv)) if path]
        print("\n".join(text_report(structures, result, reference, outputs, rows, markers,
                                    written, settings.method)))
    return 0
