// The binder and the conversion table, with every binding message in one place.
#include "args.hpp"

#include <cstring>
#include <limits>
#include <string_view>

namespace malven {

namespace {

std::string quoted(const char* name) { return std::string("'") + name + "'"; }

[[noreturn]] void binding_error(const Signature& sig, const std::string& tail) {
  raise_error(PyExc_TypeError, std::string(sig.display) + "() " + tail);
}

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::size_t required = 0;
  for (const auto& p : sig.params) required += p.def == Default::Required;
  const std::size_t max = sig.params.size();
  std::string takes = required == max ? std::to_string(max)
                                      : "from " + std::to_string(required) + " to " +
                                            std::to_string(max);
  takes += (required == max && max == 1) ? " positional argument" : " positional arguments";
  binding_error(sig, "takes " + takes + " but " + std::to_string(given) +
                         (given == 1 ? " was given" : " were given"));
}

[[noreturn]] void missing_required(const Signature& sig, const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += quoted(names[i]);
  }
  binding_error(sig, "missing " + std::to_string(names.size()) + " required positional argument" +
                         (names.size() == 1 ? "" : "s") + ": " + list);
}

// Places one keyword argument; key must be a str.
void place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
  if (!PyUnicode_Check(key)) raise_error(PyExc_TypeError, "keywords must be strings");
  Py_ssize_t len = 0;
  const char* k = PyUnicode_AsUTF8AndSize(key, &len);
  if (!k) throw_pyerr();
  const std::string_view kv(k, static_cast<std::size_t>(len));
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (kv == sig.params[i].name) {
      if (out[i]) binding_error(sig, "got multiple values for argument " + quoted(sig.params[i].name));
      out[i] = value;
      return;
    }
  }
  binding_error(sig, "got an unexpected keyword argument '" + std::string(kv) + "'");
}

void finish(const Signature& sig, PyObject** out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.params.size(); ++i)
    if (!out[i] && sig.params[i].def == Default::Required) missing.push_back(sig.params[i].name);
  if (!missing.empty()) missing_required(sig, missing);
}

}  // namespace

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  const auto n = static_cast<Py_ssize_t>(sig.params.size());
  if (nargs > n) too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
  }
  finish(sig, out);
}

void bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  const auto n = static_cast<Py_ssize_t>(sig.params.size());
  if (nargs > n) too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, out);
  }
  finish(sig, out);
}

std::string class_name(PyTypeObject* type) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    if (const char* s = PyUnicode_AsUTF8(name.get())) return s;
  }
  PyErr_Clear();
  return type->tp_name;
}

std::string type_name(PyObject* obj) { return class_name(Py_TYPE(obj)); }

void cannot_cast(PyObject* obj, const char* target) {
  raise_error(PyExc_TypeError,
              "'" + type_name(obj) + "' object cannot be cast as '" + target + "'");
}

void rethrow_with_argument_name(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_pyerr();
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Ref cause = Ref::steal(value);
  Ref t = Ref::steal(type), b = Ref::steal(tb);
  Ref text = Ref::steal(cause ? PyObject_Str(cause.get()) : nullptr);
  const char* msg = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (!msg) {
    PyErr_Clear();
    msg = "";
  }
  Ref err = check(PyObject_CallFunction(PyExc_TypeError, "s",
                                        (std::string("argument '") + name + "': " + msg).c_str()));
  // SetCause steals the reference to the cause.
  PyException_SetCause(err.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, err.get());
  throw_pyerr();
}

std::string Convert<std::string>::from(PyObject* obj) {
  if (!PyUnicode_Check(obj)) cannot_cast(obj, "str");
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!s) throw_pyerr();
  return std::string(s, static_cast<std::size_t>(len));
}

Callable Convert<Callable>::from(PyObject* obj) {
  if (!PyCallable_Check(obj)) cannot_cast(obj, "callable");
  return Callable{Ref::borrow(obj)};
}

FsPath Convert<FsPath>::from(PyObject* obj) {
  if (!PyUnicode_Check(obj)) cannot_cast(obj, "str");
  Ref encoded = check(PyUnicode_EncodeFSDefault(obj));
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &len) < 0) throw_pyerr();
  return FsPath{std::string(data, static_cast<std::size_t>(len))};
}

