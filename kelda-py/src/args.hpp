// Argument binding and conversion: every entry declares its parameters once (a Signature),
// one binder turns a call into parameter slots with the interpreter's TypeError wording,
// and one conversion table (Convert<T>) turns each slot into a C++ value.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "kelda/records.hpp"
#include "numpy.hpp"
#include "ref.hpp"

namespace malven {

enum class Default : std::uint8_t {
  Required,  // no default
  None,      // `=None`: leaving it out and passing None both mean absent
  Value,     // any other default: only leaving it out takes it; None is converted (and fails)
};

struct Param {
  const char* name;
  Default def = Default::Required;
};

struct Signature {
  // How TypeErrors name the callable: "centroid", "Domain.copy", "Domain.__new__".
  const char* display;
  std::vector<Param> params;
};

inline Param opt(const char* name) { return {name, Default::None}; }
inline Param dflt(const char* name) { return {name, Default::Value}; }

// Binds a vector call; out receives one borrowed object per parameter, or nullptr when
// the parameter was left out.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);
// Binds a tuple/dict call (constructors).
void bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Short class names (`__name__`), for conversion messages.
std::string class_name(PyTypeObject* type);
std::string type_name(PyObject* obj);
[[noreturn]] void cannot_cast(PyObject* obj, const char* target);

// Re-raises a pending TypeError as "argument 'NAME': ..." with the original as __cause__;
// other pending errors are left as they are.
[[noreturn]] void rethrow_with_argument_name(const char* name);

// ---- the conversion table -------------------------------------------------------------

template <class T>
struct Convert;  // static T from(PyObject* obj): throws PyErrSet on failure

template <>
struct Convert<std::string> {
  static std::string from(PyObject* obj);
};
// A Python callable the binding calls itself (on the calling thread, with the interpreter
// lock held), never the core.
struct Callable {
  Ref fn;
};
template <>
struct Convert<Callable> {
  static Callable from(PyObject* obj);
};
// A file-system path: a str, encoded as the interpreter encodes names for the operating
// system (UTF-8, with surrogate escapes standing for bytes that are not UTF-8), so that every
// name os.listdir returns can be opened.
struct FsPath {
  std::string bytes;
};
template <>
struct Convert<FsPath> {
  static FsPath from(PyObject* obj);
};
// The bytes of a `bytes` object, viewed in place; the owner keeps them alive (on PyPy the
// pointer is only valid while a reference is held).
struct ByteView {
  Ref owner;
  std::string_view bytes;
};
template <>
struct Convert<ByteView> {
  static ByteView from(PyObject* obj);
};
template <>
struct Convert<kelda::Char> {
  static kelda::Char from(PyObject* obj);
};
template <>
struct Convert<double> {
  static double from(PyObject* obj);
};
template <>
struct Convert<std::uint32_t> {
  static std::uint32_t from(PyObject* obj);
};
template <>
struct Convert<std::uint64_t> {
  static std::uint64_t from(PyObject* obj);
};
template <>
struct Convert<std::int64_t> {
  static std::int64_t from(PyObject* obj);
};
template <>
struct Convert<bool> {
  static bool from(PyObject* obj);
};
template <int Dims>
struct Convert<ArrayArg<Dims>> {
  static ArrayArg<Dims> from(PyObject* obj) {
    ArrayArg<Dims> a;
    read_array(obj, Dims, a.data, a.shape, a.strides);
    a.array = Ref::borrow(obj);
    return a;
  }
};

// A pair from any sequence of two items that convert.
template <class A, class B>
struct Convert<std::pair<A, B>> {
  static std::pair<A, B> from(PyObject* obj) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) cannot_cast(obj, "tuple");
    if (PySequence_Size(obj) != 2) raise_error(PyExc_ValueError, "expected a pair of two items");
    Ref first = check(PySequence_GetItem(obj, 0));
    Ref second = check(PySequence_GetItem(obj, 1));
    A a = Convert<A>::from(first.get());
    return {std::move(a), Convert<B>::from(second.get())};
  }
};

template <class... Ts>
struct Convert<std::tuple<Ts...>> {
  static std::tuple<Ts...> from(PyObject* obj) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) cannot_cast(obj, "tuple");
    if (PySequence_Size(obj) != static_cast<Py_ssize_t>(sizeof...(Ts)))
      raise_error(PyExc_ValueError, "expected a tuple of " + std::to_string(sizeof...(Ts)) + " items");
    return items(obj, std::index_sequence_for<Ts...>{});
  }

 private:
  template <std::size_t... K>
  static std::tuple<Ts...> items(PyObject* obj, std::index_sequence<K...>) {
    // Braced initialisation converts the items in order.
    return std::tuple<Ts...>{Convert<Ts>::from(Ref(check(PySequence_GetItem(obj, K))).get())...};
  }
};

// Sequences (list, tuple, any sequence) whose items convert; a str is refused.
template <class T>
struct Convert<std::vector<T>> {
  static std::vector<T> from(PyObject* obj) {
    if (PyUnicode_Check(obj)) raise_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) cannot_cast(obj, "Sequence");
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) throw_pyerr();
    std::vector<T> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref item = check(PySequence_GetItem(obj, i));
      out.push_back(Convert<T>::from(item.get()));
    }
    return out;
  }
};

// Converts one bound slot for parameter p: absent values become std::nullopt for optional
// kinds; conversion TypeErrors get the "argument 'NAME': " prefix.
template <class T>
struct ArgOf {
  static T from(PyObject* obj, const Param& p) {
    try {
      return Convert<T>::from(obj);
    } catch (const PyErrSet&) {
      rethrow_with_argument_name(p.name);
    }
  }
};
template <class T>
struct ArgOf<std::optional<T>> {
  static std::optional<T> from(PyObject* obj, const Param& p) {
    if (!obj || (obj == Py_None && p.def == Default::None)) return std::nullopt;
    return ArgOf<T>::from(obj, p);
  }
};

// ---- results back to Python -----------------------------------------------------------

Ref to_py(double v);
Ref to_py(std::uint64_t v);
Ref to_py(std::int64_t v);
Ref to_py(std::uint32_t v);
Ref to_py(bool v);
Ref to_py(const std::string& s);
Ref to_py_bytes(std::string_view s);
Ref to_py(std::u32string_view s);
Ref to_py_char(kelda::Char c);
Ref none();
template <class T>
Ref to_py(const std::optional<T>& v) {
  return v ? to_py(*v) : none();
}
Ref tuple_of(std::initializer_list<Ref> items);
// A new dict of the given keys (ASCII names) and values.
Ref dict_of(std::initializer_list<std::pair<const char*, Ref>> items);
template <class T, class F>
Ref list_of(const std::vector<T>& items, F&& convert) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), convert(items[i]).release());
  return list;
}
// Pairs (residue pairs among them) as tuples, vectors of what to_py converts as lists.
template <class A, class B>
Ref to_py(const std::pair<A, B>& p) {
  return tuple_of({to_py(p.first), to_py(p.second)});
}
template <class T>
Ref to_py(const std::vector<T>& items) {
  return list_of(items, [](const T& v) { return to_py(v); });
}

}  // namespace malven
