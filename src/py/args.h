// Binding of fast-call arguments to parameters, and conversion of each
// argument to its C++ value, with the interpreter's usual TypeError wording.
//
//   constexpr const char* VIN[] = {"vin"};
//   constexpr const char* FLAT[] = {"flat"};
//   constexpr Signature DECODE{"decode()", VIN, 1, FLAT};
//   Bound a = bind(DECODE, args, nargs, kwnames);
//   std::string_view vin = extract("vin", a[0], to_text);
//   bool flat = extract_or("flat", a[1], to_bool, false);
//
// A failed conversion re-raises its own exception with the note
// "while processing '<parameter>'".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "guard.h"
#include "ref.h"

namespace tamberok::py {

struct Signature {
  const char* name;  // with "()", as the messages show it
  std::span<const char* const> positional;
  size_t required;  // the first `required` positional parameters
  std::span<const char* const> keyword_only;
};

inline constexpr size_t MAX_PARAMETERS = 8;
// Borrowed argument objects: positional parameters, then keyword-only ones,
// each in declared order; NULL where an argument was not given.
using Bound = std::array<PyObject*, MAX_PARAMETERS>;

Bound bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
           PyObject* kwnames);

// ---- Conversions (each throws PythonError with the exception set) -----------------

// Only a str; its UTF-8 text, borrowed from the object.
std::string_view to_text(PyObject* object);
std::string to_owned_text(PyObject* object);
// Any sequence of str but a str itself.
std::vector<std::string> to_text_list(PyObject* object);
// True or False, or a numpy boolean scalar.
bool to_bool(PyObject* object);
// An int (or __index__) from 0 to 2**64 - 1.
uint64_t to_u64(PyObject* object);
// An int (or __index__) from -2**31 to 2**31 - 1.
int32_t to_i32(PyObject* object);

[[noreturn]] void raise_error(PyObject* type, const std::string& message);

void note_parameter(const char* parameter);

template <typename Convert>
auto extract(const char* parameter, PyObject* object, Convert convert) {
  try {
    return convert(object);
  } catch (const PythonError&) {
    note_parameter(parameter);
    throw;
  }
}

// `fallback` when the argument was not given.
template <typename Convert, typename T>
T extract_or(const char* parameter, PyObject* object, Convert convert, T fallback) {
  return object == nullptr ? fallback : extract(parameter, object, convert);
}

// None when the argument was not given or is None.
template <typename Convert>
auto extract_optional(const char* parameter, PyObject* object, Convert convert) {
  using T = decltype(convert(object));
  if (object == nullptr || object == Py_None) return std::optional<T>();
  return std::optional<T>(extract(parameter, object, convert));
}

}  // namespace tamberok::py
