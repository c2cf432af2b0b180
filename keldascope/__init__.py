"""keldascope: the Python toolkit of malven, for everything beyond the fixed surface of the
`malven` extension module.

- Structure files: `read_structure` (PDB and mmCIF, plain or gzipped; a chain, a model, a
  pLDDT floor), `list_chains`, `write_superposed` (in the format the file came in).
- One pairwise engine, chosen by a `Method`: the robust engine (a TM-score search in any
  frames) or the KELDA modes (scan-mode placement, refinement in a common frame, one quick
  pass). `align` gives a pair's `PairResult` (TM-score by each structure and by the longer,
  Sc, RMSD, identity, the same-fold call).
- Jobs over many structures, written over that engine and run on C++ threads: `search` (a
  query against targets; the robust method after a prefilter), `compare_all` (every pair,
  with a tree), `multiple_align` (the KELDA guide tree and joins over pairwise alignments).
- Their settings are typed classes whose defaults live in the native records:
  `EngineSettings`, `SearchSettings`, `CompareSettings`, `MsaSettings` (a malven.Parameters
  is given beside them for the KELDA methods).
- Many machines with Dask: `distributed_search`, `distributed_compare`, with the results of
  one run here.
- The command line (`keldascope.cli`, installed as `malven`).

Structures are `malven.Domain` objects inside `Structure` records, transforms
`malven.Transform`; the toolkit's native pieces live in its private module
`keldascope._native`. Native work runs without the interpreter lock and stops on Ctrl-C."""
import sys as _sys
import types as _types


def _load():
    """Import the toolkit's names, all together on the first use of any of them: importing
    the package alone loads nothing heavy, so that the command line handles Ctrl-C before
    NumPy, gemmi and the native modules load."""
    from malven import __version__

    from keldascope import parameters
    from keldascope._native import (CompareSettings, EngineSettings, Method, MsaSettings,
                                    NormaliseBy, PairResult, PairStatus, Placement, SearchHit,
                                    SearchSettings, score_name, thread_count, usable_cores)
    from keldascope.align import PairAlignment, align
    from keldascope.distributed import (IN_PROCESS, distributed_compare, distributed_search,
                                        local_client)
    from keldascope.multiple import MultipleAlignment, multiple_align, write_aligned
    from keldascope.search import Comparison, SearchResult, compare_all, search
    from keldascope.structures import (Structure, UnreadableStructure, find_structure_files,
                                       list_chains, read_structure, residue_labels,
                                       write_superposed)
    globals().update((k, v) for k, v in locals().items() if k in __all__)


__all__ = [
    "__version__",
    "Method", "NormaliseBy", "PairStatus",
    "EngineSettings", "SearchSettings", "CompareSettings", "MsaSettings",
    "PairResult", "Placement", "SearchHit",
    "PairAlignment", "align",
    "Comparison", "SearchResult", "compare_all", "search",
    "MultipleAlignment", "multiple_align", "write_aligned",
    "IN_PROCESS", "distributed_compare", "distributed_search", "local_client",
    "Structure", "UnreadableStructure", "find_structure_files", "list_chains", "parameters",
    "read_structure", "residue_labels", "write_superposed",
    "score_name", "thread_count", "usable_cores",
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


class _Package(_types.ModuleType):
    """The import system sets each submodule, once imported, as an attribute of its package;
    align and search name both a submodule and the function the package exports, and the
    function must stay what keldascope.align is."""

    def __setattr__(self, name, value):
        if name in ("align", "search") and isinstance(value, _types.ModuleType):
            return
        super().__setattr__(name, value)


_sys.modules[__name__].__class__ = _Package
