"""Multiple alignment of structures the toolkit has read (any format, any chain), by the steps
of malven.align_pdbs: each structure placed onto the reference by scan-mode alignment, all
aligned together with malven.multiple_align, and the superposed copies written in the formats
the files came in."""
import os

import malven

from keldascope.structures import superposed_file_name, write_superposed


def align_structures(structures, params=None, reference=0):
    """A malven.MultipleAlignmentResult for the structures (keldascope Structures), whose
    full_transforms carry each file's coordinates onto the reference. Failures raise
    ValueError with align_pdbs' messages, naming the file."""
    if len(structures) < 2:
        raise ValueError("Need at least 2 structures")
    if not 0 <= reference < len(structures):
        raise ValueError(f"Reference index {reference} out of range for "
                         f"{len(structures)} structures")
    params = params if params is not None else malven.Parameters()
    base = structures[reference].domain
    placed, pre = [], []
    for k, s in enumerate(structures):
        if k == reference:
            placed.append(base)
            pre.append(malven.Transform())
            continue
        try:
            placement = malven.pairwise_align(base, s.domain, params=params, scan_mode=True)
        except ValueError as exc:
            raise ValueError(f"Pre-alignment failed for {s.path}: {exc}")
        moved = s.domain.copy()
        moved.coordinates = placement.transform.apply(s.domain.coordinates)
        placed.append(moved)
        pre.append(placement.transform)
    return malven.multiple_align(placed, params=params, pre_transforms=pre)


def output_paths(structures, output_dir, prefix="aligned_", compress=False):
    """Where write_aligned writes each structure."""
    return [os.path.join(output_dir, superposed_file_name(s, k, prefix, compress))
            for k, s in enumerate(structures)]


def write_aligned(structures, result, output_dir, prefix="aligned_", compress=False):
    """Write every structure moved by its full transform into output_dir (created when
    missing); returns the paths written."""
    os.makedirs(output_dir, exist_ok=True)
    paths = output_paths(structures, output_dir, prefix, compress)
    for s, transform, path in zip(structures, result.full_transforms, paths):
        write_superposed(s, transform, path, compress)
    return paths
