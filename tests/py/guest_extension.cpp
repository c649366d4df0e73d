// tamberok_guest: a tiny C++ extension that shares the process's libstdc++ with
// tamberok, as numpy, pyarrow or apt_pkg do. Its memory crosses the library
// boundary both ways: stream and string buffers grown inside libstdc++ are
// freed by code inlined here, and strings allocated here are regrown (their
// old buffers freed) inside libstdc++. If either library's operator new or
// delete were replaced for the other, a call would crash.
#define Py_LIMITED_API 0x030A0000
#include <Python.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

// Kept between calls, so memory made in one call is freed in a later one.
std::vector<std::string>* KEPT = nullptr;

// churn(n): builds n numbered words, keeps them, returns their total length.
PyObject* churn(PyObject*, PyObject* arg) {
  const long n = PyLong_AsLong(arg);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  if (KEPT == nullptr) KEPT = new std::vector<std::string>();
  KEPT->clear();
  size_t total = 0;
  for (long i = 0; i < n; ++i) {
    std::ostringstream out;
    out << "word-" << i << '-' << std::string(static_cast<size_t>(i % 97), 'x');
    std::string word = out.str();
    word.reserve(word.size() * 3);
    total += word.size();
    KEPT->push_back(std::move(word));
  }
  return PyLong_FromSize_t(total);
}

PyMethodDef METHODS[] = {
    {"churn", churn, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "tamberok_guest", nullptr, -1, METHODS,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_tamberok_guest(void) {
  return PyModule_Create(&MODULE);
}
