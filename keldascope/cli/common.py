"""What every subcommand shares: the two kinds of expected failure, messages on standard error,
checks of output paths, the choice of method and of threads, and number formatting for text
and JSON."""
import json
import math
import os
import re
import sys

import keldascope
from keldascope import Method
from keldascope.outputs import check_writable, check_writable_folder
from keldascope._resolve import split_chain
from keldascope.structures import STRUCTURE_SUFFIXES, UnreadableStructure


class CliError(Exception):
    """An expected failure (unreadable file, failed alignment): one line, exit status 1."""

    status = 1


class UsageError(CliError):
    """A bad command line that argparse cannot see (a value out of range for these inputs):
    exit status 2, as for argparse's own usage errors."""

    status = 2


# Control characters (C0, DEL, C1) and the line and paragraph separators; a message repeats
# file content and file names, which must not steer the terminal or break the one line.
_CONTROL = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f\u2028\u2029]")


def printable(text):
    """The text with control characters written as escapes (\\x1b), and undecodable bytes of
    file names (surrogate escapes) as \\xNN, so that it prints as one line."""
    def escape(m):
        c = ord(m.group())
        return f"\\x{c:02x}" if c < 0x100 else f"\\u{c:04x}"
    text = _CONTROL.sub(escape, str(text))
    try:
        raw = text.encode("utf-8", "surrogateescape")  # the file name's own bytes
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")
    return raw.decode("utf-8", "backslashreplace")


def error_line(prog, message):
    return f"{prog}: error: {printable(message)}"


def warning_line(prog, message):
    return f"{prog}: warning: {printable(message)}"


def warn(prog, message):
    print(warning_line(prog, message), file=sys.stderr)


# A folder of thousands of unreadable files names the first few, then counts the rest.
SKIPPED_SHOWN = 5


def warn_skipped(prog, skipped):
    """Warn of the files a run skipped ((file, reason) pairs): each of the first few by name
    and reason, the rest in one line with their count."""
    for _, reason in skipped[:SKIPPED_SHOWN]:
        warn(prog, f"skipped: {reason}")
    if len(skipped) > SKIPPED_SHOWN:
        more = len(skipped) - SKIPPED_SHOWN
        warn(prog, f"skipped {more} more file{'s' * (more > 1)} that cannot be read "
                   f"({len(skipped)} in all)")


def note(message):
    print(message, file=sys.stderr)


# Hits a query may list at most: far more than any table is read for, and far below what
# would overflow the counts of the lists that hold them.
MAX_HITS_LIMIT = 10**9


def check_max_hits(value):
    """Refuse a --max-hits below 0 or above MAX_HITS_LIMIT."""
    if value < 0:
        raise UsageError(f"argument --max-hits: must not be negative, got {value}")
    if value > MAX_HITS_LIMIT:
        raise UsageError(f"argument --max-hits: must be at most {MAX_HITS_LIMIT}, got {value}")


def check_option_value(value, option):
    """Refuse an empty value, which would name no file (or the current folder)."""
    if value is not None and not str(value).strip():
        raise UsageError(f"argument {option}: an empty value is not allowed")


def _file_id(path):
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


def _folder_files(folder):
    """The files a command reads from a folder: every file of a database (a folder with a
    manifest), the structure files below any other folder (links to folders followed, each
    folder once, as the search for structure files goes)."""
    if os.path.isfile(os.path.join(folder, "dbtype")):
        for name in sorted(os.listdir(folder)):
            yield os.path.join(folder, name)
        return
    searched = set()
    for top, dirs, files in os.walk(folder, followlinks=True):
        here = _file_id(top)
        if here is None or here in searched:
            dirs[:] = []
            continue
        searched.add(here)
        for name in files:
            if name.lower().endswith(STRUCTURE_SUFFIXES):
                yield os.path.join(top, name)


def input_files(inputs, _lists=None):
    """Every file the inputs as a command line gives them make the command read: a file
    (FILE:CHAIN as its file), the files inside a folder or a database, an @LIST and the
    paths it names, lists inside lists once each."""
    lists = set() if _lists is None else _lists
    for given in inputs:
        text = os.fsdecode(given)
        if text.startswith("@") and not os.path.exists(text):
            listing = text[1:]
            yield listing
            key = _file_id(listing)
            if key is None or key in lists:
                continue
            lists.add(key)
            try:
                with open(listing, encoding="utf-8", errors="surrogateescape") as f:
                    lines = [line.strip() for line in f.read().splitlines()]
            except (OSError, ValueError):
                continue
            yield from input_files([line for line in lines if line and not line.startswith("#")],
                                   lists)
            continue
        path = text if os.path.exists(text) else split_chain(text)[0]
        if os.path.isdir(path):
            yield from _folder_files(path)
        else:
            yield path


