"""The distributed runs themselves: a search of one query against files or a database's
shards, and all-against-all of files, cut into chunks for the runners, the chunks' results
merged into what one search or comparison over all the readable structures gives, in the same
shape (keldascope.SearchResult, keldascope.Comparison)."""
import math
import os

import malven
import numpy as np

from keldascope import _native, parameters
from keldascope._native import CompareSettings, SearchSettings
from keldascope._align import as_structure, settings_of
from keldascope.database import Database, search_settings as database_settings
from keldascope.distributed import runners, workers
from keldascope.distributed.protocol import FileSpec, Reading
from keldascope._resolve import file_sources, items_of, split_chain
from keldascope._search import Comparison, SearchResult
from keldascope.structures import Structure, read_structure


def _skip_flags(skip_unreadable, n):
    if isinstance(skip_unreadable, (bool, np.bool_)):
        return [bool(skip_unreadable)] * n
    flags = [bool(s) for s in skip_unreadable]
    if len(flags) != n:
        raise ValueError(f"skip_unreadable needs one flag per file: {len(flags)} for {n}")
    return flags


def _specs(structures, skip_unreadable):
    """A FileSpec of every file the items name: paths, FILE:CHAIN names, (path, chain)
    pairs, folders (whose files may always be skipped)."""
    items = items_of(structures)
    out = []
    for item, skip in zip(items, _skip_flags(skip_unreadable, len(items))):
        for path, chain, explicit in file_sources(item):
            shown = os.fsdecode(path)
            out.append(FileSpec(os.path.abspath(shown), shown, chain, skip or not explicit))
    return out


def _shards(specs, indices, chunk_size, chunks_for):
    """{index: FileSpec} shards of the given indices, in order."""
    return [{k: specs[k] for k in chunk} for chunk in runners.cut(indices, chunk_size, chunks_for)]


def distributed_search(query, targets, settings=None, *, params=None, client=None,
                       n_workers=None, skip_unreadable=False, chunk_size=None, progress=None,
                       model=None, min_plddt=None, **fields):
    """keldascope.search of a query file against target files, sharded over Dask workers:
    the same hits in the same order as one search over the readable targets in input order
    (a keldascope.SearchResult, its `paths` the targets as given). `settings` a
    SearchSettings or its fields as keywords, `params` a malven.Parameters for the KELDA
    methods. The query is read here, once; each worker reads its shard of targets. With the
    prefilter, the workers first score every target's shape, the best are chosen over the
    whole list, and only those are aligned.
    `client`: a dask.distributed Client, whose workers need malven and the files under the
    same absolute paths; None starts a local cluster of n_workers single-threaded processes
    (default one per usable core) for this call; IN_PROCESS runs here, without Dask.
    `skip_unreadable`: True to list unreadable targets in `skipped` rather than fail, or a
    sequence of one flag per target. `progress(done, total)` is called per completed chunk of
    each round. `model` and `min_plddt` are read_structure's, for every file. An unreadable
    file raises UnreadableStructure naming it; a failed alignment ValueError.
    `targets` may be a keldascope.Database: its shards (chunk_size entries each; default one
    a worker, one in this process) are searched where each worker maps its own, and merged
    to the hits of Database.search; `settings` is then a DatabaseSearchSettings (or a
    SearchSettings, as Database.search takes it)."""
    if isinstance(targets, Database):
        return _database_search(query, targets, database_settings(settings, fields), client,
                                n_workers, chunk_size, progress, Reading.of(model, min_plddt))
    settings = settings_of(SearchSettings, settings, fields)
    params = parameters.to_dict(parameters.coerce(params))
    reading = Reading.of(model, min_plddt)
    specs = _specs(targets, skip_unreadable)
    structure = query_structure(query, reading)
    packed = _native.pack_domain(structure.domain)

    def shown(index):
        return specs[index].shown

    skipped, names, chains, entries, shape = {}, {}, {}, [], None
    chosen = list(range(len(specs)))
    n_aligned = 0
    with runners.runner_for(client, n_workers, max(len(specs), 1)) as runner:
        chunks_for = runners.chunking(runner, settings)
        # As in one process, the shape round runs only when it can leave targets out.
        if _native.prefilter_keep(settings, len(specs)) is not None:
            scores = []
            fixed = (packed, reading, runners.chunk_settings(settings, runner).threads)
            for result in runners.drain(runner, workers.shape_chunk, fixed,
                                        _shards(specs, chosen, chunk_size, chunks_for),
                                        progress, shown):
                scores += result.scores
                skipped.update(result.skipped)
            scores.sort()
            keep = _native.prefilter_keep(settings, len(scores))
            if keep is not None:
                shape = [math.nan] * len(specs)
                for k, v in scores:
                    shape[k] = v
                chosen = [scores[k][0] for k in _native.prefilter_selection(
                    [v for _, v in scores], keep)]
            else:
                chosen = [k for k, _ in scores]
        fixed = (packed, reading, runners.chunk_settings(settings, runner, prefilter=False),
                 params)
        for result in runners.drain(runner, workers.search_chunk, fixed,
                                    _shards(specs, chosen, chunk_size, chunks_for), progress,
                                    shown):
            entries += result.hits
            names.update(result.names)
            chains.update(result.chains)
            n_aligned += result.n_aligned
            skipped.update(result.skipped)
    n_targets = len(specs) - len(skipped)
    return SearchResult(structure, _native.merge_hits(entries, settings, shape, n_targets), names,
                        [spec.shown for spec in specs], n_targets, n_aligned,
                        _native.prefilter_keep(settings, n_targets) if shape else None,
                        [(specs[k].shown, skipped[k]) for k in sorted(skipped)],
                        [specs[k].chain or chains.get(k) for k in range(len(specs))])


