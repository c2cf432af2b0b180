"""`malven msa FILE... -o DIR`: multiple structural alignment of structure files (any format,
a chain per file, a model, pLDDT filtering) by the engine, printed as a summary and
alignment text, with the superposed files written into DIR and optionally the aligned
sequences as FASTA."""
import os

import keldascope
from keldascope import MsaSettings
from keldascope.cli import inputs, layout
from keldascope.cli.common import (CliError, UsageError, add_method_arguments,
                                   add_threads_argument, check_not_an_input, check_option_value,
                                   check_output_file, check_output_folder, dump_json, finite_or_none, fmt, method_of,
                                   threads_for, transform_json, warn)
from keldascope.outputs import atomic_output
from keldascope.structures import UnreadableStructure, superposed_file_name

DESCRIPTION = """\
Align several structures at once; the files may come in unrelated frames. By default
(--method robust) every pair is aligned by the robust engine's TM-score search, on all
cores, and the pairs it reports join the structures along the KELDA guide tree; every
structure is superposed onto the reference by its own pairwise alignment with it. With
--method kelda each structure is first placed onto the reference by scan-mode alignment and
the placed copies are aligned by the KELDA multiple alignment (the malven module's
align_pdbs). Prints the number of alignment columns, the core (columns where every structure
has a residue), the score, the average pairwise RMSD and each structure's TM-score on the
reference, then the alignment with '*' under the core columns, and writes every input
superposed onto the reference, all atoms of its model, as DIR/aligned_<name>.pdb (or .cif
for mmCIF files)."""

EPILOG = """\
In the JSON output, residue and column indices count from 0 (as in the Python API);
--reference counts structures from 1, in the order given.

examples:
  malven msa 1sp1.pdb 1sp2.pdb 3znf.pdb -o superposed
  malven msa *.pdb -o out --reference 3 --fasta out/alignment.fasta
  malven msa 1hpv.pdb:B 1abc.cif.gz:A AF-P12345-F1-model_v4.cif --min-plddt 70 -o out"""


def add_parser(sub, chain_type):
    p = sub.add_parser("msa", help="align several structures and superpose them",
                       description=DESCRIPTION, epilog=EPILOG)
    p.add_argument("files", nargs="+", metavar="FILE", type=inputs.source,
                   help="structure files, FILE or FILE:CHAIN (at least two)")
    p.add_argument("-o", "--output-dir", required=True, metavar="DIR",
                   help="directory for the superposed files (created when missing)")
    p.add_argument("--reference", type=int, default=1, metavar="K",
                   help="the structure the others are moved onto, counted from 1 (default 1)")
    p.add_argument("--chain", type=chain_type, metavar="X",
                   help="chain to read from every file not named as FILE:CHAIN (default: each "
                        "file's first chain)")
    add_method_arguments(p, "structure", modes=False)
    add_threads_argument(p)
    p.add_argument("--fasta", metavar="OUT.fasta", help="write the aligned sequences as FASTA")
    p.add_argument("--tsv", metavar="OUT.tsv",
                   help="write the table of structures: position, name, chain, residues, "
                        "TM-score on the reference, file and superposed file")
    p.add_argument("--json", action="store_true",
                   help="print one JSON object instead of the text report")
    p.add_argument("-q", "--quiet", action="store_true", help="no warnings on standard error")
    inputs.add_reading_arguments(p)
    p.set_defaults(run=run)
    return p


def check_arguments(args):
    n = len(args.files)
    if n < 2:
        raise UsageError("msa needs at least two structure files")
    if not 1 <= args.reference <= n:
        raise UsageError(f"argument --reference: {args.reference} is not between 1 and {n}, "
                         f"the number of files")
    check_option_value(args.output_dir, "-o/--output-dir")
    if os.path.exists(args.output_dir) and not os.path.isdir(args.output_dir):
        raise UsageError(f"argument -o/--output-dir: '{args.output_dir}' exists and is not "
                         f"a directory")
    check_output_folder(args.output_dir, "-o/--output-dir")
    if args.fasta is not None and args.fasta == args.tsv:
        raise UsageError("the --fasta and --tsv files must differ")
    for option, path in (("--fasta", args.fasta), ("--tsv", args.tsv)):
        if path is None:
            continue
        # The file may go into the output directory, which the alignment creates.
        if os.path.dirname(os.path.abspath(path)) == os.path.abspath(args.output_dir):
            check_option_value(path, option)
            check_not_an_input(path, option, [f.path for f in args.files])
        else:
            check_output_file(path, option, [f.path for f in args.files])


