"""Searches and all-against-all comparisons spread over Dask workers: each worker reads its
own shard of files, only paths, settings and plain records travel, and the merge gives exactly
what one search or comparison over all the readable structures gives, in the same shape
(keldascope.SearchResult, keldascope.Comparison). With `client=IN_PROCESS` the same work runs
here, without Dask (the path for PyPy). A structure is a path or a (path, chain) pair.

The parts: `protocol` (the records that travel), `workers` (what a chunk does where it runs),
`runners` (where chunks run, how a run is cut), `signals` (Ctrl-C), `jobs` (the runs)."""
from keldascope.distributed.jobs import distributed_compare, distributed_search
from keldascope.distributed.runners import (IN_PROCESS, dask_unavailable, local_client,
                                            usable_cores)
from keldascope.distributed.signals import dask_setup
from keldascope.structures import UnreadableStructure

__all__ = ["IN_PROCESS", "UnreadableStructure", "dask_setup", "dask_unavailable",
           "distributed_compare", "distributed_search", "local_client", "usable_cores"]
