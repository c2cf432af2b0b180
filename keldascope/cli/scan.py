"""`malven scan QUERY TARGET...`: rank target structures (files, or directories of PDB and
mmCIF files) by their KELDA score against one query, with a progress bar on a terminal."""
import math

import malven

from keldascope import distributed, kelda
from keldascope.cli import cluster, inputs
from keldascope.cli.common import (CliError, UsageError, check_output_file, dump_json,
                                   finite_or_none, fmt, percent, rmsd_text, warn, warning_line)
from keldascope.cli.progress import Progress
from keldascope.structures import UnreadableStructure, find_structure_files, read_domain

MODES_HELP = """\
modes:
  scan   scan-mode placement of every {what} (structures in unrelated frames; default)
  full   iterative refinement from the coordinates as they stand (a common frame)
  quick  one scoring and alignment pass, no refinement (screening a common frame)"""

DESCRIPTION = """\
Align one query structure against every target and print the hits ranked by KELDA score Sc:
rank, target, score, RMSD, aligned pairs, sequence identity and the Z-score of the score
among the reported hits. Targets are structure files (FILE or FILE:CHAIN; PDB or mmCIF,
plain or gzipped) or directories, searched recursively for .pdb, .ent, .cif and .mmcif
files, each also .gz; a file inside a directory that cannot be read is skipped with a
warning, a file named on the command line is an error.

""" + MODES_HELP.format(what="target")

EPILOG = """\
examples:
  malven scan query.pdb database/
  malven scan query.cif:B a.pdb b.pdb:C c.cif.gz --max-hits 10 --tsv hits.tsv
  malven scan query.pdb models/ --mode quick --cutoff 1.0 --json > hits.json
  malven scan query.pdb database/ --jobs 8
  malven scan query.pdb /shared/database/ --scheduler tcp://scheduler-host:8786"""

MODES = {"scan": dict(scan_mode=True, quick=False),
         "full": dict(scan_mode=False, quick=False),
         "quick": dict(scan_mode=False, quick=True)}


def add_parser(sub, chain_type):
    p = sub.add_parser("scan", help="rank targets by similarity to a query",
                       description=DESCRIPTION, epilog=EPILOG)
    p.add_argument("query", metavar="QUERY", type=inputs.source,
                   help="query structure, FILE or FILE:CHAIN")
    p.add_argument("targets", nargs="+", metavar="TARGET", type=inputs.source,
                   help="target structures (FILE or FILE:CHAIN) or directories of them")
    p.add_argument("--query-chain", type=chain_type, metavar="X",
                   help="chain of the query, as QUERY:X (default: its first chain; targets "
                        "use their first chain unless named as FILE:CHAIN)")
    p.add_argument("--mode", choices=sorted(MODES), default="scan",
                   help="how each target is aligned (default scan)")
    p.add_argument("--cutoff", type=float, default=0.0, metavar="X",
                   help="report only hits with a score of at least X (default 0.0)")
    p.add_argument("--max-hits", type=int, default=100, metavar="N",
                   help="report at most N hits (default 100)")
    p.add_argument("--tsv", metavar="OUT.tsv", help="also write the hit table as TSV")
    p.add_argument("--json", action="store_true",
                   help="print one JSON object instead of the table")
    cluster.add_cluster_arguments(p)
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no warnings on standard error")
    inputs.add_reading_arguments(p)
    p.set_defaults(run=run)
    return p


def check_arguments(args):
    if not math.isfinite(args.cutoff):
        raise UsageError(f"argument --cutoff: must be a finite number, not {args.cutoff}")
    if args.max_hits < 0:
        raise UsageError(f"argument --max-hits: must not be negative, got {args.max_hits}")
    if args.tsv is not None:
        check_output_file(args.tsv, "--tsv", [s.path for s in [args.query] + args.targets])


def find_targets(sources, special=None):
    """(path, chain, explicit) of every target: files as named, directories expanded (their
    files that are not regular files left out and listed in `special`)."""
    return [(path, src.chain, explicit) for src in sources
            for path, explicit in find_structure_files([src.path], special)]


def load_targets(found, show_progress, prog, quiet, reading):
    loaded, skipped = [], 0
    with Progress("Reading targets", len(found), show_progress) as bar:
        for path, chain, explicit in found:
            try:
                loaded.append((path, read_domain(path, chain, **reading)))
            except UnreadableStructure as exc:
                if explicit:
                    raise
                skipped += 1
                if not quiet:
                    bar.message(warning_line(prog, f"skipped: {exc}"))
            bar.update()
    return loaded, skipped


