"""`malven cluster SOURCE...|DB`: cluster chains by TM-score (structure files and directories
read into memory, or the entries of a structure database), print a summary, and write
`representative<TAB>member` lines with --tsv."""
import argparse

import keldascope
from keldascope.cli import complex as complexes
from keldascope.cli import inputs
from keldascope.cli.common import (CliError, UsageError, add_quiet_argument,
                                   add_threads_argument, check_output_file, threads_for, warn)
from keldascope.cli.progress import Progress
from keldascope.cli.tables import escaped, tsv_line, write_text
from keldascope.clustering import COVERAGE_OF, cluster, is_database

HELP = "cluster chains by TM-score (files or a database)"
DESCRIPTION = """\
Cluster protein chains by TM-score without aligning every pair. SOURCE is a structure
database (made by 'malven createdb') or structure files (FILE or FILE:CHAIN; PDB or mmCIF,
plain or gzipped) and directories of them, each file's first chain unless FILE:CHAIN or
--chain says otherwise; a file inside a directory that cannot be read is skipped with a
warning, a file named on the command line is an error.

A chain reaches another when their TM-score, normalised by the longer chain, is at least
--tm (and with --coverage, when the alignment's close pairs cover that share of each chain,
or of the shorter with --coverage-of shorter). Candidates come from the database's fast
stages (contact letters scored ungapped, then aligned); the pairwise engine runs only on a
bounded number of them, and a cheap alignment that already reaches the threshold settles a
pair without it.

By default clusters are a greedy set cover: the longest chain not yet placed becomes a
representative and takes every chain not yet placed that it reaches. --components joins
chains into connected components instead (every member is asked whom it reaches; costlier).
Every chain is a member of exactly one cluster, a representative of its own."""

EPILOG = """\
examples:
  malven cluster chains.db --tsv clusters.tsv
  malven cluster family/ --tm 0.6 --coverage 0.8
  malven cluster a.pdb b.cif:B c.pdb.gz --components"""


def unit_interval(text):
    value = inputs.finite_float(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must lie between 0 and 1, got {text}")
    return value


def tm_threshold(text):
    """A TM-score a member must reach: above 0 (every pair reaches 0, which clusters nothing
    apart)."""
    value = unit_interval(text)
    if value <= 0.0:
        raise argparse.ArgumentTypeError(f"must lie above 0 and at most 1, got {text}")
    return value


def add_arguments(p, chain_type):
    p.add_argument("sources", nargs="+", metavar="SOURCE", type=inputs.source,
                   help="a structure database, or structure files (FILE or FILE:CHAIN) and "
                        "directories of them")
    inputs.add_chain_argument(p, chain_type)
    defaults = keldascope.ClusterSettings()
    p.add_argument("--tm", type=tm_threshold, default=defaults.tm, metavar="X",
                   help="TM-score (normalised by the longer chain) a member reaches at least "
                        "(default %(default)s)")
    p.add_argument("--coverage", type=unit_interval, metavar="X",
                   help="share of each chain (or of the shorter: --coverage-of) the alignment's "
                        "close pairs cover at least (default: none)")
    p.add_argument("--coverage-of", choices=tuple(COVERAGE_OF), default="each",
                   help="whose residues --coverage counts (default each)")
    p.add_argument("--components", action="store_true",
                   help="connected components instead of a greedy set cover")
    p.add_argument("--tsv", metavar="OUT.tsv",
                   help="write representative<TAB>member lines, every chain once as a member")
    p.add_argument("--complex", action="store_true",
                   help="cluster whole files as assemblies (every protein chain) by the "
                        "complex TM-score normalised by the larger assembly")
    add_threads_argument(p)
    add_quiet_argument(p)
    inputs.add_reading_arguments(p)


def structures_of(args, prog):
    """The chains the sources name, read; files inside directories that cannot be read are
    skipped with a warning."""
    special = []
    found = inputs.find_targets(args.sources, special)
    if not args.quiet:
        for _, reason in special:
            warn(prog, f"skipped: {reason}")
    structures = inputs.read_found(found, args, prog, args.quiet, args.chain)
    if not structures:
        raise CliError("no structure could be read")
    return structures


def write_tsv(path, result):
    """The lines written whole (an interrupted run leaves no partial file), names escaped
    as every TSV escapes them."""
    write_text(path, (tsv_line([escaped(representative), escaped(member)])
                      for representative, member in result.pairs()))


def summary(result, method):
    lines = [f"chains\t{result.n_chains}", f"clusters\t{len(result.clusters)}",
             f"singletons\t{result.singletons}", f"largest\t{result.largest}",
             f"method\t{method}",
             f"work\t{result.queries} queries, {result.certified} members settled before the "
             f"engine, {result.aligned} engine alignments"]
    return "\n".join(lines)


def run(args, context):
    prog = context.prog
    databases = [s for s in args.sources if s.chain is None and is_database(s.path)]
    if databases and len(args.sources) > 1:
        raise UsageError("a database is clustered alone; give it as the only SOURCE")
    if databases and (args.chain or args.model is not None or args.min_plddt is not None):
        raise UsageError("--chain, --model and --min-plddt read files; a database holds its "
                         "chains already")
    if args.tsv is not None:
        check_output_file(args.tsv, "--tsv", [s.path for s in args.sources])
    if args.complex:
        if databases:
            raise UsageError("--complex clusters structure files, not a database")
        return complexes.run_cluster(args, context, write_tsv)
    method = "components" if args.components else "set-cover"
    settings = dict(tm=args.tm, coverage=args.coverage, coverage_of=args.coverage_of,
                    method=method, threads=threads_for(args.threads, prog))
    sources = databases[0].path if databases else structures_of(args, prog)
    bar = None

    def progress(placed, total):
        nonlocal bar
        if bar is None:
            bar = Progress("Clustering chains", total, Progress.wanted(args.quiet))
        bar.update(placed - bar.done)

    try:
        result = cluster(sources, progress=progress, **settings)
    except ValueError as exc:
        raise CliError(str(exc))
    finally:
        if bar is not None:
            bar.close()
    if args.tsv is not None:
        write_tsv(args.tsv, result)
    print(summary(result, method))
    return 0
