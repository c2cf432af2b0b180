"""`malven allvsall FILE...`: align every pair of a set of structures (files, or directories of
PDB and mmCIF files) and print the matrix of KELDA scores; the RMSD and aligned-pair matrices
go to --tsv and --json. Large sets run on Dask workers."""

import malven

from keldascope import distributed
from keldascope.cli import cluster, inputs
from keldascope.cli.common import (CliError, check_output_file, dump_json, finite_or_none, fmt,
                                   warn)
from keldascope.cli.progress import Progress
from keldascope.cli.scan import MODES, MODES_HELP, find_targets

DESCRIPTION = """\
Align every pair of the structures, each with itself too, and print the matrix of KELDA
scores Sc. Each pair is aligned once, as 'malven scan' aligns a target in the same mode (the
shorter structure leads when the other is less than half as long), so the matrices are
symmetric. --tsv writes one line per pair with Sc, RMSD and aligned pairs; --json prints the
three matrices. Arguments are structure files (FILE or FILE:CHAIN; PDB or mmCIF, plain or
gzipped) or directories, searched recursively for .pdb, .ent, .cif and .mmcif files, each
also .gz; a file inside a directory that cannot be read is skipped with a warning, a file
named on the command line is an error.

Large sets run on a local Dask cluster, one single-threaded worker process per core (--jobs N
sets the number, --jobs 1 keeps the work in this process); --scheduler sends the work to an
existing Dask cluster. The numbers are the same either way.

""" + MODES_HELP.format(what="pair")

EPILOG = """\
examples:
  malven allvsall globins/
  malven allvsall a.pdb b.cif:B c.pdb.gz --tsv pairs.tsv
  malven allvsall family/ --jobs 4 --json > matrices.json"""


def add_parser(sub, chain_type):
    p = sub.add_parser("allvsall", help="align every pair of a set of structures",
                       description=DESCRIPTION, epilog=EPILOG)
    p.add_argument("structures", nargs="+", metavar="FILE", type=inputs.source,
                   help="structure files (FILE or FILE:CHAIN) or directories of them")
    p.add_argument("--chain", type=chain_type, metavar="X",
                   help="chain to read from every file not named as FILE:CHAIN (default: each "
                        "file's first chain)")
    p.add_argument("--mode", choices=sorted(MODES), default="scan",
                   help="how each pair is aligned (default scan)")
    p.add_argument("--tsv", metavar="OUT.tsv",
                   help="write one line per pair: Sc, RMSD and aligned pairs")
    p.add_argument("--json", action="store_true",
                   help="print one JSON object with the three matrices instead of the table")
    cluster.add_cluster_arguments(p)
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no warnings on standard error")
    inputs.add_reading_arguments(p)
    p.set_defaults(run=run)
    return p


def compare(args, found, show, prog):
    n = len(found)
    with cluster.runner_for(args, n * (n + 1) // 2, args.mode, prog) as runner:
        try:
            with cluster.ChunkProgress("Aligning chunks", show) as bar:
                result = distributed.all_against_all(
                    [(path, chain) for path, chain, _ in found], client=runner,
                    chain=args.chain, skip_unreadable=[not explicit for *_, explicit in found],
                    progress=bar, **inputs.reading(args), **MODES[args.mode])
        except ValueError as exc:  # an unreadable file or a failed alignment, named
            raise CliError(str(exc))
    if not args.quiet:
        for _, reason in result.skipped:
            warn(prog, f"skipped: {reason}")
    return result


def write_tsv(path, result):
    def num(v):
        return repr(float(v))

    try:
        with open(path, "w", encoding="utf-8") as out:
            out.write("i\tj\tid_i\tid_j\tpath_i\tpath_j\tscore\trmsd\taligned\n")
            n = len(result.paths)
            for i in range(n):
                for j in range(i, n):
                    out.write("\t".join([str(i + 1), str(j + 1), result.ids[i], result.ids[j],
                                         result.paths[i], result.paths[j],
                                         num(result.score[i, j]), num(result.rmsd[i, j]),
                                         str(int(result.n_aligned[i, j]))]) + "\n")
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")


def matrix_lines(matrix, decimals):
    n = len(matrix)
    cells = [[fmt(float(v), decimals) for v in row] for row in matrix]
    width = max([len(str(n))] + [len(c) for row in cells for c in row])
    label = len(str(n))
    lines = [" " * label + "  " + " ".join(str(j + 1).rjust(width) for j in range(n))]
    lines += [str(i + 1).rjust(label) + "  " + " ".join(c.rjust(width) for c in row)
              for i, row in enumerate(cells)]
    return [line.rstrip() for line in lines]


def run(args, context):
    if args.tsv is not None:
        check_output_file(args.tsv, "--tsv", [s.path for s in args.structures])
    show = Progress.wanted(args.quiet)
    special = []
    found = find_targets(args.structures, special)
    if not args.quiet:
        for _, reason in special:
            warn(context.prog, f"skipped: {reason}")
    result = compare(args, found, show, context.prog)
    n = len(result.paths)
    if args.tsv:
        write_tsv(args.tsv, result)

    if args.json:
        def rows(matrix, convert):
            return [[convert(v) for v in row] for row in matrix.tolist()]

        dump_json({
            "command": "allvsall",
            "version": malven.__version__,
            "mode": args.mode,
            "structures": [{"path": p, "id": i, "length": length}
                           for p, i, length in zip(result.paths, result.ids, result.lengths)],
            "n_skipped": len(result.skipped),
            "score": rows(result.score, finite_or_none),
            "rmsd": rows(result.rmsd, finite_or_none),
            "n_aligned": rows(result.n_aligned, int),
        })
        return 0
    width = max([len(i) for i in result.ids] + [2])
    skipped = f" ({len(result.skipped)} unreadable skipped)" if result.skipped else ""
    lines = [f"Structures  {n}{skipped}, mode {args.mode}: {n * (n + 1) // 2} alignments", ""]
    lines += [f"{k + 1:>{len(str(n))}}  {i:<{width}}  {length:>5}  {p}"
              for k, (p, i, length) in enumerate(zip(result.paths, result.ids, result.lengths))]
    if n:
        lines += ["", "Sc (KELDA score)", ""] + matrix_lines(result.score, 3)
    if args.tsv:
        lines += ["", f"Sc, RMSD and aligned pairs of every pair written to {args.tsv}"]
    print("\n".join(lines))
    return 0
