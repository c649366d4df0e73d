// The boundary between the interpreter and C++: every module function runs
// inside guarded(), which turns whatever the C++ side throws into a Python
// exception, so no C++ exception ever unwinds into CPython.
//
// A broken invariant of the core (tamberok::Panic, including the EMPTY
// placeholder artifact), a failed C++ allocation and any other C++ exception
// are raised as pyo3_runtime.PanicException, a BaseException: callers that
// catch Exception do not swallow them.
#pragma once

#include <exception>
#include <new>

#include "ref.h"
#include "tamberok/panic.h"

namespace tamberok::py {

// Sets pyo3_runtime.PanicException(message) as the current exception.
void raise_panic(const char* message) noexcept;

// Adds `note` to the current exception (add_note, or __notes__ before 3.11).
void add_note(const char* note);

// Releases the interpreter lock for its lifetime. Nothing inside may touch a
// Python object. The destructor takes the lock back, also when an exception
// is on its way out, so the boundary always raises with the lock held.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Runs body() (which returns a Ref) and returns its reference, or NULL with
// a Python exception set.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
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
