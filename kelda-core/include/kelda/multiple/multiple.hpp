// The toolkit's multiple alignment: the tree-wise pipeline (every pair at full effort) for
// small sets, the scalable one (align_many) above, chosen by the number of structures; either
// way the result carries the alignment's LDDT.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "kelda/error.hpp"
#include "kelda/msa/align_many.hpp"
#include "kelda/multiple/column_fill.hpp"
#include "kelda/records.hpp"
#include "kelda/treewise/multiple_alignment.hpp"

namespace kelda {

enum class MsaPipeline : std::uint8_t {
  Auto,      // the rule of msa_pipeline_for
  TreeWise,  // every pair at the engine's full effort, joined along the KELDA guide tree
  Scalable,  // align_many: consistency library, progressive profiles, LDDT refinement
};

struct MultipleSettings {
  // The tree-wise pipeline's engine, reference and threads, which the scalable one shares
  // (its engine keeps its own effort; the method must then be the robust one).
  TreeMsaSettings tree;
  ScalableMsaSettings scalable;
  MsaPipeline pipeline = MsaPipeline::Auto;
  // Auto runs the tree-wise pipeline up to this many structures. On real families of up to
  // 28 members it scores a higher LDDT than the scalable pipeline (which puts more residue
  // pairs in columns) and takes less time, both pipelines then aligning every pair; above 40
  // the scalable pipeline aligns each structure with a few neighbours only, its work growing
  // with n while the tree-wise pipeline's grows with the square of n.
  std::size_t tree_wise_up_to = 40;
  // The tree-wise alignment of the robust method has its gaps filled (fill_columns) where
  // that keeps its LDDT; the KELDA methods' stays the malven module's.
  bool fill_gaps = true;
  ColumnFillSettings fill;
  // With fill_gaps, the scalable pipeline's alignment too, trimmed to the filled tree-wise
  // alignment's LDDT in either order and filled under it (fill_columns' lddt_floor); the one
  // that then holds the most residue pairs, when more than the tree-wise one, is taken. Its
  // consistency library places together residues that no single join's pairwise alignment
  // pairs: on divergent and flexible families (EF hands, TNF receptor repeats,
  // solute-binding proteins) it ends with far more pairs and core columns at the same LDDT.
  // Its library reads the tree-wise stage's pairwise alignments (when both engines align
  // alike) rather than aligning every pair again.
  bool fill_from_scalable = true;
};

// The pipeline that runs for n structures: settings.pipeline when forced; the tree-wise one
// for the KELDA methods (the scalable one aligns with the robust method only) and up to
// tree_wise_up_to structures; the scalable one above.
MsaPipeline msa_pipeline_for(std::size_t n, const MultipleSettings& settings) noexcept;

struct MultipleResult {
  MsaPipeline pipeline = MsaPipeline::TreeWise;  // the one that ran, never Auto
  MsaScheme scheme = MsaScheme::AllPairs;        // the pairs the scalable pipeline aligned
  std::vector<std::vector<std::optional<std::uint64_t>>> columns;
  std::vector<std::uint64_t> core_positions;
  double score = 0.0;     // core columns over all columns
  double avg_rmsd = 0.0;  // tree-wise: of the pairwise alignments; scalable: of the members
                          // on the reference over their shared columns (NaN: none)
  std::vector<Transform> transforms;  // each member onto the reference
  std::vector<double> tm_by_reference, tm_by_member;
  MsaLddt lddt;
  std::vector<std::uint32_t> isolated;  // members sharing no column with any other
  std::size_t engine_alignments = 0;
};

// Aligns the domains by the chosen pipeline and scores the result by LDDT. Errors: those of
// multiple_alignment or align_many; InvalidParameter for the scalable pipeline forced with a
// KELDA method; Cancelled on a stop request.
Result<MultipleResult> align_multiple(std::span<const Domain> domains,
                                      const MultipleSettings& settings,
                                      std::stop_token stop = {});

// A layout from columns of residue indices (one entry per member). Errors
// (InvalidParameter) as layout_from_rows.
Result<MsaLayout> layout_of_columns(
    std::span<const std::vector<std::optional<std::uint64_t>>> columns,
    std::span<const std::size_t> lengths);

}  // namespace kelda
