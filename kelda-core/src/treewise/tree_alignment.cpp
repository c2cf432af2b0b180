// The bottom-up walk of the guide tree, the column join of two sub-alignments, and the
// assembly of the multiple-alignment outcome from the all-pairs table.
#include "kelda/treewise/tree_alignment.hpp"

#include <iterator>  // make_move_iterator
#include <limits>    // infinity
#include <string>    // to_string
#include <utility>   // move

namespace kelda {

namespace {

constexpr std::size_t kNoColumn = std::numeric_limits<std::size_t>::max();

// Column of `sub` that holds each residue of domain d (kNoColumn when none does).
std::vector<std::size_t> columns_of(const SubAlignment& sub, std::uint64_t d,
                                    std::size_t length) {
  std::vector<std::size_t> where(length, kNoColumn);
  for (std::size_t c = 0; c < sub.columns.size(); ++c) {
    const auto& e = sub.columns[c][d];
    if (e && *e < length) where[*e] = c;
  }
  return where;
}

Column overlay(Column left, const Column& right) {
  for (std::size_t k = 0; k < left.size(); ++k)
    if (right[k]) left[k] = right[k];
  return left;
}

// The highest-scoring entry (a in left, b in right); the first maximum in member order
// wins, and a NaN score never does. Null when no entry beats -inf.
struct Representative {
  std::uint64_t a = 0, b = 0;
  const PairOutcome* entry = nullptr;
};

Representative choose_representative(const SubAlignment& l, const SubAlignment& r,
                                     const PairTable& table) {
  Representative best;
  double best_score = -std::numeric_limits<double>::infinity();
  for (std::uint64_t a : l.members)
    for (std::uint64_t b : r.members)
      if (const PairOutcome& e = table.at(a, b); e.sc > best_score) {
        best_score = e.sc;
        best = {a, b, &e};
      }
  return best;
}

// Joins L and R along the representative's pairs. A pair (i, j) is placed by looking up
// the columns that hold residue i of a in L and residue j of b in R: inside a
// sub-alignment of several domains the residue index is not the column position, and
// comparing the two directly would overlay residues the alignment never matched. A pair
// whose column lies before a cursor cannot be placed without reordering, so it is
// skipped. With single-domain sides and a path increasing in both indices, this is the
// plain walk of residue index against column position.
std::vector<Column> join_columns(SubAlignment& l, SubAlignment& r, const Representative& rep,
                                 std::span<const Domain> domains) {
  std::vector<Column> out;
  out.reserve(l.columns.size() + r.columns.size());
  std::size_t cl = 0, cr = 0;
  auto take = [&out](std::vector<Column>& from, std::size_t& cursor, std::size_t stop) {
    for (; cursor < stop; ++cursor) out.push_back(std::move(from[cursor]));
  };

  if (rep.entry && !rep.entry->pairs.empty()) {
    const auto in_l = columns_of(l, rep.a, domains[rep.a].size());
    const auto in_r = columns_of(r, rep.b, domains[rep.b].size());
    for (const auto& [i, j] : rep.entry->pairs) {
      // Indices beyond the domain's residues name nothing to place.
      if (i >= in_l.size() || j >= in_r.size()) continue;
      const std::size_t at_l = in_l[i], at_r = in_r[j];
      if (at_l == kNoColumn || at_r == kNoColumn || at_l < cl || at_r < cr) continue;
      take(l.columns, cl, at_l);
      take(r.columns, cr, at_r);
      out.push_back(overlay(std::move(l.columns[cl]), r.columns[cr]));
      ++cl;
      ++cr;
    }
  }
  take(l.columns, cl, l.columns.size());
  take(r.columns, cr, r.columns.size());
  return out;
}

MsaOutcome trivial_outcome(std::span<const Domain> domains) {
  MsaOutcome out;
  if (domains.size() != 1) return out;
  // A single domain is its own alignment; it has no pairs to score, hence score 0.
  const std::size_t len = domains[0].size();
  out.transforms.assign(1, Transform::identity());
  out.columns.reserve(len);
  out.core_positions.reserve(len);
  for (std::size_t k = 0; k < len; ++k) {
    out.columns.push_back(Column{std::optional<std::uint64_t>(k)});
    out.core_positions.push_back(k);
  }
  return out;
}

}  // namespace

Result<SubAlignment> align_tree(const GuideNode& node, std::span<const Domain> domains,
                                std::size_t n, const PairTable& table) {
  if (n > domains.size())
    internal_fault("tree alignment of " + std::to_string(n) + " domains given " +
                   std::to_string(domains.size()));
  if (node.is_leaf()) {
    const std::uint64_t d = node.leaf;
    if (d >= n) internal_fault("guide tree leaf " + std::to_string(d) + " beyond " +
                               std::to_string(n) + " domains");
    SubAlignment sub;
    const std::size_t len = domains[d].size();
    sub.columns.assign(len, Column(n));
    for (std::size_t k = 0; k < len; ++k) sub.columns[k][d] = k;
    sub.members = {d};
    return sub;
  }
  if (!node.right) internal_fault("guide tree merge without a right child");

  Result<SubAlignment> left = align_tree(*node.left, domains, n, table);
  if (!left) return std::move(left).error();
  Result<SubAlignment> right = align_tree(*node.right, domains, n, table);
  if (!right) return std::move(right).error();
  SubAlignment& l = *left;
  SubAlignment& r = *right;

  const Representative rep = choose_representative(l, r, table);
  SubAlignment joined;
  joined.columns = join_columns(l, r, rep, domains);
  joined.members = std::move(l.members);
  joined.members.insert(joined.members.end(), r.members.begin(), r.members.end());
  return joined;
}

Result<MsaOutcome> msa_from_pair_table(std::span<const Domain> domains, const PairTable& table) {
  const std::size_t n = domains.size();
  if (n < 2) return trivial_outcome(domains);

  Result<GuideNode> root = build_guide_tree(table, n);
  if (!root) return std::move(root).error();
  Result<SubAlignment> walked = align_tree(*root, domains, n, table);
  if (!walked) return std::move(walked).error();

  MsaOutcome out;
  out.transforms.assign(n, Transform::identity());
  out.columns = std::move(walked->columns);
  for (std::size_t c = 0; c < out.columns.size(); ++c) {
    bool all = true;
    for (const auto& e : out.columns[c]) all = all && e.has_value();
    if (all) out.core_positions.push_back(c);
  }
  const std::size_t n_columns = out.columns.size();
  out.score = static_cast<double>(out.core_positions.size()) /
              static_cast<double>(n_columns > 0 ? n_columns : 1);

  double sum = 0.0;
  std::size_t pairs = 0;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j, ++pairs) sum += reported_rmsd(table.at(i, j));
  out.avg_rmsd = pairs > 0 ? sum / static_cast<double>(pairs) : 0.0;
  return out;
}

}  // namespace kelda
