"""Multiple alignment of structures the toolkit has read (any format, any chain) by the
engine, by one of two pipelines chosen by the number of structures: the tree-wise one (every
pair aligned at full effort, then the KELDA guide tree and joins over those alignments; for
the KELDA methods the scan mode places every structure onto the reference first, as
malven.align_pdbs does) for small sets, the scalable one (a consistency library over the
pairs or each structure's prefilter neighbours, progressive profiles, a refinement kept only
where the LDDT rises) above. Either result carries its LDDT; the superposed copies are
written in the formats the files came in, the alignment as FASTA or A2M."""
import os
from dataclasses import dataclass, field
from typing import List, Tuple

import numpy as np

from keldascope import _native, alignment_files, parameters
from keldascope._native import MsaResult, MsaSettings
from keldascope._align import Wrapped, settings_of
from keldascope._resolve import resolve
from keldascope.structures import Structure, superposed_file_name, write_superposed


@dataclass(frozen=True)
class MultipleAlignment(Wrapped):
    """The structures and their MsaResult, read through: columns (one entry per structure,
    its residue index or None for a gap), core_positions (the columns every structure
    fills), transforms (each structure onto the reference; also full_transforms, as
    malven.MultipleAlignmentResult names them), tm_by_reference and tm_by_member (each
    structure's TM-score on the reference over the pairs the columns give), score (core
    columns over all columns), avg_rmsd, n_columns, n_core, pipeline (the MsaPipeline that
    ran), lddt (the mean of the columns' LDDT) and column_lddt (each column's)."""
    structures: List[Structure]
    reference: int
    result: MsaResult
    skipped: List[Tuple[str, str]] = field(default_factory=list)  # (path, reason)

    def __repr__(self):
        r = self.result
        return (f"MultipleAlignment({len(self.structures)} structures, reference="
                f"{self.structures[self.reference].name!r}, n_columns={r.n_columns}, "
                f"n_core={r.n_core}, score={r.score:.4f}, avg_rmsd={r.avg_rmsd:.3f})")

    def column_array(self):
        """The columns as an (n_columns, n_structures) int64 array of residue indices, -1
        for a gap."""
        columns = self.result.columns
        out = np.full((len(columns), len(self.structures)), -1, dtype=np.int64)
        for c, column in enumerate(columns):
            for k, residue in enumerate(column):
                if residue is not None:
                    out[c, k] = residue
        return out

    def to_fasta(self):
        """The alignment as aligned FASTA text, its column scores as leading ';' lines."""
        return alignment_files.to_fasta(self.structures, self.result.columns,
                                        self.result.column_lddt, self.result.lddt)

    def to_a2m(self):
        """The alignment as A2M text (match columns: those half the structures fill)."""
        return alignment_files.to_a2m(self.structures, self.result.columns,
                                      self.result.column_lddt, self.result.lddt)


def multiple_align(structures, settings=None, *, params=None, errors="warn", **fields):
    """The multiple alignment of structures; returns a MultipleAlignment. `structures`:
    anything keldascope.resolve takes (one folder, or a list mixing files, folders,
    FILE:CHAIN names and structures); unreadable files are skipped with a warning and listed
    in `skipped` (errors="raise" raises instead), and `reference` counts among those read.
    `settings` an MsaSettings, or its fields as keywords (method, reference, pipeline,
    threads...), `params` a malven.Parameters for the KELDA methods. The pipeline is the
    tree-wise one up to settings.tree_wise_up_to structures and the scalable one above,
    unless the settings force either (result.pipeline says which ran). ValueError for fewer
    than two structures or a reference outside the list."""
    settings = settings_of(MsaSettings, settings, fields)
    found = resolve(structures, errors=errors)
    ss = found.structures
    if len(ss) < 2:
        raise ValueError(f"a multiple alignment needs at least two structures, not {len(ss)}")
    m = _native.multiple_align([s.domain for s in ss], settings, parameters.coerce(params))
    return MultipleAlignment(ss, settings.reference, m, found.skipped)


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
