"""The structure sets the database benchmarks build: the family members of
../shared/data/FAMILIES.tsv and synthetic decoys, written into a scratch folder as gzipped PDB
files (or gzipped mmCIF), seeded, of any size.

A decoy is one chain of a structure of the shared data outside those families, under a random
rigid motion, Gaussian noise on every atom and random crops at both ends. Source chains that
share a fold with any family member (TM-score normalised by the longer >= 0.5 by the robust
engine on the members a search's prefilter keeps, screened once and remembered in the folder) are left out, or a search would find
copies of homologs. Decoy K depends only on the seed and K, so a set can be written in slices
(--start, --count) and a larger set holds the decoys of a smaller one.

    python bench/database_set.py OUT --chains 20000 [--format mmcif] [--seed 1] [--jobs 2]

Writes OUT/members/FAMILY/NAME.pdb.gz (each member's chain alone), OUT/decoys/DDDD/
decoy_KKKKKKK.pdb.gz (a thousand a folder) and OUT/set.tsv (path, kind, family, chain).
"""
import argparse
import multiprocessing
import os
import pathlib
import sys
import time
import zlib
from dataclasses import dataclass
from typing import Optional

import numpy as np

from common import SHARED

PER_FOLDER = 1000
NOISE = 0.3          # A, standard deviation of the noise on each coordinate
MAX_CROP = 0.15      # of a chain's residues, at most, cut at each end
MIN_RESIDUES = 30    # shorter source chains are left out (peptides make no decoys)
SAME_FOLD_TM = 0.5
SCREEN_FILE = "screen.tsv"


@dataclass(frozen=True)
class Member:
    family: str
    path: str
    chain: Optional[str]  # None: the file's first chain


def family_members():
    """Every member of FAMILIES.tsv in its order; the two globin families are one family, and a
    family noted 'use chain A' is read at chain A."""
    out = []
    for line in (SHARED / "FAMILIES.tsv").read_text().splitlines()[1:]:
        name, _, _, note, _, members = line.split("\t")
        family = "globins" if name.startswith("globins") else name
        chain = "A" if "use chain A" in note else None
        out += [Member(family, str(SHARED / m), chain) for m in members.split()]
    return out


# ---- a chain's atom records as a template ----------------------------------------------------

@dataclass
class Chain:
    """The ATOM records of one chain of a file's first model, as 81-byte rows (80 columns and
    a newline) whose coordinate columns are rewritten for each copy."""
    path: str
    chain: str
    header: bytes            # the file's lines before its first atom record
    rows: np.ndarray         # (atoms, 81) uint8
    xyz: np.ndarray          # (atoms, 3)
    starts: np.ndarray       # index of each residue's first atom, then the atom count

    @property
    def residues(self):
        return len(self.starts) - 1


def _chain_of(line, chain):
    if len(chain) == 1:
        return line[21:22] == chain.encode()
    return line[21:22] == b" " and line[72:76].strip() == chain.encode()


def read_chain(path, chain):
    header, rows = [], []
    seen_atoms = False
    with open(path, "rb") as f:
        for raw in f:
            line = raw.rstrip(b"\r\n")
            if line.startswith((b"ATOM", b"HETATM")):
                seen_atoms = True
                if line.startswith(b"ATOM") and len(line) >= 54 and _chain_of(line, chain):
                    rows.append(line[:80].ljust(80) + b"\n")
            elif line.startswith(b"ENDMDL") and rows:
                break
            elif not seen_atoms and not line.startswith((b"MODEL", b"TER", b"END")):
                header.append(line + b"\n")
    if not rows:
        raise ValueError(f"no atom records of chain {chain} in {path}")
    table = np.frombuffer(b"".join(rows), dtype=np.uint8).reshape(len(rows), 81).copy()
    xyz = np.array([[float(r[30:38]), float(r[38:46]), float(r[46:54])] for r in rows])
    keys = [r[22:27] for r in rows]
    starts = [k for k in range(len(keys)) if k == 0 or keys[k] != keys[k - 1]] + [len(keys)]
    return Chain(path, chain, b"".join(header), table, xyz, np.array(starts))


