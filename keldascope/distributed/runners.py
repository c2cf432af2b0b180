"""Where the chunks of a distributed run go: a Dask client's workers (a local cluster started
here, or the caller's) or this process one chunk after another (IN_PROCESS, the path for
PyPy); how a run is cut into chunks, and the loop that hands them out and gathers them."""
import contextlib
import copy
import functools
import logging
import math
import operator
import platform
import uuid

from keldascope import _native
from keldascope.distributed import signals

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


# How often a Dask run looks for Ctrl-C while it waits for chunks.
CHECK_SECONDS = 0.25


class _InProcess:
    """Stands for a client when the chunks run one after another in this process."""


def in_process(runner):
    return isinstance(runner, _InProcess)


# In this process the chunks run one after another, each on the C++ threads its settings ask
# for: they are cut as for this many workers, so that the progress moves, but hold at least
# this many items per thread, so that no thread waits for work inside a chunk.
IN_PROCESS_SHARES = 16
IN_PROCESS_PER_THREAD = 4


def chunking(runner, settings):
    """(workers, least items) to cut a run's chunks for: the client's worker threads; in this
    process, as above."""
    if in_process(runner):
        return IN_PROCESS_SHARES, IN_PROCESS_PER_THREAD * _native.thread_count(settings.threads)
    return max(1, sum(runner.nthreads().values())), 1


def chunk_settings(settings, runner, **changes):
    """The settings each chunk runs with: on the threads asked for in this process, on one
    thread on a Dask worker (a single-threaded process), with `changes`."""
    mine = copy.copy(settings)
    if not in_process(runner):
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
        with signals.sigint_held(), dask.config.set(QUIET_WORKERS):
            # One thread per worker: the module holds the interpreter lock through every call.
            # No dashboard; the scheduler's own HTTP endpoint takes any free port, not 8787,
            # which another cluster on the machine may hold.
            cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                   host="127.0.0.1", dashboard_address=None,
                                   scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                                   preload=[signals.__name__],
                                   silence_logs=logging.CRITICAL if quiet else logging.WARNING)
            client = Client(cluster, set_as_default=False)
        yield client
    finally:
        with signals.sigint_held():
            if client is not None:
                client.close()
            if cluster is not None:
                cluster.close()


@contextlib.contextmanager
def runner_for(client, n_workers, n_items):
    """What runs the chunks for a run's `client` argument: IN_PROCESS, the caller's client, or
    (None) a local cluster of n_workers, never more than the items."""
    if client is IN_PROCESS:
        yield _InProcess()
    elif client is not None:
        yield client
    else:
        n = usable_cores() if n_workers is None else n_workers
        with local_client(max(1, min(n, n_items))) as made:
            yield made


def checked_chunk_size(chunk_size):
    size = operator.index(chunk_size)
    if size < 1:
        raise ValueError(f"chunk_size must be at least 1, got {size}")
    return size


def cut(items, chunk_size, chunks_for):
    """Cut items into consecutive chunks: of chunk_size each when given, else shrinking, for
    `chunks_for` (workers, least items)."""
    if chunk_size is not None:
        size = checked_chunk_size(chunk_size)
        return [items[k:k + size] for k in range(0, len(items), size)]
    threads, least = chunks_for
    smallest = max(least, len(items) // (MIN_CHUNKS_PER_WORKER * threads))
    chunks, start = [], 0
    while start < len(items):
        share = math.ceil((len(items) - start) / (SHARE_DIVISOR * threads))
        size = min(MAX_CHUNK, max(smallest, share))
        chunks.append(items[start:start + size])
        start += size
    return chunks


def run(runner, fn, fixed, chunks, progress):
    """Run fn(*fixed, chunk) for every chunk; yield the results as chunks complete, calling
    progress(done, total) after each. Leaving early (an error, Ctrl-C, a failure found in a
    result) cancels every chunk still queued or running."""
    total = len(chunks)
    if progress:
        progress(0, total)
    if in_process(runner):
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
    futures = runner.map(functools.partial(fn, *fixed), chunks, pure=False,
                         key=[f"malven-{name}-{run_id}-{k}" for k in range(total)])
    pending = list(futures)
    done = 0
    try:
        # wait() finds the client as the current one.
        with signals.sigint_deferred() as interrupted, runner.as_current():
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
                results = runner.gather(batch)
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
                runner.cancel(list(pending))
            except Exception:  # a lost connection: nothing left to cancel; keep the real error
                pass


def drain(runner, fn, fixed, chunks, progress, shown):
    """The ChunkResults of fn over the chunks; the first failure raised, its structure named
    by shown(index)."""
    with contextlib.closing(run(runner, fn, fixed, chunks, progress)) as results:
        for result in results:
            if result.failure is not None:
                result.failure.raise_as(shown(result.failure.index))
            yield result
