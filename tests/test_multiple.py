"""The toolkit's multiple alignment: on the robust engine it undoes rigid motions, does not
depend on the frames the files come in and finds a core for families in unrelated frames; by
the KELDA method it is malven.align_pdbs; superposed files are written only under names that
collide with nothing."""
import numpy as np
import pytest

import keldascope
import malven
from conftest import DATA, SHARED, rotation
from keldascope import Method

PDB = DATA / "pdb"
ZINC_FINGERS = ["1sp1", "1sp2", "3znf"]
CSDE = ["1ni7", "5eep"]


def motion(rng):
    return rotation(rng.normal(size=3), rng.uniform(0.5, 3.0)), rng.uniform(-40, 40, 3)


def moved(domain, r, t, name=None):
    return malven.Domain.from_arrays(name or domain.id, domain.coordinates @ r.T + t,
                                     domain.sequence)


def superposed(result, k):
    return result.transforms[k].apply(result.structures[k].domain.coordinates)


def test_moved_copies_of_one_structure_come_back(rng):
    base = malven.Domain.from_pdb(str(PDB / "1ni7.pdb"))
    copies = [base] + [moved(base, *motion(rng), name=f"copy{k}") for k in range(3)]
    m = keldascope.multiple_align(copies, threads=2)
    n = len(base)
    assert m.n_core == m.n_columns == n
    assert m.columns == [[k] * len(copies) for k in range(n)]
    for k in range(len(copies)):
        np.testing.assert_allclose(superposed(m, k), base.coordinates, atol=1e-3)
        assert m.tm_by_reference[k] == pytest.approx(1.0, abs=1e-6)


@pytest.mark.parametrize("names", [ZINC_FINGERS, CSDE + ["1ni7"]])
def test_family_members_moved_apart_give_the_same_alignment(rng, names):
    """Each member but the reference moved by its own motion: the same columns, and every
    member lands where it landed unmoved."""
    domains = [malven.Domain.from_pdb(str(PDB / f"{n}.pdb")) for n in names]
    still = keldascope.multiple_align(domains, threads=1)
    shifted = keldascope.multiple_align([domains[0]] + [moved(d, *motion(rng))
                                                        for d in domains[1:]], threads=2)
    assert still.n_core > 0
    assert shifted.columns == still.columns and shifted.core_positions == still.core_positions
    for k in range(len(domains)):
        np.testing.assert_allclose(superposed(shifted, k), superposed(still, k), atol=2e-3)
    np.testing.assert_allclose(shifted.tm_by_reference, still.tm_by_reference, atol=1e-6)


def family(name, limit=8):
    """Members of a family of the shared data, read as the family's notes say."""
    for line in (SHARED / "FAMILIES.tsv").read_text().splitlines()[1:]:
        cells = line.split("\t")
        if cells[0] == name:
            chain = "A" if "use chain A" in cells[3] else None
            return [keldascope.read_structure(str(SHARED / f), chain)
                    for f in cells[4].split()[:limit]]
    pytest.skip(f"family {name} is not in the shared data")


@pytest.mark.skipif(not (SHARED / "FAMILIES.tsv").exists(), reason="shared data absent")
@pytest.mark.parametrize("name", ["globins_scop_domains", "kringle", "PF00531_death_domain"])
def test_families_in_unrelated_frames_get_a_core(name):
    members = family(name)
    m = keldascope.multiple_align(members)
    assert m.n_core >= 0.4 * min(len(s.domain) for s in members)
    # Core columns hold residues that lie close once superposed.
    ref = superposed(m, m.reference)
    spread = [np.linalg.norm(superposed(m, k)[[c[k] for c in (m.columns[p] for p in
                                                              m.core_positions)]]
                             - ref[[m.columns[p][m.reference] for p in m.core_positions]],
                             axis=1).mean()
              for k in range(len(members))]
    assert max(spread) < 4.0
    assert min(m.tm_by_reference) > 0.45


def test_reference_choice_and_bad_input(tmp_path):
    domains = [malven.Domain.from_pdb(str(PDB / f"{n}.pdb")) for n in ZINC_FINGERS]
    m = keldascope.multiple_align(domains, reference=2)
    assert m.reference == 2
    np.testing.assert_allclose(superposed(m, 2), domains[2].coordinates, atol=1e-9)
    with pytest.raises(ValueError, match="Reference index 3 out of range for 3 structures"):
        keldascope.multiple_align(domains, reference=3)
    with pytest.raises(OverflowError):  # an index is never negative
        keldascope.multiple_align(domains, reference=-1)
    with pytest.raises(ValueError):
        keldascope.multiple_align(domains[:1])


@pytest.mark.parametrize("names, reference", [(ZINC_FINGERS, 0), (CSDE + ["1ni7"], 1)])
def test_the_kelda_method_is_align_pdbs(tmp_path, names, reference):
    """Placement onto the reference by scan mode, then the KELDA multiple alignment: the
    module's align_pdbs, with its placements as the transforms."""
    paths = [str(PDB / f"{n}.pdb") for n in names]
    ours = keldascope.multiple_align(paths, method=Method.KELDA_SCAN, reference=reference)
    module = malven.align_pdbs(paths, str(tmp_path), reference_index=reference)
    assert (ours.columns, ours.core_positions, ours.score, ours.avg_rmsd) == \
        (module.columns, module.core_positions, module.score, module.avg_rmsd)
    for mine, theirs in zip(ours.full_transforms, module.full_transforms):
        np.testing.assert_array_equal(mine.rotation, theirs.rotation)
    assert ours.tm_by_reference[reference] == pytest.approx(1.0, abs=1e-9)
    # In the frames as given, the KELDA refinement of every pair: malven.multiple_align.
    full = keldascope.multiple_align(paths, method=Method.KELDA_FULL, full_scores=False)
    plain = malven.multiple_align([malven.Domain.from_pdb(p) for p in paths])
    assert (full.columns, full.score, full.tm_by_reference) == (plain.columns, plain.score, [])


def test_written_copies_are_the_superposed_structures(tmp_path):
    structures = [keldascope.read_structure(str(PDB / f"{n}.pdb")) for n in ZINC_FINGERS]
    m = keldascope.multiple_align(structures)
    paths = keldascope.write_aligned(structures, m, str(tmp_path / "out"))
    for k, path in enumerate(paths):
        np.testing.assert_allclose(keldascope.read_structure(path).domain.coordinates,
                                   superposed(m, k), atol=1e-3)
    # A second structure that would take a name already given is refused before writing.
    again = structures + [keldascope.read_structure(str(PDB / "1sp1.pdb"))]
    m2 = keldascope.multiple_align(again)
    with pytest.raises(ValueError, match="would both be written as"):
        keldascope.write_aligned(again, m2, str(tmp_path / "second"))
    assert not (tmp_path / "second").exists()
