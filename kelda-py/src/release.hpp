// Long toolkit calls: the work runs on a C++ thread while the calling thread waits with the
// interpreter lock released, taking it back a few times a second to let the interpreter run
// its signal handlers. Ctrl-C (a handler that raises) asks the work to stop; the exception
// goes up once the work has returned. The work must not touch Python objects.
#pragma once

#include <Python.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "numpy.hpp"
#include "ref.hpp"

namespace malven {

// How long the caller waits between two looks at pending signals.
inline constexpr std::chrono::milliseconds kSignalCheck{50};

// Runs pending signal handlers; -1 with the exception set when one raised. PyPy's
// PyErr_CheckSignals leaves handlers to its interpreter, which runs them between two
// bytecodes, so there a line of Python is evaluated instead.
inline int check_signals() {
#ifdef PYPY_VERSION
  static PyObject* tick = nullptr;  // kept for the process's life
  if (!tick) {
    tick = Py_CompileString("None", "<signal check>", Py_eval_input);
    if (!tick) return -1;
  }
  Ref globals = Ref::steal(PyDict_New());
  if (!globals) return -1;
  Ref none = Ref::steal(PyEval_EvalCode(tick, globals.get(), globals.get()));
  return none ? 0 : -1;
#else
  return PyErr_CheckSignals();
#endif
}

template <class F>
auto run_released(F&& work) -> std::invoke_result_t<F&, std::stop_token> {
  using R = std::invoke_result_t<F&, std::stop_token>;
  std::optional<R> result;
  std::exception_ptr fault;
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::stop_source stop;
  // Results become arrays: NumPy is loaded first, so that a Ctrl-C arriving while it would
  // load later cannot turn into a failed import.
  load_numpy();
  std::thread worker([&] {
    try {
      result.emplace(work(stop.get_token()));
    } catch (...) {
      fault = std::current_exception();
    }
    {
      std::lock_guard lock(m);
      done = true;
    }
    cv.notify_all();
  });
  bool interrupted = false;
  for (;;) {
    bool finished = false;
    Py_BEGIN_ALLOW_THREADS
    {
      std::unique_lock lock(m);
      finished = cv.wait_for(lock, kSignalCheck, [&] { return done; });
    }
    Py_END_ALLOW_THREADS
    if (finished) break;
    if (!interrupted && check_signals() < 0) {
      interrupted = true;  // the handler's exception is set; the work winds down first
      stop.request_stop();
    }
  }
  worker.join();
  if (interrupted) throw PyErrSet{};
  if (fault) std::rethrow_exception(fault);
  return std::move(*result);
}

}  // namespace malven
