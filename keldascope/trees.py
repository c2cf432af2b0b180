"""Trees over a set of structures: the multiple alignment's guide tree (average linkage over
score distances) built from a score matrix, its leaf order, and Newick text."""
import re

import numpy as np

from keldascope import _native

# Names that Newick can carry without quotes.
_PLAIN = re.compile(r"^[^\s()\[\]':;,]+$")


def guide_tree(scores):
    """The tree of a square score matrix (higher is more similar; Sc or TM-score): nested
    tuples (left, right, height) with leaf indices, joined at the distance max - score."""
    return _native.guide_tree(np.ascontiguousarray(scores, dtype=np.float64))


def leaves(tree):
    """Leaf indices from left to right (the order of a clustered heatmap)."""
    if isinstance(tree, int):
        return [tree]
    return leaves(tree[0]) + leaves(tree[1])


def _name(text):
    text = str(text)
    return text if _PLAIN.match(text) else "'" + text.replace("'", "''") + "'"


def newick(tree, names):
    """Newick text of the tree, leaves named by names[index]. Branch lengths are half the
    joining distances (the tree is ultrametric: every leaf lies at the root's height)."""
    def walk(node, parent_height):
        if isinstance(node, int):
            return f"{_name(names[node])}:{parent_height / 2:.6g}"
        left, right, height = node
        inner = f"({walk(left, height)},{walk(right, height)})"
        return inner if parent_height is None else f"{inner}:{(parent_height - height) / 2:.6g}"

    if isinstance(tree, int):
        return f"{_name(names[tree])};"
    left, right, height = tree
    return f"({walk(left, height)},{walk(right, height)});"
