// Work spread over C++ threads: indices handed out in ascending order to a few threads, a
// stop request honoured between indices, the same outcome for any thread count.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <stop_token>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "kelda/error.hpp"

namespace kelda {

// The processors this process may run on (its CPU affinity, which a container or `taskset`
// narrows), at least 1.
unsigned usable_cores() noexcept;

// The thread count for `requested` threads (0: the default) and n items. The default and the
// cap are both the usable cores: more threads than cores only add switching, and asking the
// system for thousands of threads fails.
inline unsigned thread_count(unsigned requested, std::size_t n) noexcept {
  const unsigned cores = usable_cores();
  unsigned t = requested == 0 ? cores : std::min(requested, cores);
  if (n < t) t = static_cast<unsigned>(std::max<std::size_t>(n, 1));
  return t;
}

// Runs body(state, k) -> Status for every k in [0, n) on thread_count(threads, n) threads (the
// calling thread among them), each thread with its own state from make_state() (scratch that
// a body reuses from index to index; it must not change results). Each body writes only its
// own results. After the first failure no further index is started; the failure reported is
// the one of the lowest index, which every index below it having been started makes
// independent of the timing. A stop request (checked before each index) gives Cancelled. An
// exception of a body (an allocation failure, an internal fault) is rethrown on the calling
// thread once all threads are done. When the system refuses a thread, the work goes on with
// those it has.
template <class MakeState, class Body>
Status parallel_for_with(std::size_t n, unsigned threads, std::stop_token stop,
                         MakeState&& make_state, Body&& body) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex m;
  std::optional<std::pair<std::size_t, CoreError>> first_error;
  std::exception_ptr fault;
  auto worker = [&] {
    try {
      auto state = make_state();
      for (;;) {
        if (failed.load(std::memory_order_relaxed) || stop.stop_requested()) return;
        const std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
        if (k >= n) return;
        Status s = body(state, k);
        if (!s) {
          std::lock_guard lock(m);
          if (!first_error || k < first_error->first) first_error.emplace(k, std::move(s).error());
          failed.store(true, std::memory_order_relaxed);
        }
      }
    } catch (...) {
      std::lock_guard lock(m);
      if (!fault) fault = std::current_exception();
      failed.store(true, std::memory_order_relaxed);
    }
  };
  const unsigned t = thread_count(threads, n);
  std::vector<std::jthread> helpers;
  helpers.reserve(t - 1);
  for (unsigned k = 1; k < t; ++k) {
    try {
      helpers.emplace_back(worker);
    } catch (const std::system_error&) {
      break;  // no more threads to be had (a process limit): the calling thread still works
    }
  }
  worker();
  helpers.clear();  // joins
  if (fault) std::rethrow_exception(fault);
  if (first_error) return std::move(first_error->second);
  if (stop.stop_requested() && next.load() < n) return CoreError::cancelled();
  return Unit{};
}

// parallel_for_with without per-thread state: body(k) -> Status.
template <class Body>
Status parallel_for(std::size_t n, unsigned threads, std::stop_token stop, Body&& body) {
  return parallel_for_with(
      n, threads, stop, [] { return Unit{}; },
      [&](Unit&, std::size_t k) { return body(k); });
}

// parallel_for over [0, n) in pieces of `chunk` consecutive indices: body(begin, end) ->
// Status once a piece, for items too small to hand out one at a time.
template <class Body>
Status parallel_for_chunks(std::size_t n, std::size_t chunk, unsigned threads,
                           std::stop_token stop, Body&& body) {
  return parallel_for((n + chunk - 1) / chunk, threads, stop, [&](std::size_t c) {
    return body(c * chunk, std::min(n, (c + 1) * chunk));
  });
}

}  // namespace kelda
