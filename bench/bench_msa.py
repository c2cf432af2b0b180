"""Multiple alignment beside MUSTANG on every family of ../shared/data/FAMILIES.tsv, in one run.

Per family (its suggested core of up to 12 members; chain A where the family says so, given
to both programs as the same chain-only copies), for what keldascope.multiple_align does
(the pipeline it chooses, named in the table):
- LDDT (the toolkit's scorer over C-alpha atoms for both alignments) and coverage (aligned
  residue pairs: every two members of every column), ours and MUSTANG's;
- core columns (filled by every member) and all columns, ours and MUSTANG's;
- the mean TM-score of each member on the reference (the first member), normalised by the
  reference, for the residue pairs each multiple alignment puts in its columns (the best
  superposition of those pairs, the same measure for both);
- pair agreement: the share of the residue pairs in the columns (every two members of every
  column) that TM-align's pairwise alignment of the same two structures also pairs;
- wall time: ours reading the files, aligning on one thread and writing the superposed
  files; MUSTANG's command (process start included), which writes its superposition too.
The malven module's align_pdbs core is shown for orientation. MUSTANG's alignment and time are
cached between runs in ~/.cache/malven-bench/mustang (or under $MALVEN_BENCH_CACHE), keyed by
the contents of the files it read, so that a family whose inputs change is run again;
--fresh-mustang runs it anyway. With --pipelines both of the
toolkit's pipelines are also forced on every family (LDDT, coverage, agreement, time): the
measurements behind the automatic choice.

    python bench/bench_msa.py [--families NAME ...] [--threads 1] [--pipelines]
                              [--fresh-mustang]
"""
import argparse
import hashlib
import json
import itertools
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import tmtools

import keldascope
import malven
from keldascope import MsaPipeline, _native
from keldascope.alignment_files import residue_map as index_map
from common import SHARED, table


def families():
    """name -> (files, chain) of every family, the suggested core of up to 12."""
    out = {}
    for line in (SHARED / "FAMILIES.tsv").read_text().splitlines()[1:]:
        cells = line.split("\t")
        if len(cells) < 6:
            continue
        chain = "A" if "use chain A" in cells[3] else None
        out[cells[0]] = ([SHARED / f for f in cells[4].split()][:12], chain)
    return out


def chain_copy(src, chain, dst):
    """The first model's records of one chain: what both programs then read."""
    keep = []
    for line in open(src, errors="replace"):
        if line.startswith("ENDMDL"):
            break
        if line.startswith(("ATOM", "HETATM")) and line[21] == chain:
            keep.append(line)
    with open(dst, "w") as out:
        out.write("".join(keep) + "END\n")


CACHE = pathlib.Path(os.environ.get("MALVEN_BENCH_CACHE",
                                    pathlib.Path.home() / ".cache" / "malven-bench")) / "mustang"


def run_mustang(mustang, paths, tmp, fresh):
    """(path of MUSTANG's FASTA alignment or None, its seconds), from the cache when the same
    inputs (by content, in order) were aligned before."""
    digest = hashlib.sha256()
    for p in paths:
        digest.update(hashlib.sha256(pathlib.Path(p).read_bytes()).digest())
    key = digest.hexdigest()[:24]
    fasta, meta = CACHE / f"{key}.afasta", CACHE / f"{key}.json"
    if not fresh and fasta.exists() and meta.exists():
        return str(fasta), json.loads(meta.read_text())["seconds"]
    cmd = [mustang, "-i", *paths, "-o", os.path.join(tmp, "mustang"), "-F", "fasta"]
    start = time.perf_counter()
    proc = subprocess.run(cmd, capture_output=True, cwd=tmp)
    seconds = time.perf_counter() - start
    out = os.path.join(tmp, "mustang.afasta")
    if proc.returncode != 0 or not os.path.exists(out):
        return None, seconds
    CACHE.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(out, fasta)
    meta.write_text(json.dumps({"seconds": seconds, "files": [os.path.basename(p)
                                                               for p in paths]}))
    return str(fasta), seconds


