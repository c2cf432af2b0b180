// Module functions on coordinate arrays: compute_rmsd, superpose, distance_matrix, centroid.
#include "args.hpp"
#include "classes.hpp"
#include "kelda/math/coords.hpp"
#include "kelda/math/superpose.hpp"
#include "module.hpp"

namespace malven {

namespace {

void require_three_columns(const Matrix& m) {
  if (m.cols() != 3) raise_error(PyExc_ValueError, "Coordinates must have shape (N, 3)");
}
void require_same_shape(const Matrix& a, const Matrix& b) {
  if (a.rows() != b.rows() || a.cols() != b.cols())
    raise_error(PyExc_ValueError, "Coordinate arrays must have same shape");
}

const Signature compute_rmsd_sig{"compute_rmsd", {{"coords1"}, {"coords2"}}};
Ref compute_rmsd(Matrix coords1, Matrix coords2) {
  require_same_shape(coords1, coords2);
  require_three_columns(coords1);
  return to_py(kelda::rmsd(coords1.points(), coords2.points()));
}

const Signature superpose_sig{"superpose", {{"fixed"}, {"mobile"}}};
Ref superpose(Matrix fixed, Matrix mobile) {
  require_same_shape(fixed, mobile);
  // Points are the first three columns; narrower rows cannot form points.
  if (fixed.rows() > 0 && fixed.cols() < 3)
    raise_error(PyExc_ValueError, "Coordinates must have at least 3 columns");
  auto s = kelda::superpose(fixed.points(), mobile.points());
  return tuple_of({wrap(s.transform), to_py(s.rmsd)});
}

const Signature distance_matrix_sig{"distance_matrix", {{"coords1"}, {"coords2"}}};
Ref distance_matrix(Matrix coords1, Matrix coords2) {
  require_three_columns(coords1);
  require_three_columns(coords2);
  const auto d = kelda::distance_matrix(coords1.points(), coords2.points());
  const Py_ssize_t shape[2] = {coords1.rows(), coords2.rows()};
  return new_array(shape, d);
}

const Signature centroid_sig{"centroid", {{"coords"}}};
Ref centroid(Matrix coords) {
  require_three_columns(coords);
  const auto c = kelda::centroid(coords.points());
  return tuple_of({to_py(c[0]), to_py(c[1]), to_py(c[2])});
}

}  // namespace

PyMethodDef compute_rmsd_def{
    "compute_rmsd", MALVEN_FASTCALL((function<compute_rmsd_sig, compute_rmsd>)),
    kFastcall,
    "compute_rmsd(coords1, coords2)\n--\n\n"
    "Computes RMSD between two coordinate sets.\n\n"
    "Args:\n"
    "    coords1: First coordinate array (N x 3).\n"
    "    coords2: Second coordinate array (N x 3).\n\n"
    "Returns:\n"
    "    RMSD value in same units as input coordinates."};

PyMethodDef superpose_def{
    "superpose", MALVEN_FASTCALL((function<superpose_sig, superpose>)),
    kFastcall,
    "superpose(fixed, mobile)\n--\n\n"
    "Computes optimal superposition of two coordinate sets.\n\n"
    "Args:\n"
    "    fixed: Reference coordinates (N x 3).\n"
    "    mobile: Coordinates to transform (N x 3).\n\n"
    "Returns:\n"
    "    Tuple of (Transform, rmsd)."};

PyMethodDef distance_matrix_def{
    "distance_matrix", MALVEN_FASTCALL((function<distance_matrix_sig, distance_matrix>)),
    kFastcall,
    "distance_matrix(coords1, coords2)\n--\n\n"
    "Computes distance matrix between two coordinate sets.\n\n"
    "Args:\n"
    "    coords1: First coordinate array (M x 3).\n"
    "    coords2: Second coordinate array (N x 3).\n\n"
    "Returns:\n"
    "    MxN distance matrix as numpy array."};

PyMethodDef centroid_def{
    "centroid", MALVEN_FASTCALL((function<centroid_sig, centroid>)), kFastcall,
    "centroid(coords)\n--\n\n"
    "Computes centroid of a coordinate set.\n\n"
    "Args:\n"
    "    coords: Coordinate array (N x 3).\n\n"
    "Returns:\n"
    "    Centroid as (x, y, z) tuple."};

}  // namespace malven
