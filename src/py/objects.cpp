#include "objects.h"

#include "tamberok/panic.h"

namespace tamberok::py {

namespace {

// The message of a failed object creation: the interpreter's own error is
// dropped, as the call ends with a panic anyway.
Ref created(PyObject* object) {
  if (object == nullptr) {
    PyErr_Clear();
    throw Panic("Python API call failed");
  }
  return Ref::steal(object);
}

}  // namespace

Ref new_str(std::string_view text) {
  return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref new_int(int64_t value) { return created(PyLong_FromLongLong(value)); }

Ref new_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

Ref new_dict() { return created(PyDict_New()); }

Ref copy_dict(PyObject* dict) { return created(PyDict_Copy(dict)); }

Ref new_list(std::vector<Ref>& items) {
  // Nothing between the list's creation and its last item can allocate.
  Ref list = created(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (size_t i = 0; i < items.size(); ++i) {
    // PyList_SetItem steals the reference, even when it fails.
    check(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), items[i].release()));
  }
  return list;
}

Ref new_str_list(const std::vector<std::string>& texts) {
  return list_of(texts.size(), [&](size_t i) { return new_str(texts[i]); });
}

Ref new_int_list(const std::vector<int32_t>& values) {
  return list_of(values.size(), [&](size_t i) { return new_int(values[i]); });
}

PyObject* Key::get() const {
  if (object_ == nullptr) {
    PyObject* text = created(PyUnicode_FromString(text_)).release();
    PyUnicode_InternInPlace(&text);
    object_ = text;
  }
  return object_;
}

void set_item(PyObject* dict, const Key& key, const Ref& value) {
  check(PyDict_SetItem(dict, key.get(), value.get()));
}

void set_item(PyObject* dict, const Ref& key, const Ref& value) {
  check(PyDict_SetItem(dict, key.get(), value.get()));
}

}  // namespace tamberok::py
