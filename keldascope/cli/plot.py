"""The `--plot` figure of `malven align`: the C-alpha distance of every equivalent pair after
superposition, along the alignment. matplotlib is an optional extra (`malven[plot]`)."""
from keldascope.cli.common import CliError
from keldascope.cli.layout import CLOSE_PAIR

MISSING = ("--plot needs matplotlib, which is not installed "
           "(pip install 'malven[plot]' or pip install matplotlib)")


def have_matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def require_matplotlib():
    if not have_matplotlib():
        raise CliError(MISSING)


def distance_plot(path, title, points, labels):
    """points: (alignment column, distance) per equivalent pair; labels: (column, text) ticks
    naming residues of the first structure."""
    import matplotlib

    matplotlib.use("Agg")  # files only; never needs a display
    import matplotlib.pyplot as plt

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
        try:
            fig.savefig(path, dpi=120, format="png")
        except OSError as exc:
            raise CliError(f"cannot write {path}: {exc.strerror or exc}")
    finally:
        plt.close(fig)
