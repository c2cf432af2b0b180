"""Fits the search's null model and its homology probability, and prints the constants that
kelda-core/src/search/significance.cpp holds.

Data: the families of ../shared/data/FAMILIES.tsv (PDB and Pfam excerpts, SCOP domains of the
globins; no SCOP40 benchmark domain or label), each member searched against every other and
against every reversed chain, its own included (the C-alpha trace read backwards: a chain of the
same length, packing and secondary structure whose topology no protein has). Unrelated pairs:
members of two families of different folds, and a chain against any reversed chain, its own
and its family's among them (the closest decoys there are, and a search meets them among a
database's reversed chains as it meets the others); homolog pairs: two members of one family.
The engine is the search's (the robust method as keldascope.search runs it).

The model (see significance.hpp): s = mean of the TM-scores by query and by target;
z = (s - mu(L)) / sd(L) with mu and log sd linear in ln(shorter length) and ln(longer /
shorter); a Gumbel upper tail over z; prob a logistic function of z.

    python bench/fit_significance.py [--threads N] [--queries N]

The pairs' TM-scores are cached in ~/.cache/malven-bench/significance/pairs.tsv between
runs, a query at a time (delete it after a change of the engine)."""
import argparse
import math
import os
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from common import SHARED  # noqa: E402

import keldascope  # noqa: E402

CACHE = pathlib.Path(os.environ.get("MALVEN_BENCH_CACHE",
                                    pathlib.Path.home() / ".cache" / "malven-bench"))

# Families of FAMILIES.tsv that share a SCOP fold (so that no pair of theirs is taken as
# unrelated): the P-loop NTPases (c.37: AAA ATPase, ATP synthase's nucleotide-binding domain,
# adenylate kinase), the TIM barrels (c.1: the HpcH/HpaI aldolases, triosephosphate
# isomerase), the kringle-like fold (kringles, fibronectin type II) and the globins in two
# samples. Left out, the TIM barrels' pairs were the null's highest scores by far (mean
# TM-score 0.6, against 0.47 for the next unrelated pair).
SAME_FOLD = [{"PF00004_AAA_ATPase", "PF00006_ATP_synthase_alpha_beta_NBD",
              "adenylate_kinase_open_closed"},
             {"PF03328_HpcH_HpaI_aldolase_TIM_barrel", "TIM_triosephosphate_isomerase"},
             {"kringle", "PF00040_fibronectin_type_II"},
             {"globins_scop_domains", "globins_full_entries"}]


def fold_group(family):
    for k, g in enumerate(SAME_FOLD):
        if family in g:
            return f"group{k}"
    return family


def members():
    """(family, path) of every member of FAMILIES.tsv."""
    rows = (SHARED / "FAMILIES.tsv").read_text().splitlines()[1:]
    out = []
    for row in rows:
        f = row.split("\t")
        for rel in f[5].split():
            out.append((f[0], SHARED / rel))
    return out


def reversed_structure(s):
    """The chain read backwards, as a new structure."""
    d = s.domain
    ca = np.asarray(d.coordinates)[::-1].copy()
    return keldascope.from_arrays(ca, d.sequence[::-1], name=f"rev:{s.name}")


