// What each instance of the module keeps for itself: a module made again
// from the same file (another interpreter, a fresh import) starts with
// empty caches, and its caches go when it goes.
#pragma once

#include "dicts.h"
#include "ref.h"

namespace tamberok::py {

// The dict caches of `module` (one of this extension's modules), made on
// first use. Lock held.
DictCaches& dict_caches(PyObject* module);

}  // namespace tamberok::py
