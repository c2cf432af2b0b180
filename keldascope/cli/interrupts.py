"""How the command ends when asked to stop: Ctrl-C (SIGINT) and SIGTERM both unwind the run as
KeyboardInterrupt, so that native calls stop, workers shut down and temporary files go, and
end it with one line and 130 or 143 (128 plus the signal's number, as shells report a death
by that signal). Imported first, before anything heavy: it imports nothing of the toolkit."""
import os
import sys

# The C module itself: the signal module imports enum, and threading more, which would take
# the first few hundredths of a second of the window this module closes.
import _signal as signal

INTERRUPTED = 130  # Ctrl-C
TERMINATED = 143  # SIGTERM


class Terminated(KeyboardInterrupt):
    """SIGTERM, unwinding the run as Ctrl-C does: every clean-up that Ctrl-C runs runs."""


# The signals received since the command started. Python drops an exception raised inside a
# garbage collector's callback or a finaliser (it prints "Exception ignored" and goes on), and
# Dask runs such callbacks often: a Ctrl-C landing there would be lost and the run go on to
# report success. The record keeps it for check().
_received = []


def _interrupt(signum, frame):
    _received.append(signum)
    raise KeyboardInterrupt


def _terminate(signum, frame):
    _received.append(signum)
    raise Terminated


def _unraisable(report, _default=sys.unraisablehook):
    """An interrupt dropped where Python cannot raise it (see _received) is not printed as an
    "Exception ignored" traceback: check() raises it again. Anything else is reported as
    Python reports it."""
    if isinstance(report.exc_value, KeyboardInterrupt) and _received:
        return
    _default(report)


def check():
    """Raise the interrupt of a signal received since the command started, in case the one its
    handler raised was dropped on the way."""
    if _received:
        raise Terminated if _received[0] == signal.SIGTERM else KeyboardInterrupt


_starting = {}


def _while_starting(signum, frame):
    """Ctrl-C or SIGTERM before the command runs (while Python loads the toolkit): nothing
    has been started or written, so the process ends here, without unwinding the imports."""
    status, word = (TERMINATED, "terminated") if signum == signal.SIGTERM else \
        (INTERRUPTED, "interrupted")
    try:
        prog = _starting["prog"]()
    except Exception:  # the list of commands is not loaded yet: the first word names it
        words = [a for a in sys.argv[1:2] if a.isidentifier()]
        prog = " ".join(["malven"] + words)
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
    print(f"\n{prog}: {word}", file=sys.stderr, flush=True)
    os._exit(status)


def install(prog):
    """Ready this process for the command: Ctrl-C or SIGTERM end it at once with one line
    naming prog() until started() is called. A signal this process was started with ignored
    (nohup, a background job) stays ignored. Only the main thread may set handlers;
    elsewhere Python's own stay."""
    _starting["prog"] = prog
    try:
        if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            signal.signal(signal.SIGINT, _while_starting)
            _starting[signal.SIGINT] = _interrupt
        if signal.getsignal(signal.SIGTERM) is signal.SIG_DFL:
            signal.signal(signal.SIGTERM, _while_starting)
            _starting[signal.SIGTERM] = _terminate
    except ValueError:  # not the main thread
        _starting.clear()


def started():
    """From here on Ctrl-C raises KeyboardInterrupt and SIGTERM Terminated, which the command
    unwinds (stopping native calls and workers, removing temporary files)."""
    sys.unraisablehook = _unraisable
    for signum in (signal.SIGINT, signal.SIGTERM):
        if signum in _starting and signal.getsignal(signum) is _while_starting:
            try:
                signal.signal(signum, _starting.pop(signum))
            except ValueError:  # not the main thread: the handlers stay until main() runs there
                pass


def status_and_word(exc):
    """(exit status, word for the one line) of a KeyboardInterrupt that ended the run."""
    if isinstance(exc, Terminated):
        return TERMINATED, "terminated"
    return INTERRUPTED, "interrupted"
