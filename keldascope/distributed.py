"""Database scans and all-against-all comparisons spread over Dask workers: each worker reads its
own shard of files, only paths, settings and plain hit records travel, and the merge ranks the
hits exactly as one `scan_database` call over all the targets would. With `client=IN_PROCESS`
the same work runs here, without Dask (the path for PyPy)."""
import asyncio
import contextlib
import dataclasses
import functools
import logging
import math
import operator
import os
import platform
import signal
import threading
import uuid
from collections import OrderedDict
from typing import List, Optional, Tuple

import numpy as np

import malven

from keldascope import _native, kelda, parameters
from keldascope.structures import UnreadableStructure, read_domain

# Chunk sizes when the caller does not choose one: each chunk takes a share of what is left
# (1 / (2 x worker threads)), so they shrink as the run goes on: few tasks in all, since each
# costs the client and scheduler some milliseconds of the same cores, and small ones at the
# end, where a worker that finishes early would otherwise wait for a big one.
SHARE_DIVISOR = 2
MIN_CHUNKS_PER_WORKER = 16  # the smallest chunk is about 1/16 of a worker's part, or 1
MAX_CHUNK = 256  # keeps the progress moving on very long lists

# Passed as `client` to run the chunks one after another in this process, without Dask (the
# path for PyPy, where dask.distributed does not run, and for inputs too small to share out).
IN_PROCESS = "in-process"


@dataclasses.dataclass(frozen=True)
class Hit:
    """One hit of a distributed scan: the fields of `malven.ScanHit`, plus the target's file
    and its position in the target list."""
    target_id: str
    rank: int
    score: float
    rmsd: float
    n_aligned: int
    seq_identity: float
    z_score: Optional[float]
    e_value: Optional[float]
    path: str
    index: int


@dataclasses.dataclass
class ScanResult:
    hits: List[Hit]
    n_targets: int  # targets scanned (skipped files not counted)
    skipped: List[Tuple[str, str]]  # (path, reason) of unreadable targets, in input order


@dataclasses.dataclass(frozen=True)
class RobustHit:
    """One hit of a distributed robust search: the fields of keldascope.SearchHit that travel
    as plain data, plus the target's file and its position in the target list."""
    rank: int
    index: int
    path: str
    target_id: str
    score: float  # the TM-score normalised by the longer structure, hits' order
    tm_score_query: float
    tm_score_target: float
    sc: float
    rmsd: float
    n_aligned: int
    seq_identity: float
    significant: bool
    prefilter: Optional[float]  # None when the prefilter did not run


@dataclasses.dataclass
class RobustSearchResult:
    hits: List[RobustHit]
    n_targets: int  # targets searched (skipped files not counted)
    n_aligned: int  # of those, the ones the engine aligned
    skipped: List[Tuple[str, str]]


@dataclasses.dataclass
class RobustPairMatrix:
    """All-against-all on the robust engine: tm[i, j] normalised by structure i; sc, rmsd
    (NaN without 3 pairs within 5 A) and n_aligned symmetric."""
    paths: List[str]
    ids: List[str]
    lengths: List[int]
    tm: np.ndarray
    sc: np.ndarray
    rmsd: np.ndarray
    n_aligned: np.ndarray
    skipped: List[Tuple[str, str]]


@dataclasses.dataclass
class PairMatrix:
    """All-against-all comparison: entry [i, j] aligns structure i with structure j; each
    unordered pair is aligned once, so the matrices are symmetric."""
    paths: List[str]  # the structures compared, in input order (skipped files left out)
    ids: List[str]
    lengths: List[int]
    score: np.ndarray  # Sc, float64
    rmsd: np.ndarray  # float64; +inf where nothing was aligned
    n_aligned: np.ndarray  # int64
    skipped: List[Tuple[str, str]]


