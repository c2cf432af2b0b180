// LDDT of aligned residue pairs and of multiple alignments, over C-alpha distances.
#include "kelda/msa/lddt.hpp"

#include <algorithm>
#include <cmath>  // sqrt, isfinite, NaN
#include <string>

#include "kelda/exec/parallel.hpp"

namespace kelda {

namespace {

double distance(const Vec3& p, const Vec3& q) {
  const double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Residue -> the pair it is in, or none; a residue in two pairs is a fault of the caller.
std::vector<std::int64_t> pair_of(std::size_t length, std::span<const ResiduePair> pairs,
                                  bool second) {
  std::vector<std::int64_t> out(length, -1);
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    const std::uint64_t r = second ? pairs[k].second : pairs[k].first;
    if (r >= length) internal_fault("LDDT of a pair beyond its structures");
    if (out[r] >= 0) internal_fault("LDDT of an alignment that pairs a residue twice");
    out[r] = static_cast<std::int64_t>(k);
  }
  return out;
}

// An alignment's pairs as the contacts of any residue pair see them.
struct ContactWalk {
  const PointsView& a;
  const PointsView& b;
  const detail::LddtNeighbours& na;
  const detail::LddtNeighbours* nb;  // the symmetric form's; none for the reference's contacts
  std::span<const ResiduePair> pairs;
  std::vector<std::int64_t> pair_of_a, pair_of_b;

  ContactWalk(const PointsView& a_, const PointsView& b_, const detail::LddtNeighbours& na_,
              const detail::LddtNeighbours* nb_, std::span<const ResiduePair> pairs_,
              double radius)
      : a(a_), b(b_), na(na_), nb(nb_), pairs(pairs_), pair_of_a(pair_of(a.size(), pairs, false)),
        pair_of_b(nb ? pair_of(b.size(), pairs, true) : std::vector<std::int64_t>{}) {
    if (na.radius != radius || (nb && nb->radius != radius))
      internal_fault("LDDT neighbours found for another inclusion radius");
    for (const auto& p : pairs)
      if (p.second >= b.size()) internal_fault("LDDT of a pair beyond its structures");
  }

