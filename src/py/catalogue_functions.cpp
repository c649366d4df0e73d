// elements() and multi_valued(): the element table of the embedded data,
// read with the interpreter lock held.
#include <vector>

#include "functions.h"
#include "guard.h"
#include "keys.h"
#include "objects.h"
#include "tamberok/db.h"
#include "tamberok/decode.h"

namespace tamberok::py::fn {

PyObject* elements(PyObject*, PyObject*) {
  return guarded([] {
    const Db& db = global_db();
    Table<ElementRow> rows = db.element_defs();
    std::vector<Ref> dicts;
    for (size_t i = 0; i < rows.size(); ++i) {
      ElementRow row = rows[i];
      if (!db.is_public(row)) continue;
      Ref dict = new_dict();
      PyObject* d = dict.get();
      set_item(d, keys::VARIABLE, new_str(db.string(row.name)));
      set_item(d, keys::ELEMENT_ID, new_int(row.id));
      set_item(d, keys::GROUP_NAME, new_str(db.string(row.group_name)));
      set_item(d, keys::CODE, new_str(db.string(row.code)));
      set_item(d, keys::DATA_TYPE, new_str(db.string(row.data_type)));
      set_item(d, keys::DECODE, new_str(db.string(row.decode)));
      dicts.push_back(std::move(dict));
    }
    return new_list(dicts);
  });
}

PyObject* multi_valued(PyObject*, PyObject*) {
  return guarded([] {
    const Db& db = global_db();
    std::vector<Ref> names;
    for (int32_t id : MULTI_VALUED_ELEMENTS) {
      std::optional<ElementRow> row = db.element(id);  // none for negative ids
      if (row && db.is_public(*row)) names.push_back(new_str(db.string(row->name)));
    }
    return new_list(names);
  });
}

}  // namespace tamberok::py::fn