def dask_unavailable():
    """Why dask.distributed cannot serve in this interpreter, or None when it can."""
    if platform.python_implementation() == "PyPy":
        return ("dask.distributed does not run on PyPy (its scheduler needs gc.callbacks, "
                "which PyPy's gc module lacks)")
    try:
        import dask.distributed  # noqa: F401
    except ImportError as exc:
        return f"dask.distributed is not installed ({exc}); pip install 'malven[distributed]'"
    return None


def usable_cores():
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


# ---- worker side ----------------------------------------------------------------------------

_cache = OrderedDict()
_cache_lock = threading.Lock()
CACHE_SIZE = 512


def dask_setup(worker):
    """Worker preload of the local clusters started here: Ctrl-C at a terminal reaches every
    process of the group, and the client alone should act on it (cancel, then shut the
    workers down) instead of each worker dying with its own traceback."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def _read(path, shown, chain, keep, reading=None):
    """(domain, None) or (None, message naming the file as the caller named it). Structures
    read again and again (queries, all-against-all members) stay in a small per-process
    cache, keyed by their modification time so that a rewritten file is read anew. `reading`
    holds read_structure's model and min_plddt."""
    reading = reading or {}
    key = None
    if keep:
        try:
            st = os.stat(path)
            key = (path, chain, tuple(sorted(reading.items())), st.st_mtime_ns, st.st_size)
        except OSError:
            pass
        if key is not None:
            with _cache_lock:
                if key in _cache:
                    _cache.move_to_end(key)
                    return _cache[key], None
    try:
        domain = read_domain(path, chain, **reading)
    except UnreadableStructure as exc:
        return None, str(exc).replace(path, shown) if path != shown else str(exc)
    if key is not None:
        with _cache_lock:
            _cache[key] = domain
            while len(_cache) > CACHE_SIZE:
                _cache.popitem(last=False)
    return domain, None


def _scan_chunk(query, options, items):
    """Scan one shard: query = (path, shown, chain); items = [(index, path, shown, chain,
    skippable)].
    Returns plain data: hit tuples (index, target_id, score, rmsd, n_aligned, seq_identity)
    in target order, skipped (index, reason) pairs, and the first failure as (index, reason,
    kind) or None. A failure stops the shard: the run fails anyway."""
    out = {"hits": [], "skipped": [], "failure": None}
    reading = options.get("reading")
    qdomain, reason = _read(*query, keep=True, reading=reading)
    if reason is not None:
        out["failure"] = (-1, reason, "unreadable")
        return out
    domains, indices, names = [], [], []
    for index, path, shown, chain, skippable in items:
        domain, reason = _read(path, shown, chain, keep=False, reading=reading)
        if reason is not None:
            if not skippable:
                out["failure"] = (index, reason, "unreadable")
                return out
            out["skipped"].append((index, reason))
            continue
        # Hits name their target by id, and ids may repeat: a position stands in for it.
        names.append(domain.id)
        domain.id = str(len(domains))
        domains.append(domain)
        indices.append(index)
    if not domains:
        return out
    scan_database = malven.scan_database
    kwargs = dict(params=parameters.from_dict(options["params"]),
                  score_cutoff=options["score_cutoff"],
                  quick=options["quick"], scan_mode=options["scan_mode"])
    try:
        found = scan_database(qdomain, domains, max_hits=len(domains), **kwargs)
    except ValueError as exc:
        # Name the target: alone, the first one that fails reproduces the error.
        for k, domain in enumerate(domains):
            try:
                scan_database(qdomain, [domain], max_hits=1, **kwargs)
            except ValueError as single:
                out["failure"] = (indices[k], str(single), "scan")
                return out
        out["failure"] = (indices[0], str(exc), "scan")
        return out
    hits = []
    for h in found:
        k = int(h.target_id)
        hits.append((indices[k], names[k], h.score, h.rmsd, h.n_aligned, h.seq_identity))
    hits.sort()
    out["hits"] = hits
    return out