def read_fasta(path):
    records, name = {}, None
    for line in open(path):
        line = line.strip()
        if line.startswith(">"):
            name = line[1:].split()[0]
            records[name] = ""
        elif name is not None:
            records[name] += line
    return list(records.values())


def columns_of_rows(rows, sequences):
    """Gapped rows (one per structure) -> columns of our residue indices."""
    maps = [index_map(row.replace("-", ""), seq) for row, seq in zip(rows, sequences)]
    counters = [0] * len(rows)
    columns = []
    for k in range(len(rows[0])):
        column = []
        for s, row in enumerate(rows):
            if row[k] == "-":
                column.append(None)
            else:
                column.append(maps[s][counters[s]])
                counters[s] += 1
        columns.append(column)
    return columns


def pairs_between(columns, i, j):
    return [(c[i], c[j]) for c in columns if c[i] is not None and c[j] is not None]


def tmalign_pairs(a, b):
    """Residue pairs of TM-align's alignment (tmtools, in process) of two structures."""
    r = tmtools.tm_align(np.ascontiguousarray(a.domain.coordinates),
                         np.ascontiguousarray(b.domain.coordinates), a.domain.sequence,
                         b.domain.sequence)
    pairs, i, j = set(), 0, 0
    for x, y in zip(r.seqxA, r.seqyA):
        if x != "-" and y != "-":
            pairs.add((i, j))
        i += x != "-"
        j += y != "-"
    return pairs


