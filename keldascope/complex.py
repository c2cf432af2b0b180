"""Complex alignment: two assemblies of chains superposed as wholes, with the chain mapping
that maximises the complex TM-score (MM-align's: the TM-score terms of every mapped chain
pair summed and divided by an assembly's total length), and the files of a whole assembly:
every protein chain of a model, or an mmCIF biological assembly built by gemmi."""
import os
from dataclasses import dataclass, replace

import numpy as np

from keldascope import _native
from keldascope._native import ComplexResult, ComplexSettings
from keldascope._align import Wrapped, settings_of
from keldascope.outputs import atomic_output
from keldascope._resolve import as_structure, from_gemmi, split_chain
from keldascope.structures import (MMCIF, PDB, UnreadableStructure, _load, chain_listing,
                                   need_gemmi, read_structure, write_superposed)

# More chains than any assembly holds are refused before they are read (a file that lists
# each residue or atom as a chain, say): the native side refuses more still.
MAX_CHAINS = ComplexSettings().max_chains


@dataclass(frozen=True)
class Assembly:
    """The chains of one side of a complex alignment (Structures, one chain each), where
    they came from (a file, or None), the biological assembly read (or None), and notes on
    what was read instead of a whole assembly (one chain named, a one-chain file)."""
    chains: tuple
    path: str = None
    assembly: str = None
    notes: tuple = ()
    gemmi_structure: object = None  # the assembly built, for writing it out

    @property
    def names(self):
        return [s.chain or s.domain.id for s in self.chains]

    @property
    def length(self):
        return sum(len(s.domain) for s in self.chains)

    def __repr__(self):
        where = self.path or "structures"
        extra = f", assembly={self.assembly!r}" if self.assembly else ""
        return f"Assembly({where!r}{extra}, chains={self.names})"


def _check_names(names, where):
    seen = set()
    for name in names:
        if name in seen:
            raise ValueError(f"{where} has two chains named '{name}'; each chain of an "
                             f"assembly needs its own name")
        seen.add(name)


def _split_chain_name(path, model):
    """The first chain name of a PDB file whose C-alpha atoms come in two separate runs of
    the chosen model (two chains under one name, which the reader would join), or None."""
    fmt, _, text = _load(path)
    if fmt != PDB:
        return None
    # A file without MODEL records is one model, whatever number the reader gave it.
    runs, current, in_model = set(), None, True
    for line in text.splitlines():
        if line.startswith(b"MODEL"):
            number = line[5:].split()[:1]
            in_model = model is None or (bool(number) and number[0] == str(model).encode())
            continue
        if line.startswith(b"ENDMDL"):
            if in_model and runs:
                break
            continue
        if not in_model or not line.startswith(b"ATOM") or line[12:16].strip() != b"CA":
            continue
        # A blank chain column takes the segment id, as the reader names such chains.
        chain = line[21:22] if line[21:22].strip() else line[72:76].strip()
        if chain != current:
            if chain in runs:
                return chain.decode("utf-8", "replace")
            runs.add(chain)
            current = chain
    return None


def _check_count(n, where):
    if n > MAX_CHAINS:
        raise ValueError(f"{where} has {n} chains; complex alignment takes at most "
                         f"{MAX_CHAINS}")


def _assembly_of_file(path, assembly, model):
    """Every protein chain of one model of an mmCIF file's biological assembly (gemmi
    builds it from the file's operators)."""
    gemmi = need_gemmi(f"reading biological assembly {assembly} of {path}")
    try:
        st = gemmi.read_structure(path)
    except (RuntimeError, ValueError) as exc:
        raise UnreadableStructure(path, f"cannot read {path}: {exc}")
    names = [a.name for a in st.assemblies]
    if not names:
        raise ValueError(f"{path} defines no biological assembly (pdbx_struct_assembly)")
    wanted = str(assembly)
    if wanted not in names:
        raise ValueError(f"{path} has no assembly {wanted}; it defines "
                         f"{', '.join(names)}")
    st.setup_entities()
    index = 0
    if model is not None:
        numbers = [m.num for m in st]
        if model not in numbers:
            raise ValueError(f"{path} has no model {model}")
        index = numbers.index(model)
    built_model = gemmi.make_assembly(st.assemblies[names.index(wanted)], st[index],
                                      gemmi.HowToNameCopiedChain.Short)
    built = gemmi.Structure()
    built.name = st.name
    built.cell = st.cell
    built.add_model(built_model)
    built.setup_entities()
    chains = [ch.name for ch in built[0]]
    _check_names(chains, f"assembly {wanted} of {path}")
    _check_count(len(chains), f"assembly {wanted} of {path}")
    out = []
    for name in chains:
        try:
            s = from_gemmi(built, chain=name)
        except ValueError:
            continue  # a chain without C-alpha atoms (ligands, water, nucleic acids)
        out.append(replace(s, path=path, chain=name))
    if not out:
        raise ValueError(f"assembly {wanted} of {path} holds no protein chain (no C-alpha "
                         f"atoms)")
    return out, built


