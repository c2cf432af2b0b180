"""Pairwise structural alignment of two structures in any coordinate frames with the robust
engine: a TM-score search from several kinds of seeds, the KELDA score Sc of a refinement
started from its superposition, and a same-fold call."""
import os
from dataclasses import dataclass
from typing import List, Tuple

import malven

from keldascope import _native
from keldascope.structures import Structure, read_structure, residue_labels

# The same-fold rule the engine applies (its significance flag): the TM-score normalised by
# the longer structure reaches SAME_FOLD_TM, or the KELDA score Sc reaches SAME_FOLD_SC. TM-score
# 0.5 is the usual line between folds; Sc 0.35 lay above every one of 200 cross-family pairs
# (largest 0.20) and below every one of 650 same-family pairs (smallest 0.38) when measured.
SAME_FOLD_TM = 0.5
SAME_FOLD_SC = 0.35


@dataclass(frozen=True)
class PairAlignment:
    """Structure 2 aligned onto structure 1 (the reference).

    pairs: the aligned residue pairs (i of 1, j of 2) lying within 5 A after superposition,
    as TM-align reports them; alignment: every pair of the TM-score alignment; transform: the
    `malven.Transform` carrying structure 2 onto 1 (the superposition maximising the TM-score
    normalised by the shorter structure); tm_score_1, tm_score_2: the TM-score normalised by
    structure 1 and by structure 2 (d0 from that structure's length, as TM-align); rmsd and
    seq_identity over `pairs`; sc: the KELDA score of a refinement from `transform`;
    significant: the same-fold rule above."""
    structure1: Structure
    structure2: Structure
    transform: malven.Transform
    pairs: List[Tuple[int, int]]
    alignment: List[Tuple[int, int]]
    tm_score_1: float
    tm_score_2: float
    rmsd: float
    seq_identity: float
    sc: float
    aligned: bool
    significant: bool
    method: str = "robust"

    @property
    def n_aligned(self):
        return len(self.pairs)

    @property
    def tm_score(self):
        """Normalised by the first structure, the reference (TM-align's first figure)."""
        return self.tm_score_1

    @property
    def labels(self):
        """Residue labels (numbers with insertion codes) of the pairs, as (label 1, label 2)."""
        l1, l2 = self.structure1.labels, self.structure2.labels
        return [(l1[i], l2[j]) for i, j in self.pairs]


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


def align(first, second, *, chain1=None, chain2=None):
    """Align `second` onto `first` (each a Structure, a `malven.Domain` or a file path, with
    chain1/chain2 choosing the chain of a file) with the robust engine. The native work
    runs without the interpreter lock; Ctrl-C stops it. Raises ValueError for coordinates
    that are not finite and UnreadableStructure for a file that cannot be read."""
    s1, s2 = as_structure(first, chain1), as_structure(second, chain2)
    r = _native.robust_align(s1.domain, s2.domain)
    return PairAlignment(structure1=s1, structure2=s2, transform=r["transform"],
                         pairs=r["pairs"], alignment=r["alignment"],
                         tm_score_1=r["tm_score_1"], tm_score_2=r["tm_score_2"],
                         rmsd=r["rmsd"], seq_identity=r["identity"], sc=r["sc"],
                         aligned=r["status"] == "aligned", significant=r["significant"])
