#include "guard.h"

#include <cstring>

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

bool attach_note(PyObject* error, const char* note) {
  if (PyObject_HasAttrString(error, "add_note")) {
    return bool(Ref::own(PyObject_CallMethod(error, "add_note", "s", note)));
  }
  // Before 3.11 there is no add_note; __notes__ is the list it would fill.
  Ref notes = Ref::own(PyObject_GetAttrString(error, "__notes__"));
  if (!notes) {
    PyErr_Clear();
    notes = Ref::own(PyList_New(0));
    if (!notes || PyObject_SetAttrString(error, "__notes__", notes.get()) < 0) return false;
  }
  Ref text = Ref::own(PyUnicode_FromString(note));
  return text && PyList_Append(notes.get(), text.get()) == 0;
}

}  // namespace

void raise_panic(const char* message) noexcept {
  PyErr_Clear();
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // its creation set the error (MemoryError)
  Ref text = Ref::own(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(strlen(message)),
                                           "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

void add_note(const char* note) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  // A failure to attach the note must not hide the original error.
  if (value != nullptr && !attach_note(value, note)) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
}

}  // namespace tamberok::py
