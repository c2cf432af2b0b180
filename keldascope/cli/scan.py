"""`malven scan QUERY TARGET...`: rank target structures (files, or directories of PDB and
mmCIF files) by their similarity to one query with the engine: the robust method after a
fast prefilter, or a KELDA mode; in this process on C++ threads or on Dask workers."""
import math
import sys

import keldascope
from keldascope import DEFAULT_KEEP_RULE, EngineSettings, SearchSettings, score_name
from keldascope.cli import hits, inputs, runners
from keldascope.cli.common import (MODES_HELP, SORT_TEXT, CliError, UsageError, add_json_argument,
                                   add_method_arguments, add_threads_argument, check_max_hits,
                                   check_not_an_input, check_output_file, dump_json, method_of,
                                   sort_by_of, threads_for, warn_skipped)
from keldascope.cli.progress import Progress
from keldascope.cli.tables import escaped, write_text
from keldascope._resolve import short_names
from keldascope.structures import read_structure

RULE = EngineSettings()  # the same-fold rule's thresholds, as the native side holds them

HELP = "rank targets by similarity to a query"
DESCRIPTION = f"""\
Align one query structure against every target and print the hits, best first. Targets are
structure files (FILE or FILE:CHAIN; PDB or mmCIF, plain or gzipped) or directories,
searched recursively for .pdb, .ent, .cif and .mmcif files, each also .gz; a file inside a
directory that cannot be read is skipped with a warning, a file named on the command line
is an error.

By default (--method robust) a prefilter scores every target by the local geometry of its
chain (a string of shape letters aligned to the query's) and the robust engine aligns the
best of them (--keep N, default {DEFAULT_KEEP_RULE}); --no-prefilter aligns every
target) on all cores. The KELDA method (--method kelda, or any --mode) aligns every target
as the malven module's scan_database does. Hits are ranked by their E-value (the number of
unrelated targets expected to score as well among this many); --sort-by chooses another
order, `score` the method's own (the TM-score normalised by the longer structure for the
robust method, Sc for the KELDA method). Each hit shows the TM-scores normalised by the
longer structure, by the query and by the target, Sc, RMSD, aligned pairs, identity, the
Z-score of its score among the hits, the E-value and the same-fold call (TM-score by the
longer >= {RULE.same_fold_tm:g}, or Sc >= {RULE.same_fold_sc:g}). Targets are named by the
shortest end of their path that tells them apart, with the chain (FILE:CHAIN); --all-chains
makes every protein chain of each target file a target. A target the KELDA method does not
align is listed as not aligned.

""" + MODES_HELP.format(what="target")

EPILOG = """\
examples:
  malven scan query.pdb database/
  malven scan query.cif:B a.pdb b.pdb:C c.cif.gz --max-hits 10 --tsv hits.tsv
  malven scan query.pdb database/ --cutoff 0.5 --threads 8
  malven scan query.pdb models/ --mode quick --cutoff 1.0 --json > hits.json
  malven scan query.pdb database/ --jobs 8
  malven scan query.pdb /shared/database/ --scheduler tcp://scheduler-host:8786"""


def add_arguments(p, chain_type):
    p.add_argument("query", metavar="QUERY", type=inputs.source,
                   help="query structure, FILE or FILE:CHAIN")
    p.add_argument("targets", nargs="+", metavar="TARGET", type=inputs.source,
                   help="target structures (FILE or FILE:CHAIN) or directories of them")
    inputs.add_all_chains_argument(p, "target file", "target")
    p.add_argument("--query-chain", type=chain_type, metavar="X",
                   help="chain of the query, as QUERY:X (default: its first chain; targets "
                        "use their first chain unless named as FILE:CHAIN)")
    add_method_arguments(p, "target")
    p.add_argument("--no-prefilter", action="store_true",
                   help="robust method: align every target with the engine")
    p.add_argument("--keep", type=inputs.positive_int, metavar="N",
                   help="robust method: targets the prefilter keeps for the engine "
                        f"(default {DEFAULT_KEEP_RULE.replace('%', '%%')})")
    add_threads_argument(p)
    hits.add_ranking_arguments(p, SearchSettings(), "score")
    p.add_argument("--tsv", metavar="OUT.tsv", help="also write the hit table as TSV")
    add_json_argument(p, "table")
    hits.add_format_arguments(p)
    runners.add_run_arguments(p)
    inputs.add_reading_arguments(p)


def settings_of(args, prog):
    """The search the command line asks for; its checks before any file is read."""
    method = method_of(args)
    if not math.isfinite(args.cutoff):
        raise UsageError(f"argument --cutoff: must be a finite number, not {args.cutoff}")
    check_max_hits(args.max_hits)
    if args.tsv is not None:
        check_output_file(args.tsv, "--tsv", [s.path for s in [args.query] + args.targets])
    return SearchSettings(method=method, prefilter=not args.no_prefilter, keep=args.keep or 0,
                          max_hits=args.max_hits, min_score=args.cutoff,
                          sort_by=sort_by_of(args), threads=threads_for(args.threads, prog))


