"""Structure databases: built once from structure files (every protein chain an entry),
read and checked when opened, and searched by many queries in one pass, with the hits of
keldascope.search (SearchHits whose `target` is the entry's index)."""
import operator
import os
import threading
import warnings
from collections.abc import Sequence

from keldascope import _native
from keldascope._native import (BuildProgress, BuildSettings,
                                DatabaseSearchSettings, Method, SearchProgress, SearchSettings)
from keldascope._align import as_structure, settings_of
from keldascope._resolve import UnreadableStructureWarning, short_names
from keldascope._search import SearchResult
from keldascope.structures import Structure, find_structure_files, residue_labels

# A superposition, and so any score, needs three pairs: a shorter query would list every
# entry as a hit of TM-score 0.
MIN_QUERY_RESIDUES = 3

# How often a build's counters are read for its progress callback.
POLL_SECONDS = 0.1


class _Column(Sequence):
    """One text of every entry (names, sources), read from the mapping when asked: a
    million-entry database is not copied into lists for a search's results."""

    def __init__(self, read, n):
        self._read, self._n = read, n

    def __len__(self):
        return self._n

    def __getitem__(self, k):
        if isinstance(k, slice):
            return [self._read(i) for i in range(*k.indices(self._n))]
        if k < 0:
            k += self._n
        if not 0 <= k < self._n:
            raise IndexError(f"entry {k} out of range for {self._n} entries")
        return self._read(k)


def search_settings(settings=None, fields=None):
    """The DatabaseSearchSettings a database search runs with: given as such, as its fields,
    or as a keldascope.search's SearchSettings (prefilter off: the engine on every entry; keep
    as engine_targets; max_hits, min_score, sort_by and threads as they are). A database is
    searched by the robust method alone."""
    fields = fields or {}
    if isinstance(settings, SearchSettings) or (settings is None and fields and not
                                                 set(fields) <= _DATABASE_FIELDS):
        s = settings_of(SearchSettings, settings, fields)
        if s.method != Method.ROBUST:
            raise ValueError(f"a database is searched by the robust method, not {s.method!r}")
        return DatabaseSearchSettings(exhaustive=not s.prefilter, engine_targets=s.keep,
                                      max_hits=s.max_hits, min_score=s.min_score,
                                      sort_by=s.sort_by, threads=s.threads)
    return settings_of(DatabaseSearchSettings, settings, fields)


# With `keep`, engine_targets' earlier name, which still sets it (with a DeprecationWarning).
_DATABASE_FIELDS = set(DatabaseSearchSettings().__getstate__()) | {"keep"}


def build(path, files, settings=None, *, append=False, progress=None):
    """Read structure files (paths, in order) into the database at `path`, a new one or with
    `append` one that exists: a BuildReport. `progress(done, total)` is called from another
    thread a few times a second while the build runs, and once when every file is read,
    before the build commits; an exception it raises stops the build and is raised here. A
    failure, Ctrl-C or a raising callback leaves the database as it was (or absent)."""
    settings = settings or BuildSettings()
    path, files = os.fsdecode(path), [os.fsdecode(f) for f in files]
    if progress is None:
        return _native.build_database(path, files, append, settings)
    counters = BuildProgress()
    # The build waits for the last call's word before it commits: a callback that raises,
    # even at the end, leaves nothing (the database as it was, or absent).
    counters.hold()
    finished = threading.Event()
    failure = []

    def poll():
        try:
            while not finished.wait(POLL_SECONDS):
                read = counters.files_read
                progress(counters.files_done, len(files))
                if read:
                    counters.allow_commit()
                    return
        except BaseException as exc:
            failure.append(exc)
            counters.cancel()

    poller = threading.Thread(target=poll, name="malven-build-progress", daemon=True)
    poller.start()
    try:
        report = _native.build_database(path, files, append, settings, counters)
    except BaseException:
        finished.set()
        poller.join()
        if failure:
            raise failure[0] from None
        raise
    finished.set()
    poller.join()
    return report


def _polled(work, report, what):
    """work()'s result, report() called from another thread every POLL_SECONDS while it
    runs (the native counters it reads are atomic) and once at its end."""
    finished = threading.Event()

    def poll():
        while not finished.wait(POLL_SECONDS):
            report()

    poller = threading.Thread(target=poll, name=f"malven-{what}-progress", daemon=True)
    poller.start()
    try:
        out = work()
    finally:
        finished.set()
        poller.join()
    report()
    return out


