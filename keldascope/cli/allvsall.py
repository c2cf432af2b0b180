"""`malven allvsall FILE...`: align every pair of a set of structures (files, or directories of
PDB and mmCIF files) and print the TM-score and KELDA score matrices with the tree they
imply; RMSD and aligned pairs go to --tsv and --json, the tree to --newick, a clustered
heatmap to --plot. Runs on C++ threads, or on Dask workers for many machines."""
import math

import keldascope
from keldascope import CompareSettings, score_name, trees
from keldascope.cli import cluster, inputs, plot
from keldascope.cli.common import (MODES_HELP, CliError, UsageError, add_method_arguments,
                                   add_threads_argument, check_not_an_input, check_output_file,
                                   dump_json, finite_or_none, fmt, method_of, threads_for,
                                   warn_skipped)
from keldascope.cli.progress import Progress
from keldascope.outputs import atomic_output

DESCRIPTION = """\
Align every pair of the structures, each with itself too, and print the matrices of
TM-scores (normalised by the longer structure of each pair) and KELDA scores Sc with the
average-linkage tree over the method's score. Arguments are structure files (FILE or
FILE:CHAIN; PDB or mmCIF, plain or gzipped) or directories, searched recursively for .pdb,
.ent, .cif and .mmcif files, each also .gz; a file inside a directory that cannot be read is
skipped with a warning, a file named on the command line is an error.

By default (--method robust) every pair is aligned once by the robust engine on all cores,
and the tree joins structures by the TM-score normalised by the longer (the TSV and JSON
also hold it normalised by each structure). --method kelda (or any --mode) aligns each pair
as 'malven scan --method kelda' aligns a target (the shorter structure leads when the other
is less than half as long), and the tree joins by Sc. Either way the matrices are symmetric
and the same whether the work runs here or on Dask workers: --jobs N starts a local cluster
of N worker processes, --scheduler sends the work to an existing one.

""" + MODES_HELP.format(what="pair")

EPILOG = """\
examples:
  malven allvsall globins/
  malven allvsall globins/ --newick globins.nwk --plot globins.png
  malven allvsall a.pdb b.cif:B c.pdb.gz --tsv pairs.tsv
  malven allvsall family/ --json > matrices.json
  malven allvsall /shared/domains/ --scheduler tcp://scheduler-host:8786"""


def add_parser(sub, chain_type):
    p = sub.add_parser("allvsall", help="align every pair of a set of structures",
                       description=DESCRIPTION, epilog=EPILOG)
    p.add_argument("structures", nargs="+", metavar="FILE", type=inputs.source,
                   help="structure files (FILE or FILE:CHAIN) or directories of them")
    p.add_argument("--chain", type=chain_type, metavar="X",
                   help="chain to read from every file not named as FILE:CHAIN (default: each "
                        "file's first chain)")
    add_method_arguments(p, "pair")
    add_threads_argument(p)
    p.add_argument("--tsv", metavar="OUT.tsv",
                   help="write one line per pair: TM-scores, Sc, RMSD and aligned pairs")
    p.add_argument("--newick", metavar="OUT.nwk",
                   help="write the tree in Newick format")
    p.add_argument("--plot", metavar="OUT.png",
                   help="draw the score matrix as a heatmap in tree order, the tree beside it "
                        "(needs matplotlib)")
    p.add_argument("--json", action="store_true",
                   help="print one JSON object with the matrices and the tree instead of the "
                        "table")
    cluster.add_run_arguments(p)
    inputs.add_reading_arguments(p)
    p.set_defaults(run=run)
    return p


def settings_of(args, prog):
    """The comparison the command line asks for; its checks before any file is read."""
    method = method_of(args)
    inputs_ = [s.path for s in args.structures]
    for option in ("tsv", "newick", "plot"):
        path = getattr(args, option)
        if path is not None:
            check_output_file(path, f"--{option}", inputs_)
    named = [getattr(args, o) for o in ("tsv", "newick", "plot") if getattr(args, o)]
    if len(set(named)) < len(named):
        raise UsageError("the --tsv, --newick and --plot files must differ")
    if args.plot is not None:
        plot.require_matplotlib()
    return CompareSettings(method=method, threads=threads_for(args.threads, prog))


