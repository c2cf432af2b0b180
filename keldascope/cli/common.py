"""What every subcommand shares: the two kinds of expected failure, messages on standard error,
checks of output paths, and number formatting for text and JSON."""
import json
import math
import os
import sys


class CliError(Exception):
    """An expected failure (unreadable file, failed alignment): one line, exit status 1."""

    status = 1


class UsageError(CliError):
    """A bad command line that argparse cannot see (a value out of range for these inputs):
    exit status 2, as for argparse's own usage errors."""

    status = 2


def warn(prog, message):
    print(f"{prog}: warning: {message}", file=sys.stderr)


def note(message):
    print(message, file=sys.stderr)


def check_output_file(path, option):
    """Refuse an output path whose directory is missing, before any long computation."""
    parent = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise UsageError(f"argument {option}: '{path}' is a directory")
    if not os.path.isdir(parent):
        where = os.path.dirname(path) or "."
        raise UsageError(f"argument {option}: directory '{where}' does not exist")


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
