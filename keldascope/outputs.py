"""Output files that appear whole or not at all: every writer of the toolkit and the command
line writes under a temporary name beside its target and renames it into place once complete,
so a full disk, an error, Ctrl-C or SIGTERM never leaves half a file; the check that an
output can be written at all, made before the work that fills it; and the one escape of names
and paths inside outputs, which keeps any byte of a file name unambiguous."""
import contextlib
import os
import re
import stat
import tempfile
import threading

# Temporary files are hidden, named after their target, and recognisable as ours.
TEMPORARY_MARK = ".malven-"

_umask = None
_umask_lock = threading.Lock()


def _new_file_mode():
    """The permission bits open() gives a new file (0666 less the umask), which mkstemp's
    private 0600 would otherwise replace. The umask can only be read by setting it, once."""
    global _umask
    with _umask_lock:
        if _umask is None:
            _umask = os.umask(0o022)
            os.umask(_umask)
    return 0o666 & ~_umask


def _target(path):
    """The file a write to `path` replaces: symbolic links are followed, so that a link keeps
    pointing at the new content, as it would after writing through it. A special file is
    opened by the path as given: the links to it may not spell a path (/dev/stdout leads to
    /proc/self/fd/1, which names a pipe as "pipe:[...]")."""
    path = os.fsdecode(path)
    return path if _is_special(path) else os.path.realpath(path)


def _is_special(path):
    """True for an existing file that is not a regular one (/dev/null, a FIFO, a terminal):
    renaming over it would replace the device node, so it is written in place."""
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def check_writable(path):
    """Raise OSError (with the system's reason and the file name) when `path` cannot be
    written: its folder is missing (a dangling link's too), not a folder, or refuses new files,
    or the path is a folder or a write-protected file. A temporary file is made and removed,
    so read-only file systems, quotas and access lists are tested as the write will meet
    them."""
    target = _target(path)
    if os.path.isdir(target):
        raise IsADirectoryError(21, os.strerror(21), os.fsdecode(path))
    if _is_special(target):
        return
    if os.path.exists(target) and not os.access(target, os.W_OK):
        raise PermissionError(13, os.strerror(13), os.fsdecode(path))
    folder = os.path.dirname(target)
    try:
        fd, probe = tempfile.mkstemp(prefix=f".{os.path.basename(target)}{TEMPORARY_MARK}",
                                     dir=folder)
    except OSError as exc:
        raise type(exc)(exc.errno, exc.strerror, os.fsdecode(path)) from None
    os.close(fd)
    os.unlink(probe)


def check_writable_folder(folder):
    """Raise OSError when files cannot be made in `folder`, or in the nearest existing folder
    above it (where the missing ones would be created)."""
    folder = os.path.abspath(os.fsdecode(folder))
    existing = folder
    while not os.path.exists(existing):
        existing = os.path.dirname(existing)
    if not os.path.isdir(existing):
        raise NotADirectoryError(20, os.strerror(20), existing)
    check_writable(os.path.join(existing, "probe"))


@contextlib.contextmanager
def atomic_output(path, mode="w", encoding="utf-8"):
    """Open a new file for `path` (mode "w" for text, "wb" for bytes); on leaving the block
    without an exception it replaces `path` whole, keeping an existing file's permission
    bits. On any exception, KeyboardInterrupt included, the temporary file is removed and
    `path` is as it was. A special file (/dev/stdout, a FIFO) is written in place."""
    if mode not in ("w", "wb"):
        raise ValueError(f"mode must be 'w' or 'wb', not {mode!r}")
    target = _target(path)
    text = {"encoding": encoding} if mode == "w" else {}
    if _is_special(target):
        with open(target, mode, **text) as out:
            yield out
        return
    try:
        kept = stat.S_IMODE(os.stat(target).st_mode)
    except OSError:
        kept = None
    fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(target)}{TEMPORARY_MARK}",
                                     dir=os.path.dirname(target))
    try:
        with open(fd, mode, **text) as out:
            yield out
            out.flush()
            os.fchmod(fd, _new_file_mode() if kept is None else kept)
            if kept is not None:
                # The old content is given up only for new content on the disk.
                os.fsync(fd)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


# What a cell cannot hold raw: the backslash (the escape itself), control characters (tab
# and newline would split cells and rows; the others steer terminals), the line and paragraph
# separators, and lone surrogates (undecodable bytes of a file name, as Python decodes them).
_UNSAFE = re.compile("[\\\\\x00-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff]")
_NAMED = {"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escape(match):
    c = match.group()
    if c in _NAMED:
        return _NAMED[c]
    code = ord(c)
    if 0xDC80 <= code <= 0xDCFF:  # the byte os.fsdecode could not decode
        return f"\\x{code - 0xDC00:02x}"
    # \xNN is a byte (an ASCII control character, or one that is not UTF-8), \uNNNN a
    # character beyond ASCII (C1 controls, the separators), so the two never meet.
    return f"\\x{code:02x}" if code < 0x80 else f"\\u{code:04x}"


def escaped(text):
    """A name or path as TSV cells, terminal tables and FASTA headers show it: a backslash as
    \\\\, tab, newline and carriage return as \\t, \\n, \\r, the other ASCII control
    characters and each byte that is not UTF-8 as \\xNN, C1 control characters and the line
    and paragraph separators as \\uNNNN; every other character as it is. The mapping is one
    to one: the file name's bytes are the UTF-8 of the text with the escapes undone."""
    return _UNSAFE.sub(_escape, str(text))