def read_assembly(source, chains=None, *, model=None, min_plddt=None, assembly=None):
    """One side of a complex alignment as an Assembly. `source` is a file (FILE, or
    FILE:CHAIN for one chain), or a list of structures (Structures, FILE:CHAIN names,
    malven.Domains, anything keldascope.align takes), each one chain. `chains` names the
    chains of a file to take (default: every protein chain of the model); `assembly` reads
    an mmCIF file's biological assembly of that name (gemmi builds it)."""
    if isinstance(source, (str, bytes, os.PathLike)):
        text = os.fsdecode(source)
        path, named = split_chain(text)
        notes = []
        if assembly is not None:
            if named is not None:
                raise ValueError(f"{text} names one chain; an assembly is read whole")
            built_chains, built = _assembly_of_file(path, assembly, model)
            if chains is not None:
                by_name = {s.chain: s for s in built_chains}
                missing = [c for c in chains if c not in by_name]
                if missing:
                    raise ValueError(f"assembly {assembly} of {path} has no chain "
                                     f"'{missing[0]}'; it has {', '.join(by_name)}")
                built_chains = [by_name[c] for c in chains]
            return Assembly(tuple(built_chains), path, str(assembly), tuple(notes), built)
        if named is not None:
            if chains is not None:
                raise ValueError(f"{text} names chain '{named}' and the chain list names "
                                 f"others; give one or the other")
            notes.append(f"{text} names one chain: chain {named} alone is aligned")
            chains = [named]
        _, number, listed = chain_listing(path, model)
        names = [name for name, _ in listed]
        _check_count(len(names), path)
        _check_names(names, path)
        split = _split_chain_name(path, number)
        if split is not None:
            raise ValueError(f"{path} has two chains named '{split}' (its C-alpha atoms come "
                             f"in separate runs); each chain of an assembly needs its own name")
        if chains is None:
            chains = names
            if len(names) == 1:
                notes.append(f"{path} holds one protein chain ({names[0]}): it is aligned "
                             f"alone")
        else:
            _check_names(chains, "the chain list")
            for c in chains:
                if c not in names:
                    raise ValueError(f"{path} has no protein chain '{c}'; it has "
                                     f"{', '.join(names)}")
        read = [read_structure(path, c, number, min_plddt) for c in chains]
        return Assembly(tuple(read), path, None, tuple(notes))
    if chains is not None:
        raise ValueError("chains names chains of a file; a list of structures is taken whole")
    items = list(source)
    _check_count(len(items), "the list")
    read = tuple(as_structure(item, model=model, min_plddt=min_plddt) for item in items)
    if not read:
        raise ValueError("an assembly needs at least one chain")
    return Assembly(read)