  // fn(l, da, db) for each pair l in contact with residues (i, j): through a's neighbours of
  // i, then b's of j that are not a's (symmetric form); only those after i and j when
  // `later`, so that over an alignment's own pairs each contact is met once.
  template <class F>
  void each(std::uint64_t i, std::uint64_t j, bool later, F&& fn) const {
    for (std::uint32_t e = later ? na.later[i] : na.begin[i]; e < na.begin[i + 1]; ++e)
      if (const std::int64_t l = pair_of_a[na.residue[e]]; l >= 0)
        fn(static_cast<std::size_t>(l), na.distance[e],
           distance(b[j], b[pairs[static_cast<std::size_t>(l)].second]));
    if (!nb) return;
    for (std::uint32_t e = later ? nb->later[j] : nb->begin[j]; e < nb->begin[j + 1]; ++e)
      if (const std::int64_t l = pair_of_b[nb->residue[e]]; l >= 0) {
        const double da = distance(a[i], a[pairs[static_cast<std::size_t>(l)].first]);
        if (!(da < na.radius)) fn(static_cast<std::size_t>(l), da, nb->distance[e]);
      }
  }
};

// The thresholds a contact's two distances agree within.
double agreeing(double da, double db, const LddtSettings& s) {
  const double diff = std::abs(da - db);
  double within = 0.0;
  for (double t : s.thresholds) within += diff < t;
  return within;
}

// Per pair, the thresholds its contacts agree within and the thresholds counted, summed over
// its contacts: small integers, exact in any order, so that the scores are those of a walk
// over every two pairs however the contacts are met.
void contact_sums(const ContactWalk& walk, const LddtSettings& s, std::vector<double>& kept,
                  std::vector<double>& contacts) {
  const std::size_t n = walk.pairs.size();
  const double bins = static_cast<double>(s.thresholds.size());
  kept.assign(n, 0.0);
  contacts.assign(n, 0.0);
  for (std::size_t k = 0; k < n; ++k)
    walk.each(walk.pairs[k].first, walk.pairs[k].second, true,
              [&](std::size_t l, double da, double db) {
                const double w = agreeing(da, db, s);
                kept[k] += w;
                kept[l] += w;
                contacts[k] += bins;
                contacts[l] += bins;
              });
}

std::vector<double> scores_of(const std::vector<double>& kept, const std::vector<double>& contacts) {
  std::vector<double> out(kept.size());
  for (std::size_t k = 0; k < kept.size(); ++k)
    out[k] = contacts[k] > 0.0 ? kept[k] / contacts[k] : std::nan("");
  return out;
}

std::vector<double> score_pairs(const PointsView& a, const PointsView& b,
                                const detail::LddtNeighbours& na,
                                const detail::LddtNeighbours* nb,
                                std::span<const ResiduePair> pairs, const LddtSettings& s) {
  std::vector<double> kept, contacts;
  contact_sums(ContactWalk(a, b, na, nb, pairs, s.inclusion_radius), s, kept, contacts);
  return scores_of(kept, contacts);
}

}  // namespace

std::uint64_t aligned_pairs(const MsaLayout& layout) {
  std::vector<std::uint64_t> filled(layout.n_columns, 0);
  for (const auto& cols : layout.column_of)
    for (std::uint32_t c : cols)
      if (c != kNoColumn) ++filled[c];
  std::uint64_t out = 0;
  for (std::uint64_t k : filled) out += k * (k - (k > 0)) / 2;
  return out;
}

PointsView detail::points_of(const Domain& d) {
  if (d.residues.empty()) return PointsView{};
  const Residue& r = d.residues.front();
  const auto* x = reinterpret_cast<const std::byte*>(&r.x);
  return PointsView(x, d.size(), static_cast<std::ptrdiff_t>(sizeof(Residue)),
                    reinterpret_cast<const std::byte*>(&r.y) - x);
}

detail::LddtNeighbours detail::lddt_neighbours(const PointsView& points, double radius) {
  LddtNeighbours out;
  out.radius = radius;
  const std::size_t n = points.size();
  // Squared distances beyond this cannot make a distance below the radius: only nearer
  // residues take the square root, so that each distance is the one a walk over every two
  // residues would compare (the same either way round: the differences only change sign).
  const double beyond = radius * radius * (1.0 + 1e-9);
  std::vector<std::vector<std::pair<std::uint32_t, double>>> near(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Vec3 p = points[i];
    for (std::size_t j = i + 1; j < n; ++j) {
      const Vec3 q = points[j];
      const double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
      if (dx * dx + dy * dy + dz * dz > beyond) continue;
      if (const double d = distance(p, q); d < radius) {
        near[i].emplace_back(static_cast<std::uint32_t>(j), d);
        near[j].emplace_back(static_cast<std::uint32_t>(i), d);
      }
    }
  }
  out.begin.reserve(n + 1);
  out.later.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    // Those before i came first, ascending; then those after, ascending.
    out.begin.push_back(static_cast<std::uint32_t>(out.residue.size()));
    for (const auto& [j, d] : near[i]) {
      if (j > i && out.later.size() == i) out.later.push_back(static_cast<std::uint32_t>(out.residue.size()));
      out.residue.push_back(j);
      out.distance.push_back(d);
    }
    if (out.later.size() == i) out.later.push_back(static_cast<std::uint32_t>(out.residue.size()));
  }
  out.begin.push_back(static_cast<std::uint32_t>(out.residue.size()));
  return out;
}

std::vector<double> pair_lddt(const PointsView& reference, const PointsView& model,
                              std::span<const ResiduePair> pairs, const LddtSettings& settings) {
  return score_pairs(reference, model,
                     detail::lddt_neighbours(reference, settings.inclusion_radius), nullptr,
                     pairs, settings);
}

std::vector<double> pair_lddt_symmetric(const PointsView& a, const PointsView& b,
                                        std::span<const ResiduePair> pairs,
                                        const LddtSettings& settings) {
  const auto na = detail::lddt_neighbours(a, settings.inclusion_radius);
  const auto nb = detail::lddt_neighbours(b, settings.inclusion_radius);
  return score_pairs(a, b, na, &nb, pairs, settings);
}

Result<MsaLayout> layout_from_rows(std::span<const std::vector<std::int64_t>> rows,
                                   std::span<const std::size_t> lengths) {
  if (rows.size() != lengths.size())
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "The alignment has " + std::to_string(rows.size()) +
                                  " rows for " + std::to_string(lengths.size()) + " structures");
  MsaLayout out;
  const std::size_t width = rows.empty() ? 0 : rows.front().size();
  if (width >= kNoColumn)
    return CoreError::refusal(ErrorKind::InvalidParameter, "The alignment has too many columns");
  out.n_columns = static_cast<std::uint32_t>(width);
  for (std::size_t m = 0; m < rows.size(); ++m) {
    const std::string which = "Row " + std::to_string(m + 1) + " of the alignment";
    if (rows[m].size() != width)
      return CoreError::refusal(ErrorKind::InvalidParameter,
                                which + " has " + std::to_string(rows[m].size()) +
                                    " columns, the first " + std::to_string(width));
    auto& cols = out.column_of.emplace_back(lengths[m], kNoColumn);
    std::int64_t last = -1;
    for (std::size_t c = 0; c < width; ++c) {
      const std::int64_t r = rows[m][c];
      if (r < 0) continue;
      if (static_cast<std::uint64_t>(r) >= lengths[m])
        return CoreError::refusal(ErrorKind::InvalidParameter,
                                  which + " names residue " + std::to_string(r) + " of " +
                                      std::to_string(lengths[m]));
      if (r <= last)
        return CoreError::refusal(ErrorKind::InvalidParameter,
                                  which + " repeats residue " + std::to_string(r) +
                                      " or places it out of order");
      cols[static_cast<std::size_t>(r)] = static_cast<std::uint32_t>(c);
      last = r;
    }
  }
  return out;
}

