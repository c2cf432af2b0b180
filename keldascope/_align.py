"""Pairwise structural alignment of two structures by the engine: the robust method (a
TM-score search from several kinds of seeds in any frames, with the KELDA score Sc of a
refinement from its superposition) or a KELDA method, and the same-fold call."""
import warnings
from dataclasses import dataclass
from functools import cached_property

import numpy as np

from keldascope import _native, parameters
from keldascope._native import EngineSettings, PairResult, PairStatus
from keldascope._resolve import as_structure
from keldascope.structures import Structure


class Wrapped:
    """A record of the toolkit beside the native result it describes: the result's
    attributes are read through (`x.sc` is `x.result.sc`)."""

    def __getattr__(self, name):
        if name.startswith("__") or name == "result":
            raise AttributeError(name)
        return getattr(self.result, name)

    def __dir__(self):
        return sorted(set(super().__dir__()) | set(dir(self.result)))


# A pair whose C-alpha atoms lie within this distance after superposition is "close" (the
# pairs TM-align counts in its TM-score's d0-independent reports, and ':' in its alignment).
CLOSE_DISTANCE = 5.0


@dataclass(frozen=True, repr=False)
class PairAlignment(Wrapped):
    """Structure B aligned onto structure A (the reference): the PairResult of the engine
    (pairs, alignment, transform carrying B onto A, TM-scores normalised by each structure,
    rmsd, sc, identity, same_fold...) read through, beside the two structures.

    `pairs`, `n_aligned` and `rmsd` are the pairs within 5 A after superposition (robust
    method) or the equivalent pairs (KELDA); `alignment` holds every aligned pair, and
    `n_aligned_all` and `rmsd_all` are TM-align's "Aligned length" and "RMSD" (the aligned
    pairs within its final distance cutoff). TM-align moves its first structure onto its second: `keldascope.align(a, b)` is
    `TMalign b a`, its TM-score "normalized by Chain_2" our tm_score_a."""
    structure_a: Structure
    structure_b: Structure
    result: PairResult

    def __repr__(self):
        r = self.result
        # A pair that was not attempted, or too small to superpose, has no RMSD (None).
        rmsd = "None" if r.rmsd is None else f"{r.rmsd:.3f}"
        status = "" if r.status == PairStatus.ALIGNED else f"status={r.status.name}, "
        return (f"PairAlignment(a={_shown(self.structure_a)}, b={_shown(self.structure_b)}, "
                f"method={r.method.name}, {status}tm_score_a={r.tm_score_a:.4f}, "
                f"tm_score_b={r.tm_score_b:.4f}, sc={r.sc:.4f}, rmsd={rmsd}, "
                f"n_aligned={r.n_aligned}, n_aligned_all={self.n_aligned_all})")

    @property
    def labels(self):
        """Residue labels (numbers with insertion codes) of the pairs, as (label A, label B)."""
        la, lb = self.structure_a.labels, self.structure_b.labels
        return [(la[i], lb[j]) for i, j in self.result.pairs]

    @property
    def pair_array(self):
        """The reported pairs as an (n, 2) int64 array of residue indices (A, B)."""
        return _index_pairs(self.result.pairs)

    @property
    def alignment_array(self):
        """Every aligned pair as an (n, 2) int64 array of residue indices (A, B)."""
        return _index_pairs(self.result.alignment)

    @property
    def distances(self):
        """The C-alpha distance of every aligned pair (alignment_array's rows) after B is
        moved by the transform, as a float64 array."""
        pairs = self.alignment_array
        a = self.structure_a.domain.coordinates[pairs[:, 0]]
        b = self.result.transform.apply(self.structure_b.domain.coordinates)[pairs[:, 1]]
        return np.sqrt(((a - b) ** 2).sum(axis=1))

    @property
    def close(self):
        """Whether each aligned pair lies within 5 A after superposition (a bool array)."""
        return self.distances < CLOSE_DISTANCE

    @property
    def n_aligned_all(self):
        """TM-align's "Aligned length": the aligned pairs within its final cutoff
        d8 = 1.5 L^0.3 + 3.5 A (L the longer structure's length) under a superposition that
        maximises the TM-score over the pairs within d8."""
        return self._tm_align_figures[0]

    @property
    def rmsd_all(self):
        """TM-align's "RMSD": over the pairs of n_aligned_all, after their own least-squares
        superposition; NaN for fewer than three pairs."""
        return self._tm_align_figures[1]

    @cached_property
    def _tm_align_figures(self):
        return _native.aligned_figures(self.structure_a.domain, self.structure_b.domain,
                                       self.result.alignment)[:2]


def _renamed(old, new):
    """The attribute `old` of earlier releases, read as `new` with a DeprecationWarning."""
    def read(self):
        warnings.warn(f"PairAlignment.{old} is now {new}", DeprecationWarning, stacklevel=2)
        return getattr(self, new)
    return property(read, doc=f"Deprecated: {new}.")


# The names of the result before the engine's typed results (CHANGELOG.md lists them).
for _old, _new in (("tm_score_1", "tm_score_a"), ("tm_score_2", "tm_score_b"),
                   ("structure1", "structure_a"), ("structure2", "structure_b"),
                   ("seq_identity", "identity"), ("significant", "same_fold")):
    setattr(PairAlignment, _old, _renamed(_old, _new))


def _shown(structure):
    where = structure.path or structure.name
    return f"'{where}:{structure.chain}'" if structure.chain else f"'{where}'"


def _index_pairs(pairs):
    return np.array(pairs, dtype=np.int64).reshape(-1, 2)


def rmsd_of_pairs(a, b, pairs):
    """The RMSD of the residue pairs (an (n, 2) index array) of domains a and b after their
    least-squares superposition; NaN for fewer than three pairs."""
    if len(pairs) < 3:
        return float("nan")
    import malven

    fixed = np.ascontiguousarray(a.coordinates[pairs[:, 0]])
    mobile = np.ascontiguousarray(b.coordinates[pairs[:, 1]])
    return float(malven.superpose(fixed, mobile)[1])


def settings_of(kind, settings, fields):
    """The settings a job runs with: `settings` (a `kind` object), or a new one of the given
    fields (each default is the native record's)."""
    if settings is None:
        return kind(**fields)
    if fields:
        raise TypeError(f"give settings or its fields ({', '.join(sorted(fields))}), not both")
    if not isinstance(settings, kind):
        raise TypeError(f"settings must be {kind.__name__}, not {type(settings).__name__}")
    return settings


def align(a, b, settings=None, *, params=None, chain_a=None, chain_b=None, **fields):
    """Align `b` onto `a` and return a PairAlignment (the transform moves b onto a: the
    opposite order of TM-align's, so `align(a, b)` is `TMalign b a`). Each of a and b is a
    file path (FILE or FILE:CHAIN), a Structure, a `malven.Domain`, an (N, 3) coordinate
    array of any real dtype, a biotite AtomArray or a gemmi.Structure, with chain_a/chain_b
    choosing the chain of a file. By the engine: `settings` an EngineSettings
    (or its fields as keywords: method, same_fold_tm, ...), `params` a malven.Parameters (or
    a dict of its settings) for the KELDA methods. The native work runs without the
    interpreter lock; Ctrl-C stops it. Raises ValueError for coordinates that are not finite and UnreadableStructure for a file
    that cannot be read."""
    settings = settings_of(EngineSettings, settings, fields)
    sa, sb = as_structure(a, chain_a), as_structure(b, chain_b)
    return PairAlignment(sa, sb, _native.align(sa.domain, sb.domain, settings,
                                               parameters.coerce(params)))
