"""Alignment text as sequence-alignment tools print it: one row per structure with '-' for
gaps, a marker line underneath, blocks of 60 columns with the residue numbers of the first
and last residue of each row at its ends."""

WIDTH = 60
# Equivalent pairs this close after superposition get the strong marker (TM-align's choice).
CLOSE_PAIR = 5.0


def pairwise_columns(n1, n2, pairs):
    """Columns (i or None, j or None) of a pairwise alignment covering both chains whole.

    Between consecutive equivalent pairs the unpaired residues of the first structure come
    first, against gaps, then those of the second: residues the method did not make
    equivalent are never shown in one column."""
    columns = []
    next_i = next_j = 0
    for i, j in pairs:
        if i < next_i or j < next_j:
            continue  # an alignment path only moves forward; ignore anything else
        columns += [(a, None) for a in range(next_i, i)]
        columns += [(None, b) for b in range(next_j, j)]
        columns.append((i, j))
        next_i, next_j = i + 1, j + 1
    columns += [(a, None) for a in range(next_i, n1)]
    columns += [(None, b) for b in range(next_j, n2)]
    return columns


def pair_markers(columns, distances):
    """':' for an equivalent pair within CLOSE_PAIR angstrom, '.' for one further apart,
    blank for a gap. distances maps (i, j) to the distance after superposition."""
    out = []
    for i, j in columns:
        if i is None or j is None:
            out.append(" ")
        else:
            out.append(":" if distances[(i, j)] < CLOSE_PAIR else ".")
    return "".join(out)


def row_text(sequence, indices):
    return "".join("-" if k is None else sequence[k] for k in indices)


def blocks(rows, markers, width=WIDTH):
    """Lines of the wrapped alignment.

    rows: (name, sequence, labels, indices) per structure, where indices gives per column
    the residue index in that structure or None for a gap. markers: one character per
    column. The marker line is indented to sit under the residues."""
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
    return lines
