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

template <auto Field, class T>
Ref field(const T& r) {
  return to_py(r.*Field);
}

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
     METH_FASTCALL | METH_KEYWORDS,
     "transform_coordinates($self, coords)\n--\n\n"
     "Applies transformation to coordinates.\n\n"
     "Args:\n"
     "    coords: Nx3 array of coordinates.\n\n"
     "Returns:\n"
     "    Transformed Nx3 array."},
    {"get_transformed_coordinates",
     MALVEN_FASTCALL((method<AlignmentResult, ar_moved_sig, ar_moved>)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_transformed_coordinates($self, domain)\n--\n\n"
     "Returns the transformed coordinates of the mobile domain."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ar_getset[] = {
    {"rmsd", getter<AlignmentResult, field<&AlignmentResult::rmsd, AlignmentResult>>, nullptr,
     "Root mean square deviation.", nullptr},
    {"n_aligned", getter<AlignmentResult, field<&AlignmentResult::n_aligned, AlignmentResult>>,
     nullptr, "Number of aligned positions.", nullptr},
    {"score", getter<AlignmentResult, field<&AlignmentResult::score, AlignmentResult>>, nullptr,
     "KELDA score (Sc).", nullptr},
    {"seq_identity",
     getter<AlignmentResult, field<&AlignmentResult::seq_identity, AlignmentResult>>, nullptr,
     "Sequence identity of aligned region.", nullptr},
    {"transform", getter<AlignmentResult, ar_transform>, nullptr,
     "Returns the transformation as a Transform object.", nullptr},
    {"aligned_pairs", getter<AlignmentResult, ar_pairs>, nullptr,
     "Returns the alignment path as list of (i, j) tuples.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ar_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<AlignmentResult>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary<AlignmentResult, ar_repr>)},
    {Py_tp_methods, ar_methods},
    {Py_tp_getset, ar_getset},
    {Py_tp_doc, const_cast<char*>("Python wrapper for pairwise alignment result.\n\n"
                                  "Contains the transformation, statistics, and alignment path.")},
    {0, nullptr},
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
     METH_FASTCALL | METH_KEYWORDS,
     "get_transform($self, index)\n--\n\nReturns the transformation for a specific domain."},
    {"write_all", MALVEN_FASTCALL(files::write_all), METH_FASTCALL | METH_KEYWORDS,
     files::write_all_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef mar_getset[] = {
    {"avg_rmsd", getter<MAR, field<&MAR::avg_rmsd, MAR>>, nullptr, "Average pairwise RMSD.",
     nullptr},
    {"score", getter<MAR, field<&MAR::score, MAR>>, nullptr, "Overall alignment score.", nullptr},
    {"n_columns", getter<MAR, field<&MAR::n_columns, MAR>>, nullptr,
     "Number of alignment columns.", nullptr},
    {"n_core", getter<MAR, field<&MAR::n_core, MAR>>, nullptr,
     "Number of core positions (all structures present).", nullptr},
    {"transforms", getter<MAR, mar_transforms>, nullptr,
     "Returns all transformations as a list.", nullptr},
    {"core_positions", getter<MAR, mar_core>, nullptr, "Returns core position indices.", nullptr},
    {"columns", getter<MAR, mar_columns>, nullptr,
     "Returns alignment columns as list of lists.\n\n"
     "Each column is a list where element i is the residue index for\n"
     "domain i, or None if that domain has a gap at this position.",
     nullptr},
    {"full_transforms", getter<MAR, mar_full>, nullptr,
     "Returns the full composed transforms (pre-alignment + MSA refinement).\n\n"
     "These transforms can be applied directly to the original PDB files\n"
     "to get the final aligned structures.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- ScanHit ----------------------------------------------------------------------------

Ref hit_repr(const ScanHit& h) {
  return to_py("ScanHit(target='" + h.target_id + "', rank=" + std::to_string(h.rank) +
               ", score=" + fixed(h.score, 4) + ", rmsd=" + fixed(h.rmsd, 3) + ")");
}

PyGetSetDef hit_getset[] = {
    {"target_id", getter<ScanHit, field<&ScanHit::target_id, ScanHit>>, nullptr,
     "Target domain identifier.", nullptr},
    {"rank", getter<ScanHit, field<&ScanHit::rank, ScanHit>>, nullptr, "Rank in hit list.",
     nullptr},
    {"score", getter<ScanHit, field<&ScanHit::score, ScanHit>>, nullptr, "KELDA score.", nullptr},
    {"rmsd", getter<ScanHit, field<&ScanHit::rmsd, ScanHit>>, nullptr, "RMSD after superposition.",
     nullptr},
    {"n_aligned", getter<ScanHit, field<&ScanHit::n_aligned, ScanHit>>, nullptr,
     "Number of aligned positions.", nullptr},
    {"seq_identity", getter<ScanHit, field<&ScanHit::seq_identity, ScanHit>>, nullptr,
     "Sequence identity.", nullptr},
    {"z_score", getter<ScanHit, field<&ScanHit::z_score, ScanHit>>, nullptr,
     "Z-score (if computed).", nullptr},
    {"e_value", getter<ScanHit, field<&ScanHit::e_value, ScanHit>>, nullptr,
     "E-value (if computed).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot hit_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ScanHit>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary<ScanHit, hit_repr>)},
    {Py_tp_getset, hit_getset},
    {Py_tp_doc, const_cast<char*>("Result of a database scan hit.")},
    {0, nullptr},
};

PyType_Slot mar_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<MAR>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary<MAR, mar_repr>)},
    {Py_tp_methods, mar_methods},
    {Py_tp_getset, mar_getset},
    {Py_tp_doc, const_cast<char*>("Python wrapper for multiple alignment result.")},
    {0, nullptr},
};

PyType_Spec alignment_result_spec{
    .name = "builtins.AlignmentResult",
    .basicsize = sizeof(Object<AlignmentResult>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = ar_slots,
};
PyType_Spec mar_spec{
    .name = "builtins.MultipleAlignmentResult",
    .basicsize = sizeof(Object<MAR>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = mar_slots,
};
PyType_Spec scan_hit_spec{
    .name = "builtins.ScanHit",
    .basicsize = sizeof(Object<ScanHit>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = hit_slots,
};

}  // namespace

PyTypeObject* create_alignment_result_class() {
  return make_class<AlignmentResult>(&alignment_result_spec);
}
PyTypeObject* create_multiple_alignment_result_class() { return make_class<MAR>(&mar_spec); }
PyTypeObject* create_scan_hit_class() { return make_class<ScanHit>(&scan_hit_spec); }

}  // namespace malven
