"""`malven search DB QUERY...`: search a structure database (built by `malven createdb`) with
many queries in one pass over it, printing per query the hit table of `malven scan`, or one
TSV table or JSON document for them all."""
import math
import os

import keldascope
from keldascope import DatabaseSearchSettings, EngineSettings, NormaliseBy
from keldascope.cli import inputs
from keldascope.cli.common import (SORT_TEXT, CliError, UsageError, add_quiet_argument,
                                   add_sort_argument, add_threads_argument, check_output_file,
                                   dump_json, evalue_text, finite_or_none, fmt, percent,
                                   rmsd_text, sort_by_of, threads_for, warn)
from keldascope.database import Database
from keldascope.structures import UnreadableStructure, read_structure

RULE = EngineSettings()  # the same-fold rule's thresholds, as the native side holds them

DESCRIPTION = f"""\
Search a structure database with one or more queries. Queries are structure files (FILE or
FILE:CHAIN; PDB or mmCIF, plain or gzipped; the first chain unless one is named), folders
searched recursively, @LIST (one path a line) or another database (its every entry). All
queries share one pass over the database.

The search runs in stages whose cost per target falls from one to the next: an ungapped
score of every entry's shape letters (the local geometry of its chain) against the query's,
the shape strings' local alignment on the best of those, and the robust engine on the best
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

HEADER = ("rank", "target", "TM longer", "TM query", "TM target", "Sc", "rmsd", "aligned",
          "identity", "z", "evalue", "same fold")
TSV_HEADER = ("query", "rank", "target", "path", "score", "tm_query", "tm_target", "sc", "rmsd",
              "aligned", "identity", "same_fold", "evalue", "prob", "bits")


def add_parser(sub, chain_type):
    p = sub.add_parser("search", help="search a structure database with queries",
                       description=DESCRIPTION, epilog=EPILOG)
    p.add_argument("db", metavar="DB", help="the database (made by malven createdb)")
    p.add_argument("queries", nargs="+", metavar="QUERY",
                   help="query structures (FILE or FILE:CHAIN), folders of them, @LIST or "
                        "another database")
    p.add_argument("--exhaustive", action="store_true",
                   help="align every entry with the engine (no stage before it)")
    p.add_argument("--keep", type=inputs.positive_int, metavar="N",
                   help="targets the engine aligns a query after the first stages (default: "
                        "as many as its fixed amount of work pays for)")
    defaults = DatabaseSearchSettings()
    p.add_argument("--cutoff", type=float, default=defaults.min_score, metavar="X",
                   help="report only hits with a TM-score of at least X (default %(default)s)")
    p.add_argument("--max-hits", type=int, default=defaults.max_hits, metavar="N",
                   help="report at most N hits a query (default %(default)s)")
    add_sort_argument(p, defaults.sort_by)
    add_threads_argument(p)
    p.add_argument("--tsv", metavar="OUT.tsv",
                   help="also write one table of every query's hits as TSV")
    p.add_argument("--json", action="store_true",
                   help="print one JSON object instead of the tables")
    add_quiet_argument(p, progress=False)
    inputs.add_reading_arguments(p)
    p.set_defaults(run=run)
    return p


def settings_of(args, prog):
    """The search the command line asks for; its checks before any file is read."""
    if not math.isfinite(args.cutoff):
        raise UsageError(f"argument --cutoff: must be a finite number, not {args.cutoff}")
    if args.max_hits < 0:
        raise UsageError(f"argument --max-hits: must not be negative, got {args.max_hits}")
    if args.tsv is not None:
        check_output_file(args.tsv, "--tsv", [args.db] + [q.lstrip("@") for q in args.queries])
    return DatabaseSearchSettings(exhaustive=args.exhaustive, keep=args.keep or 0,
                                  max_hits=args.max_hits, min_score=args.cutoff,
                                  sort_by=sort_by_of(args), threads=threads_for(args.threads, prog))


def open_database(path):
    try:
        return Database(path)
    except (ValueError, OSError) as exc:
        raise CliError(str(exc))


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
        for path, chain, explicit in found or inputs.find_targets([src], special):
            try:
                out.append(read_structure(path, chain, **inputs.reading(args)))
            except UnreadableStructure as exc:
                if explicit:
                    raise
                if not args.quiet:
                    warn(prog, f"skipped: {exc}")
        if not args.quiet:
            for _, reason in special:
                warn(prog, f"skipped: {reason}")
    if not out:
        raise CliError("no query could be read")
    return out


def query_name(structure):
    """A query as the tables name it: FILE:CHAIN, as the database names its entries."""
    chain = structure.chain.strip()
    return f"{structure.name}:{chain}" if chain else structure.name


def row(found, h):
    """One hit as the tables and JSON show it."""
    return dict(rank=h.rank, target=found.name(h), path=found.path(h), score=h.score,
                tm_longer=h.tm_score(NormaliseBy.LONGER),
                tm_score={"query": h.tm_score_a, "target": h.tm_score_b}, sc=h.sc, rmsd=h.rmsd,
                n_aligned=h.n_aligned, seq_identity=h.identity, z_score=h.z_score,
                significant=h.same_fold, prefilter=h.prefilter, evalue=h.evalue, prob=h.prob,
                bits=h.bits)


def table(rows):
    cells = [HEADER] + [(str(r["rank"]), r["target"], fmt(r["tm_longer"], 4),
                         fmt(r["tm_score"]["query"], 4), fmt(r["tm_score"]["target"], 4),
                         fmt(r["sc"], 3), rmsd_text(r["rmsd"], r["n_aligned"]),
                         str(r["n_aligned"]), percent(r["seq_identity"]), fmt(r["z_score"], 2),
                         evalue_text(r["evalue"]), "yes" if r["significant"] else "no")
                        for r in rows]
    widths = [max(len(c[k]) for c in cells) for k in range(len(HEADER))]
    return ["  ".join([c[0].rjust(widths[0]), c[1].ljust(widths[1])] +
                      [c[k].rjust(widths[k]) for k in range(2, len(HEADER))]).rstrip()
            for c in cells]


def tsv_lines(results):
    def num(v):
        return "" if v is None or math.isnan(v) else repr(float(v))

    yield "\t".join(TSV_HEADER) + "\n"
    for found in results:
        name = query_name(found.query)
        for r in map(lambda h: row(found, h), found.hits):
            yield "\t".join([name, str(r["rank"]), r["target"], r["path"], num(r["score"]),
                             num(r["tm_score"]["query"]), num(r["tm_score"]["target"]),
                             num(r["sc"]), num(r["rmsd"]), str(r["n_aligned"]),
                             num(r["seq_identity"]), "yes" if r["significant"] else "no",
                             num(r["evalue"]), num(r["prob"]), num(r["bits"])]) + "\n"


def write_tsv(path, results):
    """The table written whole under a temporary name, then renamed: an interrupted run
    leaves no partial table (and no earlier file half replaced)."""
    partial = f"{path}.partial-{os.getpid()}"
    try:
        with open(partial, "w", encoding="utf-8") as out:
            out.writelines(tsv_lines(results))
        os.replace(partial, path)
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")
    finally:
        if os.path.exists(partial):
            os.remove(partial)


def json_query(found):
    structure = found.query
    hits = []
    for r in (row(found, h) for h in found.hits):
        hit = {k: v for k, v in r.items() if k != "tm_longer"}
        hit.update({k: finite_or_none(r[k]) for k in ("score", "sc", "rmsd", "seq_identity",
                                                      "z_score", "prefilter", "evalue",
                                                      "prob", "bits")})
        hit["tm_score"] = {k: finite_or_none(v) for k, v in r["tm_score"].items()}
        hits.append(hit)
    return {"query": {"name": query_name(structure), "path": structure.path,
                      "chain": structure.chain, "length": len(structure.domain)},
            "n_aligned": found.n_aligned, "hits": hits}


def run(args, context):
    prog = context.prog
    settings = settings_of(args, prog)
    db = open_database(args.db)
    queries = queries_of(args, prog)
    results = db.search(queries, settings)
    if args.tsv:
        write_tsv(args.tsv, results)
    if args.json:
        dump_json({"command": "search", "version": keldascope.__version__,
                   "database": args.db, "n_entries": len(db), "exhaustive": args.exhaustive,
                   "cutoff": args.cutoff, "max_hits": args.max_hits,
                   "queries": [json_query(found) for found in results]})
        return 0
    lines = []
    how = "every entry aligned" if args.exhaustive else "staged search"
    for found in results:
        structure = found.query
        rows = [row(found, h) for h in found.hits]
        lines += [f"Query    {structure.path}  chain {structure.chain}  "
                  f"{len(structure.domain)} residues",
                  f"Database {args.db}  {len(db)} entries, {how}, {found.n_aligned} aligned, "
                  f"cutoff {args.cutoff:g}: {len(rows)} hits"
                  + (f" (at most {args.max_hits} shown)" if len(rows) == args.max_hits else "")
                  + f", ranked by {SORT_TEXT.get(args.sort_by, 'TM-score')}", ""]
        lines += (table(rows) if rows else ["No hits."]) + [""]
    if args.tsv:
        lines += [f"Table written to {args.tsv}"]
    print("\n".join(lines).rstrip("\n"))
    return 0
