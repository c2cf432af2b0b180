"""How the `scan` and `allvsall` commands choose where their work runs: this process (the
engine on C++ threads, by default), a local Dask cluster (--jobs) or an existing one
(--scheduler); and the progress bar over chunks."""
import contextlib
import socket
import urllib.parse

from keldascope import IN_PROCESS, local_client, usable_cores
from keldascope.cli.common import (CliError, UsageError, add_quiet_argument,
                                   check_option_value, warn)
from keldascope.cli import interrupts
from keldascope.cli.progress import Progress
from keldascope.distributed import dask_unavailable


def add_run_arguments(p):
    """Where the work runs (--jobs, --scheduler) and what it shows while it runs (-q)."""
    add_quiet_argument(p)
    group = p.add_mutually_exclusive_group()
    group.add_argument("--jobs", type=int, metavar="N",
                       help="run on a local Dask cluster of N single-threaded worker processes "
                            "(default and 1: this process, on C++ threads)")
    group.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the workers of an existing Dask scheduler "
                            "(e.g. tcp://host:8786); they need malven installed and the "
                            "files readable under the same absolute paths")


# How long --scheduler waits for the scheduler to answer.
CONNECT_SECONDS = 5


def scheduler_endpoint(address):
    """(host, port) of a --scheduler address: host:port with an optional tcp:// or tls://
    scheme; anything else is a usage error."""
    check_option_value(address, "--scheduler")
    text = address if "://" in address else f"tcp://{address}"
    parsed = urllib.parse.urlsplit(text)
    try:
        port = parsed.port
    except ValueError:
        port = None
    if parsed.scheme not in ("tcp", "tls") or not parsed.hostname or port is None:
        raise UsageError(f"argument --scheduler: '{address}' is not an address of the form "
                         f"[tcp://]HOST:PORT")
    return parsed.hostname, port


def check_reachable(address, endpoint):
    """Refuse a scheduler that does not answer before Dask's client is made: a client that
    cannot connect waits and then reports from its finaliser instead of failing cleanly."""
    try:
        socket.create_connection(endpoint, timeout=CONNECT_SECONDS).close()
    except OSError as exc:
        raise CliError(f"cannot reach the Dask scheduler at {address}: "
                       f"{exc.strerror or exc or 'no answer'}")


@contextlib.contextmanager
def runner_for(args, n_alignments, prog):
    """The Dask client (or IN_PROCESS) that --jobs and --scheduler ask for; a local cluster
    started here is shut down on leaving, also on Ctrl-C or an error."""
    jobs = args.jobs
    if jobs is not None and jobs < 1:
        raise UsageError(f"argument --jobs: must be at least 1, got {jobs}")
    if jobs is not None and jobs > usable_cores():
        warn(prog, f"--jobs {jobs} is more than the {usable_cores()} usable cores; "
                   f"using {usable_cores()}")
        jobs = usable_cores()
    if args.scheduler is not None:
        endpoint = scheduler_endpoint(args.scheduler)
        reason = dask_unavailable()
        if reason:
            raise CliError(f"--scheduler needs Dask: {reason}")
        check_reachable(args.scheduler, endpoint)
        from dask.distributed import Client
        try:
            client = Client(args.scheduler, timeout=f"{CONNECT_SECONDS}s", set_as_default=False)
        except (OSError, TimeoutError, ValueError) as exc:
            raise CliError(f"cannot reach the Dask scheduler at {args.scheduler}: {exc}")
        with client:
            yield client
        return
    if jobs is None or jobs == 1 or n_alignments < 2:
        yield IN_PROCESS
        return
    reason = dask_unavailable()
    if reason:
        raise CliError(f"--jobs {jobs} needs Dask: {reason}")
    with local_client(min(jobs, n_alignments)) as client:
        yield client


class ChunkProgress:
    """The progress bar as a progress(done, total) callback over completed chunks."""

    def __init__(self, label, enabled):
        self.label = label
        self.enabled = enabled
        self.bar = None

    def __call__(self, done, total):
        interrupts.check()  # a Ctrl-C that a worker pool's callbacks swallowed stops it here
        if self.bar is None:
            self.bar = Progress(self.label, total, self.enabled)
        elif total != self.bar.total or done < self.bar.done:
            # A later round of chunks (a scan's alignments after its shape scores) starts
            # its own count on the same line.
            self.bar.restart(self.label, total)
        self.bar.update(done - self.bar.done)

    def close(self):
        if self.bar is not None:
            self.bar.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
