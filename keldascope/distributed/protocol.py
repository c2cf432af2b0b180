"""What travels between the client and the workers of a distributed run: the files a chunk
reads, how read_structure reads them, and each kind of chunk's result as a typed record (only
paths, settings and plain records cross; the merge happens on the client)."""
from dataclasses import dataclass, field
from typing import Dict, List, NamedTuple, Optional, Tuple

import numpy as np

from keldascope.structures import UnreadableStructure


class FileSpec(NamedTuple):
    """One structure a chunk reads."""
    path: str  # absolute: the workers may run elsewhere
    shown: str  # as the caller gave it, for messages and results
    chain: Optional[str]
    skippable: bool  # left out with a reason rather than failing the run


@dataclass(frozen=True)
class Reading:
    """read_structure's model and min_plddt, for every file of a run."""
    model: Optional[int] = None
    min_plddt: Optional[float] = None

    @classmethod
    def of(cls, model, min_plddt):
        return cls(None if model is None else int(model),
                   None if min_plddt is None else float(min_plddt))

    def options(self):
        return {"model": self.model, "min_plddt": self.min_plddt}


# Why a chunk stopped: the file could not be read, the search of one target failed, or the
# alignment of a pair did.
UNREADABLE, SCAN, ALIGN = "unreadable", "scan", "align"


class Failure(NamedTuple):
    """The first failure of a chunk, which fails the whole run."""
    index: int  # the structure's position in the run's list
    reason: str
    kind: str

    def raise_as(self, shown):
        """Raise the error the run reports, the structure named `shown`."""
        if self.kind == UNREADABLE:
            raise UnreadableStructure(shown, self.reason)
        if self.kind == SCAN:
            raise ValueError(f"scan of {shown} failed: {self.reason}")
        raise ValueError(self.reason)


@dataclass
class ChunkResult:
    """What every chunk reports of the files it read."""
    skipped: List[Tuple[int, str]] = field(default_factory=list)  # (index, reason)
    failure: Optional[Failure] = None


@dataclass
class ShapeScores(ChunkResult):
    """The prefilter's normalised shape score of each target read: (index, score)."""
    scores: List[Tuple[int, float]] = field(default_factory=list)


@dataclass
class TargetHits(ChunkResult):
    """The engine's best hits of a chunk of targets, (index, SearchHit), with the names and
    chains of the targets hit, by index."""
    hits: list = field(default_factory=list)
    names: Dict[int, str] = field(default_factory=dict)
    chains: Dict[int, Optional[str]] = field(default_factory=dict)
    n_aligned: int = 0


@dataclass
class PairCells(ChunkResult):
    """The engine on a chunk of pairs: the members read, index: (id, length, chain), and the
    rows of score_pairs (indices into the whole list) of the pairs whose two structures were
    read."""
    members: Dict[int, Tuple[str, int, Optional[str]]] = field(default_factory=dict)
    cells: np.ndarray = field(default_factory=lambda: np.zeros((0, 9)))