def _read_pair_shard(specs, reading):
    """Reads a shard's members: the output record of a pairs shard (members read as
    k: (id, length), skippable unreadable ones as (k, reason), the first other failure) and
    the domains read."""
    out = {"members": {}, "skipped": [], "cells": [], "failure": None}
    domains = {}
    for k, (path, shown, chain, skippable) in specs.items():
        domain, reason = _read(path, shown, chain, keep=True, reading=reading)
        if reason is None:
            domains[k] = domain
            out["members"][k] = (domain.id, len(domain))
        elif skippable:
            out["skipped"].append((k, reason))
        else:
            out["failure"] = (k, reason, "unreadable")
            break
    return out, domains


def _pairs_chunk(options, chunk):
    """Align one shard of pairs: chunk = ({k: (path, shown, chain, skippable)}, [(i, j)]).
    Returns the members read as k: (id, length), unreadable ones as (k, reason), and
    (i, j, score, rmsd, n_aligned) per pair whose two structures were read; or a failure."""
    specs, pairs = chunk
    out, domains = _read_pair_shard(specs, options.get("reading"))
    if out["failure"]:
        return out
    scan_database = malven.scan_database
    params = parameters.from_dict(options["params"])
    for i, j in pairs:
        if i not in domains or j not in domains:
            continue
        first, second, _ = kelda.leading_order(domains[i], domains[j])
        try:
            found = scan_database(first, [second], params=params, max_hits=1,
                                  quick=options["quick"], scan_mode=options["scan_mode"])
        except ValueError as exc:
            out["failure"] = (j, f"alignment of {specs[i][1]} with {specs[j][1]} failed: "
                                 f"{exc}", "align")
            return out
        if found:
            out["cells"].append((i, j, found[0].score, found[0].rmsd, found[0].n_aligned))
        else:  # a negative or undefined score: nothing the scan would report
            out["cells"].append((i, j, math.nan, math.inf, 0))
    return out


# ---- client side ----------------------------------------------------------------------------

def _reading(model, min_plddt):
    """read_structure's model and min_plddt as the plain dict the workers receive."""
    return {"model": None if model is None else int(model),
            "min_plddt": None if min_plddt is None else float(min_plddt)}


def _read_shard(items, reading):
    """Domains of a shard of (index, path, shown, chain, skippable): (domains, indices,
    skipped, failure), failure (index, reason, "unreadable") for a file that may not be
    skipped. Targets stay cached: the prefilter's round reads them before the engine's."""
    domains, indices, skipped = [], [], []
    for index, path, shown, chain, skippable in items:
        domain, reason = _read(path, shown, chain, keep=True, reading=reading)
        if reason is not None:
            if not skippable:
                return domains, indices, skipped, (index, reason, "unreadable")
            skipped.append((index, reason))
            continue
        domains.append(domain)
        indices.append(index)
    return domains, indices, skipped, None


def _shape_chunk(query, reading, items):
    """The prefilter's normalised shape scores of one shard against the query."""
    out = {"scores": [], "skipped": [], "failure": None}
    qdomain, reason = _read(*query, keep=True, reading=reading)
    if reason is not None:
        out["failure"] = (-1, reason, "unreadable")
        return out
    domains, indices, out["skipped"], out["failure"] = _read_shard(items, reading)
    if out["failure"] is None and domains:
        out["scores"] = list(zip(indices, _native.shape_scores(qdomain, domains, threads=1)))
    return out


def _robust_chunk(query, reading, limits, items):
    """The engine's best alignments of one shard of targets to the query (at most max_hits,
    as the whole search reports: the shards' best hold the best of all), as plain tuples."""
    max_hits, min_score = limits
    out = {"hits": [], "skipped": [], "failure": None, "n_aligned": 0}
    qdomain, reason = _read(*query, keep=True, reading=reading)
    if reason is not None:
        out["failure"] = (-1, reason, "unreadable")
        return out
    domains, indices, out["skipped"], out["failure"] = _read_shard(items, reading)
    if out["failure"] is not None or not domains:
        return out
    try:
        found, out["n_aligned"] = _native.search(qdomain, domains, max_hits=max_hits,
                                                 min_score=min_score, threads=1)
    except ValueError as exc:
        out["failure"] = (indices[0], str(exc), "scan")
        return out
    out["hits"] = [(indices[h["target"]], domains[h["target"]].id, h["rank_score"],
                    h["tm_score_1"], h["tm_score_2"], h["sc"], h["rmsd"], len(h["pairs"]),
                    h["identity"], h["significant"]) for h in found]
    return out


