// The Parameters class: the eleven alignment settings as read-write attributes.
#include "args.hpp"
#include "classes.hpp"
#include "format.hpp"
#include "module.hpp"

namespace malven {

using kelda::Parameters;

namespace {

const Signature new_sig{"Parameters.__new__", {}};
Parameters make() { return Parameters{}; }

// Integer settings: the interpreter's own conversion errors pass through unprefixed.
template <auto Field>
int set_count(PyObject* self, PyObject* value, void*) noexcept {
  return guarded_status([&] {
    if (!value) raise_error(PyExc_AttributeError, "can't delete attribute");
    const std::uint32_t v = Convert<std::uint32_t>::from(value);
    Exclusive<Parameters> receiver(self);
    (*receiver).*Field = v;
  });
}

Ref repr(const Parameters& p) {
  return to_py("Parameters(n_passes=" + std::to_string(p.n_passes) + ", e1=" + shortest(p.e1) +
               ", e2=" + shortest(p.e2) + ", gap_open=" + shortest(p.gap_open) +
               ", use_secondary=" + yes_no(p.use_secondary) + ")");
}

#define FLOAT_ATTR(field, doc) setting<Parameters, &Parameters::field>(#field, doc)
#define COUNT_ATTR(field, doc)                                                        \
  {#field, getter<Parameters, read_member<Parameters, &Parameters::field>>,          \
   set_count<&Parameters::field>, doc, nullptr}

PyGetSetDef getset[] = {
    COUNT_ATTR(n_passes, "Number of refinement passes."),
    FLOAT_ATTR(e1, "E1 parameter for Pij calculation."),
    FLOAT_ATTR(e2, "E2 parameter for Pij calculation."),
    FLOAT_ATTR(gap_open, "Gap opening penalty."),
    FLOAT_ATTR(gap_extend, "Gap extension penalty."),
    setting<Parameters, &Parameters::use_secondary>(
        "use_secondary", "Whether to use secondary structure in scoring."),
    COUNT_ATTR(max_iter, "Maximum iterations for refinement."),
    FLOAT_ATTR(cutoff_dist, "Distance cutoff for scoring."),
    FLOAT_ATTR(score_cutoff, "Score cutoff for alignment."),
    FLOAT_ATTR(convergence, "Convergence threshold."),
    COUNT_ATTR(verbosity, "Verbosity level."),
    kEndOfAttributes,
};

}  // namespace

PyTypeObject* create_parameters_class() {
  return value_class<Parameters, new_sig, make, repr>(
      {.qualified = "builtins.Parameters",
       .doc = "Parameters()\n--\n\n"
              "Python wrapper for alignment parameters.\n\n"
              "All parameters have sensible defaults matching the original KELDA behavior.",
       .getset = getset});
}

}  // namespace malven
