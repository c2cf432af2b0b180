"""Alignment text as sequence-alignment tools print it: one row per structure with '-' for
gaps, a marker line underneath, blocks of 60 columns with the residue numbers of the first
and last residue of each row at its ends."""
from keldascope._align import CLOSE_DISTANCE as CLOSE_PAIR  # ':' pairs, the toolkit's close

WIDTH = 60


def pairwise_columns(n1, n2, pairs):
    """Columns (i or None, j or None) of a pairwise alignment covering both chains whole.

    Only the equivalent pairs are known; between two of them, the residues of both chains
    are set side by side as far as the shorter run goes (as a structural alignment prints
    residues that it aligns without calling them equivalent), and the rest of the longer
    run against gaps. Before the first pair the runs are set against each other at their
    ends, next to that pair, so that the overhang is a gap."""
    columns = []

    def side_by_side(a0, a1, b0, b1, leading=False):
        k = min(a1 - a0, b1 - b0)
        if leading:
            columns.extend((a, None) for a in range(a0, a1 - k))
            columns.extend((None, b) for b in range(b0, b1 - k))
            columns.extend(zip(range(a1 - k, a1), range(b1 - k, b1)))
        else:
            columns.extend(zip(range(a0, a0 + k), range(b0, b0 + k)))
            columns.extend((a, None) for a in range(a0 + k, a1))
            columns.extend((None, b) for b in range(b0 + k, b1))

    next_i = next_j = 0
    for i, j in pairs:
        if i < next_i or j < next_j:
            continue  # an alignment path only moves forward; ignore anything else
        side_by_side(next_i, i, next_j, j, leading=not columns)
        columns.append((i, j))
        next_i, next_j = i + 1, j + 1
    side_by_side(next_i, n1, next_j, n2, leading=not columns and not pairs)
    return columns


def pair_markers(columns, distances):
    """':' for an equivalent pair within CLOSE_PAIR angstrom, '.' for one further apart,
    blank for residues set side by side without being equivalent and for gaps. distances
    maps each equivalent pair (i, j) to its distance after superposition."""
    out = []
    for col in columns:
        d = distances.get(col)
        out.append(" " if d is None else (":" if d < CLOSE_PAIR else "."))
    return "".join(out)


def row_text(sequence, indices):
    return "".join("-" if k is None else sequence[k] for k in indices)


def blocks(rows, markers, width=WIDTH, scores=None):
    """Lines of the wrapped alignment.

    rows: (name, sequence, labels, indices) per structure, where indices gives per column
    the residue index in that structure or None for a gap. markers: one character per
    column; scores, when given, a second such line under them. The marker lines are
    indented to sit under the residues."""
    n_columns = len(markers)
    name_w = max(len(r[0]) for r in rows)
    label_w = max([len(l) for r in rows for l in r[2]] + [1])
    lines = []
    for start in range(0, n_columns, width):
        stop = min(start + width, n_columns)
        for name, sequence, labels, indices in rows:
            chunk = indices[start:stop]
            present = [k for k in chunk if k is not None]
            first = labels[present[0]] if present else ""
            last = labels[present[-1]] if present else ""
            text = row_text(sequence, chunk)
            lines.append(f"{name:<{name_w}} {first:>{label_w}} {text} {last}".rstrip())
        mark = markers[start:stop].rstrip()
        lines.append((" " * (name_w + label_w + 2) + mark) if mark else "")
        if scores is not None:
            lines += [" " * (name_w + label_w + 2) + scores[start:stop], ""]
    return lines
