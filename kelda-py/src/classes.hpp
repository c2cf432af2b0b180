// Python objects that hold one core record by value, their borrow counters, and the
// templates that turn declared entries (functions, methods, getters, setters,
// constructors) into C entry points running inside the call wrapper.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "ref.hpp"

// Vector-call entries are stored in PyMethodDef under the generic function pointer type.
#define MALVEN_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

namespace malven {

inline constexpr std::uint64_t kExclusive = std::numeric_limits<std::uint64_t>::max();
// Marks an instance whose record has been built. An instance made without the class's own
// constructor (PyPy lets object.__new__ make one) never carries it, and is never read.
inline constexpr std::uint64_t kBuilt = 0x6b656c646172656aULL;

template <class T>
struct Object {
  PyObject_HEAD
  std::uint64_t built;
  std::atomic<std::uint64_t> borrow;
  T value;
};

// The bare Python class name of each record type.
template <class T>
struct ClassName;
template <>
struct ClassName<kelda::Domain> {
  static constexpr const char* value = "Domain";
};
template <>
struct ClassName<kelda::Parameters> {
  static constexpr const char* value = "Parameters";
};
template <>
struct ClassName<kelda::Transform> {
  static constexpr const char* value = "Transform";
};
template <>
struct ClassName<kelda::AlignmentResult> {
  static constexpr const char* value = "AlignmentResult";
};
template <>
struct ClassName<kelda::MultipleAlignmentResult> {
  static constexpr const char* value = "MultipleAlignmentResult";
};
template <>
struct ClassName<kelda::ScanHit> {
  static constexpr const char* value = "ScanHit";
};

// One Python class per record type; ClassOf<T>::type is set when the class is created (or,
// in the toolkit's module, taken from the malven module).
template <class T>
struct ClassOf {
  static inline PyTypeObject* type = nullptr;
  static constexpr const char* name = ClassName<T>::value;
};

template <class T>
Object<T>* object_of(PyObject* obj) {
  return reinterpret_cast<Object<T>*>(obj);
}

template <class T>
bool is_instance(PyObject* obj) {
  return ClassOf<T>::type && PyObject_TypeCheck(obj, ClassOf<T>::type);
}

// The record of an instance of T's class, or a TypeError: for an object of another class,
// and for an instance whose record was never built.
template <class T>
Object<T>* checked_object(PyObject* obj) {
  if (!is_instance<T>(obj)) cannot_cast(obj, ClassOf<T>::name);
  Object<T>* o = object_of<T>(obj);
  if (o->built != kBuilt)
    raise_error(PyExc_TypeError, std::string("uninitialised ") + ClassOf<T>::name +
                                     " object (made without its constructor)");
  return o;
}

// Builds the record in a new instance of `type`, which must be T's class or a subclass of
// it: only they have T's layout.
template <class T>
Ref build_instance(PyTypeObject* type, T&& value) {
  if (!ClassOf<T>::type) kelda::internal_fault(std::string("class not initialised: ") + ClassOf<T>::name);
  if (!PyType_IsSubtype(type, ClassOf<T>::type)) {
    const std::string t = class_name(type);
    raise_error(PyExc_TypeError, std::string(ClassOf<T>::name) + ".__new__(" + t + "): " + t +
                                     " is not a subtype of " + ClassOf<T>::name);
  }
  Ref obj = check(type->tp_alloc(type, 0));
  auto* o = object_of<T>(obj.get());
  new (&o->borrow) std::atomic<std::uint64_t>(0);
  new (&o->value) T(std::move(value));
  o->built = kBuilt;
  return obj;
}

// Wraps a record in a new instance of its class (bypassing tp_new, so classes without a
// constructor can still be made here).
template <class T>
Ref wrap(T value) {
  return build_instance<T>(ClassOf<T>::type, std::move(value));
}

template <class T>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* o = object_of<T>(self);
  if (o->built == kBuilt) {
    o->value.~T();
    o->borrow.~atomic();
    o->built = 0;
  }
  type->tp_free(self);
  Py_DECREF(type);
}

