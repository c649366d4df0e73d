// Results as Python dicts, keys in the same order as the JSON text, so that
// json.loads of decode_json equals decode. Called with the interpreter lock
// held.
#pragma once

#include <vector>

#include "ref.h"
#include "tamberok/result.h"
#include "value_cache.h"

namespace tamberok::py {

// What the dicts made by one instance of the module share, kept in its
// state and released with it: the strs and ints that repeat between
// results, and dicts that already hold every key in order, which a new dict
// copies instead of growing its table while the keys go in. Each element id
// has its own such dict, which also holds the element's five texts from the
// element table and its id, so those are neither made nor set per result.
class DictCaches {
 public:
  DictCaches() = default;
  ~DictCaches();
  DictCaches(const DictCaches&) = delete;
  DictCaches& operator=(const DictCaches&) = delete;

  // The texts of results up to the length of most error texts, a megabyte
  // of them at most. A few thousand distinct texts make up almost all of a
  // large batch; with more slots than that few lookups miss, and with not
  // many more the slots stay in the processor's cache.
  TextCache texts{12, 512, size_t{1} << 20};
  IntCache ints{12};

  // The dicts to copy; they are never handed out.
  PyObject* nested_head();
  PyObject* flat_head();
  PyObject* element(const DecodedElement& element);  // NULL: copy element_blank()
  PyObject* element_blank();

 private:
  Ref nested_head_;
  Ref flat_head_;
  Ref element_blank_;
  std::vector<PyObject*> elements_;  // by element id; NULL until first use
};

Ref result_to_dict(DictCaches& caches, const DecodeResult& result);
Ref flat_to_dict(DictCaches& caches, const FlatResult& result);

}  // namespace tamberok::py
