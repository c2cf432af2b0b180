// Pieces of the result classes that other files contribute or reuse.
#pragma once

#include <Python.h>

#include <vector>

#include "kelda/math/transform.hpp"
#include "ref.hpp"

namespace malven {

Ref transforms_list(const std::vector<kelda::Transform>& ts);

}  // namespace malven
