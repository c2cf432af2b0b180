"""Multiple alignment of structures the toolkit has read (any format, any chain): on the robust
engine (every pair aligned in any frames on threads, then the KELDA guide tree and joins over
those alignments), or by the steps of malven.align_pdbs (scan-mode placement onto the
reference, then malven.multiple_align); and the superposed copies written in the formats the
files came in."""
import os
from dataclasses import dataclass
from typing import List, Optional

import malven

from keldascope import _native
from keldascope.align import as_structure
from keldascope.structures import Structure, superposed_file_name, write_superposed


@dataclass(frozen=True)
class MultipleAlignment:
    """columns: one entry per structure (its residue index, or None for a gap); core
    positions: the columns every structure fills; transforms carry each structure onto the
    reference (its robust pairwise alignment with it); tm_by_reference and tm_by_member: that
    alignment's TM-score normalised by the reference and by the member; score: core columns
    over all columns; avg_rmsd: the mean RMSD of the pairwise alignments."""
    structures: List[Structure]
    reference: int
    columns: List[List[Optional[int]]]
    core_positions: List[int]
    score: float
    avg_rmsd: float
    transforms: List[malven.Transform]
    tm_by_reference: List[float]
    tm_by_member: List[float]

    @property
    def n_columns(self):
        return len(self.columns)

    @property
    def n_core(self):
        return len(self.core_positions)

    @property
    def full_transforms(self):
        """The transform of each structure's file onto the reference (as
        malven.MultipleAlignmentResult names it)."""
        return self.transforms


def multiple_align(structures, *, reference=0, threads=None):
    """The robust multiple alignment of structures (Structures, malven.Domains or file
    paths), every pair aligned on threads (default: all cores). ValueError for fewer than two
    structures or a reference outside the list."""
    ss = [as_structure(s) for s in structures]
    if reference < 0:  # the native side takes an unsigned index
        raise ValueError(f"Reference index {reference} out of range for {len(ss)} structures")
    m = _native.robust_msa([s.domain for s in ss], reference=reference, threads=threads or 0)
    return MultipleAlignment(structures=ss, reference=reference, columns=m["columns"],
                             core_positions=m["core_positions"], score=m["score"],
                             avg_rmsd=m["avg_rmsd"], transforms=m["transforms"],
                             tm_by_reference=m["tm_by_reference"], tm_by_member=m["tm_by_member"])


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
    """Where write_aligned writes each structure. Two structures whose copies would take one
    name, or a copy that would replace an input file, raise ValueError: nothing may be
    written over another output or an input."""
    paths, seen = [], {}
    for k, s in enumerate(structures):
        name = superposed_file_name(s, k, prefix, compress)
        if name in seen:
            raise ValueError(f"{seen[name]} and {s.path} would both be written as {name}")
        seen[name] = s.path
        path = os.path.join(output_dir, name)
        for other in structures:
            if os.path.exists(path) and os.path.exists(other.path) and \
                    os.path.samefile(path, other.path):
                raise ValueError(f"{path} is the input file {other.path}")
        paths.append(path)
    return paths


def write_aligned(structures, result, output_dir, prefix="aligned_", compress=False):
    """Write every structure moved by its full transform (result.full_transforms: a
    MultipleAlignment's or a malven.MultipleAlignmentResult's) into output_dir (created when
    missing); returns the paths written. Every name is checked before anything is written."""
    paths = output_paths(structures, output_dir, prefix, compress)
    os.makedirs(output_dir, exist_ok=True)
    for s, transform, path in zip(structures, result.full_transforms, paths):
        write_superposed(s, transform, path, compress)
    return paths
