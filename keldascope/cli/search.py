"""`malven search DB QUERY...`: search a structure database (built by `malven createdb`) with
many queries in one pass over it, printing per query the hit table of `malven scan`, or one
TSV table or JSON document for them all."""
import math
import os
import sys

import keldascope
from keldascope import DatabaseSearchSettings, EngineSettings
from keldascope.cli import hits, inputs
from keldascope.cli import complex as complexes
from keldascope.cli.common import (SORT_TEXT, CliError, UsageError, add_json_argument,
                                   add_quiet_argument, add_threads_argument, check_max_hits,
                                   check_output_file, dump_json, open_database, sort_by_of,
                                   threads_for, warn)
from keldascope.cli.progress import Progress
from keldascope.cli.tables import escaped, write_text
from keldascope.clustering import is_database
from keldascope.database import Database
from keldascope._resolve import short_names
from keldascope.structures import UnreadableStructure

RULE = EngineSettings()  # the same-fold rule's thresholds, as the native side holds them

HELP = "search a structure database with queries"
DESCRIPTION = f"""\
Search a structure database with one or more queries. Queries are structure files (FILE or
FILE:CHAIN; PDB or mmCIF, plain or gzipped; the first chain unless one is named), folders
searched recursively, @LIST (one path a line) or another database (its every entry). All
queries share one pass over the database.

The search runs in stages whose cost per target falls from one to the next: an ungapped
score of every entry's contact letters (each residue with its nearest neighbour in space,
and its amino-acid group) against the query's, the letters' local alignment on the best of
those, and the robust engine on the best
of these (as many as a fixed amount of work pays for, which grows far more slowly than the
database; --keep N aligns N instead; --exhaustive aligns every entry). Hits are ranked by
their E-value (the number of unrelated entries expected to score as well in a database of
this size; --sort-by chooses another order); each shows the TM-scores by the longer
structure, the query and the target, Sc, RMSD, aligned pairs, identity, the Z-score of its
score among the hits, the E-value and the same-fold call (TM-score by the longer >=
{RULE.same_fold_tm:g}, or Sc >= {RULE.same_fold_sc:g})."""

EPILOG = """\
examples:
  malven createdb pdb.db /data/pdb/
  malven search pdb.db query.pdb
  malven search pdb.db queries/ --max-hits 20 --tsv hits.tsv
  malven search pdb.db @queries.txt --json > hits.json
  malven search pdb.db other.db --exhaustive --threads 8"""

# The TSV's columns before --format-output chose others.
TSV_COLUMNS = ("query", "rank", "target", "path", "score", "tm_query", "tm_target", "sc",
               "rmsd", "aligned", "identity", "same_fold", "evalue", "prob", "bits")


def add_arguments(p, chain_type):
    p.add_argument("db", metavar="DB", help="the database (made by malven createdb)")
    p.add_argument("queries", nargs="+", metavar="QUERY",
                   help="query structures (FILE or FILE:CHAIN), folders of them, @LIST or "
                        "another database")
    p.add_argument("--exhaustive", action="store_true",
                   help="align every entry with the engine (no stage before it)")
    p.add_argument("--keep", type=inputs.positive_int, metavar="N",
                   help="targets the engine aligns a query after the first stages (default: "
                        "as many as its fixed amount of work pays for)")
    hits.add_ranking_arguments(p, DatabaseSearchSettings(), "TM-score", " a query")
    add_threads_argument(p)
    p.add_argument("--tsv", metavar="OUT.tsv",
                   help="also write one table of every query's hits as TSV")
    add_json_argument(p, "tables")
    hits.add_format_arguments(p)
    p.add_argument("--complex", action="store_true",
                   help="each query file is an assembly (every protein chain) searched "
                        "against the database's assemblies (the entries of one file and "
                        "model), ranked by the complex TM-score")
    p.add_argument("--verify", action="store_true",
                   help="check the database's files whole first, as malven verify does")
    add_quiet_argument(p)
    inputs.add_reading_arguments(p)


def settings_of(args, prog):
    """The search the command line asks for; its checks before any file is read."""
    if not math.isfinite(args.cutoff):
        raise UsageError(f"argument --cutoff: must be a finite number, not {args.cutoff}")
    check_max_hits(args.max_hits)
    if args.tsv is not None:
        check_output_file(args.tsv, "--tsv", [args.db] + args.queries)
    return DatabaseSearchSettings(exhaustive=args.exhaustive, engine_targets=args.keep or 0,
                                  max_hits=args.max_hits, min_score=args.cutoff,
                                  sort_by=sort_by_of(args), threads=threads_for(args.threads, prog))