// A shared borrow of an instance for the duration of a call: the record is read, never
// written, and a setter on the same instance fails meanwhile.
template <class T>
class Shared {
 public:
  explicit Shared(PyObject* obj) {
    auto& counter = checked_object<T>(obj)->borrow;
    std::uint64_t cur = counter.load(std::memory_order_relaxed);
    do {
      if (cur == kExclusive)
        raise_error(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!counter.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
    obj_ = Ref::borrow(obj);
  }
  Shared(Shared&&) noexcept = default;
  ~Shared() {
    if (obj_) object_of<T>(obj_.get())->borrow.fetch_sub(1, std::memory_order_release);
  }
  const T& operator*() const noexcept { return object_of<T>(obj_.get())->value; }
  const T* operator->() const noexcept { return &**this; }
  PyObject* object() const noexcept { return obj_.get(); }

 private:
  Ref obj_;
};

template <class T>
class Exclusive {
 public:
  explicit Exclusive(PyObject* obj) {
    std::uint64_t expected = 0;
    if (!checked_object<T>(obj)->borrow.compare_exchange_strong(expected, kExclusive,
                                                                 std::memory_order_acquire))
      raise_error(PyExc_RuntimeError, "Already borrowed");
    obj_ = Ref::borrow(obj);
  }
  Exclusive(Exclusive&&) noexcept = default;
  ~Exclusive() {
    if (obj_) object_of<T>(obj_.get())->borrow.store(0, std::memory_order_release);
  }
  T& operator*() const noexcept { return object_of<T>(obj_.get())->value; }
  T* operator->() const noexcept { return &**this; }

 private:
  Ref obj_;
};

// Instance arguments convert to a shared borrow of their record.
template <class T>
struct Convert<Shared<T>> {
  static Shared<T> from(PyObject* obj) { return Shared<T>(obj); }
};

template <class T>
concept BoundRecord = requires { ClassName<T>::value; };

// Instance arguments declared as the record itself convert to a copy: the borrow lasts only
// while the copy is made, so the instance may be changed (from another thread) while work
// runs on the copy without the interpreter lock.
template <BoundRecord T>
struct Convert<T> {
  static T from(PyObject* obj) { return *Shared<T>(obj); }
};

// ---- entry templates ------------------------------------------------------------------

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Args = std::tuple<std::decay_t<A>...>;
};

// Converts the slots in signature order (a braced list is evaluated left to right).
template <class Tuple, std::size_t... I>
Tuple convert_slots(const Signature& sig, PyObject** slots, std::index_sequence<I...>) {
  return Tuple{ArgOf<std::tuple_element_t<I, Tuple>>::from(slots[I], sig.params[I])...};
}

template <class F>
struct MethodTraits;
template <class R, class S, class... A>
struct MethodTraits<R (*)(S, A...)> {
  using Args = std::tuple<std::decay_t<A>...>;
};

// Binds a vector call to Sig and converts its slots to the parameter types in Args.
template <class Args>
Args bind_and_convert(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  constexpr std::size_t n = std::tuple_size_v<Args>;
  PyObject* slots[n > 0 ? n : 1];
  bind(sig, args, nargs, kwnames, slots);
  return convert_slots<Args>(sig, slots, std::make_index_sequence<n>{});
}

// Module function or static method with the vector convention: Fn(converted args...). Not
// noexcept: a thread the exiting interpreter ends inside a call must unwind through it.
template <const Signature& Sig, auto Fn>
PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    using Args = typename FnTraits<decltype(Fn)>::Args;
    return std::apply(Fn, bind_and_convert<Args>(Sig, args, nargs, kwnames));
  });
}

