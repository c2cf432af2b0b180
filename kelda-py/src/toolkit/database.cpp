// The structure database for the toolkit: its build (on C++ threads, its counters polled from
// another Python thread), a database mapped for reading entry by entry, and its staged search
// with the pieces a search spread over shards needs. Hits cross as the search's SearchHit.
#include <cmath>  // isnan
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "entries.hpp"
#include "numpy.hpp"
#include "records.hpp"
#include "release.hpp"

namespace malven::toolkit {

namespace {

using kelda::Candidate;
using kelda::Database;
using kelda::DatabaseHit;
using kelda::DatabaseSearchResult;
using kelda::DatabaseSearchSettings;
using kelda::SearchHit;

// Database errors carry their whole message (the path, what is wrong with the file).
constexpr ErrorMap database_error{""};

// A search's errors: an entry the database cannot give (damaged, cut short) as the database's
// own message, anything else as a failed scan.
template <class T>
T unwrap_search(kelda::Result<T>&& r) {
  if (!r && r.error().kind == kelda::ErrorKind::Database) raise_core(database_error, r.error());
  return unwrap(std::move(r), on_error::scan);
}

// ---- hits: the database's as the search's, and back ------------------------------------------

SearchHit search_hit(DatabaseHit&& h) {
  SearchHit out;
  out.target = h.entry;
  out.prefilter = h.stages.shape;  // NaN when the shape stage did not see it
  out.result = std::move(h.alignment);
  out.bits = h.bits;
  out.evalue = h.evalue;
  out.prob = h.prob;
  return out;
}

DatabaseHit database_hit(SearchHit h, kelda::SortBy by) {
  DatabaseHit out;
  out.entry = h.target;
  out.rank_score = kelda::database_rank_key(by, h.result);
  out.bits = h.bits;
  out.evalue = h.evalue;
  out.prob = h.prob;
  out.stages.entry = h.target;
  out.stages.length = static_cast<std::uint32_t>(h.result.length_b);
  out.stages.first_stage = std::numeric_limits<float>::quiet_NaN();
  out.stages.shape = static_cast<float>(h.prefilter);
  out.alignment = std::move(h.result);
  return out;
}

// Per query (hits, aligned): SearchHits best first with their ranks and Z-scores as a search's.
Ref query_hits_list(DatabaseSearchResult&& r, const DatabaseSearchSettings& settings) {
  Ref out = check(PyList_New(static_cast<Py_ssize_t>(r.queries.size())));
  for (std::size_t q = 0; q < r.queries.size(); ++q) {
    std::vector<SearchHit> hits;
    hits.reserve(r.queries[q].hits.size());
    for (DatabaseHit& h : r.queries[q].hits) hits.push_back(search_hit(std::move(h)));
    // Already in the database's order (its key, then entry): a stable sort keeps it. The
    // E-values were made among the whole database's entries.
    kelda::rank_hits(hits, settings.max_hits, settings.min_score,
                     settings.sort_by == kelda::SortBy::Score ? kelda::SortBy::Tm : settings.sort_by,
                     std::nullopt);
    Ref list = list_of(hits, [](const SearchHit& h) { return wrap(h); });
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(q),
                    tuple_of({std::move(list),
                              to_py(static_cast<std::uint64_t>(r.queries[q].aligned)),
                              to_py(r.queries[q].tail_tm)})
                        .release());
  }
  return out;
}

// Candidates travel between processes as rows (entry, length, first stage, shape) of a
// float64 array: entries below 2^53 and single-precision scores are exact there.
constexpr Py_ssize_t kCandidateColumns = 4;

Ref candidate_array(const std::vector<Candidate>& cs) {
  std::vector<double> rows;
  rows.reserve(cs.size() * kCandidateColumns);
  for (const Candidate& c : cs)
    for (double v : {static_cast<double>(c.entry), static_cast<double>(c.length),
                     static_cast<double>(c.first_stage), static_cast<double>(c.shape)})
      rows.push_back(v);
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(cs.size()), kCandidateColumns};
  return new_array(shape, rows);
}

