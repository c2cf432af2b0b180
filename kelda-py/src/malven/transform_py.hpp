// Array forms of a Transform, shared by the Transform class and the result classes.
#pragma once

#include "kelda/math/transform.hpp"
#include "numpy.hpp"
#include "ref.hpp"

namespace malven {

Ref rotation_array(const kelda::Transform& t);
Ref translation_array(const kelda::Transform& t);
Ref matrix4_array(const kelda::Transform& t);
// ValueError "Coordinates must have shape (N, 3)" unless coords has three columns.
Ref apply_to(const kelda::Transform& t, const Matrix& coords);

}  // namespace malven
