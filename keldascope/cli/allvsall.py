"""`malven allvsall FILE...`: align every pair of a set of structures (files, or directories of
PDB and mmCIF files) and print the TM-score and KELDA score matrices with the tree they
imply; RMSD and aligned pairs go to --tsv and --json, the tree to --newick, a clustered
heatmap to --plot. Runs on C++ threads, or on Dask workers for many machines. Above a few
hundred structures it goes sparse: the prefilter chooses the pairs worth aligning and the
pairs whose score reaches --min-score are written as TSV."""
import sys

import keldascope
from keldascope import DEFAULT_KEEP_RULE, CompareSettings, score_name, trees
from keldascope.cli import inputs, plot, runners
from keldascope.cli.common import (MODES_HELP, CliError, UsageError, add_file_arguments,
                                   add_json_argument, add_method_arguments, add_threads_argument,
                                   check_distinct_outputs, check_not_an_input, check_output_files,
                                   dump_json, finite_or_none, fmt, method_of, threads_for,
                                   warn_skipped)
from keldascope.cli.progress import Progress
from keldascope.cli.tables import escaped, num, tsv_line, write_text
from keldascope._resolve import short_names

HELP = "align every pair of a set of structures"
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

Above --sparse-above structures (or with --sparse) nothing is aligned pair by pair: each
structure is scored against every other by the shape-letter prefilter (thousands of times
cheaper than an alignment), aligned with its --keep best partners, and the pairs whose score
reaches --min-score are written as TSV (to --tsv, or standard output), one line per pair:
a sparse result, without matrices, tree or heatmap (--dense keeps them at any size).