def query_structure(query, reading):
    """The query of a distributed search, whatever its targets: a Structure or malven.Domain
    as it is, a file path (FILE or FILE:CHAIN) or a (path, chain) pair read here."""
    if isinstance(query, (Structure, malven.Domain)):
        return as_structure(query)
    if isinstance(query, tuple) and len(query) == 2:
        qpath, qchain = query
    elif isinstance(query, (str, bytes, os.PathLike)):
        qpath, qchain = split_chain(query)
    else:
        raise TypeError(f"the query is a Structure, a malven.Domain, a file path or a (path, "
                        f"chain) pair, not {type(query).__name__}")
    return read_structure(os.fsdecode(qpath), qchain, **reading.options())


def _database_search(query, db, settings, client, n_workers, chunk_size, progress, reading):
    """distributed_search over a database's shards: the first stages on each shard, the
    engine's targets chosen over all of them as one search chooses them, the engine on each
    shard's share, and the hits merged as one search ranks them."""
    structure = query_structure(query, reading)
    packed = [_native.pack_domain(structure.domain)]
    path, n = os.path.abspath(db.path), len(db)
    with runners.runner_for(client, n_workers, max(n, 1)) as runner:
        if chunk_size is not None:
            n_shards = math.ceil(n / runners.checked_chunk_size(chunk_size))
        elif runners.in_process(runner):
            n_shards = 1
        else:
            n_shards = runners.chunking(runner, settings)[0]
        shards = _native.shard_ranges(n, max(1, min(n_shards, n)))
        mine = runners.chunk_settings(settings, runner)
        chosen = []
        if not settings.exhaustive:
            screens = list(runners.run(runner, workers.screen_shard, (path, packed, mine),
                                       shards, progress))
            chosen = _native.choose_for_engine(screens, [structure.domain], n, settings)
        parts = list(runners.run(runner, workers.align_shard, (path, packed, mine, chosen),
                                 shards, progress))
        if not settings.exhaustive:
            # A query whose tail still found homologs goes on deeper, as one search does.
            (_, _, tail), = _native.merge_database_hits(parts, settings)
            more = _native.extend_for_engine(screens, [structure.domain], n, settings, [tail])
            if any(len(m) for m in more):
                parts += list(runners.run(runner, workers.align_shard,
                                          (path, packed, mine, more), shards, progress))
    (hits, n_aligned, _), = _native.merge_database_hits(parts, settings)
    return db.result(structure, hits, n_aligned, settings)


def distributed_compare(structures, settings=None, *, params=None, client=None,
                        n_workers=None, skip_unreadable=False, chunk_size=None, progress=None,
                        model=None, min_plddt=None, **fields):
    """keldascope.compare_all of structure files, its pairs sharded over Dask workers: the
    same matrices as one comparison of the readable files in input order (a
    keldascope.Comparison, its `paths` the files as given, unreadable ones left out and
    listed in `skipped` when skip_unreadable allows). `settings` a CompareSettings or its
    fields as keywords; the other arguments as for distributed_search."""
    settings = settings_of(CompareSettings, settings, fields)
    params = parameters.to_dict(parameters.coerce(params))
    reading = Reading.of(model, min_plddt)
    specs = _specs(structures, skip_unreadable)
    n = len(specs)
    # Every pair of the input, rows in order; each chunk reads the structures it needs (the
    # workers keep them cached) and reports those it cannot read.
    pairs = [(i, j) for i in range(n) for j in range(i, n)]
    members, skipped, cells = {}, {}, []

    with runners.runner_for(client, n_workers, max(len(pairs), 1)) as runner:
        chunks = [({k: specs[k] for pair in c for k in pair}, c)
                  for c in runners.cut(pairs, chunk_size, runners.chunking(runner, settings))]
        fixed = (reading, runners.chunk_settings(settings, runner), params)
        for result in runners.drain(runner, workers.pairs_chunk, fixed, chunks, progress,
                                    lambda k: specs[k].shown):
            members.update(result.members)
            skipped.update(result.skipped)
            cells.append(result.cells)
    kept = [k for k in range(n) if k not in skipped]
    position = {k: p for p, k in enumerate(kept)}
    rows = np.concatenate(cells) if cells else np.zeros((0, 9))
    rows = rows[[int(i) in position and int(j) in position for i, j in rows[:, :2]]] \
        if len(rows) else rows
    rows[:, 0] = [position[int(i)] for i in rows[:, 0]]
    rows[:, 1] = [position[int(j)] for j in rows[:, 1]]
    matrices = _native.comparison_of(len(kept), np.ascontiguousarray(rows))
    return Comparison.of([members[k][0] for k in kept], [specs[k].shown for k in kept],
                         [members[k][1] for k in kept], settings.method, matrices,
                         [(specs[k].shown, skipped[k]) for k in sorted(skipped)],
                         [specs[k].chain or members[k][2] for k in kept])