std::vector<Candidate> candidates_of(const Matrix& m) {
  if (m.rows() > 0 && m.cols() != kCandidateColumns)
    raise_error(PyExc_ValueError, "candidates must have shape (N, 4), as screen_shard makes them");
  std::vector<Candidate> out(static_cast<std::size_t>(m.rows()));
  for (std::size_t k = 0; k < out.size(); ++k) {
    const auto r = static_cast<Py_ssize_t>(k);
    if (!(m.at(r, 0) >= 0 && m.at(r, 1) >= 0))
      raise_error(PyExc_ValueError, "a candidate's entry and length must not be negative");
    out[k] = {static_cast<std::size_t>(m.at(r, 0)), static_cast<std::uint32_t>(m.at(r, 1)),
              static_cast<float>(m.at(r, 2)), static_cast<float>(m.at(r, 3))};
  }
  return out;
}

std::vector<std::vector<Candidate>> candidate_lists(const std::vector<Matrix>& lists) {
  std::vector<std::vector<Candidate>> out;
  out.reserve(lists.size());
  for (const Matrix& m : lists) out.push_back(candidates_of(m));
  return out;
}

// ---- building ----------------------------------------------------------------------------------

const Signature build_database_sig{
    "build_database", {{"path"}, {"files"}, {"append"}, {"settings"}, opt("progress")}};
Ref build_database(FsPath path, std::vector<FsPath> files, bool append,
                   kelda::BuildSettings settings, std::optional<Shared<BuildCounters>> progress) {
  std::vector<std::string> names;
  names.reserve(files.size());
  for (FsPath& f : files) names.push_back(std::move(f.bytes));
  kelda::BuildProgress* counters = progress ? (*progress)->counters.get() : nullptr;
  auto r = run_released([&](std::stop_token stop) {
    return kelda::build_database(path.bytes, names,
                                 append ? kelda::BuildMode::Append : kelda::BuildMode::Create,
                                 settings, counters, stop);
  });
  return wrap(unwrap(std::move(r), database_error));
}

const Signature open_database_sig{"open_database", {{"path"}, dflt("begin"), opt("end")}};
Ref open_database(FsPath path, std::optional<std::uint64_t> begin,
                  std::optional<std::uint64_t> end) {
  kelda::EntryRange range;
  range.begin = begin.value_or(0);
  if (end) range.end = *end;
  auto r = run_released([&](std::stop_token) { return Database::open(path.bytes, range); });
  return wrap(unwrap(std::move(r), database_error));
}

// ---- searching ---------------------------------------------------------------------------------

const Signature search_database_sig{
    "search_database", {{"db"}, {"queries"}, {"settings"}, opt("progress")}};
Ref search_database(Shared<Database> db, std::vector<kelda::Domain> queries,
                    DatabaseSearchSettings settings,
                    std::optional<Shared<SearchCounters>> progress) {
  kelda::DatabaseSearchProgress* counters = progress ? (*progress)->counters.get() : nullptr;
  auto r = run_released([&](std::stop_token stop) {
    const auto prepared = kelda::prepare_queries(queries, settings.kernel);
    return kelda::search_database(*db, prepared, settings, counters, stop);
  });
  return query_hits_list(unwrap_search(std::move(r)), settings);
}

const Signature screen_shard_sig{"screen_shard", {{"db"}, {"queries"}, {"settings"}}};
Ref screen_shard(Shared<Database> db, std::vector<kelda::Domain> queries,
                 DatabaseSearchSettings settings) {
  auto r = run_released([&](std::stop_token stop) {
    const auto prepared = kelda::prepare_queries(queries, settings.kernel);
    return kelda::screen_shard(*db, prepared, settings, nullptr, stop);
  });
  return list_of(unwrap_search(std::move(r)).queries, candidate_array);
}

const Signature choose_for_engine_sig{
    "choose_for_engine", {{"screens"}, {"queries"}, {"entries"}, {"settings"}}};
Ref choose_for_engine(std::vector<std::vector<Matrix>> screens,
                      std::vector<kelda::Domain> queries, std::uint64_t entries,
                      DatabaseSearchSettings settings) {
  std::vector<kelda::ShardScreen> shards;
  for (const auto& s : screens) shards.push_back({candidate_lists(s)});
  const auto chosen = run_released([&](std::stop_token) {
    const auto prepared = kelda::prepare_queries(queries, settings.kernel);
    return kelda::choose_for_engine(shards, prepared, entries, settings);
  });
  return list_of(chosen, candidate_array);
}

const Signature extend_for_engine_sig{
    "extend_for_engine", {{"screens"}, {"queries"}, {"entries"}, {"settings"}, {"tail_tm"}}};