@dataclass(frozen=True, repr=False)
class ComplexAlignment(Wrapped):
    """Assembly B aligned onto assembly A: the native ComplexResult (transform carrying B
    onto A, tm_score_a and tm_score_b normalised by each assembly's total length, rmsd,
    n_aligned, chain_pairs) read through, beside the two Assemblies. `mapping` names the
    mapped chains; chains of either side may stay unmapped."""
    assembly_a: Assembly
    assembly_b: Assembly
    result: ComplexResult

    def __repr__(self):
        r = self.result
        return (f"ComplexAlignment(a={_shown(self.assembly_a)}, b={_shown(self.assembly_b)}, "
                f"tm_score_a={r.tm_score_a:.4f}, tm_score_b={r.tm_score_b:.4f}, "
                f"rmsd={r.rmsd:.3f}, n_aligned={r.n_aligned}, "
                f"mapping={self.mapping})")

    @property
    def mapping(self):
        """The mapped chains as (name in A, name in B) pairs, in A's order."""
        na, nb = self.assembly_a.names, self.assembly_b.names
        return [(na[i], nb[j]) for i, j in self.result.mapping]

    @property
    def unmapped_a(self):
        mapped = {i for i, _ in self.result.mapping}
        return [n for k, n in enumerate(self.assembly_a.names) if k not in mapped]

    @property
    def unmapped_b(self):
        mapped = {j for _, j in self.result.mapping}
        return [n for k, n in enumerate(self.assembly_b.names) if k not in mapped]

    @property
    def mapping_array(self):
        """The mapping as an (n, 2) int64 array of chain indices (A, B)."""
        return np.array(self.result.mapping, dtype=np.int64).reshape(-1, 2)

    @property
    def alignment_array(self):
        """Every aligned pair as an (n, 4) int64 array: chain of A, residue of that chain,
        chain of B, residue of that chain."""
        rows = [(p.chain_a, i, p.chain_b, j) for p in self.result.chain_pairs
                for i, j in p.alignment]
        return np.array(rows, dtype=np.int64).reshape(-1, 4)

    @property
    def distances(self):
        """The C-alpha distance of every aligned pair (alignment_array's rows) after B is
        moved by the transform, as a float64 array."""
        t = self.result.transform
        out = []
        for p in self.result.chain_pairs:
            pairs = np.array(p.alignment, dtype=np.int64).reshape(-1, 2)
            a = self.assembly_a.chains[p.chain_a].domain.coordinates[pairs[:, 0]]
            b = t.apply(self.assembly_b.chains[p.chain_b].domain.coordinates)[pairs[:, 1]]
            out.append(np.sqrt(((a - b) ** 2).sum(axis=1)))
        return np.concatenate(out) if out else np.zeros(0)


def _shown(assembly):
    return f"'{assembly.path}'" if assembly.path else f"{len(assembly.chains)} chains"


def align_complex(a, b, settings=None, *, chains_a=None, chains_b=None, model=None,
                  min_plddt=None, assembly_a=None, assembly_b=None, **fields):
    """Align assembly `b` onto assembly `a` as complexes and return a ComplexAlignment: one
    superposition, a one-to-one chain mapping (chains may stay unmapped), residue pairs
    within mapped chains. Each of a and b is a file (every protein chain of its model, or
    those `chains_a`/`chains_b` name; FILE:CHAIN for one), an Assembly, or a list of
    structures of one chain each (Structures, FILE:CHAIN names, malven.Domains...).
    `assembly_a`/`assembly_b` read an mmCIF biological assembly. `settings` is a
    ComplexSettings (or its fields as keywords: threads, ...). The native work runs on C++
    threads without the interpreter lock; Ctrl-C stops it."""
    settings = settings_of(ComplexSettings, settings, fields)
    sa = a if isinstance(a, Assembly) else read_assembly(
        a, chains_a, model=model, min_plddt=min_plddt, assembly=assembly_a)
    sb = b if isinstance(b, Assembly) else read_assembly(
        b, chains_b, model=model, min_plddt=min_plddt, assembly=assembly_b)
    result = _native.align_complex([s.domain for s in sa.chains], [s.domain for s in sb.chains],
                                   settings)
    return ComplexAlignment(sa, sb, result)


def write_superposed_assembly(assembly, transform, path):
    """Write every chain and atom of the assembly moved by `transform`: the file's model as
    write_superposed writes it, or a built biological assembly through gemmi (mmCIF, or PDB
    when path ends in .pdb or .pdb.gz)."""
    path = os.fsdecode(path)
    if assembly.gemmi_structure is None:
        if assembly.path is None:
            raise ValueError("the assembly was not read from a file; there is nothing to "
                             "write whole")
        return write_superposed(assembly.chains[0], transform, path)
    import gzip

    gemmi = need_gemmi(f"writing the built biological assembly to {path}")
    st = assembly.gemmi_structure.clone()
    r = [[float(v) for v in row] for row in transform.rotation]
    t = [float(v) for v in transform.translation]
    st[0].transform_pos_and_adp(gemmi.Transform(gemmi.Mat33(r), gemmi.Vec3(*t)))
    plain = path[:-3] if path.lower().endswith(".gz") else path
    if plain.lower().endswith((".pdb", ".ent")):
        data = st.make_pdb_string().encode("utf-8")
    else:
        data = st.make_mmcif_document().as_string().encode("utf-8")
    with atomic_output(path, "wb") as out:
        out.write(gzip.compress(data, mtime=0) if path.lower().endswith(".gz") else data)
    return path


