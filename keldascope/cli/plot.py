"""The `--plot` figures: for `malven align` the C-alpha distance of every equivalent pair after
superposition, along the alignment; for `malven allvsall` the score matrix as a heatmap in
the order of its tree, the tree beside it. matplotlib is optional (pip install
matplotlib)."""
import numpy as np

from keldascope.cli.common import CliError
from keldascope.cli.layout import CLOSE_PAIR
from keldascope.outputs import atomic_output

MISSING = "--plot needs matplotlib, which is not installed: pip install matplotlib"


def have_matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def require_matplotlib():
    if not have_matplotlib():
        raise CliError(MISSING)


def pyplot():
    import matplotlib

    matplotlib.use("Agg")  # files only; never needs a display
    import matplotlib.pyplot as plt
    return plt


def write_png(fig, path):
    """The figure written to path whole, or a CliError and the path as it was."""
    try:
        with atomic_output(path, "wb") as out:
            fig.savefig(out, dpi=120, format="png")
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}")


def distance_plot(path, title, points, labels):
    """points: (alignment column, distance) per equivalent pair; labels: (column, text) ticks
    naming residues of the first structure."""
    plt = pyplot()
    fig, ax = plt.subplots(figsize=(10, 3.6))
    try:
        xs = [c + 1 for c, _ in points]
        ys = [d for _, d in points]
        ax.vlines(xs, 0, ys, color="#9ab", linewidth=0.8)
        ax.plot(xs, ys, "o", markersize=3, color="#1f5f8b")
        ax.axhline(CLOSE_PAIR, color="#c44", linestyle="--", linewidth=0.8,
                   label=f"{CLOSE_PAIR:g} \u00c5")
        ax.set_xlabel("alignment column (ticks: residue numbers of the first structure)")
        ax.set_ylabel("C\u03b1 distance after superposition (\u00c5)")
        ax.set_title(title, fontsize=10)
        # Room above the threshold line for the legend.
        ax.set_ylim(0, max([CLOSE_PAIR * 1.3] + [d * 1.1 for d in ys]))
        if labels:
            ax.set_xticks([c + 1 for c, _ in labels])
            ax.set_xticklabels([t for _, t in labels], fontsize=8)
        ax.legend(loc="upper right", fontsize=8, frameon=False)
        fig.tight_layout()
        write_png(fig, path)
    finally:
        plt.close(fig)


# Above this many structures the heatmap's axes carry no names: they would overlap.
MAX_NAMED = 60
# Up to this many structures every cell shows its value.
MAX_VALUES = 16


def colour_range(values, upper=None):
    """(low, high) of the colour scale: the finite values' own span, so that scores between
    0.64 and 1 fill the whole scale rather than a corner of it; `upper` caps it."""
    finite = values[np.isfinite(values)]
    if not finite.size:
        return 0.0, 1.0
    low, high = float(finite.min()), float(finite.max())
    if upper is not None:
        high = min(high, upper)
    if high - low < 1e-9:  # one value: a scale around it
        return low - 0.5, low + 0.5
    return low, high


def _tree_segments(tree, position):
    """Line segments (x0, y0, x1, y1) drawing the tree with leaves at y = position[leaf] and
    joins at x = their height; returns (segments, y of the root)."""
    if isinstance(tree, int):
        return [], position[tree], 0.0
    left, right, height = tree
    segments_l, y_l, h_l = _tree_segments(left, position)
    segments_r, y_r, h_r = _tree_segments(right, position)
    segments = segments_l + segments_r + [(h_l, y_l, height, y_l), (h_r, y_r, height, y_r),
                                          (height, y_l, height, y_r)]
    return segments, (y_l + y_r) / 2, height


def _leaves(tree):
    return [tree] if isinstance(tree, int) else _leaves(tree[0]) + _leaves(tree[1])


def clustered_heatmap(path, matrix, names, tree, label, upper=None):
    """matrix: square scores (higher is more similar), rows and columns reordered to the
    tree's leaves; the tree is drawn on the left, root towards the left edge."""
    plt = pyplot()
    from matplotlib.collections import LineCollection

    order = _leaves(tree)
    n = len(order)
    shown = matrix[order][:, order]
    size = min(3.0 + 0.22 * n, 16.0)
    fig = plt.figure(figsize=(size + 2.2, size))
    try:
        tree_ax = fig.add_axes([0.03, 0.12, 0.15, 0.8])
        heat_ax = fig.add_axes([0.19, 0.12, 0.62, 0.8])
        bar_ax = fig.add_axes([0.90, 0.12, 0.02, 0.8])
        position = {leaf: k for k, leaf in enumerate(order)}
        segments, _, root = _tree_segments(tree, position)
        tree_ax.add_collection(LineCollection([((x0, y0), (x1, y1))
                                              for x0, y0, x1, y1 in segments],
                                             colors="#333", linewidths=0.8))
        tree_ax.set_xlim(max(root, 1e-9) * 1.05, 0)
        tree_ax.set_ylim(n - 0.5, -0.5)
        tree_ax.axis("off")
        low, high = colour_range(shown, upper)
        image = heat_ax.imshow(shown, cmap="viridis", vmin=low, vmax=high,
                               interpolation="nearest", aspect="auto")
        if n <= MAX_VALUES:
            for (i, j), v in np.ndenumerate(shown):
                if np.isfinite(v):
                    # Dark text on viridis' light upper half, light text on its dark half.
                    dark = (v - low) / (high - low) > 0.6
                    heat_ax.text(j, i, f"{v:.2f}", ha="center", va="center",
                                 fontsize=max(5, 11 - n // 2),
                                 color="black" if dark else "white")
        if n <= MAX_NAMED:
            ticks = list(range(n))
            heat_ax.set_xticks(ticks)
            heat_ax.set_xticklabels([names[k] for k in order], rotation=90, fontsize=7)
            heat_ax.set_yticks(ticks)
            heat_ax.set_yticklabels([names[k] for k in order], fontsize=7)
            heat_ax.yaxis.tick_right()
        else:
            heat_ax.set_xticks([])
            heat_ax.set_yticks([])
        fig.colorbar(image, cax=bar_ax, label=label)
        write_png(fig, path)
    finally:
        plt.close(fig)
