"""`malven align A B --complex`: two assemblies aligned as complexes (every protein chain of
each file, or the chains named), B's whole assembly moved onto A's, reported as today's
align reports a pair, with the chain mapping and each mapped pair's alignment."""
import keldascope
from keldascope.cli import inputs, layout
from keldascope.cli.common import (CliError, check_output_file, dump_json, finite_or_none, fmt,
                                   note, percent, transform_json, write_superposed_output)
from keldascope.cli.tables import escaped, num, tsv_line, write_text, written_lines
from keldascope.complex import read_assembly, write_superposed_assembly
from keldascope.structures import UnreadableStructure, check_output_path


def add_arguments(p, chain_list):
    group = p.add_argument_group(
        "complexes", "--complex aligns every protein chain of A with every one of B under one "
                     "superposition, mapping chains one to one by the complex TM-score "
                     "(MM-align's)")
    group.add_argument("--complex", action="store_true",
                       help="align the files as assemblies of chains (B's whole assembly moved "
                            "onto A's)")
    group.add_argument("--chains1", type=chain_list, metavar="X,Y",
                       help="with --complex: the chains of A to take (default: every protein "
                            "chain)")
    group.add_argument("--chains2", type=chain_list, metavar="X,Y",
                       help="with --complex: the chains of B to take")
    group.add_argument("--assembly", metavar="N",
                       help="with --complex: read biological assembly N of each mmCIF file "
                            "(gemmi builds it from the file's operators)")


def chain_list(text):
    """A comma-separated list of chain names, none empty."""
    import argparse

    names = [c.strip() for c in text.split(",")]
    if not names or any(not c or any(ch.isspace() for ch in c) for c in names):
        raise argparse.ArgumentTypeError(f"a chain list is names separated by commas, not "
                                         f"'{text}'")
    return names


def used_without_complex(args):
    """The complex options given without --complex: a usage error."""
    for option, value in (("--chains1", args.chains1), ("--chains2", args.chains2),
                          ("--assembly", args.assembly)):
        if value is not None:
            return option
    return None


def _read(src, chains, model, args):
    try:
        return read_assembly(src.text if src.chain is not None else src.path, chains,
                             model=model if model is not None else args.model,
                             min_plddt=args.min_plddt, assembly=getattr(args, "assembly", None))
    except UnreadableStructure:
        raise
    except ValueError as exc:
        raise CliError(str(exc))


def _names(assembly):
    return ", ".join(escaped(n) for n in assembly.names)


def _pair_blocks(aln, pair, names):
    sa = aln.assembly_a.chains[pair.chain_a]
    sb = aln.assembly_b.chains[pair.chain_b]
    columns = layout.pairwise_columns(len(sa.domain), len(sb.domain), pair.alignment)
    moved = aln.transform.apply(sb.domain.coordinates)
    a = sa.domain.coordinates
    distances = {}
    for i, j in pair.alignment:
        d = a[i] - moved[j]
        distances[(i, j)] = float((d @ d) ** 0.5)
    markers = layout.pair_markers(columns, distances)
    rows = [(names[0], sa.domain.sequence, sa.labels, [c[0] for c in columns]),
            (names[1], sb.domain.sequence, sb.labels, [c[1] for c in columns])]
    return layout.blocks(rows, markers), columns, markers, distances


