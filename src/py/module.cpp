// The module _tamberok: its definition, the function table with the
// docstrings (whose first lines give inspect.signature its text signature),
// and the execution step that fills the module at import. Nothing here
// touches the vehicle data: a build with the EMPTY placeholder imports
// normally and fails at the first call that needs data.

#include <utility>

#include "functions.h"
#include "guard.h"
#include "objects.h"
#include "state.h"

namespace tamberok::py {

namespace {

template <typename Function>
PyCFunction c_function(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int FAST_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;

// In creation order, which is also the order of __all__.
PyMethodDef FUNCTIONS[] = {
    {"decode", c_function(fn::decode), FAST_KEYWORDS,
     "decode(vin, *, flat=False)\n--\n\n"
     "Decode a single VIN to a dict."},
    {"decode_batch", c_function(fn::decode_batch), FAST_KEYWORDS,
     "decode_batch(vins, *, flat=False)\n--\n\n"
     "Decode a batch of VINs to a list of dicts.\n"
     "\n"
     "The decode work runs in parallel with the GIL released; only the final\n"
     "marshalling of results into Python dicts holds the GIL."},
    {"decode_json", c_function(fn::decode_json), FAST_KEYWORDS,
     "decode_json(vin, *, flat=False)\n--\n\n"
     "Decode a single VIN to a JSON object string (same shape as `decode`)."},
    {"decode_batch_json", c_function(fn::decode_batch_json), FAST_KEYWORDS,
     "decode_batch_json(vins, *, flat=False)\n--\n\n"
     "Decode a batch of VINs to a single JSON array string.\n"
     "\n"
     "Decode *and* JSON serialization run in parallel with the GIL released; the\n"
     "caller gets back one string (`json.loads` it for a list equal to\n"
     "`decode_batch`). For large batches this is several times faster than\n"
     "`decode_batch`, which must build a ~15-key dict per element under the GIL."},
    {"multi_valued", c_function(fn::multi_valued), METH_NOARGS,
     "multi_valued()\n--\n\n"
     "The variable names whose `flat=True` value is always a list."},
    {"elements", c_function(fn::elements), METH_NOARGS,
     "elements()\n--\n\n"
     "The static element table: one `(variable, element_id, group_name, code,\n"
     "data_type, decode)` dict per public element, for callers that want to pin to\n"
     "element ids rather than the vPIC variable names (which NHTSA renames between\n"
     "data releases)."},
    {"generate", c_function(fn::generate), FAST_KEYWORDS,
     "generate(n, *, seed=0, wmi=None, make=None, year=None, vehicle_type=None)\n--\n\n"
     "Generate `n` valid VINs, deterministic for a given `seed`.\n"
     "\n"
     "Each VIN comes from a real WMI, a schema that WMI uses, and one of that\n"
     "schema's patterns, so it decodes to real attributes rather than to an\n"
     "unknown-manufacturer error. Filters are conjunctive; `vehicle_type` is a\n"
     "VehicleType row id (2 = passenger car, 7 = MPV). Returns fewer than `n` only\n"
     "when the filter matches nothing. Raises `ValueError` when `n` exceeds\n"
     "`GENERATE_MAX`."},
    {"sweep", c_function(fn::sweep), FAST_KEYWORDS,
     "sweep(dimensions=None)\n--\n\n"
     "One VIN per row of every requested data dimension \u2014 the brute-force list.\n"
     "\n"
     "`dimensions` names any of `wmi`, `pattern`, `engine`, `vspec`, `exception`,\n"
     "`default`; omit it for all six. This is large (the `pattern` dimension alone\n"
     "is ~545k VINs), so ask for one dimension at a time unless you want the lot."},
    {"cover_vins", c_function(fn::cover_vins), METH_NOARGS,
     "cover_vins()\n--\n\n"
     "The smallest VIN set that exercises every decode behaviour this data month\n"
     "can reach \u2014 computed when the artifact was built, so it costs nothing here.\n"
     "\n"
     "Use it as a decoder test corpus: a few hundred VINs that between them touch\n"
     "every resolution rung, error code, conversion and tiebreak the data supports."},
    {"pairwise", c_function(fn::pairwise), FAST_KEYWORDS,
     "pairwise(*, limit=0)\n--\n\n"
     "Every pair of descriptor character-classes each schema can distinguish.\n"
     "\n"
     "The full output space cannot be enumerated \u2014 elements driven by disjoint\n"
     "descriptor positions vary independently, so their values multiply. This is\n"
     "the strongest coverage that is finite: strength-2 covering arrays, which buy\n"
     "the interactions the decoder's own logic turns on (dedup, tiebreaks, an\n"
     "element read while resolving a sibling) at roughly 3x the row sweep."},
    {"seeded", c_function(fn::seeded), FAST_KEYWORDS,
     "seeded(*, limit=0)\n--\n\n"
     "Every decoding rule matched *and* every 2-way descriptor interaction covered,\n"
     "in one corpus.\n"
     "\n"
     "Each rule's own key seeds a VIN \u2014 the positions it pins stay pinned, so the\n"
     "rule is guaranteed to match \u2014 and the positions it leaves free are chosen to\n"
     "knock out outstanding class pairs. Cheaper than sweeping and pairing\n"
     "separately, and stronger per VIN: the freed positions make sibling rules\n"
     "co-match instead of being padding chosen so nothing else does."},
};

// Appends `name` to the module's __all__ (made on first use) and sets the
// attribute.
void add_public(PyObject* module, const Ref& name, const Ref& value) {
  Ref all = Ref::own(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    check(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  check(PyList_Append(all.get(), name.get()));
  check(PyObject_SetAttr(module, name.get(), value.get()));
}

void fill_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    throw PythonError{};
  }
  for (PyMethodDef& def : FUNCTIONS) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref function = Ref::steal(PyCFunction_NewEx(&def, module, module_name.get()));
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    add_public(module, name, function);
  }
  add_public(module, new_str("__version__"), new_str(TAMBEROK_VERSION));
}

int exec_module(PyObject* module) {
  Ref done = Ref::own(guarded([&] {
    fill_module(module);
    return Ref::borrow(Py_None);
  }));
  return done ? 0 : -1;
}

// The state of a module: a pointer, so that the caches are made only when a
// dict is first converted and can be dropped and made again.
struct State {
  DictCaches* dict_caches;
};

State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

// Drops what the state holds. The collector calls it when the module is in
// unreachable garbage (its functions refer back to it), and the module's
// deallocation calls it through free_state.
int clear_state(PyObject* module) {
  if (State* state = state_of(module)) delete std::exchange(state->dict_caches, nullptr);
  return 0;
}

void free_state(void* module) { clear_state(static_cast<PyObject*>(module)); }

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT,
    "_tamberok",    // m_name
    "",             // m_doc
    sizeof(State),  // m_size
    nullptr,        // m_methods: made by exec_module
    SLOTS,
    nullptr,  // m_traverse: the state holds strs, ints and dicts of them, never a cycle
    clear_state,
    free_state,
};

}  // namespace

DictCaches& dict_caches(PyObject* module) {
  State* state = state_of(module);
  if (state == nullptr) throw PythonError{};
  if (state->dict_caches == nullptr) state->dict_caches = new DictCaches();
  return *state->dict_caches;
}

}  // namespace tamberok::py

extern "C" PyMODINIT_FUNC PyInit__tamberok(void) {
  return PyModuleDef_Init(&tamberok::py::MODULE);
}