Ref extend_for_engine(std::vector<std::vector<Matrix>> screens,
                      std::vector<kelda::Domain> queries, std::uint64_t entries,
                      DatabaseSearchSettings settings, std::vector<double> tail_tm) {
  std::vector<kelda::ShardScreen> shards;
  for (const auto& s : screens) shards.push_back({candidate_lists(s)});
  const auto more = run_released([&](std::stop_token) {
    const auto prepared = kelda::prepare_queries(queries, settings.kernel);
    return kelda::extend_for_engine(shards, prepared, entries, settings, tail_tm);
  });
  return list_of(more, candidate_array);
}

const Signature align_shard_sig{"align_shard", {{"db"}, {"queries"}, {"chosen"}, {"settings"}}};
Ref align_shard(Shared<Database> db, std::vector<kelda::Domain> queries,
                std::vector<Matrix> chosen, DatabaseSearchSettings settings) {
  const auto lists = candidate_lists(chosen);
  auto r = run_released([&](std::stop_token stop) {
    const auto prepared = kelda::prepare_queries(queries, settings.kernel);
    return kelda::align_shard(*db, prepared, lists, settings, nullptr, stop);
  });
  return query_hits_list(unwrap_search(std::move(r)), settings);
}

const Signature merge_database_hits_sig{"merge_database_hits", {{"shards"}, {"settings"}}};
Ref merge_database_hits(
    std::vector<std::vector<std::tuple<std::vector<SearchHit>, std::uint64_t, double>>> shards,
    DatabaseSearchSettings settings) {
  std::vector<DatabaseSearchResult> parts;
  for (auto& shard : shards) {
    DatabaseSearchResult& part = parts.emplace_back();
    for (auto& [hits, aligned, tail_tm] : shard) {
      kelda::QueryHits& q = part.queries.emplace_back();
      q.aligned = aligned;
      q.tail_tm = tail_tm;
      for (SearchHit& h : hits) q.hits.push_back(database_hit(std::move(h), settings.sort_by));
    }
    if (part.queries.size() != parts.front().queries.size())
      raise_error(PyExc_ValueError, "every shard must hold the hits of the same queries");
  }
  return query_hits_list(kelda::merge_hits(parts, settings), settings);
}

const Signature shard_ranges_sig{"shard_ranges", {{"size"}, {"n"}}};
Ref shard_ranges(std::uint64_t size, std::uint64_t n) {
  if (n < 1) raise_error(PyExc_ValueError, "a database splits into at least one shard");
  return list_of(kelda::shard_ranges(size, n), [](const kelda::EntryRange& r) {
    return tuple_of({to_py(static_cast<std::uint64_t>(r.begin)),
                     to_py(static_cast<std::uint64_t>(r.end))});
  });
}

// ---- BuildProgress -----------------------------------------------------------------------------

// A counter of the progress record an object shares with the work, as it stands now.
template <class T, auto Counter>
Ref read_counter(const T& p) {
  return to_py(((*p.counters).*Counter).load());
}
template <class T, auto Counter>
PyGetSetDef counter(const char* name, const char* doc) {
  return {name, getter<T, read_counter<T, Counter>>, nullptr, doc, nullptr};
}

using kelda::BuildProgress;
PyGetSetDef progress_getset[] = {
    counter<BuildCounters, &BuildProgress::files_done>("files_done",
                                                       "Files read or skipped so far."),
    counter<BuildCounters, &BuildProgress::entries>("entries", "Entries written so far."),
    counter<BuildCounters, &BuildProgress::skipped>("skipped", "Files skipped so far."),
    counter<BuildCounters, &BuildProgress::files_read>(
        "files_read", "Whether every file is read (a held build then waits for allow_commit())."),
    kEndOfAttributes};

Ref progress_hold(const BuildCounters& p) {
  p.counters->hold_commit.store(true);
  return none();
}
Ref progress_allow_commit(const BuildCounters& p) {
  p.counters->commit_allowed.store(true);
  return none();
}
Ref progress_cancel(const BuildCounters& p) {
  p.counters->cancel.store(true);
  return none();
}

PyMethodDef progress_methods[] = {
    {"hold", (method0<BuildCounters, progress_hold>), METH_NOARGS,
     "hold($self)\n--\n\nMakes the build wait, once every file is read (files_read), for\n"
     "allow_commit() or cancel() before it commits."},
    {"allow_commit", (method0<BuildCounters, progress_allow_commit>), METH_NOARGS,
     "allow_commit($self)\n--\n\nLets a held build commit."},
    {"cancel", (method0<BuildCounters, progress_cancel>), METH_NOARGS,
     "cancel($self)\n--\n\nStops the build at its next file; it keeps nothing (the database\n"
     "as it was, or absent) and ends as a Ctrl-C does."},
    kEndOfMethods};

