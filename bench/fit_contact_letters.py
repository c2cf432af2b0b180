"""Fits the contact letters of the database search and writes their model into the core
(kelda-core/src/search/contact_model.inc).

A residue's contact letter pairs a structural state with its amino-acid group. The state
describes the residue together with its nearest neighbour in space (the residue whose virtual
side-chain centre lies closest to its own, three or more apart in the chain): ten numbers,
the cosines between the two residues' backbone directions and the line joining them, their
distance and their separation along the chain, as the 3Di states of Foldseek (van Kempen et
al., Nature Biotechnology 2023) describe a residue by its tertiary neighbour. Where 3Di learns
its states with a network, here they are the k-means centres of those ten numbers,
standardised; the scores of a state against a state, and of a group against a group, are
log-odds of pairs that a structural alignment superposes within 5 A against chance, in
half bits (the local alignment's) and in bits (the first stage's, whose byte lanes want small
scores). The amino-acid groups are the ten of Murphy, Wallqvist and Levy (Protein Eng. 2000),
and an eleventh for anything else, which scores 0 against every group.

Fitted on: the structures of ../shared/data/FAMILIES.tsv (the states' centres also on the
200 chains of ../shared/data/bm5), and for the scores on pairs of members of one family (at
most 150 a family), aligned by TMalign (Debian's tm-align) on their C-alpha traces. Nothing
of ../shared/data/scop40, on which the search is benchmarked, enters the fit.

    python bench/fit_contact_letters.py [--out kelda-core/src/search/contact_model.inc]

It takes a few minutes (TMalign on about 1,600 pairs, on two cores). The model written is
what the core uses: rebuild after a refit; databases built before must be built again.
"""
import argparse
import itertools
import math
import pathlib
import random
import subprocess
import sys
import tempfile
from multiprocessing import Pool

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from common import SHARED  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
STATES = 20
GROUPS = ["LEU VAL ILE MET", "CYS", "ALA", "GLY", "SER THR", "PRO", "PHE TYR TRP",
          "GLU ASP ASN GLN", "LYS ARG", "HIS"]
GROUP_OF = {name: k for k, g in enumerate(GROUPS) for name in g.split()}
OTHER = len(GROUPS)
PAIRS_PER_FAMILY = 150
CLOSE = 5.0  # A: TMalign's ':' pairs
PARTNER_RADIUS = 10.0  # A: the nearest neighbour is looked for this close (the core's cells)
SEPARATION_CAP = 64


def read_ca(path):
    """The first chain's C-alpha atoms of the first model (alternate location blank or A),
    as the core reads a plain PDB file's first chain; with residue names."""
    xyz, names, chain = [], [], None
    for line in open(path):
        if line.startswith("ENDMDL"):
            break
        if line.startswith("ATOM") and line[12:16].strip() == "CA" and line[16] in " A":
            if chain is None:
                chain = line[21]
            if line[21] != chain:
                continue
            xyz.append((float(line[30:38]), float(line[38:46]), float(line[46:54])))
            names.append(line[17:20])
    return np.array(xyz, float).reshape(-1, 3), names


def unit(v):
    n = np.linalg.norm(v, axis=-1, keepdims=True)
    return np.where(n > 0, v / np.where(n > 0, n, 1), 0.0)