""" + MODES_HELP.format(what="pair")

EPILOG = """\
examples:
  malven allvsall globins/
  malven allvsall globins/ --newick globins.nwk --plot globins.png
  malven allvsall a.pdb b.cif:B c.pdb.gz --tsv pairs.tsv
  malven allvsall family/ --json > matrices.json
  malven allvsall /shared/domains/ --scheduler tcp://scheduler-host:8786
  malven allvsall thousands/ --min-score 0.6 --tsv close_pairs.tsv"""

# Above this many structures the comparison goes sparse unless --dense: the dense matrices
# of a few hundred structures take tens of thousands of alignments already.
SPARSE_ABOVE = 300


# The files the comparison writes besides standard output: option, metavar and help.
OUTPUTS = {
    "tsv": ("OUT.tsv", "write one line per pair: TM-scores, Sc, RMSD and aligned pairs"),
    "newick": ("OUT.nwk", "write the tree in Newick format"),
    "plot": ("OUT.png", "draw the score matrix as a heatmap in tree order, the tree beside it "
                        "(needs matplotlib)"),
}


def add_arguments(p, chain_type):
    p.add_argument("structures", nargs="+", metavar="FILE", type=inputs.source,
                   help="structure files (FILE or FILE:CHAIN) or directories of them")
    inputs.add_all_chains_argument(p)
    inputs.add_chain_argument(p, chain_type)
    add_method_arguments(p, "pair")
    add_threads_argument(p)
    add_file_arguments(p, OUTPUTS)
    add_json_argument(p, "table", holding="the matrices and the tree")
    size = p.add_mutually_exclusive_group()
    size.add_argument("--sparse", action="store_true",
                      help="prefilter the pairs and write those reaching --min-score as TSV, "
                           "whatever the number of structures")
    size.add_argument("--dense", action="store_true",
                      help="align every pair (matrices, tree, heatmap) whatever the number of "
                           "structures")
    p.add_argument("--sparse-above", type=inputs.whole_number, default=SPARSE_ABOVE,
                   metavar="N",
                   help=f"go sparse above N structures (default {SPARSE_ABOVE})")
    p.add_argument("--min-score", type=inputs.finite_float, metavar="S",
                   help="sparse: the pairs kept score at least S (the method's own score; "
                        "default the method's same-fold threshold)")
    p.add_argument("--keep", type=inputs.whole_number, default=0, metavar="K",
                   help="sparse: partners each structure is aligned with, by the prefilter "
                        f"(default 0: as a search keeps, "
                        f"{DEFAULT_KEEP_RULE.replace('%', '%%')})")
    runners.add_run_arguments(p)
    inputs.add_reading_arguments(p)


def settings_of(args, prog):
    """The comparison the command line asks for; its checks before any file is read."""
    method = method_of(args)
    check_output_files(args, OUTPUTS, [s.path for s in args.structures])
    check_distinct_outputs(args, OUTPUTS)
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
    with runners.runner_for(args, n * (n + 1) // 2, prog) as runner:
        try:
            with runners.ChunkProgress("Aligning chunks", show) as bar:
                result = keldascope.distributed_compare(
                    structures, settings, client=runner, skip_unreadable=skippable,
                    progress=bar, **inputs.reading(args))
        except ValueError as exc:  # an unreadable file or a failed alignment, named
            raise CliError(str(exc))
    if not args.quiet:
        warn_skipped(prog, result.skipped)
    return result


TSV_HEADER = ("i", "j", "id_i", "id_j", "path_i", "path_j", "score", "rmsd", "aligned", "tm_i",
              "tm_j", "tm_longer")


def pair_line(i, j, names, paths, sc, rmsd, aligned, tm_i, tm_j, tm_longer):
    """One pair as both TSVs write it: FILE:CHAIN names and paths escaped, numbers rounded
    by the one rule of tables.num (i and j counted from 1)."""
    return tsv_line([str(i + 1), str(j + 1), escaped(names[i]), escaped(names[j]),
                     escaped(paths[i]), escaped(paths[j]), num(sc), num(rmsd, "distance"),
                     str(int(aligned)), num(tm_i), num(tm_j), num(tm_longer)])


def write_tsv(path, result, names):
    n = len(result.paths)

    def lines():
        yield tsv_line(TSV_HEADER)
        for i in range(n):
            for j in range(i, n):
                yield pair_line(i, j, names, result.paths, result.sc[i, j], result.rmsd[i, j],
                                result.n_aligned[i, j], result.tm[i, j], result.tm[j, i],
                                result.tm_longer[i, j])

    write_text(path, lines())


def write_newick(path, text):
    write_text(path, [text + "\n"])


def leaf_names(ids):
    """The structures' names, made unique where two files (or two chains of one file) share
    one, so that every leaf of the tree is told apart: the repeated ones gain their number."""
    counts = {}
    for i in ids:
        counts[i] = counts.get(i, 0) + 1
    return [i if counts[i] == 1 else f"{i}_{k + 1}" for k, i in enumerate(ids)]


def matrix_lines(matrix, decimals, aligned=None):
    """The matrix as text; cells of pairs that did not align (where `aligned` is False) as
    '-', not as a score of 0."""
    n = len(matrix)
    cells = [[fmt(float(v), decimals) if aligned is None or aligned[i][j] else "-"
              for j, v in enumerate(row)] for i, row in enumerate(matrix)]
    width = max([len(str(n))] + [len(c) for row in cells for c in row])
    label = len(str(n))
    lines = [" " * label + "  " + " ".join(str(j + 1).rjust(width) for j in range(n))]
    lines += [str(i + 1).rjust(label) + "  " + " ".join(c.rjust(width) for c in row)
              for i, row in enumerate(cells)]
    return [line.rstrip() for line in lines]


def pair_lines(result, names):
    yield tsv_line(TSV_HEADER)
    for i, j, tm_i, tm_j, tm_longer, sc, rmsd, score, aligned in result.pairs.tolist():
        yield pair_line(int(i), int(j), names, result.paths, sc, rmsd, aligned, tm_i, tm_j,
                        tm_longer)


def run_sparse(args, found, settings, prog):
    """Pairs chosen by the prefilter, those reaching the floor written as TSV."""
    for option in ("newick", "plot"):
        if getattr(args, option) is not None:
            raise UsageError(f"a sparse comparison ({len(found)} structures, above "
                             f"--sparse-above {args.sparse_above}, or --sparse) has no tree or "
                             f"heatmap for --{option}: give --dense to align every pair")
    if args.jobs is not None or args.scheduler is not None:
        raise UsageError("a sparse comparison runs on this machine's threads: drop "
                         "--jobs/--scheduler, or give --dense")
    structures = inputs.read_found(found, args, prog, args.quiet, args.chain)
    same_fold = (settings.same_fold_tm if settings.method == keldascope.Method.ROBUST
                 else settings.same_fold_sc)
    floor = same_fold if args.min_score is None else args.min_score
    try:
        result = keldascope.compare_sparse(structures, settings, min_score=floor,
                                           keep=args.keep)
    except ValueError as exc:
        raise CliError(str(exc))
    n = len(structures)
    names = short_names(result.paths, [s.chain or s.domain.chain for s in structures])
    if args.json:
        dump_json({
            "command": "allvsall",
            "version": keldascope.__version__,
            "method": args.method,
            "mode": args.mode or "robust",
            "sparse": True,
            "min_score": floor,
            "keep": result.keep,
            "aligned": result.candidates,
            "structures": [{"path": p, "id": i, "length": length, "chain": s.chain, "name": k}
                           for p, i, length, s, k in zip(result.paths, result.names,
                                                         result.lengths, structures, names)],
            "n_skipped": len(found) - n,
            "pairs": [dict(zip(("i", "j", "tm_i", "tm_j", "tm_longer", "sc", "rmsd", "score",
                                "n_aligned"), (int(r[0]) + 1, int(r[1]) + 1,
                                               *map(finite_or_none, r[2:8]), int(r[8]))))
                      for r in result.pairs.tolist()],
        })
        return 0
    summary = (f"Sparse comparison of {n} structures: the prefilter chose {result.candidates} "
               f"of {n * (n - 1) // 2} pairs (each structure's {result.keep} best partners); "
               f"{result.n_pairs} score at least {floor:g} ({score_name(settings.method)})")
    if args.tsv:
        write_text(args.tsv, pair_lines(result, names))
        print(summary + f"\nPairs written to {escaped(args.tsv)}")
    else:
        sys.stdout.writelines(pair_lines(result, names))
        if not args.quiet:
            print(summary, file=sys.stderr)
    return 0


def run(args, context):
    prog = context.prog
    settings = settings_of(args, prog)
    special = []
    found = inputs.find_targets(args.structures, special)
    if args.all_chains:
        found = inputs.every_chain([(p, args.chain if c is None else c, e) for p, c, e in found],
                                   prog, args.quiet)
    for option in OUTPUTS:  # the files found inside directories are inputs
        if getattr(args, option) is not None:
            check_not_an_input(getattr(args, option), f"--{option}",
                               [path for path, _, _ in found])
    if not args.quiet:
        warn_skipped(prog, special)
    if args.sparse or (not args.dense and len(found) > args.sparse_above):
        return run_sparse(args, found, settings, prog)
    if args.min_score is not None or args.keep:
        raise UsageError(f"--min-score and --keep apply to a sparse comparison, and these "
                         f"{len(found)} structures are compared densely: give --sparse")
    result = compare(args, found, settings, prog)
    n = len(result.paths)
    n_skipped = len(result.skipped)
    if n == 0 and (args.newick or args.plot):
        raise CliError("no structure could be read: there is no tree to write")
    tree = result.tree()
    # Every structure is FILE:CHAIN by the shortest end of its path that tells it apart; the
    # tree and the heatmap keep the short ids unless every chain of a file is an entry.
    labels = short_names(result.paths, result.chains)
    names = labels if args.all_chains else leaf_names(result.names)
    newick = trees.newick(tree, names) if n else None
    scored_by = score_name(settings.method)
    if args.tsv:
        write_tsv(args.tsv, result, labels)
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
            "structures": [{"path": p, "id": i, "length": length, "chain": c, "name": n}
                           for p, i, length, c, n in zip(result.paths, result.names,
                                                         result.lengths, result.chains, names)],
            "n_skipped": n_skipped,
            "score": rows(result.sc, finite_or_none),
            "tm_score": rows(result.tm, finite_or_none),
            "rmsd": rows(result.rmsd, finite_or_none),
            "n_aligned": rows(result.n_aligned, int),
            "newick": newick,
            "order": [k + 1 for k in result.order()],
        })
        return 0
    shown = [escaped(k) for k in (names if args.all_chains else result.names)]
    width = max([len(i) for i in shown] + [2])
    skipped = f" ({n_skipped} unreadable skipped)" if n_skipped else ""
    how = args.method + (f" {args.mode}" if args.mode else "")
    lines = [f"Structures  {n}{skipped}, method {how}: {n * (n + 1) // 2} alignments", ""]
    lines += [f"{k + 1:>{len(str(n))}}  {i:<{width}}  {length:>5}  {escaped(p)}"
              for k, (p, i, length) in enumerate(zip(result.paths, shown, result.lengths))]
    if n:
        lines += ["", "TM-score (normalised by the longer structure)", ""]
        # A pair with no aligned residue did not align (the KELDA method misses distant
        # pairs): '-' rather than a score of 0.
        aligned = result.n_aligned > 0
        lines += matrix_lines(result.tm_longer, 3, aligned)
        lines += ["", "Sc (KELDA score)", ""] + matrix_lines(result.sc, 3, aligned)
        if not aligned.all():
            lines += ["", "'-': not aligned" + (
                "; the default method (--method robust) aligns distant pairs"
                if settings.method != keldascope.Method.ROBUST else "")]
        lines += ["", f"Tree (average linkage over {scored_by})", "", newick]
    written = [(args.tsv, "Every pair's scores, RMSD and aligned pairs"),
               (args.newick, "Tree"), (args.plot, "Heatmap")]
    lines += [""] * any(p for p, _ in written)
    lines += [f"{what} written to {escaped(p)}" for p, what in written if p]
    print("\n".join(lines))
    return 0
