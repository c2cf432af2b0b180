"""`malven msa FILE... -o DIR`: multiple structural alignment of PDB files through the
`align_pdbs` pipeline, printed as a summary and alignment text, with the superposed files
written into DIR and optionally the aligned sequences as FASTA."""
import os

import malven

from keldascope import _native
from keldascope.cli import layout
from keldascope.cli.common import (CliError, UsageError, check_not_an_input, check_option_value,
                                   check_output_file, dump_json, finite_or_none, fmt,
                                   transform_json)
from keldascope.structures import read_structure

DESCRIPTION = """\
Align several structures at once. Every structure is first placed onto the reference by
scan-mode pairwise alignment (the files may come in unrelated frames), then all are aligned
together along a guide tree. Prints the number of alignment columns, the core (columns where
every structure has a residue), the score and the average pairwise RMSD, then the alignment
with '*' under the core columns, and writes every input superposed onto the reference, all
atoms of its first model, as DIR/aligned_<name>.pdb."""

EPILOG = """\
In the JSON output, residue and column indices count from 0 (as in the Python API);
--reference counts structures from 1, in the order given.

examples:
  malven msa 1sp1.pdb 1sp2.pdb 3znf.pdb -o superposed
  malven msa *.pdb -o out --reference 3 --fasta out/alignment.fasta"""


def add_parser(sub, chain_type):
    p = sub.add_parser("msa", help="align several structures and superpose them",
                       description=DESCRIPTION, epilog=EPILOG)
    p.add_argument("files", nargs="+", metavar="FILE", help="PDB files (at least two)")
    p.add_argument("-o", "--output-dir", required=True, metavar="DIR",
                   help="directory for the superposed files (created when missing)")
    p.add_argument("--reference", type=int, default=1, metavar="K",
                   help="the structure the others are moved onto, counted from 1 (default 1)")
    p.add_argument("--chain", type=chain_type, metavar="X",
                   help="chain to read from every file (default: each file's first chain)")
    p.add_argument("--fasta", metavar="OUT.fasta", help="write the aligned sequences as FASTA")
    p.add_argument("--json", action="store_true",
                   help="print one JSON object instead of the text report")
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
        check_output_file(args.fasta, "--fasta", args.files)
    elif args.fasta:
        check_option_value(args.fasta, "--fasta")
        check_not_an_input(args.fasta, "--fasta", args.files)


def output_paths(structures, output_dir):
    """Where align_pdbs writes each structure (write_all's names). Two inputs with one name
    would overwrite each other's output."""
    seen = {}
    paths = []
    for k, s in enumerate(structures):
        name = _native.output_file_name(s.path, k, "aligned_")
        if name in seen:
            raise UsageError(f"{seen[name]} and {s.path} would both be written as {name}; "
                             f"give the files different names")
        seen[name] = s.path
        path = os.path.join(output_dir, name)
        # Nothing is written when any output would replace an input (a second run in the
        # folder of the first: aligned_a.pdb among the inputs).
        check_not_an_input(path, "-o/--output-dir", [t.path for t in structures])
        paths.append(path)
    return paths


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
                out.write(f">{name} chain {s.domain.chain} {s.path}\n")
                text = layout.row_text(sequence, indices)
                for start in range(0, len(text), layout.WIDTH):
                    out.write(text[start:start + layout.WIDTH] + "\n")
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")


def text_report(structures, result, reference, outputs, rows, markers, fasta):
    lines = [
        f"Structures       {len(structures)} (reference: {structures[reference].name})",
        f"Columns          {result.n_columns}",
        f"Core columns     {result.n_core} (every structure has a residue)",
        f"Score            {fmt(result.score, 4)}",
        f"Average RMSD     {fmt(result.avg_rmsd, 3)}",
        "",
    ]
    name_w = max(len(s.name) for s in structures)
    path_w = max(len(s.path) for s in structures)
    for k, (s, out) in enumerate(zip(structures, outputs)):
        role = "  (reference)" if k == reference else ""
        lines.append(f"{k + 1:>3}  {s.name:<{name_w}}  chain {s.domain.chain}  "
                     f"{len(s.domain):>5} residues  {s.path:<{path_w}}  -> {out}{role}")
    if fasta:
        lines.append(f"FASTA            {fasta}")
    lines += ["", "Alignment ('*' marks the core columns)", ""]
    lines += layout.blocks(rows, markers)
    return lines


def json_report(structures, result, reference, outputs, rows, markers, fasta):
    full = result.full_transforms
    return {
        "command": "msa",
        "version": malven.__version__,
        "reference": reference + 1,
        "n_columns": result.n_columns,
        "n_core": result.n_core,
        "score": finite_or_none(result.score),
        "avg_rmsd": finite_or_none(result.avg_rmsd),
        "structures": [
            dict(s.describe(), output=out, transform=transform_json(t),
                 aligned=layout.row_text(row[1], row[3]))
            for s, out, t, row in zip(structures, outputs, full, rows)],
        "core_positions": list(result.core_positions),
        "columns": result.columns,
        "markers": markers,
        "fasta": fasta,
    }


def run(args, context):
    check_arguments(args)
    structures = [read_structure(path, args.chain) for path in args.files]
    outputs = output_paths(structures, args.output_dir)
    reference = args.reference - 1
    try:
        result = malven.align_pdbs(list(args.files), args.output_dir, chain=args.chain,
                            reference_index=reference)
    except OSError as exc:
        raise CliError(f"cannot write the superposed files: {exc}")
    except ValueError as exc:
        raise CliError(f"multiple alignment failed: {exc}")

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
