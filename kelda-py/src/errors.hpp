// The one place where failures become Python exceptions: core errors with an entry's
// prefix, binding errors, internal faults (PanicException) and allocation failure.
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>  // abi::__forced_unwind: a thread being ended by the interpreter
#endif

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

// How one entry reports a CoreError: the prefix of its message. The exception follows from
// the error itself: OSError for a failure of the file system, MemoryError (without the
// prefix) for want of memory, ValueError for everything else (bad input, failed alignments,
// a file that cannot be parsed even when it cannot be read).
struct ErrorMap {
  const char* prefix;
};

namespace on_error {
inline constexpr ErrorMap parse_pdb{"Failed to parse PDB: "};
inline constexpr ErrorMap parse_dssp{"Failed to parse DSSP: "};
inline constexpr ErrorMap write_pdb{"Failed to write PDB: "};
inline constexpr ErrorMap transform_pdb{"Failed to transform PDB: "};
inline constexpr ErrorMap alignment{"Alignment failed: "};
inline constexpr ErrorMap scan_alignment{"Scan alignment failed: "};
inline constexpr ErrorMap scan{"Scan failed: "};
// Whole operations whose errors carry their complete message (multiple alignment, the
// PDB pipeline, write_all).
inline constexpr ErrorMap whole{""};
}  // namespace on_error

[[noreturn]] void raise_core(const ErrorMap& map, const kelda::CoreError& err);

template <class T>
T unwrap(kelda::Result<T>&& r, const ErrorMap& map) {
  if (!r) raise_core(map, r.error());
  return std::move(r).value();
}

// Created once, derived from BaseException so `except Exception` lets it through.
PyObject* panic_exception();

// Sets the Python error for an exception caught at the boundary.
void set_error_from_current_exception() noexcept;

// A thread that the exiting interpreter ends while it waits for the interpreter lock
// unwinds with this "exception", which must not be caught for good: it goes on up.
#if defined(__GLIBCXX__)
#define MALVEN_PASS_THREAD_EXIT \
  catch (abi::__forced_unwind&) { throw; }
#else
#define MALVEN_PASS_THREAD_EXIT
#endif

// The call wrapper's outer shell: runs the entry body and turns every C++ exception into
// the interpreter's error indicator. Body returns a Ref (new reference) or an int status.
template <class F>
PyObject* guarded(F&& body) {
  try {
    return body().release();
  }
  MALVEN_PASS_THREAD_EXIT
  catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

template <class F>
int guarded_status(F&& body) {
  try {
    body();
    return 0;
  }
  MALVEN_PASS_THREAD_EXIT
  catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

}  // namespace malven
