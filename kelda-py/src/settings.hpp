// Settings classes: C++ records bound with read-write attributes whose defaults live in the
// record. From the attribute table alone each class gets construction by keywords (each one
// set as its attribute, with that attribute's checks), a repr of every field, and pickling by
// the fields' values (settings travel to worker processes).
#pragma once

#include <Python.h>

#include <cstring>
#include <string>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "ref.hpp"

namespace malven {

// The attribute table of T's settings class, set where the class is defined.
template <class T>
struct FieldsOf {
  static inline PyGetSetDef* table = nullptr;
};

// A field's name of an earlier release, read and written as the field's new name with a
// DeprecationWarning; it stays out of the repr and of the pickled state, which hold the new
// name. `message` names both, as the toolkit's other renamings do ("X.old is now new").
struct Renamed {
  const char* now;
  const char* message;
};

inline PyObject* renamed_get(PyObject* self, void* closure) noexcept {
  const auto* r = static_cast<const Renamed*>(closure);
  if (PyErr_WarnEx(PyExc_DeprecationWarning, r->message, 1) < 0) return nullptr;
  return PyObject_GetAttrString(self, r->now);
}

inline int renamed_set(PyObject* self, PyObject* value, void* closure) noexcept {
  const auto* r = static_cast<const Renamed*>(closure);
  if (PyErr_WarnEx(PyExc_DeprecationWarning, r->message, 1) < 0) return -1;
  return PyObject_SetAttrString(self, r->now, value);
}

inline PyGetSetDef renamed(const char* old, const Renamed& r) {
  return {old, renamed_get, renamed_set, r.message, const_cast<Renamed*>(&r)};
}

namespace settings_detail {

// The fields a repr and the pickled state show: the settable attributes under their
// current names.
inline bool is_shown(const PyGetSetDef* d) { return d->set && d->get != renamed_get; }

// f(name, value) for each shown field of an instance, in table order.
template <class T, class F>
void for_each_shown(PyObject* self, F&& f) {
  for (PyGetSetDef* d = FieldsOf<T>::table; d && d->name; ++d)
    if (is_shown(d)) f(d->name, check(PyObject_GetAttrString(self, d->name)));
}

template <class T>
bool is_field(std::string_view name) {
  for (PyGetSetDef* d = FieldsOf<T>::table; d && d->name; ++d)
    if (d->set && name == d->name) return true;
  return false;
}

template <class T>
void set_fields(PyObject* self, PyObject* fields, bool from_call) {
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(fields, &pos, &key, &value)) {
    const std::string name = Convert<std::string>::from(key);
    if (!is_field<T>(name)) {
      if (from_call)
        raise_error(PyExc_TypeError, std::string(ClassOf<T>::name) +
                                         "() got an unexpected keyword argument '" + name + "'");
      raise_error(PyExc_ValueError,
                  std::string(ClassOf<T>::name) + " has no setting '" + name + "'");
    }
    if (PyObject_SetAttr(self, key, value) < 0) throw_pyerr();
  }
}

}  // namespace settings_detail

template <class T>
PyObject* settings_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    if (args && PyTuple_GET_SIZE(args) > 0)
      raise_error(PyExc_TypeError, std::string(ClassOf<T>::name) +
                                       "() takes keyword arguments only, one per setting");
    Ref obj = build_instance<T>(type, T{});
    if (kwargs) settings_detail::set_fields<T>(obj.get(), kwargs, true);
    return obj;
  });
}

template <class T>
PyObject* settings_repr(PyObject* self) noexcept {
  return guarded([&] {
    std::string text = std::string(ClassOf<T>::name) + "(";
    bool first = true;
    settings_detail::for_each_shown<T>(self, [&](const char* name, Ref value) {
      Ref shown = check(PyObject_Repr(value.get()));
      text +=
          (first ? "" : ", ") + std::string(name) + "=" + Convert<std::string>::from(shown.get());
      first = false;
    });
    return to_py(text + ")");
  });
}

template <class T>
PyObject* settings_getstate(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    Ref state = check(PyDict_New());
    settings_detail::for_each_shown<T>(self, [&](const char* name, Ref value) {
      if (PyDict_SetItemString(state.get(), name, value.get()) < 0) throw_pyerr();
    });
    return state;
  });
}

template <class T>
PyObject* settings_setstate(PyObject* self, PyObject* state) noexcept {
  return guarded([&] {
    if (!PyDict_Check(state)) cannot_cast(state, "dict");
    settings_detail::set_fields<T>(self, state, false);
    return none();
  });
}

// The methods every settings class has.
#define MALVEN_SETTINGS_METHODS(T)                                                   \
  {"__getstate__", settings_getstate<T>, METH_NOARGS,                                \
   "__getstate__($self)\n--\n\nThe settings as a dict of field name to value."},   \
  {"__setstate__", settings_setstate<T>, METH_O,                                     \
   "__setstate__($self, state)\n--\n\nSets the fields of a dict made by __getstate__."}

}  // namespace malven
