"""Searches and all-against-all comparisons spread over Dask workers: each worker reads its
own shard of files, only paths, settings and plain records travel, and the merge gives exactly
what one search or comparison over all the readable structures gives, in the same shape
(keldascope.SearchResult, keldascope.Comparison). With `client=IN_PROCESS` the same work runs
here, without Dask (the path for PyPy). A structure is a path or a (path, chain) pair."""
import contextlib
import copy
import functools
import logging
import math
import operator
import os
import platform
import shutil
import signal
import subprocess
import threading
import uuid
from collections import OrderedDict

import malven
import numpy as np

from keldascope import _native, parameters
from keldascope._native import CompareSettings, SearchSettings
from keldascope.align import as_structure, settings_of
from keldascope.resolve import file_sources, items_of, split_chain
from keldascope.database import Database, search_settings as database_settings
from keldascope.search import Comparison, SearchResult
from keldascope.structures import Structure, UnreadableStructure, read_domain, read_structure

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


def dask_unavailable():
    """Why dask.distributed cannot serve in this interpreter, or None when it can."""
    if platform.python_implementation() == "PyPy":
        return ("dask.distributed does not run on PyPy (its scheduler needs gc.callbacks, "
                "which PyPy's gc module lacks)")
    try:
        import dask.distributed  # noqa: F401
    except ImportError as exc:
        return f"dask.distributed is not installed ({exc}); pip install 'dask[distributed]'"
    return None


def usable_cores():
    """The processors this process may run on (its CPU affinity): the default number of
    workers and C++ threads, and the most worth asking for."""
    return _native.usable_cores()


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


def _read(path, shown, chain, reading):
    """(domain, None) or (None, message naming the file as the caller named it). Structures
    read again and again (targets of both rounds of a search, members of many pairs) stay in
    a small per-process cache, keyed by their modification time so that a rewritten file is
    read anew. `reading` holds read_structure's model and min_plddt."""
    key = None
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


def _read_shard(specs, reading):
    """The structures of a shard, specs {index: (path, shown, chain, skippable)}: the output
    record (skipped (index, reason) pairs, the first failure as (index, reason, kind) or None)
    and the domains read, {index: domain}. A failure stops the shard: the run fails anyway."""
    out = {"skipped": [], "failure": None}
    domains = {}
    for k, (path, shown, chain, skippable) in specs.items():
        domain, reason = _read(path, shown, chain, reading)
        if reason is None:
            domains[k] = domain
        elif skippable:
            out["skipped"].append((k, reason))
        else:
            out["failure"] = (k, reason, "unreadable")
            break
    return out, domains


def _shape_chunk(query, reading, threads, specs):
    """The prefilter's normalised shape scores of one shard of targets against the query
    (a packed domain): (index, score) pairs."""
    out, domains = _read_shard(specs, reading)
    if out["failure"] is None and domains:
        q = _native._restore("Domain", query)
        out["scores"] = list(zip(domains, _native.shape_scores(q, list(domains.values()),
                                                                threads=threads)))
    return out


def _search_chunk(query, reading, settings, params, specs):
    """The engine's best hits of one shard of targets against the query, as the whole search
    reports them (the shards' best hold the best of all): (index, SearchHit) pairs, and the
    names of the targets hit."""
    out, domains = _read_shard(specs, reading)
    out.update(hits=[], names={}, chains={}, n_aligned=0)
    if out["failure"] is not None or not domains:
        return out
    q = _native._restore("Domain", query)
    indices, params = list(domains), parameters.from_dict(params)
    try:
        hits, out["n_aligned"], _ = _native.search(q, list(domains.values()), settings, params)
    except ValueError:
        # The targets one by one, to name the first that fails.
        for k, domain in domains.items():
            try:
                _native.search(q, [domain], settings, params)
            except ValueError as exc:
                out["failure"] = (k, str(exc), "scan")
                return out
        raise
    out["hits"] = [(indices[h.target], h) for h in hits]
    out["names"] = {indices[h.target]: domains[indices[h.target]].id for h in hits}
    out["chains"] = {indices[h.target]: domains[indices[h.target]].chain for h in hits}
    return out