def check_not_an_input(path, option, inputs):
    """Refuse an output that names one of the files the inputs make the command read (the
    same file under any name, found inside a folder or a database, or named by an @LIST):
    writing it would replace the input with the output."""
    target = _file_id(path) if os.path.exists(path) else None
    if target is None:
        return
    for given in input_files(inputs):
        if _file_id(given) == target:
            raise UsageError(f"argument {option}: '{path}' is the input file '{given}'; "
                             f"choose another output")


def write_superposed_output(write, path):
    """write(path) for -o, a superposed structure file, where a path is given: the report's
    (what, path) lines of what was written; failures as one-line errors naming the path."""
    if not path:
        return []
    try:
        write(path)
    except UnreadableStructure as exc:
        raise CliError(str(exc))
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")
    except (ValueError, RuntimeError) as exc:
        raise CliError(f"cannot write {path}: {exc}")
    return [("Superposed file", path)]


def check_output_file(path, option, inputs=()):
    """Refuse an output path whose directory is missing, that is a directory, that names an
    input, or that cannot be written (a folder that refuses new files, a link to a missing
    folder), before any long computation."""
    check_option_value(path, option)
    parent = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise UsageError(f"argument {option}: '{path}' is a directory")
    if not os.path.isdir(parent):
        where = os.path.dirname(path) or "."
        raise UsageError(f"argument {option}: directory '{where}' does not exist")
    check_not_an_input(path, option, inputs)
    try:
        check_writable(path)
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")


def add_file_arguments(p, files):
    """An option --NAME METAVAR per file a command reads or writes beside its inputs, `files`
    mapping each NAME to its metavar and help, in their order."""
    for name, (metavar, text) in files.items():
        p.add_argument(f"--{name}", metavar=metavar, help=text)


def check_output_files(args, names, inputs=()):
    """check_output_file for each of the output options `names` the command line gives."""
    for name in names:
        path = getattr(args, name)
        if path is not None:
            check_output_file(path, f"--{name}", inputs)


def check_distinct_outputs(args, names):
    """Refuse two of the output options `names` given the same file: the second would
    replace the first."""
    named = [getattr(args, name) for name in names if getattr(args, name) is not None]
    if len(set(named)) < len(named):
        options = [f"--{name}" for name in names]
        raise UsageError(f"the {', '.join(options[:-1])} and {options[-1]} files must differ")


def open_database(path, verify=False):
    """The structure database at `path`, opened (and with `verify` checked whole); CliError
    saying what is wrong with it."""
    from keldascope.database import Database
    try:
        db = Database(path)
        if verify:
            db.verify()
    except (ValueError, OSError) as exc:
        raise CliError(str(exc))
    return db


def check_output_folder(folder, option):
    """Refuse an output folder in which files cannot be made, before any long computation."""
    try:
        check_writable_folder(folder)
    except OSError as exc:
        raise CliError(f"argument {option}: cannot write into {folder}: {exc.strerror or exc}")


# The method options as the commands take them: --method robust|kelda, and for the kelda
# method a mode (--mode, or --direct for align), each naming one method of the engine.
METHODS = {("robust", None): Method.ROBUST, ("kelda", "scan"): Method.KELDA_SCAN,
           ("kelda", "full"): Method.KELDA_FULL, ("kelda", "quick"): Method.KELDA_QUICK}
MODES = ("full", "quick", "scan")
MODES_HELP = """\
modes:
  scan   scan-mode placement of every {what} (structures in unrelated frames; default)
  full   iterative refinement from the coordinates as they stand (a common frame)
  quick  one scoring and alignment pass, no refinement (screening a common frame)"""

# What each method does, for the reports.
METHOD_TEXT = {
    Method.ROBUST: "robust: TM-score search from several seeds; Sc of a KELDA refinement from "
                   "its superposition",
    Method.KELDA_SCAN: "KELDA scan-mode placement, then refinement",
    Method.KELDA_FULL: "KELDA refinement from the input coordinates",
    Method.KELDA_QUICK: "KELDA quick pass (one scoring and alignment pass) in the input frames",
}