@dataclass(frozen=True, repr=False)
class ComplexHit(Wrapped):
    """One assembly of a database found by a complex search: its rank, its source file and
    model, its entries (indices, in the order of the alignment's B side), and the
    ComplexAlignment of the query (A) and it (B), read through. `score` is the complex
    TM-score normalised by the larger assembly, by which hits rank."""
    rank: int
    path: str
    model: int
    entries: tuple
    alignment: ComplexAlignment

    @property
    def result(self):
        return self.alignment.result

    @property
    def score(self):
        return min(self.result.tm_score_a, self.result.tm_score_b)

    @property
    def mapping(self):
        return self.alignment.mapping

    def __repr__(self):
        r = self.result
        return (f"ComplexHit(rank={self.rank}, path={self.path!r}, model={self.model}, "
                f"score={self.score:.4f}, tm_score_a={r.tm_score_a:.4f}, "
                f"tm_score_b={r.tm_score_b:.4f}, mapping={self.mapping})")


@dataclass(frozen=True, repr=False)
class ComplexSearchResult:
    """A query assembly's hits in a database, best first, and how many assemblies the
    database holds and how many were aligned as complexes."""
    query: Assembly
    hits: list
    n_assemblies: int
    n_aligned: int

    def __repr__(self):
        return (f"ComplexSearchResult(query={_shown(self.query)}, hits={len(self.hits)}, "
                f"n_assemblies={self.n_assemblies}, n_aligned={self.n_aligned})")


@dataclass(frozen=True)
class _AssemblyIndex:
    """A database's assemblies, made once when first searched: their keys ((source, model),
    in entry order), each entry's assembly (a position in keys), each assembly's entries and
    total length."""
    keys: list
    owner: list
    entries: list
    lengths: list


def _assembly_index(db):
    cached = getattr(db, "_complex_index", None)
    if cached is not None:
        return cached
    position, keys, owner, entries, lengths = {}, [], [], [], []
    for k in range(len(db)):
        _, _, source, _, _, model, length = db._db.info(k)
        at = position.setdefault((source, model), len(keys))
        if at == len(keys):
            keys.append((source, model))
            entries.append([])
            lengths.append(0)
        owner.append(at)
        entries[at].append(k)
        lengths[at] += length
    db._complex_index = _AssemblyIndex(keys, owner, entries, lengths)
    return db._complex_index


def database_assemblies(db):
    """The database's entries grouped into assemblies: {(source, model): [entry indices]},
    in entry order (the entries of one source file and model form one assembly)."""
    index = _assembly_index(db)
    return dict(zip(index.keys, index.entries))


def _candidates(q, kinds, found, index):
    """The assemblies the chain searches found, each with its estimate and its seeds: for
    each kind of query chain the best hits among the assembly's entries, one for each copy
    of the kind in the query, their TM-scores (by the query chain) weighted by the chain's
    length and summed over the larger of the two assemblies. That is the complex TM-score by
    the larger assembly that the chains' own best superpositions would give, were they one:
    the complex alignment, one superposition for all, stays near or below it (not strictly:
    its d0 comes from the whole assembly's length, and the chain search may miss a pair), so
    it orders the assemblies without aligning them. The seeds: each (query chain, entry)
    hit's alignment, best first. Only the assemblies hit are visited, never the whole
    database."""
    by_assembly = {}
    for copies, result in zip(kinds.values(), found):
        rep = copies[0]
        for h in result.hits:
            at = index.owner[h.target]
            by_assembly.setdefault(at, []).append((h.tm_score_a, rep, len(copies), h))
    out = []
    for at, hits in by_assembly.items():
        hits.sort(key=lambda x: (-x[0], x[3].target))
        taken, covered = {}, 0.0
        for tm, rep, n_copies, _ in hits:
            if taken.get(rep, 0) < n_copies:
                taken[rep] = taken.get(rep, 0) + 1
                covered += tm * len(q.chains[rep].domain)
        estimate = covered / max(q.length, index.lengths[at])
        entries = index.entries[at]
        seeds = [((rep, entries.index(h.target)), h.alignment) for _, rep, _, h in hits]
        out.append((estimate, at, seeds))
    out.sort(key=lambda c: (-c[0], index.keys[c[1]]))
    return out