def features(ca):
    """Each residue's ten numbers; rows of zeros where the chain is too short for them."""
    n = len(ca)
    out = np.zeros((n, 10))
    if n < 2:
        return out
    bonds = unit(np.diff(ca, axis=0))
    u = np.vstack([bonds[:1], bonds])    # from the residue before (the first: its own bond)
    v = np.vstack([bonds, bonds[-1:]])   # to the residue after (the last: the bond before)
    a = np.cross(u, v)
    side = -0.58273431 * 1.46 * 1.52 * a + 0.56802827 * 1.46 * u - 0.54067466 * 1.52 * v
    centre = ca + 2.0 * unit(side)
    d2 = ((centre[:, None, :] - centre[None, :, :]) ** 2).sum(-1)
    idx = np.arange(n)
    d2[np.abs(idx[:, None] - idx[None, :]) <= 2] = np.inf
    d2[d2 > PARTNER_RADIUS ** 2] = np.inf
    j = d2.argmin(1)
    alone = ~np.isfinite(d2[idx, j])
    j = np.where(alone, np.where(idx + 3 < n, idx + 3, idx - 3), j)
    ok = j >= 0
    j = np.where(ok, j, idx)
    w = unit(ca[j] - ca)
    uj, vj = u[j], v[j]
    sep = (j - idx).astype(float)
    f = np.stack([(u * v).sum(1), (uj * vj).sum(1), (u * w).sum(1), (v * w).sum(1),
                  (uj * w).sum(1), (vj * w).sum(1), (u * uj).sum(1), (v * vj).sum(1),
                  np.linalg.norm(ca[j] - ca, axis=1) / 10.0,
                  np.sign(sep) * np.minimum(np.log(np.maximum(np.abs(sep), 1)),
                                            math.log(SEPARATION_CAP)) / math.log(SEPARATION_CAP)], 1)
    out[ok] = f[ok]
    return out


def kmeans(x, k, iters=60, seed=1):
    rng = np.random.default_rng(seed)
    centres = [x[rng.integers(len(x))]]
    for _ in range(1, k):
        d2 = np.min(((x[:, None, :] - np.array(centres)[None]) ** 2).sum(-1), 1)
        centres.append(x[rng.choice(len(x), p=d2 / d2.sum())])
    c = np.array(centres)
    for _ in range(iters):
        lab = (((x[:, None, :] - c[None]) ** 2).sum(-1)).argmin(1)
        for t in range(k):
            if (lab == t).any():
                c[t] = x[lab == t].mean(0)
    return c


def states(f, mean, scale, centres):
    z = (f - mean) / scale
    return (((z[:, None, :] - centres[None]) ** 2).sum(-1)).argmin(1)


def ca_copy(src, folder):
    """The trace TMalign is given: exactly the residues read_ca reads, so that its alignment
    indexes them."""
    out = pathlib.Path(folder) / str(src).replace("/", "__")
    if not out.exists():
        ca, names = read_ca(src)
        with open(out, "w") as f:
            for k, (p, aa) in enumerate(zip(ca, names), 1):
                f.write(f"ATOM  {k:5d}  CA  {aa:3s} A{k:4d}    {p[0]:8.3f}{p[1]:8.3f}{p[2]:8.3f}"
                        "  1.00  0.00           C\n")
            f.write("END\n")
    return str(out)


def tmalign_pairs(job):
    a, b = job
    lines = subprocess.run(["TMalign", a, b], capture_output=True, text=True, check=True).stdout.splitlines()
    k = next(i for i, line in enumerate(lines) if line.startswith('(":" denotes'))
    sa, marks, sb = lines[k + 1], lines[k + 2], lines[k + 3]
    ia = ib = 0
    pairs = []
    for x, m, y in zip(sa, marks, sb):
        if x != "-" and y != "-" and m == ":":
            pairs.append((ia, ib))
        ia += x != "-"
        ib += y != "-"
    return pairs


def log_odds(counts, scale):
    p = counts / counts.sum()
    q = p.sum(1)
    return np.round(scale * np.log2(p / np.outer(q, q))).astype(int)


