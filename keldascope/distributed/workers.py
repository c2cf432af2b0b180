"""The worker side of distributed runs: each chunk reads its own files (through a small cache)
or maps its own shard of a database, and returns one record of keldascope.distributed.protocol."""
import os
import threading
from collections import OrderedDict

from keldascope import _native, parameters
from keldascope.distributed.protocol import (ALIGN, SCAN, UNREADABLE, Failure, PairCells,
                                             ShapeScores, TargetHits)
from keldascope.structures import UnreadableStructure, read_domain

_cache = OrderedDict()
_cache_lock = threading.Lock()
CACHE_SIZE = 512


def _read(spec, reading):
    """(domain, None) or (None, message naming the file as the caller named it). Structures
    read again and again (targets of both rounds of a search, members of many pairs) stay in
    a small per-process cache, keyed by their modification time so that a rewritten file is
    read anew."""
    path, shown, chain = spec.path, spec.shown, spec.chain
    key = None
    try:
        st = os.stat(path)
        key = (path, chain, reading, st.st_mtime_ns, st.st_size)
    except OSError:
        pass
    if key is not None:
        with _cache_lock:
            if key in _cache:
                _cache.move_to_end(key)
                return _cache[key], None
    try:
        domain = read_domain(path, chain, **reading.options())
    except UnreadableStructure as exc:
        return None, str(exc).replace(path, shown) if path != shown else str(exc)
    if key is not None:
        with _cache_lock:
            _cache[key] = domain
            while len(_cache) > CACHE_SIZE:
                _cache.popitem(last=False)
    return domain, None


def _read_shard(specs, reading, out):
    """The structures of a shard, specs {index: FileSpec}, as {index: domain}; the skipped
    ones and the first failure noted in `out` (a ChunkResult). A failure stops the shard:
    the run fails anyway."""
    domains = {}
    for k, spec in specs.items():
        domain, reason = _read(spec, reading)
        if reason is None:
            domains[k] = domain
        elif spec.skippable:
            out.skipped.append((k, reason))
        else:
            out.failure = Failure(k, reason, UNREADABLE)
            break
    return domains


def shape_chunk(query, reading, threads, specs):
    """The prefilter's normalised shape scores of one shard of targets against the query
    (a packed domain)."""
    out = ShapeScores()
    domains = _read_shard(specs, reading, out)
    if out.failure is None and domains:
        q = _native._restore("Domain", query)
        out.scores = list(zip(domains, _native.shape_scores(q, list(domains.values()),
                                                             threads=threads)))
    return out


def search_chunk(query, reading, settings, params, specs):
    """The engine's best hits of one shard of targets against the query, as the whole search
    reports them (the shards' best hold the best of all)."""
    out = TargetHits()
    domains = _read_shard(specs, reading, out)
    if out.failure is not None or not domains:
        return out
    q = _native._restore("Domain", query)
    indices, params = list(domains), parameters.from_dict(params)
    try:
        hits, out.n_aligned, _ = _native.search(q, list(domains.values()), settings, params)
    except ValueError:
        # The targets one by one, to name the first that fails.
        for k, domain in domains.items():
            try:
                _native.search(q, [domain], settings, params)
            except ValueError as exc:
                out.failure = Failure(k, str(exc), SCAN)
                return out
        raise
    for h in hits:
        k = indices[h.target]
        out.hits.append((k, h))
        out.names[k] = domains[k].id
        out.chains[k] = domains[k].chain
    return out


def _shard_queries(path, packed, shard):
    """A database shard (entries [begin, end)) mapped in this process, and the queries."""
    begin, end = shard
    return (_native.open_database(path, begin, end),
            [_native._restore("Domain", q) for q in packed])


def screen_shard(path, packed, settings, shard):
    """The first stages over one shard of a database: per query its candidates."""
    db, queries = _shard_queries(path, packed, shard)
    return _native.screen_shard(db, queries, settings)


def align_shard(path, packed, settings, chosen, shard):
    """The engine on the chosen targets one shard of a database holds: per query (hits,
    n_aligned)."""
    db, queries = _shard_queries(path, packed, shard)
    return _native.align_shard(db, queries, chosen, settings)


def pairs_chunk(reading, settings, params, chunk):
    """The engine on one shard of pairs, chunk = ({index: FileSpec}, [(i, j)], j onto i)."""
    specs, pairs = chunk
    out = PairCells()
    domains = _read_shard(specs, reading, out)
    out.members = {k: (d.id, len(d), d.chain) for k, d in domains.items()}
    if out.failure is not None:
        return out
    members = list(domains)
    local = {k: n for n, k in enumerate(members)}
    done = [(local[i], local[j]) for i, j in pairs if i in local and j in local]
    params = parameters.from_dict(params)
    ds = list(domains.values())
    try:
        cells = _native.score_pairs(ds, done, settings, params)
    except ValueError:
        # The pairs one by one, to name the first that fails.
        for i, j in done:
            try:
                _native.score_pairs(ds, [(i, j)], settings, params)
            except ValueError as exc:
                out.failure = Failure(members[j], f"alignment of {specs[members[i]].shown} "
                                                  f"with {specs[members[j]].shown} failed: "
                                                  f"{exc}", ALIGN)
                return out
        raise
    # Back to the positions in the whole list.
    cells[:, 0] = [members[int(i)] for i in cells[:, 0]]
    cells[:, 1] = [members[int(j)] for j in cells[:, 1]]
    out.cells = cells
    return out