def coverage(columns):
    return sum((k := len(c) - c.count(None)) * (k - 1) // 2 for c in columns)


def lddt_of(structures, columns):
    rows = [[-1 if c[m] is None else c[m] for c in columns] for m in range(len(structures))]
    return _native.msa_lddt([s.domain for s in structures], rows, 1).mean


def measures(columns, structures, reference_pairs):
    """(mean TM on the reference, pair agreement with TM-align)."""
    ref = structures[0].domain
    tms = []
    for k in range(1, len(structures)):
        pairs = pairs_between(columns, 0, k)
        tms.append(_native.tm_scores(ref, structures[k].domain, pairs)[0] if len(pairs) >= 3
                   else 0.0)
    agreed = total = 0
    for i, j in itertools.combinations(range(len(structures)), 2):
        pairs = pairs_between(columns, i, j)
        total += len(pairs)
        agreed += len(reference_pairs[i, j].intersection(pairs))
    return statistics.mean(tms), agreed / total if total else 0.0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--families", nargs="*")
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--pipelines", action="store_true",
                    help="also force each pipeline on every family")
    ap.add_argument("--fresh-mustang", action="store_true",
                    help="run MUSTANG even where its alignment is cached")
    args = ap.parse_args()
    mustang = shutil.which("mustang")
    if not mustang:
        sys.exit("MUSTANG is needed: apt-get install mustang")
    if not (SHARED / "FAMILIES.tsv").exists():
        sys.exit(f"no FAMILIES.tsv under {SHARED}")
    fams = families()
    rows, wins = [], {"core": 0, "agreement": 0, "faster": 0, "lddt": 0, "coverage": 0,
                      "core90": 0}
    both = []
    for name in args.families or list(fams):
        files, chain = fams[name]
        files = [f for f in files if f.exists()]
        if len(files) < 2:
            print(f"skipping {name}: files absent", file=sys.stderr)
            continue
        with tempfile.TemporaryDirectory(prefix="bench-msa-") as tmp:
            paths = []
            for k, f in enumerate(files):
                if chain is None:
                    paths.append(str(f))
                else:
                    paths.append(os.path.join(tmp, f"{k}_{f.stem}.pdb"))
                    chain_copy(f, chain, paths[-1])

            start = time.perf_counter()
            structures = [keldascope.read_structure(p) for p in paths]
            ours = keldascope.multiple_align(structures, threads=args.threads)
            keldascope.write_aligned(structures, ours, os.path.join(tmp, "ours"))
            t_ours = time.perf_counter() - start

            fasta, t_mustang = run_mustang(mustang, paths, tmp, args.fresh_mustang)
            mustang_ok = fasta is not None
            try:  # the module's reader takes plain PDB only (no CHARMM names, no mmCIF)
                kelda_core = malven.align_pdbs(paths, os.path.join(tmp, "kelda")).n_core
            except ValueError:
                kelda_core = "-"

            sequences = [s.domain.sequence for s in structures]
            reference = {(i, j): tmalign_pairs(structures[i], structures[j])
                         for i, j in itertools.combinations(range(len(structures)), 2)}
            tm_ours, agree_ours = measures(ours.columns, structures, reference)
            cov_ours = coverage(ours.columns)
            row = [name[:30], len(files), ours.pipeline.name.lower(), f"{ours.lddt:.3f}",
                   cov_ours, f"{ours.n_core}/{ours.n_columns}", kelda_core]
            if mustang_ok:
                theirs = columns_of_rows(read_fasta(fasta), sequences)
                core = sum(1 for c in theirs if None not in c)
                tm_theirs, agree_theirs = measures(theirs, structures, reference)
                lddt_theirs = lddt_of(structures, theirs)
                cov_theirs = coverage(theirs)
                row[4:4] = [f"{lddt_theirs:.3f}"]
                row[6:6] = [cov_theirs]
                row += [f"{core}/{len(theirs)}", f"{tm_ours:.3f}", f"{tm_theirs:.3f}",
                        f"{agree_ours:.3f}", f"{agree_theirs:.3f}", f"{t_ours:.2f}",
                        f"{t_mustang:.2f}", f"{t_mustang / t_ours:.1f}x"]
                wins["core"] += ours.n_core > 0
                wins["agreement"] += agree_ours >= agree_theirs
                wins["faster"] += t_ours < t_mustang
                wins["lddt"] += ours.lddt >= lddt_theirs
                wins["coverage"] += cov_ours >= cov_theirs
                wins["core90"] += ours.n_core >= 0.9 * core
            else:
                row[4:4] = ["-"]
                row[6:6] = ["-"]
                row += ["failed", f"{tm_ours:.3f}", "-", f"{agree_ours:.3f}", "-",
                        f"{t_ours:.2f}", f"{t_mustang:.2f}", "-"]
                wins["core"] += ours.n_core > 0
            if args.pipelines:
                line = [name[:30], len(files)]
                for pipeline in (MsaPipeline.TREE_WISE, MsaPipeline.SCALABLE):
                    start = time.perf_counter()
                    m = keldascope.multiple_align(structures, threads=args.threads,
                                                  pipeline=pipeline)
                    seconds = time.perf_counter() - start
                    line += [f"{m.lddt:.3f}", coverage(m.columns),
                             f"{measures(m.columns, structures, reference)[1]:.3f}",
                             f"{seconds:.2f}"]
                both.append(line)
            rows.append(row)
        print(f"done {name}: {row}", file=sys.stderr)
    print(table(rows, ["family", "n", "pipeline", "LDDT", "M LDDT", "pairs", "M pairs",
                       "core/cols", "kelda core", "M core/cols", "TM ref", "M TM",
                       "agree TM-align", "M agree", "s", "M s", "faster by"]))
    n = len(rows)
    print(f"\nFamilies with a core: {wins['core']}/{n}; LDDT at least MUSTANG's: "
          f"{wins['lddt']}/{n}; coverage at least MUSTANG's: {wins['coverage']}/{n}; core at "
          f"least 90% of MUSTANG's: {wins['core90']}/{n}; pair agreement at least MUSTANG's: "
          f"{wins['agreement']}/{n}; faster than MUSTANG: {wins['faster']}/{n} "
          f"(ours on {args.threads} thread{'s' * (args.threads != 1)})")
    if both:
        print("\nEach pipeline forced (tree-wise | scalable):")
        print(table(both, ["family", "n", "tree LDDT", "tree pairs", "tree agree", "tree s",
                           "scal LDDT", "scal pairs", "scal agree", "scal s"]))


if __name__ == "__main__":
    main()
