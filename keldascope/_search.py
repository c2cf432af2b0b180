"""Searching and comparing many structures with the engine on C++ threads: one query against
a list of targets (the robust method after a fast prefilter), and every pair of a list with
its tree. The native work runs without the interpreter lock; Ctrl-C stops it. The results
have one shape whether the work ran here or on Dask workers (keldascope.distributed)."""
from dataclasses import dataclass, field
from typing import List, Optional, Sequence, Tuple

import numpy as np

from keldascope import _native, parameters, trees
from keldascope._native import CompareSettings, Method, SearchHit, SearchSettings
from keldascope._align import settings_of
from keldascope._resolve import as_structure, resolve
from keldascope.structures import Structure


@dataclass(frozen=True)
class SearchResult:
    """The hits of a query against targets, best first: SearchHits whose `target` is the
    position in the target list (its name and path in `names` and `paths` there), `score`
    the method's own (the TM-score normalised by the longer structure for the robust method,
    Sc for the KELDA methods), with the PairResult's fields. n_targets: targets searched
    (unreadable files skipped are not counted); n_aligned: those the engine aligned (the
    prefilter's choice); prefilter_keep: how many it kept, None when it did not run."""
    query: Structure
    hits: List[SearchHit]
    names: Sequence[str]
    paths: Sequence[str]
    n_targets: int
    n_aligned: int
    prefilter_keep: Optional[int]
    skipped: List[Tuple[str, str]] = field(default_factory=list)  # (path, reason)
    chains: Sequence[str] = ()  # each target's chain, where known

    def __repr__(self):
        return (f"SearchResult(query={self.query.name!r}, {len(self.hits)} hits of "
                f"{self.n_targets} targets, {self.n_aligned} aligned, "
                f"{len(self.skipped)} skipped)")

    def name(self, hit):
        return self.names[hit.target]

    def chain(self, hit):
        """The target's chain, or None where the result does not know it."""
        return self.chains[hit.target] if len(self.chains) > hit.target else None

    def path(self, hit):
        return self.paths[hit.target]


@dataclass(frozen=True)
class HitAlignment:
    """What a hit's alignment says with its two structures at hand (a hit holds residue
    indices, not residues): the aligned sequences over the alignment's columns (qaln, taln,
    '-' for a gap), both whole sequences, the pairs of identical and of different residues,
    fident (identical pairs over the alignment's columns, gaps included, 0..1), lddt (the
    C-alpha LDDT of the aligned pairs, contacts within 15 A in either structure, as multiple
    alignments are scored; None with no contact) and alntmscore (the TM-score of the aligned
    pairs under the hit's superposition, normalised by the alignment's columns)."""
    qaln: str
    taln: str
    qseq: str
    tseq: str
    identical: int
    mismatch: int
    fident: float
    lddt: Optional[float]
    alntmscore: float


def _d0(length):
    """The TM-score's distance scale for a length (Zhang and Skolnick 2004), 0.5 A at least
    as TM-align keeps it for short chains."""
    return max(0.5, 1.24 * (length - 15) ** (1.0 / 3.0) - 1.8) if length > 21 else 0.5


def hit_alignment(hit, query, target):
    """A HitAlignment of a SearchHit (or PairResult) of `query` against `target` (Structures
    or malven.Domains, as searched: the query is A, the target B)."""
    q = getattr(query, "domain", query)
    t = getattr(target, "domain", target)
    pairs = [(int(i), int(j)) for i, j in hit.alignment]
    qs, ts = q.sequence, t.sequence
    qaln, taln = [], []
    for k, (i, j) in enumerate(pairs):
        if k:
            pi, pj = pairs[k - 1]
            qaln += list(qs[pi + 1:i]) + ["-"] * (j - pj - 1)
            taln += ["-"] * (i - pi - 1) + list(ts[pj + 1:j])
        qaln.append(qs[i])
        taln.append(ts[j])
    identical = sum(qs[i] == ts[j] for i, j in pairs)
    columns = len(qaln)
    lddt = None
    tm = 0.0
    if pairs:
        index = np.array(pairs, dtype=np.int64)
        rows = [index[:, 0].tolist(), index[:, 1].tolist()]
        mean = _native.msa_lddt([q, t], rows, 1).mean
        lddt = None if not np.isfinite(mean) else float(mean)
        moved = hit.transform.apply(t.coordinates)[index[:, 1]]
        d = np.linalg.norm(q.coordinates[index[:, 0]] - moved, axis=1)
        tm = float(np.sum(1.0 / (1.0 + (d / _d0(columns)) ** 2)) / columns)
    return HitAlignment("".join(qaln), "".join(taln), qs, ts, identical,
                        len(pairs) - identical, identical / columns if columns else 0.0,
                        lddt, tm)


def search(query, targets, settings=None, *, params=None, errors="warn", all_chains=False,
           **fields):
    """Rank targets by their similarity to the query; returns a SearchResult (hits best
    first). The query is one structure (a file path, FILE:CHAIN, a Structure, a
    malven.Domain, an (N, 3) array, a biotite AtomArray or a gemmi.Structure); targets are
    anything keldascope.resolve takes: one path or folder, or a list mixing files, folders,
    FILE:CHAIN names and structures; or a keldascope.Database. Unreadable target files are
    skipped with a warning and listed in `skipped` (errors="raise" raises
    UnreadableStructure instead; "ignore" skips silently); all_chains=True makes every protein chain of each file a target.
    `settings`: a SearchSettings, or its fields as keywords (method, prefilter, keep,
    max_hits, min_score, threads...); `params`: a malven.Parameters for the KELDA methods.
    The robust method scores every target by its shape string first and aligns the best
    (a copy of the query is never dropped). Results are the same for any number of
    threads. `targets` may be a keldascope.Database: its staged search (the prefilter off:
    the engine on every entry), the hits' `target` the entry's index."""
    settings = settings_of(SearchSettings, settings, fields)
    # A keldascope.Database searches itself (its module builds on this one, so it is known
    # here by what it does).
    searched_by = getattr(targets, "search_one", None)
    if searched_by is not None:
        return searched_by(query, settings)
    q = as_structure(query)
    found = resolve(targets, errors=errors, all_chains=all_chains)
    ts = found.structures
    hits, n_aligned, keep = _native.search(q.domain, [t.domain for t in ts], settings,
                                           parameters.coerce(params))
    return SearchResult(q, hits, [t.name for t in ts], [t.path for t in ts], len(ts), n_aligned,
                        keep, found.skipped, [t.chain or t.domain.chain for t in ts])