def _robust_pairs_chunk(reading, chunk):
    """The engine's alignment of one shard of pairs (i <= j, j onto i)."""
    specs, pairs = chunk
    out, domains = _read_pair_shard(specs, reading)
    if out["failure"]:
        return out
    for i, j in pairs:
        if i in domains and j in domains:
            r = _native.robust_align(domains[i], domains[j])
            out["cells"].append((i, j, r["tm_score_1"], r["tm_score_2"], r["sc"], r["rmsd"],
                                 len(r["pairs"])))
    return out


def _check_options(params, score_cutoff, max_hits, quick, scan_mode, model=None,
                   min_plddt=None):
    """The module's own checks of the scan's arguments, made before any work is sent out: one
    scan_database call without targets converts every argument as a real call would."""
    params = parameters.coerce(params)
    query = malven.Domain("check")
    malven.scan_database(query, [], params=params, score_cutoff=score_cutoff,
                         max_hits=max_hits, quick=quick, scan_mode=scan_mode)
    return dict(params=parameters.to_dict(params), score_cutoff=float(score_cutoff),
                quick=bool(quick), scan_mode=bool(scan_mode),
                reading=_reading(model, min_plddt)), int(max_hits)


# How often a Dask run looks for Ctrl-C while it waits for chunks.
CHECK_SECONDS = 0.25


@contextlib.contextmanager
def _sigint_deferred():
    """Ctrl-C during a Dask run only sets a flag; yields the test of that flag. The run raises
    KeyboardInterrupt itself at a point where the cluster can be shut down cleanly."""
    if threading.current_thread() is not threading.main_thread():
        yield lambda: False
        return
    hit = threading.Event()
    previous = signal.signal(signal.SIGINT, lambda *_: hit.set())
    try:
        yield hit.is_set
    finally:
        signal.signal(signal.SIGINT, previous)


class _InProcess:
    """Stands for a client when the chunks run one after another in this process."""


def _total_threads(client):
    if isinstance(client, _InProcess):
        return 1
    return max(1, sum(client.nthreads().values()))


# Each worker's background threads (the statistical profiler samples every 10 ms, the memory
# and system monitors poll /proc) take the interpreter lock and a share of the cores the
# alignments need, and serve only a dashboard these clusters do not have. The nannies hand
# this configuration to the worker processes they start.
QUIET_WORKERS = {"distributed.worker.profile.enabled": False,
                 "distributed.worker.memory.monitor-interval": "1s",
                 "distributed.admin.system-monitor.interval": "2s"}


