// The result classes of the toolkit: a pair's alignment (PairResult, with its Placement), a
// search hit (its PairResult's fields read through), an all-against-all comparison and a
// multiple alignment. Read-only; hits and pair results pickle as packed records (they travel
// back from worker processes).
#include <cmath>    // isnan
#include <cstring>  // memcpy
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "entries.hpp"
#include "format.hpp"
#include "numpy.hpp"
#include "records.hpp"

namespace malven::toolkit {

namespace {

using kelda::Comparison;
using kelda::MultipleResult;
using kelda::MsaLddt;
using kelda::PairOutcome;
using kelda::PairResult;
using kelda::Placement;
using kelda::SearchHit;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The toolkit has no RMSD sentinels: NaN where there is no superposition to measure (in the
// matrices), None for one pair, whose status says why.
double measured_rmsd(const PairOutcome& o) { return o.aligned() ? o.rmsd : kNaN; }

Ref optional_number(double v) { return std::isnan(v) ? none() : to_py(v); }
Ref optional_rmsd(const PairOutcome& o) { return optional_number(measured_rmsd(o)); }

// ---- the fields of a PairResult, read from any record that holds one -----------------------

template <class T>
const PairResult& result_of(const T& t) {
  if constexpr (std::is_same_v<T, PairResult>)
    return t;
  else
    return t.result;
}

template <class T> Ref r_aligned(const T& t) { return to_py(result_of(t).aligned()); }
template <class T> Ref r_transform(const T& t) { return wrap(result_of(t).outcome.transform); }
template <class T> Ref r_rmsd(const T& t) { return optional_rmsd(result_of(t).outcome); }
template <class T> Ref r_n_aligned(const T& t) { return to_py(result_of(t).outcome.n_aligned()); }
template <class T> Ref r_score(const T& t) { return to_py(result_of(t).score()); }
template <class T> Ref r_placement(const T& t) {
  const auto& p = result_of(t).placement;
  return p ? wrap(*p) : none();
}

const Signature tm_score_sig{"PairResult.tm_score", {dflt("by")}};
template <class T>
Ref r_tm_score(const T& t, std::optional<kelda::NormaliseBy> by) {
  return to_py(result_of(t).tm_score(by.value_or(kelda::NormaliseBy::Longer)));
}

// The arguments after T: the path of members from T to its PairResult (none for a PairResult,
// else with a trailing comma).
#define PAIR_RESULT_FIELDS(T, ...)                                                                 \
  member<T, __VA_ARGS__ &PairResult::method>("method", "The method that aligned the pair."),      \
      member<T, __VA_ARGS__ &PairResult::outcome, &PairOutcome::status>(                          \
          "status", "How far the alignment got (a PairStatus)."),                                  \
      computed<T, r_aligned<T>>("aligned", "Whether the pairs were superposed."),                  \
      member<T, __VA_ARGS__ &PairResult::outcome, &PairOutcome::pairs>(                           \
          "pairs",                                                                                 \
          "The pairs reported, (i of A, j of B): for the robust method those within 5 A after\n"   \
          "the superposition, for the KELDA methods the equivalent pairs."),                       \
      member<T, __VA_ARGS__ &PairResult::alignment>("alignment", "Every aligned pair."),          \
      computed<T, r_transform<T>>("transform", "The malven.Transform carrying B onto A."),         \
      computed<T, r_rmsd<T>>(                                                                      \
          "rmsd",                                                                                  \
          "RMSD over the pairs after superposition; None when nothing was superposed (status\n"    \
          "says why)."),                                                                           \
      member<T, __VA_ARGS__ &PairResult::outcome, &PairOutcome::sc>("sc", "The KELDA score Sc."), \
      member<T, __VA_ARGS__ &PairResult::outcome, &PairOutcome::identity>(                        \
          "identity", "Sequence identity over the pairs, a fraction."),                            \
      computed<T, r_n_aligned<T>>("n_aligned", "The number of pairs."),                            \
      member<T, __VA_ARGS__ &PairResult::tm_score_a>(                                             \
          "tm_score_a", "The alignment's TM-score normalised by A (d0 from A's length)."),         \
      member<T, __VA_ARGS__ &PairResult::tm_score_b>("tm_score_b", "... normalised by B."),       \
      member<T, __VA_ARGS__ &PairResult::length_a>("length_a", "A's residues."),                  \
      member<T, __VA_ARGS__ &PairResult::length_b>("length_b", "B's residues."),                  \
      member<T, __VA_ARGS__ &PairResult::same_fold>(                                              \
          "same_fold",                                                                             \
          "The same-fold rule: TM-score by the longer structure or Sc above its threshold."),      \
      computed<T, r_score<T>>(                                                                     \
          "score",                                                                                 \
          "The method's own score, by which jobs rank and cluster: the TM-score normalised by\n"   \
          "the longer structure (robust), Sc (KELDA)."),                                           \
      computed<T, r_placement<T>>(                                                                 \
          "placement",                                                                             \
          "Where the KELDA scan mode's placement put B before its refinement (a Placement),\n"     \
          "or None.")

#define TM_SCORE_METHOD(T, doc_name)                                                        \
  {"tm_score", MALVEN_FASTCALL((method<T, tm_score_sig, r_tm_score<T>>)), kFastcall,        \
   doc_name "($self, by=NormaliseBy.LONGER)\n--\n\n"                                        \
            "The TM-score normalised by the chosen structure's length (equal lengths: A's)."}

// ---- packing: hits and results as bytes, for pickling --------------------------------------

constexpr char kPackTag[] = "malven-toolkit-record-1";

class Packer {
 public:
  template <class V>
  void raw(const V& v) {
    static_assert(std::is_trivially_copyable_v<V>);
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  void outcome(const PairOutcome& o) {
    pairs(o.pairs);
    raw(o.transform);
    raw(o.rmsd), raw(o.sc), raw(o.identity), raw(o.status);
  }
  void pairs(const std::vector<kelda::ResiduePair>& ps) {
    raw(static_cast<std::uint64_t>(ps.size()));
    for (const auto& [i, j] : ps) raw(i), raw(j);
  }
  void result(const PairResult& r) {
    raw(r.method);
    outcome(r.outcome);
    pairs(r.alignment);
    raw(r.tm_score_a), raw(r.tm_score_b);
    raw(static_cast<std::uint64_t>(r.length_a)), raw(static_cast<std::uint64_t>(r.length_b));
    raw(r.same_fold);
    raw(r.placement.has_value());
    if (r.placement) {
      outcome(r.placement->outcome);
      raw(r.placement->swapped);
    }
  }
  void text(const std::string& t) {
    raw(static_cast<std::uint64_t>(t.size()));
    out += t;
  }
  void domain(const kelda::Domain& d) {
    text(d.id), text(d.pdb_file);
    raw(d.chain), raw(d.has_dssp);
    raw(static_cast<std::uint64_t>(d.residues.size()));
    for (const kelda::Residue& r : d.residues) {
      text(r.label);
      raw(r.x), raw(r.y), raw(r.z), raw(r.accessibility), raw(r.aa), raw(r.ss), raw(r.index);
    }
  }
  std::string out = kPackTag;
};

class Unpacker {
 public:
  explicit Unpacker(std::string_view in) : in_(in) {
    if (in_.substr(0, sizeof kPackTag - 1) != kPackTag) bad();
    at_ = sizeof kPackTag - 1;
  }
  template <class V>
  V raw() {
    if (in_.size() - at_ < sizeof(V)) bad();
    V v;
    std::memcpy(&v, in_.data() + at_, sizeof v);
    at_ += sizeof v;
    return v;
  }
  std::vector<kelda::ResiduePair> pairs() {
    const auto n = raw<std::uint64_t>();
    if (n > (in_.size() - at_) / (2 * sizeof(std::uint64_t))) bad();
    std::vector<kelda::ResiduePair> out(n);
    for (auto& [i, j] : out) i = raw<std::uint64_t>(), j = raw<std::uint64_t>();
    return out;
  }
  PairOutcome outcome() {
    PairOutcome o;
    o.pairs = pairs();
    o.transform = raw<kelda::Transform>();
    o.rmsd = raw<double>(), o.sc = raw<double>(), o.identity = raw<double>();
    o.status = checked<kelda::PairStatus>(2);
    return o;
  }
  PairResult result() {
    PairResult r;
    r.method = checked<kelda::Method>(3);
    r.outcome = outcome();
    r.alignment = pairs();
    r.tm_score_a = raw<double>(), r.tm_score_b = raw<double>();
    r.length_a = raw<std::uint64_t>(), r.length_b = raw<std::uint64_t>();
    r.same_fold = raw<bool>();
    if (raw<bool>()) r.placement = Placement{outcome(), raw<bool>()};
    return r;
  }
  std::string text() {
    const auto n = raw<std::uint64_t>();
    if (n > in_.size() - at_) bad();
    std::string t(in_.substr(at_, n));
    at_ += n;
    return t;
  }
  kelda::Domain domain() {
    kelda::Domain d;
    d.id = text(), d.pdb_file = text();
    d.chain = raw<kelda::Char>(), d.has_dssp = raw<bool>();
    const auto n = raw<std::uint64_t>();
    if (n > in_.size() - at_) bad();
    d.residues.resize(n);
    for (kelda::Residue& r : d.residues) {
      r.label = text();
      r.x = raw<double>(), r.y = raw<double>(), r.z = raw<double>();
      r.accessibility = raw<double>();
      r.aa = raw<kelda::Char>(), r.ss = raw<kelda::Char>();
      r.index = raw<std::uint32_t>();
    }
    return d;
  }
  void finish() {
    if (at_ != in_.size()) bad();
  }

 private:
  template <class E>
  E checked(unsigned max) {
    const E e = raw<E>();
    if (static_cast<unsigned>(e) > max) bad();
    return e;
  }
  [[noreturn]] static void bad() { raise_error(PyExc_ValueError, "not a packed toolkit record"); }
  std::string_view in_;
  std::size_t at_ = 0;
};

Ref reduced(const char* kind, std::string packed) {
  Ref module = check(PyImport_ImportModule("keldascope._native"));
  Ref restore = check(PyObject_GetAttrString(module.get(), "_restore"));
  return tuple_of({std::move(restore), tuple_of({to_py(std::string(kind)), to_py_bytes(packed)})});
}

Ref result_reduce(const PairResult& r) {
  Packer p;
  p.result(r);
  return reduced("PairResult", std::move(p.out));
}

Ref hit_reduce(const SearchHit& h) {
  Packer p;
  p.raw(static_cast<std::uint64_t>(h.target));
  p.raw(h.rank);
  p.raw(h.z_score.has_value());
  p.raw(h.z_score.value_or(0.0));
  p.raw(h.prefilter);
  p.raw(h.bits);
  p.raw(h.evalue);
  p.raw(h.prob);
  p.result(h.result);
  return reduced("SearchHit", std::move(p.out));
}

// ---- PairResult ---------------------------------------------------------------------------

Ref result_repr(const PairResult& r) {
  const char* method = member_name(r.method);
  return to_py("PairResult(method=" + std::string(method) + ", tm_score_a=" +
               fixed(r.tm_score_a, 4) + ", tm_score_b=" + fixed(r.tm_score_b, 4) +
               ", sc=" + fixed(r.outcome.sc, 4) + ", n_aligned=" +
               std::to_string(r.outcome.n_aligned()) + ")");
}

PyGetSetDef result_getset[] = {PAIR_RESULT_FIELDS(PairResult), kEndOfAttributes};
PyMethodDef result_methods[] = {
    TM_SCORE_METHOD(PairResult, "tm_score"),
    {"__reduce__", (method0<PairResult, result_reduce>), METH_NOARGS, nullptr},
    kEndOfMethods};

// ---- Placement ----------------------------------------------------------------------------

Ref placement_rmsd(const Placement& p) { return optional_rmsd(p.outcome); }
Ref placement_n(const Placement& p) { return to_py(p.outcome.n_aligned()); }
Ref placement_transform(const Placement& p) { return wrap(p.outcome.transform); }
Ref placement_repr(const Placement& p) {
  return to_py("Placement(sc=" + fixed(p.outcome.sc, 4) + ", n_aligned=" +
               std::to_string(p.outcome.n_aligned()) +
               ", swapped=" + (p.swapped ? "True" : "False") + ")");
}

PyGetSetDef placement_getset[] = {
    member<Placement, &Placement::outcome, &PairOutcome::sc>("sc", "Sc of the placement."),
    computed<Placement, placement_rmsd>("rmsd",
                                        "RMSD of its pairs; None when nothing was superposed."),
    computed<Placement, placement_n>("n_aligned", "Its equivalent pairs."),
    member<Placement, &Placement::outcome, &PairOutcome::identity>("identity",
                                                                   "Identity over them."),
    member<Placement, &Placement::swapped>(
        "swapped", "A was placed onto B (B too short to be placed under A), the motion inverted."),
    computed<Placement, placement_transform>("transform", "B onto A."),
    kEndOfAttributes};

// ---- SearchHit ----------------------------------------------------------------------------

// A score that is NaN where it was not computed, read as None there.
template <double SearchHit::*Score>
Ref hit_optional(const SearchHit& h) {
  return optional_number(h.*Score);
}
Ref hit_result(const SearchHit& h) { return wrap(h.result); }
Ref hit_repr(const SearchHit& h) {
  return to_py("SearchHit(target=" + std::to_string(h.target) + ", rank=" + std::to_string(h.rank) +
               ", score=" + fixed(h.score(), 4) + ")");
}

// The hit's alignment as the field's tabular output (BLAST's, Foldseek's) counts it: its
// columns run from the first aligned pair to the last, each residue between two pairs
// against a gap in a column of its own; positions count from 1. A gap in the target (a query
// residue alone) is an insertion, one in the query a deletion, as SAM counts a read against
// its reference.
struct AlignmentSpan {
  std::uint64_t columns = 0, gap_opens = 0;
  std::string cigar;
};

AlignmentSpan span_of(const std::vector<kelda::ResiduePair>& pairs) {
  AlignmentSpan s;
  char op = 0;
  std::uint64_t run = 0;
  auto emit = [&](char next, std::uint64_t n) {
    if (n == 0) return;
    if (next != op && run > 0) s.cigar += std::to_string(run) + op, run = 0;
    if (next != op && next != 'M') ++s.gap_opens;
    op = next, run += n, s.columns += n;
  };
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    if (k > 0) {
      emit('I', pairs[k].first - pairs[k - 1].first - 1);
      emit('D', pairs[k].second - pairs[k - 1].second - 1);
    }
    emit('M', 1);
  }
  if (run > 0) s.cigar += std::to_string(run) + op;
  return s;
}

Ref one_based(const std::vector<kelda::ResiduePair>& pairs, bool last, bool target) {
  if (pairs.empty()) return none();
  const auto& p = last ? pairs.back() : pairs.front();
  return to_py((target ? p.second : p.first) + 1);
}
Ref hit_qstart(const SearchHit& h) { return one_based(h.result.alignment, false, false); }
Ref hit_qend(const SearchHit& h) { return one_based(h.result.alignment, true, false); }
Ref hit_tstart(const SearchHit& h) { return one_based(h.result.alignment, false, true); }
Ref hit_tend(const SearchHit& h) { return one_based(h.result.alignment, true, true); }
Ref hit_alnlen(const SearchHit& h) { return to_py(span_of(h.result.alignment).columns); }
Ref hit_gapopen(const SearchHit& h) { return to_py(span_of(h.result.alignment).gap_opens); }
Ref hit_cigar(const SearchHit& h) { return to_py(span_of(h.result.alignment).cigar); }
Ref hit_u(const SearchHit& h) {
  const auto& r = h.result.outcome.transform.rotation;
  return tuple_of({to_py(r[0][0]), to_py(r[0][1]), to_py(r[0][2]), to_py(r[1][0]),
                   to_py(r[1][1]), to_py(r[1][2]), to_py(r[2][0]), to_py(r[2][1]),
                   to_py(r[2][2])});
}
Ref hit_t(const SearchHit& h) {
  const auto& t = h.result.outcome.transform.translation;
  return tuple_of({to_py(t[0]), to_py(t[1]), to_py(t[2])});
}

PyGetSetDef hit_getset[] = {
    member<SearchHit, &SearchHit::target>("target", "The target's position in the list."),
    member<SearchHit, &SearchHit::rank>("rank", "Rank among the hits, from 1."),
    member<SearchHit, &SearchHit::z_score>(
        "z_score", "Z-score of its score among the hits reported, or None."),
    computed<SearchHit, hit_optional<&SearchHit::prefilter>>(
        "prefilter",
        "Its normalised shape score (1 for a copy of the query), or None when the prefilter\n"
        "did not run."),
    computed<SearchHit, hit_result>(
        "result",
        "The PairResult of the query (A) and the target (B), whose fields the hit also has."),
    computed<SearchHit, hit_optional<&SearchHit::evalue>>(
        "evalue",
        "The number of unrelated targets expected to score as well in a search of this many\n"
        "targets (the null model's); None without TM-scores."),
    computed<SearchHit, hit_optional<&SearchHit::bits>>(
        "bits",
        "The bit score, -log2 of the chance that an unrelated pair scores as well\n"
        "(evalue = targets x 2^-bits); None without TM-scores."),
    computed<SearchHit, hit_optional<&SearchHit::prob>>(
        "prob",
        "The probability that the query and the target share a SCOP superfamily; None\n"
        "without TM-scores."),
    PAIR_RESULT_FIELDS(SearchHit, &SearchHit::result,),
    computed<SearchHit, hit_qstart>(
        "qstart", "The query's first aligned residue, counted from 1 (None without an alignment)."),
    computed<SearchHit, hit_qend>("qend", "The query's last aligned residue."),
    computed<SearchHit, hit_tstart>("tstart", "The target's first aligned residue."),
    computed<SearchHit, hit_tend>("tend", "The target's last aligned residue."),
    computed<SearchHit, hit_alnlen>(
        "alnlen", "Columns of the alignment from its first pair to its last, gaps included."),
    computed<SearchHit, hit_gapopen>(
        "gapopen",
        "Gaps opened in the alignment (runs of residues of one structure against a gap)."),
    computed<SearchHit, hit_cigar>(
        "cigar",
        "The alignment as a CIGAR string: M a pair, I a query residue against a gap, D a\n"
        "target residue against a gap."),
    member<SearchHit, &SearchHit::result, &PairResult::length_a>("qlen", "The query's residues."),
    member<SearchHit, &SearchHit::result, &PairResult::length_b>("tlen", "The target's residues."),
    computed<SearchHit, hit_u>(
        "u", "The rotation moving the target onto the query, nine numbers row by row."),
    computed<SearchHit, hit_t>("t",
                               "The translation after that rotation: x_query = u x_target + t."),
    kEndOfAttributes};
PyMethodDef hit_methods[] = {TM_SCORE_METHOD(SearchHit, "tm_score"),
                             {"__reduce__", (method0<SearchHit, hit_reduce>), METH_NOARGS, nullptr},
                             kEndOfMethods};

// ---- Comparison ---------------------------------------------------------------------------

Ref square(const std::vector<double>& values, std::size_t n) {
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(n)};
  return new_array(shape, values);
}
// One of the comparison's n x n matrices, held row by row.
template <std::vector<double> Comparison::*Matrix>
Ref cmp_matrix(const Comparison& c) {
  return square(c.*Matrix, c.n);
}

PyGetSetDef comparison_getset[] = {
    member<Comparison, &Comparison::n>("n", "The structures compared."),
    computed<Comparison, cmp_matrix<&Comparison::tm>>(
        "tm", "n x n TM-scores: [i, j] normalised by structure i."),
    computed<Comparison, cmp_matrix<&Comparison::tm_longer>>(
        "tm_longer",
        "n x n TM-scores normalised by the longer structure of each pair (symmetric)."),
    computed<Comparison, cmp_matrix<&Comparison::sc>>("sc", "n x n Sc (symmetric)."),
    computed<Comparison, cmp_matrix<&Comparison::rmsd>>(
        "rmsd", "n x n RMSD (symmetric; NaN where nothing was superposed)."),
    computed<Comparison, cmp_matrix<&Comparison::score>>(
        "score", "n x n of the method's own score (symmetric), which the tree is built over."),
    computed<Comparison, cmp_matrix<&Comparison::n_aligned>>(
        "n_aligned", "n x n aligned pairs (symmetric), as floats."),
    kEndOfAttributes};

// ---- MsaResult ----------------------------------------------------------------------------

Ref numbers(const std::vector<double>& values) {
  const Py_ssize_t shape[1] = {static_cast<Py_ssize_t>(values.size())};
  return new_array(shape, values);
}
Ref msa_transforms(const MultipleResult& m) {
  return list_of(m.transforms, [](const kelda::Transform& t) { return wrap(t); });
}
Ref msa_n_columns(const MultipleResult& m) { return to_py(m.columns.size()); }
Ref msa_n_core(const MultipleResult& m) { return to_py(m.core_positions.size()); }
Ref msa_scheme(const MultipleResult& m) {
  return m.pipeline == kelda::MsaPipeline::Scalable ? to_py(m.scheme) : none();
}
Ref msa_column_lddt(const MultipleResult& m) { return numbers(m.lddt.columns); }
Ref msa_lddt_record(const MultipleResult& m) { return wrap(MsaLddt(m.lddt)); }
Ref msa_repr(const MultipleResult& m) {
  const char* pipeline = member_name(m.pipeline);
  return to_py("MsaResult(pipeline=" + std::string(pipeline) + ", n_columns=" +
               std::to_string(m.columns.size()) + ", n_core=" +
               std::to_string(m.core_positions.size()) + ", lddt=" + fixed(m.lddt.mean, 4) + ")");
}

using MR = MultipleResult;
PyGetSetDef msa_getset[] = {
    member<MR, &MR::columns>(
        "columns", "Columns: one entry per structure, its residue index or None (a gap)."),
    member<MR, &MR::core_positions>("core_positions", "The columns every structure fills."),
    member<MR, &MR::score>("score", "Core columns over all columns."),
    member<MR, &MR::avg_rmsd>(
        "avg_rmsd",
        "Tree-wise: the mean RMSD of the pairwise alignments; scalable: the mean RMSD of the\n"
        "members on the reference over the columns each shares with it (NaN: none)."),
    computed<MR, msa_transforms>("transforms", "Each structure onto the reference."),
    computed<MR, msa_transforms>(
        "full_transforms",
        "The same transforms, under malven.MultipleAlignmentResult's name for them."),
    member<MR, &MR::tm_by_reference>(
        "tm_by_reference",
        "Each structure's TM-score on the reference over the pairs the columns give,\n"
        "normalised by the reference (tree-wise: empty without full_scores)."),
    member<MR, &MR::tm_by_member>("tm_by_member", "The same, normalised by the member."),
    computed<MR, msa_n_columns>("n_columns", "The number of columns."),
    computed<MR, msa_n_core>("n_core", "The number of core columns."),
    member<MR, &MR::pipeline>("pipeline", "The pipeline that ran (an MsaPipeline, never AUTO)."),
    computed<MR, msa_scheme>(
        "scheme",
        "The pairs the scalable pipeline aligned (an MsaScheme), None for the tree-wise one."),
    member<MR, &MR::lddt, &MsaLddt::mean>(
        "lddt", "The alignment's LDDT: the mean of its columns' (NaN when no column is shared)."),
    computed<MR, msa_column_lddt>(
        "column_lddt", "Each column's LDDT (a float64 array; NaN where no two members share it)."),
    computed<MR, msa_lddt_record>("lddt_details",
                                  "The LDDT as an MsaLddt (with the member pairs scored)."),
    member<MR, &MR::isolated>("isolated", "Structures sharing no column with any other."),
    member<MR, &MR::engine_alignments>("engine_alignments", "The pairwise engine alignments made."),
    kEndOfAttributes};

// ---- MsaLddt ------------------------------------------------------------------------------

Ref lddt_columns(const MsaLddt& l) { return numbers(l.columns); }
Ref lddt_repr(const MsaLddt& l) {
  return to_py("MsaLddt(mean=" + fixed(l.mean, 4) + ", columns=" +
               std::to_string(l.columns.size()) + ", pairs_scored=" +
               std::to_string(l.pairs_scored) + ")");
}

PyGetSetDef lddt_getset[] = {
    member<MsaLddt, &MsaLddt::mean>(
        "mean", "The mean over scored columns of each column's LDDT; NaN when none is scored."),
    computed<MsaLddt, lddt_columns>(
        "columns",
        "Each column's LDDT: the mean over the member pairs that both fill it of the pair's\n"
        "symmetric LDDT there (a float64 array, NaN where no scored pair fills it)."),
    member<MsaLddt, &MsaLddt::pairs_scored>("pairs_scored",
                                            "Member pairs with at least one shared column."),
    member<MsaLddt, &MsaLddt::sampled>(
        "sampled", "A fixed sample of the member pairs was scored, not every pair."),
    kEndOfAttributes};

// ---- BuildReport ----------------------------------------------------------------------------

using kelda::BuildReport;

Ref report_skipped(const BuildReport& r) {
  return list_of(r.skipped, [](const kelda::SkippedFile& f) {
    return tuple_of({to_py(f.path), to_py(f.reason)});
  });
}
Ref report_repr(const BuildReport& r) {
  return to_py("BuildReport(files=" + std::to_string(r.files) + ", entries=" +
               std::to_string(r.entries) + ", residues=" + std::to_string(r.residues) +
               ", skipped=" + std::to_string(r.skipped.size()) + ")");
}

PyGetSetDef report_getset[] = {
    member<BuildReport, &BuildReport::files>("files", "Files that gave entries."),
    member<BuildReport, &BuildReport::entries>("entries", "Entries this build added."),
    member<BuildReport, &BuildReport::residues>("residues", "Their residues."),
    member<BuildReport, &BuildReport::removed>(
        "removed",
        "What builds of this database that were killed had left (their temporary folders and\n"
        "files), removed before this build began."),
    computed<BuildReport, report_skipped>(
        "skipped",
        "Files left out, as (path, reason) pairs in file order; the reason does not name the\n"
        "file."),
    kEndOfAttributes};

}  // namespace

const Signature pack_domain_sig{"pack_domain", {{"domain"}}};
Ref pack_domain(Shared<kelda::Domain> domain) {
  Packer p;
  p.domain(*domain);
  return to_py_bytes(p.out);
}

const Signature restore_sig{"_restore", {{"kind"}, {"packed"}}};
Ref restore(std::string kind, ByteView packed) {
  Unpacker in(packed.bytes);
  if (kind == "Domain") {
    kelda::Domain d = in.domain();
    in.finish();
    return wrap(std::move(d));
  }
  if (kind == "PairResult") {
    PairResult r = in.result();
    in.finish();
    return wrap(std::move(r));
  }
  if (kind != "SearchHit") raise_error(PyExc_ValueError, "no packed records of kind " + kind);
  SearchHit h;
  h.target = in.raw<std::uint64_t>();
  h.rank = in.raw<std::uint64_t>();
  const bool has_z = in.raw<bool>();
  const double z = in.raw<double>();
  if (has_z) h.z_score = z;
  h.prefilter = in.raw<double>();
  h.bits = in.raw<double>();
  h.evalue = in.raw<double>();
  h.prob = in.raw<double>();
  h.result = in.result();
  in.finish();
  return wrap(std::move(h));
}

PyTypeObject* create_pair_result_class() {
  return result_class<PairResult, result_repr>(
      "keldascope.PairResult", result_getset, result_methods,
      "Structure B aligned onto structure A (the reference) by one method of the engine.");
}
PyTypeObject* create_placement_class() {
  return result_class<Placement, placement_repr>("keldascope.Placement", placement_getset, nullptr,
                                 "Where the KELDA scan mode's placement put B.");
}
PyTypeObject* create_search_hit_class() {
  return result_class<SearchHit, hit_repr>("keldascope.SearchHit", hit_getset, hit_methods,
                                 "One target found by a search, with its PairResult's fields.");
}
PyTypeObject* create_comparison_class() {
  return result_class<Comparison>("keldascope.Comparison", comparison_getset, nullptr,
                                  "Matrices of an all-against-all comparison.");
}
PyTypeObject* create_msa_result_class() {
  return result_class<MultipleResult, msa_repr>("keldascope.MsaResult", msa_getset, nullptr,
                                                "A multiple alignment, with its LDDT.");
}
PyTypeObject* create_msa_lddt_class() {
  return result_class<MsaLddt, lddt_repr>(
      "keldascope.MsaLddt", lddt_getset, nullptr,
      "The LDDT of a multiple alignment (C-alpha atoms, symmetric over each member pair).");
}

PyTypeObject* create_build_report_class() {
  return result_class<BuildReport, report_repr>("keldascope.BuildReport", report_getset, nullptr,
                                                "What a structure database's build did.");
}

}  // namespace malven::toolkit
