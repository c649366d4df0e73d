#include "dicts.h"

#include <initializer_list>

#include "keys.h"
#include "objects.h"

namespace tamberok::py {

namespace {

// Elements whose id is beyond this (none in the data) get no dict of their
// own, so a strange id cannot make the table of them large.
constexpr int32_t MAX_CACHED_ELEMENT_ID = 4096;

// A dict with `keys` in order, each holding None.
Ref blank_dict(std::initializer_list<const Key*> keys) {
  Ref dict = new_dict();
  for (const Key* key : keys) set_item(dict.get(), *key, Ref::borrow(Py_None));
  return dict;
}

Ref head_blank(const Key& last) {
  Ref dict =
      blank_dict({&keys::VIN, &keys::WMI, &keys::DESCRIPTOR, &keys::MODEL_YEAR, &keys::ERROR_CODES,
                  &keys::CHECK_DIGIT_VALID, &keys::CORRECTED_VIN, &last});
  set_item(dict.get(), keys::CHECK_DIGIT_VALID, new_bool(false));
  return dict;
}

// A dict like blank_dict(keys) whose copies share its table of keys and
// hold only their values: the __dict__ of an object of a class of its own.
// An element dict of fifteen keys then takes about two thirds of the memory
// of one with a table of its own. Where the interpreter makes no such dicts
// the copies are ordinary dicts, equal in every respect but size.
// The class is dropped at once; the dict keeps the table.
Ref shared_keys_dict(std::initializer_list<const Key*> keys) {
  Ref type = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(){s:s}",
                                              "_element", "__module__", "tamberok._tamberok"));
  Ref object = Ref::steal(PyObject_CallNoArgs(type.get()));
  for (const Key* key : keys) check(PyObject_SetAttr(object.get(), key->get(), Py_None));
  return Ref::steal(PyObject_GenericGetDict(object.get(), nullptr));
}

// The six fields that come from the element table.
void set_element_texts(PyObject* d, const DecodedElement& e) {
  set_item(d, keys::GROUP_NAME, new_str(e.group_name));
  set_item(d, keys::VARIABLE, new_str(e.variable));
  set_item(d, keys::ELEMENT_ID, new_int(e.element_id));
  set_item(d, keys::CODE, new_str(e.code));
  set_item(d, keys::DATA_TYPE, new_str(e.data_type));
  set_item(d, keys::DECODE, new_str(e.decode));
}

template <typename Int>
void set_optional_int(PyObject* d, const Key& key, const std::optional<Int>& value,
                      IntCache& ints) {
  if (value) set_item(d, key, ints.get(*value));  // None is already there
}

Ref element_to_dict(DictCaches& caches, const DecodedElement& e) {
  Ref dict;
  if (PyObject* own = caches.element(e)) {
    dict = copy_dict(own);
  } else {
    dict = copy_dict(caches.element_blank());
    set_element_texts(dict.get(), e);
  }
  PyObject* d = dict.get();
  TextCache& texts = caches.texts;
  set_item(d, keys::VALUE, texts.get(e.value));
  set_item(d, keys::ATTRIBUTE_ID, texts.get(e.attribute_id));
  set_item(d, keys::SOURCE, texts.get(e.source));
  set_optional_int(d, keys::PATTERN_ID, e.pattern_id, caches.ints);
  set_optional_int(d, keys::VIN_SCHEMA_ID, e.vin_schema_id, caches.ints);
  set_item(d, keys::KEYS, texts.get(e.keys));
  set_optional_int(d, keys::CREATED_ON, e.created_on, caches.ints);
  set_optional_int(d, keys::WMI_ID, e.wmi_id, caches.ints);
  if (e.to_be_qced) set_item(d, keys::TO_BE_QCED, new_bool(true));
  return dict;
}

