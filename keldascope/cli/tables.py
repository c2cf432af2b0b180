"""The text every command's tables are made of, written one way: names and paths escaped so
that any byte of a file name survives to a TSV cell or a terminal line and reads back
unambiguously, numbers rounded by one rule, and TSV files written whole through the atomic
writer."""
import math

from keldascope.cli.common import CliError
from keldascope.outputs import atomic_output, escaped

# How many decimals each kind of number gets: scores in 0..1 (TM-scores, identity, LDDT,
# probabilities) and the other scores (Sc, Z-scores, prefilter scores) to 4, distances in
# angstroms to 3 (the precision of a PDB file), rotation matrix elements to 6 (enough to
# rebuild the superposition to 0.001 A over 100 A), bit scores to 1. E-values span hundreds
# of orders of magnitude, so they keep 3 significant digits instead.
DECIMALS = {"score": 4, "distance": 3, "rotation": 6, "bits": 1}
EVALUE_DIGITS = 3


def written_lines(written, shown=str):
    """A text report's lines naming the files it wrote ((what, path) pairs, each path as
    `shown` gives it), and the blank line that ends its header."""
    return [f"{what:<17}{shown(path)}" for what, path in written] + [""]


def num(value, kind="score"):
    """A number as every TSV writes it: rounded by its kind (DECIMALS; "evalue" to 3
    significant digits), integers as they are, and the empty string where there is no value
    (None, NaN, infinity)."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        return str(value)
    value = float(value)
    if not math.isfinite(value):
        return ""
    if kind == "evalue":
        return f"{value:.{EVALUE_DIGITS}g}"
    text = f"{value:.{DECIMALS[kind]}f}"
    return "0" + text[2:] if text.startswith("-0") and not text.strip("-0.") else text


def tsv_line(cells):
    return "\t".join(cells) + "\n"


def write_text(path, lines):
    """Write `lines` (each ending in a newline) to `path` whole, through the atomic writer
    (special files written in place, links written through, modes kept); CliError naming
    the file when it cannot be written."""
    try:
        with atomic_output(path) as out:
            out.writelines(lines)
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")