Status detail::check_layout(const MsaLayout& layout, std::span<const std::size_t> lengths) {
  if (layout.members() != lengths.size())
    return CoreError::refusal(ErrorKind::InvalidParameter,
                              "The alignment has " + std::to_string(layout.members()) +
                                  " members for " + std::to_string(lengths.size()) + " structures");
  for (std::size_t m = 0; m < lengths.size(); ++m) {
    const auto& cols = layout.column_of[m];
    const std::string which = "Member " + std::to_string(m + 1) + " of the alignment";
    if (cols.size() != lengths[m])
      return CoreError::refusal(ErrorKind::InvalidParameter,
                                which + " has " + std::to_string(cols.size()) +
                                    " residues, its structure " + std::to_string(lengths[m]));
    std::int64_t last = -1;
    for (std::uint32_t c : cols) {
      if (c == kNoColumn) continue;
      if (c >= layout.n_columns || static_cast<std::int64_t>(c) <= last)
        return CoreError::refusal(ErrorKind::InvalidParameter,
                                  which + " places a residue outside the columns or out of order");
      last = c;
    }
  }
  return Unit{};
}

std::vector<ResiduePair> shared_pairs(const MsaLayout& layout, std::size_t a, std::size_t b) {
  const auto& ca = layout.column_of[a];
  const auto& cb = layout.column_of[b];
  std::vector<ResiduePair> out;
  std::size_t i = 0, j = 0;
  // Both members' columns ascend (unaligned residues aside): a merge walk.
  while (i < ca.size() && j < cb.size()) {
    if (ca[i] == kNoColumn) { ++i; continue; }
    if (cb[j] == kNoColumn) { ++j; continue; }
    if (ca[i] == cb[j]) out.emplace_back(i++, j++);
    else if (ca[i] < cb[j]) ++i;
    else ++j;
  }
  return out;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> lddt_pairs(std::size_t n,
                                                                std::size_t max_pairs) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  if (n < 2) return out;
  if (n * (n - 1) / 2 <= std::max<std::size_t>(max_pairs, 1)) {
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = i + 1; j < n; ++j)
        out.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
    return out;
  }
  // Each member with partners at a few offsets spread over half the circle of members: near
  // and far partners alike, every member in about the same number of pairs.
  const std::size_t partners = std::max<std::size_t>(1, max_pairs / n);
  const std::size_t half = n / 2;
  std::vector<std::size_t> offsets;
  for (std::size_t t = 0; t < partners; ++t) offsets.push_back(1 + t * (half - 1) / partners);
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t off : offsets) {
      const std::size_t j = (i + off) % n;
      // With n even the offset n/2 names every pair twice; keep one.
      if (2 * off == n && j < i) continue;
      out.emplace_back(static_cast<std::uint32_t>(std::min(i, j)),
                       static_cast<std::uint32_t>(std::max(i, j)));
    }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