def search_complex(db, query, settings=None, *, candidates=20, chain_hits=50, max_hits=None,
                   min_score=0.0, **fields):
    """A query assembly (anything align_complex takes, or an Assembly) against the
    database's assemblies: each kind of query chain (the copies of a homo-oligomer are one)
    is searched once by the database's staged search (`chain_hits` hits at most each), an
    assembly is estimated by the share of the larger assembly its entries' hits cover, the
    best `candidates` by that estimate are aligned as complexes (in parallel, one a thread,
    each seeded by its chain hits' alignments rather than new ones) and ranked by the complex
    TM-score normalised by the larger assembly. A ComplexSearchResult; `settings` a
    ComplexSettings (or its fields) for the complex alignments."""
    settings = settings_of(ComplexSettings, settings, fields)
    q = query if isinstance(query, Assembly) else read_assembly(query)
    index = _assembly_index(db)
    kinds = {}
    for k, s in enumerate(q.chains):
        kinds.setdefault(s.domain.sequence, []).append(k)
    found = db.search([q.chains[copies[0]] for copies in kinds.values()], max_hits=chain_hits,
                      engine_targets=chain_hits, min_score=0.0, threads=settings.threads)
    chosen = _candidates(q, kinds, found, index)[:candidates]
    targets = [[db._db.domain(k) for k in index.entries[at]] for _, at, _ in chosen]
    results = _native.align_complexes([s.domain for s in q.chains], targets,
                                      [seeds for _, _, seeds in chosen], settings) \
        if chosen else []
    hits = sorted(((index.keys[at], at, r) for (_, at, _), r in zip(chosen, results)),
                  key=lambda h: (-min(h[2].tm_score_a, h[2].tm_score_b), h[0]))
    hits = [h for h in hits if min(h[2].tm_score_a, h[2].tm_score_b) >= min_score]
    if max_hits is not None:
        hits = hits[:max_hits]
    ranked = []
    for rank, (key, at, r) in enumerate(hits, 1):
        entries = tuple(index.entries[at])
        target = Assembly(tuple(db[k] for k in entries), key[0])
        ranked.append(ComplexHit(rank, key[0], key[1], entries, ComplexAlignment(q, target, r)))
    return ComplexSearchResult(q, ranked, len(index.keys), len(chosen))


@dataclass(frozen=True)
class ComplexCluster:
    """One cluster of assemblies: its representative's name and its members (the
    representative first) as (name, complex TM-score against the representative)."""
    representative: str
    members: tuple


@dataclass(frozen=True, repr=False)
class ComplexClusterResult:
    clusters: list
    n_assemblies: int
    aligned: int  # complex alignments made

    def pairs(self):
        """(representative, member) for every assembly, clusters in order."""
        return [(c.representative, m) for c in self.clusters for m, _ in c.members]

    def __repr__(self):
        return (f"ComplexClusterResult(assemblies={self.n_assemblies}, "
                f"clusters={len(self.clusters)}, aligned={self.aligned})")


def cluster_complexes(sources, settings=None, *, tm=0.5, model=None, min_plddt=None,
                      progress=None, **fields):
    """Assemblies clustered by the complex TM-score normalised by the larger assembly (the
    smaller of its two normalisations): a greedy set cover in which the largest assembly not
    yet placed takes every one not yet placed that reaches `tm` with it. `sources` are
    files (each one assembly: every protein chain) or Assemblies; a pair whose lengths alone
    keep it below `tm` (the smaller over the larger) is never aligned. `settings` a
    ComplexSettings (or its fields); progress(placed, total) as assemblies are placed."""
    settings = settings_of(ComplexSettings, settings, fields)
    if not 0.0 < tm <= 1.0:
        raise ValueError(f"tm must lie in (0, 1], not {tm}")
    items = [s if isinstance(s, Assembly) else
             read_assembly(s, model=model, min_plddt=min_plddt) for s in sources]
    if not items:
        raise ValueError("no assembly to cluster")
    names = [a.path or f"assembly{k}" for k, a in enumerate(items)]
    order = sorted(range(len(items)), key=lambda k: (-items[k].length, names[k]))
    placed, clusters, aligned = set(), [], 0
    for rep in order:
        if rep in placed:
            continue
        placed.add(rep)
        members = [(names[rep], 1.0)]
        for other in order:
            if other in placed:
                continue
            small, large = sorted((items[rep].length, items[other].length))
            if small / large < tm:
                continue  # a TM-score by the larger cannot pass the share it covers
            r = _native.align_complex([s.domain for s in items[rep].chains],
                                      [s.domain for s in items[other].chains], settings)
            aligned += 1
            score = min(r.tm_score_a, r.tm_score_b)
            if score >= tm:
                placed.add(other)
                members.append((names[other], score))
        clusters.append(ComplexCluster(names[rep], tuple(members)))
        if progress is not None:
            progress(len(placed), len(items))
    return ComplexClusterResult(clusters, len(items), aligned)