def text_report(aln, written):
    r = aln.result
    a, b = aln.assembly_a, aln.assembly_b
    lines = []
    for tag, s, role in (("1", a, "reference"), ("2", b, "moved onto 1")):
        what = f"  assembly {s.assembly}" if s.assembly else ""
        chains = f"{len(s.chains)} chain" + ("s" if len(s.chains) != 1 else "")
        lines.append(f"Structure {tag}      {escaped(s.path)}{what}  {chains} ({_names(s)})  "
                     f"{s.length} residues  ({role})")
    lines.append("Method           complex alignment (robust chain seeds, one superposition, "
                 "chains mapped by the complex TM-score)")
    lines.append(f"TM-score         {fmt(r.tm_score_a, 4)} (normalised by structure 1, "
                 f"{r.length_a} residues), {fmt(r.tm_score_b, 4)} (by structure 2, "
                 f"{r.length_b})")
    lines.append(f"RMSD             {fmt(r.rmsd, 3)}")
    lines.append(f"Aligned pairs    {r.n_aligned} (within 5 A)")
    lines.append(f"All aligned      {r.n_aligned_all} pairs")
    lines.append(f"Mapped chains    {len(r.chain_pairs)} of {len(a.chains)} (structure 1), "
                 f"{len(r.chain_pairs)} of {len(b.chains)} (structure 2)")
    lines += written_lines(written, escaped)
    if not r.chain_pairs:
        return lines + ["No chains could be mapped."]
    lines.append("Chain mapping (TM-scores of each pair under the complex's superposition)")
    header = ["Chain 1", "Chain 2", "Length 1", "Length 2", "TM-score 1", "TM-score 2",
              "RMSD", "Aligned", "Identity"]
    table = [header]
    for p in r.chain_pairs:
        table.append([escaped(a.names[p.chain_a]), escaped(b.names[p.chain_b]),
                      str(p.length_a), str(p.length_b),
                      fmt(p.tm_score_a, 4), fmt(p.tm_score_b, 4), fmt(p.rmsd, 3),
                      str(p.n_aligned), percent(p.identity)])
    widths = [max(len(row[k]) for row in table) for k in range(len(header))]
    for row in table:
        lines.append("  " + "  ".join(v.ljust(w) for v, w in zip(row, widths)).rstrip())
    for side, names in (("1", aln.unmapped_a), ("2", aln.unmapped_b)):
        if names:
            lines.append(f"  unmapped chains of structure {side}: {', '.join(names)}")
    for p in r.chain_pairs:
        na, nb = escaped(a.names[p.chain_a]), escaped(b.names[p.chain_b])
        lines.append("")
        lines.append(f"Chains {na} (1) and {nb} (2) (':' pair within 5 A after superposition, "
                     f"'.' further apart)")
        lines.append("")
        lines += _pair_blocks(aln, p, (f"1:{na}", f"2:{nb}"))[0]
    return lines


def _describe(s):
    return {"path": s.path, "assembly": s.assembly, "length": s.length,
            "chains": [{"name": n, "length": len(c.domain)} for n, c in zip(s.names, s.chains)]}


def json_report(aln, written):
    r = aln.result
    a, b = aln.assembly_a, aln.assembly_b
    pairs = []
    for p in r.chain_pairs:
        _, columns, markers, distances = _pair_blocks(aln, p, ("", ""))
        sa, sb = a.chains[p.chain_a], b.chains[p.chain_b]
        pairs.append({
            "chain1": a.names[p.chain_a], "chain2": b.names[p.chain_b],
            "length1": p.length_a, "length2": p.length_b,
            "tm_score": {"structure1": finite_or_none(p.tm_score_a),
                         "structure2": finite_or_none(p.tm_score_b)},
            "rmsd": finite_or_none(p.rmsd), "n_aligned": p.n_aligned,
            "n_aligned_all": len(p.alignment), "seq_identity": finite_or_none(p.identity),
            "pairs": [{"i": i, "j": j, "label1": sa.labels[i], "label2": sb.labels[j],
                       "distance": distances[(i, j)]} for i, j in p.alignment],
            "alignment": {
                "sequence1": layout.row_text(sa.domain.sequence, [c[0] for c in columns]),
                "sequence2": layout.row_text(sb.domain.sequence, [c[1] for c in columns]),
                "markers": markers},
        })
    return {
        "command": "align",
        "complex": True,
        "version": keldascope.__version__,
        "structure1": _describe(a),
        "structure2": _describe(b),
        "tm_score": {"structure1": finite_or_none(r.tm_score_a),
                     "structure2": finite_or_none(r.tm_score_b)},
        "rmsd": finite_or_none(r.rmsd),
        "n_aligned": r.n_aligned,
        "n_aligned_all": r.n_aligned_all,
        "transform": transform_json(r.transform),
        "mapping": pairs,
        "unmapped1": aln.unmapped_a,
        "unmapped2": aln.unmapped_b,
        "notes": list(a.notes) + list(b.notes),
        "output": dict(written).get("Superposed file"),
    }


