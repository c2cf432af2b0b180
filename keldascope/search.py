"""Searching and comparing many structures with the robust engine, on C++ threads: one query
against a list of targets (after a fast prefilter), and every pair of a list with its tree.
The native work runs without the interpreter lock; Ctrl-C stops it."""
import math
from dataclasses import dataclass
from typing import List, Optional, Tuple

import malven
import numpy as np

from keldascope import _native, trees
from keldascope.align import as_structure
from keldascope.structures import Structure

# How the prefilter's keep is chosen when the caller does not say: the targets with the
# best shape scores, at least MIN_KEEP of them and KEEP_FRACTION of a large database. With
# the query's family members ranked by the engine, keeping the best 40 of 277 structures of
# 21 families lost no sensitivity; fewer lost some (see the search benchmark).
MIN_KEEP = 40
KEEP_FRACTION = 0.05


def default_keep(n_targets):
    return max(MIN_KEEP, math.ceil(KEEP_FRACTION * n_targets))


@dataclass(frozen=True)
class SearchHit:
    """One target found: rank from 1; score is what hits are ranked by, the TM-score
    normalised by the longer of query and target; the TM-scores by each; Sc, RMSD, pairs
    within 5 A and identity of the alignment; significant is the same-fold rule of
    keldascope.align; transform carries the target onto the query."""
    rank: int
    index: int  # position in the target list
    structure: Structure
    score: float
    tm_score_query: float
    tm_score_target: float
    sc: float
    rmsd: float
    n_aligned: int
    seq_identity: float
    significant: bool
    transform: malven.Transform
    pairs: List[Tuple[int, int]]
    # The normalised shape score (1.0 for a copy of the query); None when the prefilter did
    # not run (off, or keeping every target).
    prefilter: Optional[float]


@dataclass(frozen=True)
class SearchResult:
    query: Structure
    hits: List[SearchHit]
    n_targets: int
    n_aligned: int  # targets the engine aligned (those the prefilter kept)
    prefilter_keep: Optional[int]  # None: the prefilter was off


def _structures(items):
    return [as_structure(item) for item in items]


def search(query, targets, *, prefilter=True, keep=None, max_hits=100, min_score=0.0,
           threads=None):
    """Rank targets (Structures, malven.Domains or file paths) by their similarity to the
    query. prefilter: score every target by its shape string first and align only the best
    `keep` (default: default_keep(len(targets))) with the engine; a copy of the query is
    never dropped. Results are the same for any number of threads (default: all cores)."""
    q = as_structure(query)
    ts = _structures(targets)
    if keep is not None and keep < 1:
        raise ValueError(f"keep must be at least 1, not {keep}")
    kept = (keep or default_keep(len(ts))) if prefilter else None
    hits, n_aligned = _native.search(q.domain, [t.domain for t in ts], prefilter_keep=kept,
                                     max_hits=max_hits, min_score=min_score,
                                     threads=threads or 0)
    out = [SearchHit(rank=k + 1, index=h["target"], structure=ts[h["target"]],
                     score=h["rank_score"], tm_score_query=h["tm_score_1"],
                     tm_score_target=h["tm_score_2"], sc=h["sc"], rmsd=h["rmsd"],
                     n_aligned=len(h["pairs"]), seq_identity=h["identity"],
                     significant=h["significant"], transform=h["transform"], pairs=h["pairs"],
                     prefilter=None if math.isnan(h["prefilter"]) else h["prefilter"])
           for k, h in enumerate(hits)]
    return SearchResult(q, out, len(ts), n_aligned, kept)


@dataclass(frozen=True)
class Comparison:
    """Every pair of structures aligned once. tm[i, j] is the TM-score of the pair
    normalised by structure i; sc, rmsd (NaN without 3 pairs within 5 A) and n_aligned are
    symmetric; the diagonal holds each structure against itself."""
    structures: List[Structure]
    tm: np.ndarray
    sc: np.ndarray
    rmsd: np.ndarray
    n_aligned: np.ndarray

    @property
    def tm_longer(self):
        """The TM-score of each pair normalised by the longer structure (symmetric)."""
        return np.minimum(self.tm, self.tm.T)

    def tree(self):
        """The guide tree over tm_longer (average linkage), as nested (left, right, height)."""
        return trees.guide_tree(self.tm_longer)

    def newick(self):
        return trees.newick(self.tree(), [s.name for s in self.structures])

    def order(self):
        """The structures' indices in the tree's leaf order (for a clustered heatmap)."""
        return trees.leaves(self.tree())


def compare_all(structures, *, threads=None):
    """Align every pair of the structures (Structures, malven.Domains or file paths) once,
    each with itself too, on threads (default: all cores)."""
    ss = _structures(structures)
    if not ss:
        empty = np.zeros((0, 0))
        return Comparison(ss, empty, empty, empty, empty.astype(np.int64))
    m = _native.compare_all([s.domain for s in ss], threads=threads or 0)
    return Comparison(ss, m["tm"], m["sc"], m["rmsd"], m["n_aligned"].astype(np.int64))
