"""Pairwise structural alignment of two structures by the engine: the robust method (a
TM-score search from several kinds of seeds in any frames, with the KELDA score Sc of a
refinement from its superposition) or a KELDA method, and the same-fold call."""
import os
from dataclasses import dataclass

import malven

from keldascope import _native, parameters
from keldascope._native import EngineSettings, PairResult
from keldascope.structures import Structure, read_structure, residue_labels


class Wrapped:
    """A record of the toolkit beside the native result it describes: the result's
    attributes are read through (`x.sc` is `x.result.sc`)."""

    def __getattr__(self, name):
        if name.startswith("__") or name == "result":
            raise AttributeError(name)
        return getattr(self.result, name)

    def __dir__(self):
        return sorted(set(super().__dir__()) | set(dir(self.result)))


@dataclass(frozen=True)
class PairAlignment(Wrapped):
    """Structure B aligned onto structure A (the reference): the PairResult of the engine
    (pairs, alignment, transform carrying B onto A, TM-scores normalised by each structure,
    rmsd, sc, identity, same_fold...) read through, beside the two structures."""
    structure_a: Structure
    structure_b: Structure
    result: PairResult

    @property
    def labels(self):
        """Residue labels (numbers with insertion codes) of the pairs, as (label A, label B)."""
        la, lb = self.structure_a.labels, self.structure_b.labels
        return [(la[i], lb[j]) for i, j in self.result.pairs]


def as_structure(item, chain=None):
    """A Structure from a Structure, a `malven.Domain` or a file path."""
    if isinstance(item, Structure):
        return item
    if isinstance(item, malven.Domain):
        return Structure(item.pdb_file, item, tuple(residue_labels(item)))
    if isinstance(item, (str, bytes, os.PathLike)):
        return read_structure(os.fsdecode(item), chain)
    raise TypeError(f"expected a Structure, a malven.Domain or a file path, "
                    f"not {type(item).__name__}")


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
    """Align `b` onto `a` (each a Structure, a `malven.Domain` or a file path, with
    chain_a/chain_b choosing the chain of a file) by the engine: `settings` an EngineSettings
    (or its fields as keywords: method, same_fold_tm, ...), `params` a malven.Parameters (or
    a dict of its settings) for the KELDA methods. The native work runs without the
    interpreter lock; Ctrl-C stops it. Raises ValueError for coordinates that are not finite and UnreadableStructure for a file
    that cannot be read."""
    settings = settings_of(EngineSettings, settings, fields)
    sa, sb = as_structure(a, chain_a), as_structure(b, chain_b)
    return PairAlignment(sa, sb, _native.align(sa.domain, sb.domain, settings,
                                               parameters.coerce(params)))
