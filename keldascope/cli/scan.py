"""`malven scan QUERY TARGET...`: rank target structures (files, or directories of PDB and
mmCIF files) by their similarity to one query: with the robust engine on C++ threads after a
fast prefilter, or by the KELDA scan modes of the malven module."""
import math

import malven

import keldascope
from keldascope import distributed, kelda
from keldascope.cli import cluster, inputs
from keldascope.cli.common import (CliError, UsageError, add_threads_argument,
                                   check_not_an_input, check_output_file, dump_json,
                                   finite_or_none, fmt, percent, resolve_method, rmsd_text,
                                   threads_for, warn, warning_line)
from keldascope.cli.progress import Progress
from keldascope.structures import UnreadableStructure, find_structure_files, read_domain

MODES_HELP = """\
modes:
  scan   scan-mode placement of every {what} (structures in unrelated frames; default)
  full   iterative refinement from the coordinates as they stand (a common frame)
  quick  one scoring and alignment pass, no refinement (screening a common frame)"""

DESCRIPTION = """\
Align one query structure against every target and print the hits, best first. Targets are
structure files (FILE or FILE:CHAIN; PDB or mmCIF, plain or gzipped) or directories,
searched recursively for .pdb, .ent, .cif and .mmcif files, each also .gz; a file inside a
directory that cannot be read is skipped with a warning, a file named on the command line
is an error.

By default (--method robust) a prefilter scores every target by the local geometry of its
chain (a string of shape letters aligned to the query's) and the robust engine aligns the
best of them (--keep N, default max(40, 5% of the targets); --no-prefilter aligns every
target) on all cores. Hits are ranked by the TM-score normalised by the longer of query and
target ("score"), shown beside the TM-scores normalised by each, the KELDA score Sc, RMSD,
aligned pairs within 5 A, identity and the same-fold call (TM-score by the longer >= 0.5,
or Sc >= 0.35).

--method kelda (or any --mode) ranks by the KELDA score Sc of the malven module's
scan_database, with the Z-score of each score among the reported hits:

""" + MODES_HELP.format(what="target")