def c_array(name, rows, kind):
    body = ",\n".join("    {" + ", ".join(kind(x) for x in r) + "}" for r in rows)
    return f"{name} = {{\n{body}}};\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=str(ROOT / "kelda-core/src/search/contact_model.inc"))
    ap.add_argument("--threads", type=int, default=2)
    args = ap.parse_args()

    rows = (SHARED / "FAMILIES.tsv").read_text().splitlines()[1:]
    families = [r.split("\t")[5].split() for r in rows if r.strip()]
    members = sorted({m for fam in families for m in fam})
    extra = sorted(str(p.relative_to(SHARED)) for p in (SHARED / "bm5").glob("*.pdb"))
    traces = {m: read_ca(SHARED / m) for m in members + extra}

    x = np.concatenate([features(traces[m][0]) for m in members + extra if len(traces[m][0]) >= 2])
    mean, scale = x.mean(0), x.std(0)
    rng = np.random.default_rng(0)
    sample = ((x - mean) / scale)[rng.choice(len(x), min(len(x), 40000), replace=False)]
    centres = kmeans(sample, STATES)
    print(f"states: k-means of {len(sample)} of {len(x)} residues of {len(members) + len(extra)} chains")

    random.seed(0)
    jobs = []
    for fam in families:
        pairs = list(itertools.combinations(fam, 2))
        random.shuffle(pairs)
        jobs += pairs[:PAIRS_PER_FAMILY]
    with tempfile.TemporaryDirectory() as tmp:
        files = {m: ca_copy(SHARED / m, tmp) for m in members}
        with Pool(args.threads) as pool:
            aligned = pool.map(tmalign_pairs, [(files[a], files[b]) for a, b in jobs], chunksize=8)
    letters = {m: states(features(traces[m][0]), mean, scale, centres) for m in members}
    groups = {m: np.array([GROUP_OF.get(n, OTHER) for n in traces[m][1]]) for m in members}
    sc = np.full((STATES, STATES), 0.5)
    gc = np.full((OTHER, OTHER), 0.5)
    n_pairs = 0
    for (a, b), pairs in zip(jobs, aligned):
        for i, j in pairs:
            sc[letters[a][i], letters[b][j]] += 1
            sc[letters[b][j], letters[a][i]] += 1
            ga, gb = groups[a][i], groups[b][j]
            if ga != OTHER and gb != OTHER:
                gc[ga, gb] += 1
                gc[gb, ga] += 1
            n_pairs += 1
    print(f"scores: {n_pairs} residue pairs within {CLOSE} A of {len(jobs)} structure pairs "
          f"of {len(families)} families")

    def padded(m):  # the eleventh group scores 0 against all
        out = np.zeros((OTHER + 1, OTHER + 1), int)
        out[:OTHER, :OTHER] = m
        return out

    text = [
        "// Generated by bench/fit_contact_letters.py (see it for what was fitted, on what); do not",
        "// edit by hand. Included by contact_letters.cpp alone.",
        f"// Fitted on {len(members)} structures of FAMILIES.tsv and {len(extra)} of bm5; scores from "
        f"{n_pairs} residue pairs of {len(jobs)} same-family structure pairs.",
        "",
        f"constexpr int kStates = {STATES};",
        f"constexpr int kGroups = {OTHER + 1};",
        c_array("constexpr double kFeatureMean[10]", [mean], lambda v: f"{v:.9g}").replace("{\n    {", "{").replace("}};", "};"),
        c_array("constexpr double kFeatureScale[10]", [scale], lambda v: f"{v:.9g}").replace("{\n    {", "{").replace("}};", "};"),
        c_array(f"constexpr double kStateCentres[{STATES}][10]", centres, lambda v: f"{v:.9g}"),
        c_array(f"constexpr std::int8_t kStateScores[{STATES}][{STATES}]", log_odds(sc, 2.0), str),
        c_array(f"constexpr std::int8_t kStateCoarse[{STATES}][{STATES}]", log_odds(sc, 1.0), str),
        c_array(f"constexpr std::int8_t kGroupScores[{OTHER + 1}][{OTHER + 1}]", padded(log_odds(gc, 2.0)), str),
        c_array(f"constexpr std::int8_t kGroupCoarse[{OTHER + 1}][{OTHER + 1}]", padded(log_odds(gc, 1.0)), str),
    ]
    pathlib.Path(args.out).write_text("\n".join(text))
    print("written", args.out)


if __name__ == "__main__":
    main()