# The TSV's columns before --format-output chose others.
TSV_COLUMNS = ("rank", "target", "path", "score", "tm_query", "tm_target", "sc", "rmsd",
               "aligned", "identity", "z", "evalue", "prob", "bits", "same_fold", "chain")


def hit_rows(result, args, source):
    """The hits as hit-table rows, named by the shortest ends of their paths that tell them
    apart; a target file is read again only when a column asks for its residues."""
    labels = short_names(result.paths, result.chains)
    query = short_names([source.path], [result.query.chain])[0]
    reading = inputs.reading(args)

    def structures(h):
        target = read_structure(result.path(h), result.chain(h) or None, **reading)
        return result.query, target

    return [hits.Hit(h, query, labels[h.target], result.query.path, result.path(h),
                     result.chain(h) or "", lambda h=h: structures(h))
            for h in result.hits], labels


def search(args, source, found, settings, prog):
    """The search, here or on Dask workers; files inside directories that cannot be read are
    skipped with a warning once the run is over."""
    targets, skippable = inputs.structures_of(found)
    show = Progress.wanted(args.quiet)
    with runners.runner_for(args, len(found), prog) as runner:
        try:
            with runners.ChunkProgress("Scanning chunks", show) as bar:
                result = keldascope.distributed_search(
                    (source.path, source.chain), targets, settings, client=runner,
                    skip_unreadable=skippable, progress=bar, **inputs.reading(args))
        except ValueError as exc:  # an unreadable file or a failed alignment, named
            raise CliError(str(exc))
    if not args.quiet:
        warn_skipped(prog, result.skipped)
    return result


def run(args, context):
    prog = context.prog
    settings = settings_of(args, prog)
    layout = hits.layout_of(args, TSV_COLUMNS)
    source = args.query.with_chain(args.query_chain, "--query-chain")
    special = []
    found = inputs.find_targets(args.targets, special)
    if args.all_chains:
        found = inputs.every_chain(found, prog, args.quiet)
    if args.tsv is not None:  # the files found inside directories are inputs too
        check_not_an_input(args.tsv, "--tsv", [path for path, _, _ in found])
    if not args.quiet:
        warn_skipped(prog, special)
    result = search(args, source, found, settings, prog)
    structure, query = result.query, result.query.domain
    every, labels = hit_rows(result, args, source)
    # A KELDA alignment that found nothing scores 0 over 0 pairs: not a hit, but a target
    # that did not align. (The quick pass superposes nothing, yet its pairs are hits.)
    failed = [labels[h.target] for h in result.hits if h.n_aligned == 0]
    rows = [r for r in every if r.hit.n_aligned > 0]
    if layout.format in ("tsv", "m8") or args.tsv:
        lines = hits.tsv_lines(layout, rows)
        if layout.to_stdout:
            sys.stdout.writelines(lines)
            return 0
        write_text(args.tsv, lines)

    if args.json:
        dump_json({
            "command": "scan",
            "version": keldascope.__version__,
            "query": {"path": structure.path, "id": query.id, "chain": structure.chain,
                      "length": len(query)},
            "method": args.method,
            "mode": args.mode or "robust",
            "cutoff": args.cutoff,
            "max_hits": args.max_hits,
            "n_targets": result.n_targets,
            "n_aligned": result.n_aligned,
            "n_skipped": len(result.skipped),
            "hits": [hits.json_hit(r, result.name(r.hit), name=r.target, chain=r.chain)
                     for r in rows],
            "not_aligned": failed,
        })
        return 0
    how = args.method + (f" {args.mode}" if args.mode else "")
    if result.n_aligned < result.n_targets:
        how += f", {result.n_aligned} aligned after the prefilter"
    skipped = len(result.skipped)
    lines = [f"Query    {escaped(structure.path)}  chain {escaped(structure.chain)}  "
             f"{len(query)} residues",
             f"Targets  {result.n_targets}" + (f" ({skipped} unreadable skipped)" if skipped
                                                else "")
             + f", method {how}, cutoff {args.cutoff:g}: {len(rows)} hits"
             + (f" (at most {args.max_hits} shown)" if len(rows) == args.max_hits else "")
             + ", ranked by " + SORT_TEXT.get(args.sort_by, score_name(settings.method)),
             ""]
    lines += hits.table(rows) if rows else ["No hits."]
    if failed:
        lines += ["", f"Not aligned ({len(failed)}): {', '.join(map(escaped, failed))}"]
        if settings.method != keldascope.Method.ROBUST:
            lines.append("The KELDA method misses distant pairs; the default method "
                         "(--method robust) aligns them.")
    if args.tsv:
        lines += ["", f"Table written to {escaped(args.tsv)}"]
    print("\n".join(lines))
    return 0
