"""keldascope: the Python toolkit of malven, for everything beyond the fixed surface of the
`malven` extension module.

- Structure files: `read_structure` (PDB and mmCIF, plain or gzipped; a chain, a model, a
  pLDDT floor), `list_chains`, `write_superposed` (in the format the file came in).
- Pairwise alignment in any frames with the robust engine: `align`, and its same-fold rule
  (`SAME_FOLD_TM`, `SAME_FOLD_SC`).
- Many structures on C++ threads: `search` (a query against targets, after a prefilter),
  `compare_all` (every pair, with a tree), `multiple_align` (the KELDA multiple alignment over
  robust pairwise alignments).
- Many machines with Dask: `distributed_search`, `distributed_compare`, and the KELDA scan
  modes of the malven module: `distributed_scan`, `all_against_all`.
- The command line (`keldascope.cli`, installed as `malven`).

Structures are `malven.Domain` objects inside `Structure` records, settings
`malven.Parameters`, transforms `malven.Transform`; the toolkit's own native pieces live in
its private module `keldascope._native`. Native work runs without the interpreter lock and
stops on Ctrl-C."""
from keldascope import parameters
from keldascope.align import SAME_FOLD_SC, SAME_FOLD_TM, PairAlignment, align
from keldascope.distributed import (IN_PROCESS, Hit, PairMatrix, RobustHit, RobustPairMatrix,
                                    RobustSearchResult, ScanResult, all_against_all,
                                    distributed_compare, distributed_scan, distributed_search,
                                    local_client)
from keldascope.multiple import (MultipleAlignment, align_structures, multiple_align,
                                 write_aligned)
from keldascope.search import Comparison, SearchHit, SearchResult, compare_all, search
from keldascope.structures import (Structure, UnreadableStructure, find_structure_files,
                                   list_chains, read_structure, residue_labels,
                                   write_superposed)

__all__ = [
    "SAME_FOLD_SC", "SAME_FOLD_TM", "PairAlignment", "align",
    "Comparison", "SearchHit", "SearchResult", "compare_all", "search",
    "MultipleAlignment", "align_structures", "multiple_align", "write_aligned",
    "IN_PROCESS", "Hit", "PairMatrix", "RobustHit", "RobustPairMatrix", "RobustSearchResult",
    "ScanResult", "all_against_all", "distributed_compare", "distributed_scan",
    "distributed_search", "local_client",
    "Structure", "UnreadableStructure", "find_structure_files", "list_chains", "parameters",
    "read_structure", "residue_labels", "write_superposed",
]