// Instance method: Fn(self record, converted args...), the receiver held by Borrow
// (Shared to read it, Exclusive to change it).
template <class T, template <class> class Borrow, const Signature& Sig, auto Fn>
PyObject* bound_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&] {
    using Args = typename MethodTraits<decltype(Fn)>::Args;
    Args converted = bind_and_convert<Args>(Sig, args, nargs, kwnames);
    Borrow<T> receiver(self);
    return std::apply([&](auto&&... a) { return Fn(*receiver, std::forward<decltype(a)>(a)...); },
                      std::move(converted));
  });
}

template <class T, const Signature& Sig, auto Fn>
constexpr auto method = bound_method<T, Shared, Sig, Fn>;
template <class T, const Signature& Sig, auto Fn>
constexpr auto mutating_method = bound_method<T, Exclusive, Sig, Fn>;

// Method without arguments (METH_NOARGS).
template <class T, auto Fn>
PyObject* method0(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    Shared<T> receiver(self);
    return Fn(*receiver);
  });
}

template <class T, auto Fn>
PyObject* getter(PyObject* self, void*) noexcept {
  return guarded([&] {
    Shared<T> receiver(self);
    return Fn(*receiver);
  });
}

// Unary slots (repr, str) share the getter's shape.
template <class T, auto Fn>
PyObject* unary(PyObject* self) noexcept {
  return getter<T, Fn>(self, nullptr);
}

// Setter: V is the converted value type, Name the argument name used in messages.
template <class T, class V, const Param& Name, auto Fn>
int setter(PyObject* self, PyObject* value, void*) noexcept {
  return guarded_status([&] {
    if (!value) raise_error(PyExc_AttributeError, "can't delete attribute");
    V converted = ArgOf<V>::from(value, Name);
    Exclusive<T> receiver(self);
    Fn(*receiver, std::move(converted));
  });
}

// Constructor (__new__) with a tuple and a dict: Fn(converted args...) -> T.
template <class T, const Signature& Sig, auto Fn>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    using Args = typename FnTraits<decltype(Fn)>::Args;
    constexpr std::size_t n = std::tuple_size_v<Args>;
    PyObject* slots[n > 0 ? n : 1];
    bind(Sig, args, kwargs, slots);
    Args converted = convert_slots<Args>(Sig, slots, std::make_index_sequence<n>{});
    return build_instance<T>(type, std::apply(Fn, std::move(converted)));
  });
}

// tp_new of the classes that Python may not instantiate.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept;

// A class of a module's registration table: its name and the function that creates it.
struct ClassEntry {
  const char* name;
  PyTypeObject* (*create)();
};

// Creates a class from its spec (whose basicsize is sizeof(Object<T>)) and records it for
// ClassOf<T>.
template <class T>
PyTypeObject* make_class(PyType_Spec* spec) {
  if (spec->basicsize != static_cast<int>(sizeof(Object<T>)))
    kelda::internal_fault(std::string("instance size of ") + ClassOf<T>::name + " does not match");
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  if (!type) return nullptr;
  ClassOf<T>::type = type;  // the module keeps its own reference as an attribute
  return type;
}

// A result class: built by the toolkit only (no constructor), read through `getset` (and
// `methods`), printed by `Repr` where one is given. One spec per (T, Repr).
template <class T, auto Repr = nullptr>
PyTypeObject* result_class(const char* qualified, PyGetSetDef* getset, PyMethodDef* methods,
                           const char* doc) {
  static std::vector<PyType_Slot> slots;
  slots = {{Py_tp_new, reinterpret_cast<void*>(no_constructor)},
           {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<T>)},
           {Py_tp_getset, getset},
           {Py_tp_doc, const_cast<char*>(doc)}};
  if (methods) slots.push_back({Py_tp_methods, methods});
  if constexpr (!std::is_same_v<decltype(Repr), std::nullptr_t>)
    slots.push_back({Py_tp_repr, reinterpret_cast<void*>(unary<T, Repr>)});
  slots.push_back({0, nullptr});
  static PyType_Spec spec{
      .name = qualified,
      .basicsize = sizeof(Object<T>),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots.data(),
  };
  return make_class<T>(&spec);
}

}  // namespace malven
