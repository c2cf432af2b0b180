// Access to NumPy's C interface table, loaded once per process without import_array().
#define PY_ARRAY_UNIQUE_SYMBOL MALVEN_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include "numpy.hpp"

#include <numpy/arrayobject.h>

#include <string>

#include "args.hpp"
#include "errors.hpp"

namespace malven {

namespace {

std::string pending_error_text() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
  std::string out;
  if (t) {
    Ref name = Ref::steal(PyObject_GetAttrString(t.get(), "__name__"));
    if (name) {
      if (const char* s = PyUnicode_AsUTF8(name.get())) out = s;
    }
  }
  if (v) {
    Ref s = Ref::steal(PyObject_Str(v.get()));
    if (s) {
      if (const char* c = PyUnicode_AsUTF8(s.get())) out += std::string(": ") + c;
    }
  }
  PyErr_Clear();
  return out;
}

[[noreturn]] void capsule_fault() {
  // Ctrl-C or an exit arriving while NumPy loads is no fault of NumPy's (nor ours): the
  // exception, one that is not an Exception, goes up as itself.
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrSet{};
  raise_error(panic_exception(),
              "Failed to access NumPy array API capsule: " + pending_error_text());
}

// Not cached on failure, so the next array operation tries again.
void ensure_numpy() {
  if (MALVEN_ARRAY_API) return;
  Ref np = Ref::steal(PyImport_ImportModule("numpy"));
  if (!np) capsule_fault();
  Ref version = Ref::steal(PyObject_GetAttrString(np.get(), "__version__"));
  if (!version) capsule_fault();
  Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
  if (!lib) capsule_fault();
  Ref cls = Ref::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
  if (!cls) capsule_fault();
  Ref parsed = Ref::steal(PyObject_CallFunctionObjArgs(cls.get(), version.get(), nullptr));
  if (!parsed) capsule_fault();
  Ref major_obj = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major_obj) capsule_fault();
  long major = PyLong_AsLong(major_obj.get());
  if (major == -1 && PyErr_Occurred()) capsule_fault();
  const char* core = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  Ref multiarray = Ref::steal(PyImport_ImportModule(core));
  if (!multiarray) capsule_fault();
  Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) capsule_fault();
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (!table) capsule_fault();
  MALVEN_ARRAY_API = static_cast<void**>(table);  // the capsule lives as long as NumPy does
}

}  // namespace

void load_numpy() { ensure_numpy(); }

namespace {

[[noreturn]] void not_an_ndarray(PyObject* obj) {
  cannot_cast(obj, "ndarray");
}

}  // namespace

void read_array(PyObject* obj, int dims, const char*& data, Py_ssize_t* shape,
                Py_ssize_t* strides) {
  ensure_numpy();
  if (!PyArray_Check(obj)) not_an_ndarray(obj);
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(arr) != dims) not_an_ndarray(obj);
  PyArray_Descr* f64 = PyArray_DescrFromType(NPY_FLOAT64);
  const bool same = PyArray_DESCR(arr) == f64 || PyArray_EquivTypes(PyArray_DESCR(arr), f64);
  Py_DECREF(f64);
  if (!same) not_an_ndarray(obj);
  data = static_cast<const char*>(PyArray_DATA(arr));
  for (int d = 0; d < dims; ++d) {
    shape[d] = PyArray_DIMS(arr)[d];
    strides[d] = PyArray_STRIDES(arr)[d];
  }
}

Ref new_array(std::span<const Py_ssize_t> shape, std::span<const double> values) {
  ensure_numpy();
  npy_intp dims[2] = {0, 0};
  for (std::size_t d = 0; d < shape.size(); ++d) dims[d] = shape[d];
  PyArray_Descr* f64 = PyArray_DescrFromType(NPY_FLOAT64);  // reference stolen below
  Ref out = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, f64, static_cast<int>(shape.size()),
                                            dims, nullptr, nullptr, 0, nullptr));
  if (!out) throw_pyerr();
  if (!values.empty())
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())), values.data(),
                values.size() * sizeof(double));
  return out;
}

Ref points_to_array(std::span<const kelda::Vec3> pts) {
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(pts.size()), 3};
  return new_array(shape, std::span<const double>(pts.empty() ? nullptr : pts.data()->data(),
                                                  pts.size() * 3));
}

}  // namespace malven
