// Python entries of the structure-file readers and writers.
#include "results.hpp"

namespace malven {

std::vector<PyMethodDef> multiple_alignment_result_extra_methods() { return {}; }

}  // namespace malven
