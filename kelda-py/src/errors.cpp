// Mapping of failures to Python exceptions.
#include "errors.hpp"

#include <exception>
#include <new>

namespace malven {

void throw_pyerr() { throw PyErrSet{}; }

void raise_error(PyObject* type, const std::string& message) {
  // Messages repeat file content and names: a NUL must not cut them short, and bytes that are
  // not UTF-8 (a file name) come through as the interpreter's surrogate escapes.
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "surrogateescape"));
  if (text) {
    PyErr_SetObject(type, text.get());
  } else {
    PyErr_Clear();
    PyErr_SetString(type, "(a message that cannot be shown)");
  }
  throw PyErrSet{};
}

Ref check(PyObject* p) {
  if (!p) throw PyErrSet{};
  return Ref::steal(p);
}

void raise_core(const ErrorMap& map, const kelda::CoreError& err) {
  // A refusal for want of memory says what was needed: it stands alone, as MemoryError.
  if (err.kind == kelda::ErrorKind::OutOfMemory) raise_error(PyExc_MemoryError, err.message());
  raise_error(err.file_system_failure() ? PyExc_OSError : PyExc_ValueError,
              map.prefix + err.message());
}

PyObject* panic_exception() {
  // Process-wide, never freed; created under the interpreter lock on first need.
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "malven.PanicException",
        "Raised when the native code of malven faults (a broken internal invariant).\n\n"
        "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
        "propagates to the top of the stack instead of being caught by `except Exception`.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrSet&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "malven: error reported without an exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // Sizes beyond what a container can hold are an allocation that cannot succeed.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyObject* panic = panic_exception();
    PyErr_SetString(panic ? panic : PyExc_SystemError, e.what());
  } catch (...) {
    PyObject* panic = panic_exception();
    PyErr_SetString(panic ? panic : PyExc_SystemError, "unknown native fault");
  }
}

}  // namespace malven
