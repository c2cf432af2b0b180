// The Transform class: an immutable rigid-body motion (rotation first, then translation).
#include "args.hpp"
#include "classes.hpp"
#include "format.hpp"
#include "module.hpp"
#include "transform_py.hpp"

namespace malven {

using kelda::Transform;

Ref rotation_array(const Transform& t) {
  const Py_ssize_t shape[2] = {3, 3};
  double v[9];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) v[i * 3 + j] = t.rotation[i][j];
  return new_array(shape, v);
}

Ref translation_array(const Transform& t) {
  const Py_ssize_t shape[1] = {3};
  return new_array(shape, t.translation);
}

Ref matrix4_array(const Transform& t) {
  const Py_ssize_t shape[2] = {4, 4};
  const auto m = t.matrix4();
  return new_array(shape, m);
}

Ref apply_to(const Transform& t, const Matrix& coords) {
  if (coords.cols() != 3) raise_error(PyExc_ValueError, "Coordinates must have shape (N, 3)");
  return points_to_array(t.apply(coords.points()));
}

namespace {

const Signature new_sig{"Transform.__new__", {}};
Transform make() { return Transform{}; }

const Signature from_matrix_sig{"Transform.from_matrix", {{"rotation"}, {"translation"}}};
Ref from_matrix(Matrix rotation, Vector translation) {
  if (rotation.rows() != 3 || rotation.cols() != 3)
    raise_error(PyExc_ValueError, "Rotation must be 3x3 matrix");
  if (translation.rows() != 3) raise_error(PyExc_ValueError, "Translation must be 3-element vector");
  Transform t;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) t.rotation[i][j] = rotation.at(i, j);
    t.translation[i] = translation.at(i);
  }
  return wrap(t);
}

const Signature apply_sig{"Transform.apply", {{"coords"}}};
Ref apply(const Transform& t, Matrix coords) { return apply_to(t, coords); }

Ref inverse(const Transform& t) { return wrap(kelda::inverse(t)); }

const Signature compose_sig{"Transform.compose", {{"other"}}};
Ref compose(const Transform& t, Shared<Transform> other) { return wrap(kelda::compose(t, *other)); }

Ref repr(const Transform& t) {
  return to_py("Transform(translation=[" + fixed(t.translation[0], 3) + ", " +
               fixed(t.translation[1], 3) + ", " + fixed(t.translation[2], 3) + "])");
}

PyMethodDef methods[] = {
    {"from_matrix", MALVEN_FASTCALL((function<from_matrix_sig, from_matrix>)),
     kFastcall | METH_STATIC,
     "from_matrix(rotation, translation)\n--\n\n"
     "Creates a transformation from rotation matrix and translation vector.\n\n"
     "Args:\n"
     "    rotation: 3x3 rotation matrix as numpy array.\n"
     "    translation: 3-element translation vector as numpy array."},
    {"transformation_matrix", (method0<Transform, matrix4_array>), METH_NOARGS,
     "transformation_matrix($self)\n--\n\nReturns the full 4x4 transformation matrix."},
    {"apply", MALVEN_FASTCALL((method<Transform, apply_sig, apply>)), kFastcall,
     "apply($self, coords)\n--\n\n"
     "Applies this transformation to coordinates.\n\n"
     "Args:\n"
     "    coords: Nx3 array of coordinates.\n\n"
     "Returns:\n"
     "    Transformed Nx3 array."},
    {"inverse", (method0<Transform, inverse>), METH_NOARGS,
     "inverse($self)\n--\n\nReturns the inverse transformation."},
    {"compose", MALVEN_FASTCALL((method<Transform, compose_sig, compose>)), kFastcall,
     "compose($self, other)\n--\n\n"
     "Composes this transformation with another (self * other)."},
    kEndOfMethods,
};

PyGetSetDef getset[] = {
    computed<Transform, rotation_array>("rotation",
                                        "Returns the rotation matrix as 3x3 numpy array."),
    computed<Transform, translation_array>("translation",
                                           "Returns the translation vector as numpy array."),
    kEndOfAttributes,
};

}  // namespace

PyTypeObject* create_transform_class() {
  return value_class<Transform, new_sig, make, repr>(
      {.qualified = "builtins.Transform",
       .doc = "Transform()\n--\n\n"
              "Python wrapper for 3D rigid body transformation.\n\n"
              "Represents a rotation followed by translation.",
       .getset = getset,
       .methods = methods});
}

}  // namespace malven
