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

const Param value_param{"value"};

template <auto Field>
Ref get(const Parameters& p) {
  return to_py(p.*Field);
}
template <auto Field, class V>
void put(Parameters& p, V v) {
  p.*Field = v;
}

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

#define FLOAT_ATTR(field, doc)                                                              \
  {#field, getter<Parameters, get<&Parameters::field>>,                                     \
   setter<Parameters, double, value_param, put<&Parameters::field, double>>, doc, nullptr}
#define COUNT_ATTR(field, doc)                                                              \
  {#field, getter<Parameters, get<&Parameters::field>>, set_count<&Parameters::field>, doc, \
   nullptr}

PyGetSetDef getset[] = {
    COUNT_ATTR(n_passes, "Number of refinement passes."),
    FLOAT_ATTR(e1, "E1 parameter for Pij calculation."),
    FLOAT_ATTR(e2, "E2 parameter for Pij calculation."),
    FLOAT_ATTR(gap_open, "Gap opening penalty."),
    FLOAT_ATTR(gap_extend, "Gap extension penalty."),
    {"use_secondary", getter<Parameters, get<&Parameters::use_secondary>>,
     setter<Parameters, bool, value_param, put<&Parameters::use_secondary, bool>>,
     "Whether to use secondary structure in scoring.", nullptr},
    COUNT_ATTR(max_iter, "Maximum iterations for refinement."),
    FLOAT_ATTR(cutoff_dist, "Distance cutoff for scoring."),
    FLOAT_ATTR(score_cutoff, "Score cutoff for alignment."),
    FLOAT_ATTR(convergence, "Convergence threshold."),
    COUNT_ATTR(verbosity, "Verbosity level."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(constructor<Parameters, new_sig, make>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Parameters>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary<Parameters, repr>)},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>(
                    "Parameters()\n--\n\n"
                    "Python wrapper for alignment parameters.\n\n"
                    "All parameters have sensible defaults matching the original KELDA behavior.")},
    {0, nullptr},
};

PyType_Spec spec{
    .name = "builtins.Parameters",
    .basicsize = sizeof(Object<Parameters>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = slots,
};

}  // namespace

PyTypeObject* create_parameters_class() { return make_class<Parameters>(&spec); }

}  // namespace malven