def collect(threads, n_queries):
    """Rows (query index, query family, target family or 'rev:'family, Lq, Lt, tm by query,
    tm by target) of n_queries queries taken across the families (every k-th member first), each
    against every other member and every reversed chain, its own included; cached a query at a
    time, so that a run resumes (the query against its own reversed chain in a file of its
    own, which older caches lack)."""
    path = CACHE / "significance" / "pairs.tsv"
    own_path = CACHE / "significance" / "own_reversed.tsv"
    path.parent.mkdir(parents=True, exist_ok=True)
    found = [(fam, keldascope.read_structure(str(p))) for fam, p in members()]
    targets = [s for _, s in found] + [reversed_structure(s) for _, s in found]
    families = [f for f, _ in found] + ["rev:" + f for f, _ in found]
    order = [k for start in range(7) for k in range(start, len(found), 7)][:n_queries]

    def cached(p):
        done = {}
        if p.exists():
            for line in p.read_text().splitlines():
                f = line.split("\t")
                done.setdefault(int(f[0]), []).append(
                    (f[1], f[2], int(f[3]), int(f[4]), float(f[5]), float(f[6])))
        return done

    def search(k, picked):
        fam, q = found[k]
        r = keldascope.search(q, [targets[t] for t in picked], prefilter=False,
                              max_hits=len(picked), threads=threads,
                              sort_by=keldascope.SortBy.TM)
        return [(fam, families[picked[h.target]], len(q.domain), h.length_b, h.tm_score_a,
                 h.tm_score_b) for h in r.hits]

    done, own = cached(path), cached(own_path)
    with open(path, "a") as out, open(own_path, "a") as own_out:
        for n, k in enumerate(order):
            for store, sink, picked in (
                    (done, out, [t for t in range(len(targets)) if t not in (k, k + len(found))]),
                    (own, own_out, [k + len(found)])):
                if k in store:
                    continue
                rows = search(k, picked)
                sink.write("".join("\t".join(str(x) for x in (k,) + row) + "\n" for row in rows))
                sink.flush()
                store[k] = rows
            print(f"\r{n + 1}/{len(order)} queries", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)
    return [(k,) + row for k in order if k in done for row in done[k] + own.get(k, [])]


def features(lq, lt, lengths=True):
    short, long_ = np.minimum(lq, lt), np.maximum(lq, lt)
    x = np.stack([np.ones_like(short, dtype=float), np.log(short), np.log(long_ / short)], 1)
    return x if lengths else x[:, :1]


def fit_null(lq, lt, s, lengths):
    """mu and log sd linear in the features (or constants): least squares for mu, then for
    the log of the absolute residuals (corrected by E ln|N(0,1)| = -0.635); as the three
    coefficients of significance.cpp."""
    x = features(lq, lt, lengths)
    mu_c, *_ = np.linalg.lstsq(x, s, rcond=None)
    res = np.abs(s - x @ mu_c)
    sd_c, *_ = np.linalg.lstsq(x, np.log(np.maximum(res, 1e-6)) + 0.635, rcond=None)
    pad = np.zeros(3 - len(mu_c))
    return np.concatenate([mu_c, pad]), np.concatenate([sd_c, pad])


def sensitivity(query, z, homolog, unrelated):
    """The mean over queries of the share of their homologs ranked above the first
    unrelated target by z (as bench_scop measures it)."""
    shares = []
    for q in np.unique(query):
        mine = (query == q) & (homolog | unrelated)
        order = np.argsort(-z[mine], kind="stable")
        is_hom = homolog[mine][order]
        if is_hom.sum():
            first_fp = np.argmax(~is_hom) if (~is_hom).any() else len(is_hom)
            shares.append(is_hom[:first_fp].sum() / is_hom.sum())
    return float(np.mean(shares))


def z_of(lq, lt, s, mu_c, sd_c):
    x = features(lq, lt)
    return (s - x @ mu_c) / np.exp(x @ sd_c)


def fit_gumbel_tail(z, tail=0.1):
    """Gumbel (loc, scale) whose survival function 1 - exp(-exp(-(z - loc) / scale)) matches
    the null's upper `tail` share: least squares of -ln(-ln(1 - S)) on z over that tail,
    the part of the distribution E-values speak about."""
    z = np.sort(z)[::-1]
    n = len(z)
    surv = (np.arange(1, n + 1) - 0.5) / n
    keep = surv <= tail
    y = -np.log(-np.log1p(-surv[keep]))
    a, b = np.polyfit(z[keep], y, 1)  # y = (z - loc) / scale
    return -b / a, 1.0 / a