// The seven head fields that both result forms share. The VIN, its
// descriptor and its correction belong to this VIN alone and are not cached.
template <typename Result>
Ref head_dict(DictCaches& caches, PyObject* blank, const Result& r) {
  Ref dict = copy_dict(blank);
  PyObject* d = dict.get();
  set_item(d, keys::VIN, new_str(r.vin));
  set_item(d, keys::WMI, caches.texts.get(r.wmi));
  set_item(d, keys::DESCRIPTOR, new_str(r.descriptor));
  set_optional_int(d, keys::MODEL_YEAR, r.model_year, caches.ints);
  Ref codes =
      list_of(r.error_codes.size(), [&](size_t i) { return caches.ints.get(r.error_codes[i]); });
  set_item(d, keys::ERROR_CODES, codes);
  if (r.check_digit_valid) set_item(d, keys::CHECK_DIGIT_VALID, new_bool(true));
  set_item(d, keys::CORRECTED_VIN, new_str(r.corrected_vin));
  return dict;
}

Ref flat_value(TextCache& texts, const FlatValue& value) {
  if (const std::string* single = std::get_if<std::string>(&value)) return texts.get(*single);
  const auto& many = std::get<std::vector<std::string>>(value);
  return list_of(many.size(), [&](size_t i) { return texts.get(many[i]); });
}

}  // namespace

DictCaches::~DictCaches() {
  for (PyObject* dict : elements_) Py_XDECREF(dict);
}

PyObject* DictCaches::nested_head() {
  if (!nested_head_) {
    Ref dict = head_blank(keys::ELEMENTS);
    if (!nested_head_) nested_head_ = std::move(dict);  // see element_blank()
  }
  return nested_head_.get();
}

PyObject* DictCaches::flat_head() {
  if (!flat_head_) {
    Ref dict = head_blank(keys::ATTRIBUTES);
    if (!flat_head_) flat_head_ = std::move(dict);  // see element_blank()
  }
  return flat_head_.get();
}

PyObject* DictCaches::element_blank() {
  if (!element_blank_) {
    Ref dict = shared_keys_dict(
        {&keys::GROUP_NAME, &keys::VARIABLE, &keys::VALUE, &keys::ELEMENT_ID, &keys::ATTRIBUTE_ID,
         &keys::CODE, &keys::DATA_TYPE, &keys::DECODE, &keys::SOURCE, &keys::PATTERN_ID,
         &keys::VIN_SCHEMA_ID, &keys::KEYS, &keys::CREATED_ON, &keys::WMI_ID, &keys::TO_BE_QCED});
    set_item(dict.get(), keys::TO_BE_QCED, new_bool(false));
    // Making the dict may have run the collector, and with it Python code
    // that converted a result of its own and set the blank already.
    if (!element_blank_) element_blank_ = std::move(dict);
  }
  return element_blank_.get();
}

PyObject* DictCaches::element(const DecodedElement& e) {
  if (e.element_id < 0 || e.element_id > MAX_CACHED_ELEMENT_ID) return nullptr;
  const size_t id = static_cast<size_t>(e.element_id);
  if (id < elements_.size() && elements_[id] != nullptr) return elements_[id];
  // The texts of an element id come from the element table and are the same
  // in every result.
  Ref made = copy_dict(element_blank());
  set_element_texts(made.get(), e);
  // As above, the table may have changed meanwhile.
  if (elements_.size() <= id) elements_.resize(id + 1, nullptr);
  if (elements_[id] == nullptr) elements_[id] = made.release();
  return elements_[id];
}

Ref result_to_dict(DictCaches& caches, const DecodeResult& result) {
  Ref dict = head_dict(caches, caches.nested_head(), result);
  Ref elements = list_of(result.elements.size(),
                         [&](size_t i) { return element_to_dict(caches, result.elements[i]); });
  set_item(dict.get(), keys::ELEMENTS, elements);
  return dict;
}

Ref flat_to_dict(DictCaches& caches, const FlatResult& result) {
  Ref dict = head_dict(caches, caches.flat_head(), result);
  Ref attributes = new_dict();
  for (const auto& [name, value] : result.attributes) {
    Ref item = flat_value(caches.texts, value);
    set_item(attributes.get(), caches.texts.get(name), item);
  }
  set_item(dict.get(), keys::ATTRIBUTES, attributes);
  return dict;
}

}  // namespace tamberok::py
