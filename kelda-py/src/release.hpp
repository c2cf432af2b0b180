// Long toolkit calls: the work runs on a C++ thread while the calling thread waits with the
// interpreter lock released, taking it back a few times a second to let the interpreter run
// its signal handlers. Ctrl-C (a handler that raises) asks the work to stop; the exception
// goes up once the work has returned. The work must not touch Python objects.
#pragma once

#include <Python.h>

#include <chrono>
#include <exception>
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

// Runs pending signal handlers; -1 with the exception set when one raised.
int check_signals();

// One call in flight, known to the process-wide table of released calls. When the
// interpreter exits (its atexit stage, before it finalises), every call in the table is
// asked to stop, and a call waiting on a thread other than the exiting one never takes the
// interpreter lock back: a thread that tries to once finalisation has begun is ended by the
// interpreter in the middle of our frames, which no C++ frame survives. Such a thread waits
// for its work to end and then stays parked until the process is gone.
class ReleasedCall {
 public:
  // Registers the call (with the interpreter lock held); parks at once when the interpreter
  // is already exiting.
  ReleasedCall();
  ~ReleasedCall();
  ReleasedCall(const ReleasedCall&) = delete;
  ReleasedCall& operator=(const ReleasedCall&) = delete;

  std::stop_token token() const noexcept { return stop_.get_token(); }
  void request_stop() noexcept { stop_.request_stop(); }
  // On the work's thread, when the work has returned or thrown.
  void finish() noexcept;
  // With the interpreter lock released: waits up to `timeout` for the work; true once it is
  // done. When the interpreter has begun to exit, waits for the work and parks instead.
  bool wait_released(std::chrono::milliseconds timeout) noexcept;

 private:
  std::stop_source stop_;
  bool done_ = false;               // guarded by the table's mutex
  unsigned long thread_ = 0;        // the calling thread
};

// run_released that also calls tick() with the interpreter lock held each time the caller
// wakes (a progress report); tick returns -1 with a Python exception set to stop the work as
// Ctrl-C would.
template <class F, class Tick>
auto run_released_ticking(F&& work, Tick&& tick) -> std::invoke_result_t<F&, std::stop_token> {
  using R = std::invoke_result_t<F&, std::stop_token>;
  std::optional<R> result;
  std::exception_ptr fault;
  // Results become arrays: NumPy is loaded first, so that a Ctrl-C arriving while it would
  // load later cannot turn into a failed import.
  load_numpy();
  ReleasedCall call;
  // Declared after everything it writes: were this frame ever unwound early, the thread is
  // joined before they go.
  std::jthread worker([&] {
    try {
      result.emplace(work(call.token()));
    } catch (...) {
      fault = std::current_exception();
    }
    call.finish();
  });
  bool interrupted = false;
  for (;;) {
    bool finished = false;
    Py_BEGIN_ALLOW_THREADS
    finished = call.wait_released(kSignalCheck);
    Py_END_ALLOW_THREADS
    if (finished) break;
    if (!interrupted && (check_signals() < 0 || tick() < 0)) {
      interrupted = true;  // the handler's exception is set; the work winds down first
      call.request_stop();
    }
  }
  worker.join();
  if (interrupted) throw PyErrSet{};
  if (fault) std::rethrow_exception(fault);
  return std::move(*result);
}

template <class F>
auto run_released(F&& work) -> std::invoke_result_t<F&, std::stop_token> {
  return run_released_ticking(std::forward<F>(work), [] { return 0; });
}

}  // namespace malven