def _shard_queries(path, packed, shard):
    """A database shard (entries [begin, end)) mapped in this process, and the queries."""
    begin, end = shard
    return (_native.open_database(path, begin, end),
            [_native._restore("Domain", q) for q in packed])


def _screen_shard(path, packed, settings, shard):
    """The first stages over one shard of a database: per query its candidates."""
    db, queries = _shard_queries(path, packed, shard)
    return _native.screen_shard(db, queries, settings)


def _align_shard(path, packed, settings, chosen, shard):
    """The engine on the chosen targets one shard of a database holds: per query (hits,
    n_aligned)."""
    db, queries = _shard_queries(path, packed, shard)
    return _native.align_shard(db, queries, chosen, settings)


def _pairs_chunk(reading, settings, params, chunk):
    """The engine on one shard of pairs, chunk = ({index: spec}, [(i, j)], j onto i): the
    members read as index: (id, length, chain), and the rows of score_pairs for the pairs whose two
    structures were read."""
    specs, pairs = chunk
    out, domains = _read_shard(specs, reading)
    out["members"] = {k: (d.id, len(d), d.chain) for k, d in domains.items()}
    out["cells"] = np.zeros((0, 9))
    if out["failure"] is not None:
        return out
    members = list(domains)
    local = {k: n for n, k in enumerate(members)}
    done = [(local[i], local[j]) for i, j in pairs if i in local and j in local]
    params = parameters.from_dict(params)
    ds = list(domains.values())
    try:
        cells = _native.score_pairs(ds, done, settings, params)
    except ValueError:
        # The pairs one by one, to name the first that fails.
        for i, j in done:
            try:
                _native.score_pairs(ds, [(i, j)], settings, params)
            except ValueError as exc:
                out["failure"] = (members[j], f"alignment of {specs[members[i]][1]} with "
                                              f"{specs[members[j]][1]} failed: {exc}", "align")
                return out
        raise
    # Back to the positions in the whole list.
    cells[:, 0] = [members[int(i)] for i in cells[:, 0]]
    cells[:, 1] = [members[int(j)] for j in cells[:, 1]]
    out["cells"] = cells
    return out


# ---- client side ----------------------------------------------------------------------------

def _reading(model, min_plddt):
    """read_structure's model and min_plddt as the plain dict the workers receive."""
    return {"model": None if model is None else int(model),
            "min_plddt": None if min_plddt is None else float(min_plddt)}


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


# In this process the chunks run one after another, each on the C++ threads its settings ask
# for: they are cut as for this many workers, so that the progress moves, but hold at least
# this many items per thread, so that no thread waits for work inside a chunk.
IN_PROCESS_SHARES = 16
IN_PROCESS_PER_THREAD = 4


def _chunking(client, settings):
    """(workers, least items) to cut a run's chunks for: the client's worker threads; in this
    process, as above."""
    if isinstance(client, _InProcess):
        return IN_PROCESS_SHARES, IN_PROCESS_PER_THREAD * _native.thread_count(settings.threads)
    return max(1, sum(client.nthreads().values())), 1


def _chunk_settings(settings, client, **changes):
    """The settings each chunk runs with: on the threads asked for in this process, on one
    thread on a Dask worker (a single-threaded process), with `changes`."""
    mine = copy.copy(settings)
    if not isinstance(client, _InProcess):
        mine.threads = 1
    for name, value in changes.items():
        setattr(mine, name, value)
    return mine