@contextlib.contextmanager
def _sigint_held():
    """Ignore Ctrl-C while worker processes start or stop. A Ctrl-C at the terminal reaches
    the whole process group, and processes started meanwhile inherit the ignored signal
    (a blocked one would not survive their start): no worker dies half-way through its
    start with a traceback, and no clean-up is cut short. A Ctrl-C in that second or so
    is lost; the next one works."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


@contextlib.contextmanager
def local_client(n_workers=None, quiet=True):
    """A Dask client of a new cluster on this machine: n_workers single-threaded worker
    processes (default one per core) on the loopback interface, shut down on leaving, also
    on an error or Ctrl-C."""
    reason = dask_unavailable()
    if reason:
        raise RuntimeError(reason)
    import dask
    from dask.distributed import Client, LocalCluster
    n = usable_cores() if n_workers is None else int(n_workers)
    if n < 1:
        raise ValueError(f"a cluster needs at least one worker, not {n}")
    cluster = client = None
    try:
        with _sigint_held(), dask.config.set(QUIET_WORKERS):
            # One thread per worker: the module holds the interpreter lock through every call.
            # No dashboard; the scheduler's own HTTP endpoint takes any free port, not 8787,
            # which another cluster on the machine may hold.
            cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                   host="127.0.0.1", dashboard_address=None,
                                   scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                                   preload=[__name__],
                                   silence_logs=logging.CRITICAL if quiet else logging.WARNING)
            client = Client(cluster, set_as_default=False)
        yield client
    finally:
        with _sigint_held():
            if client is not None:
                client.close()
            if cluster is not None:
                cluster.close()


@contextlib.contextmanager
def _client_for(client, n_workers, n_items):
    if client is IN_PROCESS:
        yield _InProcess()
    elif client is not None:
        yield client
    else:
        n = usable_cores() if n_workers is None else n_workers
        with local_client(max(1, min(n, n_items))) as made:
            yield made


def _chunks(items, chunk_size, threads):
    """Cut items into consecutive chunks: of chunk_size each when given, else shrinking."""
    if chunk_size is not None:
        size = operator.index(chunk_size)
        if size < 1:
            raise ValueError(f"chunk_size must be at least 1, got {size}")
        return [items[k:k + size] for k in range(0, len(items), size)]
    smallest = max(1, len(items) // (MIN_CHUNKS_PER_WORKER * threads))
    chunks, start = [], 0
    while start < len(items):
        share = math.ceil((len(items) - start) / (SHARE_DIVISOR * threads))
        size = min(MAX_CHUNK, max(smallest, share))
        chunks.append(items[start:start + size])
        start += size
    return chunks


def _run(client, fn, fixed, chunks, progress):
    """Run fn(*fixed, chunk) for every chunk; yield the results as chunks complete, calling
    progress(done, total) after each. Leaving early (an error, Ctrl-C, a failure found in a
    result) cancels every chunk still queued or running."""
    total = len(chunks)
    if progress:
        progress(0, total)
    if isinstance(client, _InProcess):
        for k, chunk in enumerate(chunks):
            yield fn(*fixed, chunk)
            if progress:
                progress(k + 1, total)
        return
    from dask.distributed import wait
    run_id = uuid.uuid4().hex[:12]
    name = fn.__name__.strip("_").replace("_", "-")
    # One graph update for the whole run: the scheduler's cost per submission adds up.
    futures = client.map(functools.partial(fn, *fixed), chunks, pure=False,
                         key=[f"malven-{name}-{run_id}-{k}" for k in range(total)])
    pending = list(futures)
    done = 0
    try:
        # wait() finds the client as the current one.
        with _sigint_deferred() as interrupted, client.as_current():
            while pending:
                # Short waits, so that Ctrl-C is answered within one and never lands inside
                # the client's own machinery (where it leaves tracebacks on its way out).
                try:
                    finished = wait(pending, timeout=CHECK_SECONDS,
                                    return_when="FIRST_COMPLETED").done
                except (TimeoutError, asyncio.TimeoutError):
                    finished = ()
                if interrupted():
                    raise KeyboardInterrupt
                batch = [f for f in pending if f in finished]
                if not batch:
                    continue
                # Chunks that finish together are fetched in one request.
                results = client.gather(batch)
                pending = [f for f in pending if f not in finished]
                for future, result in zip(batch, results):
                    future.release()
                    done += 1
                    yield result
                    if progress:
                        progress(done, total)
    finally:
        if pending:
            try:
                client.cancel(list(pending))
            except Exception:  # a lost connection: nothing left to cancel; keep the real error
                pass


def _fail(kind, shown, reason):
    if kind == "unreadable":
        raise UnreadableStructure(shown, reason)
    if kind == "scan":
        raise ValueError(f"scan of {shown} failed: {reason}")
    raise ValueError(reason)


def _skip_flags(skip_unreadable, n):
    if isinstance(skip_unreadable, (bool, np.bool_)):
        return [bool(skip_unreadable)] * n
    flags = [bool(s) for s in skip_unreadable]
    if len(flags) != n:
        raise ValueError(f"skip_unreadable needs one flag per file: {len(flags)} for {n}")
    return flags


def _spec(target):
    """(absolute path, path as given, chain) of a path or a (path, chain) pair."""
    path, chain = target if isinstance(target, tuple) else (target, None)
    shown = os.fsdecode(path)
    return os.path.abspath(shown), shown, chain


def distributed_scan(query, targets, params=None, score_cutoff=0.0, max_hits=100, quick=False,
                     scan_mode=True, *, client=None, n_workers=None, query_chain=None,
                     skip_unreadable=False, chunk_size=None, progress=None, model=None,
                     min_plddt=None):
    """Scan the query file against the target files on Dask workers.

    The result holds the same hits, in the same order, with the same ranks and Z-scores as
    one `scan_database(query, targets, ...)` call over the readable targets in input order.
    `client`: a dask.distributed Client, whose workers need malven and the files under the
    same absolute paths; None starts a local cluster of n_workers single-threaded processes
    (default one per core) for this call; IN_PROCESS runs here, without Dask.
    `skip_unreadable`: True to list unreadable targets in `skipped` rather than fail, or a
    sequence of one flag per target. `progress(done, total)` is called per completed chunk.
    A target is a path or a (path, chain) pair; `model` and `min_plddt` are read_structure's,
    for every file. An unreadable file raises UnreadableStructure naming it; a failed
    alignment ValueError."""
    options, max_hits = _check_options(params, score_cutoff, max_hits, quick, scan_mode, model,
                                       min_plddt)
    targets = [_spec(t) for t in targets]
    skippable = _skip_flags(skip_unreadable, len(targets))
    qpath, qshown, qchain = _spec(query)
    query_chain = qchain if query_chain is None else query_chain
    # The query is read here first, so that a bad one fails before any worker starts.
    _, reason = _read(qpath, qshown, query_chain, keep=False, reading=options["reading"])
    if reason is not None:
        raise UnreadableStructure(qshown, reason)
    if not targets:
        return ScanResult([], 0, [])
    items = [(k, path, shown, chain, skip) for k, ((path, shown, chain), skip)
             in enumerate(zip(targets, skippable))]
    records, skipped = [], []
    with _client_for(client, n_workers, len(items)) as runner:
        chunks = _chunks(items, chunk_size, _total_threads(runner))
        fixed = ((qpath, qshown, query_chain), options)
        with contextlib.closing(_run(runner, _scan_chunk, fixed, chunks, progress)) as results:
            for result in results:
                if result["failure"] is not None:
                    index, reason, kind = result["failure"]
                    _fail(kind, qshown if index < 0 else targets[index][1], reason)
                records += result["hits"]
                skipped += result["skipped"]
    records.sort()  # target order, as one call over the whole list sees them
    hits = [Hit(target_id=r[1], rank=rank, score=r[2], rmsd=r[3], n_aligned=r[4],
                seq_identity=r[5], z_score=z, e_value=None, path=targets[r[0]][1], index=r[0])
            for r, rank, z in kelda.rank(records, max_hits, score=lambda r: r[2])]
    skipped.sort()
    return ScanResult(hits, len(targets) - len(skipped),
                      [(targets[k][1], reason) for k, reason in skipped])


def _drain(runner, fn, fixed, chunks, progress, fail):
    """Results of fn over the chunks; the first failure raised through fail(index, reason,
    kind)."""
    with contextlib.closing(_run(runner, fn, fixed, chunks, progress)) as results:
        for result in results:
            if result["failure"] is not None:
                fail(*result["failure"])
            yield result


def distributed_search(query, targets, *, prefilter=True, keep=None, max_hits=100,
                       min_score=0.0, client=None, n_workers=None, query_chain=None,
                       skip_unreadable=False, chunk_size=None, progress=None, model=None,
                       min_plddt=None):
    """keldascope.search of a query file against target files, sharded over Dask workers:
    the same hits in the same order as one search over the readable targets in input order.
    With the prefilter, the workers first score every target's shape, the best are chosen
    over the whole list, and only those are aligned. Targets, `client`, `n_workers`,
    `skip_unreadable`, `chunk_size`, `progress` (called per chunk of each round), `model` and
    `min_plddt` as for distributed_scan."""
    from keldascope.search import default_keep
    reading = _reading(model, min_plddt)
    targets = [_spec(t) for t in targets]
    skippable = _skip_flags(skip_unreadable, len(targets))
    qpath, qshown, qchain = _spec(query)
    query_chain = qchain if query_chain is None else query_chain
    _, reason = _read(qpath, qshown, query_chain, keep=False, reading=reading)
    if reason is not None:
        raise UnreadableStructure(qshown, reason)
    if keep is not None and keep < 1:
        raise ValueError(f"keep must be at least 1, not {keep}")

    def fail(index, reason, kind):
        _fail(kind, qshown if index < 0 else targets[index][1], reason)

    items = [(k, path, shown, chain, skip) for k, ((path, shown, chain), skip)
             in enumerate(zip(targets, skippable))]
    skipped = {}
    fixed = ((qpath, qshown, query_chain), reading)
    records = []
    shape = {}
    with _client_for(client, n_workers, max(len(items), 1)) as runner:
        threads = _total_threads(runner)
        # As in one process, the shape round runs only when it can leave targets out.
        if prefilter and len(items) > (keep or default_keep(len(items))):
            scores = []
            for result in _drain(runner, _shape_chunk, fixed, _chunks(items, chunk_size, threads),
                                 progress, fail):
                scores += result["scores"]
                skipped.update(result["skipped"])
            scores.sort()
            chosen = _native.prefilter_selection([v for _, v in scores],
                                                 keep or default_keep(len(scores)))
            shape = dict(scores)
            items = [items[scores[k][0]] for k in chosen]
        aligned = 0
        for result in _drain(runner, _robust_chunk, fixed + ((max_hits, min_score), ),
                             _chunks(items, chunk_size, threads), progress, fail):
            records += result["hits"]
            aligned += result["n_aligned"]
            skipped.update(result["skipped"])
    records.sort()  # target order, as one search over the whole list sees them
    order = _native.hit_order([r[2] for r in records], min_score, max_hits)
    hits = []
    for rank, k in enumerate(order, start=1):
        r = records[k]
        hits.append(RobustHit(rank=rank, index=r[0], path=targets[r[0]][1], target_id=r[1],
                              score=r[2], tm_score_query=r[3], tm_score_target=r[4], sc=r[5],
                              rmsd=r[6], n_aligned=r[7], seq_identity=r[8], significant=r[9],
                              prefilter=shape.get(r[0])))
    return RobustSearchResult(hits, len(targets) - len(skipped), aligned,
                              [(targets[k][1], skipped[k]) for k in sorted(skipped)])


def distributed_compare(paths, *, client=None, n_workers=None, chain=None,
                        skip_unreadable=False, chunk_size=None, progress=None, model=None,
                        min_plddt=None):
    """keldascope.compare_all of structure files, its pairs sharded over Dask workers: the
    same matrices as one comparison of the readable files. Arguments as for
    all_against_all."""
    reading = _reading(model, min_plddt)
    specs = [(path, shown, chain if own is None else own) for path, shown, own in map(_spec, paths)]
    skippable = _skip_flags(skip_unreadable, len(specs))
    n = len(specs)
    pairs = [(i, j) for i in range(n) for j in range(i, n)]
    tm = np.full((n, n), math.nan)
    sc = np.full((n, n), math.nan)
    rmsd = np.full((n, n), math.nan)
    n_aligned = np.zeros((n, n), dtype=np.int64)
    members, skipped = {}, {}

    def fail(index, reason, kind):
        _fail(kind, specs[index][1], reason)

    with _client_for(client, n_workers, max(len(pairs), 1)) as runner:
        chunks = [({k: specs[k] + (skippable[k], ) for pair in c for k in pair}, c)
                  for c in _chunks(pairs, chunk_size, _total_threads(runner))]
        for result in _drain(runner, _robust_pairs_chunk, (reading, ), chunks, progress, fail):
            members.update(result["members"])
            skipped.update(result["skipped"])
            for i, j, tm_i, tm_j, s, r, na in result["cells"]:
                tm[i, j], tm[j, i] = tm_i, tm_j
                sc[i, j] = sc[j, i] = s
                rmsd[i, j] = rmsd[j, i] = r
                n_aligned[i, j] = n_aligned[j, i] = na
    kept = [k for k in range(n) if k not in skipped]
    grid = np.ix_(kept, kept)
    return RobustPairMatrix(paths=[specs[k][1] for k in kept],
                            ids=[members[k][0] for k in kept],
                            lengths=[members[k][1] for k in kept], tm=tm[grid], sc=sc[grid],
                            rmsd=rmsd[grid], n_aligned=n_aligned[grid],
                            skipped=[(specs[k][1], skipped[k]) for k in sorted(skipped)])


def all_against_all(paths, params=None, quick=False, scan_mode=True, *, client=None,
                    n_workers=None, chain=None, skip_unreadable=False, chunk_size=None,
                    progress=None, model=None, min_plddt=None):
    """Align every pair of the structure files (each with itself too) on Dask workers.

    Each unordered pair is aligned once, by the procedure `scan_database` uses for a target
    in the chosen mode, the shorter structure leading when the other is less than half as
    long; the matrices are symmetric. `client`, `chunk_size` and `progress` (called per
    completed chunk of pairs) as for distributed_scan; a path may be a (path, chain) pair, and
    `chain` is read from every file that names none; `model` and `min_plddt` as for
    distributed_scan. Unreadable files raise UnreadableStructure, or with
    skip_unreadable=True (or a flag per file) are left out of the matrices and listed in
    `skipped`."""
    options, _ = _check_options(params, 0.0, 0, quick, scan_mode, model, min_plddt)
    specs = [(path, shown, chain if own is None else own) for path, shown, own in map(_spec, paths)]
    skippable = _skip_flags(skip_unreadable, len(specs))
    n = len(specs)
    # Every pair of the input, rows in order; each chunk reads the structures it needs (the
    # workers keep them cached) and reports those it cannot read.
    pairs = [(i, j) for i in range(n) for j in range(i, n)]
    score = np.full((n, n), math.nan)
    rmsd = np.full((n, n), math.inf)
    n_aligned = np.zeros((n, n), dtype=np.int64)
    members, skipped = {}, {}
    with _client_for(client, n_workers, len(pairs)) as runner:
        chunks = [({k: specs[k] + (skippable[k], ) for pair in c for k in pair}, c)
                  for c in _chunks(pairs, chunk_size, _total_threads(runner))]
        with contextlib.closing(_run(runner, _pairs_chunk, (options, ), chunks,
                                     progress)) as results:
            for result in results:
                if result["failure"] is not None:
                    index, reason, kind = result["failure"]
                    _fail(kind, specs[index][1], reason)
                members.update(result["members"])
                skipped.update(result["skipped"])
                for i, j, sc, rm, na in result["cells"]:
                    score[i, j] = score[j, i] = sc
                    rmsd[i, j] = rmsd[j, i] = rm
                    n_aligned[i, j] = n_aligned[j, i] = na
    kept = [k for k in range(n) if k not in skipped]
    grid = np.ix_(kept, kept)
    return PairMatrix(paths=[specs[k][1] for k in kept], ids=[members[k][0] for k in kept],
                      lengths=[members[k][1] for k in kept], score=score[grid],
                      rmsd=rmsd[grid], n_aligned=n_aligned[grid],
                      skipped=[(specs[k][1], skipped[k]) for k in sorted(skipped)])
