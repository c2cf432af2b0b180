// Owning handle for one strong Python reference; every reference the module holds lives in one.
#pragma once

#include <Python.h>

#include <utility>

namespace malven {

class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace malven
