"""`malven msa FILE... -o DIR`: multiple structural alignment of structure files through the
`align_pdbs` pipeline (plain PDB files, one chain for all) or its steps over the toolkit's
reading (mmCIF, gzip, a chain per file, a model, pLDDT filtering), printed as a summary and
alignment text, with the superposed files written into DIR and optionally the aligned
sequences as FASTA."""
import os

import malven

from keldascope import _native, multiple
from keldascope.cli import inputs, layout
from keldascope.cli.common import (CliError, UsageError, add_threads_argument,
                                   check_not_an_input, check_option_value, check_output_file,
                                   dump_json, finite_or_none, fmt, threads_for, transform_json)
from keldascope.structures import PDB, UnreadableStructure, superposed_file_name

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
    p.add_argument("--method", choices=("robust", "kelda"), default="robust",
                   help="robust (default): every pair aligned by TM-score search in any "
                        "frames, joined along the guide tree; kelda: the malven module's "
                        "align_pdbs pipeline (scan-mode placement onto the reference)")
    add_threads_argument(p)
    p.add_argument("--fasta", metavar="OUT.fasta", help="write the aligned sequences as FASTA")
    p.add_argument("--json", action="store_true",
                   help="print one JSON object instead of the text report")
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
    # The FASTA file may go into the output directory, which the alignment creates.
    in_output_dir = args.fasta and (os.path.dirname(os.path.abspath(args.fasta))
                                    == os.path.abspath(args.output_dir))
    if args.fasta and not in_output_dir:
        check_output_file(args.fasta, "--fasta", [f.path for f in args.files])
    elif args.fasta:
        check_option_value(args.fasta, "--fasta")
        check_not_an_input(args.fasta, "--fasta", [f.path for f in args.files])


def output_paths(structures, output_dir, through_pdbs):
    """Where each structure is written: write_all's names for the align_pdbs pipeline, the
    toolkit's (the same, with the format's suffix) otherwise. Two inputs with one name would
    overwrite each other's output."""
    if through_pdbs:
        paths = [os.path.join(output_dir, _native.output_file_name(s.path, k, "aligned_"))
                 for k, s in enumerate(structures)]
    else:
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


def through_pdbs(structures, sources, args):
    """Whether malven.align_pdbs can run the whole job of the KELDA method: plain PDB files,
    one chain (or every file's first), the first model, every residue."""
    chains = {src.chain for src in sources}
    return (args.method == "kelda"
            and all(s.format == PDB and not s.compressed for s in structures) and len(chains) == 1
            and (next(iter(chains)) is None or len(next(iter(chains))) == 1)
            and args.model is None and args.min_plddt is None)


def align(structures, sources, args, reference):
    """The alignment result, the superposed files written."""
    if args.method == "robust":
        try:
            result = multiple.multiple_align(structures, reference=reference,
                                             threads=args.threads)
        except ValueError as exc:
            raise CliError(f"multiple alignment failed: {exc}")
        write(structures, result, args.output_dir)
        return result
    if through_pdbs(structures, sources, args):
        chain = sources[0].chain
        try:
            return malven.align_pdbs([s.path for s in structures], args.output_dir,
                                     chain=chain, reference_index=reference)
        except OSError as exc:
            raise CliError(f"cannot write the superposed files: {exc}")
        except ValueError as exc:
            raise CliError(f"multiple alignment failed: {exc}")
    try:
        result = multiple.align_structures(structures, reference=reference)
    except ValueError as exc:
        raise CliError(f"multiple alignment failed: {exc}")
    write(structures, result, args.output_dir)
    return result


def write(structures, result, output_dir):
    try:
        multiple.write_aligned(structures, result, output_dir)
    except UnreadableStructure as exc:
        raise CliError(str(exc))
    except (OSError, ValueError) as exc:
        raise CliError(f"cannot write the superposed files: {getattr(exc, 'strerror', None) or exc}")


def aligned_rows(structures, columns):
    rows = []
    for k, s in enumerate(structures):
        indices = [col[k] for col in columns]
        rows.append((s.name, s.domain.sequence, s.labels, indices))
    return rows


def write_fasta(path, structures, rows):
    try:
        with open(path, "w", encoding="utf-8") as out:
            for s, (name, sequence, _, indices) in zip(structures, rows):
                out.write(f">{name} chain {s.chain} {s.path}\n")
                text = layout.row_text(sequence, indices)
                for start in range(0, len(text), layout.WIDTH):
                    out.write(text[start:start + layout.WIDTH] + "\n")
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")


def text_report(structures, result, reference, outputs, rows, markers, fasta):
    method = ("robust: every pair aligned by TM-score search, joined along the KELDA guide "
              "tree" if isinstance(result, multiple.MultipleAlignment)
              else "KELDA: scan-mode placement onto the reference, then the KELDA multiple "
                   "alignment")
    lines = [
        f"Structures       {len(structures)} (reference: {structures[reference].name})",
        f"Method           {method}",
        f"Columns          {result.n_columns}",
        f"Core columns     {result.n_core} (every structure has a residue)",
        f"Score            {fmt(result.score, 4)}",
        f"Average RMSD     {fmt(result.avg_rmsd, 3)}",
        "",
    ]
    name_w = max(len(s.name) for s in structures)
    path_w = max(len(s.path) for s in structures)
    tm = tm_on_reference(structures, result, reference)
    for k, (s, out) in enumerate(zip(structures, outputs)):
        role = "  (reference)" if k == reference else ""
        lines.append(f"{k + 1:>3}  {s.name:<{name_w}}  chain {s.chain}  "
                     f"{len(s.domain):>5} residues  TM {fmt(tm[k], 4)}  "
                     f"{s.path:<{path_w}}  -> {out}{role}")
    if fasta:
        lines.append(f"FASTA            {fasta}")
    lines += ["", "Alignment ('*' marks the core columns)", ""]
    lines += layout.blocks(rows, markers)
    return lines


def tm_on_reference(structures, result, reference):
    """Each structure's TM-score on the reference, normalised by the reference: the robust
    alignment's own, or, for the KELDA method, that of the pairs its columns give."""
    if isinstance(result, multiple.MultipleAlignment):
        return list(result.tm_by_reference)
    ref = structures[reference].domain
    out = []
    for k, s in enumerate(structures):
        pairs = [(c[reference], c[k]) for c in result.columns
                 if c[reference] is not None and c[k] is not None]
        out.append(_native.tm_scores(ref, s.domain, pairs)[0] if pairs else 0.0)
    return out


def json_report(structures, result, reference, outputs, rows, markers, fasta):
    full = result.full_transforms
    tm = tm_on_reference(structures, result, reference)
    return {
        "command": "msa",
        "version": malven.__version__,
        "method": "robust" if isinstance(result, multiple.MultipleAlignment) else "kelda",
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
    }


def run(args, context):
    check_arguments(args)
    args.threads = threads_for(args.threads, context.prog)
    sources = [src.or_chain(args.chain) for src in args.files]
    structures = [inputs.read(src, args) for src in sources]
    outputs = output_paths(structures, args.output_dir, through_pdbs(structures, sources, args))
    reference = args.reference - 1
    result = align(structures, sources, args, reference)

    columns = result.columns
    core = set(result.core_positions)
    markers = "".join("*" if c in core else " " for c in range(len(columns)))
    rows = aligned_rows(structures, columns)
    if args.fasta:
        write_fasta(args.fasta, structures, rows)
    if args.json:
        dump_json(json_report(structures, result, reference, outputs, rows, markers, args.fasta))
    else:
        print("\n".join(text_report(structures, result, reference, outputs, rows, markers,
                                    args.fasta)))
    return 0