def compare(args, found, settings, prog):
    """The comparison, here or on Dask workers; files inside directories that cannot be read
    are skipped with a warning once the run is over."""
    structures, skippable = inputs.structures_of(
        [(path, args.chain if chain is None else chain, explicit)
         for path, chain, explicit in found])
    n = len(found)
    show = Progress.wanted(args.quiet)
    with cluster.runner_for(args, n * (n + 1) // 2, prog) as runner:
        try:
            with cluster.ChunkProgress("Aligning chunks", show) as bar:
                result = keldascope.distributed_compare(
                    structures, settings, client=runner, skip_unreadable=skippable,
                    progress=bar, **inputs.reading(args))
        except ValueError as exc:  # an unreadable file or a failed alignment, named
            raise CliError(str(exc))
    if not args.quiet:
        warn_skipped(prog, result.skipped)
    return result


def write_tsv(path, result):
    def num(v):
        v = float(v)
        return "" if math.isnan(v) else repr(v)

    try:
        with atomic_output(path) as out:
            out.write("i\tj\tid_i\tid_j\tpath_i\tpath_j\tscore\trmsd\taligned\ttm_i\ttm_j\t"
                      "tm_longer\n")
            n = len(result.paths)
            for i in range(n):
                for j in range(i, n):
                    cells = [str(i + 1), str(j + 1), result.names[i], result.names[j],
                             result.paths[i], result.paths[j], num(result.sc[i, j]),
                             num(result.rmsd[i, j]), str(int(result.n_aligned[i, j])),
                             num(result.tm[i, j]), num(result.tm[j, i]),
                             num(result.tm_longer[i, j])]
                    out.write("\t".join(cells) + "\n")
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")


def write_newick(path, text):
    try:
        with atomic_output(path) as out:
            out.write(text + "\n")
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")


def leaf_names(ids):
    """The structures' names, made unique where two files (or two chains of one file) share
    one, so that every leaf of the tree is told apart: the repeated ones gain their number."""
    counts = {}
    for i in ids:
        counts[i] = counts.get(i, 0) + 1
    return [i if counts[i] == 1 else f"{i}_{k + 1}" for k, i in enumerate(ids)]


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
    prog = context.prog
    settings = settings_of(args, prog)
    special = []
    found = inputs.find_targets(args.structures, special)
    for option in ("tsv", "newick", "plot"):  # the files found inside directories are inputs
        if getattr(args, option) is not None:
            check_not_an_input(getattr(args, option), f"--{option}",
                               [path for path, _, _ in found])
    if not args.quiet:
        warn_skipped(prog, special)
    result = compare(args, found, settings, prog)
    n = len(result.paths)
    n_skipped = len(result.skipped)
    if n == 0 and (args.newick or args.plot):
        raise CliError("no structure could be read: there is no tree to write")
    tree = result.tree()
    names = leaf_names(result.names)
    newick = trees.newick(tree, names) if n else None
    scored_by = score_name(settings.method)
    if args.tsv:
        write_tsv(args.tsv, result)
    if args.newick:
        write_newick(args.newick, newick)
    if args.plot:
        plot.clustered_heatmap(args.plot, result.score, names, tree,
                               f"{scored_by} (the score the tree joins by)")

    if args.json:
        def rows(matrix, convert):
            return [[convert(v) for v in row] for row in matrix.tolist()]

        dump_json({
            "command": "allvsall",
            "version": keldascope.__version__,
            "method": args.method,
            "mode": args.mode or "robust",
            "structures": [{"path": p, "id": i, "length": length}
                           for p, i, length in zip(result.paths, result.names, result.lengths)],
            "n_skipped": n_skipped,
            "score": rows(result.sc, finite_or_none),
            "tm_score": rows(result.tm, finite_or_none),
            "rmsd": rows(result.rmsd, finite_or_none),
            "n_aligned": rows(result.n_aligned, int),
            "newick": newick,
            "order": [k + 1 for k in result.order()],
        })
        return 0
    width = max([len(i) for i in result.names] + [2])
    skipped = f" ({n_skipped} unreadable skipped)" if n_skipped else ""
    how = args.method + (f" {args.mode}" if args.mode else "")
    lines = [f"Structures  {n}{skipped}, method {how}: {n * (n + 1) // 2} alignments", ""]
    lines += [f"{k + 1:>{len(str(n))}}  {i:<{width}}  {length:>5}  {p}"
              for k, (p, i, length) in enumerate(zip(result.paths, result.names, result.lengths))]
    if n:
        lines += ["", "TM-score (normalised by the longer structure)", ""]
        lines += matrix_lines(result.tm_longer, 3)
        lines += ["", "Sc (KELDA score)", ""] + matrix_lines(result.sc, 3)
        lines += ["", f"Tree (average linkage over {scored_by})", "", newick]
    written = [(args.tsv, "Every pair's scores, RMSD and aligned pairs"),
               (args.newick, "Tree"), (args.plot, "Heatmap")]
    lines += [""] * any(p for p, _ in written)
    lines += [f"{what} written to {p}" for p, what in written if p]
    print("\n".join(lines))
    return 0
