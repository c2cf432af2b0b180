"""The toolkit's multiple alignment (keldascope.multiple_align, the pipeline it chooses)
beside MUSTANG, in one run.

Quality, on every family of ../shared/data/FAMILIES.tsv (its suggested core of up to 12) and
on every Pfam folder of ../shared/data/tcoffee_strike2 aligned whole, both programs given the
same chain-only copies:
- coverage: aligned residue pairs (every two members of every column);
- LDDT: the same scorer (the core's, over C-alpha atoms, keldascope's msa_lddt) for both
  alignments, MUSTANG's read from its .afasta;
- core columns (filled by every member) and all columns;
- agreement: the share of the aligned residue pairs that TM-align's pairwise alignment of the
  same two structures also pairs (as bench_msa.py measures);
- wall time: ours on one thread (reading and aligning), MUSTANG's command.
Ours also runs with the scalable pipeline's neighbour scheme forced, to show what it costs
against all pairs.

Scale, on synthetic sets made here in a scratch folder (members of one family under random
motions, 0.4 A of noise and crops of up to a tenth at either end): wall time on 2 threads,
reading the files included.

    python bench/bench_msa_scale.py [--quality] [--scale 250 1000 10000] [--families NAME ...]
"""
import argparse
import itertools
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import bench_msa
import keldascope
from bench_msa import chain_copy, columns_of_rows, families, read_fasta
from common import SHARED, table
from keldascope import MsaPipeline, MsaScheme, _native


def lddt_of(structures, columns):
    """The toolkit's scorer on an alignment given as columns (None for a gap)."""
    rows = [[-1 if c[m] is None else c[m] for c in columns] for m in range(len(structures))]
    return _native.msa_lddt([s.domain for s in structures], rows, 1).mean


tmalign_pairs = bench_msa.tmalign_pairs


def measures(columns, reference):
    """(coverage, core columns, agreement with TM-align)."""
    n = len(columns[0]) if columns else 0
    coverage = sum((k := len(c) - c.count(None)) * (k - 1) // 2 for c in columns)
    core = sum(1 for c in columns if None not in c)
    agreed = 0
    for i, j in itertools.combinations(range(n), 2):
        pairs = {(c[i], c[j]) for c in columns if c[i] is not None and c[j] is not None}
        agreed += len(reference[i, j] & pairs)
    return coverage, core, agreed / coverage if coverage else 0.0


def quality_sets(names):
    """(label, files, chain) for every FAMILIES.tsv family and every Pfam folder whole."""
    out = []
    for name, (files, chain) in families().items():
        if names and name not in names:
            continue
        out.append((name, [f for f in files if f.exists()], chain))
    pfam = SHARED / "tcoffee_strike2"
    if pfam.is_dir():
        for folder in sorted(pfam.iterdir()):
            if names and folder.name not in names:
                continue
            out.append((f"{folder.name} whole", sorted(folder.glob("*.pdb")), None))
    return out


def quality(args):
    mustang = shutil.which("mustang")
    rows, wins = [], {"coverage": 0, "lddt": 0, "core": 0, "agreement": 0, "faster": 0, "n": 0}
    cost = []
    for label, files, chain in quality_sets(args.families):
        if len(files) < 2:
            continue
        with tempfile.TemporaryDirectory(prefix="bench-msa-scale-") as tmp:
            paths = []
            for k, f in enumerate(files):
                paths.append(os.path.join(tmp, f"{k}_{f.stem}.pdb"))
                chain_copy(f, chain, paths[-1]) if chain else shutil.copy(f, paths[-1])
            start = time.perf_counter()
            try:
                structures = [keldascope.read_structure(p) for p in paths]
            except ValueError as e:
                print(f"skipping {label}: {e}", file=sys.stderr, flush=True)
                continue
            ours = keldascope.multiple_align(structures, threads=1)
            t_ours = time.perf_counter() - start
            start = time.perf_counter()
            sparse = keldascope.multiple_align(structures, threads=1,
                                               pipeline=MsaPipeline.SCALABLE,
                                               scheme=MsaScheme.NEIGHBOURS)
            t_sparse = time.perf_counter() - start
            reference = {(i, j): tmalign_pairs(structures[i], structures[j])
                         for i, j in itertools.combinations(range(len(structures)), 2)}
            cov, core, agree = measures(ours.columns, reference)
            s_cov, s_core, s_agree = measures(sparse.columns, reference)
            pipeline = ours.pipeline.name.lower() + (
                f"/{ours.scheme.name.lower()}" if ours.scheme is not None else "")
            row = [label[:34], len(files), pipeline, cov, f"{ours.lddt:.3f}",
                   f"{core}/{ours.n_columns}", f"{agree:.3f}", f"{t_ours:.2f}"]
            cost.append([label[:34], len(files), ours.engine_alignments,
                         sparse.engine_alignments, f"{ours.lddt:.3f}", f"{sparse.lddt:.3f}",
                         cov, s_cov, core, s_core, f"{agree:.3f}", f"{s_agree:.3f}",
                         f"{t_ours:.2f}", f"{t_sparse:.2f}"])
            if args.no_mustang or not mustang:
                rows.append(row)
                print(f"done {label}: {row}", file=sys.stderr, flush=True)
                continue
            start = time.perf_counter()
            proc = subprocess.run([mustang, "-i", *paths, "-o", os.path.join(tmp, "mustang"),
                                   "-F", "fasta"], capture_output=True, cwd=tmp)
            t_mustang = time.perf_counter() - start
            fasta = os.path.join(tmp, "mustang.afasta")
            if proc.returncode == 0 and os.path.exists(fasta):
                theirs = columns_of_rows(read_fasta(fasta),
                                         [s.domain.sequence for s in structures])
                m_cov, m_core, m_agree = measures(theirs, reference)
                m_lddt = lddt_of(structures, theirs)
                row += [m_cov, f"{m_lddt:.3f}", f"{m_core}/{len(theirs)}", f"{m_agree:.3f}",
                        f"{t_mustang:.2f}", f"{t_mustang / t_ours:.1f}x"]
                wins["n"] += 1
                wins["coverage"] += cov >= m_cov
                wins["lddt"] += ours.lddt >= m_lddt
                wins["core"] += core >= 0.9 * m_core
                wins["agreement"] += agree >= m_agree
                wins["faster"] += t_ours < t_mustang
            else:
                row += ["failed", "-", "-", "-", f"{t_mustang:.2f}", "-"]
            rows.append(row)
            print(f"done {label}: {row}", file=sys.stderr, flush=True)
    print(table(rows, ["set", "n", "pipeline", "pairs", "LDDT", "core/cols", "agree", "s",
                       "M pairs", "M LDDT", "M core/cols", "M agree", "M s", "faster"]))
    n = wins["n"]
    if n:
        print(f"\nAgainst MUSTANG on {n} sets: coverage at least its {wins['coverage']}/{n}, "
              f"LDDT at least its {wins['lddt']}/{n}, core at least 90% of its "
              f"{wins['core']}/{n}, agreement at least its {wins['agreement']}/{n}, faster "
              f"{wins['faster']}/{n} (ours on 1 thread)")
    print("\nThe chosen pipeline against the scalable one with neighbours forced:")
    print(table(cost, ["set", "n", "pairs chosen", "pairs nbr", "LDDT chosen", "LDDT nbr",
                       "cov chosen", "cov nbr", "core chosen", "core nbr", "agree chosen",
                       "agree nbr", "s chosen", "s nbr"]))


def write_ca_pdb(path, xyz, seq):
    names = {"A": "ALA", "C": "CYS", "D": "ASP", "E": "GLU", "F": "PHE", "G": "GLY", "H": "HIS",
             "I": "ILE", "K": "LYS", "L": "LEU", "M": "MET", "N": "ASN", "P": "PRO", "Q": "GLN",
             "R": "ARG", "S": "SER", "T": "THR", "V": "VAL", "W": "TRP", "Y": "TYR"}
    with open(path, "w") as out:
        for k, (p, aa) in enumerate(zip(xyz, seq)):
            out.write(f"ATOM  {k + 1:5d}  CA  {names.get(aa, 'GLY')} A{k + 1:4d}    "
                      f"{p[0]:8.3f}{p[1]:8.3f}{p[2]:8.3f}  1.00  0.00           C\n")
        out.write("END\n")


def random_rotation(rng):
    q = rng.normal(size=4)
    q /= np.linalg.norm(q)
    a, b, c, d = q
    return np.array([[a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)],
                     [2 * (b * c + a * d), a * a - b * b + c * c - d * d, 2 * (c * d - a * b)],
                     [2 * (b * d - a * c), 2 * (c * d + a * b), a * a - b * b - c * c + d * d]])