def output_paths(structures, output_dir):
    """Where each structure is written: write_all's names with the format's suffix. Two
    inputs with one name would overwrite each other's output."""
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


def align(structures, settings, output_dir):
    """The alignment, the superposed files written."""
    try:
        result = keldascope.multiple_align(structures, settings)
    except ValueError as exc:
        raise CliError(f"multiple alignment failed: {exc}")
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
        rows.append((s.name, s.domain.sequence, s.labels, indices))
    return rows


def write_tsv(path, structures, result, outputs):
    try:
        with atomic_output(path) as out:
            out.write("k\tname\tchain\tresidues\ttm_score\tpath\toutput\n")
            for k, (s, score, output) in enumerate(zip(structures, result.tm_by_reference,
                                                       outputs)):
                out.write(f"{k + 1}\t{s.name}\t{s.chain}\t{len(s.domain)}\t{score!r}\t{s.path}\t"
                          f"{output}\n")
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")


def write_fasta(path, structures, rows):
    try:
        with atomic_output(path) as out:
            for s, (name, sequence, _, indices) in zip(structures, rows):
                out.write(f">{name} chain {s.chain} {s.path}\n")
                text = layout.row_text(sequence, indices)
                for start in range(0, len(text), layout.WIDTH):
                    out.write(text[start:start + layout.WIDTH] + "\n")
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")


# How each method makes the multiple alignment, for the report.
MSA_TEXT = {keldascope.Method.ROBUST: "robust: every pair aligned by TM-score search, joined "
                                      "along the KELDA guide tree",
            keldascope.Method.KELDA_SCAN: "KELDA: scan-mode placement onto the reference, then "
                                          "the KELDA multiple alignment"}


def text_report(structures, result, reference, outputs, rows, markers, written, method):
    lines = [
        f"Structures       {len(structures)} (reference: {structures[reference].name})",
        f"Method           {MSA_TEXT[method]}",
        f"Columns          {result.n_columns}",
        f"Core columns     {result.n_core} (every structure has a residue)",
        f"Score            {fmt(result.score, 4)}",
        f"Average RMSD     {fmt(result.avg_rmsd, 3)}",
        "",
    ]
    name_w = max(len(s.name) for s in structures)
    path_w = max(len(s.path) for s in structures)
    tm = result.tm_by_reference
    for k, (s, out) in enumerate(zip(structures, outputs)):
        role = "  (reference)" if k == reference else ""
        lines.append(f"{k + 1:>3}  {s.name:<{name_w}}  chain {s.chain}  "
                     f"{len(s.domain):>5} residues  TM {fmt(tm[k], 4)}  "
                     f"{s.path:<{path_w}}  -> {out}{role}")
    for what, path in written:
        lines.append(f"{what:<17}{path}")
    lines += ["", "Alignment ('*' marks the core columns)", ""]
    lines += layout.blocks(rows, markers)
    return lines


def json_report(structures, result, reference, outputs, rows, markers, fasta, args):
    full = result.full_transforms
    tm = result.tm_by_reference
    return {
        "command": "msa",
        "version": keldascope.__version__,
        "method": args.method,
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
        "tsv": args.tsv,
    }


def run(args, context):
    check_arguments(args)
    reference = args.reference - 1
    # The KELDA method places the structures onto the reference first: its scan mode.
    settings = MsaSettings(method=method_of(args), reference=reference,
                           threads=threads_for(args.threads, context.prog))
    sources = [src.or_chain(args.chain) for src in args.files]
    structures = [inputs.read(src, args) for src in sources]
    outputs = output_paths(structures, args.output_dir)
    result = align(structures, settings, args.output_dir)
    if not args.quiet:
        for k, score in enumerate(result.tm_by_reference):
            if k != reference and score < settings.same_fold_tm:
                warn(context.prog, f"{structures[k].path} shares little with the reference "
                                   f"(TM-score {score:.3f} on it)")

    columns = result.columns
    core = set(result.core_positions)
    markers = "".join("*" if c in core else " " for c in range(len(columns)))
    rows = aligned_rows(structures, columns)
    if args.fasta:
        write_fasta(args.fasta, structures, rows)
    if args.tsv:
        write_tsv(args.tsv, structures, result, outputs)
    if args.json:
        dump_json(json_report(structures, result, reference, outputs, rows, markers, args.fasta,
                              args))
    else:
        written = [(what, path) for what, path in (("FASTA", args.fasta), ("TSV", args.tsv))
                   if path]
        print("\n".join(text_report(structures, result, reference, outputs, rows, markers,
                                    written, settings.method)))
    return 0
