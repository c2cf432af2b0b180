// The process-wide table of released calls, their waits, and the interpreter's exit: every
// call still running is asked to stop, and threads other than the exiting one never take
// the interpreter lock back from inside our frames.
#include "release.hpp"

#include <algorithm>  // find
#include <condition_variable>
#include <mutex>
#include <vector>

namespace malven {

namespace {

// How long the exit waits for the calls it stopped; they stop within a fraction of a second.
constexpr std::chrono::seconds kExitWait{10};

struct CallTable {
  std::mutex m;
  std::condition_variable cv;
  std::vector<ReleasedCall*> calls;  // registered and not parked
  bool exiting = false;
  unsigned long exiting_thread = 0;
  bool hook_registered = false;  // read and written with the interpreter lock held
};

// Never destroyed: parked threads and late work threads may use it while the process ends.
CallTable& table() {
  static CallTable* t = new CallTable;
  return *t;
}

[[noreturn]] void park() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

// The atexit hook: runs in the interpreter's atexit stage, on the exiting thread, with the
// interpreter whole. Threads waiting for a call take the lock back while this waits.
PyObject* stop_released_calls(PyObject*, PyObject*) {
  CallTable& t = table();
  {
    std::lock_guard lock(t.m);
    t.exiting = true;
    t.exiting_thread = PyThread_get_thread_ident();
    for (ReleasedCall* c : t.calls) c->request_stop();
  }
  t.cv.notify_all();
  Py_BEGIN_ALLOW_THREADS
  {
    std::unique_lock lock(t.m);
    t.cv.wait_for(lock, kExitWait, [&] { return t.calls.empty(); });
  }
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {
    "_stop_released_calls", stop_released_calls, METH_NOARGS,
    "Asks the native calls still running to stop before the interpreter exits."};

void register_exit_hook(CallTable& t) {
  if (t.hook_registered) return;
  Ref hook = check(PyCFunction_NewEx(&exit_hook_def, nullptr, nullptr));
  Ref atexit = check(PyImport_ImportModule("atexit"));
  check(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  t.hook_registered = true;
}

}  // namespace

int check_signals() {
#ifdef PYPY_VERSION
  // PyPy's PyErr_CheckSignals leaves handlers to its interpreter, which runs them between
  // two bytecodes: a line of Python is evaluated instead.
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

ReleasedCall::ReleasedCall() : thread_(PyThread_get_thread_ident()) {
  CallTable& t = table();
  register_exit_hook(t);
  std::unique_lock lock(t.m);
  if (t.exiting && thread_ != t.exiting_thread) {
    lock.unlock();
    PyEval_SaveThread();  // never restored: see the class comment
    park();
  }
  t.calls.push_back(this);
}

ReleasedCall::~ReleasedCall() {
  CallTable& t = table();
  {
    std::lock_guard lock(t.m);
    auto it = std::find(t.calls.begin(), t.calls.end(), this);
    if (it != t.calls.end()) t.calls.erase(it);
  }
  t.cv.notify_all();
}

void ReleasedCall::finish() noexcept {
  CallTable& t = table();
  {
    std::lock_guard lock(t.m);
    done_ = true;
  }
  t.cv.notify_all();
}

bool ReleasedCall::wait_released(std::chrono::milliseconds timeout) noexcept {
  CallTable& t = table();
  std::unique_lock lock(t.m);
  auto parked = [&] { return t.exiting && thread_ != t.exiting_thread; };
  t.cv.wait_for(lock, timeout, [&] { return done_ || parked(); });
  if (!parked()) return done_;
  t.cv.wait(lock, [&] { return done_; });
  t.calls.erase(std::find(t.calls.begin(), t.calls.end(), this));
  lock.unlock();
  t.cv.notify_all();
  park();
}

}  // namespace malven