ByteView Convert<ByteView>::from(PyObject* obj) {
  if (!PyBytes_Check(obj)) cannot_cast(obj, "bytes");
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &len) < 0) throw_pyerr();
  return ByteView{Ref::borrow(obj), std::string_view(data, static_cast<std::size_t>(len))};
}

kelda::Char Convert<kelda::Char>::from(PyObject* obj) {
  const std::string s = Convert<std::string>::from(obj);
  std::u32string cps;
  if (!kelda::from_utf8(s, cps) || cps.size() != 1)
    raise_error(PyExc_ValueError, "expected a string of length 1");
  return cps[0];
}

double Convert<double>::from(PyObject* obj) {
  if (PyFloat_Check(obj)) return PyFloat_AS_DOUBLE(obj);
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    // CPython falls back to __index__ when there is no __float__; PyPy's emulation does
    // not, so the fallback is made here and both interpreters accept the same objects.
    if (!PyErr_ExceptionMatches(PyExc_TypeError) || !PyIndex_Check(obj)) throw_pyerr();
    PyErr_Clear();
    Ref index = check(PyNumber_Index(obj));
    const double w = PyLong_AsDouble(index.get());
    if (w == -1.0 && PyErr_Occurred()) throw_pyerr();
    return w;
  }
  return v;
}

namespace {
[[noreturn]] void out_of_range() {
  raise_error(PyExc_OverflowError, "out of range integral type conversion attempted");
}
}  // namespace

std::uint32_t Convert<std::uint32_t>::from(PyObject* obj) {
  Ref index = check(PyNumber_Index(obj));
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw_pyerr();
  if (overflow != 0 || v < 0 || v > std::numeric_limits<std::uint32_t>::max()) out_of_range();
  return static_cast<std::uint32_t>(v);
}

std::uint64_t Convert<std::uint64_t>::from(PyObject* obj) {
  Ref index = check(PyNumber_Index(obj));
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // Negative values keep the interpreter's own OverflowError; too large ones get ours.
    int overflow = 0;
    PyErr_Clear();
    const long long s = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow > 0) out_of_range();
    (void)s;
    PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
    throw_pyerr();
  }
  return v;
}

std::int64_t Convert<std::int64_t>::from(PyObject* obj) {
  Ref index = check(PyNumber_Index(obj));
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw_pyerr();
  if (overflow != 0) out_of_range();
  return v;
}

bool Convert<bool>::from(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  // NumPy's boolean scalar is the one other type accepted.
  const std::string name = Py_TYPE(obj)->tp_name;
  if (name == "numpy.bool_" || name == "numpy.bool") {
    const int t = PyObject_IsTrue(obj);
    if (t < 0) throw_pyerr();
    return t != 0;
  }
  cannot_cast(obj, "bool");
}

Ref to_py(double v) { return check(PyFloat_FromDouble(v)); }
Ref to_py(std::int64_t v) { return check(PyLong_FromLongLong(v)); }

Ref to_py(std::uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }
Ref to_py(std::uint32_t v) { return check(PyLong_FromUnsignedLong(v)); }
Ref to_py(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
Ref to_py(const std::string& s) {
  // Texts taken from file names or file content may hold bytes that are not UTF-8; they
  // come back as surrogate escapes (as os.fsdecode gives them) rather than as an error.
  return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()),
                                    "surrogateescape"));
}
Ref to_py_bytes(std::string_view s) {
  return check(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
Ref to_py(std::u32string_view s) { return to_py(kelda::to_utf8(s)); }
Ref to_py_char(kelda::Char c) {
  std::string s;
  kelda::append_utf8(s, c);
  return to_py(s);
}
Ref none() { return Ref::borrow(Py_None); }

Ref dict_of(std::initializer_list<std::pair<const char*, Ref>> items) {
  Ref d = check(PyDict_New());
  for (const auto& [key, value] : items)
    if (PyDict_SetItemString(d.get(), key, value.get()) < 0) throw_pyerr();
  return d;
}

Ref tuple_of(std::initializer_list<Ref> items) {
  Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (const Ref& item : items) {
    // initializer_list elements are const; the tuple takes its own reference.
    PyTuple_SET_ITEM(t.get(), i++, Ref::borrow(item.get()).release());
  }
  return t;
}

}  // namespace malven
