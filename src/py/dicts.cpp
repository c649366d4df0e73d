#include "dicts.h"

#include <array>
#include <vector>

#include "guard.h"
#include "keys.h"
#include "objects.h"
#include "tamberok/panic.h"

namespace tamberok::py {

namespace {

// ---- META_CACHE -------------------------------------------------------------------
//
// The five texts of an element that repeat in every result (group name,
// variable, code, data type, decode) come from the element table and never
// change, so each thread keeps them as ready-made strs, indexed by element
// id. A dict batch of thousands of VINs then makes five fewer strs per
// element, under the interpreter lock.

using MetaStrs = std::array<PyObject*, 5>;  // all set, or all NULL

struct MetaCache {
  std::vector<MetaStrs> slots;
  bool held = false;

  ~MetaCache();
};

// Trivially destructible, so it is still readable while META_CACHE is being
// or has been destroyed at thread exit.
thread_local bool META_CACHE_DESTROYED = false;
thread_local MetaCache META_CACHE;

MetaCache::~MetaCache() {
  META_CACHE_DESTROYED = true;
  // Thread exit runs without the interpreter lock: hand the strs over.
  std::vector<PyObject*> objects;
  for (const MetaStrs& slot : slots) {
    if (slot[0] == nullptr) continue;
    objects.insert(objects.end(), slot.begin(), slot.end());
  }
  release_later(std::move(objects));
}

std::array<Ref, 5> fresh_meta(const DecodedElement& element) {
  return {new_str(element.group_name), new_str(element.variable), new_str(element.code),
          new_str(element.data_type), new_str(element.decode)};
}

std::array<Ref, 5> element_meta(const DecodedElement& element) {
  if (element.element_id < 0) return fresh_meta(element);
  if (META_CACHE_DESTROYED) {
    throw Panic(
        "cannot access a Thread Local Storage value during or after destruction: AccessError");
  }
  MetaCache& cache = META_CACHE;
  if (cache.held) throw Panic("already borrowed: BorrowMutError");
  cache.held = true;
  struct Lease {
    MetaCache& cache;
    ~Lease() { cache.held = false; }
  } lease{cache};

  const size_t id = static_cast<size_t>(element.element_id);
  if (cache.slots.size() <= id) cache.slots.resize(id + 1, MetaStrs{});
  MetaStrs& slot = cache.slots[id];
  if (slot[0] == nullptr) {
    std::array<Ref, 5> made = fresh_meta(element);
    for (size_t i = 0; i < 5; ++i) slot[i] = made[i].release();
  }
  return {Ref::borrow(slot[0]), Ref::borrow(slot[1]), Ref::borrow(slot[2]),
          Ref::borrow(slot[3]), Ref::borrow(slot[4])};
}

// ---- Dicts ----------------------------------------------------------------------

// An element dict with every key in order and None values: copies of it
// take their values without growing their table three times on the way.
// Process-wide like the interned keys, and only read (copied) afterwards.
PyObject* element_template() {
  static PyObject* TEMPLATE = nullptr;
  if (TEMPLATE == nullptr) {
    Ref dict = new_dict();
    for (const Key* key :
         {&keys::GROUP_NAME, &keys::VARIABLE, &keys::VALUE, &keys::ELEMENT_ID, &keys::ATTRIBUTE_ID,
          &keys::CODE, &keys::DATA_TYPE, &keys::DECODE, &keys::SOURCE, &keys::PATTERN_ID,
          &keys::VIN_SCHEMA_ID, &keys::KEYS, &keys::CREATED_ON, &keys::WMI_ID, &keys::TO_BE_QCED}) {
      set_item(dict.get(), *key, Ref::borrow(Py_None));
    }
    TEMPLATE = dict.release();
  }
  return TEMPLATE;
}

Ref element_to_dict(const DecodedElement& e) {
  Ref dict = Ref::steal(PyDict_Copy(element_template()));
  PyObject* d = dict.get();
  std::array<Ref, 5> meta = element_meta(e);
  set_item(d, keys::GROUP_NAME, meta[0]);
  set_item(d, keys::VARIABLE, meta[1]);
  set_item(d, keys::VALUE, new_str(e.value));
  set_item(d, keys::ELEMENT_ID, new_int(e.element_id));
  set_item(d, keys::ATTRIBUTE_ID, new_str(e.attribute_id));
  set_item(d, keys::CODE, meta[2]);
  set_item(d, keys::DATA_TYPE, meta[3]);
  set_item(d, keys::DECODE, meta[4]);
  set_item(d, keys::SOURCE, new_str(e.source));
  set_item(d, keys::PATTERN_ID, new_optional_int(e.pattern_id));
  set_item(d, keys::VIN_SCHEMA_ID, new_optional_int(e.vin_schema_id));
  set_item(d, keys::KEYS, new_str(e.keys));
  set_item(d, keys::CREATED_ON, new_optional_int(e.created_on));
  set_item(d, keys::WMI_ID, new_optional_int(e.wmi_id));
  set_item(d, keys::TO_BE_QCED, new_bool(e.to_be_qced));
  return dict;
}

// The seven head fields that both result forms share.
template <typename Result>
Ref head_dict(const Result& r) {
  Ref dict = new_dict();
  PyObject* d = dict.get();
  set_item(d, keys::VIN, new_str(r.vin));
  set_item(d, keys::WMI, new_str(r.wmi));
  set_item(d, keys::DESCRIPTOR, new_str(r.descriptor));
  set_item(d, keys::MODEL_YEAR, new_optional_int(r.model_year));
  set_item(d, keys::ERROR_CODES, new_int_list(r.error_codes));
  set_item(d, keys::CHECK_DIGIT_VALID, new_bool(r.check_digit_valid));
  set_item(d, keys::CORRECTED_VIN, new_str(r.corrected_vin));
  return dict;
}

Ref flat_value(const FlatValue& value) {
  if (const std::string* single = std::get_if<std::string>(&value)) return new_str(*single);
  return new_str_list(std::get<std::vector<std::string>>(value));
}

}  // namespace

Ref result_to_dict(const DecodeResult& result) {
  Ref dict = head_dict(result);
  std::vector<Ref> elements;
  elements.reserve(result.elements.size());
  for (const DecodedElement& element : result.elements) {
    elements.push_back(element_to_dict(element));
  }
  set_item(dict.get(), keys::ELEMENTS, new_list(elements));
  return dict;
}

Ref flat_to_dict(const FlatResult& result) {
  Ref dict = head_dict(result);
  Ref attributes = new_dict();
  for (const auto& [name, value] : result.attributes) {
    Ref item = flat_value(value);
    set_item(attributes.get(), new_str(name), item);
  }
  set_item(dict.get(), keys::ATTRIBUTES, attributes);
  return dict;
}

}  // namespace tamberok::py
