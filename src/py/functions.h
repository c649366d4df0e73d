// The eleven functions of _tamberok, as CPython calls them. Each runs inside
// guarded(): it returns a new reference, or NULL with an exception set.
#pragma once

#include "ref.h"

namespace tamberok::py::fn {

// Fast call with keywords.
PyObject* decode(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* decode_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* decode_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
PyObject* decode_batch_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* generate(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* sweep(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* pairwise(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* seeded(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// No arguments.
PyObject* multi_valued(PyObject* module, PyObject* unused);
PyObject* elements(PyObject* module, PyObject* unused);
PyObject* cover_vins(PyObject* module, PyObject* unused);

}  // namespace tamberok::py::fn