# ---- writing ---------------------------------------------------------------------------------

def _fixed3(values):
    """Each value as PDB's %8.3f, vectorised: (n, 8) uint8."""
    q = np.rint(values * 1000.0).astype(np.int64)
    if q.min() <= -1000000 or q.max() >= 10000000:
        raise ValueError("a coordinate does not fit PDB's columns")
    neg = q < 0
    a = np.abs(q)
    whole, frac = a // 1000, a % 1000
    out = np.full((len(q), 8), ord(" "), dtype=np.uint8)
    out[:, 4] = ord(".")
    out[:, 5] = ord("0") + frac // 100
    out[:, 6] = ord("0") + frac // 10 % 10
    out[:, 7] = ord("0") + frac % 10
    digits = np.where(whole >= 1000, 4, np.where(whole >= 100, 3, np.where(whole >= 10, 2, 1)))
    for d in range(4):  # column 3 - d holds the digit of 10^d
        has = digits > d
        out[has, 3 - d] = ord("0") + (whole[has] // 10 ** d) % 10
    sign_at = 3 - digits
    rows = np.nonzero(neg)[0]
    out[rows, sign_at[rows]] = ord("-")
    return out


def pdb_text(chain, xyz, first, last):
    """The chain's residues first..last-1 at coordinates xyz (of those atoms), as a PDB file."""
    a, b = chain.starts[first], chain.starts[last]
    rows = chain.rows[a:b].copy()
    for axis in range(3):
        rows[:, 30 + 8 * axis:38 + 8 * axis] = _fixed3(xyz[:, axis])
    return chain.header + rows.tobytes() + b"TER\nEND\n"


def mmcif_text(name, chain, xyz, first, last):
    """The same atoms as an mmCIF file with the columns the PDB archive writes."""
    a, b = chain.starts[first], chain.starts[last]
    out = [f"data_{name}\n#\nloop_\n"]
    out += [f"_atom_site.{t}\n" for t in (
        "group_PDB", "id", "type_symbol", "label_atom_id", "label_alt_id", "label_comp_id",
        "label_asym_id", "label_entity_id", "label_seq_id", "pdbx_PDB_ins_code", "Cartn_x",
        "Cartn_y", "Cartn_z", "occupancy", "B_iso_or_equiv", "pdbx_formal_charge",
        "auth_seq_id", "auth_comp_id", "auth_asym_id", "auth_atom_id", "pdbx_PDB_model_num")]
    seq = 0
    # A blank chain has no name in mmCIF: null values, which readers take for a blank chain.
    label_asym, auth_asym = (chain.chain.strip() or "."), (chain.chain.strip() or "?")
    for k in range(a, b):
        row = chain.rows[k].tobytes().decode("latin-1")
        if k == a or row[22:27] != chain.rows[k - 1].tobytes().decode("latin-1")[22:27]:
            seq += 1
        atom = row[12:16].strip()
        atom = f'"{atom}"' if "'" in atom else atom
        alt = row[16].strip() or "."
        res = row[17:20].strip()
        num = row[22:26].strip()
        icode = row[26].strip() or "?"
        element = row[76:78].strip() or atom.strip('"')[0]
        occ = row[54:60].strip() or "1.00"
        bf = row[60:66].strip() or "0.00"
        x, y, z = xyz[k - a]
        out.append(f"ATOM {k - a + 1} {element} {atom} {alt} {res} {label_asym} 1 {seq} {icode} "
                   f"{x:.3f} {y:.3f} {z:.3f} {occ} {bf} ? {num} {res} {auth_asym} {atom} 1\n")
    out.append("#\n")
    return "".join(out).encode()


def gzip_bytes(data, level):
    c = zlib.compressobj(level, zlib.DEFLATED, 31)
    return c.compress(data) + c.flush()


# ---- decoys ----------------------------------------------------------------------------------

def random_rotation(rng):
    q = rng.normal(size=4)
    w, x, y, z = q / np.linalg.norm(q)
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


def decoy_plan(k, n_sources, seed):
    """(source, crop fractions, rotation, translation, noise generator) of decoy k."""
    rng = np.random.default_rng([seed, k])
    source = int(rng.integers(n_sources))
    crops = rng.uniform(0.0, MAX_CROP, size=2)
    return source, crops, random_rotation(rng), rng.uniform(-40.0, 40.0, size=3), rng


def decoy_coordinates(chain, plan):
    _, crops, rot, shift, rng = plan
    n = chain.residues
    first = int(crops[0] * n)
    last = n - int(crops[1] * n)
    a, b = chain.starts[first], chain.starts[last]
    xyz = chain.xyz[a:b]
    centre = xyz.mean(axis=0)
    moved = (xyz - centre) @ rot.T + shift + rng.normal(scale=NOISE, size=xyz.shape)
    return moved, first, last


def decoy_path(out, k, fmt):
    suffix = ".pdb.gz" if fmt == "pdb" else ".cif.gz"
    return pathlib.Path(out) / "decoys" / f"{k // PER_FOLDER:04d}" / f"decoy_{k:07d}{suffix}"


# ---- the screen of source chains -------------------------------------------------------------

def source_candidates():
    """Every chain (name, length) of the first model of each structure file of the shared data
    outside the families, with at least MIN_RESIDUES C-alpha atoms."""
    import keldascope
    members = {m.path for m in family_members()}
    out = []
    for path, _ in keldascope.find_structure_files([str(SHARED)]):
        if path in members or "/dssp/" in path:
            continue
        try:
            chains = keldascope.list_chains(path)
        except ValueError:
            continue
        out += [(path, name) for name, length in chains if length >= MIN_RESIDUES]
    return out


def screened_sources(folder, threads=0, log=sys.stderr):
    """The decoy source chains: candidates whose best TM-score (normalised by the longer) against
    the family members stays below SAME_FOLD_TM. Screened once with the robust engine on the
    members a search's prefilter keeps; the outcome is kept in FOLDER/screen.tsv (path, chain,
    best TM, kept)."""
    screen = pathlib.Path(folder) / SCREEN_FILE
    if screen.exists():
        rows = [line.split("\t") for line in screen.read_text().splitlines()[1:]]
        return [(p, c) for p, c, _, kept in rows if kept == "yes"]
    import keldascope
    members = [keldascope.read_structure(m.path, m.chain) for m in family_members()]
    lines, kept = ["path\tchain\tbest_tm\tkept"], []
    start = time.perf_counter()
    candidates = source_candidates()
    for k, (path, chain) in enumerate(candidates):
        s = keldascope.read_structure(path, chain)
        # The engine on the members the search's prefilter keeps (40 of 279), not on every
        # one: the screen of a thousand candidates then takes minutes, not an hour and a half
        # of two cores, and a homolog it lets through costs the benchmarks little (a decoy
        # ranked among the members is not counted against a search).
        best = keldascope.search(s, members, max_hits=1, threads=threads).hits
        tm = best[0].score if best else 0.0
        ok = tm < SAME_FOLD_TM
        if ok:
            kept.append((path, chain))
        lines.append(f"{path}\t{chain}\t{tm:.4f}\t{'yes' if ok else 'no'}")
        if log and (k + 1) % 25 == 0:
            print(f"screened {k + 1}/{len(candidates)} source chains "
                  f"({time.perf_counter() - start:.0f} s)", file=log)
    pathlib.Path(folder).mkdir(parents=True, exist_ok=True)
    screen.write_text("\n".join(lines) + "\n")
    return kept


# ---- writing a set ---------------------------------------------------------------------------

_SOURCES = None


def _load_sources(sources):
    global _SOURCES
    _SOURCES = [read_chain(p, c) for p, c in sources]


def _write_decoys(args):
    out, ks, seed, fmt, level = args
    for k in ks:
        plan = decoy_plan(k, len(_SOURCES), seed)
        chain = _SOURCES[plan[0]]
        xyz, first, last = decoy_coordinates(chain, plan)
        path = decoy_path(out, k, fmt)
        text = pdb_text(chain, xyz, first, last) if fmt == "pdb" else \
            mmcif_text(path.name.split(".")[0], chain, xyz, first, last)
        path.parent.mkdir(parents=True, exist_ok=True)
        tmp = path.with_name(path.name + ".tmp")
        tmp.write_bytes(gzip_bytes(text, level))
        os.replace(tmp, path)
    return len(ks)


def member_path(out, member, fmt):
    stem = pathlib.Path(member.path).stem
    suffix = ".pdb.gz" if fmt == "pdb" else ".cif.gz"
    return pathlib.Path(out) / "members" / member.family / (stem + suffix)


def write_members(out, fmt, level):
    """Each member's chain alone, its coordinates as they are; returns set.tsv's rows."""
    import keldascope
    rows = []
    for m in family_members():
        chain = m.chain or keldascope.list_chains(m.path)[0][0]
        c = read_chain(m.path, chain)
        path = member_path(out, m, fmt)
        path.parent.mkdir(parents=True, exist_ok=True)
        n = c.residues
        text = pdb_text(c, c.xyz, 0, n) if fmt == "pdb" else \
            mmcif_text(path.name.split(".")[0], c, c.xyz, 0, n)
        path.write_bytes(gzip_bytes(text, level))
        rows.append((str(path), "member", m.family, chain))
    return rows


def write_set(out, chains, seed=1, fmt="pdb", jobs=2, level=6, start=0, count=None,
              screen_folder=None, log=sys.stderr):
    """Writes the members (when start is 0) and decoys start..start+count-1 (count: chains
    minus the members); returns the rows of set.tsv written or extended."""
    out = pathlib.Path(out)
    sources = screened_sources(screen_folder or out, threads=jobs, log=log)
    rows = write_members(out, fmt, level) if start == 0 else []
    n_members = len(family_members())
    if count is None:
        count = max(0, chains - n_members - start)
    ks = list(range(start, start + count))
    chunks = [ks[i:i + PER_FOLDER] for i in range(0, len(ks), PER_FOLDER)]
    begin = time.perf_counter()
    done = 0
    with multiprocessing.Pool(jobs, initializer=_load_sources, initargs=(sources,)) as pool:
        for n in pool.imap(_write_decoys, [(str(out), c, seed, fmt, level) for c in chunks]):
            done += n
            if log and done % (20 * PER_FOLDER) < PER_FOLDER:
                print(f"{done}/{count} decoys ({time.perf_counter() - begin:.0f} s)", file=log)
    plans = [decoy_plan(k, len(sources), seed)[0] for k in ks]
    rows += [(str(decoy_path(out, k, fmt)), "decoy", "", sources[s][1]) for k, s in zip(ks, plans)]
    with open(out / "set.tsv", "a" if start else "w") as f:
        if not start:
            f.write("path\tkind\tfamily\tchain\n")
        for r in rows:
            f.write("\t".join(r) + "\n")
    return rows


def read_set(out):
    """set.tsv's rows as (path, kind, family, chain)."""
    lines = (pathlib.Path(out) / "set.tsv").read_text().splitlines()[1:]
    return [tuple(line.split("\t")) for line in lines]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--chains", type=int, default=20000, help="members and decoys in all")
    ap.add_argument("--format", choices=("pdb", "mmcif"), default="pdb")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--level", type=int, default=6, help="gzip level (default 6)")
    ap.add_argument("--start", type=int, default=0, help="first decoy written")
    ap.add_argument("--count", type=int, help="decoys written (default: up to --chains)")
    ap.add_argument("--screen", help="folder of an earlier screen.tsv to reuse")
    args = ap.parse_args()
    start = time.perf_counter()
    rows = write_set(args.out, args.chains, args.seed, args.format, args.jobs, args.level,
                     args.start, args.count, args.screen)
    print(f"{len(rows)} files in {args.out} ({time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