def scale(args):
    files, _ = families()[args.scale_family]
    sources = [keldascope.read_structure(f) for f in files if f.exists()]
    sources = [(s.domain.sequence, np.asarray(s.domain.coordinates)) for s in sources]
    rows = []
    for n in args.scale:
        rng = np.random.default_rng(n)
        with tempfile.TemporaryDirectory(prefix="bench-msa-scale-") as tmp:
            paths = []
            for k in range(n):
                seq, xyz = sources[k % len(sources)]
                cut = len(seq) // 10
                lo, hi = rng.integers(0, cut + 1), len(seq) - rng.integers(0, cut + 1)
                moved = (xyz[lo:hi] @ random_rotation(rng).T + rng.uniform(-50, 50, 3)
                         + rng.normal(scale=0.4, size=(hi - lo, 3)))
                paths.append(os.path.join(tmp, f"s{k}.pdb"))
                write_ca_pdb(paths[-1], moved, seq[lo:hi])
            start = time.perf_counter()
            structures = [keldascope.read_structure(p) for p in paths]
            m = keldascope.multiple_align(structures, threads=2)
            seconds = time.perf_counter() - start
            limit = 60 if n <= 300 else 120 if n <= 1000 else 1800
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
            pipeline = m.pipeline.name.lower() + (
                f"/{m.scheme.name.lower()}" if m.scheme is not None else "")
            rows.append([n, pipeline, m.engine_alignments, f"{m.lddt:.3f}", m.n_core,
                         m.n_columns, f"{seconds:.1f}", limit, f"{peak:.0f}"])
            print(f"done {n}: {rows[-1]}", file=sys.stderr, flush=True)
    print(f"\nSynthetic sets from {args.scale_family} (2 threads, reading included):")
    print(table(rows, ["chains", "pipeline", "engine pairs", "LDDT", "core", "columns", "s",
                       "target s", "peak MB"]))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quality", action="store_true")
    ap.add_argument("--families", nargs="*")
    ap.add_argument("--scale", nargs="*", type=int, default=[])
    ap.add_argument("--scale-family", default="globins_scop_domains")
    ap.add_argument("--no-mustang", action="store_true",
                    help="quality of ours alone (both schemes), MUSTANG not run")
    args = ap.parse_args()
    if args.quality:
        if not args.no_mustang and not shutil.which("mustang"):
            sys.exit("MUSTANG is needed: apt-get install mustang")
        quality(args)
    if args.scale:
        scale(args)


if __name__ == "__main__":
    main()