def add_method_arguments(p, what, modes=True):
    p.add_argument("--method", choices=("robust", "kelda"),
                   help="robust (default): the robust engine, TM-score search in any frames; "
                        "kelda: the KELDA method" + (" in the mode --mode chooses" if modes
                                                     else ""))
    if modes:
        p.add_argument("--mode", choices=MODES,
                       help=f"how the kelda method aligns each {what} (default scan; implies "
                            f"--method kelda)")


def method_of(args):
    """The engine's method for --method and --mode: --mode alone means the kelda method,
    which defaults to scan mode; the robust engine has no modes. Sets args.method and
    args.mode to their resolved values."""
    mode = getattr(args, "mode", None)
    if args.method is None:
        args.method = "kelda" if mode else "robust"
    if args.method == "kelda" and mode is None:
        mode = "scan"
    if args.method == "robust" and mode:
        raise UsageError("argument --mode: only the kelda method has modes")
    args.mode = mode
    return METHODS[(args.method, mode)]


def add_quiet_argument(p, progress=True):
    """-q/--quiet: no warnings, and no progress bar for commands that show one."""
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no warnings on standard error" if progress
                   else "no warnings on standard error")


# --sort-by's names of the hits' orders (keldascope.SortBy).
SORT_BY = {"evalue": "EVALUE", "tm": "TM", "tm-query": "TM_QUERY", "tm-target": "TM_TARGET",
           "tm-mean": "TM_MEAN", "score": "SCORE"}


def add_sort_argument(p, default):
    """--sort-by, its default the native settings' (`default`, a SortBy)."""
    names = {v: k for k, v in SORT_BY.items()}
    p.add_argument("--sort-by", choices=list(SORT_BY), default=names[default.name],
                   help="the order of the hits: the E-value (the same order as the bit "
                        "score), the TM-score normalised by the longer structure, by the "
                        "query, by the target, the mean of those two, or the method's own "
                        "score (default %(default)s)")


def sort_by_of(args):
    return keldascope.SortBy[SORT_BY[args.sort_by]]


SORT_TEXT = {"evalue": "E-value", "tm": "TM-score (by the longer)", "tm-query":
             "TM-score by the query", "tm-target": "TM-score by the target",
             "tm-mean": "mean TM-score (by query and target)"}


def evalue_text(value):
    """An E-value in three significant digits, '-' where there is none."""
    if value is None or not math.isfinite(value):
        return "-"
    return f"{value:.3g}"


def add_json_argument(p, instead_of=None, holding=None):
    """--json: the command's output as one JSON object (holding what `holding` names) in
    place of `instead_of`."""
    text = "print one JSON object" + (f" with {holding}" if holding else "")
    p.add_argument("--json", action="store_true",
                   help=text + (f" instead of the {instead_of}" if instead_of else ""))


def add_threads_argument(p, work="the alignments"):
    p.add_argument("--threads", type=int, metavar="N",
                   help=f"C++ threads for {work} (default: one per usable core)")


def threads_for(requested, prog):
    """The thread count for --threads: the usable cores when absent; more than the toolkit
    runs is capped (it only adds switching), with a warning."""
    if requested is None:
        return keldascope.usable_cores()
    if requested < 1:
        raise UsageError(f"argument --threads: must be at least 1, got {requested}")
    used = keldascope.thread_count(requested)
    if used < requested:
        warn(prog, f"--threads {requested} is more than the {used} usable cores; using {used}")
    return used


def finite_or_none(value):
    """JSON has no infinity or NaN: a missing or impossible value becomes null."""
    if value is None or not math.isfinite(value):
        return None
    return float(value)


def fmt(value, decimals):
    """Fixed-point text, or '-' where there is no value (RMSD +inf of an alignment that was
    not attempted, a Z-score that was not computed)."""
    if value is None or not math.isfinite(value):
        return "-"
    return f"{value:.{decimals}f}"


def rmsd_text(rmsd, n_aligned, decimals=3):
    """An RMSD over fewer than 3 pairs is undefined; the module reports 100.0 (or +inf when
    nothing was attempted) for it, which reads as a real value in a table."""
    return "-" if n_aligned < 3 else fmt(rmsd, decimals)


def percent(fraction):
    return "-" if fraction is None or not math.isfinite(fraction) else f"{100.0 * fraction:.1f}%"


def transform_json(transform):
    return {
        "rotation": [[float(v) for v in row] for row in transform.rotation],
        "translation": [float(v) for v in transform.translation],
    }


def dump_json(obj, stream=None):
    stream = stream or sys.stdout
    json.dump(obj, stream, indent=2, allow_nan=False)
    stream.write("\n")
