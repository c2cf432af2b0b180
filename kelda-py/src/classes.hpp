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
#include "enums.hpp"  // to_py of the enumerations that read_member converts
#include "errors.hpp"
#include "ref.hpp"

// Vector-call entries are stored in PyMethodDef under the generic function pointer type.
#define MALVEN_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// A module function's table entry under the C++ function's own name, bound by name##_sig.
#define MALVEN_FUNCTION(name, doc) \
  {#name, MALVEN_FASTCALL((::malven::function<name##_sig, name>)), ::malven::kFastcall, doc}

namespace malven {

// The calling convention of every entry with arguments: a vector call taking keywords.
inline constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

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

// The bare Python class name of each record type, given by MALVEN_CLASS_NAME (at namespace
// malven's scope) beside the record's other declarations.
template <class T>
struct ClassName;
#define MALVEN_CLASS_NAME(T, text)             \
  template <>                                  \
  struct ClassName<T> {                        \
    static constexpr const char* value = text; \
  };
MALVEN_CLASS_NAME(kelda::Domain, "Domain")
MALVEN_CLASS_NAME(kelda::Parameters, "Parameters")
MALVEN_CLASS_NAME(kelda::Transform, "Transform")
MALVEN_CLASS_NAME(kelda::AlignmentResult, "AlignmentResult")
MALVEN_CLASS_NAME(kelda::MultipleAlignmentResult, "MultipleAlignmentResult")
MALVEN_CLASS_NAME(kelda::ScanHit, "ScanHit")

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

// A type slot filled by a function.
template <class F>
PyType_Slot slot(int id, F* fn) noexcept {
  return {id, reinterpret_cast<void*>(fn)};
}

// What sets one record's class apart: its qualified name and doc, attributes and methods, the
// slots it fills beyond those (Py_tp_new among them when Python may make instances; without
// it, only the module can) and whether Python classes may derive from it.
struct ClassSpec {
  const char* qualified;
  const char* doc;
  PyGetSetDef* getset = nullptr;
  PyMethodDef* methods = nullptr;
  std::vector<PyType_Slot> slots = {};
  bool subclassable = false;
};

// The one maker of both modules' classes: T's class (one a record type) from its spec.
template <class T>
PyTypeObject* record_class(ClassSpec c) {
  static std::vector<PyType_Slot> slots;
  static PyType_Spec spec;
  slots = {slot(Py_tp_dealloc, dealloc<T>), {Py_tp_doc, const_cast<char*>(c.doc)}};
  if (c.getset) slots.push_back({Py_tp_getset, c.getset});
  if (c.methods) slots.push_back({Py_tp_methods, c.methods});
  bool constructed = false;
  for (const PyType_Slot& s : c.slots) constructed = constructed || s.slot == Py_tp_new;
  if (!constructed) slots.push_back(slot(Py_tp_new, no_constructor));
  slots.insert(slots.end(), c.slots.begin(), c.slots.end());
  slots.push_back({0, nullptr});
  spec = PyType_Spec{
      .name = c.qualified,
      .basicsize = sizeof(Object<T>),
      .itemsize = 0,
      .flags = static_cast<unsigned>(Py_TPFLAGS_DEFAULT | (c.subclassable ? Py_TPFLAGS_BASETYPE : 0)),
      .slots = slots.data(),
  };
  return make_class<T>(&spec);
}

// A value class: Python makes instances (by Make, bound to Sig) and derives classes from it;
// Repr prints them. `c` gives the rest, its slots beyond those two among them.
template <class T, const Signature& Sig, auto Make, auto Repr>
PyTypeObject* value_class(ClassSpec c) {
  c.slots.insert(c.slots.begin(),
                 {slot(Py_tp_new, constructor<T, Sig, Make>), slot(Py_tp_repr, unary<T, Repr>)});
  c.subclassable = true;
  return record_class<T>(std::move(c));
}

// A result class: built by the module only, read through `getset` (and `methods`), printed by
// `Repr` where one is given.
template <class T, auto Repr = nullptr>
PyTypeObject* result_class(const char* qualified, PyGetSetDef* getset, PyMethodDef* methods,
                           const char* doc) {
  ClassSpec c{.qualified = qualified, .doc = doc, .getset = getset, .methods = methods};
  if constexpr (!std::is_same_v<decltype(Repr), std::nullptr_t>)
    c.slots.push_back(slot(Py_tp_repr, unary<T, Repr>));
  return record_class<T>(std::move(c));
}

// ---- attributes declared by member pointer --------------------------------------------

// The member a path of member pointers leads to: follow(t, &T::a, &A::b) is t.a.b.
template <class V>
constexpr V& follow(V& v) noexcept {
  return v;
}
template <class V, class M, class C, class... Rest>
constexpr decltype(auto) follow(V& v, M C::*member, Rest... rest) noexcept {
  return follow(v.*member, rest...);
}

template <class T, auto... Path>
using MemberType = std::remove_cvref_t<decltype(follow(std::declval<T&>(), Path...))>;

template <class T, auto... Path>
Ref read_member(const T& t) {
  return to_py(follow(t, Path...));
}
template <class T, auto... Path>
void write_member(T& t, MemberType<T, Path...> v) {
  follow(t, Path...) = std::move(v);
}

// A read-only attribute: the member at the end of Path, as to_py converts it.
template <class T, auto... Path>
PyGetSetDef member(const char* name, const char* doc) {
  return {name, getter<T, read_member<T, Path...>>, nullptr, doc, nullptr};
}

// A read-only attribute computed from the record by Fn(const T&) -> Ref.
template <class T, auto Fn>
PyGetSetDef computed(const char* name, const char* doc) {
  return {name, getter<T, Fn>, nullptr, doc, nullptr};
}

inline const Param setting_value{"value"};
inline const Param optional_value{"value", Default::None};

// A read-write attribute: the field at the end of Path, read and written as that field's type.
template <class T, auto... Path>
PyGetSetDef setting(const char* name, const char* doc) {
  return {name, getter<T, read_member<T, Path...>>,
          setter<T, MemberType<T, Path...>, setting_value, write_member<T, Path...>>, doc,
          nullptr};
}
// ... of an optional field, which None leaves absent.
template <class T, auto... Path>
PyGetSetDef optional_setting(const char* name, const char* doc) {
  return {name, getter<T, read_member<T, Path...>>,
          setter<T, MemberType<T, Path...>, optional_value, write_member<T, Path...>>, doc,
          nullptr};
}

inline constexpr PyGetSetDef kEndOfAttributes{nullptr, nullptr, nullptr, nullptr, nullptr};
inline constexpr PyMethodDef kEndOfMethods{nullptr, nullptr, 0, nullptr};

}  // namespace malven