const Signature progress_new_sig{"BuildProgress.__new__", {}};
BuildCounters progress_new() { return BuildCounters{}; }

// ---- SearchProgress ----------------------------------------------------------------------------

using kelda::DatabaseSearchProgress;
PyGetSetDef search_progress_getset[] = {
    counter<SearchCounters, &DatabaseSearchProgress::scanned>(
        "scanned", "Entries through the first stage so far (each once for all queries)."),
    counter<SearchCounters, &DatabaseSearchProgress::shaped>(
        "shaped", "(query, entry) pairs through the shape strings' alignment so far."),
    counter<SearchCounters, &DatabaseSearchProgress::aligned>(
        "aligned", "(query, entry) pairs through the engine so far."),
    kEndOfAttributes};

const Signature search_progress_new_sig{"SearchProgress.__new__", {}};
SearchCounters search_progress_new() { return SearchCounters{}; }

// ---- MappedDatabase ----------------------------------------------------------------------------

std::size_t mapped_entry(const Database& db, std::uint64_t k) {
  const kelda::EntryRange m = db.mapped();
  if (!m.contains(k))
    raise_error(PyExc_IndexError, "entry " + std::to_string(k) + " is not in the mapped range [" +
                                      std::to_string(m.begin) + ", " + std::to_string(m.end) + ")");
  return static_cast<std::size_t>(k);
}

const Signature entry_sig{"MappedDatabase.entry", {{"k"}}};

Ref db_size(const Database& db) { return to_py(static_cast<std::uint64_t>(db.size())); }
Ref db_residues(const Database& db) { return to_py(db.residues()); }
Ref db_path(const Database& db) { return to_py(db.path()); }
Ref db_mapped(const Database& db) {
  const kelda::EntryRange m = db.mapped();
  return tuple_of({to_py(static_cast<std::uint64_t>(m.begin)),
                   to_py(static_cast<std::uint64_t>(m.end))});
}
Ref db_name(const Database& db, std::uint64_t k) {
  return to_py(std::string(db.name(mapped_entry(db, k))));
}
Ref db_source(const Database& db, std::uint64_t k) {
  return to_py(std::string(db.source(mapped_entry(db, k))));
}
Ref db_info(const Database& db, std::uint64_t k) {
  const kelda::EntryInfo i = unwrap(db.info(mapped_entry(db, k)), database_error);
  return tuple_of({to_py(i.name), to_py(i.chain), to_py(i.source),
                   to_py(std::string(i.format == kelda::StructureFormat::Mmcif ? "mmcif" : "pdb")),
                   to_py(i.compressed), to_py(i.model), to_py(i.length)});
}
Ref db_domain(const Database& db, std::uint64_t k) {
  return wrap(unwrap(db.domain(mapped_entry(db, k)), database_error));
}
const Signature find_sig{"MappedDatabase.find", {{"name"}}};
Ref db_find(const Database& db, std::string name) {
  const auto k = db.find(name);
  return k ? to_py(static_cast<std::uint64_t>(*k)) : none();
}
Ref db_verify(const Database& db) {
  unwrap(run_released([&](std::stop_token) { return db.verify(); }), database_error);
  return none();
}

PyMethodDef db_methods[] = {
    {"name", MALVEN_FASTCALL((method<Database, entry_sig, db_name>)), kFastcall,
     "name($self, k)\n--\n\nEntry k's name, FILE:CHAIN."},
    {"source", MALVEN_FASTCALL((method<Database, entry_sig, db_source>)), kFastcall,
     "source($self, k)\n--\n\nThe structure file entry k was read from, as the build was given it."},
    {"info", MALVEN_FASTCALL((method<Database, entry_sig, db_info>)), kFastcall,
     "info($self, k)\n--\n\n"
     "Entry k as (name, chain, source, format, compressed, model, length), format 'pdb' or\n"
     "'mmcif'."},
    {"domain", MALVEN_FASTCALL((method<Database, entry_sig, db_domain>)), kFastcall,
     "domain($self, k)\n--\n\nEntry k's residues as a malven.Domain (coordinates to 0.001 A)."},
    {"find", MALVEN_FASTCALL((method<Database, find_sig, db_find>)), kFastcall,
     "find($self, name)\n--\n\nThe first mapped entry of that name, or None."},
    {"verify", (method0<Database, db_verify>), METH_NOARGS,
     "verify($self)\n--\n\nChecks every mapped segment's files as they are on disk now against their\n"
     "sizes, headers and checksums (reads them whole)."},
    kEndOfMethods};

