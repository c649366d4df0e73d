#include "guard.h"

#include <atomic>
#include <cstring>
#include <utility>

namespace tamberok::py {

namespace {

// Made on first use under the interpreter lock and kept for the process,
// as every module of the process shares the one exception type.
PyObject* PANIC_EXCEPTION = nullptr;

PyObject* panic_exception_type() {
  if (PANIC_EXCEPTION == nullptr) {
    PANIC_EXCEPTION = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when the native code of tamberok stops on a broken invariant (or on a\n"
        "build without vehicle data). Derived from BaseException so that handlers\n"
        "for Exception do not hide it.",
        PyExc_BaseException, nullptr);
  }
  return PANIC_EXCEPTION;
}

// A lock-free stack: a thread at exit may push while another thread drains,
// and a fork can never leave it locked.
struct Deferred {
  std::vector<PyObject*> objects;
  Deferred* next;
};
std::atomic<Deferred*> DEFERRED{nullptr};

}  // namespace

void raise_panic(const char* message) noexcept {
  PyErr_Clear();
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // its creation set the error (MemoryError)
  PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(strlen(message)),
                                        "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void add_note(const char* note) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    // A failure to attach the note must not hide the original error.
    PyObject* result = nullptr;
    if (PyObject_HasAttrString(value, "add_note")) {
      result = PyObject_CallMethod(value, "add_note", "s", note);
    } else {
      PyObject* notes = PyObject_GetAttrString(value, "__notes__");
      if (notes == nullptr) {
        PyErr_Clear();
        notes = PyList_New(0);
        if (notes != nullptr && PyObject_SetAttrString(value, "__notes__", notes) < 0) {
          Py_CLEAR(notes);
        }
      }
      if (notes != nullptr) {
        PyObject* text = PyUnicode_FromString(note);
        if (text != nullptr && PyList_Append(notes, text) == 0) result = Py_NewRef(Py_None);
        Py_XDECREF(text);
        Py_DECREF(notes);
      }
    }
    if (result == nullptr) PyErr_Clear();
    Py_XDECREF(result);
  }
  PyErr_Restore(type, value, traceback);
}

void release_later(std::vector<PyObject*> objects) noexcept {
  if (objects.empty()) return;
  Deferred* node = new (std::nothrow) Deferred{std::move(objects), nullptr};
  if (node == nullptr) return;  // out of memory at thread exit: leak instead
  node->next = DEFERRED.load(std::memory_order_relaxed);
  while (!DEFERRED.compare_exchange_weak(node->next, node, std::memory_order_release,
                                         std::memory_order_relaxed)) {
  }
}

void apply_deferred_releases() noexcept {
  if (DEFERRED.load(std::memory_order_relaxed) == nullptr) return;
  Deferred* node = DEFERRED.exchange(nullptr, std::memory_order_acquire);
  while (node != nullptr) {
    for (PyObject* object : node->objects) Py_DECREF(object);
    delete std::exchange(node, node->next);
  }
}

}  // namespace tamberok::py