def open_searched(path, queries, verify):
    try:
        return open_database(path, verify)
    except CliError as exc:
        # Foldseek's easy-search takes the query first: name the order when the arguments
        # look swapped (a database among the queries).
        swapped = next((q for q in queries if is_database(q)), None)
        hint = f"; the database comes first: malven search {swapped} {path}" if swapped else ""
        raise CliError(f"{exc}{hint}")


def queries_of(args, prog):
    """Every query the arguments name, in order: the entries of databases, the structures
    of files; a file inside a folder that cannot be read is skipped with a warning, a file
    named outright is an error."""
    out = []
    for text in inputs.expand_lists(args.queries):
        src = inputs.source(text)
        special, found = [], None
        if os.path.isdir(src.path):
            try:
                out += Database(src.path).structures()
                continue
            except (ValueError, OSError) as exc:
                # A folder of structure files, or a database that cannot be used: said as
                # such when the folder holds no structure files.
                try:
                    found = inputs.find_targets([src], special)
                except UnreadableStructure:
                    raise CliError(str(exc))
        out += inputs.read_found(found or inputs.find_targets([src], special), args, prog,
                                 args.quiet)
        if not args.quiet:
            for _, reason in special:
                warn(prog, f"skipped: {reason}")
    if not out:
        raise CliError("no query could be read")
    return out


def query_names(structures):
    """The queries as the tables name them: FILE:CHAIN by the shortest end of their paths
    that tells them apart, as a database names its entries."""
    return short_names([q.path or q.name for q in structures],
                       [q.chain.strip() or q.domain.chain for q in structures])


def hit_rows(found, name, db):
    """The hits of one query as hit-table rows, targets named by the shortest ends of their
    paths that tell the database's files apart; the target's residues read from the
    database when a column asks for them."""
    return [hits.Hit(h, name, db.label(h.target), found.query.path, found.path(h), None,
                     lambda h=h: (found.query, db[h.target]))
            for h in found.hits]


def json_query(found, name, rows):
    structure = found.query
    return {"query": {"name": name, "path": structure.path, "chain": structure.chain,
                      "length": len(structure.domain)},
            "n_aligned": found.n_aligned, "hits": [hits.json_hit(r) for r in rows]}


def search_with_progress(db, queries, settings, show):
    """The search, its first stage drawn as a bar over the entries and the engine's
    alignments counted beside it (a bar over every pair with --exhaustive)."""
    exhaustive = settings.exhaustive
    total = len(db) * len(queries) if exhaustive else len(db)
    with Progress("Aligning" if exhaustive else "Searching", total, show) as bar:
        def update(scanned, aligned):
            if not exhaustive:
                bar.note = f", {aligned} aligned"
            bar.update((aligned if exhaustive else scanned) - bar.done)
        return db.search(queries, settings, progress=update if bar.enabled else None)


def run(args, context):
    prog = context.prog
    settings = settings_of(args, prog)
    layout = hits.layout_of(args, TSV_COLUMNS)
    db = open_searched(args.db, args.queries, args.verify)
    if args.complex:
        return complexes.run_search(args, context, db)
    queries = queries_of(args, prog)
    try:
        results = search_with_progress(db, queries, settings, Progress.wanted(args.quiet))
    except ValueError as exc:  # an entry the database cannot give (damaged, cut short)
        raise CliError(str(exc))
    names = query_names([found.query for found in results])
    rows = [hit_rows(found, name, db) for found, name in zip(results, names)]
    if layout.format in ("tsv", "m8") or args.tsv:
        lines = hits.tsv_lines(layout, (r for query in rows for r in query))
        if layout.to_stdout:
            sys.stdout.writelines(lines)
            return 0
        write_text(args.tsv, lines)
    if args.json:
        dump_json({"command": "search", "version": keldascope.__version__,
                   "database": args.db, "n_entries": len(db), "exhaustive": args.exhaustive,
                   "cutoff": args.cutoff, "max_hits": args.max_hits,
                   "queries": [json_query(found, name, r)
                               for found, name, r in zip(results, names, rows)]})
        return 0
    lines = []
    how = "every entry aligned" if args.exhaustive else "staged search"
    for found, query_rows in zip(results, rows):
        structure = found.query
        lines += [f"Query    {escaped(structure.path)}  chain {escaped(structure.chain)}  "
                  f"{len(structure.domain)} residues",
                  f"Database {escaped(args.db)}  {len(db)} entries, {how}, {found.n_aligned} "
                  f"aligned, cutoff {args.cutoff:g}: {len(query_rows)} hits"
                  + (f" (at most {args.max_hits} shown)" if len(query_rows) == args.max_hits
                     else "")
                  + f", ranked by {SORT_TEXT.get(args.sort_by, 'TM-score')}", ""]
        lines += (hits.table(query_rows) if query_rows else ["No hits."]) + [""]
    if args.tsv:
        lines += [f"Table written to {escaped(args.tsv)}"]
    print("\n".join(lines).rstrip("\n"))
    return 0
