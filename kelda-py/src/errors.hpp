// The one place where failures become Python exceptions: core errors with an entry's
// prefix, binding errors, internal faults (PanicException) and allocation failure.
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#include "kelda/error.hpp"
#include "ref.hpp"

namespace malven {

// Thrown inside an entry once the interpreter's error indicator is set; the call
// wrapper returns NULL for it.
struct PyErrSet {};

[[noreturn]] void throw_pyerr();
[[noreturn]] void raise_error(PyObject* type, const std::string& message);
// Throws PyErrSet when p is NULL (the call that made it set the error), else owns p.
Ref check(PyObject* p);

enum class ExcKind { ValueError, OSError };

// How one entry reports a CoreError: which exception, and the prefix of its message.
struct ErrorMap {
  ExcKind kind;
  const char* prefix;
};

namespace on_error {
inline constexpr ErrorMap parse_pdb{ExcKind::ValueError, "Failed to parse PDB: "};
inline constexpr ErrorMap parse_dssp{ExcKind::ValueError, "Failed to parse DSSP: "};
inline constexpr ErrorMap write_pdb{ExcKind::OSError, "Failed to write PDB: "};
inline constexpr ErrorMap transform_pdb{ExcKind::OSError, "Failed to transform PDB: "};
inline constexpr ErrorMap alignment{ExcKind::ValueError, "Alignment failed: "};
inline constexpr ErrorMap superposition{ExcKind::ValueError, "Superposition failed: "};
inline constexpr ErrorMap scan{ExcKind::ValueError, "Scan failed: "};
inline constexpr ErrorMap multiple{ExcKind::ValueError, "Multiple alignment failed: "};
}  // namespace on_error

[[noreturn]] void raise_core(const ErrorMap& map, const kelda::CoreError& err);
[[noreturn]] void raise_core(ExcKind kind, const std::string& prefix, const kelda::CoreError& err);

template <class T>
T unwrap(kelda::Result<T>&& r, const ErrorMap& map) {
  if (!r) raise_core(map, r.error());
  return std::move(r).value();
}

PyObject* exc_type(ExcKind kind);
// Created once, derived from BaseException so `except Exception` lets it through.
PyObject* panic_exception();

// Sets the Python error for an exception caught at the boundary.
void set_error_from_current_exception() noexcept;

// The call wrapper's outer shell: runs the entry body and turns every C++ exception into
// the interpreter's error indicator. Body returns a Ref (new reference) or an int status.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

template <class F>
int guarded_status(F&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

}  // namespace malven
