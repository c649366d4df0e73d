// The boundary between the interpreter and C++: every module function runs
// inside guarded(), which turns whatever the C++ side throws into a Python
// exception, so no C++ exception ever unwinds into CPython.
//
// A broken invariant of the core (tamberok::Panic, including the EMPTY
// placeholder artifact), a failed C++ allocation and any other C++ exception
// are raised as pyo3_runtime.PanicException, a BaseException: callers that
// catch Exception do not swallow them.
//
// A thread that takes the interpreter lock back while the interpreter is
// finalizing (a daemon thread at exit) is ended by the interpreter with a
// forced unwind (pthread_exit). That unwind must pass through every frame:
// nothing here catches it without rethrowing, and the lock is never taken
// back in a destructor, where it could not pass.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>
#include <optional>
#include <type_traits>

#include "ref.h"
#include "tamberok/panic.h"
#include "tamberok/thread_state.h"

namespace tamberok::py {

// Sets pyo3_runtime.PanicException(message) as the current exception.
void raise_panic(const char* message) noexcept;

// Adds `note` to the current exception (add_note, or __notes__ before 3.11).
void add_note(const char* note);

// Runs work() with the interpreter lock released and returns what it
// returns, or rethrows what it threw, with the lock held again. Nothing in
// work() may touch a Python object. A forced unwind passes through without
// the lock: it only ends a thread the interpreter no longer runs, and any
// Python reference the caller holds must then be left alone (see
// leak_on_forced_unwind).
template <typename Work>
auto without_gil(Work&& work) {
  using Result = decltype(work());
  PyThreadState* thread = PyEval_SaveThread();
  std::exception_ptr error;
  std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
  try {
    if constexpr (std::is_void_v<Result>) {
      work();
      result.emplace(true);
    } else {
      result.emplace(work());
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    error = std::current_exception();
  }
  PyEval_RestoreThread(thread);  // may end this thread: see the top of this file
  if (error) std::rethrow_exception(error);
  if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

// Takes the interpreter lock back for its lifetime on a thread inside
// without_gil (whose thread state is `thread`), and releases it again on
// the way out. Taking it may end the thread (a forced unwind out of the
// constructor); releasing it never does.
class GilRetake {
 public:
  explicit GilRetake(PyThreadState* thread) { PyEval_RestoreThread(thread); }
  ~GilRetake() { PyEval_SaveThread(); }
  GilRetake(const GilRetake&) = delete;
  GilRetake& operator=(const GilRetake&) = delete;
};

// Runs body() and, should the thread be ended by a forced unwind meanwhile,
// lets go of `refs` without touching the objects: the thread no longer holds
// the interpreter lock, and the interpreter is going away.
template <typename Refs, typename Body>
auto leak_on_forced_unwind(Refs& refs, Body&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    for (Ref& ref : refs) (void)ref.release();
    throw;
  }
}

// Runs body() (which returns a Ref) and returns its reference, or NULL with
// a Python exception set. Only a forced unwind leaves it.
template <typename Body>
PyObject* guarded(Body&& body) {
  try {
    prepare_thread();
    return body().release();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const Panic& panic) {
    raise_panic(panic.what());
  } catch (const std::bad_alloc&) {
    raise_panic("memory allocation failed");
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace tamberok::py
