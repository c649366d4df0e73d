// Making the Python values of results. A failing creation of a str, int,
// list or dict is a broken invariant (a panic); a failing insertion raises
// the interpreter's own error (PythonError).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ref.h"

namespace tamberok::py {

Ref new_str(std::string_view text);
Ref new_int(int64_t value);
Ref new_bool(bool value);
Ref new_dict();
// A new dict with the items of `dict`, in its order, sharing its values.
Ref copy_dict(PyObject* dict);
template <typename Int>
Ref new_optional_int(const std::optional<Int>& value) {
  return value ? new_int(*value) : Ref::borrow(Py_None);
}

// A list holding `items` in order (the references move into the list).
// Lists are only ever made from items that already exist: making an item
// can start a collection, whose callbacks and finalizers may walk every
// tracked object, and a list with an empty place would crash them.
Ref new_list(std::vector<Ref>& items);
// The list of make(0) ... make(count - 1), made in that order.
template <typename Make>
Ref list_of(size_t count, Make make) {
  std::vector<Ref> items;
  items.reserve(count);
  for (size_t i = 0; i < count; ++i) items.push_back(make(i));
  return new_list(items);
}
// A list of str, or of int.
Ref new_str_list(const std::vector<std::string>& texts);
Ref new_int_list(const std::vector<int32_t>& values);

// A dict key: an interned str made on first use and kept for the process,
// so that keys are never re-created or hashed afresh. Used under the
// interpreter lock only.
class Key {
 public:
  constexpr explicit Key(const char* text) : text_(text) {}
  PyObject* get() const;

 private:
  const char* text_;
  mutable PyObject* object_ = nullptr;
};

// dict[key] = value.
void set_item(PyObject* dict, const Key& key, const Ref& value);
void set_item(PyObject* dict, const Ref& key, const Ref& value);

}  // namespace tamberok::py
