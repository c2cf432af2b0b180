"""Structure databases: built once from structure files (every protein chain an entry),
memory-mapped when opened, and searched by many queries in one pass, with the hits of
keldascope.search (SearchHits whose `target` is the entry's index)."""
import os
import threading
from collections.abc import Sequence

from keldascope import _native
from keldascope._native import (BuildProgress, BuildSettings,
                                DatabaseSearchSettings, Method, SearchSettings)
from keldascope.align import as_structure, settings_of
from keldascope.resolve import short_names
from keldascope.search import SearchResult
from keldascope.structures import Structure, find_structure_files, residue_labels

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
    or as a keldascope.search's SearchSettings (prefilter off: the engine on every entry; keep,
    max_hits, min_score, sort_by and threads as they are). A database is searched by the
    robust method alone."""
    fields = fields or {}
    if isinstance(settings, SearchSettings) or (settings is None and fields and not
                                                 set(fields) <= _DATABASE_FIELDS):
        s = settings_of(SearchSettings, settings, fields)
        if s.method != Method.ROBUST:
            raise ValueError(f"a database is searched by the robust method, not {s.method!r}")
        return DatabaseSearchSettings(exhaustive=not s.prefilter, keep=s.keep,
                                      max_hits=s.max_hits, min_score=s.min_score,
                                      sort_by=s.sort_by, threads=s.threads)
    return settings_of(DatabaseSearchSettings, settings, fields)


_DATABASE_FIELDS = set(DatabaseSearchSettings().__getstate__())


def build(path, files, settings=None, *, append=False, progress=None):
    """Read structure files (paths, in order) into the database at `path`, a new one or with
    `append` one that exists: a BuildReport. `progress(done, total)` is called from another
    thread a few times a second while the build runs, and once at its end. A failure or
    Ctrl-C leaves the database as it was (or absent)."""
    settings = settings or BuildSettings()
    path, files = os.fsdecode(path), [os.fsdecode(f) for f in files]
    if progress is None:
        return _native.build_database(path, files, append, settings)
    counters = BuildProgress()
    finished = threading.Event()

    def poll():
        while not finished.wait(POLL_SECONDS):
            progress(counters.files_done, len(files))

    poller = threading.Thread(target=poll, name="malven-build-progress", daemon=True)
    poller.start()
    try:
        report = _native.build_database(path, files, append, settings, counters)
    finally:
        finished.set()
        poller.join()
    progress(counters.files_done, len(files))
    return report


class Database:
    """A structure database opened for reading (its files memory-mapped, checked on open):
    len() entries, iteration over their names (FILE:CHAIN), `db[name]` (or `db[index]`) an
    entry as a Structure, and search(). ValueError on open for what is not a database, a
    damaged or foreign one, or one of another format version."""

    def __init__(self, path):
        self.path = os.fsdecode(path)
        self._db = _native.open_database(self.path)
        self.report = None  # the BuildReport of create()
        self._tails = None  # the shortest distinct end of every source's path, once asked

    @classmethod
    def create(cls, path, sources, settings=None, *, append=False, progress=None, **fields):
        """Build a database from `sources` (structure files, and folders searched
        recursively for PDB and mmCIF files, plain or gzipped) and open it; its `report`
        says what the build did (files that could not be read are skipped and listed there),
        its `special` the files inside folders left out as not regular files (path, reason). `settings`: a
        BuildSettings or its fields (model, min_plddt, first_chain, threads)."""
        settings = settings_of(BuildSettings, settings, fields)
        special = []
        files = [p for p, _ in find_structure_files([os.fsdecode(s) for s in sources],
                                                    special)]
        report = build(path, files, settings, append=append, progress=progress)
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
        elif isinstance(key, int):
            k = key + len(self) if key < 0 else key
            if not 0 <= k < len(self):
                raise IndexError(f"entry {key} out of range for {len(self)} entries")
        else:
            raise TypeError(f"an entry is named by a str or an int, not {type(key).__name__}")
        name, chain, source, fmt, compressed, model, _ = self._db.info(k)
        domain = self._db.domain(k)
        return Structure(source, domain, tuple(residue_labels(domain)), fmt, compressed, chain,
                         model)

    def structures(self):
        """Every entry as a Structure, in entry order."""
        for k in range(len(self)):
            yield self[k]

    def verify(self):
        """Check every file's payload against its checksum (reads the database whole);
        ValueError naming the first that does not match."""
        self._db.verify()

    def search(self, queries, settings=None, **fields):
        """Every query (Structures, malven.Domains, file paths, or another Database: its
        every entry) against this database in one pass: one keldascope.SearchResult a query,
        its hits' `target` the entry's index (`names` and `paths` give its name and source).
        `settings`: a DatabaseSearchSettings or its fields (exhaustive, keep, max_hits,
        min_score, threads...), or a SearchSettings as keldascope.search takes it."""
        settings = search_settings(settings, fields)
        qs = list(queries.structures()) if isinstance(queries, Database) else \
            [as_structure(q) for q in queries]
        found = _native.search_database(self._db, [q.domain for q in qs], settings)
        return [self.result(q, hits, n_aligned, settings) for q, (hits, n_aligned)
                in zip(qs, found)]

    def search_one(self, query, settings=None, **fields):
        """One query's search (keldascope.search with this database as its targets)."""
        return self.search([query], settings, **fields)[0]

    def result(self, query, hits, n_aligned, settings):
        """A query's hits as a keldascope.SearchResult over this database."""
        return SearchResult(query, hits, self.names, self.sources, len(self), n_aligned,
                            None if settings.exhaustive else n_aligned)