def _check_output(b, path):
    # A built assembly is written by gemmi in the format the name asks for; a file's model in
    # the file's own format, as align writes it.
    if b.gemmi_structure is not None:
        return
    try:
        check_output_path(b.chains[0], path)
    except ValueError as exc:
        raise CliError(f"cannot write {path}: {exc}")


def run(args, context):
    if args.chain1 is not None or args.chain2 is not None:
        raise CliError("--complex takes --chains1/--chains2 (comma-separated), not "
                       "--chain1/--chain2")
    if args.method not in (None, "robust") or args.direct:
        raise CliError("--complex aligns with the robust method; --method kelda and "
                       "--direct align one chain pair")
    if args.plot is not None:
        raise CliError("--plot draws one chain pair; it does not take --complex")
    paths = (args.structure1.path, args.structure2.path)
    if args.output is not None:
        check_output_file(args.output, "-o/--output", paths)
    a = _read(args.structure1, args.chains1, args.model1, args)
    b = _read(args.structure2, args.chains2, args.model2, args)
    for n in a.notes + b.notes:
        note(f"{context.prog}: {n}")
    if args.output is not None:
        _check_output(b, args.output)
    try:
        aln = keldascope.align_complex(a, b)
    except ValueError as exc:
        raise CliError(f"complex alignment of {b.path} onto {a.path} failed: {exc}")
    written = write_superposed_output(
        lambda path: write_superposed_assembly(b, aln.transform, path), args.output)
    if args.json:
        dump_json(json_report(aln, written))
    else:
        print("\n".join(text_report(aln, written)))
    if aln.n_aligned < 3:
        raise CliError(f"no complex alignment of {b.path} onto {a.path} was found (fewer than "
                       f"3 aligned residue pairs)")
    return 0



# Foldseek-Multimer's columns: query, target, complex TM-score by the query and by the
# target, RMSD, aligned pairs, the chain mapping, and the rotation and translation moving the
# target onto the query.
SEARCH_TSV_HEADER = ("query", "target", "rank", "score", "tm_query", "tm_target", "rmsd",
                     "aligned", "mapping", "u", "t")
SEARCH_HEADER = ("rank", "target", "TM larger", "TM query", "TM target", "rmsd", "aligned",
                 "chains", "mapping")


def _mapping_text(hit):
    return ",".join(f"{a}:{b}" for a, b in hit.mapping)


def _search_row(hit):
    r = hit.result
    t = r.transform
    return {"rank": hit.rank, "target": hit.path, "model": hit.model, "score": hit.score,
            "tm_score": {"query": r.tm_score_a, "target": r.tm_score_b}, "rmsd": r.rmsd,
            "n_aligned": r.n_aligned, "mapping": [{"query": a, "target": b}
                                                  for a, b in hit.mapping],
            "unmapped_query": hit.alignment.unmapped_a,
            "u": transform_json(t)["rotation"], "t": transform_json(t)["translation"]}