detail::PairScores detail::score_member_pair(const PointsView& a, const PointsView& b,
                                             const MsaLayout& layout, std::uint32_t ia,
                                             std::uint32_t ib, const LddtSettings& settings,
                                             const LddtNeighbours* na, const LddtNeighbours* nb,
                                             const PairScores* before) {
  PairScores out;
  out.a = ia;
  out.b = ib;
  const std::vector<ResiduePair> pairs = shared_pairs(layout, ia, ib);
  out.residues_a.reserve(pairs.size());
  out.residues_b.reserve(pairs.size());
  for (const auto& p : pairs) {
    out.residues_a.push_back(static_cast<std::uint32_t>(p.first));
    out.residues_b.push_back(static_cast<std::uint32_t>(p.second));
  }
  if (!na || !nb) {
    out.scores = pair_lddt_symmetric(a, b, pairs, settings);
    return out;
  }
  const ContactWalk walk(a, b, *na, nb, pairs, settings.inclusion_radius);
  const std::size_t n = pairs.size();
  if (!before || before->a != ia || before->b != ib ||
      before->kept.size() != before->residues_a.size()) {
    contact_sums(walk, settings, out.kept, out.contacts);
    out.scores = scores_of(out.kept, out.contacts);
    return out;
  }
  // From the sums of `before`: the pairs both layouts have keep theirs, less what the pairs
  // only `before` has gave them and plus what the pairs only this one has give them; those
  // new pairs are summed over all their contacts. Both lists ascend.
  const double bins = static_cast<double>(settings.thresholds.size());
  const std::size_t m = before->residues_a.size();
  std::vector<std::int64_t> was(n, -1);  // the same pair's place in `before`
  std::vector<std::size_t> added;
  std::vector<std::size_t> gone;
  for (std::size_t k = 0, q = 0; k < n || q < m;) {
    const std::pair<std::uint64_t, std::uint64_t> old =
        q < m ? std::pair<std::uint64_t, std::uint64_t>{before->residues_a[q], before->residues_b[q]}
              : std::pair<std::uint64_t, std::uint64_t>{};
    if (k < n && q < m && pairs[k] == old) {
      was[k++] = static_cast<std::int64_t>(q++);
    } else if (k < n && (q == m || pairs[k] < old)) {
      added.push_back(k++);
    } else {
      gone.push_back(q++);
    }
  }
  out.kept.assign(n, 0.0);
  out.contacts.assign(n, 0.0);
  for (std::size_t k = 0; k < n; ++k)
    if (was[k] >= 0) {
      out.kept[k] = before->kept[static_cast<std::size_t>(was[k])];
      out.contacts[k] = before->contacts[static_cast<std::size_t>(was[k])];
    }
  for (const std::size_t q : gone)
    walk.each(before->residues_a[q], before->residues_b[q], false,
              [&](std::size_t l, double da, double db) {
                if (was[l] < 0) return;
                out.kept[l] -= agreeing(da, db, settings);
                out.contacts[l] -= bins;
              });
  for (const std::size_t k : added)
    walk.each(pairs[k].first, pairs[k].second, false, [&](std::size_t l, double da, double db) {
      const double w = agreeing(da, db, settings);
      out.kept[k] += w;
      out.contacts[k] += bins;
      if (was[l] < 0) return;
      out.kept[l] += w;
      out.contacts[l] += bins;
    });
  out.scores = scores_of(out.kept, out.contacts);
  return out;
}

MsaLddt detail::aggregate(std::span<const PairScores> pairs, const MsaLayout& layout,
                          bool sampled) {
  MsaLddt out;
  out.sampled = sampled;
  std::vector<double> sum(layout.n_columns, 0.0);
  std::vector<std::uint32_t> count(layout.n_columns, 0);
  for (const PairScores& p : pairs) {
    bool any = false;
    for (std::size_t k = 0; k < p.scores.size(); ++k) {
      if (std::isnan(p.scores[k])) continue;
      const std::uint32_t c = layout.column_of[p.a][p.residues_a[k]];
      sum[c] += p.scores[k];
      ++count[c];
      any = true;
    }
    out.pairs_scored += any;
  }
  out.columns.assign(layout.n_columns, std::nan(""));
  double total = 0.0;
  std::size_t scored = 0;
  for (std::size_t c = 0; c < sum.size(); ++c)
    if (count[c] > 0) {
      out.columns[c] = sum[c] / count[c];
      total += out.columns[c];
      ++scored;
    }
  if (scored > 0) out.mean = total / static_cast<double>(scored);
  return out;
}

Result<MsaLddt> msa_lddt(std::span<const Domain> domains, const MsaLayout& layout,
                         const LddtSettings& settings, unsigned threads,
                         std::stop_token stop) {
  std::vector<std::size_t> lengths;
  for (const Domain& d : domains) {
    lengths.push_back(d.size());
    for (const Residue& r : d.residues)
      if (!std::isfinite(r.x) || !std::isfinite(r.y) || !std::isfinite(r.z))
        return CoreError::refusal(ErrorKind::InvalidParameter,
                                  "Structure " + d.id + " has a coordinate that is not finite");
  }
  if (auto ok = detail::check_layout(layout, lengths); !ok) return std::move(ok).error();
  const auto members = lddt_pairs(domains.size(), settings.max_pairs);
  std::vector<detail::PairScores> scores(members.size());
  // Each member's contacts, found once for the member pairs it is in.
  std::vector<detail::LddtNeighbours> near(domains.size());
  if (auto ok = parallel_for(domains.size(), threads, stop, [&](std::size_t m) -> Status {
        near[m] = detail::lddt_neighbours(detail::points_of(domains[m]), settings.inclusion_radius);
        return Unit{};
      });
      !ok)
    return std::move(ok).error();
  if (auto ok = parallel_for(members.size(), threads, stop, [&](std::size_t k) -> Status {
        const auto [a, b] = members[k];
        scores[k] = detail::score_member_pair(detail::points_of(domains[a]),
                                              detail::points_of(domains[b]), layout, a, b,
                                              settings, &near[a], &near[b]);
        return Unit{};
      });
      !ok)
    return std::move(ok).error();
  const std::size_t n = domains.size();
  return detail::aggregate(scores, layout, members.size() < n * (n - 1) / 2);
}

}  // namespace kelda
