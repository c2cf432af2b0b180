"""Clustering chains by TM-score without aligning every pair: chains in memory (Structures,
malven.Domains or files) or the entries of a structure database, each chain a member of
exactly one cluster under a representative. The native work runs on C++ threads without the
interpreter lock; Ctrl-C stops it."""
import os
from dataclasses import dataclass, field
from typing import List, Sequence, Tuple

from keldascope import _native
from keldascope._native import ClusterMethod, ClusterSettings, CoverageOf, NormaliseBy
from keldascope._align import settings_of
from keldascope.database import Database
from keldascope._resolve import resolve, short_names

# The words the toolkit and the command line accept for the enumerations.
METHODS = {"set-cover": ClusterMethod.SET_COVER, "components": ClusterMethod.COMPONENTS}
COVERAGE_OF = {"each": CoverageOf.EACH, "shorter": CoverageOf.SHORTER}
NORMALISE = {"longer": NormaliseBy.LONGER, "shorter": NormaliseBy.SHORTER,
             "representative": NormaliseBy.A, "member": NormaliseBy.B}


@dataclass(frozen=True)
class Cluster:
    """A representative and its members by name (the representative first, then in input
    order), with each member's TM-score against the chain that brought it in (1 for the
    representative; a lower bound of the best alignment's where a cheap alignment already
    reached the threshold)."""
    representative: str
    members: Tuple[str, ...]
    tm: Tuple[float, ...]

    @property
    def size(self):
        return len(self.members)


@dataclass(frozen=True, repr=False)
class ClusterResult:
    """The clusters in the order their representatives were chosen (longest first), the
    chains' names in input order (FILE:CHAIN), and the work done: chains that looked for
    members (queries), members settled before the engine (certified), engine alignments
    (aligned). skipped: (path, reason) of files left out."""
    clusters: List[Cluster]
    names: Sequence[str]
    queries: int
    certified: int
    aligned: int
    skipped: List[Tuple[str, str]] = field(default_factory=list)

    def __repr__(self):
        # Counts only: the clusters of a few hundred chains would fill a screen.
        return (f"ClusterResult(chains={self.n_chains}, clusters={len(self.clusters)}, "
                f"largest={self.largest}, singletons={self.singletons}, "
                f"aligned={self.aligned}, skipped={len(self.skipped)})")

    @property
    def n_chains(self):
        return len(self.names)

    @property
    def singletons(self):
        return sum(1 for c in self.clusters if c.size == 1)

    @property
    def largest(self):
        return max((c.size for c in self.clusters), default=0)

    def pairs(self):
        """(representative, member) for every chain, the representative with itself."""
        return [(c.representative, m) for c in self.clusters for m in c.members]


def is_database(path):
    """Whether a path names a structure database (a directory holding its manifest)."""
    try:
        return os.path.isfile(os.path.join(os.fsdecode(path), "dbtype"))
    except (TypeError, ValueError):
        return False


def chain_labels(structures):
    """FILE:CHAIN per structure, by the shortest end of its file's path that no other file
    shares (a/x.pdb:A and b/x.pdb:A, never two x:A); FILE alone for a blank chain, the
    structure's name for one read from no file."""
    return short_names([s.path or s.name for s in structures],
                       [(s.chain or str(s.domain.chain)).strip() for s in structures])


def _word(table, value, what):
    if isinstance(value, str):
        try:
            return table[value]
        except KeyError:
            raise ValueError(f"{what} must be one of {', '.join(table)}, not '{value}'")
    return value


def cluster_settings(tm=None, coverage=None, method=None, coverage_of=None, normalise=None,
                     threads=None, **fields):
    """A ClusterSettings of the given values (words or enumeration members); the others keep
    the native defaults."""
    given = {"tm": tm, "coverage": coverage, "threads": threads,
             "method": _word(METHODS, method, "method"),
             "coverage_of": _word(COVERAGE_OF, coverage_of, "coverage_of"),
             "normalise": _word(NORMALISE, normalise, "normalise")}
    return ClusterSettings(**{k: v for k, v in given.items() if v is not None}, **fields)


def _result(names, clusters, queries, certified, aligned, skipped=()):
    out = [Cluster(names[rep], tuple(names[m] for m in members), tuple(tm))
           for rep, members, tm in clusters]
    return ClusterResult(out, list(names), queries, certified, aligned, list(skipped))


def cluster(sources, tm=None, coverage=None, method=None, *, coverage_of=None, normalise=None,
            threads=None, settings=None, progress=None, errors="warn", **fields):
    """Cluster chains by TM-score (by default normalised by the longer chain, threshold 0.5).

    sources: a structure database (a keldascope.Database or its path), or what
    keldascope.resolve takes (a file, a folder, or a list of files, folders, FILE:CHAIN
    names, Structures, malven.Domains; unreadable files skipped with a warning,
    errors="raise" raises) clustered in memory; returns a
    ClusterResult. method: "set-cover" (the longest chain not yet placed becomes a
    representative of the chains it reaches) or "components" (clusters closed under reaching). coverage: the share of each
    chain (coverage_of="each") or of the shorter ("shorter") that the alignment's close
    pairs must cover. normalise: "longer", "shorter", "representative" or "member".
    `settings` (a ClusterSettings) instead of these; progress(placed, total) is called as
    chains are placed. Results are the same for any number of threads."""
    if settings is not None:
        if any(v is not None for v in (tm, coverage, method, coverage_of, normalise, threads)):
            raise TypeError("give settings or its fields, not both")
        settings = settings_of(ClusterSettings, settings, fields)
    else:
        settings = cluster_settings(tm, coverage, method, coverage_of, normalise, threads,
                                    **fields)
    if hasattr(sources, "search_one"):  # a keldascope.Database, known by what it does
        sources = sources.path
    if isinstance(sources, (str, bytes, os.PathLike)) and is_database(sources):
        names, *found = _native.cluster_database(os.fsdecode(sources), settings, progress)
        # Entries by the ends of their files' paths: the stored names, after the files'
        # stems, repeat where two folders hold a file of one name.
        db = Database(sources)
        return _result([db.label(k) for k in range(len(names))], *found)
    read = resolve(sources, errors=errors)
    structures = read.structures
    found = _native.cluster_domains([s.domain for s in structures], settings, progress)
    return _result(chain_labels(structures), *found, skipped=read.skipped)
