// NumPy arrays at the boundary: strided read-only views of float64 arguments, and new
// C-order float64 results. NumPy is reached through its "_ARRAY_API" capsule on first use.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <span>

#include "kelda/math/vec3.hpp"
#include "ref.hpp"

namespace malven {

// Loads NumPy's table now rather than at the first array operation; an internal fault if
// NumPy cannot be reached.
void load_numpy();

// A float64 argument of the declared number of dimensions, read through its strides.
// The array is owned for the call, so its data stays valid while the view is used.
template <int Dims>
class ArrayArg {
 public:
  Ref array;
  const char* data = nullptr;
  Py_ssize_t shape[2] = {0, 0};
  Py_ssize_t strides[2] = {0, 0};

  Py_ssize_t rows() const noexcept { return shape[0]; }
  Py_ssize_t cols() const noexcept { return Dims == 2 ? shape[1] : 1; }
  double at(Py_ssize_t i, Py_ssize_t j = 0) const noexcept {
    double v;
    std::memcpy(&v, data + i * strides[0] + (Dims == 2 ? j * strides[1] : 0), sizeof v);
    return v;
  }
  // Rows as points (first three columns); callers check the column count first.
  kelda::PointsView points() const noexcept {
    return kelda::PointsView(data, static_cast<std::size_t>(shape[0]), strides[0],
                             Dims == 2 ? strides[1] : 0);
  }
};
using Matrix = ArrayArg<2>;
using Vector = ArrayArg<1>;

// Fills the view, or throws TypeError "'T' object cannot be cast as 'ndarray'" (the
// caller adds the argument-name prefix).
void read_array(PyObject* obj, int dims, const char*& data, Py_ssize_t* shape,
                Py_ssize_t* strides);

// New C-order float64 array of the given shape, values copied in row-major order.
Ref new_array(std::span<const Py_ssize_t> shape, std::span<const double> values);
Ref points_to_array(std::span<const kelda::Vec3> pts);

}  // namespace malven
