"""Rules of the malven module's KELDA procedures that the toolkit applies to data it holds:
the order in which scan-mode placement compares two structures, and the ranking of hits.
Both are the core's own rules, reached through the native module, never restated here."""
from keldascope import _native


def leading_order(first, second):
    """The two domains in the order one scan-mode alignment compares them: the placement needs
    the mobile structure to be at least half as long as the reference, so the shorter one
    leads when it is not. Returns (reference, mobile, swapped)."""
    if _native.placement_attempted(len(first), len(second)):
        return first, second, False
    return second, first, True


def rank(items, max_hits, score=lambda item: item.score):
    """Rank items given in target order as one scan_database call ranks its hits: a stable
    sort by score (ties keep the target order), truncation to max_hits, ranks from 1, then
    Z-scores over the items kept. Returns (item, rank, z_score) triples."""
    items = list(items)
    order, z_scores = _native.rank_scores([float(score(item)) for item in items], max_hits)
    return [(items[k], r, z) for r, (k, z) in enumerate(zip(order, z_scores), start=1)]