EPILOG = """\
examples:
  malven scan query.pdb database/
  malven scan query.cif:B a.pdb b.pdb:C c.cif.gz --max-hits 10 --tsv hits.tsv
  malven scan query.pdb database/ --cutoff 0.5 --threads 8
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
    p.add_argument("--method", choices=("robust", "kelda"),
                   help="robust (default): the robust engine after a prefilter; kelda: the "
                        "KELDA scan modes")
    p.add_argument("--mode", choices=sorted(MODES),
                   help="how the kelda method aligns each target (default scan; implies "
                        "--method kelda)")
    p.add_argument("--no-prefilter", action="store_true",
                   help="robust method: align every target with the engine")
    p.add_argument("--keep", type=int, metavar="N",
                   help="robust method: targets the prefilter keeps for the engine "
                        "(default max(40, 5%% of the targets))")
    add_threads_argument(p)
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
    resolve_method(args)
    if args.keep is not None and args.keep < 1:
        raise UsageError(f"argument --keep: must be at least 1, got {args.keep}")
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


def json_hit(r):
    out = dict(r, score=finite_or_none(r["score"]), rmsd=finite_or_none(r["rmsd"]),
               seq_identity=finite_or_none(r["seq_identity"]))
    if "z_score" in r:  # the kelda method
        out.update(z_score=finite_or_none(r["z_score"]), tm_score=None)
    else:
        out.update(sc=finite_or_none(r["sc"]), prefilter=finite_or_none(r["prefilter"]),
                   tm_score={k: finite_or_none(v) for k, v in r["tm_score"].items()})
    return out


def search_all(query, targets, args):
    """The robust search in this process, on C++ threads."""
    try:
        found = keldascope.search(query, [domain for _, domain in targets],
                                  prefilter=not args.no_prefilter, keep=args.keep,
                                  max_hits=args.max_hits, min_score=args.cutoff,
                                  threads=args.threads)
    except ValueError as exc:
        raise CliError(f"search failed: {exc}")
    return [robust_row(h.rank, h.structure.name, targets[h.index][0], h) for h in found.hits], \
        found.n_aligned


def robust_row(rank, target, path, h):
    return dict(rank=rank, target=target, path=path, score=h.score,
                tm_score={"query": h.tm_score_query, "target": h.tm_score_target}, sc=h.sc,
                rmsd=h.rmsd, n_aligned=h.n_aligned, seq_identity=h.seq_identity,
                significant=h.significant, prefilter=h.prefilter)


HEADER = ("rank", "target", "score", "rmsd", "aligned", "identity", "z")
ROBUST_HEADER = ("rank", "target", "TM longer", "TM query", "TM target", "Sc", "rmsd", "aligned",
                 "identity", "same fold")


def table(rows, method):
    if method == "robust":
        header = ROBUST_HEADER
        cells = [header] + [(str(r["rank"]), r["target"], fmt(r["score"], 4),
                             fmt(r["tm_score"]["query"], 4), fmt(r["tm_score"]["target"], 4),
                             fmt(r["sc"], 3), rmsd_text(r["rmsd"], r["n_aligned"]),
                             str(r["n_aligned"]), percent(r["seq_identity"]),
                             "yes" if r["significant"] else "no")
                            for r in rows]
    else:
        header = HEADER
        cells = [header] + [(str(r["rank"]), r["target"], fmt(r["score"], 4),
                             rmsd_text(r["rmsd"], r["n_aligned"]), str(r["n_aligned"]),
                             percent(r["seq_identity"]), fmt(r["z_score"], 2))
                            for r in rows]
    widths = [max(len(c[k]) for c in cells) for k in range(len(header))]
    lines = []
    for c in cells:
        parts = [c[0].rjust(widths[0]), c[1].ljust(widths[1])]
        parts += [c[k].rjust(widths[k]) for k in range(2, len(header))]
        lines.append("  ".join(parts).rstrip())
    return lines


def write_tsv(path, rows, method):
    def num(v):
        return "" if v is None else repr(float(v))

    try:
        with open(path, "w", encoding="utf-8") as out:
            if method == "robust":
                out.write("rank\ttarget\tpath\tscore\ttm_query\ttm_target\tsc\trmsd\taligned\t"
                          "identity\tsame_fold\n")
                for r in rows:
                    out.write("\t".join([str(r["rank"]), r["target"], r["path"], num(r["score"]),
                                         num(r["tm_score"]["query"]),
                                         num(r["tm_score"]["target"]), num(r["sc"]),
                                         num(r["rmsd"]), str(r["n_aligned"]),
                                         num(r["seq_identity"]),
                                         "yes" if r["significant"] else "no"]) + "\n")
                return
            out.write("rank\ttarget\tpath\tscore\trmsd\taligned\tidentity\tz\n")
            for r in rows:
                out.write("\t".join([str(r["rank"]), r["target"], r["path"], num(r["score"]),
                                     num(r["rmsd"]), str(r["n_aligned"]),
                                     num(r["seq_identity"]), num(r["z_score"])]) + "\n")
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")


def scan_distributed(args, query, found, runner, show, prog):
    """The scan on Dask workers; files inside directories that cannot be read are skipped
    with a warning, as in this process, once the run is over. Returns (rows, targets,
    skipped, aligned)."""
    targets = [(path, chain) for path, chain, _ in found]
    skip = [not explicit for *_, explicit in found]
    try:
        with cluster.ChunkProgress("Scanning chunks", show) as bar:
            if args.method == "robust":
                result = distributed.distributed_search(
                    query.path, targets, prefilter=not args.no_prefilter, keep=args.keep,
                    max_hits=args.max_hits, min_score=args.cutoff, client=runner,
                    query_chain=query.chain, skip_unreadable=skip, progress=bar,
                    **inputs.reading(args))
            else:
                result = distributed.distributed_scan(
                    query.path, targets, score_cutoff=args.cutoff, max_hits=args.max_hits,
                    client=runner, query_chain=query.chain, skip_unreadable=skip, progress=bar,
                    **inputs.reading(args), **MODES[args.mode])
    except ValueError as exc:  # an unreadable file or a failed alignment, named
        raise CliError(str(exc))
    if not args.quiet:
        for _, reason in result.skipped:
            warn(prog, f"skipped: {reason}")
    if args.method == "robust":
        rows = [robust_row(h.rank, h.target_id, h.path, h) for h in result.hits]
        aligned = result.n_aligned
    else:
        rows = [dict(rank=h.rank, target=h.target_id, path=h.path, score=h.score, rmsd=h.rmsd,
                     n_aligned=h.n_aligned, seq_identity=h.seq_identity, z_score=h.z_score)
                for h in result.hits]
        aligned = result.n_targets
    return rows, result.n_targets, len(result.skipped), aligned


def run(args, context):
    prog = context.prog
    check_arguments(args)
    args.threads = threads_for(args.threads, prog)
    show = Progress.wanted(args.quiet)
    source = args.query.with_chain(args.query_chain, "--query-chain")
    structure = inputs.read(source, args)
    query = structure.domain
    special = []
    found = find_targets(args.targets, special)
    if args.tsv is not None:  # the files found inside directories are inputs too
        check_not_an_input(args.tsv, "--tsv", [path for path, _, _ in found])
    if not args.quiet:
        for _, reason in special:
            warn(context.prog, f"skipped: {reason}")
    workload = "robust" if args.method == "robust" else args.mode
    with cluster.runner_for(args, len(found), workload, prog) as runner:
        if runner is distributed.IN_PROCESS:
            targets, skipped = load_targets(found, show, prog, args.quiet, inputs.reading(args))
            if args.method == "robust":
                rows, aligned = search_all(query, targets, args)
            else:
                rows, aligned = scan_all(query, targets, args, show), len(targets)
            n_targets = len(targets)
        else:
            rows, n_targets, skipped, aligned = scan_distributed(args, source, found, runner,
                                                                 show, prog)
    if args.tsv:
        write_tsv(args.tsv, rows, args.method)

    if args.json:
        dump_json({
            "command": "scan",
            "version": malven.__version__,
            "query": {"path": structure.path, "id": query.id, "chain": structure.chain,
                      "length": len(query)},
            "method": args.method,
            "mode": args.mode or "robust",
            "cutoff": args.cutoff,
            "max_hits": args.max_hits,
            "n_targets": n_targets,
            "n_aligned": aligned,
            "n_skipped": skipped,
            "hits": [json_hit(r) for r in rows],
        })
        return 0
    how = (f"robust, {aligned} aligned after the prefilter" if args.method == "robust"
           and aligned < n_targets else "robust" if args.method == "robust"
           else f"kelda {args.mode}")
    lines = [f"Query    {structure.path}  chain {structure.chain}  {len(query)} residues",
             f"Targets  {n_targets}" + (f" ({skipped} unreadable skipped)" if skipped else "")
             + f", method {how}, cutoff {args.cutoff:g}: {len(rows)} hits"
             + (f" (at most {args.max_hits} shown)" if len(rows) == args.max_hits else ""),
             ""]
    lines += table(rows, args.method) if rows else ["No hits."]
    if args.tsv:
        lines += ["", f"Table written to {args.tsv}"]
    print("\n".join(lines))
    return 0