# Each worker's background threads (the statistical profiler samples every 10 ms, the memory
# and system monitors poll /proc) take the interpreter lock and a share of the cores the
# alignments need, and serve only a dashboard these clusters do not have. The nannies hand
# this configuration to the worker processes they start.
QUIET_WORKERS = {"distributed.worker.profile.enabled": False,
                 "distributed.worker.memory.monitor-interval": "1s",
                 "distributed.admin.system-monitor.interval": "2s"}


def _ctrl_c_witness():
    """A `sleep` in this process group that Ctrl-C at the terminal ends (this process may be
    ignoring it meanwhile), or None where one cannot be started."""
    sleep = shutil.which("sleep")
    if sleep is None:
        return None
    try:
        return subprocess.Popen([sleep, "86400"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except OSError:
        return None


@contextlib.contextmanager
def _sigint_held():
    """Hold Ctrl-C back while worker processes start or stop, and act on it after. A Ctrl-C
    at the terminal reaches the whole process group, and processes started meanwhile inherit
    the ignored signal (a blocked one would not survive their start): no worker dies half-way
    through its start with a traceback, and no clean-up is cut short. An ignored signal
    leaves no trace in this process (and a blocked one is taken by any of the threads that
    NumPy and Dask start), so a witness process in the group notes it instead: once the
    cluster is up (or down) the Ctrl-C is raised here as KeyboardInterrupt, which shuts the
    cluster down."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    witness = None
    previous = signal.getsignal(signal.SIGINT)
    try:
        witness = _ctrl_c_witness()  # started while Ctrl-C still ends it
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if witness is not None:
            hit = witness.poll() == -signal.SIGINT
            if not hit:
                witness.kill()
            witness.wait()
            if hit and callable(previous):
                previous(signal.SIGINT, None)


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


def _chunks(items, chunk_size, chunking):
    """Cut items into consecutive chunks: of chunk_size each when given, else shrinking, for
    `chunking` (workers, least items)."""
    if chunk_size is not None:
        size = operator.index(chunk_size)
        if size < 1:
            raise ValueError(f"chunk_size must be at least 1, got {size}")
        return [items[k:k + size] for k in range(0, len(items), size)]
    threads, least = chunking
    smallest = max(least, len(items) // (MIN_CHUNKS_PER_WORKER * threads))
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
    import asyncio  # with ssl, only for runs on Dask: the command line starts without them

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


def _specs(structures, skip_unreadable):
    """(absolute path, path as given, chain, skippable) of every file the items name: paths,
    FILE:CHAIN names, (path, chain) pairs, folders (whose files may always be skipped)."""
    items = items_of(structures)
    out = []
    for item, skip in zip(items, _skip_flags(skip_unreadable, len(items))):
        for path, chain, explicit in file_sources(item):
            shown = os.fsdecode(path)
            out.append((os.path.abspath(shown), shown, chain, skip or not explicit))
    return out


def _drain(runner, fn, fixed, chunks, progress, fail):
    """Results of fn over the chunks; the first failure raised through fail(index, reason,
    kind)."""
    with contextlib.closing(_run(runner, fn, fixed, chunks, progress)) as results:
        for result in results:
            if result["failure"] is not None:
                fail(*result["failure"])
            yield result


def _shards(specs, indices, chunk_size, chunking):
    """{index: spec} shards of the given indices, in order."""
    return [{k: specs[k] for k in chunk} for chunk in _chunks(indices, chunk_size, chunking)]


def distributed_search(query, targets, settings=None, *, params=None, client=None,
                       n_workers=None, skip_unreadable=False, chunk_size=None, progress=None,
                       model=None, min_plddt=None, **fields):
    """keldascope.search of a query file against target files, sharded over Dask workers:
    the same hits in the same order as one search over the readable targets in input order
    (a keldascope.SearchResult, its `paths` the targets as given). `settings` a
    SearchSettings or its fields as keywords, `params` a malven.Parameters for the KELDA
    methods. The query is read here, once; each worker reads its shard of targets. With the
    prefilter, the workers first score every target's shape, the best are chosen over the
    whole list, and only those are aligned.
    `client`: a dask.distributed Client, whose workers need malven and the files under the
    same absolute paths; None starts a local cluster of n_workers single-threaded processes
    (default one per usable core) for this call; IN_PROCESS runs here, without Dask.
    `skip_unreadable`: True to list unreadable targets in `skipped` rather than fail, or a
    sequence of one flag per target. `progress(done, total)` is called per completed chunk of
    each round. `model` and `min_plddt` are read_structure's, for every file. An unreadable
    file raises UnreadableStructure naming it; a failed alignment ValueError.
    `targets` may be a keldascope.Database: its shards (chunk_size entries each; default one
    a worker, one in this process) are searched where each worker maps its own, and merged
    to the hits of Database.search; `settings` is then a DatabaseSearchSettings (or a
    SearchSettings, as Database.search takes it)."""
    if isinstance(targets, Database):
        return _database_search(query, targets, database_settings(settings, fields), client,
                                n_workers, chunk_size, progress, _reading(model, min_plddt))
    settings = settings_of(SearchSettings, settings, fields)
    params = parameters.to_dict(parameters.coerce(params))
    reading = _reading(model, min_plddt)
    specs = _specs(targets, skip_unreadable)
    structure = _query_structure(query, reading)
    packed = _native.pack_domain(structure.domain)

    def fail(index, reason, kind):
        _fail(kind, specs[index][1], reason)

    skipped, names, chains, entries, shape = {}, {}, {}, [], None
    chosen = list(range(len(specs)))
    n_aligned = 0
    with _client_for(client, n_workers, max(len(specs), 1)) as runner:
        chunking = _chunking(runner, settings)
        # As in one process, the shape round runs only when it can leave targets out.
        if _native.prefilter_keep(settings, len(specs)) is not None:
            scores = []
            fixed = (packed, reading, _chunk_settings(settings, runner).threads)
            for result in _drain(runner, _shape_chunk, fixed,
                                 _shards(specs, chosen, chunk_size, chunking), progress, fail):
                scores += result.get("scores", [])
                skipped.update(result["skipped"])
            scores.sort()
            keep = _native.prefilter_keep(settings, len(scores))
            if keep is not None:
                shape = [math.nan] * len(specs)
                for k, v in scores:
                    shape[k] = v
                chosen = [scores[k][0] for k in _native.prefilter_selection(
                    [v for _, v in scores], keep)]
            else:
                chosen = [k for k, _ in scores]
        fixed = (packed, reading, _chunk_settings(settings, runner, prefilter=False), params)
        for result in _drain(runner, _search_chunk, fixed,
                             _shards(specs, chosen, chunk_size, chunking), progress, fail):
            entries += result["hits"]
            names.update(result["names"])
            chains.update(result["chains"])
            n_aligned += result["n_aligned"]
            skipped.update(result["skipped"])
    n_targets = len(specs) - len(skipped)
    return SearchResult(structure, _native.merge_hits(entries, settings, shape, n_targets), names,
                        [shown for _, shown, _, _ in specs], n_targets, n_aligned,
                        _native.prefilter_keep(settings, n_targets) if shape else None,
                        [(specs[k][1], skipped[k]) for k in sorted(skipped)],
                        [specs[k][2] or chains.get(k) for k in range(len(specs))])


def _query_structure(query, reading):
    """The query of a distributed search: a Structure or malven.Domain as it is, a file path
    (FILE or FILE:CHAIN) or a (path, chain) pair read here."""
    if isinstance(query, (Structure, malven.Domain)):
        return as_structure(query)
    if isinstance(query, tuple) and len(query) == 2:
        qpath, qchain = query
    elif isinstance(query, (str, bytes, os.PathLike)):
        qpath, qchain = split_chain(query)
    else:
        raise TypeError(f"the query is a Structure, a malven.Domain, a file path or a (path, "
                        f"chain) pair, not {type(query).__name__}")
    return read_structure(os.fsdecode(qpath), qchain, **reading)


def _database_search(query, db, settings, client, n_workers, chunk_size, progress, reading):
    """distributed_search over a database's shards: the first stages on each shard, the
    engine's targets chosen over all of them as one search chooses them, the engine on each
    shard's share, and the hits merged as one search ranks them."""
    structure = _query_structure(query, reading)
    packed = [_native.pack_domain(structure.domain)]
    path, n = os.path.abspath(db.path), len(db)
    with _client_for(client, n_workers, max(n, 1)) as runner:
        if chunk_size is not None:
            size = operator.index(chunk_size)
            if size < 1:
                raise ValueError(f"chunk_size must be at least 1, got {size}")
            n_shards = math.ceil(n / size)
        else:
            n_shards = 1 if isinstance(runner, _InProcess) else _chunking(runner, settings)[0]
        shards = _native.shard_ranges(n, max(1, min(n_shards, n)))
        mine = _chunk_settings(settings, runner)
        chosen = []
        if not settings.exhaustive:
            screens = list(_run(runner, _screen_shard, (path, packed, mine), shards, progress))
            chosen = _native.choose_for_engine(screens, [structure.domain], n, settings)
        parts = list(_run(runner, _align_shard, (path, packed, mine, chosen), shards,
                          progress))
    (hits, n_aligned), = _native.merge_database_hits(parts, settings)
    return db.result(structure, hits, n_aligned, settings)


def distributed_compare(structures, settings=None, *, params=None, client=None,
                        n_workers=None, skip_unreadable=False, chunk_size=None, progress=None,
                        model=None, min_plddt=None, **fields):
    """keldascope.compare_all of structure files, its pairs sharded over Dask workers: the
    same matrices as one comparison of the readable files in input order (a
    keldascope.Comparison, its `paths` the files as given, unreadable ones left out and
    listed in `skipped` when skip_unreadable allows). `settings` a CompareSettings or its
    fields as keywords; the other arguments as for distributed_search."""
    settings = settings_of(CompareSettings, settings, fields)
    params = parameters.to_dict(parameters.coerce(params))
    reading = _reading(model, min_plddt)
    specs = _specs(structures, skip_unreadable)
    n = len(specs)
    # Every pair of the input, rows in order; each chunk reads the structures it needs (the
    # workers keep them cached) and reports those it cannot read.
    pairs = [(i, j) for i in range(n) for j in range(i, n)]
    members, skipped, cells = {}, {}, []

    def fail(index, reason, kind):
        _fail(kind, specs[index][1], reason)

    with _client_for(client, n_workers, max(len(pairs), 1)) as runner:
        chunks = [({k: specs[k] for pair in c for k in pair}, c)
                  for c in _chunks(pairs, chunk_size, _chunking(runner, settings))]
        fixed = (reading, _chunk_settings(settings, runner), params)
        for result in _drain(runner, _pairs_chunk, fixed, chunks, progress, fail):
            members.update(result["members"])
            skipped.update(result["skipped"])
            cells.append(result["cells"])
    kept = [k for k in range(n) if k not in skipped]
    position = {k: p for p, k in enumerate(kept)}
    rows = np.concatenate(cells) if cells else np.zeros((0, 9))
    rows = rows[[int(i) in position and int(j) in position for i, j in rows[:, :2]]] \
        if len(rows) else rows
    rows[:, 0] = [position[int(i)] for i in rows[:, 0]]
    rows[:, 1] = [position[int(j)] for j in rows[:, 1]]
    matrices = _native.comparison_of(len(kept), np.ascontiguousarray(rows))
    return Comparison.of([members[k][0] for k in kept], [specs[k][1] for k in kept],
                         [members[k][1] for k in kept], settings.method, matrices,
                         [(specs[k][1], skipped[k]) for k in sorted(skipped)],
                         [specs[k][2] or members[k][2] for k in kept])
