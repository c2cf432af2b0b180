"""keldascope: the Python toolkit of malven, for everything beyond the fixed surface of the
`malven` extension module. It reads structure files (PDB and mmCIF, plain or gzipped) and
writes superposed copies of them, runs searches and all-against-all
comparisons over many processes, and carries the command line (`keldascope.cli`).

Structures are `malven.Domain` objects and settings `malven.Parameters`; the toolkit's own
native pieces live in its private module `keldascope._native`."""
from keldascope import parameters
from keldascope.align import SAME_FOLD_SC, SAME_FOLD_TM, PairAlignment, align
from keldascope.search import Comparison, SearchHit, SearchResult, compare_all, search
from keldascope.distributed import (IN_PROCESS, Hit, PairMatrix, ScanResult, all_against_all,
                                    distributed_scan, local_client)
from keldascope.multiple import align_structures
from keldascope.structures import (Structure, UnreadableStructure, find_structure_files,
                                   list_chains, read_structure, residue_labels,
                                   write_superposed)

__all__ = [
    "SAME_FOLD_SC", "SAME_FOLD_TM", "PairAlignment", "align",
    "Comparison", "SearchHit", "SearchResult", "compare_all", "search",
    "IN_PROCESS", "Hit", "PairMatrix", "ScanResult", "Structure", "UnreadableStructure",
    "align_structures", "all_against_all", "distributed_scan", "find_structure_files",
    "list_chains", "local_client", "parameters", "read_structure", "residue_labels",
    "write_superposed",
]