def run_search(args, context, db):
    """`malven search DB QUERY --complex`: each query file an assembly against the
    database's assemblies."""
    if args.exhaustive or args.keep:
        raise CliError("--complex stages its own search; it takes neither --exhaustive nor "
                       "--keep")
    results = []
    for text in args.queries:
        src = inputs.source(text)
        assembly = _read(src, None, None, args)
        for n in assembly.notes:
            note(f"{context.prog}: {n}")
        try:
            results.append(keldascope.search_complex(
                db, assembly, max_hits=args.max_hits, min_score=args.cutoff,
                threads=args.threads or 0))
        except ValueError as exc:
            raise CliError(f"complex search of {text} failed: {exc}")
    if args.tsv:
        def lines():
            yield "\t".join(SEARCH_TSV_HEADER) + "\n"
            for found in results:
                for h in found.hits:
                    row = _search_row(h)
                    yield tsv_line([escaped(found.query.path), escaped(h.path), str(h.rank),
                                    num(h.score), num(row["tm_score"]["query"]),
                                    num(row["tm_score"]["target"]), num(row["rmsd"], "distance"),
                                    str(row["n_aligned"]), escaped(_mapping_text(h)),
                                    ",".join(num(v, "rotation") for r in row["u"] for v in r),
                                    ",".join(num(v, "distance") for v in row["t"])])
        write_text(args.tsv, lines())
    if args.json:
        dump_json({"command": "search", "complex": True, "version": keldascope.__version__,
                   "database": args.db, "n_entries": len(db), "cutoff": args.cutoff,
                   "max_hits": args.max_hits,
                   "queries": [{"query": _describe(found.query),
                                "n_assemblies": found.n_assemblies,
                                "n_aligned": found.n_aligned,
                                "hits": [_search_row(h) for h in found.hits]}
                               for found in results]})
        return 0
    out = []
    for found in results:
        q = found.query
        out += [f"Query    {escaped(q.path)}  {len(q.chains)} chains ({_names(q)})  {q.length} residues",
                f"Database {escaped(args.db)}  {found.n_assemblies} assemblies, {found.n_aligned} "
                f"aligned as complexes: {len(found.hits)} hits, ranked by the complex "
                f"TM-score normalised by the larger assembly", ""]
        cells = [SEARCH_HEADER] + [
            (str(h.rank), escaped(h.path), fmt(h.score, 4), fmt(h.result.tm_score_a, 4),
             fmt(h.result.tm_score_b, 4), fmt(h.result.rmsd, 3), str(h.result.n_aligned),
             f"{len(h.mapping)}/{len(q.chains)}", escaped(_mapping_text(h))) for h in found.hits]
        widths = [max(len(c[k]) for c in cells) for k in range(len(SEARCH_HEADER))]
        out += ["  ".join(v.ljust(w) for v, w in zip(c, widths)).rstrip() for c in cells] \
            if found.hits else ["No hits."]
        out.append("")
    if args.tsv:
        out.append(f"Table written to {args.tsv}")
    print("\n".join(out).rstrip("\n"))
    return 0


def run_cluster(args, context, write_table):
    """`malven cluster SOURCE... --complex`: each file one assembly (every protein chain),
    clustered by the complex TM-score normalised by the larger assembly."""
    for option, value in (("--chain", args.chain), ("--coverage", args.coverage),
                          ("--components", args.components or None)):
        if value is not None:
            raise CliError(f"{option} clusters chains; --complex clusters whole assemblies")
    found = inputs.find_targets(args.sources, [])
    assemblies = []
    for path, chain, _ in found:
        if chain is not None:
            raise CliError(f"{path}:{chain} names one chain; --complex clusters whole files")
        assemblies.append(_read(inputs.Source(path), None, None, args))
    if not assemblies:
        raise CliError("no assembly could be read")
    try:
        result = keldascope.cluster_complexes(assemblies, tm=args.tm,
                                              threads=args.threads or 0)
    except ValueError as exc:
        raise CliError(str(exc))
    if args.tsv is not None:
        write_table(args.tsv, result)
    singletons = sum(len(c.members) == 1 for c in result.clusters)
    largest = max(len(c.members) for c in result.clusters)
    print("\n".join([f"assemblies\t{result.n_assemblies}", f"clusters\t{len(result.clusters)}",
                     f"singletons\t{singletons}", f"largest\t{largest}",
                     "method\tcomplex set-cover",
                     f"work\t{result.aligned} complex alignments"]))
    return 0