def fit_logistic(z, y, iters=50):
    """Logistic regression of y (1: homolog) on z by Newton's method, the two classes given
    equal total weight (the share of homologs among a database's targets is not known)."""
    w = np.where(y == 1, 0.5 / max(1, y.sum()), 0.5 / max(1, (1 - y).sum()))
    x = np.stack([np.ones_like(z), z], 1)
    beta = np.zeros(2)
    for _ in range(iters):
        p = 1 / (1 + np.exp(-(x @ beta)))
        g = x.T @ (w * (y - p))
        h = (x * (w * p * (1 - p))[:, None]).T @ x
        beta += np.linalg.solve(h, g)
    return beta


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--queries", type=int, default=66,
                    help="members searched against all (spread over the families)")
    args = ap.parse_args()
    if not (SHARED / "FAMILIES.tsv").exists():
        sys.exit(f"no shared data at {SHARED}")
    rows = collect(args.threads, args.queries)
    query = np.array([r[0] for r in rows])
    qf = np.array([r[1] for r in rows])
    tf = np.array([r[2] for r in rows])
    lq = np.array([r[3] for r in rows], float)
    lt = np.array([r[4] for r in rows], float)
    tq = np.array([r[5] for r in rows])
    tt = np.array([r[6] for r in rows])
    s = (tq + tt) / 2
    reversed_t = np.char.startswith(tf, "rev:")
    group_q = np.array([fold_group(f) for f in qf])
    group_t = np.array([fold_group(f.removeprefix("rev:")) for f in tf])
    unrelated = reversed_t | (group_q != group_t)
    homolog = ~reversed_t & (qf == tf)
    print(f"pairs: {len(rows)}; unrelated {unrelated.sum()} "
          f"({(unrelated & reversed_t).sum()} against reversed chains), homolog {homolog.sum()}")
    # The length terms are kept only if they rank the homologs better on these pairs (an
    # E-value must rank at least as well as the score it comes from).
    fits = {}
    for lengths in (True, False):
        mu_c, sd_c = fit_null(lq[unrelated], lt[unrelated], s[unrelated], lengths)
        fits[lengths] = (sensitivity(query, z_of(lq, lt, s, mu_c, sd_c), homolog, unrelated),
                         mu_c, sd_c)
        print(f"null {'with length terms' if lengths else 'constant'}: sensitivity "
              f"{fits[lengths][0]:.4f} (homologs above the first unrelated pair, by z)")
    lengths = fits[True][0] > fits[False][0]
    _, mu_c, sd_c = fits[lengths]
    print("chosen:", "with length terms" if lengths else "constant")
    z_null = z_of(lq[unrelated], lt[unrelated], s[unrelated], mu_c, sd_c)
    loc, scale = fit_gumbel_tail(z_null)
    z_all = z_of(lq, lt, s, mu_c, sd_c)
    pick = unrelated | homolog
    beta = fit_logistic(z_all[pick], homolog[pick].astype(float))
    print("null mean of s:       mu = %.6f + %.6f ln(short) + %.6f ln(long/short)" % tuple(mu_c))
    print("null sd of s:     ln sd = %.6f + %.6f ln(short) + %.6f ln(long/short)" % tuple(sd_c))
    print("Gumbel tail over z:   loc = %.6f, scale = %.6f" % (loc, scale))
    print("prob = 1 / (1 + exp(-(%.6f + %.6f z)))" % tuple(beta))
    # How well the tail fits: the share of null pairs beyond each p-value.
    t = (z_null - loc) / scale
    p = -np.expm1(-np.exp(-t))
    for x in (0.1, 0.01, 0.001, 1e-4):
        print(f"  null pairs with p <= {x:g}: {np.mean(p <= x):.2e}")
    zh = z_all[homolog]
    print(f"  homolog pairs: median z {np.median(zh):.2f}; share with p <= 1e-3: "
          f"{np.mean(-np.expm1(-np.exp(-(zh - loc) / scale)) <= 1e-3):.3f}")


if __name__ == "__main__":
    main()
