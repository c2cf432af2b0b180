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

namespace malven {

// How long the caller waits between two looks at pending signals.
inline constexpr std::chrono::milliseconds kSignalCheck{50};

template <class F>
auto run_released(F&& work) -> std::invoke_result_t<F&, std::stop_token> {
  using R = std::invoke_result_t<F&, std::stop_token>;
  std::optional<R> result;
  std::exception_ptr fault;
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::stop_source stop;
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
    if (!interrupted && PyErr_CheckSignals() < 0) {
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
