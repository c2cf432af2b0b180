"""The scalable multiple alignment (bench/msa_eval.cpp) beside MUSTANG, in one run.

Quality, on every family of ../shared/data/FAMILIES.tsv (its suggested core of up to 12) and
on every Pfam folder of ../shared/data/tcoffee_strike2 aligned whole, both programs given the
same chain-only copies:
- coverage: aligned residue pairs (every two members of every column);
- LDDT: the same scorer (the core's, over C-alpha atoms) for both alignments, MUSTANG's read
  from its .afasta;
- core columns (filled by every member) and all columns;
- agreement: the share of the aligned residue pairs that TM-align's pairwise alignment of the
  same two structures also pairs (as bench_msa.py measures);
- wall time: ours on one thread (reading and aligning; auto scheme), MUSTANG's command.
Ours also runs with the neighbour scheme forced, to show what it costs against all pairs.

Scale, on synthetic sets made here in a scratch folder (members of one family under random
motions, 0.4 A of noise and crops of up to a tenth at either end): wall time on 2 threads.

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
from types import SimpleNamespace

import numpy as np

import bench_msa
from bench_msa import chain_copy, columns_of_rows, families, read_fasta
from common import ROOT, SHARED, table

DRIVER = ROOT / "build" / "msa_eval"


def build_driver(core_lib):
    cmd = ["g++", "-O2", "-std=c++20", "-pthread", f"-I{ROOT / 'kelda-core' / 'include'}",
           str(ROOT / "bench" / "msa_eval.cpp"), str(core_lib), "-o", str(DRIVER)]
    subprocess.run(cmd, check=True)


def run_ours(list_file, *options):
    """(summary fields, [(sequence, coordinates, columns)] per member)."""
    proc = subprocess.run([str(DRIVER), "align", str(list_file), "--dump", *options],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr.strip())
    lines = proc.stdout.splitlines()
    summary = dict(f.split("=") for f in lines[0].split())
    members = []
    for k in range(1, len(lines) - 1, 3):
        seq = lines[k].split(" ", 1)[1] if " " in lines[k] else ""
        xyz = np.array([float(v) for v in lines[k + 1].split()[1:]]).reshape(-1, 3)
        cols = [int(v) for v in lines[k + 2].split()[1:]]
        members.append((seq, xyz, cols))
    return summary, members


def lddt_of(list_file, columns, tmp):
    """Our scorer on an alignment given as columns of residue indices (None for a gap)."""
    rows_file = os.path.join(tmp, "rows.txt")
    with open(rows_file, "w") as out:
        for m in range(len(columns[0]) if columns else 0):
            out.write(" ".join(str(-1 if c[m] is None else c[m]) for c in columns) + "\n")
    proc = subprocess.run([str(DRIVER), "lddt", str(list_file), rows_file], capture_output=True,
                          text=True, check=True)
    return float(dict(f.split("=") for f in proc.stdout.splitlines()[0].split())["lddt"])


def columns_from_layout(members):
    width = 1 + max((c for _, _, cols in members for c in cols), default=-1)
    columns = [[None] * len(members) for _ in range(width)]
    for m, (_, _, cols) in enumerate(members):
        for r, c in enumerate(cols):
            if c >= 0:
                columns[c][m] = r
    return columns


def tmalign_pairs(a, b):
    """TM-align's residue pairs of two members (sequence, coordinates) of the driver's dump."""
    def structure(member):
        return SimpleNamespace(domain=SimpleNamespace(sequence=member[0], coordinates=member[1]))
    return bench_msa.tmalign_pairs(structure(a), structure(b))


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
    cost, present = [], []
    for label, files, chain in quality_sets(args.families):
        if len(files) < 2:
            continue
        with tempfile.TemporaryDirectory(prefix="bench-msa-scale-") as tmp:
            paths = []
            for k, f in enumerate(files):
                paths.append(os.path.join(tmp, f"{k}_{f.stem}.pdb"))
                chain_copy(f, chain, paths[-1]) if chain else shutil.copy(f, paths[-1])
            list_file = os.path.join(tmp, "list.tsv")
            with open(list_file, "w") as out:
                out.write("".join(f"{p}\t-\n" for p in paths))
            try:
                summary, members = run_ours(list_file, "--threads", "1")
            except RuntimeError as e:  # the core's reader takes plain PDB only (no CHARMM names)
                print(f"skipping {label}: {e}", file=sys.stderr, flush=True)
                continue
            t_ours = float(summary["seconds"])
            ours = columns_from_layout(members)
            sparse, sparse_members = run_ours(list_file, "--threads", "1", "--scheme", "neighbours")
            reference = {(i, j): tmalign_pairs(members[i], members[j])
                         for i, j in itertools.combinations(range(len(members)), 2)}
            cov, core, agree = measures(ours, reference)
            s_cov, s_core, s_agree = measures(columns_from_layout(sparse_members), reference)
            if args.no_mustang:  # the present pipeline beside ours instead
                import keldascope
                structures = [keldascope.read_structure(p) for p in paths]
                if [s.domain.sequence for s in structures] == [m[0] for m in members]:
                    today = [list(c) for c in keldascope.multiple_align(structures, threads=1).columns]
                    p_cov, p_core, p_agree = measures(today, reference)
                    present.append([label[:34], len(files), cov, p_cov,
                                     f"{float(summary['lddt']):.3f}",
                                     f"{lddt_of(list_file, today, tmp):.3f}", core, p_core,
                                     f"{agree:.3f}", f"{p_agree:.3f}"])
            row = [label[:34], len(files), summary["scheme"], cov, f"{float(summary['lddt']):.3f}",
                   f"{core}/{len(ours)}", f"{agree:.3f}", f"{t_ours:.2f}"]
            cost.append([label[:34], len(files), summary["engine"], sparse["engine"],
                         f"{float(summary['lddt']):.3f}", f"{float(sparse['lddt']):.3f}",
                         cov, s_cov, core, s_core, f"{agree:.3f}", f"{s_agree:.3f}",
                         summary["seconds"], sparse["seconds"]])
            if args.no_mustang:
                rows.append(row)
                print(f"done {label}: {row} {cost[-1]} {present[-1] if present else ''}",
                      file=sys.stderr, flush=True)
                continue
            start = time.perf_counter()
            proc = subprocess.run([mustang, "-i", *paths, "-o", os.path.join(tmp, "mustang"),
                                   "-F", "fasta"], capture_output=True, cwd=tmp)
            t_mustang = time.perf_counter() - start
            fasta = os.path.join(tmp, "mustang.afasta")
            if proc.returncode == 0 and os.path.exists(fasta):
                theirs = columns_of_rows(read_fasta(fasta), [m[0] for m in members])
                m_cov, m_core, m_agree = measures(theirs, reference)
                m_lddt = lddt_of(list_file, theirs, tmp)
                row += [m_cov, f"{m_lddt:.3f}", f"{m_core}/{len(theirs)}", f"{m_agree:.3f}",
                        f"{t_mustang:.2f}", f"{t_mustang / t_ours:.1f}x"]
                wins["n"] += 1
                wins["coverage"] += cov >= m_cov
                wins["lddt"] += float(summary["lddt"]) >= m_lddt
                wins["core"] += core >= 0.9 * m_core
                wins["agreement"] += agree >= m_agree
                wins["faster"] += t_ours < t_mustang
            else:
                row += ["failed", "-", "-", "-", f"{t_mustang:.2f}", "-"]
            rows.append(row)
            print(f"done {label}: {row}", file=sys.stderr, flush=True)
    print(table(rows, ["set", "n", "scheme", "pairs", "LDDT", "core/cols", "agree", "s",
                       "M pairs", "M LDDT", "M core/cols", "M agree", "M s", "faster"]))
    n = wins["n"]
    if n:
        print(f"\nAgainst MUSTANG on {n} sets: coverage at least its {wins['coverage']}/{n}, LDDT "
              f"at least its {wins['lddt']}/{n}, core at least 90% of its {wins['core']}/{n}, "
              f"agreement at least its {wins['agreement']}/{n}, faster {wins['faster']}/{n} (ours on 1 thread)")
    if present:
        print("\nOurs against the present pipeline (robust all-pairs, tree-wise joins):")
        print(table(present, ["set", "n", "pairs", "present pairs", "LDDT", "present LDDT",
                              "core", "present core", "agree", "present agree"]))
    print("\nNeighbour scheme forced against all pairs (the same sets):")
    print(table(cost, ["set", "n", "pairs all", "pairs nbr", "LDDT all", "LDDT nbr", "cov all",
                       "cov nbr", "core all", "core nbr", "agree all", "agree nbr", "s all",
                       "s nbr"]))


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
    sources = []
    with tempfile.TemporaryDirectory(prefix="bench-msa-src-") as tmp:
        list_file = os.path.join(tmp, "list.tsv")
        with open(list_file, "w") as out:
            out.write("".join(f"{f}\t-\n" for f in files if f.exists()))
        _, members = run_ours(list_file, "--refine", "0")
        sources = [(seq, xyz) for seq, xyz, _ in members]
    rows = []
    for n in args.scale:
        rng = np.random.default_rng(n)
        with tempfile.TemporaryDirectory(prefix="bench-msa-scale-") as tmp:
            list_file = os.path.join(tmp, "list.tsv")
            with open(list_file, "w") as out:
                for k in range(n):
                    seq, xyz = sources[k % len(sources)]
                    cut = len(seq) // 10
                    lo, hi = rng.integers(0, cut + 1), len(seq) - rng.integers(0, cut + 1)
                    moved = (xyz[lo:hi] @ random_rotation(rng).T + rng.uniform(-50, 50, 3)
                             + rng.normal(scale=0.4, size=(hi - lo, 3)))
                    path = os.path.join(tmp, f"s{k}.pdb")
                    write_ca_pdb(path, moved, seq[lo:hi])
                    out.write(f"{path}\t-\n")
            proc = subprocess.run([str(DRIVER), "align", list_file, "--threads", "2"],
                                  capture_output=True, text=True)
            if proc.returncode != 0:
                rows.append([n, "failed: " + proc.stderr.strip()[:60]] + ["-"] * 6)
                continue
            s = dict(f.split("=") for f in proc.stdout.split())
            limit = 60 if n <= 300 else 120 if n <= 1000 else 1800
            # The largest child so far: the sets come smallest first.
            peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
            rows.append([n, s["scheme"], s["engine"], f"{float(s['lddt']):.3f}", s["core"],
                         s["columns"], f"{float(s['seconds']):.1f}", limit, f"{peak:.0f}"])
            print(f"done {n}: {rows[-1]}", file=sys.stderr, flush=True)
    print(f"\nSynthetic sets from {args.scale_family} (2 threads):")
    print(table(rows, ["chains", "scheme", "engine pairs", "LDDT", "core", "columns", "s",
                       "target s", "peak MB"]))


def main():
    global DRIVER
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quality", action="store_true")
    ap.add_argument("--families", nargs="*")
    ap.add_argument("--scale", nargs="*", type=int, default=[])
    ap.add_argument("--scale-family", default="globins_scop_domains")
    ap.add_argument("--core-lib", default=str(ROOT / "build" / "core-tests" / "libkelda_core.a"))
    ap.add_argument("--driver", default=str(DRIVER), help="where to build the driver")
    ap.add_argument("--no-mustang", action="store_true",
                    help="quality of ours alone (both schemes), MUSTANG not run")
    args = ap.parse_args()
    DRIVER = args.driver
    build_driver(args.core_lib)
    if args.quality:
        if not args.no_mustang and not shutil.which("mustang"):
            sys.exit("MUSTANG is needed: apt-get install mustang")
        quality(args)
    if args.scale:
        scale(args)


if __name__ == "__main__":
    main()
