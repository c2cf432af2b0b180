// Core enumerations as Python enum classes: each C++ enum gets one class (made with the
// interpreter's own `enum` module when the module is built), its members in declaration
// order; arguments convert from the members or their names, results become members.
#pragma once

#include <Python.h>

#include <array>
#include <cctype>   // toupper, tolower: names in any case
#include <cstddef>
#include <string>
#include <type_traits>

#include "args.hpp"
#include "errors.hpp"
#include "ref.hpp"

namespace malven {

// A Python member's name and the enumerator it names.
template <class E>
struct EnumMember {
  const char* name;
  E value;
};

// Specialised per enumeration: `name` (the class name) and `members` (EnumMembers, in the
// order of the C++ values 0, 1, ...).
template <class E>
struct EnumOf;

// The Python class of each enumeration, set by make_enum.
template <class E>
struct EnumClass {
  static inline PyObject* type = nullptr;
};

template <class E>
concept BoundEnum = std::is_enum_v<E> && requires { EnumOf<E>::members; };

// Whether every member stands at its enumerator's value: a name moved, or paired with another
// enumerator, fails to compile.
template <BoundEnum E>
constexpr bool members_in_order() {
  for (std::size_t k = 0; k < EnumOf<E>::members.size(); ++k)
    if (static_cast<std::size_t>(EnumOf<E>::members[k].value) != k) return false;
  return true;
}

// The Python name of an enumerator.
template <BoundEnum E>
const char* member_name(E e) {
  return EnumOf<E>::members[static_cast<std::size_t>(e)].name;
}

// Creates the class as enum.Enum(name, [(member, value), ...], module=module) and records it.
template <BoundEnum E>
Ref make_enum(const char* module, const char* doc) {
  static_assert(members_in_order<E>(), "an enumeration's names are out of order");
  Ref enum_module = check(PyImport_ImportModule("enum"));
  Ref base = check(PyObject_GetAttrString(enum_module.get(), "Enum"));
  constexpr auto& members = EnumOf<E>::members;
  Ref items = check(PyList_New(static_cast<Py_ssize_t>(members.size())));
  for (std::size_t k = 0; k < members.size(); ++k)
    PyList_SET_ITEM(items.get(), static_cast<Py_ssize_t>(k),
                    tuple_of({to_py(std::string(members[k].name)), to_py(static_cast<std::uint64_t>(k))})
                        .release());
  Ref args = tuple_of({to_py(std::string(EnumOf<E>::name)), Ref::borrow(items.get())});
  Ref kwargs = check(PyDict_New());
  if (PyDict_SetItemString(kwargs.get(), "module", to_py(std::string(module)).get()) < 0)
    throw_pyerr();
  Ref type = check(PyObject_Call(base.get(), args.get(), kwargs.get()));
  if (PyObject_SetAttrString(type.get(), "__doc__", to_py(std::string(doc)).get()) < 0)
    throw_pyerr();
  EnumClass<E>::type = Ref::borrow(type.get()).release();  // kept for the life of the process
  return type;
}

// A member's name in any case, '-' for '_' ("kelda-quick" for KELDA_QUICK), or an alias of
// the enumeration's `aliases` (pairs of a lower-case word and a member); -1 for none.
template <BoundEnum E>
int member_named(std::string text) {
  for (char& c : text) c = c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  constexpr auto& members = EnumOf<E>::members;
  for (std::size_t k = 0; k < members.size(); ++k)
    if (text == members[k].name) return static_cast<int>(k);
  if constexpr (requires { EnumOf<E>::aliases; })
    for (const auto& [word, member] : EnumOf<E>::aliases) {
      std::string upper = word;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (text == upper) return static_cast<int>(member);
    }
  return -1;
}

template <BoundEnum E>
[[noreturn]] void no_member_named(const std::string& text) {
  std::string names;
  for (const auto& m : EnumOf<E>::members) {
    std::string lower = m.name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    names += (names.empty() ? "" : ", ") + lower;
  }
  if constexpr (requires { EnumOf<E>::aliases; })
    for (const auto& [word, member] : EnumOf<E>::aliases) names += std::string(", ") + word;
  raise_error(PyExc_ValueError, "'" + text + "' is not a " + EnumOf<E>::name + ": one of " + names);
}

template <BoundEnum E>
struct Convert<E> {
  static E from(PyObject* obj) {
    PyObject* type = EnumClass<E>::type;
    if (PyUnicode_Check(obj)) {
      // Members may be named, as the command line names them.
      const std::string text = Convert<std::string>::from(obj);
      const int k = member_named<E>(text);
      if (k < 0) no_member_named<E>(text);
      return static_cast<E>(k);
    }
    const int is = type ? PyObject_IsInstance(obj, type) : 0;
    if (is < 0) throw_pyerr();
    if (!is) cannot_cast(obj, EnumOf<E>::name);
    Ref value = check(PyObject_GetAttrString(obj, "value"));
    const std::uint64_t v = Convert<std::uint64_t>::from(value.get());
    if (v >= EnumOf<E>::members.size()) kelda::internal_fault("enum value out of range");
    return static_cast<E>(v);
  }
};

template <BoundEnum E>
Ref to_py(E e) {
  if (!EnumClass<E>::type)
    kelda::internal_fault(std::string("enum not initialised: ") + EnumOf<E>::name);
  return check(PyObject_CallFunction(EnumClass<E>::type, "K", static_cast<unsigned long long>(e)));
}

}  // namespace malven
