"""Ctrl-C in distributed runs, handled in one place: a worker ignores it (the client acts on
it), the client holds it back while worker processes start or stop and only notes it while it
waits for chunks, then raises it where the cluster can be shut down cleanly."""
import contextlib
import shutil
import signal
import subprocess
import threading


def _main_thread():
    # Only the main thread may set signal handlers; elsewhere Python's own stay.
    return threading.current_thread() is threading.main_thread()


@contextlib.contextmanager
def _sigint(handler):
    """SIGINT handled by `handler` inside, the handler before it back on leaving; yields that
    earlier handler (None off the main thread, where nothing changes)."""
    if not _main_thread():
        yield None
        return
    previous = signal.signal(signal.SIGINT, handler)
    try:
        yield previous
    finally:
        signal.signal(signal.SIGINT, previous)


def dask_setup(worker):
    """Worker preload of the local clusters started here: Ctrl-C at a terminal reaches every
    process of the group, and the client alone should act on it (cancel, then shut the
    workers down) instead of each worker dying with its own traceback."""
    if _main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


@contextlib.contextmanager
def sigint_deferred():
    """Ctrl-C during a Dask run only sets a flag; yields the test of that flag. The run raises
    KeyboardInterrupt itself at a point where the cluster can be shut down cleanly."""
    hit = threading.Event()
    with _sigint(lambda *_: hit.set()):
        yield hit.is_set


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
def sigint_held():
    """Hold Ctrl-C back while worker processes start or stop, and act on it after. A Ctrl-C
    at the terminal reaches the whole process group, and processes started meanwhile inherit
    the ignored signal (a blocked one would not survive their start): no worker dies half-way
    through its start with a traceback, and no clean-up is cut short. An ignored signal
    leaves no trace in this process (and a blocked one is taken by any of the threads that
    NumPy and Dask start), so a witness process in the group notes it instead: once the
    cluster is up (or down) the Ctrl-C is raised here as KeyboardInterrupt, which shuts the
    cluster down."""
    witness = _ctrl_c_witness() if _main_thread() else None  # while Ctrl-C still ends it
    previous = None
    try:
        with _sigint(signal.SIG_IGN) as previous:
            yield
    finally:
        if witness is not None:
            hit = witness.poll() == -signal.SIGINT
            if not hit:
                witness.kill()
            witness.wait()
            if hit and callable(previous):
                previous(signal.SIGINT, None)
