// The read-only result classes: AlignmentResult, MultipleAlignmentResult and ScanHit.
#include "args.hpp"
#include "classes.hpp"
#include "format.hpp"
#include "module.hpp"
#include "files.hpp"
#include "results.hpp"
#include "transform_py.hpp"

namespace malven {

using kelda::AlignmentResult;
using kelda::Domain;
using kelda::MultipleAlignmentResult;
using kelda::ScanHit;
using kelda::Transform;

Ref transforms_list(const std::vector<Transform>& ts) {
  return list_of(ts, [](const Transform& t) { return wrap(t); });
}

namespace {

// ---- AlignmentResult ----------------------------------------------------------------------

Ref ar_transform(const AlignmentResult& r) { return wrap(r.transform); }
Ref ar_rotation(const AlignmentResult& r) { return rotation_array(r.transform); }
Ref ar_translation(const AlignmentResult& r) { return translation_array(r.transform); }
Ref ar_matrix(const AlignmentResult& r) { return matrix4_array(r.transform); }
Ref ar_pairs(const AlignmentResult& r) {
  return list_of(r.path, [](const auto& p) { return tuple_of({to_py(p.first), to_py(p.second)}); });
}
const Signature ar_apply_sig{"AlignmentResult.transform_coordinates", {{"coords"}}};
Ref ar_apply(const AlignmentResult& r, Matrix coords) { return apply_to(r.transform, coords); }
const Signature ar_moved_sig{"AlignmentResult.get_transformed_coordinates", {{"domain"}}};
Ref ar_moved(const AlignmentResult& r, Shared<Domain> d) {
  return points_to_array(r.transform.apply(kelda::PointsView(d->coordinates())));
}
Ref ar_repr(const AlignmentResult& r) {
  return to_py("AlignmentResult(rmsd=" + fixed(r.rmsd, 3) + ", n_aligned=" +
               std::to_string(r.n_aligned) + ", score=" + fixed(r.score, 4) +
               ", seq_identity=" + fixed(r.seq_identity, 3) + ")");
}

PyMethodDef ar_methods[] = {
    {"get_rotation", (method0<AlignmentResult, ar_rotation>), METH_NOARGS,
     "get_rotation($self)\n--\n\nReturns the rotation matrix as numpy array (3x3)."},
    {"get_translation", (method0<AlignmentResult, ar_translation>), METH_NOARGS,
     "get_translation($self)\n--\n\nReturns the translation vector as numpy array (3,)."},
    {"transformation_matrix", (method0<AlignmentResult, ar_matrix>), METH_NOARGS,
     "transformation_matrix($self)\n--\n\nReturns the 4x4 transformation matrix."},
    {"transform_coordinates", MALVEN_FASTCALL((method<AlignmentResult, ar_apply_sig, ar_apply>)),
     kFastcall,
     "transform_coordinates($self, coords)\n--\n\n"
     "Applies transformation to coordinates.\n\n"
     "Args:\n"
     "    coords: Nx3 array of coordinates.\n\n"
     "Returns:\n"
     "    Transformed Nx3 array."},
    {"get_transformed_coordinates",
     MALVEN_FASTCALL((method<AlignmentResult, ar_moved_sig, ar_moved>)), kFastcall,
     "get_transformed_coordinates($self, domain)\n--\n\n"
     "Returns the transformed coordinates of the mobile domain."},
    kEndOfMethods,
};

PyGetSetDef ar_getset[] = {
    member<AlignmentResult, &AlignmentResult::rmsd>("rmsd", "Root mean square deviation."),
    member<AlignmentResult, &AlignmentResult::n_aligned>("n_aligned",
                                                         "Number of aligned positions."),
    member<AlignmentResult, &AlignmentResult::score>("score", "KELDA score (Sc)."),
    member<AlignmentResult, &AlignmentResult::seq_identity>("seq_identity",
                                                            "Sequence identity of aligned region."),
    computed<AlignmentResult, ar_transform>("transform",
                                            "Returns the transformation as a Transform object."),
    computed<AlignmentResult, ar_pairs>("aligned_pairs",
                                        "Returns the alignment path as list of (i, j) tuples."),
    kEndOfAttributes,
};

// ---- MultipleAlignmentResult ---------------------------------------------------------------

using MAR = MultipleAlignmentResult;

const Signature mar_get_transform_sig{"MultipleAlignmentResult.get_transform", {{"index"}}};
Ref mar_get_transform(const MAR& r, std::uint64_t index) {
  if (index >= r.transforms.size())
    raise_error(PyExc_ValueError, "Invalid domain index: " + std::to_string(index));
  return wrap(r.transforms[index]);
}
Ref mar_transforms(const MAR& r) { return transforms_list(r.transforms); }
Ref mar_core(const MAR& r) {
  return list_of(r.core_positions, [](std::uint64_t v) { return to_py(v); });
}
Ref mar_columns(const MAR& r) {
  return list_of(r.columns, [](const auto& col) {
    return list_of(col, [](const std::optional<std::uint64_t>& v) { return to_py(v); });
  });
}
Ref mar_full(const MAR& r) {
  const std::size_t k = std::min(r.transforms.size(), r.pre_transforms.size());
  std::vector<Transform> full;
  full.reserve(k);
  for (std::size_t i = 0; i < k; ++i) full.push_back(kelda::compose(r.transforms[i], r.pre_transforms[i]));
  return transforms_list(full);
}
Ref mar_repr(const MAR& r) {
  return to_py("MultipleAlignmentResult(n_structures=" + std::to_string(r.transforms.size()) +
               ", n_columns=" + std::to_string(r.n_columns) + ", n_core=" +
               std::to_string(r.n_core) + ", avg_rmsd=" + fixed(r.avg_rmsd, 3) + ")");
}

PyMethodDef mar_methods[] = {
    {"get_transform", MALVEN_FASTCALL((method<MAR, mar_get_transform_sig, mar_get_transform>)),
     kFastcall,
     "get_transform($self, index)\n--\n\nReturns the transformation for a specific domain."},
    {"write_all", MALVEN_FASTCALL((method<MAR, files::write_all_sig, files::write_all_files>)),
     kFastcall, files::write_all_doc},
    kEndOfMethods,
};

PyGetSetDef mar_getset[] = {
    member<MAR, &MAR::avg_rmsd>("avg_rmsd", "Average pairwise RMSD."),
    member<MAR, &MAR::score>("score", "Overall alignment score."),
    member<MAR, &MAR::n_columns>("n_columns", "Number of alignment columns."),
    member<MAR, &MAR::n_core>("n_core", "Number of core positions (all structures present)."),
    computed<MAR, mar_transforms>("transforms", "Returns all transformations as a list."),
    computed<MAR, mar_core>("core_positions", "Returns core position indices."),
    computed<MAR, mar_columns>("columns",
                               "Returns alignment columns as list of lists.\n\n"
                               "Each column is a list where element i is the residue index for\n"
                               "domain i, or None if that domain has a gap at this position."),
    computed<MAR, mar_full>(
        "full_transforms",
        "Returns the full composed transforms (pre-alignment + MSA refinement).\n\n"
        "These transforms can be applied directly to the original PDB files\n"
        "to get the final aligned structures."),
    kEndOfAttributes,
};

// ---- ScanHit ----------------------------------------------------------------------------

Ref hit_repr(const ScanHit& h) {
  return to_py("ScanHit(target='" + h.target_id + "', rank=" + std::to_string(h.rank) +
               ", score=" + fixed(h.score, 4) + ", rmsd=" + fixed(h.rmsd, 3) + ")");
}

PyGetSetDef hit_getset[] = {
    member<ScanHit, &ScanHit::target_id>("target_id", "Target domain identifier."),
    member<ScanHit, &ScanHit::rank>("rank", "Rank in hit list."),
    member<ScanHit, &ScanHit::score>("score", "KELDA score."),
    member<ScanHit, &ScanHit::rmsd>("rmsd", "RMSD after superposition."),
    member<ScanHit, &ScanHit::n_aligned>("n_aligned", "Number of aligned positions."),
    member<ScanHit, &ScanHit::seq_identity>("seq_identity", "Sequence identity."),
    member<ScanHit, &ScanHit::z_score>("z_score", "Z-score (if computed)."),
    member<ScanHit, &ScanHit::e_value>("e_value", "E-value (if computed)."),
    kEndOfAttributes,
};

}  // namespace

PyTypeObject* create_alignment_result_class() {
  return result_class<AlignmentResult, ar_repr>(
      "builtins.AlignmentResult", ar_getset, ar_methods,
      "Python wrapper for pairwise alignment result.\n\n"
      "Contains the transformation, statistics, and alignment path.");
}
PyTypeObject* create_multiple_alignment_result_class() {
  return result_class<MAR, mar_repr>("builtins.MultipleAlignmentResult", mar_getset, mar_methods,
                                     "Python wrapper for multiple alignment result.");
}
PyTypeObject* create_scan_hit_class() {
  return result_class<ScanHit, hit_repr>("builtins.ScanHit", hit_getset, nullptr,
                                         "Result of a database scan hit.");
}

}  // namespace malven