def scan_all(query, targets, args, show_progress):
    """Scan one target at a time, so that the bar can advance, and rank as the module ranks
    one whole-list call."""
    scan_database = malven.scan_database
    hits = []
    with Progress("Scanning", len(targets), show_progress) as bar:
        for path, domain in targets:
            try:
                found = scan_database(query, [domain], score_cutoff=args.cutoff, max_hits=1,
                                      **MODES[args.mode])
            except ValueError as exc:
                raise CliError(f"scan of {path} failed: {exc}")
            hits += [(path, h) for h in found]
            bar.update()
    return [dict(rank=rank, target=h.target_id, path=path, score=h.score, rmsd=h.rmsd,
                 n_aligned=h.n_aligned, seq_identity=h.seq_identity, z_score=z)
            for (path, h), rank, z in kelda.rank(hits, args.max_hits, lambda item: item[1].score)]


HEADER = ("rank", "target", "score", "rmsd", "aligned", "identity", "z")


def table(rows):
    cells = [HEADER] + [(str(r["rank"]), r["target"], fmt(r["score"], 4),
                         rmsd_text(r["rmsd"], r["n_aligned"]), str(r["n_aligned"]),
                         percent(r["seq_identity"]), fmt(r["z_score"], 2))
                        for r in rows]
    widths = [max(len(c[k]) for c in cells) for k in range(len(HEADER))]
    lines = []
    for c in cells:
        parts = [c[0].rjust(widths[0]), c[1].ljust(widths[1])]
        parts += [c[k].rjust(widths[k]) for k in range(2, len(HEADER))]
        lines.append("  ".join(parts).rstrip())
    return lines


def write_tsv(path, rows):
    def num(v):
        return "" if v is None else repr(float(v))

    try:
        with open(path, "w", encoding="utf-8") as out:
            out.write("rank\ttarget\tpath\tscore\trmsd\taligned\tidentity\tz\n")
            for r in rows:
                out.write("\t".join([str(r["rank"]), r["target"], r["path"], num(r["score"]),
                                     num(r["rmsd"]), str(r["n_aligned"]),
                                     num(r["seq_identity"]), num(r["z_score"])]) + "\n")
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")


def scan_distributed(args, query, found, runner, show, prog):
    """The scan on Dask workers; files inside directories that cannot be read are skipped
    with a warning, as in this process, once the run is over."""
    try:
        with cluster.ChunkProgress("Scanning chunks", show) as bar:
            result = distributed.distributed_scan(
                query.path, [(path, chain) for path, chain, _ in found],
                score_cutoff=args.cutoff, max_hits=args.max_hits, client=runner,
                query_chain=query.chain, skip_unreadable=[not explicit for *_, explicit in found],
                progress=bar, **inputs.reading(args), **MODES[args.mode])
    except ValueError as exc:  # an unreadable file or a failed alignment, named
        raise CliError(str(exc))
    if not args.quiet:
        for _, reason in result.skipped:
            warn(prog, f"skipped: {reason}")
    rows = [dict(rank=h.rank, target=h.target_id, path=h.path, score=h.score, rmsd=h.rmsd,
                 n_aligned=h.n_aligned, seq_identity=h.seq_identity, z_score=h.z_score)
            for h in result.hits]
    return rows, result.n_targets, len(result.skipped)


def run(args, context):
    prog = context.prog
    check_arguments(args)
    show = Progress.wanted(args.quiet)
    source = args.query.with_chain(args.query_chain, "--query-chain")
    structure = inputs.read(source, args)
    query = structure.domain
    special = []
    found = find_targets(args.targets, special)
    if not args.quiet:
        for _, reason in special:
            warn(context.prog, f"skipped: {reason}")
    with cluster.runner_for(args, len(found), args.mode, prog) as runner:
        if runner is distributed.IN_PROCESS:
            targets, skipped = load_targets(found, show, prog, args.quiet, inputs.reading(args))
            rows = scan_all(query, targets, args, show)
            n_targets = len(targets)
        else:
            rows, n_targets, skipped = scan_distributed(args, source, found, runner, show, prog)
    if args.tsv:
        write_tsv(args.tsv, rows)

    if args.json:
        dump_json({
            "command": "scan",
            "version": malven.__version__,
            "query": {"path": structure.path, "id": query.id, "chain": structure.chain,
                      "length": len(query)},
            "mode": args.mode,
            "cutoff": args.cutoff,
            "max_hits": args.max_hits,
            "n_targets": n_targets,
            "n_skipped": skipped,
            "hits": [dict(r, score=finite_or_none(r["score"]), rmsd=finite_or_none(r["rmsd"]),
                          seq_identity=finite_or_none(r["seq_identity"]),
                          z_score=finite_or_none(r["z_score"])) for r in rows],
        })
        return 0
    lines = [f"Query    {structure.path}  chain {structure.chain}  {len(query)} residues",
             f"Targets  {n_targets}" + (f" ({skipped} unreadable skipped)" if skipped else "")
             + f", mode {args.mode}, cutoff {args.cutoff:g}: {len(rows)} hits"
             + (f" (at most {args.max_hits} shown)" if len(rows) == args.max_hits else ""),
             ""]
    lines += table(rows) if rows else ["No hits."]
    if args.tsv:
        lines += ["", f"Table written to {args.tsv}"]
    print("\n".join(lines))
    return 0
