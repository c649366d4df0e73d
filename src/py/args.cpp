#include "args.h"

#include <climits>

namespace tamberok::py {

namespace {

const char* plural(size_t count, const char* one, const char* many) {
  return count == 1 ? one : many;
}

[[noreturn]] void raise_type_error(PyObject* made_message) {
  Ref message = Ref::steal(made_message);
  PyErr_SetObject(PyExc_TypeError, message.get());
  throw PythonError{};
}

[[noreturn]] void too_many_positional(const Signature& s, Py_ssize_t given) {
  size_t most = s.positional.size();
  std::string takes = s.required == most ? std::to_string(most)
                                         : "from " + std::to_string(s.required) + " to " +
                                               std::to_string(most);
  raise_error(PyExc_TypeError, std::string(s.name) + " takes " + takes +
                                   " positional arguments but " + std::to_string(given) + " " +
                                   plural(static_cast<size_t>(given), "was", "were") + " given");
}

[[noreturn]] void missing_required(const Signature& s, const Bound& bound) {
  std::vector<std::string> names;
  for (size_t i = 0; i < s.required; ++i) {
    if (bound[i] == nullptr) names.push_back("'" + std::string(s.positional[i]) + "'");
  }
  std::string list;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i != 0) list += i + 1 == names.size() ? " and " : ", ";
    list += names[i];
  }
  raise_error(PyExc_TypeError, std::string(s.name) + " missing " + std::to_string(names.size()) +
                                   " required positional " +
                                   plural(names.size(), "argument", "arguments") + ": " + list);
}

// The slot of a keyword argument, or MAX_PARAMETERS when no parameter has
// that name.
size_t slot_of(const Signature& s, PyObject* name) {
  for (size_t i = 0; i < s.positional.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, s.positional[i]) == 0) return i;
  }
  for (size_t i = 0; i < s.keyword_only.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, s.keyword_only[i]) == 0) {
      return s.positional.size() + i;
    }
  }
  return MAX_PARAMETERS;
}

std::string type_name(PyObject* type) {
  Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
  return std::string(to_text(name.get()));
}

[[noreturn]] void cannot_convert(PyObject* object, const char* target) {
  raise_error(PyExc_TypeError, "'" + type_name(reinterpret_cast<PyObject*>(Py_TYPE(object))) +
                                   "' object cannot be converted to '" + target + "'");
}

// numpy is optional: its bool scalar is recognised by its type's module and
// name, never by importing numpy.
bool is_numpy_bool(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  Ref module = Ref::own(PyObject_GetAttrString(type, "__module__"));
  Ref name = Ref::own(PyObject_GetAttrString(type, "__name__"));
  PyErr_Clear();
  return module && name && PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

}  // namespace

void raise_error(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

void note_parameter(const char* parameter) {
  add_note(("while processing '" + std::string(parameter) + "'").c_str());
}

Bound bind(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Bound bound{};
  if (static_cast<size_t>(nargs) > s.positional.size()) too_many_positional(s, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<size_t>(i)] = args[i];
  Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);
    if (name == nullptr) throw PythonError{};
    size_t slot = slot_of(s, name);
    if (slot == MAX_PARAMETERS) {
      raise_type_error(
          PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", s.name, name));
    }
    if (bound[slot] != nullptr) {
      raise_type_error(
          PyUnicode_FromFormat("%s got multiple values for argument '%U'", s.name, name));
    }
    bound[slot] = args[nargs + k];
  }
  for (size_t i = 0; i < s.required; ++i) {
    if (bound[i] == nullptr) missing_required(s, bound);
  }
  return bound;
}

std::string_view to_text(PyObject* object) {
  if (!PyUnicode_Check(object)) cannot_convert(object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) throw PythonError{};
  return {data, static_cast<size_t>(size)};
}

std::string to_owned_text(PyObject* object) { return std::string(to_text(object)); }

std::vector<std::string> to_text_list(PyObject* object) {
  if (PyUnicode_Check(object)) raise_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) cannot_convert(object, "Sequence");
  std::vector<std::string> texts;
  Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr_Clear();
  } else {
    texts.reserve(static_cast<size_t>(length));
  }
  Ref iterator = Ref::steal(PyObject_GetIter(object));
  while (PyObject* raw = PyIter_Next(iterator.get())) {
    Ref item = Ref::steal(raw);
    texts.push_back(to_owned_text(item.get()));
  }
  if (PyErr_Occurred()) throw PythonError{};
  return texts;
}

bool to_bool(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (!is_numpy_bool(object)) cannot_convert(object, "PyBool");
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  Ref method = Ref::own(PyObject_GetAttrString(type, "__bool__"));
  if (!method) {
    PyErr_Clear();
    raise_error(PyExc_TypeError, "object of type '" + type_name(type) +
                                     "' does not define a '__bool__' conversion");
  }
  Ref value = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), object, nullptr));
  if (value.get() != Py_True && value.get() != Py_False) cannot_convert(value.get(), "PyBool");
  return value.get() == Py_True;
}

uint64_t to_u64(PyObject* object) {
  Ref index = Ref::steal(PyNumber_Index(object));
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return value;
}

int32_t to_i32(PyObject* object) {
  long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  if (value < INT32_MIN || value > INT32_MAX) {
    raise_error(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<int32_t>(value);
}

}  // namespace tamberok::py