PyGetSetDef db_getset[] = {
    computed<Database, db_size>("size", "Entries in the whole database."),
    computed<Database, db_residues>("residues", "Residues in the whole database."),
    computed<Database, db_path>("path", "The database's directory."),
    computed<Database, db_mapped>("mapped", "The entries that can be read, as (begin, end)."),
    kEndOfAttributes};

}  // namespace

PyMethodDef database_functions[] = {
    MALVEN_FUNCTION(
        build_database,
        "build_database(path, files, append, settings, progress=None)\n--\n\n"
        "Reads the structure files (in order) into the database at path, a new one or, with\n"
        "append, after the entries it holds: a BuildReport. Every protein chain of a file is an\n"
        "entry (one with settings.first_chain); files that cannot be read are skipped. A failure\n"
        "or Ctrl-C leaves the database as it was (or absent). progress: a BuildProgress that\n"
        "another thread may read meanwhile."),
    MALVEN_FUNCTION(
        open_database,
        "open_database(path, begin=0, end=None)\n--\n\n"
        "The database at path, its entries [begin, end) mapped (all by default): a\n"
        "MappedDatabase. ValueError for what is no database, a damaged or foreign one, or one\n"
        "of another format version; OSError when it cannot be opened."),
    MALVEN_FUNCTION(
        search_database,
        "search_database(db, queries, settings, progress=None)\n--\n\n"
        "Every query (a malven.Domain) against the mapped entries in one pass: per query\n"
        "(hits, n_aligned), hits SearchHits best first whose target is the entry's index.\n"
        "progress: a SearchProgress whose counters another thread may read meanwhile."),
    MALVEN_FUNCTION(
        screen_shard,
        "screen_shard(db, queries, settings)\n--\n\n"
        "The first stages over a shard: per query its candidates as rows (entry, length,\n"
        "first-stage score, shape score) of a float64 array."),
    MALVEN_FUNCTION(
        choose_for_engine,
        "choose_for_engine(screens, queries, entries, settings)\n--\n\n"
        "The targets the engine aligns per query, chosen over every shard's screen as one\n"
        "search over the database of `entries` chooses them."),
    MALVEN_FUNCTION(
        extend_for_engine,
        "extend_for_engine(screens, queries, entries, settings, tail_tm)\n--\n\n"
        "The targets the engine aligns next per query, given every query's best tail_tm over\n"
        "the shards' first pass: none for a query below engine_extension_tm."),
    MALVEN_FUNCTION(
        align_shard,
        "align_shard(db, queries, chosen, settings)\n--\n\n"
        "The engine on the chosen targets this shard maps (on every entry with exhaustive):\n"
        "per query (hits, n_aligned, tail_tm)."),
    MALVEN_FUNCTION(
        merge_database_hits,
        "merge_database_hits(shards, settings)\n--\n\n"
        "The (hits, n_aligned, tail_tm) of every shard's align_shard merged as one search\n"
        "ranks them."),
    MALVEN_FUNCTION(
        shard_ranges,
        "shard_ranges(size, n)\n--\n\nEntries [0, size) cut into n contiguous (begin, end)."),
    kEndOfMethods,
};

PyTypeObject* create_build_progress_class() {
  return record_class<BuildCounters>(
      {.qualified = "keldascope.BuildProgress",
       .doc = "BuildProgress()\n--\n\nThe counters of a build, read while it runs.",
       .getset = progress_getset,
       .methods = progress_methods,
       .slots = {slot(Py_tp_new, constructor<BuildCounters, progress_new_sig, progress_new>)}});
}

PyTypeObject* create_search_progress_class() {
  return record_class<SearchCounters>(
      {.qualified = "keldascope.SearchProgress",
       .doc = "SearchProgress()\n--\n\nThe counters of a database search, read while it runs.",
       .getset = search_progress_getset,
       .slots = {slot(Py_tp_new, constructor<SearchCounters, search_progress_new_sig,
                                             search_progress_new>)}});
}

PyTypeObject* create_mapped_database_class() {
  return record_class<Database>(
      {.qualified = "keldascope.MappedDatabase",
       .doc = "A structure database mapped for reading (open_database).",
       .getset = db_getset,
       .methods = db_methods});
}

}  // namespace malven::toolkit