class Database:
    """A structure database opened for reading (its index, letters and lookup read and checked
    against their checksums on open, each entry's payload checked when it is read):
    len() entries, iteration over their names (FILE:CHAIN), `db[name]` (or `db[index]`) an
    entry as a Structure, and search(). ValueError on open for what is not a database, a
    damaged, swapped or foreign one, or one of another format version; ValueError on reading
    an entry whose payload is damaged or was cut short since the database was opened."""

    def __init__(self, path):
        given = os.fsdecode(path)
        # Absolute: a pickled database opens the same folder in a process started elsewhere.
        self.path = os.path.abspath(given)
        self._db = _native.open_database(given)
        self.report = None  # the BuildReport of create()
        self._tails = None  # the shortest distinct end of every source's path, once asked

    @classmethod
    def create(cls, path, sources, settings=None, *, append=False, progress=None,
               errors="warn", **fields):
        """Build a database from `sources` (structure files, and folders searched
        recursively for PDB and mmCIF files, plain or gzipped) and open it; its `report`
        says what the build did (files that could not be read are skipped and listed there),
        its `special` the files inside folders left out as not regular files (path, reason).
        Each file left out is named in an UnreadableStructureWarning, as `malven createdb`
        warns of it (errors="ignore": none). `settings`: a BuildSettings or its fields
        (model, min_plddt, first_chain, threads)."""
        if errors not in ("warn", "ignore"):
            raise ValueError(f"errors must be 'warn' or 'ignore', not {errors!r}")
        settings = settings_of(BuildSettings, settings, fields)
        special = []
        files = [p for p, _ in find_structure_files([os.fsdecode(s) for s in sources],
                                                    special)]
        report = build(path, files, settings, append=append, progress=progress)
        if errors == "warn":
            for reason in [r for _, r in special] + [f"{p}: {r}" for p, r in report.skipped]:
                warnings.warn(f"skipped: {reason}", UnreadableStructureWarning, stacklevel=2)
        db = cls(path)
        db.report = report
        db.special = special
        return db

    def __reduce__(self):
        return Database, (self.path,)

    def __repr__(self):
        return f"Database({self.path!r}, {len(self)} entries)"

    def __len__(self):
        return self._db.size

    @property
    def residues(self):
        return self._db.residues

    @property
    def names(self):
        """Every entry's name, in entry order (read when asked)."""
        return _Column(self._db.name, len(self))

    @property
    def sources(self):
        """Every entry's structure file as the build was given it."""
        return _Column(self._db.source, len(self))

    def label(self, k):
        """Entry k as FILE:CHAIN by the shortest end of its source's path that no other file
        of the database shares (its name, after the file's stem, may be another file's
        too: a/x.pdb and b/x.pdb both give x:A)."""
        if self._tails is None:
            self._tails = short_names(list(self.sources))
        chain = self._db.info(k)[1].strip()
        return f"{self._tails[k]}:{chain}" if chain else self._tails[k]

    def __iter__(self):
        for k in range(len(self)):
            yield self._db.name(k)

    def __contains__(self, name):
        return isinstance(name, str) and self._db.find(name) is not None

    def index(self, name):
        """The index of the entry named `name`; KeyError naming the database when none is."""
        k = self._db.find(name)
        if k is None:
            raise KeyError(f"no entry named {name!r} in the database {self.path}")
        return k

    def __getitem__(self, key):
        if isinstance(key, str):
            k = self.index(key)
        else:
            try:  # any integer, NumPy's included
                key = operator.index(key)
            except TypeError:
                raise TypeError(f"an entry is named by a str or an int, not "
                                f"{type(key).__name__}") from None
            k = key + len(self) if key < 0 else key
            if not 0 <= k < len(self):
                raise IndexError(f"entry {key} out of range for {len(self)} entries")
        name, chain, source, fmt, compressed, model, _ = self._db.info(k)
        domain = self._db.domain(k)
        return Structure(source, domain, tuple(residue_labels(domain)), fmt, compressed, chain,
                         model)

    def structures(self):
        """Every entry as a Structure, in entry order."""
        for k in range(len(self)):
            yield self[k]

    def verify(self):
        """Check every file as it is on disk now against its size, header and checksum (reads
        the database whole); ValueError naming the first that does not match. Opening checks
        the index, letters and lookup files so, and each entry's payload is checked when it is
        read: this finds damage to payloads no search has read yet."""
        self._db.verify()

    def search(self, queries, settings=None, *, complex=False, progress=None, **fields):
        """Every query (Structures, malven.Domains, file paths, or another Database: its
        every entry) against this database in one pass: one keldascope.SearchResult a query,
        its hits' `target` the entry's index (`names` and `paths` give its name and source).
        `settings`: a DatabaseSearchSettings or its fields (exhaustive, engine_targets, max_hits,
        min_score, threads...), or a SearchSettings as keldascope.search takes it.
        `progress(scanned, aligned)` is called from another thread a few times a second
        while the search runs, and once at its end: the entries through the first stage (of
        len(db), each once for every query; none with exhaustive) and the (query, entry)
        pairs the engine aligned.

        complex=True takes each query as an assembly (a file: every protein chain; a list
        of one-chain structures) against the database's assemblies (the entries of one
        source file and model): one keldascope.ComplexSearchResult a query, `settings` a
        ComplexSettings and keldascope.search_complex's keywords (candidates, max_hits...)."""
        if complex:
            from keldascope.complex import search_complex

            if isinstance(queries, (str, bytes, os.PathLike)):
                queries = [queries]
            return [search_complex(self, q, settings, **fields) for q in queries]
        settings = search_settings(settings, fields)
        qs = list(queries.structures()) if isinstance(queries, Database) else \
            [as_structure(q) for q in queries]
        for q in qs:
            if len(q.domain) < MIN_QUERY_RESIDUES:
                raise ValueError(f"the query {q.path or q.name} has {len(q.domain)} residues: "
                                 f"too short to search with (at least {MIN_QUERY_RESIDUES})")
        domains = [q.domain for q in qs]
        if progress is None:
            found = _native.search_database(self._db, domains, settings)
        else:
            counters = SearchProgress()
            found = _polled(
                lambda: _native.search_database(self._db, domains, settings, counters),
                lambda: progress(counters.scanned, counters.aligned), "search")
        return [self.result(q, hits, n_aligned, settings) for q, (hits, n_aligned, _)
                in zip(qs, found)]

    def search_one(self, query, settings=None, **fields):
        """One query's search (keldascope.search with this database as its targets)."""
        return self.search([query], settings, **fields)[0]

    def result(self, query, hits, n_aligned, settings):
        """A query's hits as a keldascope.SearchResult over this database."""
        return SearchResult(query, hits, self.names, self.sources, len(self), n_aligned,
                            None if settings.exhaustive else n_aligned)