@dataclass(frozen=True)
class Comparison:
    """Every pair of structures aligned once, each with itself too. tm[i, j] is the TM-score
    normalised by structure i; tm_longer (by the longer of the two), sc, rmsd (NaN where
    nothing was superposed), score (the method's own) and n_aligned are symmetric."""
    names: List[str]
    paths: List[str]
    lengths: List[int]
    method: Method
    tm: np.ndarray
    tm_longer: np.ndarray
    sc: np.ndarray
    rmsd: np.ndarray
    score: np.ndarray
    n_aligned: np.ndarray
    skipped: List[Tuple[str, str]] = field(default_factory=list)  # (path, reason)
    chains: List[str] = field(default_factory=list)  # each structure's chain

    @classmethod
    def of(cls, names, paths, lengths, method, matrices, skipped=(), chains=()):
        return cls(list(names), list(paths), list(lengths), method, matrices.tm,
                   matrices.tm_longer, matrices.sc, matrices.rmsd, matrices.score,
                   matrices.n_aligned.astype(np.int64), list(skipped), list(chains))

    def __repr__(self):
        return (f"Comparison({len(self.names)} structures, method={self.method.name}, "
                f"{len(self.skipped)} skipped)")

    def tree(self):
        """The guide tree over the method's score (average linkage), as nested (left, right,
        height), or None without structures."""
        return trees.guide_tree(self.score) if self.names else None

    def newick(self):
        """The tree as Newick text, leaves named by the structures' names; None without
        structures."""
        return trees.newick(self.tree(), self.names) if self.names else None

    def order(self):
        """The structures' indices in the tree's leaf order (for a clustered heatmap)."""
        return trees.leaves(self.tree()) if self.names else []


def compare_all(structures, settings=None, *, params=None, errors="warn", all_chains=False,
                **fields):
    """Align every pair of the structures once, each with itself too, on threads; returns a
    Comparison (matrices in the order of the structures read). `structures`: anything
    keldascope.resolve takes (one path or folder, or a list mixing files, folders,
    FILE:CHAIN names and structures); unreadable files are skipped with a warning and listed
    in `skipped` (errors="raise" raises instead), all_chains=True takes every protein chain
    of each file. `settings`: a CompareSettings, or its fields as keywords (method,
    threads...)."""
    settings = settings_of(CompareSettings, settings, fields)
    found = resolve(structures, errors=errors, all_chains=all_chains)
    ss = found.structures
    m = _native.compare_all([s.domain for s in ss], settings, parameters.coerce(params))
    return Comparison.of([s.name for s in ss], [s.path for s in ss], [len(s.domain) for s in ss],
                         settings.method, m, found.skipped,
                         [s.chain or s.domain.chain for s in ss])


# The columns of SparseComparison.pairs, as the native comparison makes its rows.
PAIR_COLUMNS = ("i", "j", "tm_i", "tm_j", "tm_longer", "sc", "rmsd", "score", "n_aligned")


@dataclass(frozen=True)
class SparseComparison:
    """The pairs of a set of structures whose score reaches min_score, found without
    aligning every pair: each structure's `keep` best partners by the shape prefilter were
    aligned (`candidates` pairs in all). `pairs` is a float64 array of rows (i, j, tm_i,
    tm_j, tm_longer, sc, rmsd, score, n_aligned), i < j, ascending (PAIR_COLUMNS)."""
    names: List[str]
    paths: List[str]
    lengths: List[int]
    method: Method
    min_score: float
    keep: int
    candidates: int
    pairs: np.ndarray

    @property
    def n_pairs(self):
        return len(self.pairs)


def sparse_keep(n, keep=0):
    """The partners the prefilter keeps per structure among n: `keep`, or for 0 the search's
    rule (_native.DEFAULT_KEEP_RULE) over the n - 1 others."""
    others = max(n - 1, 0)
    chosen = _native.prefilter_keep(SearchSettings(keep=keep), others)
    return others if chosen is None else min(chosen, others)


def compare_sparse(structures, settings=None, *, min_score, keep=0, params=None, errors="warn",
                   all_chains=False, **fields):
    """The pairs of the structures (anything keldascope.resolve takes) whose score
    (the method's own) is at least min_score, each structure aligned only with its `keep`
    best partners by the shape prefilter (0: as many as a search keeps): a
    SparseComparison. `settings` a CompareSettings or its fields as keywords. Pairs the
    prefilter does not choose are taken to fall below min_score."""
    settings = settings_of(CompareSettings, settings, fields)
    ss = resolve(structures, errors=errors, all_chains=all_chains).structures
    k = sparse_keep(len(ss), keep)
    candidates, rows = _native.compare_sparse([s.domain for s in ss], k, float(min_score),
                                              settings, parameters.coerce(params))
    return SparseComparison([s.name for s in ss], [s.path for s in ss],
                            [len(s.domain) for s in ss], settings.method, float(min_score), k,
                            candidates, rows)
