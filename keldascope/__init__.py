"""keldascope: the Python toolkit of malven, for everything beyond the fixed surface of the
`malven` extension module.

- Structure files: `read_structure` (PDB and mmCIF, plain or gzipped; a chain, a model, a
  pLDDT floor), `list_chains`, `write_superposed` (in the format the file came in).
- One pairwise engine, chosen by a `Method`: the robust engine (a TM-score search in any
  frames) or the KELDA modes (scan-mode placement, refinement in a common frame, one quick
  pass). `align` gives a pair's `PairResult` (TM-score by each structure and by the longer,
  Sc, RMSD, identity, the same-fold call).
- Jobs over many structures, written over that engine and run on C++ threads: `search` (a
  query against targets; the robust method after a prefilter), `compare_sparse` (the pairs
  above a score among each structure's prefilter neighbours), `compare_all` (every pair,
  with a tree), `multiple_align` (tree-wise for a few structures, consistency and progressive
  profiles above; scored by LDDT, written as FASTA or A2M), `score_alignment` (the LDDT of
  any tool's FASTA or A2M alignment of the structures), `cluster` (chains by TM-score, in
  memory or from a structure database).
- Their settings are typed classes whose defaults live in the native records:
  `EngineSettings`, `SearchSettings`, `CompareSettings`, `MsaSettings` (a malven.Parameters
  is given beside them for the KELDA methods).
- Structure databases: `Database.create` builds one from structure files once (every
  protein chain an entry), `Database(path)` maps it, `db.search` runs many queries in one
  pass with the hits of `search` (a Database is accepted as `search`'s targets).
- Many machines with Dask: `distributed_search`, `distributed_compare`, with the results of
  one run here.
- Inputs as the field holds them (`resolve`, which every job over many structures calls):
  paths, folders, FILE:CHAIN names, Structures, arrays of any real dtype, and the
  structures of biotite (`from_biotite`) and gemmi (`from_gemmi`). gemmi is optional:
  without it, what needs it (gemmi objects, biological assemblies, superposed mmCIF copies)
  raises MissingLibrary, which names what to install.
- The command line (`keldascope.cli`, installed as `malven`).

Structures are `malven.Domain` objects inside `Structure` records, transforms
`malven.Transform`; the toolkit's native pieces live in its private module
`keldascope._native`. Native work runs without the interpreter lock and stops on Ctrl-C.

The submodules that hold align, search and resolve are private (`_align`, `_search`,
`_resolve`), so that the package's attribute of each name is always the function."""


def _load():
    """Import the toolkit's names, all together on the first use of any of them: importing
    the package alone loads nothing heavy, so that the command line handles Ctrl-C before
    NumPy, gemmi and the native modules load."""
    from malven import __version__

    from keldascope import parameters
    from keldascope._native import (DEFAULT_KEEP_RULE, BuildReport, BuildSettings,
                                    ClusterMethod, ClusterSettings,
                                    CompareSettings, CoverageOf, DatabaseSearchSettings,
                                    EngineSettings, Method, MsaLddt, MsaPipeline, MsaScheme,
                                    MsaSettings, NormaliseBy, PairResult, PairStatus, Placement,
                                    SearchHit, SearchSettings, SortBy, score_name,
                                    thread_count, usable_cores)
    from keldascope._align import PairAlignment, align
    from keldascope.alignment_files import AlignmentFileError, ScoredAlignment, score_alignment
    from keldascope.clustering import Cluster, ClusterResult, cluster
    from keldascope.complex import (Assembly, ComplexAlignment, ComplexCluster,
                                    ComplexClusterResult, ComplexHit, ComplexSearchResult,
                                    align_complex, cluster_complexes, read_assembly,
                                    search_complex)
    from keldascope._native import ChainPairResult, ComplexResult, ComplexSettings
    from keldascope.database import Database
    from keldascope.distributed import (IN_PROCESS, distributed_compare, distributed_search,
                                        local_client)
    from keldascope.multiple import MultipleAlignment, multiple_align, write_aligned
    from keldascope._resolve import (UnreadableStructureWarning, from_arrays, from_biotite,
                                    from_gemmi, resolve)
    from keldascope._search import (Comparison, HitAlignment, SearchResult, SparseComparison,
                                   compare_all, compare_sparse, hit_alignment, search)
    from keldascope.structures import (MissingLibrary, Structure, UnreadableStructure,
                                       find_structure_files, list_chains, read_structure,
                                       residue_labels, write_superposed)
    globals().update((k, v) for k, v in locals().items() if k in __all__)


__all__ = [
    "__version__",
    "Method", "MsaPipeline", "MsaScheme", "NormaliseBy", "PairStatus", "SortBy",
    "EngineSettings", "SearchSettings", "CompareSettings", "MsaSettings", "DEFAULT_KEEP_RULE",
    "PairResult", "Placement", "SearchHit",
    "PairAlignment", "align",
    "Assembly", "ChainPairResult", "ComplexAlignment", "ComplexResult", "ComplexSettings",
    "align_complex", "read_assembly", "ComplexHit", "ComplexSearchResult", "search_complex",
    "ComplexCluster", "ComplexClusterResult", "cluster_complexes",
    "ClusterSettings", "ClusterMethod", "CoverageOf", "Cluster", "ClusterResult", "cluster",
    "Comparison", "SearchResult", "compare_all", "search", "HitAlignment", "hit_alignment",
    "BuildReport", "BuildSettings", "Database", "DatabaseSearchSettings",
    "SparseComparison", "compare_sparse",
    "MultipleAlignment", "multiple_align", "write_aligned",
    "AlignmentFileError", "MsaLddt", "ScoredAlignment", "score_alignment",
    "IN_PROCESS", "distributed_compare", "distributed_search", "local_client",
    "MissingLibrary", "Structure", "UnreadableStructure", "find_structure_files",
    "list_chains", "parameters", "read_structure", "residue_labels", "write_superposed",
    "score_name", "thread_count", "usable_cores",
    "UnreadableStructureWarning", "from_arrays", "from_biotite", "from_gemmi", "resolve",
]


_loading = []


def __getattr__(name):
    if name not in __all__ or _loading:  # a submodule, found by the import system
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    if name == "parameters":  # a submodule, which the others import while they load
        from importlib import import_module
        return import_module(f"{__name__}.{name}")
    _loading.append(name)
    try:
        _load()
    finally:
        _loading.clear()
    return globals()[name]


def __dir__():
    return sorted(set(globals()) | set(__all__))
